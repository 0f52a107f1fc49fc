// The automatic scan's own bookkeeping: suspension, ageing, clearing, the
// clamp of dropAfterMisses, the timer seam and the cycle's tick accounting.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>

#include "diagnostics/scan_log.h"
#include "network/auto_scan.h"
#include "network/hp10_frames.h"
#include "network/model.h"
#include "network/scan.h"
#include "packet/memory_wire.h"
#include "packet/packet.h"
#include "storage/device_database.h"
#include "storage/preferences.h"
#include "support/temp_dir.h"

namespace {

const uint8_t kHost[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
const uint8_t kLocal[6] = {0x00, 0x50, 0xC2, 0x00, 0x00, 0x10};

class AutoScanTest : public ::testing::Test {
  protected:
    VirtualClock clock;
    MemoryWire wire{clock};
    ManualScanTimer timer;
    TempDir dir;

    void SetUp() override {
        resetDeviceModel();
        resetHp10Frames();
        resetAutoScan();
        resetScan();
        resetScanLog();
        resetPreferences();
        resetDeviceDatabaseState();
        setSystemClock(&clock);
        setPacketDriver(&wire);
        setScanTimer(&timer);
        setLogDirectory(dir.path());
    }
    void TearDown() override {
        closeAllInterfaces();
        setLocalDeviceObserver(nullptr);
        resetAutoScan();
        resetScanLog();
        setPacketDriver(nullptr);
        setSystemClock(nullptr);
        resetDeviceModel();
    }
    void openOnePort() {
        MemoryWire::Port port;
        port.name = "eth0";
        std::memcpy(port.mac, kHost, 6);
        wire.addPort(port);
        openAllInterfaces();
    }
    RemoteDevice& slot(int n) { return networkRecords[currentInterface].remotes[n]; }
};

TEST_F(AutoScanTest, SuspendReturnsTheValueThatRestores) {
    busyFlag = 0;
    int restore = suspendAutoScan(0);
    EXPECT_EQ(1, busyFlag);
    EXPECT_EQ(1, restore);
    int inner = suspendAutoScan(0); // nested: already suspended
    EXPECT_EQ(0, inner);
    suspendAutoScan(inner);
    EXPECT_EQ(1, busyFlag); // the inner restore keeps it suspended
    suspendAutoScan(restore);
    EXPECT_EQ(0, busyFlag);
}

TEST_F(AutoScanTest, StartAutoScanClampsMissesAndSetsBusyFromTheSwitch) {
    EXPECT_FALSE(startAutoScan(600, 0, true)); // no interface: nothing found
    EXPECT_EQ(1, dropAfterMisses);
    EXPECT_EQ(0, busyFlag);
    EXPECT_EQ(600, intervalTicks);
    EXPECT_EQ(0u, timerId); // no timer without a device
    startAutoScan(600, 25, false);
    EXPECT_EQ(10, dropAfterMisses);
    EXPECT_EQ(1, busyFlag);
    startAutoScan(600, 4, true);
    EXPECT_EQ(4, dropAfterMisses);
}

TEST_F(AutoScanTest, StartTimerRestartsTheSeamTimer) {
    intervalTicks = 100;
    unsigned first = startTimer();
    EXPECT_NE(0u, first);
    EXPECT_EQ(50u, timer.periodMs);
    EXPECT_EQ(1, cycleStep);
    unsigned second = startTimer();
    EXPECT_NE(first, second);
    EXPECT_EQ(second, timer.running); // the first was stopped
    EXPECT_EQ(2, timer.starts);
    ASSERT_TRUE(timer.routine);
}

TEST_F(AutoScanTest, AgeingDropsAfterDropAfterMissesCyclesAndKeepsTheSlot) {
    dropAfterMisses = 3;
    const uint8_t mac[6] = {0x00, 0x50, 0xC2, 0, 0, 0x11};
    recordRemote(mac);
    slot(0).stats.rate = 13;
    slot(0).stats.highest = 13;
    ageRemotes();
    EXPECT_EQ(1, +slot(0).active);
    EXPECT_EQ(1, +networkRecords[0].activeRemoteCount);
    ageRemotes();
    EXPECT_EQ(1, +slot(0).active);
    ageRemotes();
    EXPECT_EQ(0, +slot(0).active);
    EXPECT_EQ(0, +networkRecords[0].activeRemoteCount);
    EXPECT_EQ(3, +slot(0).missTotal);
    EXPECT_EQ(0.0, +slot(0).stats.rate);
    EXPECT_EQ(13.0, +slot(0).stats.highest);
    EXPECT_TRUE(macEqual(mac, slot(0).mac));
    recordRemote(mac); // back in its old slot with its counters
    EXPECT_EQ(&slot(0), findRemote(mac));
    EXPECT_EQ(2, +slot(0).seenCount);
    EXPECT_EQ(3, +slot(0).missTotal);
}

TEST_F(AutoScanTest, ClearRemotesKeepsSlotsAndDropsEntriesWithoutMac) {
    const uint8_t mac[6] = {0x00, 0x50, 0xC2, 0, 0, 0x11};
    recordRemote(mac);
    slot(0).stats.rate = 13;
    slot(0).stats.lowest = 12;
    networkRecords[0].activeRemoteCount = 1;
    const uint8_t zero[6] = {};
    appendDeviceEntry(zero, "ghost");
    appendDeviceEntry(mac, "Device 1");
    appendDeviceEntry(zero, "ghost 2");
    int deleted = 0;
    setDeviceListHooks({nullptr, nullptr, [&] { ++deleted; }});
    clearRemotes();
    EXPECT_EQ(0, +slot(0).active);
    EXPECT_EQ(0, +slot(0).missesTillDrop);
    EXPECT_EQ(0.0, +slot(0).stats.rate);
    EXPECT_EQ(12.0, +slot(0).stats.lowest);
    EXPECT_EQ(1, +slot(0).seenCount);
    EXPECT_EQ(0, +networkRecords[0].activeRemoteCount);
    ASSERT_EQ(1, deviceCount);
    EXPECT_STREQ("Device 1", deviceTable[0].name);
    EXPECT_EQ(0, deviceTable[1].name[0]);
    EXPECT_EQ(1, deleted);
}

TEST_F(AutoScanTest, ScanLogIsWrittenAtDiagnosticsLevel20) {
    openOnePort();
    networkRecords[0].localPresent = 1;
    std::memcpy(networkRecords[0].hostMac, kHost, 6);
    const uint8_t mac[6] = {0x00, 0x50, 0xC2, 0, 0, 0x11};
    recordRemote(mac);
    preferences.diagnosticsLevel = 19;
    ageRemotes();
    EXPECT_FALSE(std::ifstream(dir.file("scan.log")).good());
    preferences.diagnosticsLevel = 20;
    ageRemotes();
    ageRemotes();
    std::ifstream in(dir.file("scan.log"));
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(std::string::npos, all.find("\tdevice\t\t\tpresent\tmissesTillDrop\n\n"));
    EXPECT_NE(std::string::npos, all.find("NIC #0:\t02:00:00:00:00:01\tPresent=1\n"
                                          "\t00:50:C2:00:00:11\t1\t2\n\n"));
    // The picture is taken before the slots age.
    EXPECT_NE(std::string::npos, all.find("\t00:50:C2:00:00:11\t1\t1\n\n"));
    // The header is written once per run.
    EXPECT_EQ(all.find("missesTillDrop"), all.rfind("missesTillDrop"));
}

TEST_F(AutoScanTest, BusyTickSendsNothingAndKeepsTheCycleState) {
    openOnePort();
    scanStates[0].localPresent = 1;
    scanStates[0].deviceClass = kClassHp10;
    std::memcpy(scanStates[0].localMac, kLocal, 6);
    intervalTicks = 100;
    startTimer();
    busyFlag = 1;
    for (int n = 0; n < 20; ++n)
        timerTick();
    EXPECT_TRUE(wire.sent.empty());
    EXPECT_EQ(1, cycleStep);
    EXPECT_EQ(0, scanTickCount);
    busyFlag = 0;
    timerTick();
    EXPECT_EQ(2, cycleStep);
    EXPECT_FALSE(wire.sent.empty());
}

TEST_F(AutoScanTest, TickFiredInsideATicksMessageBoxDoesNothing) {
    // The Main page's refresh can open a message box whose event loop keeps
    // the window timer firing; those ticks must not run a step inside the
    // step that opened the box.
    openOnePort();
    scanStates[0].localPresent = 1;
    scanStates[0].deviceClass = kClassHp10;
    std::memcpy(scanStates[0].localMac, kLocal, 6);
    intervalTicks = 100;
    startTimer();
    int refreshes = 0;
    size_t sentInside = 0;
    int stepInside = 0;
    setDeviceListHooks({[&](int) {
                            ++refreshes;
                            size_t before = wire.sent.size();
                            for (int n = 0; n < 5; ++n)
                                timerTick(); // the box's event loop
                            sentInside = wire.sent.size() - before;
                            stepInside = cycleStep;
                        },
                        nullptr, nullptr});
    timerTick();
    setDeviceListHooks({});
    EXPECT_EQ(1, refreshes);
    EXPECT_EQ(0u, sentInside);
    EXPECT_EQ(1, stepInside);
    EXPECT_EQ(2, cycleStep); // the outer tick finished its step
    EXPECT_EQ(1, scanTickCount);
    timerTick(); // and ticks run again once it has returned
    EXPECT_EQ(3, cycleStep);
}

TEST_F(AutoScanTest, CycleStepsAdvanceOnlyWithALocalDevice) {
    openOnePort();
    intervalTicks = 100;
    startTimer();
    timerTick();
    EXPECT_EQ(1, cycleStep); // no local device: the step does not advance
    EXPECT_TRUE(wire.sent.empty());
}

TEST_F(AutoScanTest, IntervalZeroRunsNoCycleButStillDrains) {
    openOnePort();
    scanStates[0].localPresent = 1;
    scanStates[0].deviceClass = kClassHp10;
    intervalTicks = 0;
    startTimer();
    EXPECT_EQ(kCycleIdle, cycleStep);
    const uint8_t remote[6] = {0x00, 0x50, 0xC2, 0, 0, 0x11};
    std::vector<uint8_t> answer(kHost, kHost + 6);
    answer.insert(answer.end(), remote, remote + 6);
    answer.insert(answer.end(), {0x88, 0x7B, 1, kEntryParamsResponse, 0});
    answer.resize(60, 0);
    wire.deliver(0, answer);
    for (int n = 0; n < 500; ++n)
        timerTick();
    EXPECT_TRUE(wire.sent.empty());
    EXPECT_NE(nullptr, findRemote(remote));
}

} // namespace
