#pragma once
// What every bench program shares: reading its counts from the command line,
// timing, the spread of a set of samples, a veth pair in network namespaces
// (or the one line that says why the bench is skipped), and a program started
// as a user starts it with its wall time and peak memory.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "support/netns.h"

namespace bench {

using Steady = std::chrono::steady_clock;

inline double msSince(Steady::time_point start) {
    return std::chrono::duration<double, std::milli>(Steady::now() - start).count();
}

// argv[index] as a count of at least `minimum`; `fallback` when it is absent.
inline int countArgument(int argc, char** argv, int index, int fallback, int minimum = 1) {
    if (argc <= index)
        return fallback;
    return std::max(minimum, std::atoi(argv[index]));
}

// The spread of a set of samples; all zeros for none.
struct Spread {
    double min = 0, median = 0, p90 = 0, p99 = 0, max = 0;
    size_t count = 0;
};

inline Spread spreadOf(std::vector<double> samples) {
    Spread s;
    s.count = samples.size();
    if (samples.empty())
        return s;
    std::sort(samples.begin(), samples.end());
    auto at = [&](double q) {
        return samples[std::min(samples.size() - 1, static_cast<size_t>(q * samples.size()))];
    };
    s.min = samples.front();
    s.median = at(0.5);
    s.p90 = at(0.9);
    s.p99 = at(0.99);
    s.max = samples.back();
    return s;
}

// A veth pair between this namespace and a peer namespace, the host end with
// `hostMac`. Without the rights to make one, prints why the bench is skipped
// and returns null with `exitCode` 0; a failure returns null with 1.
inline std::unique_ptr<NetnsPair> openVeth(const char* bench, const char* hostMac, int& exitCode) {
    exitCode = 0;
    if (!haveNetnsPrivileges()) {
        std::printf("%s: skipped: %s\n", bench, netnsSkipMessage());
        return nullptr;
    }
    NetnsPair::Options options;
    options.hostMac = hostMac;
    auto pair = std::make_unique<NetnsPair>(options);
    if (!pair->ok()) {
        std::fprintf(stderr, "%s: %s\n", bench, pair->error().c_str());
        exitCode = 1;
        return nullptr;
    }
    return pair;
}

// One run of a program, started in `folder` with its own home and state
// folders there and its output discarded.
struct ProgramRun {
    int status = -1; // exit status; -1 when it did not exit normally
    double seconds = 0;
    long peakKib = 0; // peak resident memory
};

inline ProgramRun runProgram(const std::string& program, const std::vector<std::string>& args,
                             const std::string& folder) {
    const auto start = Steady::now();
    const pid_t child = fork();
    if (child == 0) {
        if (chdir(folder.c_str()) != 0)
            _exit(127);
        for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_RUNTIME_DIR"})
            setenv(name, folder.c_str(), 1);
        const int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, STDOUT_FILENO);
        dup2(quiet, STDERR_FILENO);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    ProgramRun run;
    int status = 0;
    rusage usage{};
    if (child > 0 && wait4(child, &status, 0, &usage) == child) {
        run.seconds = std::chrono::duration<double>(Steady::now() - start).count();
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.peakKib = usage.ru_maxrss;
    }
    return run;
}

} // namespace bench
