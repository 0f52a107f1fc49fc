#include "demo/demo_options.h"

std::string demoUsage() {
    return "usage: halyard-demo [--keep DIR] [SCENARIO.json]\n"
           "Shows halyard's window on emulated powerline adapters; needs no adapter, no\n"
           "capture rights and no root.\n"
           "  SCENARIO.json  the emulated network (see sim/README.md); default: three\n"
           "                 HomePlug AV adapters and a fourth on another network\n"
           "  --keep DIR     work in DIR (created when missing) and keep it: OEMPrefs.dat,\n"
           "                 the device database, scan.log, the demo images and, at the\n"
           "                 end, emulator-state.json; default: a fresh temporary folder\n"
           "                 that is removed at the end\n"
           "  --help         this text\n";
}

bool parseDemoOptions(const std::vector<std::string>& args, DemoOptions& options,
                      std::string& error) {
    options = {};
    bool onlyFiles = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (!onlyFiles && arg == "--") {
            onlyFiles = true;
        } else if (!onlyFiles && (arg == "--help" || arg == "-h")) {
            options.help = true;
        } else if (!onlyFiles && (arg == "--keep" || arg.rfind("--keep=", 0) == 0)) {
            std::string dir;
            if (arg == "--keep") {
                if (i + 1 >= args.size()) {
                    error = "--keep needs a folder";
                    return false;
                }
                dir = args[++i];
            } else {
                dir = arg.substr(7);
            }
            if (dir.empty()) {
                error = "--keep needs a folder";
                return false;
            }
            if (!options.keepFolder.empty()) {
                error = "--keep is given twice";
                return false;
            }
            options.keepFolder = dir;
        } else if (!onlyFiles && arg.size() > 1 && arg[0] == '-') {
            error = "unknown option " + arg;
            return false;
        } else if (!options.scenarioFile.empty()) {
            error = "only one scenario file can run (" + options.scenarioFile + ", " + arg + ")";
            return false;
        } else {
            options.scenarioFile = arg;
        }
    }
    return true;
}
