// Network scan and automatic scan over a veth pair (real time), each part run
// through the capture helper (what halyard and halyardctl use) and through
// libpcap in this process, one after the other in the same run, so that the
// helper's cost shows against the same machine:
//
// 1. First-scan time with one HomePlug AV adapter and with no adapter at all,
//    each next to the sum of the time-outs the scan prescribes on that path:
//    - AV adapter found: every AV request of the scan (the probe, the second
//      version request, every module read request of the key read) waits for
//      its confirmation for at most 100 ms, so the sum is 100 ms per request;
//    - nothing found: per interface the AV probe waits 100 ms, the Turbo probe
//      drains for 100 ms and the three HomePlug 1.0 attempts wait 50, 150 and
//      250 ms: 650 ms per interface, all of which is spent.
// 2. The CPU time the automatic-scan timer spends per minute with one local
//    and three remote AV adapters: timerTick every 50 ms for the given time,
//    the thread's CPU time summed over the ticks, and the capture helper's
//    own CPU time over the same run.
//
// Usage (as root): bench_scan [seconds of timer run, default 60] [scan interval s, default 30]
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "bench/bench_runner.h"
#include "diagnostics/scan_log.h"
#include "maintenance/av_maintenance.h"
#include "network/auto_scan.h"
#include "network/hp10_frames.h"
#include "network/model.h"
#include "network/scan.h"
#include "packet/helper_driver.h"
#include "packet/packet.h"
#include "packet/pcap_driver.h"
#include "platform/clock.h"
#include "plcapi/plcapi.h"
#include "sim/network.h"
#include "storage/device_database.h"
#include "storage/preferences.h"
#include "support/core_bench.h"
#include "support/netns.h"
#include "support/temp_dir.h"

namespace {

constexpr double kAvWaitMs = 100.0;
constexpr double kNothingFoundPerInterfaceMs = 100.0 + 100.0 + 50.0 + 150.0 + 250.0;

double threadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

double wallMs(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since)
        .count();
}

struct Way {
    const char* name;
    PacketDriver* driver;
};

void resetAll(const std::string& dir, PacketDriver* driver) {
    closeAllInterfaces();
    resetCore();
    setPacketDriver(driver);
    setLogDirectory(dir);
}

// The CPU time (user and system) a process has used so far; 0 for none.
double processCpuMs(pid_t pid) {
    if (pid <= 0)
        return 0;
    FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (f == nullptr)
        return 0;
    char line[1024] = {};
    size_t n = std::fread(line, 1, sizeof line - 1, f);
    std::fclose(f);
    line[n] = 0;
    // Fields after the command name (which may hold spaces) start past ')'.
    const char* rest = std::strrchr(line, ')');
    unsigned long user = 0, system = 0;
    if (rest == nullptr ||
        std::sscanf(rest + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user,
                    &system) != 2)
        return 0;
    return (user + system) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

int totalWrites() {
    int n = 0;
    for (const ScanState& s : scanStates)
        n += s.writes;
    return n;
}

// Scans once and prints the time next to the prescribed time-outs.
bool timeScan(const char* what, const char* way, bool expectFound) {
    auto start = std::chrono::steady_clock::now();
    bool found = scanNetwork();
    double ms = wallMs(start);
    double prescribed =
        expectFound ? kAvWaitMs * totalWrites() : kNothingFoundPerInterfaceMs * interfaceCount;
    std::printf("first scan, %s, %-7s: %s in %.1f ms; prescribed time-outs %.1f ms "
                "(%s), ratio %.3f\n",
                what, way, found ? "found" : "nothing found", ms, prescribed,
                expectFound ? "100 ms per AV request sent" : "650 ms per interface",
                prescribed > 0 ? ms / prescribed : 0.0);
    return found == expectFound;
}

} // namespace

int main(int argc, char** argv) {
    const int seconds = bench::countArgument(argc, argv, 1, 60);
    const int intervalSeconds = bench::countArgument(argc, argv, 2, 30);
    int exitCode = 0;
    const std::unique_ptr<NetnsPair> veth =
        bench::openVeth("bench_scan", "02:48:59:00:00:41", exitCode);
    if (!veth)
        return exitCode;
    NetnsPair& net = *veth;
    TempDir dir;
    HelperDriver helper;
    PcapDriver direct;
    const Way ways[] = {{"helper", &helper}, {"libpcap", &direct}};

    // No adapter: nothing serves the far end yet.
    int status = net.runIn(NetnsPair::Host, [&]() -> int {
        bool ok = true;
        for (const Way& way : ways) {
            resetAll(dir.path(), way.driver);
            ok = timeScan("no adapter", way.name, false) && ok;
        }
        closeAllInterfaces();
        return ok ? 0 : 1;
    });
    if (status != 0)
        return status;

    const std::string scenario = dir.file("bench.json");
    writeFileText(scenario,
                  R"({"name": "bench", "stations": [
        {"family": "av", "mac": "00:B0:52:00:00:10", "local": true, "rate": 150},
        {"family": "av", "mac": "00:B0:52:00:00:11", "rate": 120},
        {"family": "av", "mac": "00:B0:52:00:00:12", "rate": 90},
        {"family": "av", "mac": "00:B0:52:00:00:13", "rate": 60}]})");
    NetnsProcess emulator =
        net.spawn(NetnsPair::Plc,
                  {PLCSIM_PATH, "--interface", net.ifName(NetnsPair::Plc), "--scenario", scenario},
                  dir.file("plcsim.log"));
    if (!emulator.running()) {
        std::fprintf(stderr, "bench_scan: plcsim did not start\n");
        return 1;
    }

    status = net.runIn(NetnsPair::Host, [&]() -> int {
        // plcsim may still be opening its interface.
        bool ready = false;
        for (int attempt = 0; attempt < 50 && !ready; ++attempt) {
            resetAll(dir.path(), &direct);
            openAllInterfaces();
            ready = discoverLocalAv();
            if (!ready)
                sleepMs(100);
        }
        if (!ready) {
            std::fprintf(stderr, "bench_scan: no emulated AV adapter answered\n");
            return 1;
        }
        for (const Way& way : ways) {
            resetAll(dir.path(), way.driver);
            if (!timeScan("one AV adapter", way.name, true))
                return 1;
        }
        for (const Way& way : ways) {
            ManualScanTimer timer;
            resetAll(dir.path(), way.driver);
            setScanTimer(&timer);
            if (!startAutoScan(static_cast<uint16_t>(intervalSeconds * 20), 3, true)) {
                std::fprintf(stderr, "bench_scan: the automatic scan found nothing\n");
                return 1;
            }
            const pid_t helperPid = way.driver == &helper ? helper.helperPid() : 0;
            const double helperBefore = processCpuMs(helperPid);
            int ticks = seconds * 1000 / kTimerPeriodMs;
            double cpu = 0, longest = 0;
            int cycles = 0, mostActive = 0;
            auto start = std::chrono::steady_clock::now();
            for (int n = 0; n < ticks; ++n) {
                auto due = start + std::chrono::milliseconds((n + 1) * kTimerPeriodMs);
                double before = threadCpuMs();
                auto tickStart = std::chrono::steady_clock::now();
                int stepBefore = cycleStep;
                timerTick();
                longest = std::max(longest, wallMs(tickStart));
                cpu += threadCpuMs() - before;
                if (stepBefore == 7 && cycleStep == 8)
                    ++cycles;
                mostActive =
                    std::max(mostActive, networkRecords[currentInterface].activeRemoteCount);
                std::this_thread::sleep_until(due);
            }
            double wall = wallMs(start);
            double perMinute = cpu * 60000.0 / wall;
            double helperPerMinute = (processCpuMs(helperPid) - helperBefore) * 60000.0 / wall;
            std::printf("timer, %-7s: %d ticks in %.1f s, scan interval %d s, %d cycles, up to %d "
                        "of 3 remotes active; CPU %.1f ms, %.1f ms per minute = %.3f%% of a core "
                        "(target < 1%%), the capture helper's %.1f ms per minute; longest tick "
                        "%.1f ms\n",
                        way.name, ticks, wall / 1000.0, intervalSeconds, cycles, mostActive, cpu,
                        perMinute, perMinute / 600.0, helperPerMinute, longest);
            setScanTimer(nullptr);
            resetAutoScan();
        }
        closeAllInterfaces();
        setPacketDriver(nullptr);
        setLocalDeviceObserver(nullptr);
        return 0;
    });
    emulator.stop();
    return status;
}
