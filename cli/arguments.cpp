#include "cli/arguments.h"

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <utility>

#include "exporter/server.h"
#include "network/model.h"
#include "packet/frame_bytes.h"

namespace halyardctl {

namespace {

// The arguments left to read; every read is checked against what is there.
class ArgCursor {
  public:
    explicit ArgCursor(const std::vector<std::string>& args) : args_(args) {}
    bool done() const { return at_ >= args_.size(); }
    const std::string& peek() const { return args_[at_]; }
    std::string next() { return args_[at_++]; }
    // The value of option `name`: "--name=value" (given as `inlineValue`) or the next argument.
    bool value(const std::string& name, const std::optional<std::string>& inlineValue,
               std::string& out, std::string& error) {
        if (inlineValue) {
            out = *inlineValue;
            return true;
        }
        if (done()) {
            error = "option " + name + " needs a value";
            return false;
        }
        out = next();
        return true;
    }

  private:
    const std::vector<std::string>& args_;
    size_t at_ = 0;
};

bool parseNumber(const std::string& text, long low, long high, long& out) {
    if (text.empty() || text.size() > 10)
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    errno = 0;
    long v = std::strtol(text.c_str(), nullptr, 10);
    if (errno != 0 || v < low || v > high)
        return false;
    out = v;
    return true;
}

bool parseDeviceArg(const std::string& text, bool allowPassword, DeviceArg& out,
                    std::string& error) {
    size_t eq = text.find('=');
    out.macText = eq == std::string::npos ? text : text.substr(0, eq);
    if (eq != std::string::npos) {
        if (!allowPassword) {
            error = "bad MAC address \"" + text + "\"";
            return false;
        }
        out.password = text.substr(eq + 1);
    }
    if (!parseMacArgument(out.macText, out.mac)) {
        error = "bad MAC address \"" + out.macText +
                "\" (expected six hexadecimal pairs such as "
                "00:B0:52:00:00:10)";
        return false;
    }
    return true;
}

// Splits "--name=value" into the name and the value.
std::pair<std::string, std::optional<std::string>> splitOption(const std::string& arg) {
    size_t eq = arg.find('=');
    if (arg.rfind("--", 0) != 0 || eq == std::string::npos)
        return {arg, std::nullopt};
    return {arg.substr(0, eq), arg.substr(eq + 1)};
}

// ---- Options of each command --------------------------------------------------------------

// Stores an option's value (empty for a flag); false with `error` when it is refused.
using OptionSetter = bool (*)(Options& o, const std::string& value, std::string& error);

struct OptionRow {
    Command command;
    const char* name;
    const char* alias; // another spelling, or null
    bool takesValue;
    OptionSetter set;
};

bool setInterval(Options& o, const std::string& text, std::string& error) {
    long number = 0;
    // The timer counts 50 ms ticks in 16 bits.
    if (!parseNumber(text, 1, 65535 / 20, number)) {
        error = "bad interval \"" + text + "\" (whole seconds, 1 to 3276)";
        return false;
    }
    o.intervalSeconds = static_cast<int>(number);
    return true;
}

bool setCount(Options& o, const std::string& text, std::string& error) {
    long number = 0;
    if (!parseNumber(text, 1, 1000000000L, number)) {
        error = "bad count \"" + text + "\" (a whole number from 1)";
        return false;
    }
    o.count = number;
    return true;
}

constexpr OptionRow kOptions[] = {
    {Command::Watch, "--interval", nullptr, true, setInterval},
    {Command::Watch, "--count", nullptr, true, setCount},
    {Command::Exporter, "--interval", nullptr, true, setInterval},
    {Command::Exporter, "--count", nullptr, true, setCount},
    {Command::Exporter, "--listen", nullptr, true,
     [](Options& o, const std::string& v, std::string& error) {
         return exporter::parseListenAddress(v, o.listenHost, o.listenPort, error);
     }},
    {Command::SetKey, "--network-password", nullptr, true,
     [](Options& o, const std::string& v, std::string&) { return o.networkPassword = v, true; }},
    {Command::SetKey, "--local", nullptr, false,
     [](Options& o, const std::string&, std::string&) { return o.local = true; }},
    {Command::Public, "--local", nullptr, false,
     [](Options& o, const std::string&, std::string&) { return o.local = true; }},
    {Command::SetKey, "--network-password-file", nullptr, true,
     [](Options& o, const std::string& v, std::string&) {
         return o.networkPasswordFile = v, true;
     }},
    {Command::Add, "--password", nullptr, true,
     [](Options& o, const std::string& v, std::string&) { return o.addPassword = v, true; }},
    {Command::Add, "--password-file", nullptr, true,
     [](Options& o, const std::string& v, std::string&) { return o.passwordFile = v, true; }},
    {Command::Password, "--password-file", nullptr, true,
     [](Options& o, const std::string& v, std::string&) { return o.passwordFile = v, true; }},
    {Command::Add, "--name", nullptr, true,
     [](Options& o, const std::string& v, std::string&) { return o.addName = v, true; }},
    {Command::Reset, "--yes", "-y", false,
     [](Options& o, const std::string&, std::string&) { return o.yes = true; }},
    {Command::Upgrade, "--pib", nullptr, true,
     [](Options& o, const std::string& v, std::string&) { return o.pib = v, true; }},
    {Command::Upgrade, "--nvm", nullptr, true,
     [](Options& o, const std::string& v, std::string&) { return o.nvm = v, true; }},
    {Command::Upgrade, "--image", nullptr, true,
     [](Options& o, const std::string& v, std::string&) { return o.image = v, true; }},
    {Command::Upgrade, "--config", nullptr, true,
     [](Options& o, const std::string& v, std::string&) { return o.config = v, true; }},
    {Command::Map, "--dot", nullptr, false,
     [](Options& o, const std::string&, std::string&) { return o.dot = true; }},
    {Command::Report, "--output", "-o", true,
     [](Options& o, const std::string& v, std::string&) { return o.outputFile = v, true; }},
};

const OptionRow* findOption(Command command, const std::string& name) {
    for (const OptionRow& row : kOptions) {
        if (row.command == command && (name == row.name || (row.alias && name == row.alias)))
            return &row;
    }
    return nullptr;
}

// ---- Positional arguments of each command ----------------------------------------------------

// Checks the positional arguments and what the options left to check.
using PositionalCheck = bool (*)(const std::vector<std::string>& positional, Options& o,
                                 std::string& error);

bool wantPositional(const std::vector<std::string>& positional, size_t n, const char* shape,
                    const Options& o, std::string& error) {
    if (positional.size() == n)
        return true;
    error = o.commandName + (positional.size() < n ? " needs " : " takes only ") + shape;
    return false;
}

bool onlyOptions(const std::vector<std::string>& positional, Options& o, std::string& error) {
    return wantPositional(positional, 0, "its options", o, error);
}

bool macAndName(const std::vector<std::string>& positional, Options& o, std::string& error) {
    if (!wantPositional(positional, 2, "MAC NAME", o, error))
        return false;
    o.text = positional[1];
    return parseDeviceArg(positional[0], false, o.device, error);
}

// The device password comes from the command line, from --password-file, or
// is asked for on the terminal.
bool macAndPassword(const std::vector<std::string>& positional, Options& o, std::string& error) {
    if (positional.size() == 2 && o.passwordFile.empty()) {
        o.text = positional[1];
        o.textGiven = true;
    } else if (!wantPositional(positional, 1,
                               o.passwordFile.empty() ? "MAC [DEVICE-PASSWORD]"
                                                      : "MAC with --password-file",
                               o, error)) {
        return false;
    }
    return parseDeviceArg(positional[0], false, o.device, error);
}

bool oneMac(const std::vector<std::string>& positional, Options& o, std::string& error) {
    if (!wantPositional(positional, 1, "MAC", o, error))
        return false;
    return parseDeviceArg(positional[0], false, o.device, error);
}

bool keyedDevices(const std::vector<std::string>& positional, Options& o, std::string& error) {
    if (o.networkPassword && !o.networkPasswordFile.empty()) {
        error = "set-key takes --network-password or --network-password-file, not both";
        return false;
    }
    for (const std::string& p : positional) {
        DeviceArg device;
        if (!parseDeviceArg(p, true, device, error))
            return false;
        o.devices.push_back(device);
    }
    if (!o.local && o.devices.empty()) {
        error = o.commandName + " needs --local or at least one MAC";
        return false;
    }
    return true;
}

bool addOptions(const std::vector<std::string>& positional, Options& o, std::string& error) {
    if (!onlyOptions(positional, o, error))
        return false;
    if (o.addPassword && !o.passwordFile.empty()) {
        error = "add takes --password or --password-file, not both";
        return false;
    }
    return true;
}

bool mapOptions(const std::vector<std::string>& positional, Options& o, std::string& error) {
    if (o.json && o.dot) {
        error = "map prints either --json or --dot, not both";
        return false;
    }
    return onlyOptions(positional, o, error);
}

bool upgradeOptions(const std::vector<std::string>& positional, Options& o, std::string& error) {
    if (!onlyOptions(positional, o, error))
        return false;
    if (!o.image.empty() || !o.config.empty()) {
        if (!o.pib.empty() || !o.nvm.empty()) {
            error = "upgrade takes either --pib and --nvm or --image [--config], not both";
            return false;
        }
        if (o.image.empty()) {
            error = "upgrade --config needs --image FILE";
            return false;
        }
        return true;
    }
    if (o.pib.empty() || o.nvm.empty()) {
        error = "upgrade needs --pib FILE and --nvm FILE (or --image FILE [--config FILE])";
        return false;
    }
    return true;
}

// One row per command: its name, and the check of what follows its options.
// exporter: no positional arguments; loopback and the default port unless
// --listen named others.
bool exporterOptions(const std::vector<std::string>& positional, Options& o, std::string& error) {
    if (o.listenHost.empty()) {
        o.listenHost = exporter::kDefaultListenHost;
        o.listenPort = exporter::kDefaultPort;
    }
    return onlyOptions(positional, o, error);
}

struct CommandRow {
    const char* name;
    Command command;
    PositionalCheck finish;
};

constexpr CommandRow kCommands[] = {
    {"help", Command::Help, onlyOptions},
    {"version", Command::Version, onlyOptions},
    {"list", Command::List, onlyOptions},
    {"watch", Command::Watch, onlyOptions},
    {"rename", Command::Rename, macAndName},
    {"password", Command::Password, macAndPassword},
    {"set-key", Command::SetKey, keyedDevices},
    {"public", Command::Public, keyedDevices},
    {"add", Command::Add, addOptions},
    {"reset", Command::Reset, oneMac},
    {"upgrade", Command::Upgrade, upgradeOptions},
    {"report", Command::Report, onlyOptions},
    {"history", Command::History, onlyOptions}, // its options: parseHistoryArguments
    {"map", Command::Map, mapOptions},
    {"exporter", Command::Exporter, exporterOptions},
};

const CommandRow* findCommand(const std::string& name) {
    for (const CommandRow& row : kCommands) {
        if (name == row.name)
            return &row;
    }
    return nullptr;
}

// The options and positional arguments after the command name, read through
// the command's rows.
bool parseCommandArguments(ArgCursor& cursor, Options& o, std::string& error) {
    std::vector<std::string> positional;
    while (!cursor.done()) {
        std::string arg = cursor.next();
        auto [name, inlineValue] = splitOption(arg);
        const OptionRow* row = nullptr;
        std::string value;
        if (arg == "--") {
            while (!cursor.done())
                positional.push_back(cursor.next());
            continue;
        }
        if (name == "--json") {
            if (inlineValue) {
                error = "option " + name + " takes no value";
                return false;
            }
            o.json = true;
            continue;
        }
        if (name == "--interface" || name == "-i") {
            if (!cursor.value(name, inlineValue, o.interfaceName, error))
                return false;
            continue;
        }
        if (arg.size() <= 1 || arg[0] != '-') {
            positional.push_back(arg);
            continue;
        }
        row = findOption(o.command, name);
        if (row == nullptr) {
            error = "unknown option \"" + arg + "\" for " + o.commandName;
            return false;
        }
        if (!row->takesValue && inlineValue) {
            error = "option " + name + " takes no value";
            return false;
        }
        if (row->takesValue && !cursor.value(name, inlineValue, value, error))
            return false;
        if (!row->set(o, value, error))
            return false;
    }
    const CommandRow* command = findCommand(o.commandName);
    return command == nullptr || command->finish(positional, o, error);
}

} // namespace

bool parseMacArgument(const std::string& text, uint8_t mac[6]) {
    if (text.size() != 17)
        return false;
    std::string colons = text;
    for (size_t i = 2; i < colons.size(); i += 3) {
        if (colons[i] == '-')
            colons[i] = ':';
    }
    if (!parseMac(colons.c_str(), mac))
        return false;
    return macIsSet(mac) && !macEqual(mac, kBroadcastMac);
}

bool parseArguments(const std::vector<std::string>& args, Options& o, std::string& error) {
    ArgCursor cursor(args);
    // Global options come before the command.
    while (!cursor.done() && cursor.peek().size() > 1 && cursor.peek()[0] == '-') {
        std::string arg = cursor.next();
        auto [name, inlineValue] = splitOption(arg);
        if (name == "--json" && !inlineValue) {
            o.json = true;
        } else if (name == "--interface" || name == "-i") {
            if (!cursor.value(name, inlineValue, o.interfaceName, error))
                return false;
        } else if (arg == "--help" || arg == "-h") {
            o.command = Command::Help;
            o.commandName = "help";
            return true;
        } else if (arg == "--version") {
            o.command = Command::Version;
            o.commandName = "version";
            return true;
        } else {
            error = "unknown option \"" + arg + "\"";
            return false;
        }
    }
    if (cursor.done()) {
        error = "no command given";
        return false;
    }
    o.commandName = cursor.next();
    const CommandRow* command = findCommand(o.commandName);
    if (command != nullptr)
        o.command = command->command;
    if (command == nullptr) {
        error = "unknown command \"" + o.commandName + "\"";
        return false;
    }
    if (o.command == Command::History) {
        // history reads a file only; its own parser is beside it (cli/history.cpp).
        std::vector<std::string> rest;
        while (!cursor.done())
            rest.push_back(cursor.next());
        return parseHistoryArguments(rest, o.json, o.history, error);
    }
    if (!parseCommandArguments(cursor, o, error))
        return false;
    if (o.interfaceName.find('\0') != std::string::npos || o.interfaceName.size() > 255) {
        error = "bad interface name";
        return false;
    }
    return true;
}

const char* usageText() {
    return "usage: halyardctl [--interface IF] [--json] COMMAND ...\n"
           "  list                                  the local adapter and the remotes on its "
           "network\n"
           "  exporter [--listen ADDR:PORT] [--interval S] [--count N]   Prometheus metrics "
           "of every cycle (default 127.0.0.1:8847)\n"
           "  watch [--interval S] [--count N]      one line per adapter per cycle (JSON Lines "
           "with --json)\n"
           "  rename MAC NAME                       name stored in the device database\n"
           "  password MAC [DEVICE-PASSWORD | --password-file FILE]\n"
           "                                        device password stored in the device database\n"
           "  set-key [--network-password P | --network-password-file FILE] [--local]\n"
           "          [MAC[=DEVICE-PASSWORD] ...]\n"
           "  public [--local] [MAC[=DEVICE-PASSWORD] ...]   back to the standard's public "
           "network\n"
           "  add [--password DEVICE-PASSWORD | --password-file FILE] [--name NAME]\n"
           "  reset MAC [--yes]                     factory defaults\n"
           "  upgrade --pib FILE --nvm FILE | --image FILE [--config FILE]\n"
           "  report [-o FILE]                      the diagnostics report text\n"
           "  history [MAC ...] [--since WHEN] [--until WHEN] [--csv] [--summary]\n"
           "                                        rates kept by the window and watch; WHEN is\n"
           "                                        ISO-8601 or back from now (90m, 24h, 7d)\n"
           "  history --from MAC --to MAC [--since WHEN] [--until WHEN] [--csv] [--summary]\n"
           "                                        the rate from one adapter to another, kept\n"
           "                                        while the window's Network Map is open\n"
           "  map [--dot]                           the rate between every pair of adapters\n"
           "  help | version\n"
           "A password left out is asked for on the terminal; FILE \"-\" is standard input.\n"
           "Passwords given as arguments are visible to every user of the machine (ps).\n"
           "Exit status: 0 success, 1 the operation failed on the network, 2 bad input or usage,\n"
           "3 no adapter, no capture rights, or halyard is running.\n";
}

} // namespace halyardctl
