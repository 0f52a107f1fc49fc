// The network scan and one automatic cycle over a real veth pair: the core with
// the libpcap driver in one namespace, plcsim serving a scenario in the other.
// Real time, real frames. One test per family of local adapter: the scan finds,
// classifies and names the local adapter and labels its key; one cycle at the
// window timer's pace lists the remote adapters of its network with their
// rates, and not the adapter on another network key.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
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

RemoteDevice* remote(const char* text) {
    uint8_t bytes[6];
    if (!parseMac(text, bytes))
        return nullptr;
    return findRemote(bytes);
}

// Starts plcsim with `scenario` on the far side, runs the first scan (the
// start of the automatic scan) in the host namespace, hands the result to
// `afterScan`, runs one cycle of eight 50 ms ticks and hands over again to
// `afterCycle`.
void scanAndCycle(const char* scenario, const std::function<void()>& afterScan,
                  const std::function<void()>& afterCycle) {
    NetnsPair::Options options;
    options.hostMac = kHostMac;
    NetnsPair net(options);
    ASSERT_TRUE(net.ok()) << net.error();
    TempDir dir;
    NetnsProcess emulator = net.spawn(NetnsPair::Plc,
                                      {PLCSIM_PATH, "--interface", net.ifName(NetnsPair::Plc),
                                       "--scenario", sim::scenarioPath(scenario)},
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
        EXPECT_TRUE(found);
        if (found) {
            EXPECT_EQ(1, interfaceCount);
            EXPECT_TRUE(macIs(interfaceTable[0].mac, kHostMac));
            EXPECT_NE(0u, timerId);
            afterScan();
            for (int n = 0; n < 8; ++n) {
                timerTick();
                sleepMs(kTimerPeriodMs);
            }
            EXPECT_EQ(kCycleIdle, cycleStep);
            afterCycle();
        }
        setScanTimer(nullptr);
        resetAutoScan();
        closeAllInterfaces();
        setLocalDeviceObserver(nullptr);
    });
    emulator.stop();
}

TEST(ScanWire, FindsNamesAndLabelsTheEmulatedAvAdapterAndListsItsRemotes) {
    HALYARD_REQUIRE_NETNS();
    scanAndCycle(
        "home.json",
        [] {
            EXPECT_EQ(LocalFamily::Av, lastScanFamily());
            ASSERT_EQ(1, deviceCount);
            EXPECT_STREQ("Device 1", deviceTable[0].name);
            EXPECT_TRUE(macIs(deviceTable[0].mac, "00:B0:52:00:00:10"));
            EXPECT_STREQ("HomePlugAV", deviceTable[0].keyLabel);
            EXPECT_STREQ("HomePlugAV", networkRecords[0].keyLabel);
            EXPECT_EQ(kClassAv, networkRecords[0].deviceClass);
        },
        [] {
            EXPECT_EQ(2, networkRecords[0].activeRemoteCount);
            for (const char* m : {"00:B0:52:00:00:11", "00:B0:52:00:00:12"}) {
                RemoteDevice* r = remote(m);
                ASSERT_NE(nullptr, r) << m;
                EXPECT_EQ(1, r->active) << m;
                EXPECT_EQ(kTypeAv, r->deviceType) << m;
                EXPECT_GT(r->stats.rate, 0.0) << m;
            }
            // The adapter on another network key is not heard.
            EXPECT_EQ(nullptr, remote("00:B0:52:00:00:20"));
        });
}

// HomePlug 1.0: the first scan finds and classifies the adapter but has no
// parameters block yet; the cycle fetches it and its closing scan labels the
// public key "HomePlug".
TEST(ScanWire, FindsNamesAndLabelsTheEmulatedHomePlug10AdapterAndListsItsRemotes) {
    HALYARD_REQUIRE_NETNS();
    scanAndCycle(
        "hp10.json",
        [] {
            EXPECT_EQ(LocalFamily::Hp10, lastScanFamily());
            EXPECT_EQ(0, localIsAv);
            EXPECT_EQ(0, localIsTurbo);
            EXPECT_EQ(kClassHp10, scanStates[0].deviceClass);
            EXPECT_TRUE(macIs(scanStates[0].localMac, "00:04:87:00:00:10"));
            EXPECT_EQ(1, scanStates[0].paramsValid) << "the observer's parameters probe";
            ASSERT_EQ(1, deviceCount);
            EXPECT_STREQ("Device 1", deviceTable[0].name);
            EXPECT_TRUE(macIs(deviceTable[0].mac, "00:04:87:00:00:10"));
        },
        [] {
            EXPECT_EQ(1, localParamsCaptured);
            EXPECT_EQ(1, networkRecords[0].localPresent);
            EXPECT_EQ(kClassHp10, networkRecords[0].deviceClass);
            EXPECT_TRUE(macIs(networkRecords[0].localMac, "00:04:87:00:00:10"));
            EXPECT_STREQ("HomePlug", networkRecords[0].keyLabel);
            EXPECT_STREQ("HomePlug", deviceTable[0].keyLabel);
            EXPECT_EQ(2, networkRecords[0].activeRemoteCount);
            struct Expected {
                const char* mac;
                double rate;
            };
            for (Expected e :
                 {Expected{"00:04:87:00:00:11", 12.0}, Expected{"00:04:87:00:00:12", 8.0}}) {
                RemoteDevice* r = remote(e.mac);
                ASSERT_NE(nullptr, r) << e.mac;
                EXPECT_EQ(1, r->active) << e.mac;
                EXPECT_EQ(kTypeHp10, r->deviceType) << e.mac;
                EXPECT_EQ(e.rate, r->stats.rate) << e.mac;
            }
            EXPECT_GT(networkRecords[0].localStats.rate, 0.0);
            EXPECT_EQ(nullptr, remote("00:04:87:00:00:20"));
        });
}

// HomePlug Turbo: the scan reads the key and the adapter's texts; the cycle
// types the remote Turbo adapter by its version answer and rates both remotes
// from the local adapter's station statistics.
TEST(ScanWire, FindsNamesAndLabelsTheEmulatedTurboAdapterAndListsItsRemotes) {
    HALYARD_REQUIRE_NETNS();
    scanAndCycle(
        "turbo.json",
        [] {
            EXPECT_EQ(LocalFamily::Turbo, lastScanFamily());
            EXPECT_EQ(1, localIsTurbo);
            EXPECT_EQ(kClassTurbo, networkRecords[0].deviceClass);
            EXPECT_TRUE(macIs(networkRecords[0].localMac, "00:04:87:00:01:10"));
            ASSERT_EQ(1, deviceCount);
            EXPECT_STREQ("Device 1", deviceTable[0].name);
            EXPECT_TRUE(macIs(deviceTable[0].mac, "00:04:87:00:01:10"));
            EXPECT_STREQ("HomePlug", networkRecords[0].keyLabel);
            EXPECT_STREQ("HomePlug", deviceTable[0].keyLabel);
            EXPECT_STREQ("Morvanta", turboVendor);
            EXPECT_STREQ("Turbo Ethernet Adapter", turboProduct);
            EXPECT_EQ(0, std::strncmp(turboFirmware, "TURBO-MAC-0001-3-1", 18)) << turboFirmware;
        },
        [] {
            EXPECT_EQ(2, networkRecords[0].activeRemoteCount);
            RemoteDevice* lounge = remote("00:04:87:00:01:11");
            ASSERT_NE(nullptr, lounge);
            EXPECT_EQ(1, lounge->active);
            EXPECT_EQ(kTypeTurbo, lounge->deviceType);
            EXPECT_STREQ("Morvanta", lounge->vendor);
            EXPECT_STREQ("Turbo Wall Plug", lounge->product);
            EXPECT_STREQ("Version 1.2", lounge->version);
            EXPECT_EQ(60.0, lounge->stats.rate);
            RemoteDevice* attic = remote("00:04:87:00:01:12");
            ASSERT_NE(nullptr, attic);
            EXPECT_EQ(1, attic->active);
            EXPECT_EQ(kTypeHp10, attic->deviceType);
            EXPECT_GT(attic->stats.rate, 0.0);
            EXPECT_EQ(nullptr, remote("00:04:87:00:01:20"));
        });
}

} // namespace
