#pragma once
// The command line of halyardctl, parsed and checked before anything is sent.
// Parsing reads every argument through one bounded cursor: an option that
// wants a value and has none, an unknown option or command, a MAC that is not
// six hexadecimal pairs, or a number out of range is refused with its reason.
// The password rules and the file checks are the core's own; they run in
// commands.cpp once the device database is loaded.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli/history.h"

namespace halyardctl {

enum class Command {
    Help,
    Version,
    List,
    Watch,
    Rename,
    Password,
    SetKey,
    Public,
    Add,
    Reset,
    Upgrade,
    Report,
    History,
    Map,
    Exporter
};

// One device on the command line: MAC, optionally "=DEVICE-PASSWORD".
struct DeviceArg {
    std::string macText; // as typed
    uint8_t mac[6] = {};
    std::optional<std::string> password;
};

struct Options {
    Command command = Command::Help;
    std::string commandName;
    std::string interfaceName; // --interface; empty: every interface
    bool json = false;
    // watch
    std::optional<int> intervalSeconds;
    std::optional<long> count;
    // exporter (and --interval, --count, shared with watch)
    std::string listenHost;
    int listenPort = 0;
    // rename, password, reset
    DeviceArg device;
    std::string text;       // the new name or the device password
    bool textGiven = false; // password: the device password was on the command line
    // set-key: --network-password-file FILE ("-" standard input)
    std::string networkPasswordFile;
    // add, password: --password-file FILE ("-" standard input)
    std::string passwordFile;
    // set-key, public
    std::optional<std::string> networkPassword;
    bool local = false;
    std::vector<DeviceArg> devices;
    // add
    std::optional<std::string> addPassword;
    std::optional<std::string> addName;
    // reset
    bool yes = false;
    // upgrade
    std::string pib, nvm, image, config;
    // report
    std::string outputFile;
    // history (cli/history.h)
    HistoryOptions history;
    // map: a Graphviz graph instead of the table
    bool dot = false;
};

// Parses `args` (without the program name). False with the reason in `error`.
bool parseArguments(const std::vector<std::string>& args, Options& options, std::string& error);

// Parses "00:B0:52:00:00:10" (also lower case and with "-"): exactly six pairs,
// neither all zero nor the broadcast address.
bool parseMacArgument(const std::string& text, uint8_t mac[6]);

// The usage text printed by "help" and after a usage error.
const char* usageText();

} // namespace halyardctl
