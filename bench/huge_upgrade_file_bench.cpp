// `halyardctl upgrade` with a firmware file of 4 GiB: how long until it exits
// and how much memory it took. The file is sparse (it costs no disk); the
// program must refuse it from its size alone, so the figures are those of a
// start-up that reads nothing.
//
// For each form (AV: --nvm huge --pib small, and --pib huge; HomePlug 1.0:
// --image huge) the program is started as a user starts it, in a fresh folder
// with its own home, and timed from start to exit; its peak resident memory
// comes from wait4's rusage. `halyardctl version` through the same start-up
// gives the part that is only starting a process.
//
// Goal: exit status 2, wall time within 0.1 s of `version`, peak memory
// within 2 MiB of `version` (4 GiB read whole would be 4 GiB more).
//
// Usage: bench_huge_upgrade_file [runs, default 5]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace {

struct Figures {
    int status = -1;
    double seconds = 0;
    long peakKib = 0;
};

Figures runOnce(const TempDir& dir, const std::vector<std::string>& args) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        if (chdir(dir.path().c_str()) != 0)
            _exit(127);
        for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_RUNTIME_DIR"})
            setenv(name, dir.path().c_str(), 1);
        const int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, STDOUT_FILENO);
        dup2(quiet, STDERR_FILENO);
        std::vector<char*> argv{const_cast<char*>(HALYARDCTL_PATH)};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(HALYARDCTL_PATH, argv.data());
        _exit(127);
    }
    Figures f;
    int status = 0;
    rusage usage{};
    if (child > 0 && wait4(child, &status, 0, &usage) == child) {
        f.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        f.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        f.peakKib = usage.ru_maxrss;
    }
    return f;
}

void report(const char* name, const TempDir& dir, const std::vector<std::string>& args, int runs) {
    double best = 1e9;
    long peak = 0;
    int status = -1;
    for (int i = 0; i < runs; ++i) {
        const Figures f = runOnce(dir, args);
        best = std::min(best, f.seconds);
        peak = std::max(peak, f.peakKib);
        status = f.status;
    }
    std::printf("%-28s exit %d  best %.3f s  peak %ld KiB\n", name, status, best, peak);
}

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    TempDir dir;
    const std::string huge = dir.file("huge.bin");
    const int fd = open(huge.c_str(), O_WRONLY | O_CREAT, 0600);
    if (fd < 0 || ftruncate(fd, off_t{4} << 30) != 0) {
        std::perror("making the sparse file");
        return 1;
    }
    close(fd);
    const std::string small = dir.file("small.bin");
    writeFileBytes(small, std::vector<uint8_t>(100, 1));
    report("version", dir, {"version"}, runs);
    report("upgrade --nvm 4GiB --pib", dir, {"upgrade", "--nvm", huge, "--pib", small}, runs);
    report("upgrade --nvm --pib 4GiB", dir, {"upgrade", "--nvm", small, "--pib", huge}, runs);
    report("upgrade --image 4GiB", dir, {"upgrade", "--image", huge}, runs);
    return 0;
}
