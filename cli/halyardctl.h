#pragma once
// halyardctl: the window's operations behind a command line. Every command
// runs the same core and window-logic functions the window runs (the scan,
// the automatic cycle, the Security page's key operations, Add Device, the
// factory reset, the upgrades, the diagnostics report, the device database);
// this library only parses the command line, answers the message boxes the
// way the command asked, and prints the outcome.
//
// run() takes the packet driver and the clock as seams, so tests drive every
// command against the emulator on the in-memory wire in virtual time.
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "ui/main_page_logic.h"

class Clock;
class PacketDriver;

namespace halyardctl {

enum ExitCode : int {
    kExitOk = 0,        // success
    kExitFailed = 1,    // the operation failed on the network (the window's message on stderr)
    kExitUsage = 2,     // bad input or usage, with the reason
    kExitNoAdapter = 3, // no adapter, no capture rights, or halyard is running
};

struct Environment {
    PacketDriver* driver = nullptr; // null: the process-wide driver (libpcap)
    Clock* clock = nullptr;         // null: the process-wide clock (real time)
    MainPageSetup setup;            // working folder and data directory, as the window takes them
    std::string historyPath;        // the link history file; empty: the user's state folder
    bool outIsTerminal = false;     // draw the upgrade's progress bar
    // Asks a yes/no question on the terminal; empty when input is not a terminal.
    std::function<bool(const std::string& question)> confirm;
    // Asks for a password on the terminal without echo (nullopt: the input
    // ended); empty when input is not a terminal.
    std::function<std::optional<std::string>(const std::string& prompt)> askSecret;
    // exporter: told the port it listens on; the Unix time of its metrics
    // (empty: the system clock); told of each recorded cycle and of each
    // change of who drives the adapters (tests).
    std::function<void(int port)> exporterListening;
    std::function<double()> exporterNow;
    std::function<void(long cycles)> exporterCycleRecorded;
    std::function<void(bool holding)> exporterHoldingChanged;
};

// Runs one command line (without the program name). Returns the exit code.
int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
        const Environment& env);

} // namespace halyardctl
