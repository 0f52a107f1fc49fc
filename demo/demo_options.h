#pragma once
// The command line of halyard-demo:
//
//   halyard-demo [--keep DIR] [SCENARIO.json]
//
// Without a scenario file the built-in scenario runs. Without --keep the demo
// works in a fresh temporary folder that is removed at the end; with --keep it
// works in DIR (created when missing) and leaves everything there.
#include <string>
#include <vector>

struct DemoOptions {
    std::string scenarioFile; // empty: the built-in scenario
    std::string keepFolder;   // empty: a fresh temporary folder
    bool help = false;
};

// "usage: ..." with one line per option.
std::string demoUsage();

// Parses the arguments after the program name. Returns false with a message
// in `error` for an unknown option, a missing DIR or more than one scenario.
bool parseDemoOptions(const std::vector<std::string>& args, DemoOptions& options,
                      std::string& error);
