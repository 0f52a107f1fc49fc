// A station that pretends to be the local adapter: it answers every request
// the local adapter answers, from its own MAC and with its own key, version and
// parameters, sends local-device markers and self-addressed statistics. Once
// the local adapter is known, nothing it sends changes what halyard shows or
// stores: the local device, its key and label, its texts, the device entries
// and the remote list stay as they were without it. A replaced adapter (the
// known one silent, a new one answering) is still found by the next scan.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "network/auto_scan.h"
#include "network/hp10_frames.h"
#include "network/model.h"
#include "network/scan.h"
#include "packet/packet.h"
#include "sim/network.h"
#include "support/core_bench.h"
#include "support/network_snapshot.h"

namespace {

const uint8_t kHost[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};

size_t forgedCount(const sim::Network& net) {
    size_t n = 0;
    for (const std::string& line : net.log())
        n += line.rfind("forging station", 0) == 0 ? 1 : 0;
    return n;
}

class ForgedAnswersSim : public ::testing::Test {
  protected:
    CoreBench bench;
    sim::Network net;
    sim::Station* forger = nullptr;

    void SetUp() override { net.attach(bench.wire, bench.addPort("eth0", kHost)); }
    void TearDown() override {
        closeAllInterfaces();
        net.detach();
        replaced.detach();
    }

    // The adapter found before is unplugged and `fresh` takes its place.
    sim::Network replaced;
    void replaceLocal(sim::Station fresh) {
        fresh.local = true;
        replaced.addStation(std::move(fresh));
        net.detach();
        replaced.attach(bench.wire, 0);
    }
    // The first scan finds `old` as the local adapter.
    void scanWithLocal(sim::Station old) {
        old.local = true;
        net.addStation(std::move(old));
        ASSERT_TRUE(scanNetwork());
    }

    void addForger(sim::Station station) {
        station.name = "Neighbour";
        forger = &net.addStation(std::move(station));
    }
    void forgeEverything() {
        forger->forges.answers = true;
        forger->forges.markers = true;
        forger->forges.selfAddressed = true;
    }
    // One automatic cycle (it ends with a full scan) and a scan of its own.
    void cycleAndScan() {
        for (int n = 0; n < 10; ++n) {
            timerTick();
            bench.clock.advance(kTimerPeriodMs);
        }
        ASSERT_TRUE(scanNetwork());
    }
    // The network as halyard shows it after a cycle without forging, then
    // after one with it: the same.
    void expectForgeryChangesNothing() {
        ASSERT_TRUE(startAutoScan(20, 3, true));
        cycleAndScan();
        const NetworkSnapshot before = networkSnapshot();
        ASSERT_EQ(0u, forgedCount(net));

        forgeEverything();
        cycleAndScan();
        cycleAndScan();
        EXPECT_GT(forgedCount(net), 10u) << "the forging station took part";
        EXPECT_EQ(before, networkSnapshot());
        EXPECT_EQ(0, findDeviceEntry(forger->mac.data())) << "no entry for the forging station";
    }
};

TEST_F(ForgedAnswersSim, TurboKeyVersionAndMarkersOfANeighbourChangeNothing) {
    sim::Station local = sim::Station::turbo("00:04:87:00:01:10");
    local.local = true;
    local.vendor = "Eastfield";
    local.firmware = "INT6000-MAC-4-1-4102-01-1.4.2";
    net.addStation(std::move(local));
    sim::Station remote = sim::Station::turbo("00:04:87:00:01:11");
    remote.vendor = "Acme";
    net.addStation(std::move(remote));
    // A neighbour's Turbo adapter on its own key, with its own texts.
    sim::Station neighbour = sim::Station::turbo("00:04:87:00:09:99");
    neighbour.setNetworkPassword("NeighbourNet");
    neighbour.vendor = "Forgery Inc";
    neighbour.firmware = "INT5500MAC-0-01.5.0";
    addForger(std::move(neighbour));

    expectForgeryChangesNothing();
    EXPECT_STREQ("HomePlug", networkRecords[0].keyLabel);
    EXPECT_STREQ("Eastfield", turboVendor);
    EXPECT_EQ(0, oldFirmware) << "the neighbour's old firmware text was not taken";
}

TEST_F(ForgedAnswersSim, HomePlug10MarkersAndParametersOfANeighbourChangeNothing) {
    sim::Station local = sim::Station::hp10("00:04:87:00:00:10");
    local.local = true;
    net.addStation(std::move(local));
    net.addStation(sim::Station::hp10("00:04:87:00:00:11"));
    sim::Station neighbour = sim::Station::hp10("00:04:87:00:09:98");
    neighbour.setNetworkPassword("NeighbourNet");
    addForger(std::move(neighbour));

    expectForgeryChangesNothing();
    EXPECT_EQ(1, localParamsCaptured);
    EXPECT_STREQ("HomePlug", networkRecords[0].keyLabel);
}

TEST_F(ForgedAnswersSim, AvVersionStationListAndKeyOfANeighbourChangeNothing) {
    sim::Station local = sim::Station::av("00:B0:52:00:00:10");
    local.local = true;
    local.firmware = "KARSA01-MAC-3-1-HOME";
    net.addStation(std::move(local));
    net.addStation(sim::Station::av("00:B0:52:00:00:11"));
    sim::Station neighbour = sim::Station::av("00:B0:52:00:09:97");
    neighbour.setNetworkPassword("NeighbourNet");
    neighbour.firmware = "KARSA01-MAC-9-9-FORGED";
    addForger(std::move(neighbour));

    expectForgeryChangesNothing();
    EXPECT_STREQ("HomePlugAV", networkRecords[0].keyLabel);
}

// A replaced adapter: the one found before is gone, another answers as the
// local device. The same scan finds the new one: the known one stayed silent
// through every family probe.
TEST_F(ForgedAnswersSim, AReplacedHomePlug10AdapterIsFoundByTheNextScan) {
    scanWithLocal(sim::Station::hp10("00:04:87:00:00:10"));
    ASSERT_EQ("00:04:87:00:00:10", formatMac(scanStates[0].localMac));
    replaceLocal(sim::Station::hp10("00:04:87:00:00:20"));
    ASSERT_TRUE(scanNetwork());
    EXPECT_EQ("00:04:87:00:00:20", formatMac(scanStates[0].localMac));
    EXPECT_EQ(kClassHp10, scanStates[0].deviceClass);
    EXPECT_EQ(1, scanStates[0].localPresent);
    EXPECT_EQ(1, scanStates[0].paramsValid);
}

TEST_F(ForgedAnswersSim, AReplacedTurboAdapterIsFoundByTheNextScan) {
    scanWithLocal(sim::Station::turbo("00:04:87:00:01:10"));
    ASSERT_EQ(LocalFamily::Turbo, lastScanFamily());
    sim::Station fresh = sim::Station::turbo("00:04:87:00:01:20");
    fresh.vendor = "Westbank";
    replaceLocal(std::move(fresh));
    ASSERT_TRUE(scanNetwork());
    EXPECT_EQ(LocalFamily::Turbo, lastScanFamily());
    EXPECT_EQ("00:04:87:00:01:20", formatMac(scanStates[0].localMac));
    EXPECT_STREQ("Westbank", turboVendor);
}

TEST_F(ForgedAnswersSim, AReplacedAvAdapterIsFoundByTheNextScan) {
    scanWithLocal(sim::Station::av("00:B0:52:00:00:10"));
    replaceLocal(sim::Station::av("00:B0:52:00:00:20"));
    ASSERT_TRUE(scanNetwork());
    EXPECT_EQ("00:B0:52:00:00:20", formatMac(scanStates[0].localMac));
    EXPECT_EQ(2, deviceCount);
}

// A HomePlug 1.0 adapter replaced by an AV one: the same scan finds it.
TEST_F(ForgedAnswersSim, AnAdapterOfAnotherFamilyReplacingTheKnownOneIsFoundToo) {
    scanWithLocal(sim::Station::hp10("00:04:87:00:00:10"));
    ASSERT_EQ(LocalFamily::Hp10, lastScanFamily());
    replaceLocal(sim::Station::av("00:B0:52:00:00:20"));
    ASSERT_TRUE(scanNetwork());
    EXPECT_EQ(LocalFamily::Av, lastScanFamily());
    EXPECT_EQ("00:B0:52:00:00:20", formatMac(scanStates[0].localMac));
}

// A neighbour's AV adapter forging the answers of the local management address
// next to a live HomePlug 1.0 local adapter: the scan still finds the 1.0 one.
TEST_F(ForgedAnswersSim, AForgingAvNeighbourDoesNotDisplaceALiveHomePlug10Adapter) {
    scanWithLocal(sim::Station::hp10("00:04:87:00:00:10"));
    sim::Station neighbour = sim::Station::av("00:B0:52:00:09:95");
    neighbour.forges.answers = true;
    neighbour.forges.markers = true;
    net.addStation(std::move(neighbour));
    // The neighbour answers the local management address as a local AV
    // adapter would.
    ASSERT_TRUE(scanNetwork());
    EXPECT_EQ(LocalFamily::Hp10, lastScanFamily());
    EXPECT_EQ("00:04:87:00:00:10", formatMac(scanStates[0].localMac));
    EXPECT_EQ(1, deviceCount);
    size_t forgedVersions = 0;
    for (const std::string& line : net.log())
        forgedVersions += line.find("sent 0xA001") != std::string::npos ? 1 : 0;
    EXPECT_GT(forgedVersions, 0u) << "the neighbour answered the version requests";
}

// The first station to answer for an interface with no known local device is
// taken, as discovery describes; from then on its answers count.
TEST_F(ForgedAnswersSim, OneForgedMarkerDoesNotMoveTheLocalDevice) {
    sim::Station local = sim::Station::hp10("00:04:87:00:00:10");
    local.local = true;
    net.addStation(std::move(local));
    ASSERT_TRUE(startAutoScan(20, 3, true));
    const uint8_t forged[6] = {0x00, 0x04, 0x87, 0x00, 0x09, 0x96};
    // One marker from another station, taken off the wire by the timer's drain.
    std::vector<uint8_t> marker(60, 0);
    std::memcpy(marker.data(), kHost, 6);
    std::memcpy(marker.data() + 6, forged, 6);
    marker[12] = 0x88;
    marker[13] = 0x7B;
    marker[14] = 1;
    marker[15] = kEntryLocalMarker;
    marker[16] = 1;
    marker[17] = 0x03;
    bench.wire.deliver(0, marker, bench.clock.now());
    timerTick();
    EXPECT_EQ("00:04:87:00:00:10", formatMac(scanStates[0].localMac));
    // The local device still answers: the next scan keeps it.
    ASSERT_TRUE(scanNetwork());
    EXPECT_EQ("00:04:87:00:00:10", formatMac(scanStates[0].localMac));
    EXPECT_EQ(1, deviceCount);
}

} // namespace
