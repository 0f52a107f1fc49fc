#pragma once
// halyardctl run inside the test process against an emulated home: the
// program's own entry point with the emulator's wire as its packet driver and
// the home's virtual clock, working folder and data directory. What it printed
// and its exit code come back together. A test may give a clock of its own
// that stands in front of the home's (it must keep the home's time).
#include <sstream>
#include <string>
#include <vector>

#include "cli/halyardctl.h"
#include "support/emulated_halyard.h"

struct CtlRun {
    int code = -1;
    std::string out, err;
};

inline CtlRun runHalyardctl(EmulatedHalyard& home, const std::vector<std::string>& args,
                            halyardctl::Environment env = {}) {
    env.driver = &home.wire;
    if (env.clock == nullptr)
        env.clock = &home.clock;
    env.setup = home.setup();
    std::ostringstream out, err;
    CtlRun r;
    r.code = halyardctl::run(args, out, err, env);
    r.out = out.str();
    r.err = err.str();
    return r;
}
