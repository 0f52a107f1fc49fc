// The requests of every step of the automatic scan's seven-step cycle, byte by
// byte, for each family of local adapter, against the emulator on the
// in-memory wire. The expected frames are written here from the frame layouts,
// not with the core's builders, so a wrong destination, source, selector or
// length in a step shows as a difference in that step's frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "network/auto_scan.h"
#include "network/hp10_frames.h"
#include "network/model.h"
#include "network/scan.h"
#include "packet/memory_wire.h"
#include "packet/packet.h"
#include "sim/network.h"
#include "support/core_bench.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Frames = std::vector<Bytes>;

const sim::Mac kHost = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
const sim::Mac kBcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const sim::Mac kMgmt = {0x00, 0xB0, 0x52, 0x00, 0x00, 0x01};

sim::Mac mac(const char* text) {
    return sim::parseMac(text);
}

// A frame as it goes out: destination, source, EtherType, then `body` from
// byte 14; `length` bytes long, zero-filled, and never shorter than 60 bytes
// (the packet interface pads short frames).
Bytes frame(const sim::Mac& dst, const sim::Mac& src, uint16_t etherType,
            std::initializer_list<uint8_t> body, size_t length) {
    Bytes f(std::max<size_t>(length, 60), 0);
    std::memcpy(f.data(), dst.data(), 6);
    std::memcpy(f.data() + 6, src.data(), 6);
    f[12] = static_cast<uint8_t>(etherType >> 8);
    f[13] = static_cast<uint8_t>(etherType);
    std::copy(body.begin(), body.end(), f.begin() + 14);
    return f;
}

// ---- HomePlug 1.0 and Turbo requests (EtherType 0x887B) ----------------------

// Parameters request: one entry, type 0x07, length 0; 17 bytes.
Bytes parametersRequest(const sim::Mac& dst) {
    return frame(dst, kHost, 0x887B, {1, 0x07, 0}, 17);
}
// Local parameters request: type 0x19, length 15, the selector then zeros; 32 bytes.
Bytes localParameters(uint8_t selector, const sim::Mac& src = kHost) {
    return frame(kBcast, src, 0x887B, {1, 0x19, 15, selector}, 32);
}
// Network statistics request: type 0x1A, length field 187, data 0x80; 38 bytes sent.
Bytes networkStatistics(const sim::Mac& src) {
    return frame(kBcast, src, 0x887B, {1, 0x1A, 187, 0x80}, 38);
}
// Turbo vendor request: type 0x02, length 5: 00 04 87, the code, one zero byte; 35 bytes.
Bytes turboRequest(const sim::Mac& dst, uint8_t code) {
    return frame(dst, kHost, 0x887B, {1, 0x02, 5, 0x00, 0x04, 0x87, code, 0x00}, 35);
}
// Turbo read request: type 0x12, length 1, the code; 272 bytes.
Bytes turboRead(const sim::Mac& dst, uint8_t code) {
    return frame(dst, kHost, 0x887B, {1, 0x12, 1, code}, 272);
}

// ---- HomePlug AV requests (EtherType 0x88E1, 64 bytes at least) ------------------

Bytes avRequest(const sim::Mac& dst, uint16_t mmtype, std::initializer_list<uint8_t> payload = {}) {
    Bytes f = frame(
        dst, kHost, 0x88E1,
        {0x00, static_cast<uint8_t>(mmtype), static_cast<uint8_t>(mmtype >> 8), 0x00, 0xB0, 0x52},
        64);
    std::copy(payload.begin(), payload.end(), f.begin() + 20);
    return f;
}
// Read module request for the parameter block (module 2): 20 module, 21 zero,
// 22-23 length, 24-27 offset, little-endian.
Bytes readParameterBlock(const sim::Mac& dst, uint32_t offset, uint16_t length) {
    return avRequest(dst, 0xA024,
                     {2, 0, static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                      static_cast<uint8_t>(offset), static_cast<uint8_t>(offset >> 8),
                      static_cast<uint8_t>(offset >> 16), static_cast<uint8_t>(offset >> 24)});
}

std::string hex(const Bytes& f) {
    std::string out;
    char byte[4];
    for (size_t i = 0; i < f.size(); ++i) {
        std::snprintf(byte, sizeof byte, "%02X", f[i]);
        out += byte;
        out += (i == 5 || i == 11 || i == 13) ? " | " : " ";
    }
    return out;
}

class CycleRequests : public ::testing::Test {
  protected:
    CoreBench bench;
    sim::Network net;

    void SetUp() override { net.attach(bench.wire, bench.addPort("eth0", kHost.data())); }
    void TearDown() override {
        closeAllInterfaces();
        net.detach();
    }

    sim::Station& addLocal(sim::Station station) {
        station.local = true;
        return net.addStation(std::move(station));
    }
    // Runs one 50 ms timer tick; returns every frame it sent, in order.
    Frames tick() {
        size_t mark = bench.wire.sent.size();
        timerTick();
        bench.clock.advance(kTimerPeriodMs);
        Frames sent;
        for (size_t k = mark; k < bench.wire.sent.size(); ++k)
            sent.push_back(bench.wire.sent[k].frame);
        return sent;
    }
    // Runs the tick of cycle step `step` and compares what it sent.
    void expectStep(int step, const Frames& expected) {
        ASSERT_EQ(step, cycleStep) << "the cycle is not at step " << step;
        expectFrames("step " + std::to_string(step), expected, tick());
    }
    static void expectFrames(const std::string& what, const Frames& expected, const Frames& got) {
        std::string report;
        for (size_t k = 0; k < std::max(expected.size(), got.size()); ++k) {
            bool same = k < expected.size() && k < got.size() && expected[k] == got[k];
            if (same)
                continue;
            report += "  frame " + std::to_string(k) + "\n    expected " +
                      (k < expected.size() ? hex(expected[k]) : std::string("(none)")) +
                      "\n    sent     " + (k < got.size() ? hex(got[k]) : std::string("(none)")) +
                      "\n";
        }
        EXPECT_TRUE(report.empty())
            << what << ": " << got.size() << " frames sent, " << expected.size() << " expected\n"
            << report;
    }
};

const char* const kHpLocal = "00:04:87:00:00:10";
const char* const kHpRemote1 = "00:04:87:00:00:11";
const char* const kHpRemote2 = "00:04:87:00:00:12";

// HomePlug 1.0, with the stored parameters copy known (paramsValid): step 1 and
// step 4 ask for the stored copy (selector 0), step 5 for the running copy
// (selector 16). A statistics answer from the local adapter makes the observer
// probe its parameters (three attempts from the interface's MAC) during the
// drain of the next tick.
TEST_F(CycleRequests, Hp10CycleWithTheStoredCopyKnown) {
    addLocal(sim::Station::hp10(kHpLocal));
    net.addStation(sim::Station::hp10(kHpRemote1));
    net.addStation(sim::Station::hp10(kHpRemote2));
    ASSERT_TRUE(startAutoScan(20, 3, true));
    ASSERT_EQ(1, scanStates[0].paramsValid);
    const sim::Mac local = mac(kHpLocal);
    const Frames probe = {localParameters(0), localParameters(0), localParameters(0)};

    expectStep(1, {localParameters(0), parametersRequest(kBcast)});
    // Both remote adapters answered the broadcast: one request to each slot.
    expectStep(2, {parametersRequest(mac(kHpRemote1)), parametersRequest(mac(kHpRemote2))});
    expectStep(3, {networkStatistics(kHost)});
    Frames step4 = probe;
    step4.push_back(turboRequest(kBcast, 0x10));
    step4.push_back(localParameters(0));
    expectStep(4, step4);
    expectStep(5, {localParameters(16)});
    expectStep(6, {});
    expectStep(6, {});
    // Step 7's full scan: the AV probe, the Turbo probe, then the HomePlug 1.0
    // statistics request from the local adapter's own MAC, whose self-addressed
    // answer starts the observer's parameters probe.
    Frames step7 = {avRequest(kMgmt, 0xA000), turboRequest(kBcast, 0x10), networkStatistics(local)};
    step7.insert(step7.end(), probe.begin(), probe.end());
    expectStep(7, step7);
    EXPECT_EQ(kCycleIdle, cycleStep);
    for (int idle = 9; idle < 20; ++idle)
        expectFrames("idle tick " + std::to_string(idle), {}, tick());
    // The interval boundary starts the next cycle in the same tick.
    expectFrames("next cycle, step 1", {localParameters(0), parametersRequest(kBcast)}, tick());
}

// HomePlug 1.0 whose stored copy never arrived (the local adapter ignores
// local parameters requests): step 1 asks for the running copy and step 4 asks
// for no copy at all.
TEST_F(CycleRequests, Hp10CycleWithoutTheStoredCopy) {
    sim::Station& local = addLocal(sim::Station::hp10(kHpLocal));
    sim::Fault ignore;
    ignore.kind = sim::Fault::Kind::Ignore;
    ignore.match = 0x10019;
    local.faults.push_back(ignore);
    net.addStation(sim::Station::hp10(kHpRemote1));
    ASSERT_TRUE(startAutoScan(20, 3, true));
    ASSERT_EQ(0, scanStates[0].paramsValid);
    const Frames probe = {localParameters(0), localParameters(0), localParameters(0)};

    expectStep(1, {localParameters(16), parametersRequest(kBcast)});
    expectStep(2, {parametersRequest(mac(kHpRemote1))});
    expectStep(3, {networkStatistics(kHost)});
    Frames step4 = probe;
    step4.push_back(turboRequest(kBcast, 0x10));
    expectStep(4, step4);
    expectStep(5, {localParameters(16)});
}

// A statistics answer of the local adapter, class HomePlug 1.0, to the host.
Bytes localStatisticsAnswer(const sim::Mac& local) {
    return frame(kHost, local, 0x887B, {1, 0x1A, 187, 3}, 17 + 187);
}

size_t countOf(const Frames& frames, const Bytes& wanted) {
    return static_cast<size_t>(std::count(frames.begin(), frames.end(), wanted));
}

// The observer's parameters probe runs at most once per tick: a statistics
// answer of the local adapter that arrives just before step 7 is probed in the
// drain, and the scan of that same tick does not probe again.
TEST_F(CycleRequests, ObserverProbeRunsAtMostOncePerTick) {
    addLocal(sim::Station::hp10(kHpLocal));
    net.addStation(sim::Station::hp10(kHpRemote1));
    ASSERT_TRUE(startAutoScan(20, 3, true));
    const sim::Mac local = mac(kHpLocal);
    for (int n = 0; n < 7; ++n) // steps 1 to 6 (two ticks)
        tick();
    ASSERT_EQ(7, cycleStep);
    // A late (or repeated) statistics answer, waiting at the tick's start.
    bench.wire.deliver(0, localStatisticsAnswer(local));
    expectStep(7, {localParameters(0), localParameters(0), localParameters(0),
                   avRequest(kMgmt, 0xA000), turboRequest(kBcast, 0x10), networkStatistics(local)});
    EXPECT_EQ(1, currentScanState().localPresent) << "the scan still finds the adapter";
    EXPECT_EQ(1, currentScanState().paramsValid);

    // The next tick may probe again.
    bench.wire.deliver(0, localStatisticsAnswer(local));
    expectFrames("idle tick", {localParameters(0), localParameters(0), localParameters(0)}, tick());

    // A scan outside the timer (the Scan button) probes once per interface.
    Frames sent;
    size_t mark = bench.wire.sent.size();
    ASSERT_TRUE(scanNetwork());
    for (size_t k = mark; k < bench.wire.sent.size(); ++k)
        sent.push_back(bench.wire.sent[k].frame);
    EXPECT_EQ(3u, countOf(sent, localParameters(0)));
}

// While another exchange holds the busy flag, a statistics answer of the local
// adapter does not start the probe: its nested receives would swallow that
// exchange's confirmation. Here the statistics answer of step 3 is still
// waiting when the user hands a key to a remote adapter.
TEST_F(CycleRequests, ObserverProbeWaitsWhileAnotherExchangeIsBusy) {
    addLocal(sim::Station::hp10(kHpLocal));
    sim::Station& target = net.addStation(sim::Station::hp10(kHpRemote1));
    target.setDevicePassword("QRSTUVWXYZABCDEF");
    ASSERT_TRUE(startAutoScan(20, 3, true));
    tick();
    tick();
    expectStep(3, {networkStatistics(kHost)});

    const sim::Hp10Key dek = sim::hp10KeyOf("QRSTUVWXYZABCDEF");
    const sim::Hp10Key nek = sim::hp10KeyOf("Potting shed");
    uint8_t to[6];
    std::memcpy(to, kBcast.data(), 6);
    size_t mark = bench.wire.sent.size();
    uint32_t start = bench.clock.tickCount();
    int code = 0;
    {
        BusyScope busy; // as every key operation runs
        code = sendEncryptedKey(to, dek.data(), nek.data());
    }
    EXPECT_EQ(2, code) << "the remote adapter's confirmation was taken";
    EXPECT_EQ(0, std::memcmp(to, mac(kHpRemote1).data(), 6));
    EXPECT_LT(bench.clock.tickCount() - start, 100u);
    ASSERT_EQ(mark + 1, bench.wire.sent.size()) << "only the key frame went out";
    EXPECT_EQ(0x14, bench.wire.sent[mark].frame[15]);
    EXPECT_EQ(nek, target.nek());
    // The observer still took the answer as a sign of the local adapter.
    EXPECT_EQ(1, currentScanState().localPresent);
}

// HomePlug Turbo: no local parameters requests at all; step 3 asks the local
// adapter for its station statistics; step 7's scan reads the firmware text and
// the key from it.
TEST_F(CycleRequests, TurboCycle) {
    const char* const localText = "00:04:87:00:01:10";
    const char* const remoteText = "00:04:87:00:01:11";
    addLocal(sim::Station::turbo(localText));
    net.addStation(sim::Station::turbo(remoteText));
    ASSERT_TRUE(startAutoScan(20, 3, true));
    ASSERT_EQ(1, localIsTurbo);
    const sim::Mac local = mac(localText);

    expectStep(1, {parametersRequest(kBcast)});
    expectStep(2, {parametersRequest(mac(remoteText))});
    expectStep(3, {turboRequest(local, 0x18)});
    expectStep(4, {turboRequest(kBcast, 0x10)});
    expectStep(5, {});
    expectStep(6, {});
    expectStep(6, {});
    expectStep(7, {avRequest(kMgmt, 0xA000), turboRequest(kBcast, 0x10), turboRead(local, 0x20),
                   turboRead(local, 0x21)});
}

// HomePlug AV: step 3 is the station refresh (network information request to
// the local adapter, then a version request to each station it lists); step
// 7's scan asks the local management address twice and reads the parameter
// block in 1024-byte chunks. Step 2 asks the slots the station list filled.
TEST_F(CycleRequests, AvCycle) {
    const char* const localText = "00:B0:52:00:00:10";
    const char* const remoteText = "00:B0:52:00:00:11";
    addLocal(sim::Station::av(localText));
    net.addStation(sim::Station::av(remoteText));
    ASSERT_TRUE(startAutoScan(20, 3, true));
    ASSERT_EQ(1, localIsAv);
    const sim::Mac local = mac(localText);
    const sim::Mac remote = mac(remoteText);

    expectStep(1, {localParameters(0), parametersRequest(kBcast)});
    expectStep(2, {}); // no remote slot yet
    expectStep(3, {avRequest(local, 0xA038), avRequest(remote, 0xA000)});
    expectStep(4, {turboRequest(kBcast, 0x10), localParameters(0)});
    expectStep(5, {localParameters(16)});
    expectStep(6, {});
    expectStep(6, {});
    Frames step7 = {avRequest(kMgmt, 0xA000), avRequest(kMgmt, 0xA000)};
    // 7992 bytes: seven whole chunks and one of 824.
    for (uint32_t offset = 0; offset < 7 * 1024; offset += 1024)
        step7.push_back(readParameterBlock(local, offset, 1024));
    step7.push_back(readParameterBlock(local, 7 * 1024, 824));
    expectStep(7, step7);

    for (int idle = 9; idle < 20; ++idle)
        expectFrames("idle tick " + std::to_string(idle), {}, tick());
    expectFrames("next cycle, step 1", {localParameters(0), parametersRequest(kBcast)}, tick());
    expectStep(2, {parametersRequest(remote)});
}

// The window's timer lets the ticks between cycles pass in batches: a cycle
// still starts on the tick it would start on when ticking one by one, no tick
// of a cycle is passed, and a busy operation or a running tick stops batching.
TEST_F(CycleRequests, IdleTicksPassInBatchesAndCyclesStartOnTheirTick) {
    addLocal(sim::Station::hp10(kHpLocal));
    net.addStation(sim::Station::hp10(kHpRemote1));
    ASSERT_TRUE(startAutoScan(100, 3, true));
    ManualScanTimer& timer = bench.timer;
    ASSERT_TRUE(timer.idle.ahead && timer.idle.pass);
    // Fires the way the window's timer does: pass all but the last tick of
    // the batch, run the routine, then size the next batch (or always 1).
    auto run = [&](bool batched, int& wakeUps) {
        startTimer();
        int elapsed = 0, batch = 1;
        wakeUps = 0;
        std::vector<int> cycleStarts; // elapsed ticks at which step 1 ran
        while (elapsed < 450) {
            if (batch > 1)
                timer.idle.pass(batch - 1);
            const int stepBefore = cycleStep;
            const int countBefore = scanTickCount;
            timer.routine();
            bench.clock.advance(kTimerPeriodMs * batch);
            elapsed += batch;
            ++wakeUps;
            if (cycleStep == 2 && (stepBefore == 1 || scanTickCount < countBefore))
                cycleStarts.push_back(elapsed);
            EXPECT_TRUE(batch == 1 || stepBefore == kCycleIdle) << "a cycle's tick was passed";
            batch = batched ? std::min(timer.idle.ahead() + 1, kMaxIdleBatch) : 1;
        }
        return cycleStarts;
    };
    int oneByOneWakeUps = 0, batchedWakeUps = 0;
    const std::vector<int> oneByOne = run(false, oneByOneWakeUps);
    const std::vector<int> batched = run(true, batchedWakeUps);
    ASSERT_EQ(5u, oneByOne.size());
    EXPECT_EQ(1, oneByOne[0]);
    EXPECT_EQ(oneByOne, batched);
    EXPECT_EQ(450, oneByOneWakeUps);
    EXPECT_LT(batchedWakeUps, 120) << "idle ticks were not batched";

    // Busy: every tick runs (and does nothing), so none is counted twice.
    cycleStep = kCycleIdle;
    scanTickCount = 0;
    busyFlag = 1;
    EXPECT_EQ(0, timer.idle.ahead());
    timer.idle.pass(10);
    EXPECT_EQ(0, scanTickCount);
    busyFlag = 0;
    EXPECT_EQ(99, timer.idle.ahead());
    timer.idle.pass(500); // never past the tick that starts the cycle
    EXPECT_EQ(99, scanTickCount);
    timerTick();
    EXPECT_EQ(2, cycleStep);
    // No automatic cycles: ticks only drain, a second at a time.
    intervalTicks = 0;
    cycleStep = kCycleIdle;
    EXPECT_EQ(kMaxIdleBatch, timer.idle.ahead());
}

} // namespace
