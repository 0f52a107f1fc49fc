// The network scan and the automatic scan against the emulator over the
// in-memory wire: finding and classifying the local adapter of each family,
// naming it, labelling its key, copying into every network record, and the
// automatic cycle that records the remote adapters and their rates.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "diagnostics/scan_log.h"
#include "maintenance/av_maintenance.h"
#include "network/auto_scan.h"
#include "network/hp10_frames.h"
#include "network/model.h"
#include "network/scan.h"
#include "packet/memory_wire.h"
#include "packet/packet.h"
#include "platform/messages.h"
#include "security/keys.h"
#include "sim/network.h"
#include "storage/device_database.h"
#include "storage/preferences.h"
#include "support/core_bench.h"
#include "support/temp_dir.h"

namespace {

const uint8_t kHostA[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
const uint8_t kHostB[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x02};
const uint8_t kBcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

const char* const kAvLocal = "00:B0:52:00:00:10";
const char* const kHpLocal = "00:04:87:00:00:10";
const char* const kHpRemote1 = "00:04:87:00:00:11";
const char* const kHpRemote2 = "00:04:87:00:00:12";

sim::Mac mac(const char* text) {
    return sim::parseMac(text);
}

sim::Fault ignoreAll() {
    sim::Fault f;
    f.kind = sim::Fault::Kind::Ignore;
    return f;
}

class DiscoverySim : public ::testing::Test {
  protected:
    CoreBench bench;
    VirtualClock& clock = bench.clock;
    MemoryWire& wire = bench.wire;
    RecordingMessages& messages = bench.messages;
    ManualScanTimer& timer = bench.timer;
    TempDir& dir = bench.dir;
    std::vector<std::unique_ptr<sim::Network>> nets;

    void SetUp() override { copyText(preferences.appName, "Tollbeam"); }
    void TearDown() override {
        closeAllInterfaces();
        for (auto& n : nets)
            n->detach();
    }

    // One wire port with its own emulated powerline network.
    sim::Network& port(const uint8_t* hostMac) {
        int index = bench.addPort(("eth" + std::to_string(nets.size())).c_str(), hostMac);
        nets.push_back(std::make_unique<sim::Network>());
        nets.back()->attach(wire, index);
        return *nets.back();
    }
    // 50 ms timer ticks, as the window timer would run them.
    void tick(int n) {
        for (int k = 0; k < n; ++k) {
            timerTick();
            clock.advance(kTimerPeriodMs);
        }
    }
    static bool keyIs(const uint8_t* key, const uint8_t* expected, size_t n) {
        return std::memcmp(key, expected, n) == 0;
    }
    std::string parametersLog() {
        std::ifstream in(parametersLogPath());
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    RemoteDevice* remote(const char* text) {
        sim::Mac m = mac(text);
        return findRemote(m.data());
    }
};

// ---- HomePlug AV ------------------------------------------------------------------

TEST_F(DiscoverySim, FirstRunWithOneAvAdapterOnTheDefaultKey) {
    port(kHostA).addStation(sim::Station::av(kAvLocal)).local = true;
    ASSERT_TRUE(scanNetwork());
    EXPECT_EQ(LocalFamily::Av, lastScanFamily());
    EXPECT_EQ(1, localIsAv);
    ASSERT_EQ(1, deviceCount);
    EXPECT_STREQ("Device 1", deviceTable[0].name);
    EXPECT_TRUE(keyIs(deviceTable[0].mac, mac(kAvLocal).data(), 6));
    EXPECT_STREQ("HomePlugAV", deviceTable[0].keyLabel);
    EXPECT_TRUE(keyIs(deviceTable[0].networkKey, defaultNmk().data(), 16));
    const NetworkRecord& rec = networkRecords[0];
    EXPECT_STREQ("HomePlugAV", rec.keyLabel);
    EXPECT_TRUE(keyIs(rec.networkKey, defaultNmk().data(), 16));
    EXPECT_EQ(1, +rec.localPresent);
    EXPECT_EQ(kClassAv, +rec.deviceClass);
    EXPECT_TRUE(keyIs(rec.hostMac, kHostA, 6));
    EXPECT_TRUE(keyIs(rec.localMac, mac(kAvLocal).data(), 6));

    // A second scan finds the same entry and keeps its name and label.
    ASSERT_TRUE(scanNetwork());
    EXPECT_EQ(1, deviceCount);
    EXPECT_STREQ("HomePlugAV", networkRecords[0].keyLabel);
}

TEST_F(DiscoverySim, AvPrivateKeyIsUnknownUntilTheUserNamesIt) {
    sim::Station local = sim::Station::av(kAvLocal);
    local.local = true;
    local.setNetworkPassword("Garden shed 7");
    port(kHostA).addStation(std::move(local));
    ASSERT_TRUE(scanNetwork());
    EXPECT_STREQ(kUnknownKeyLabel, networkRecords[0].keyLabel);
    EXPECT_STREQ(kUnknownKeyLabel, deviceTable[0].keyLabel);

    // The Security page stores the typed password and marks the key changed.
    copyText(networkRecords[0].keyLabel, "Garden shed 7");
    keyChangedMark = 1;
    ASSERT_TRUE(scanNetwork());
    EXPECT_EQ(0, keyChangedMark);
    EXPECT_STREQ("Garden shed 7", networkRecords[0].keyLabel);
    EXPECT_STREQ("Garden shed 7", deviceTable[0].keyLabel);
    auto nmk = sim::nmkOf("Garden shed 7");
    EXPECT_TRUE(keyIs(deviceTable[0].networkKey, nmk.data(), 16));
    // Later scans recognise the stored key.
    ASSERT_TRUE(scanNetwork());
    EXPECT_STREQ("Garden shed 7", networkRecords[0].keyLabel);
}

TEST_F(DiscoverySim, AvKeyMatchingAnotherEntrysFirstEightBytesTakesItsLabel) {
    sim::Station local = sim::Station::av(kAvLocal);
    local.local = true;
    local.setNetworkPassword("Attic");
    auto key = local.nmk;
    port(kHostA).addStation(std::move(local));
    const uint8_t other[6] = {0x00, 0xB0, 0x52, 0x00, 0x00, 0x77};
    appendDeviceEntry(other, "Loft");
    std::memcpy(deviceTable[0].networkKey, key.data(), 8); // only the first 8 bytes agree
    std::memset(deviceTable[0].networkKey + 8, 0xEE, 8);
    copyText(deviceTable[0].keyLabel, "Attic");
    ASSERT_TRUE(scanNetwork());
    ASSERT_EQ(2, deviceCount);
    EXPECT_STREQ("Device 2", deviceTable[1].name);
    EXPECT_STREQ("Attic", deviceTable[1].keyLabel);
    EXPECT_STREQ("Attic", networkRecords[0].keyLabel);
}

TEST_F(DiscoverySim, DefaultNameSkipsNamesThatAreTaken) {
    port(kHostA).addStation(sim::Station::av(kAvLocal)).local = true;
    const uint8_t a[6] = {0x00, 0xB0, 0x52, 0, 0, 0x71};
    const uint8_t b[6] = {0x00, 0xB0, 0x52, 0, 0, 0x72};
    appendDeviceEntry(a, "Device 3");
    appendDeviceEntry(b, "Device 1");
    ASSERT_TRUE(scanNetwork());
    ASSERT_EQ(3, deviceCount);
    EXPECT_STREQ("Device 2", deviceTable[2].name); // 3 and 1 are taken

    resetDeviceModel();
    appendDeviceEntry(a, "Device 1");
    appendDeviceEntry(b, "Device 2");
    ASSERT_TRUE(scanNetwork());
    EXPECT_STREQ("Device 3", deviceTable[2].name);
}

TEST_F(DiscoverySim, TwoInterfacesBothCarryTheSelectedInterfacesKey) {
    sim::Station first = sim::Station::av(kAvLocal);
    first.local = true;
    first.setNetworkPassword("Upstairs");
    port(kHostA).addStation(std::move(first));
    port(kHostB).addStation(sim::Station::av("00:B0:52:00:00:30")).local = true;
    currentInterface = 1;
    ASSERT_TRUE(scanNetwork());
    EXPECT_EQ(1, currentInterface);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(1, +networkRecords[i].localPresent) << i;
        EXPECT_STREQ("HomePlugAV", networkRecords[i].keyLabel) << i;
        EXPECT_TRUE(keyIs(networkRecords[i].networkKey, defaultNmk().data(), 16)) << i;
    }
    EXPECT_TRUE(keyIs(networkRecords[0].localMac, mac(kAvLocal).data(), 6));
    ASSERT_EQ(1, deviceCount); // only the selected interface's device gets an entry
    EXPECT_TRUE(keyIs(deviceTable[0].mac, mac("00:B0:52:00:00:30").data(), 6));
}

TEST_F(DiscoverySim, NoAdapterAnywhereClearsTheRemotesAndRewritesHeaders) {
    port(kHostA);
    const uint8_t old[6] = {0x00, 0x04, 0x87, 0, 0, 0x55};
    recordRemote(old);
    networkRecords[0].deviceClass = kClassHp10;
    copyText(networkRecords[0].keyLabel, "kept");
    uint32_t start = clock.tickCount();
    EXPECT_FALSE(scanNetwork());
    EXPECT_EQ(LocalFamily::None, lastScanFamily());
    EXPECT_EQ(0, +networkRecords[0].remotes[0].active);
    EXPECT_TRUE(keyIs(networkRecords[0].hostMac, kHostA, 6));
    EXPECT_EQ(0, +networkRecords[0].localPresent);
    EXPECT_EQ(kClassHp10, +networkRecords[0].deviceClass);
    EXPECT_STREQ("kept", networkRecords[0].keyLabel);
    EXPECT_EQ(0, deviceCount);
    // AV probe 100 ms, Turbo probe 100 ms, three HomePlug 1.0 attempts of 50, 150, 250 ms.
    EXPECT_GE(clock.tickCount() - start, 650u);
}

// ---- HomePlug 1.0 -------------------------------------------------------------------

class Hp10Sim : public DiscoverySim {
  protected:
    sim::Network* net = nullptr;
    void addNetwork(const sim::Hp10Key* nek = nullptr) {
        net = &port(kHostA);
        sim::Station local = sim::Station::hp10(kHpLocal);
        local.local = true;
        local.rate = 14;
        if (nek)
            local.setNek(*nek);
        net->addStation(std::move(local));
        for (const char* m : {kHpRemote1, kHpRemote2}) {
            sim::Station r = sim::Station::hp10(m);
            r.rate = 8;
            if (nek)
                r.setNek(*nek);
            net->addStation(std::move(r));
        }
    }
};

TEST_F(Hp10Sim, DefaultKeyIsLabelledOnceTheParametersBlockArrived) {
    addNetwork();
    ASSERT_TRUE(startAutoScan(20, 3, true));
    EXPECT_EQ(LocalFamily::Hp10, lastScanFamily());
    EXPECT_EQ(0, localIsAv);
    EXPECT_EQ(0, localIsTurbo);
    EXPECT_EQ(1, scanStates[0].paramsValid); // the observer's probe
    EXPECT_EQ(kClassHp10, +scanStates[0].deviceClass);
    ASSERT_EQ(1, deviceCount);
    EXPECT_STREQ("Device 1", deviceTable[0].name);
    // The first scan has no parameters block yet, so no label.
    EXPECT_EQ(0, +networkRecords[0].localPresent);
    EXPECT_NE(0u, timerId);

    tick(8); // one cycle: the block arrives, the closing scan labels the key
    EXPECT_EQ(1, localParamsCaptured);
    EXPECT_EQ(1, +networkRecords[0].localPresent);
    // The key read is the key select 0x01 followed by the first seven key
    // bytes: the shifted form of the default NEK.
    EXPECT_EQ(0x01, hp10NetworkKey[0]);
    EXPECT_TRUE(keyIs(hp10NetworkKey + 1, sim::defaultNek().data(), 7));
    EXPECT_STREQ("HomePlug", networkRecords[0].keyLabel);
    EXPECT_STREQ("HomePlug", deviceTable[0].keyLabel);
    EXPECT_EQ(kClassHp10, +networkRecords[0].deviceClass);
}

TEST_F(Hp10Sim, UnshiftedDefaultNekIsRecognisedToo) {
    addNetwork();
    sim::Station& local = net->local();
    // A block whose bytes 14..21 hold the default NEK itself.
    std::memcpy(local.storedParams.data() + 14, sim::defaultNek().data(), 8);
    std::memcpy(local.runningParams.data() + 14, sim::defaultNek().data(), 8);
    ASSERT_TRUE(startAutoScan(20, 3, true));
    tick(8);
    EXPECT_TRUE(keyIs(hp10NetworkKey, sim::defaultNek().data(), 8));
    EXPECT_STREQ("HomePlug", networkRecords[0].keyLabel);
}

TEST_F(Hp10Sim, PrivateKeyIsUnknown) {
    sim::Hp10Key key = sim::hp10KeyOf("Potting shed");
    addNetwork(&key);
    ASSERT_TRUE(startAutoScan(20, 3, true));
    tick(8);
    EXPECT_EQ(1, +networkRecords[0].localPresent);
    EXPECT_STREQ(kUnknownKeyLabel, networkRecords[0].keyLabel);
    EXPECT_STREQ(kUnknownKeyLabel, deviceTable[0].keyLabel);
    EXPECT_TRUE(keyIs(networkRecords[0].networkKey, hp10NetworkKey, 8));

    // The user names the network: the next scan files the key under that text.
    copyText(networkRecords[0].keyLabel, "Potting shed");
    keyChangedMark = 1;
    tick(20);
    EXPECT_EQ(0, keyChangedMark);
    EXPECT_STREQ("Potting shed", networkRecords[0].keyLabel);
    EXPECT_STREQ("Potting shed", deviceTable[0].keyLabel);
    EXPECT_TRUE(keyIs(deviceTable[0].networkKey, hp10NetworkKey, 8));
    tick(20);
    EXPECT_STREQ("Potting shed", networkRecords[0].keyLabel);
}

TEST_F(Hp10Sim, CycleRecordsRemotesWithRatesAndAgesASilentOne) {
    addNetwork();
    std::vector<int> stages;
    int enables = 0, disables = 0;
    setDeviceListHooks({[&](int stage) { stages.push_back(stage); },
                        [&](bool on) { on ? ++enables : ++disables; }, nullptr});
    ASSERT_TRUE(startAutoScan(20, 3, true)); // a cycle every second
    tick(8);
    EXPECT_EQ(8, cycleStep);
    EXPECT_EQ(1, disables);
    EXPECT_EQ(1, enables);
    ASSERT_FALSE(stages.empty());
    EXPECT_EQ(1, stages.front());
    EXPECT_EQ(7, stages.back());
    EXPECT_NE(stages.end(), std::find(stages.begin(), stages.end(), 4)); // statistics answer

    RemoteDevice* r1 = remote(kHpRemote1);
    RemoteDevice* r2 = remote(kHpRemote2);
    ASSERT_NE(nullptr, r1);
    ASSERT_NE(nullptr, r2);
    EXPECT_EQ(&networkRecords[0].remotes[0], r1);
    EXPECT_EQ(&networkRecords[0].remotes[1], r2);
    for (RemoteDevice* r : {r1, r2}) {
        EXPECT_EQ(1, +r->active);
        EXPECT_EQ(kTypeHp10, +r->deviceType);
        EXPECT_EQ(8.0, +r->stats.rate);   // the emulator's 8 Mbit/s link
        EXPECT_EQ(2, +r->missesTillDrop); // set to 3 at the sighting, aged once
    }
    // The local link is the average of the remote rates, taken back through the
    // HomePlug 1.0 conversion: raw 8 * 42 = 336.
    EXPECT_EQ(std::trunc(convertRate(336, kRateHp10)), +networkRecords[0].localStats.rate);
    EXPECT_EQ(2, +networkRecords[0].activeRemoteCount);
    int seen2 = r2->seenCount;
    EXPECT_GT(seen2, 0);

    // Remote 2 falls silent: inactive from the next interval boundary on.
    net->station(kHpRemote2).faults.push_back(ignoreAll());
    tick(11); // up to the tick before the boundary
    EXPECT_EQ(1, +r2->active);
    tick(1); // the boundary tick clears the remotes and starts the cycle
    EXPECT_EQ(0, +r2->active);
    EXPECT_EQ(0.0, +r2->stats.rate);
    tick(7);
    EXPECT_EQ(1, +r1->active);
    EXPECT_EQ(0, +r2->active);
    EXPECT_EQ(1, +networkRecords[0].activeRemoteCount);
    for (int cycle = 0; cycle < 3; ++cycle)
        tick(20);
    EXPECT_EQ(0, +r2->active);
    EXPECT_TRUE(keyIs(r2->mac, mac(kHpRemote2).data(), 6)); // slot and counters kept
    EXPECT_EQ(seen2, +r2->seenCount);
    EXPECT_EQ(8.0, +r2->stats.highest);
    // Sightings after the first labelled scan carry the network's key label.
    EXPECT_STREQ("HomePlug", r1->keyLabel);

    // It speaks again: back in its old slot, counted on.
    net->station(kHpRemote2).faults.clear();
    tick(20);
    EXPECT_EQ(r2, remote(kHpRemote2));
    EXPECT_EQ(&networkRecords[0].remotes[1], r2);
    EXPECT_EQ(1, +r2->active);
    EXPECT_GT(+r2->seenCount, seen2);
}

TEST_F(Hp10Sim, LocalAdapterLostPartWayEndsTheCycleWithTheButtonsBackOn) {
    addNetwork();
    int enables = 0, disables = 0;
    bool enabled = true;
    setDeviceListHooks({[](int) {},
                        [&](bool on) {
                            on ? ++enables : ++disables;
                            enabled = on;
                        },
                        nullptr});
    ASSERT_TRUE(startAutoScan(20, 3, true));
    tick(1); // step 1: the buttons go off
    EXPECT_FALSE(enabled);
    // The local adapter now reports a device class halyard does not know: the
    // statistics answer of step 3 makes the observer drop it.
    net->station(kHpLocal).deviceClass = 9;
    tick(7);
    EXPECT_FALSE(currentScanState().localPresent);
    EXPECT_TRUE(enabled) << "the cycle stalled with Scan disabled";
    EXPECT_EQ(disables, enables);
    EXPECT_EQ(kCycleIdle, cycleStep);
    // Ticks on to the next interval change nothing and keep Scan usable.
    tick(20);
    EXPECT_TRUE(enabled);

    // The adapter is itself again: Scan (the buttons being on) finds it and
    // the next cycle lists the remotes.
    net->station(kHpLocal).deviceClass = 0;
    ASSERT_TRUE(scanNetwork());
    tick(28);
    EXPECT_TRUE(enabled);
    EXPECT_NE(nullptr, remote(kHpRemote1));
    EXPECT_NE(nullptr, remote(kHpRemote2));
    setDeviceListHooks({});
}

TEST_F(Hp10Sim, BusyFlagKeepsEveryTickSilent) {
    addNetwork();
    ASSERT_TRUE(startAutoScan(20, 3, false)); // automatic scanning switched off
    EXPECT_EQ(1, busyFlag);
    size_t before = wire.sent.size();
    tick(100);
    EXPECT_EQ(before, wire.sent.size());
    EXPECT_EQ(nullptr, remote(kHpRemote1));
    busyFlag = 0;
    tick(8);
    EXPECT_NE(nullptr, remote(kHpRemote1));
}

TEST_F(Hp10Sim, SetNetworkKeyIsVerifiedAgainstTheStoredCopy) {
    addNetwork();
    ASSERT_TRUE(startAutoScan(20, 3, true));
    tick(8);
    ASSERT_EQ(1, localParamsCaptured);
    ASSERT_EQ(1, scanStates[0].paramsValid);
    sim::Hp10Key key = sim::hp10KeyOf("Potting shed");
    int result = setNetworkKey(0, kHostA, kBcast, 1, key.data(), 1, true, false);
    EXPECT_EQ(1, result);
    EXPECT_EQ(key, net->local().nek());
    EXPECT_EQ(0, busyFlag);
    EXPECT_EQ(std::string::npos, parametersLog().find("**SETNEK**"));
}

TEST_F(Hp10Sim, SetNetworkKeyFailsWhenTheDeviceKeepsItsOldBlock) {
    addNetwork();
    ASSERT_TRUE(startAutoScan(20, 3, true));
    tick(8);
    sim::Fault ignoreSetKey = ignoreAll();
    ignoreSetKey.match = 0x10004;
    net->local().faults.push_back(ignoreSetKey);
    sim::Hp10Key key = sim::hp10KeyOf("Potting shed");
    uint32_t start = clock.tickCount();
    EXPECT_EQ(0, setNetworkKey(0, kHostA, kBcast, 1, key.data(), 1, true, false));
    // 100 ms, then three attempts of 500 ms each.
    EXPECT_GE(clock.tickCount() - start, 1600u);
    EXPECT_EQ(sim::defaultNek(), net->local().nek());
    std::string log = parametersLog();
    size_t first = log.find("**SETNEK**");
    ASSERT_NE(std::string::npos, first);
    EXPECT_NE(first, log.rfind("**SETNEK**")); // one entry per differing answer
    EXPECT_EQ(0, busyFlag);
}

TEST_F(Hp10Sim, BlockOfSevenEqualBytesIsLoggedNeverStored) {
    addNetwork();
    sim::Station& local = net->local();
    std::memset(local.storedParams.data(), 0xFF, 7);
    std::memset(local.runningParams.data(), 0xFF, 7);
    ASSERT_TRUE(startAutoScan(20, 3, true));
    tick(8);
    EXPECT_EQ(0, localParamsCaptured);
    EXPECT_EQ(0, localParamsBlock[0]);
    std::string log = parametersLog();
    EXPECT_NE(std::string::npos, log.find("**EEPROM** ff ff ff ff ff ff ff")) << log;
    EXPECT_EQ(0, +networkRecords[0].localPresent); // still no key to label
}

// ---- HomePlug Turbo ---------------------------------------------------------------------

class TurboSim : public DiscoverySim {
  protected:
    sim::Network* net = nullptr;
    void addNetwork(const sim::Hp10Key* nek = nullptr) {
        net = &port(kHostA);
        sim::Station local = sim::Station::turbo("00:04:87:00:01:10");
        local.local = true;
        local.firmware = "INT6000-MAC-4-1-4102-01-1.4.2";
        if (nek)
            local.setNek(*nek);
        net->addStation(std::move(local));
        sim::Station r = sim::Station::turbo("00:04:87:00:01:11");
        r.rate = 60;
        r.vendor = "Acme";
        r.product = "Plug 85";
        if (nek)
            r.setNek(*nek);
        net->addStation(std::move(r));
    }
};

TEST_F(TurboSim, DefaultKeyAndTurboTexts) {
    addNetwork();
    ASSERT_TRUE(startAutoScan(20, 3, true));
    EXPECT_EQ(LocalFamily::Turbo, lastScanFamily());
    EXPECT_EQ(1, localIsTurbo);
    EXPECT_EQ(kClassTurbo, +networkRecords[0].deviceClass);
    EXPECT_STREQ("HomePlug", networkRecords[0].keyLabel);
    EXPECT_STREQ("HomePlug", deviceTable[0].keyLabel);
    EXPECT_STREQ("Device 1", deviceTable[0].name);
    EXPECT_TRUE(keyIs(hp10NetworkKey, sim::defaultNek().data(), 8));
    EXPECT_STREQ("Morvanta", turboVendor);
    EXPECT_EQ(0, std::strncmp(turboFirmware, "INT6000-MAC-4-1-4102-01-1.4.2", 29));

    // The cycle finds the remote Turbo adapter, its texts and its rate.
    tick(8);
    RemoteDevice* r = remote("00:04:87:00:01:11");
    ASSERT_NE(nullptr, r);
    EXPECT_EQ(kTypeTurbo, +r->deviceType);
    EXPECT_EQ(1, +r->typeChanged);
    EXPECT_STREQ("Acme", r->vendor);
    EXPECT_STREQ("Plug 85", r->product);
    EXPECT_EQ(60.0, +r->stats.rate);
}

// Two interfaces, a Turbo adapter on each; the second one answers its probe
// late, while the scan reads the first one's key. Its answer names the second
// interface's adapter: the selected interface keeps its own adapter's MAC and
// texts.
TEST_F(DiscoverySim, LateTurboAnswerOfAnotherInterfaceIsCreditedToThatInterface) {
    const char* const first = "00:04:87:00:01:10";
    const char* const second = "00:04:87:00:02:10";
    sim::Station a = sim::Station::turbo(first);
    a.local = true;
    a.vendor = "Eastfield";
    port(kHostA).addStation(std::move(a));
    sim::Station b = sim::Station::turbo(second);
    b.local = true;
    b.vendor = "Westbank";
    sim::Fault late;
    late.kind = sim::Fault::Kind::Delay;
    late.match = 0x10002; // the Turbo vendor request
    late.count = 1;
    late.ms = 150; // past its interface's 100 ms probe
    b.faults.push_back(late);
    port(kHostB).addStation(std::move(b));

    ASSERT_TRUE(scanNetwork());
    EXPECT_EQ(LocalFamily::Turbo, lastScanFamily());
    EXPECT_EQ(1, localIsTurbo);
    EXPECT_TRUE(keyIs(scanStates[0].localMac, mac(first).data(), 6));
    EXPECT_TRUE(keyIs(networkRecords[0].localMac, mac(first).data(), 6));
    EXPECT_STREQ("Eastfield", turboVendor);
    EXPECT_TRUE(keyIs(scanStates[1].localMac, mac(second).data(), 6));
    EXPECT_EQ(0, +scanStates[1].localPresent) << "its probe had no answer in time";
    ASSERT_EQ(1, deviceCount);
    EXPECT_TRUE(keyIs(deviceTable[0].mac, mac(first).data(), 6));
    EXPECT_STREQ("HomePlug", networkRecords[0].keyLabel);

    // The next scan finds both adapters, each on its own interface.
    ASSERT_TRUE(scanNetwork());
    EXPECT_EQ(1, +scanStates[1].localPresent);
    EXPECT_TRUE(keyIs(networkRecords[0].localMac, mac(first).data(), 6));
    EXPECT_TRUE(keyIs(networkRecords[1].localMac, mac(second).data(), 6));
}

TEST_F(TurboSim, PrivateKeyIsUnknown) {
    sim::Hp10Key key = sim::hp10KeyOf("Boathouse");
    addNetwork(&key);
    ASSERT_TRUE(scanNetwork());
    EXPECT_STREQ(kUnknownKeyLabel, networkRecords[0].keyLabel);
    EXPECT_TRUE(keyIs(networkRecords[0].networkKey, key.data(), 8));
}

// ---- HomePlug AV automatic cycle --------------------------------------------------------

TEST_F(DiscoverySim, AvCycleListsTheRemoteAdaptersWithRates) {
    sim::Network& net = port(kHostA);
    net.addStation(sim::Station::av(kAvLocal)).local = true;
    for (const char* m : {"00:B0:52:00:00:11", "00:B0:52:00:00:12", "00:B0:52:00:00:13"})
        net.addStation(sim::Station::av(m)).rate = 120;
    ASSERT_TRUE(startAutoScan(20, 3, true));
    tick(8);
    EXPECT_EQ(3, +networkRecords[0].activeRemoteCount);
    for (const char* m : {"00:B0:52:00:00:11", "00:B0:52:00:00:12", "00:B0:52:00:00:13"}) {
        RemoteDevice* r = remote(m);
        ASSERT_NE(nullptr, r) << m;
        EXPECT_EQ(kTypeAv, +r->deviceType);
        EXPECT_EQ(1, +r->active);
        EXPECT_NEAR(120.0, r->stats.rate, 2.0);
        EXPECT_STREQ("HomePlugAV", r->keyLabel);
    }
}

// ---- Key exchanges ------------------------------------------------------------------------

TEST_F(DiscoverySim, AvEncryptedKeyIsConfirmedByTheLocalDevice) {
    sim::Network& net = port(kHostA);
    net.addStation(sim::Station::av(kAvLocal)).local = true;
    sim::Station remoteStation = sim::Station::av("00:B0:52:00:00:11");
    remoteStation.setDevicePassword("ZXCV-BNMA-SDFG-HJKL");
    net.addStation(std::move(remoteStation));
    ASSERT_TRUE(scanNetwork());
    auto dak = sim::dakOf("ZXCV-BNMA-SDFG-HJKL");
    auto nmk = sim::nmkOf("Orchard");
    uint8_t target[6];
    std::memcpy(target, mac("00:B0:52:00:00:11").data(), 6);
    EXPECT_EQ(4, sendEncryptedKey(target, dak.data(), nmk.data()));
    // The confirming device: the remote station that took the key.
    EXPECT_TRUE(keyIs(target, mac("00:B0:52:00:00:11").data(), 6));
    EXPECT_EQ(nmk, net.station("00:B0:52:00:00:11").nmk);

    // A wrong device key: no confirmation, and an AV device never answers the probe.
    std::memcpy(target, mac("00:B0:52:00:00:11").data(), 6);
    auto wrong = sim::dakOf("AAAA-BBBB-CCCC-DDDD");
    auto other = sim::nmkOf("Meadow");
    uint32_t start = clock.tickCount();
    EXPECT_EQ(0, sendEncryptedKey(target, wrong.data(), other.data()));
    EXPECT_GE(clock.tickCount() - start, 3700u);
    EXPECT_EQ(nmk, net.station("00:B0:52:00:00:11").nmk);
}

TEST_F(Hp10Sim, EncryptedKeyReachesTheDeviceWhoseKeyItNames) {
    addNetwork();
    ASSERT_TRUE(startAutoScan(20, 3, true));
    sim::Station& target = net->station(kHpRemote1);
    target.setDevicePassword("QRSTUVWXYZABCDEF");
    auto dek = sim::hp10KeyOf("QRSTUVWXYZABCDEF");
    auto nek = sim::hp10KeyOf("Potting shed");
    uint8_t to[6];
    std::memcpy(to, kBcast, 6);
    EXPECT_EQ(2, sendEncryptedKey(to, dek.data(), nek.data()));
    EXPECT_TRUE(keyIs(to, mac(kHpRemote1).data(), 6));
    EXPECT_EQ(nek, target.nek());
    EXPECT_EQ(sim::defaultNek(), net->station(kHpRemote2).nek());
}

TEST_F(TurboSim, SetTurboKeyIsAcknowledged) {
    addNetwork();
    ASSERT_TRUE(scanNetwork());
    auto nek = sim::hp10KeyOf("Boathouse");
    EXPECT_EQ(2, setTurboKey(nek.data()));
    EXPECT_EQ(nek, net->local().nek());
    // The next scan reads the new key back and no longer calls it the default.
    ASSERT_TRUE(scanNetwork());
    EXPECT_STREQ(kUnknownKeyLabel, networkRecords[0].keyLabel);
}

} // namespace
