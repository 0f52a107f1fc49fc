// The network scan and one automatic cycle over a real veth pair: the core with
// the libpcap driver in one namespace, plcsim serving the "home" scenario in
// the other. Real time, real frames.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "diagnostics/scan_log.h"
#include "maintenance/av_maintenance.h"
#include "network/auto_scan.h"
#include "network/hp10_frames.h"
#include "network/model.h"
#include "network/scan.h"
#include "packet/packet.h"
#include "platform/clock.h"
#include "plcapi/plcapi.h"
#include "sim/network.h"
#include "storage/device_database.h"
#include "storage/preferences.h"
#include "support/core_bench.h"
#include "support/netns.h"
#include "support/temp_dir.h"

namespace {

const char* const kHostMac = "02:48:59:00:00:31";

bool macIs(const uint8_t* mac, const char* text) {
    return formatMac(mac) == text;
}

TEST(ScanWire, FindsNamesAndLabelsTheEmulatedAvAdapterAndListsItsRemotes) {
    HALYARD_REQUIRE_NETNS();
    NetnsPair::Options options;
    options.hostMac = kHostMac;
    NetnsPair net(options);
    ASSERT_TRUE(net.ok()) << net.error();
    TempDir dir;
    NetnsProcess emulator = net.spawn(NetnsPair::Plc,
                                      {PLCSIM_PATH, "--interface", net.ifName(NetnsPair::Plc),
                                       "--scenario", sim::scenarioPath("home.json")},
                                      dir.file("plcsim.log"));
    ASSERT_TRUE(emulator.running());

    net.runIn(NetnsPair::Host, [&] {
        resetCore();
        setLogDirectory(dir.path());
        ManualScanTimer timer;
        setScanTimer(&timer);

        // plcsim may still be opening its interface: scan again for up to 5 s.
        bool found = false;
        for (int attempt = 0; attempt < 10 && !found; ++attempt) {
            found = startAutoScan(20, 3, true);
            if (!found)
                sleepMs(500);
        }
        ASSERT_TRUE(found);
        ASSERT_EQ(1, interfaceCount);
        EXPECT_TRUE(macIs(interfaceTable[0].mac, "02:48:59:00:00:31"));
        EXPECT_EQ(LocalFamily::Av, lastScanFamily());
        ASSERT_EQ(1, deviceCount);
        EXPECT_STREQ("Device 1", deviceTable[0].name);
        EXPECT_TRUE(macIs(deviceTable[0].mac, "00:B0:52:00:00:10"));
        EXPECT_STREQ("HomePlugAV", deviceTable[0].keyLabel);
        EXPECT_STREQ("HomePlugAV", networkRecords[0].keyLabel);
        EXPECT_EQ(kClassAv, networkRecords[0].deviceClass);
        EXPECT_NE(0u, timerId);

        // One cycle at the window timer's pace.
        for (int n = 0; n < 8; ++n) {
            timerTick();
            sleepMs(kTimerPeriodMs);
        }
        EXPECT_EQ(kCycleIdle, cycleStep);
        EXPECT_EQ(2, networkRecords[0].activeRemoteCount);
        for (const char* m : {"00:B0:52:00:00:11", "00:B0:52:00:00:12"}) {
            uint8_t bytes[6];
            ASSERT_TRUE(parseMac(m, bytes));
            RemoteDevice* r = findRemote(bytes);
            ASSERT_NE(nullptr, r) << m;
            EXPECT_EQ(1, r->active) << m;
            EXPECT_EQ(kTypeAv, r->deviceType) << m;
            EXPECT_GT(r->stats.rate, 0.0) << m;
        }
        // The adapter on another network key is not heard.
        uint8_t garage[6];
        parseMac("00:B0:52:00:00:20", garage);
        EXPECT_EQ(nullptr, findRemote(garage));

        setScanTimer(nullptr);
        resetAutoScan();
        closeAllInterfaces();
        setLocalDeviceObserver(nullptr);
    });
    emulator.stop();
}

} // namespace
