// The time the network map adds to an automatic cycle, over a veth pair (real
// libpcap, real time) against plcsim serving one local and eight remote
// HomePlug AV adapters.
//
// The map is a Gather consumer of the cycle's end. Probe consumers around it
// (a Gather probe added before it, a Record probe after it) time exactly what
// runs between the cycle's last step and the recorders:
//   - nothing wants the map: no consumer is registered, the extra time is what
//     two empty probes cost;
//   - the map wanted, all eight remotes answering;
//   - the map wanted, all eight remotes silent: each exchange then spends the
//     whole 100 ms confirmation wait the reply wait prescribes.
// Each is set against the prescribed waits: 100 ms per remote asked (800 ms).
//
// Usage (as root): bench_network_map [cycles per case, default 5]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_runner.h"
#include "diagnostics/scan_log.h"
#include "network/auto_scan.h"
#include "network/cycle_consumers.h"
#include "network/hp10_frames.h"
#include "network/model.h"
#include "network/network_map.h"
#include "packet/packet.h"
#include "plcapi/plcapi.h"
#include "support/core_bench.h"
#include "support/netns.h"
#include "support/temp_dir.h"

namespace {

constexpr int kRemotes = 8;
constexpr double kPrescribedMs = kRemotes * 100.0;

using Clock = std::chrono::steady_clock;

std::string scenario(bool silent) {
    std::string text = R"({"name": "bench-map", "stations": [
        {"family": "av", "mac": "00:B0:52:00:00:10", "local": true, "rate": 150})";
    for (int k = 1; k <= kRemotes; ++k) {
        char mac[32];
        std::snprintf(mac, sizeof mac, "00:B0:52:00:00:%02X", 0x10 + k);
        text += std::string(",\n        {\"family\": \"av\", \"mac\": \"") + mac +
                "\", \"rate\": " + std::to_string(200 - 10 * k);
        if (silent)
            text += R"(, "faults": [{"kind": "ignore", "match": "0xA038"}])";
        text += "}";
    }
    return text + "]}";
}

struct Figures {
    std::vector<double> gatherMs;
    std::vector<double> cycleMs;
    int unknownRows = 0;
};

// Runs `cycles` automatic cycles at the timer's pace; times each cycle (from
// its first tick to its end) and the stretch between the two probes.
bool runCycles(int cycles, bool want, Figures& f) {
    Clock::time_point gatherStart{};
    int before =
        addCycleConsumer(CyclePhase::Gather, [&](const CycleEnd&) { gatherStart = Clock::now(); });
    if (want)
        wantNetworkMap();
    int after = addCycleConsumer(CyclePhase::Record, [&](const CycleEnd&) {
        f.gatherMs.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - gatherStart).count());
    });
    bool ok = true;
    for (int c = 0; c < cycles && ok; ++c) {
        cycleStep = 1;
        waitTicks = 0;
        auto start = Clock::now();
        int ticks = 0;
        while (cycleStep < kCycleIdle && ticks < 64) {
            auto due = Clock::now() + std::chrono::milliseconds(kTimerPeriodMs);
            timerTick();
            ++ticks;
            if (cycleStep < kCycleIdle)
                std::this_thread::sleep_until(due);
        }
        f.cycleMs.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        ok = cycleStep >= kCycleIdle &&
             networkRecords[currentInterface].activeRemoteCount == kRemotes;
        if (!ok)
            std::fprintf(stderr, "bench_network_map: the cycle found %d of %d remotes\n",
                         networkRecords[currentInterface].activeRemoteCount, kRemotes);
    }
    if (want) {
        const NetworkMap& map = networkMaps[currentInterface];
        for (int k = 1; k < map.nodeCount; ++k)
            f.unknownRows += map.nodes[k].answered ? 0 : 1;
        releaseNetworkMap();
    }
    removeCycleConsumer(before);
    removeCycleConsumer(after);
    return ok;
}

double median(const std::vector<double>& v) {
    return bench::spreadOf(v).median;
}
double most(const std::vector<double>& v) {
    return bench::spreadOf(v).max;
}

void print(const char* what, const Figures& f, bool against) {
    std::printf("%-34s cycle median %7.1f ms | map part median %7.2f ms, max %7.2f ms", what,
                median(f.cycleMs), median(f.gatherMs), most(f.gatherMs));
    if (against)
        std::printf(" | prescribed %.0f ms, ratio %.3f (max %.3f)", kPrescribedMs,
                    median(f.gatherMs) / kPrescribedMs, most(f.gatherMs) / kPrescribedMs);
    std::printf("\n");
}

// Serves `text` with plcsim and runs the cases in the host namespace.
int runScenario(NetnsPair& net, TempDir& dir, const std::string& text, bool silent, int cycles) {
    const std::string file = dir.file(silent ? "silent.json" : "answering.json");
    writeFileText(file, text);
    NetnsProcess emulator =
        net.spawn(NetnsPair::Plc,
                  {PLCSIM_PATH, "--interface", net.ifName(NetnsPair::Plc), "--scenario", file},
                  dir.file("plcsim.log"));
    if (!emulator.running()) {
        std::fprintf(stderr, "bench_network_map: plcsim did not start\n");
        return 1;
    }
    int status = net.runIn(NetnsPair::Host, [&]() -> int {
        ManualScanTimer timer;
        bool found = false;
        for (int attempt = 0; attempt < 50 && !found; ++attempt) {
            resetCore();
            setLogDirectory(dir.path());
            setScanTimer(&timer);
            found = startAutoScan(static_cast<uint16_t>(30 * 20), 3, true);
            if (!found)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (!found) {
            std::fprintf(stderr, "bench_network_map: no emulated AV adapter answered\n");
            return 1;
        }
        Figures plain, wanted;
        // A first cycle fills the remote slots; then the cases.
        Figures warm;
        bool ok = runCycles(1, false, warm) && runCycles(cycles, false, plain) &&
                  runCycles(cycles, true, wanted);
        if (ok) {
            if (!silent)
                print("nothing wants the map:", plain, false);
            print(silent ? "map wanted, 8 remotes silent:" : "map wanted, 8 remotes answering:",
                  wanted, true);
            std::printf("%-34s extra per cycle %.1f ms (cycle median with map minus without); "
                        "remotes without their own rates: %d\n",
                        "", median(wanted.cycleMs) - median(plain.cycleMs), wanted.unknownRows);
        }
        setScanTimer(nullptr);
        resetAutoScan();
        closeAllInterfaces();
        setLocalDeviceObserver(nullptr);
        return ok ? 0 : 1;
    });
    emulator.stop();
    return status;
}

} // namespace

int main(int argc, char** argv) {
    const int cycles = bench::countArgument(argc, argv, 1, 5);
    int exitCode = 0;
    const std::unique_ptr<NetnsPair> veth =
        bench::openVeth("bench_network_map", "02:48:59:00:00:51", exitCode);
    if (!veth)
        return exitCode;
    NetnsPair& net = *veth;
    TempDir dir;
    std::printf("network map over veth against plcsim: 1 local + %d remote HomePlug AV adapters, "
                "%d cycles per case\n",
                kRemotes, cycles);
    if (int status = runScenario(net, dir, scenario(false), false, cycles); status != 0)
        return status;
    return runScenario(net, dir, scenario(true), true, cycles);
}
