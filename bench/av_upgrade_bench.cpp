// Upgrades the local HomePlug AV adapter of the emulator with a 1 MiB firmware
// image and a 7992-byte parameter block over a veth pair (real time) and
// prints wall time, round trips and the ratio of wall time to the fixed sleeps
// the upgrade prescribes: 1 ms after each accepted confirmation and 1 ms
// before the next block (slept as one), so 2 ms per round trip. Each run
// upgrades twice, through the capture helper (what the programs use) and
// through libpcap in this process, so that both see the same machine.
//
// Each run also prints where its time went: the sleeps (as prescribed and as
// slept), the sends, the takes that brought a frame or ran out, and per block
// how long after its send the confirmation was taken (median, p90, p99: the
// tail is what the mean pays for).
//
// The emulator answers without added latency by default, so the figures show
// the upgrade's own overhead; a second argument sets its latency in ms.
//
// Usage (as root): bench_av_upgrade [runs] [emulator latency ms]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_runner.h"
#include "maintenance/av_maintenance.h"
#include "network/model.h"
#include "packet/helper_driver.h"
#include "packet/packet.h"
#include "packet/pcap_driver.h"
#include "platform/clock.h"
#include "platform/messages.h"
#include "plcapi/plcapi.h"
#include "sim/network.h"
#include "support/image_builders.h"
#include "support/netns.h"
#include "support/temp_dir.h"

namespace {

constexpr size_t kFirmwareSize = 1u << 20;
constexpr double kPrescribedSleepPerRoundTripMs = 2.0;

struct Run {
    bool ok = false;
    double wallMs = 0;
    int roundTrips = 0;
};

using bench::msSince;
using bench::Steady;

// Where an upgrade's time goes: the sleeps, the sends, and the takes that
// brought a frame or ran out their read time-out.
struct Spent {
    int sleeps = 0, sends = 0, takesWithFrame = 0, emptyTakes = 0;
    double sleepMs = 0, asleepMs = 0, sendMs = 0, frameTakeMs = 0, emptyTakeMs = 0;
    // Per block: from the start of its send to the first frame taken after
    // it (the confirmation), in microseconds.
    std::vector<double> answerUs;
    Steady::time_point lastSendStart;
    bool answerAwaited = false;
    void clear() { *this = Spent{}; }
};

class TimedClock : public Clock {
  public:
    explicit TimedClock(Spent& spent) : spent_(spent) {}
    uint32_t tickCount() override { return real_.tickCount(); }
    void sleepMs(uint32_t ms) override {
        const auto start = Steady::now();
        real_.sleepMs(ms);
        ++spent_.sleeps;
        spent_.sleepMs += ms;
        spent_.asleepMs += msSince(start);
    }

  private:
    RealClock real_;
    Spent& spent_;
};

class TimedDriver : public PacketDriver {
  public:
    TimedDriver(PacketDriver& driver, Spent& spent) : driver_(driver), spent_(spent) {}
    bool enumerate(std::vector<DriverInterface>& out) override { return driver_.enumerate(out); }
    bool readMac(const std::string& name, uint8_t mac[6]) override {
        return driver_.readMac(name, mac);
    }
    void* open(const std::string& name, std::string& error, bool& permissionDenied) override {
        return driver_.open(name, error, permissionDenied);
    }
    void close(void* handle) override { driver_.close(handle); }
    bool send(void* handle, const uint8_t* bytes, size_t length) override {
        const auto start = Steady::now();
        bool ok = driver_.send(handle, bytes, length);
        spent_.lastSendStart = start;
        spent_.answerAwaited = ok;
        ++spent_.sends;
        spent_.sendMs += msSince(start);
        return ok;
    }
    TakeResult takeOne(void* handle, std::vector<uint8_t>& frame) override {
        const auto start = Steady::now();
        TakeResult r = driver_.takeOne(handle, frame);
        if (r == TakeResult::Frame) {
            if (spent_.answerAwaited)
                spent_.answerUs.push_back(msSince(spent_.lastSendStart) * 1000);
            spent_.answerAwaited = false;
            ++spent_.takesWithFrame;
            spent_.frameTakeMs += msSince(start);
        } else {
            ++spent_.emptyTakes;
            spent_.emptyTakeMs += msSince(start);
        }
        return r;
    }

  private:
    PacketDriver& driver_;
    Spent& spent_;
};

void printSpent(const Spent& s, double wallMs) {
    const bench::Spread answer = bench::spreadOf(s.answerUs);
    std::printf("    sleeps: %d, %.1f ms prescribed, %.1f ms asleep (%.4f ms per 1 ms)\n"
                "    sends: %d, %.1f ms; takes with a frame: %d, %.1f ms; empty takes: %d, "
                "%.1f ms\n    everything else %.1f ms\n"
                "    answer after the send: median %.1f us, p90 %.1f us, p99 %.1f us\n",
                s.sleeps, s.sleepMs, s.asleepMs, s.sleepMs > 0 ? s.asleepMs / s.sleepMs : 0.0,
                s.sends, s.sendMs, s.takesWithFrame, s.frameTakeMs, s.emptyTakes, s.emptyTakeMs,
                wallMs - s.asleepMs - s.sendMs - s.frameTakeMs - s.emptyTakeMs, answer.median,
                answer.p90, answer.p99);
}

std::vector<uint8_t> firmwareImage() {
    NvmBlockSpec block;
    block.loadAddress = 0x00100000;
    block.image = patternBytes(kFirmwareSize - 44, 7);
    block.word16 = 0x00000001;
    block.word20 = 0x00000002;
    return makeNvmImage({block});
}

bool findLocalDevice() {
    // plcsim may still be opening its interface: probe for up to 5 s.
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (discoverLocalAv())
            return true;
        sleepMs(100);
    }
    return false;
}

// Opens the interfaces on `driver` and finds the emulated adapter there.
bool useDriver(PacketDriver* driver) {
    closeAllInterfaces();
    setPacketDriver(driver);
    openAllInterfaces();
    currentInterface = 0;
    return interfaceCount >= 1 && findLocalDevice();
}

Run upgradeOnce(const std::string& nvm, const std::string& pib) {
    Run run;
    const int writesBefore = scanStates[currentInterface].writes;
    auto start = std::chrono::steady_clock::now();
    run.ok = upgradeLocalAv(nvm.c_str(), pib.c_str()).upgraded;
    auto end = std::chrono::steady_clock::now();
    run.wallMs = std::chrono::duration<double, std::milli>(end - start).count();
    run.roundTrips = scanStates[currentInterface].writes - writesBefore;
    return run;
}

} // namespace

int main(int argc, char** argv) {
    const int runs = bench::countArgument(argc, argv, 1, 3);
    const int latencyMs = bench::countArgument(argc, argv, 2, 0, 0);
    int exitCode = 0;
    const std::unique_ptr<NetnsPair> veth =
        bench::openVeth("bench_av_upgrade", "02:48:59:00:00:01", exitCode);
    if (!veth)
        return exitCode;
    NetnsPair& net = *veth;
    TempDir dir;
    const std::string nvm = dir.file("bench.nvm");
    const std::string pib = dir.file("bench.pib");
    writeFileBytes(nvm, firmwareImage());
    writeFileBytes(pib, makeValidPib33());
    const std::string scenario = dir.file("bench.json");
    writeFileText(scenario, "{\"name\": \"bench\", \"latencyMs\": " + std::to_string(latencyMs) +
                                ", \"stations\": [{\"family\": \"av\", \"mac\": "
                                "\"00:B0:52:00:00:10\", \"local\": true, \"chip\": 2, "
                                "\"configBlock\": {\"mode\": 0}}]}");

    NetnsProcess emulator =
        net.spawn(NetnsPair::Plc,
                  {PLCSIM_PATH, "--interface", net.ifName(NetnsPair::Plc), "--scenario", scenario},
                  dir.file("plcsim.log"));
    if (!emulator.running()) {
        std::fprintf(stderr, "bench_av_upgrade: plcsim did not start\n");
        return 1;
    }

    int status = net.runIn(NetnsPair::Host, [&]() -> int {
        resetDeviceModel();
        resetAvMaintenance();
        resetPlcapi();
        openAllInterfaces();
        currentInterface = 0;
        if (interfaceCount < 1 || !findLocalDevice()) {
            std::fprintf(stderr, "bench_av_upgrade: no emulated AV device answered\n");
            return 1;
        }
        currentInterface = 0;
        readConfigurationBlock();
        std::printf("bench_av_upgrade: chip %s, options 0x%02X, firmware %zu bytes, "
                    "parameter block 7992 bytes, emulator latency %d ms\n",
                    chipModel, upgradeOptions(), kFirmwareSize, latencyMs);
        HelperDriver helper;
        PcapDriver direct;
        Spent spent;
        TimedClock clock(spent);
        TimedDriver timedHelper(helper, spent), timedDirect(direct, spent);
        setSystemClock(&clock);
        struct Way {
            const char* name;
            PacketDriver* driver;
            std::vector<double> ratios;
        } ways[] = {{"helper", &timedHelper, {}}, {"libpcap", &timedDirect, {}}};
        for (int i = 0; i < runs; ++i) {
            for (Way& way : ways) {
                if (!useDriver(way.driver)) {
                    std::fprintf(stderr, "bench_av_upgrade: %s: no emulated AV device answered\n",
                                 way.name);
                    return 1;
                }
                spent.clear();
                Run r = upgradeOnce(nvm, pib);
                double prescribed = kPrescribedSleepPerRoundTripMs * r.roundTrips;
                double ratio = prescribed > 0 ? r.wallMs / prescribed : 0;
                way.ratios.push_back(ratio);
                std::printf("run %d %-7s: %s, wall %.1f ms, %d round trips (%.3f ms each), "
                            "prescribed sleeps %.1f ms, ratio %.3f\n",
                            i + 1, way.name, r.ok ? "upgraded" : "FAILED", r.wallMs, r.roundTrips,
                            r.roundTrips ? r.wallMs / r.roundTrips : 0.0, prescribed, ratio);
                printSpent(spent, r.wallMs);
                if (!r.ok) {
                    std::fprintf(stderr, "bench_av_upgrade: helper's last error: %s\n",
                                 helper.lastError().c_str());
                    return 1;
                }
            }
        }
        for (Way& way : ways) {
            std::printf("%-7s median ratio %.3f (goal through the helper <= 1.05)\n", way.name,
                        bench::spreadOf(way.ratios).median);
        }
        closeAllInterfaces();
        setPacketDriver(nullptr);
        setSystemClock(nullptr);
        return 0;
    });
    emulator.stop();
    return status;
}
