#include "cli/arguments.h"

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <tuple>

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

struct CommandName {
    const char* name;
    Command command;
};

constexpr CommandName kCommands[] = {
    {"help", Command::Help},      {"version", Command::Version}, {"list", Command::List},
    {"watch", Command::Watch},    {"rename", Command::Rename},   {"password", Command::Password},
    {"set-key", Command::SetKey}, {"public", Command::Public},   {"add", Command::Add},
    {"reset", Command::Reset},    {"upgrade", Command::Upgrade}, {"report", Command::Report},
    {"map", Command::Map},
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

bool parseCommandArguments(ArgCursor& cursor, Options& o, std::string& error) {
    std::vector<std::string> positional;
    while (!cursor.done()) {
        std::string arg = cursor.next();
        // Plain variables, not a structured binding: the lambdas below
        // capture them, which clang before 16 refuses for bindings.
        std::string name;
        std::optional<std::string> inlineValue;
        std::tie(name, inlineValue) = splitOption(arg);
        std::string value;
        auto takeValue = [&](std::string& into) {
            if (!cursor.value(name, inlineValue, value, error))
                return false;
            into = value;
            return true;
        };
        auto flagOnly = [&] {
            if (inlineValue) {
                error = "option " + name + " takes no value";
                return false;
            }
            return true;
        };
        auto refuse = [&] {
            error = "unknown option \"" + arg + "\" for " + o.commandName;
            return false;
        };
        if (name == "--json") {
            if (!flagOnly())
                return false;
            o.json = true;
        } else if (name == "--interface" || name == "-i") {
            if (!takeValue(o.interfaceName))
                return false;
        } else if (arg == "--") {
            while (!cursor.done())
                positional.push_back(cursor.next());
        } else if (arg.size() > 1 && arg[0] == '-') {
            Command c = o.command;
            std::string text;
            long number = 0;
            if (c == Command::Watch && name == "--interval") {
                if (!takeValue(text))
                    return false;
                // The timer counts 50 ms ticks in 16 bits.
                if (!parseNumber(text, 1, 65535 / 20, number)) {
                    error = "bad interval \"" + text + "\" (whole seconds, 1 to 3276)";
                    return false;
                }
                o.intervalSeconds = static_cast<int>(number);
            } else if (c == Command::Watch && name == "--count") {
                if (!takeValue(text))
                    return false;
                if (!parseNumber(text, 1, 1000000000L, number)) {
                    error = "bad count \"" + text + "\" (a whole number from 1)";
                    return false;
                }
                o.count = number;
            } else if (c == Command::SetKey && name == "--network-password") {
                if (!takeValue(text))
                    return false;
                o.networkPassword = text;
            } else if (c == Command::SetKey && name == "--network-password-file") {
                if (!takeValue(o.networkPasswordFile))
                    return false;
            } else if ((c == Command::Add || c == Command::Password) && name == "--password-file") {
                if (!takeValue(o.passwordFile))
                    return false;
            } else if ((c == Command::SetKey || c == Command::Public) && name == "--local") {
                if (!flagOnly())
                    return false;
                o.local = true;
            } else if (c == Command::Add && name == "--password") {
                if (!takeValue(text))
                    return false;
                o.addPassword = text;
            } else if (c == Command::Add && name == "--name") {
                if (!takeValue(text))
                    return false;
                o.addName = text;
            } else if (c == Command::Reset && (name == "--yes" || name == "-y")) {
                if (!flagOnly())
                    return false;
                o.yes = true;
            } else if (c == Command::Upgrade && name == "--pib") {
                if (!takeValue(o.pib))
                    return false;
            } else if (c == Command::Upgrade && name == "--nvm") {
                if (!takeValue(o.nvm))
                    return false;
            } else if (c == Command::Upgrade && name == "--image") {
                if (!takeValue(o.image))
                    return false;
            } else if (c == Command::Upgrade && name == "--config") {
                if (!takeValue(o.config))
                    return false;
            } else if (c == Command::Report && (name == "-o" || name == "--output")) {
                if (!takeValue(o.outputFile))
                    return false;
            } else if (c == Command::Map && name == "--dot") {
                if (!flagOnly())
                    return false;
                o.dot = true;
            } else {
                return refuse();
            }
        } else {
            positional.push_back(arg);
        }
    }

    auto wantPositional = [&](size_t n, const char* shape) {
        if (positional.size() == n)
            return true;
        error = o.commandName + (positional.size() < n ? " needs " : " takes only ") + shape;
        return false;
    };
    switch (o.command) {
    case Command::Help:
    case Command::Version:
    case Command::List:
    case Command::Watch:
    case Command::Report:
        return wantPositional(0, "its options");
    case Command::Map:
        if (o.json && o.dot) {
            error = "map prints either --json or --dot, not both";
            return false;
        }
        return wantPositional(0, "its options");
    case Command::Rename:
        if (!wantPositional(2, "MAC NAME"))
            return false;
        o.text = positional[1];
        return parseDeviceArg(positional[0], false, o.device, error);
    case Command::Password:
        // The device password comes from the command line, from
        // --password-file, or is asked for on the terminal.
        if (positional.size() == 2 && o.passwordFile.empty()) {
            o.text = positional[1];
            o.textGiven = true;
        } else if (!wantPositional(1, o.passwordFile.empty() ? "MAC [DEVICE-PASSWORD]"
                                                             : "MAC with --password-file")) {
            return false;
        }
        return parseDeviceArg(positional[0], false, o.device, error);
    case Command::Reset:
        if (!wantPositional(1, "MAC"))
            return false;
        return parseDeviceArg(positional[0], false, o.device, error);
    case Command::SetKey:
    case Command::Public:
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
    case Command::Add:
        if (!wantPositional(0, "its options"))
            return false;
        if (o.addPassword && !o.passwordFile.empty()) {
            error = "add takes --password or --password-file, not both";
            return false;
        }
        return true;
    case Command::Upgrade:
        if (!wantPositional(0, "its options"))
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
    return true;
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
    bool known = false;
    for (const CommandName& c : kCommands) {
        if (o.commandName == c.name) {
            o.command = c.command;
            known = true;
        }
    }
    if (!known) {
        error = "unknown command \"" + o.commandName + "\"";
        return false;
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
           "  map [--dot]                           the rate between every pair of adapters\n"
           "  help | version\n"
           "A password left out is asked for on the terminal; FILE \"-\" is standard input.\n"
           "Passwords given as arguments are visible to every user of the machine (ps).\n"
           "Exit status: 0 success, 1 the operation failed on the network, 2 bad input or usage,\n"
           "3 no adapter, no capture rights, or halyard is running.\n";
}

} // namespace halyardctl
