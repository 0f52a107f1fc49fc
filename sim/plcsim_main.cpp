// plcsim: serves an emulated powerline network on a real interface.
//
//   plcsim --interface IF --scenario FILE [--verbose]
//
// Exit codes: 0 after SIGINT/SIGTERM, 1 when the interface cannot be served,
// 2 for bad arguments or a bad scenario.
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "sim/network.h"
#include "sim/pcap_server.h"

namespace {

std::atomic<bool> stopRequested{false};

void onSignal(int) {
    stopRequested = true;
}

const char kUsage[] = "usage: plcsim --interface IF --scenario FILE [--verbose]\n";

int usageError(const std::string& message) {
    std::fprintf(stderr, "plcsim: %s\n%s", message.c_str(), kUsage);
    return 2;
}

struct Options {
    std::string interfaceName;
    std::string scenario;
    bool verbose = false;
};

// Returns 0 to go on, or the exit code.
int parseArguments(int argc, char** argv, Options& options, bool& help) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool hasValue = false;
        if (auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            hasValue = true;
        }
        if (arg == "--help" || arg == "-h") {
            help = true;
            return 0;
        }
        if (arg == "--verbose" || arg == "-v") {
            if (hasValue)
                return usageError("--verbose takes no value");
            options.verbose = true;
            continue;
        }
        if (arg != "--interface" && arg != "--scenario")
            return usageError("unknown argument \"" + std::string(argv[i]) + "\"");
        if (!hasValue) {
            if (i + 1 >= argc)
                return usageError(arg + " needs a value");
            value = argv[++i];
        }
        if (value.empty())
            return usageError(arg + " needs a value");
        (arg == "--interface" ? options.interfaceName : options.scenario) = value;
    }
    if (options.interfaceName.empty())
        return usageError("--interface is missing");
    if (options.scenario.empty())
        return usageError("--scenario is missing");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    bool help = false;
    if (int code = parseArguments(argc, argv, options, help))
        return code;
    if (help) {
        std::printf("%s", kUsage);
        return 0;
    }
    sim::Network net;
    try {
        net = sim::Network::fromFile(options.scenario);
    } catch (const sim::ScenarioError& e) {
        std::fprintf(stderr, "plcsim: bad scenario: %s\n", e.what());
        return 2;
    }
    if (options.verbose)
        net.onLog = [](const std::string& line) {
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
        };

    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    sim::PcapServer server(net);
    std::string error;
    if (!server.open(options.interfaceName, error)) {
        std::fprintf(stderr, "plcsim: cannot serve %s: %s\n", options.interfaceName.c_str(),
                     error.c_str());
        return 1;
    }
    std::printf("plcsim: serving %zu stations on %s\n", net.stations().size(),
                options.interfaceName.c_str());
    std::fflush(stdout);
    if (!server.serve(stopRequested, error)) {
        std::fprintf(stderr, "plcsim: capture on %s failed: %s\n", options.interfaceName.c_str(),
                     error.c_str());
        return 1;
    }
    return 0;
}
