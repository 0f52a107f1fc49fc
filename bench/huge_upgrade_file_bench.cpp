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

#include "bench/bench_runner.h"
#include "support/temp_dir.h"

namespace {

void report(const char* name, const TempDir& dir, const std::vector<std::string>& args, int runs) {
    double best = 1e9;
    long peak = 0;
    int status = -1;
    for (int i = 0; i < runs; ++i) {
        const bench::ProgramRun f = bench::runProgram(HALYARDCTL_PATH, args, dir.path());
        best = std::min(best, f.seconds);
        peak = std::max(peak, f.peakKib);
        status = f.status;
    }
    std::printf("%-28s exit %d  best %.3f s  peak %ld KiB\n", name, status, best, peak);
}

} // namespace

int main(int argc, char** argv) {
    const int runs = bench::countArgument(argc, argv, 1, 5);
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
