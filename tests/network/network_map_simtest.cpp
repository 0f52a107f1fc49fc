// The network map against the emulator on the in-memory wire: whole automatic
// cycles with the map wanted, compared with the scenario's asymmetric matrix,
// and the ways an answer can be missing, late, from the wrong station or
// damaged. Expected frames are written from the frame layout here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

#include "network/auto_scan.h"
#include "network/model.h"
#include "network/network_map.h"
#include "packet/packet.h"
#include "sim/network.h"
#include "support/core_bench.h"

namespace {

using Bytes = std::vector<uint8_t>;

const sim::Mac kHost = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
const sim::Mac kStudy = sim::parseMac("00:B0:52:00:00:40"); // local
const sim::Mac kLounge = sim::parseMac("00:B0:52:00:00:41");
const sim::Mac kKitchen = sim::parseMac("00:B0:52:00:00:42");
const sim::Mac kGarage = sim::parseMac("00:B0:52:00:00:43");

// The scenario's matrix (sim/scenarios/map.json), Mbit/s from the first to the second.
const std::map<std::pair<sim::Mac, sim::Mac>, int32_t> kMatrix = {
    {{kStudy, kLounge}, 150},  {{kStudy, kKitchen}, 90},   {{kStudy, kGarage}, 45},
    {{kLounge, kStudy}, 120},  {{kLounge, kKitchen}, 200}, {{kLounge, kGarage}, 60},
    {{kKitchen, kStudy}, 100}, {{kKitchen, kLounge}, 180}, {{kKitchen, kGarage}, 30},
    {{kGarage, kStudy}, 50},   {{kGarage, kLounge}, 75},   {{kGarage, kKitchen}, 25},
};

// The network information request as it must go out: to the adapter, from
// the host, EtherType 0x88E1, MMV 0, MMTYPE 0xA038, the vendor OUI, zeros to 64.
Bytes networkInfoRequest(const sim::Mac& to) {
    Bytes f(64, 0);
    std::memcpy(f.data(), to.data(), 6);
    std::memcpy(f.data() + 6, kHost.data(), 6);
    const uint8_t header[] = {0x88, 0xE1, 0x00, 0x38, 0xA0, 0x00, 0xB0, 0x52};
    std::memcpy(f.data() + 12, header, sizeof header);
    return f;
}

sim::Fault fault(sim::Fault::Kind kind, uint32_t match = 0xA038) {
    sim::Fault f;
    f.kind = kind;
    f.match = match;
    return f;
}

class NetworkMapFlow : public ::testing::Test {
  protected:
    CoreBench bench;
    sim::Network net = sim::Network::fromFile(sim::scenarioPath("map.json"));

    void SetUp() override { net.attach(bench.wire, bench.addPort("eth0", kHost.data())); }
    void TearDown() override {
        closeAllInterfaces();
        net.detach();
    }

    // Starts the automatic scan and runs its first cycle to the end, as the
    // 50 ms timer does. Returns the virtual milliseconds the cycle took.
    uint64_t firstCycle() {
        EXPECT_TRUE(startAutoScan(20 * 30, 3, true));
        uint64_t start = bench.clock.now();
        for (int n = 0; n < 64 && cycleStep < kCycleIdle; ++n) {
            timerTick();
            bench.clock.advance(kTimerPeriodMs);
        }
        EXPECT_EQ(kCycleIdle, cycleStep);
        return bench.clock.now() - start;
    }
    // Network information requests sent to anything but the local adapter.
    std::vector<Bytes> requestsToRemotes() const {
        std::vector<Bytes> out;
        for (const auto& s : bench.wire.sent) {
            const Bytes& f = s.frame;
            if (f.size() >= 17 && f[12] == 0x88 && f[13] == 0xE1 && f[15] == 0x38 &&
                f[16] == 0xA0 && !std::equal(f.begin(), f.begin() + 6, kStudy.begin()) &&
                !(f[0] == 0x00 && f[1] == 0xB0 && f[2] == 0x52 && f[5] == 0x01))
                out.push_back(f);
        }
        return out;
    }
    static int32_t rate(const NetworkMap& map, const sim::Mac& from, const sim::Mac& to) {
        int a = findMapNode(map, from.data()), b = findMapNode(map, to.data());
        EXPECT_GE(a, 0);
        EXPECT_GE(b, 0);
        return a < 0 || b < 0 ? -99 : map.rate[a][b];
    }
    // Every pair of the matrix, except those of the rows listed as unknown.
    static void expectMatrix(const NetworkMap& map, std::vector<sim::Mac> unknownRows = {}) {
        ASSERT_EQ(map.nodeCount, 4);
        for (const auto& [pair, mbps] : kMatrix) {
            bool unknown =
                std::find(unknownRows.begin(), unknownRows.end(), pair.first) != unknownRows.end();
            EXPECT_EQ(rate(map, pair.first, pair.second), unknown ? kMapRateUnknown : mbps)
                << sim::formatMac(pair.first) << " -> " << sim::formatMac(pair.second);
        }
    }
};

} // namespace

TEST_F(NetworkMapFlow, TheMapEqualsTheScenariosMatrixExactly) {
    NetworkMapWant want;
    firstCycle();
    const NetworkMap& map = networkMaps[0];
    EXPECT_EQ(map.generation, 1u);
    expectMatrix(map);
    ASSERT_EQ(map.nodeCount, 4);
    EXPECT_TRUE(map.nodes[0].local);
    EXPECT_TRUE(std::equal(kStudy.begin(), kStudy.end(), map.nodes[0].mac));
    for (int k = 0; k < map.nodeCount; ++k) {
        EXPECT_EQ(map.nodes[k].family, kTypeAv);
        EXPECT_TRUE(map.nodes[k].answered);
        EXPECT_EQ(map.rate[k][k], kMapRateUnknown) << "no link to itself";
    }
    // One request per remote adapter, byte for byte, after the cycle's scan.
    std::vector<Bytes> sent = requestsToRemotes();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0], networkInfoRequest(kLounge));
    EXPECT_EQ(sent[1], networkInfoRequest(kKitchen));
    EXPECT_EQ(sent[2], networkInfoRequest(kGarage));
    // The list's own rates are untouched by the map: the local row is theirs.
    RemoteDevice* lounge = findRemote(kLounge.data());
    ASSERT_NE(lounge, nullptr);
    EXPECT_EQ(lounge->stats.rate, 150.0);
}

TEST_F(NetworkMapFlow, OneAtATimeEachAnsweredBeforeTheNextIsAsked) {
    NetworkMapWant want;
    firstCycle();
    // Each request goes out only after the previous adapter's answer (1 ms
    // latency) was taken: far less than the 100 ms confirmation wait apart.
    std::vector<uint64_t> at;
    for (const auto& s : bench.wire.sent)
        if (s.frame.size() > 16 && s.frame[15] == 0x38 && s.frame[5] >= 0x41 && s.frame[5] <= 0x43)
            at.push_back(s.atMs);
    ASSERT_EQ(at.size(), 3u);
    EXPECT_GT(at[1], at[0]);
    EXPECT_LT(at[1] - at[0], 10u);
    EXPECT_LT(at[2] - at[1], 10u);
}

TEST_F(NetworkMapFlow, NothingIsAskedAndTheCycleIsNoLongerWhileNobodyWantsTheMap) {
    uint64_t plain = firstCycle();
    EXPECT_TRUE(requestsToRemotes().empty());
    EXPECT_EQ(networkMaps[0].generation, 0u);
    // Wanted and released again: the consumer is gone.
    wantNetworkMap();
    releaseNetworkMap();
    releaseNetworkMap(); // unbalanced: ignored
    EXPECT_EQ(networkMapWants(), 0);
    size_t before = bench.wire.sent.size();
    uint64_t again = firstCycle();
    EXPECT_EQ(again, plain);
    EXPECT_TRUE(std::none_of(bench.wire.sent.begin() + static_cast<long>(before),
                             bench.wire.sent.end(), [](const MemoryWire::Sent& s) {
                                 return s.frame[5] >= 0x41 && s.frame[5] <= 0x43 &&
                                        s.frame[15] == 0x38;
                             }));
}

TEST_F(NetworkMapFlow, ASilentAdapterLeavesItsRowUnknownNeverZero) {
    net.station("00:B0:52:00:00:42").faults.push_back(fault(sim::Fault::Kind::Ignore));
    NetworkMapWant want;
    firstCycle();
    const NetworkMap& map = networkMaps[0];
    expectMatrix(map, {kKitchen});
    int kitchen = findMapNode(map, kKitchen.data());
    ASSERT_GE(kitchen, 0);
    EXPECT_FALSE(map.nodes[kitchen].answered);
    // The others still rate their links to the kitchen.
    EXPECT_EQ(rate(map, kLounge, kKitchen), 200);
    EXPECT_EQ(rate(map, kStudy, kKitchen), 90);
}

TEST_F(NetworkMapFlow, AnAdapterOnAnotherKeyIsAbsent) {
    sim::Station neighbour = sim::Station::av("00:B0:52:00:00:50");
    neighbour.setNetworkPassword("NeighbourNet1");
    neighbour.view[kStudy] = 99;
    net.addStation(std::move(neighbour));
    NetworkMapWant want;
    firstCycle();
    const NetworkMap& map = networkMaps[0];
    expectMatrix(map);
    EXPECT_EQ(findMapNode(map, sim::parseMac("00:B0:52:00:00:50").data()), -1);
}

TEST_F(NetworkMapFlow, AFloodOrAStrayCopyFromAnotherStationDoesNotPoisonTheMap) {
    // Twenty unrelated frames ahead of the lounge's answer; a third station
    // sends a copy of the kitchen's answer just before it (with the kitchen's
    // view, from another MAC); the garage's answer claims 255 entries.
    sim::Fault flood = fault(sim::Fault::Kind::Flood);
    flood.frames = 20;
    net.station("00:B0:52:00:00:41").faults.push_back(flood);
    net.station("00:B0:52:00:00:42").faults.push_back(fault(sim::Fault::Kind::Stray));
    sim::Fault count = fault(sim::Fault::Kind::Malformed);
    count.how = "count";
    net.station("00:B0:52:00:00:43").faults.push_back(count);
    NetworkMapWant want;
    firstCycle();
    expectMatrix(networkMaps[0]);
}

TEST_F(NetworkMapFlow, ALateAnswerIsNeverTakenForTheNextAdapters) {
    // The lounge answers 120 ms late, after its wait: during the kitchen's
    // wait and before the kitchen's own answer (30 ms). The kitchen's wait
    // takes only the kitchen's answer, so the lounge's view never lands in the
    // kitchen's row.
    sim::Fault late = fault(sim::Fault::Kind::Delay);
    late.ms = 120;
    net.station("00:B0:52:00:00:41").faults.push_back(late);
    sim::Fault slow = fault(sim::Fault::Kind::Delay);
    slow.ms = 30;
    net.station("00:B0:52:00:00:42").faults.push_back(slow);
    NetworkMapWant want;
    firstCycle();
    expectMatrix(networkMaps[0], {kLounge});
}

TEST_F(NetworkMapFlow, TheBusyFlagStopsTheGathering) {
    NetworkMapWant want;
    firstCycle();
    uint32_t generation = networkMaps[0].generation;
    size_t before = bench.wire.sent.size();
    busyFlag = 1;
    gatherNetworkMap(0);
    busyFlag = 0;
    EXPECT_EQ(networkMaps[0].generation, generation);
    EXPECT_EQ(bench.wire.sent.size(), before);
    expectMatrix(networkMaps[0]); // the last map stays as it was
}

TEST_F(NetworkMapFlow, HomePlug10RemotesHaveTheirRowsUnknown) {
    net.detach();
    net = sim::Network::fromJson(R"({"stations": [
        {"family": "hp10", "mac": "00:04:87:00:00:10", "local": true},
        {"family": "hp10", "mac": "00:04:87:00:00:11", "rate": 12},
        {"family": "turbo", "mac": "00:04:87:00:00:12"}]})");
    net.attach(bench.wire, 0);
    NetworkMapWant want;
    firstCycle();
    const NetworkMap& map = networkMaps[0];
    ASSERT_EQ(map.nodeCount, 3);
    EXPECT_EQ(map.nodes[0].family, kTypeHp10);
    for (int k = 1; k < 3; ++k) {
        EXPECT_FALSE(map.nodes[k].answered);
        RemoteDevice* slot = findRemote(map.nodes[k].mac);
        ASSERT_NE(slot, nullptr);
        EXPECT_EQ(map.rate[0][k], static_cast<int32_t>(slot->stats.rate)) << "the list's rate";
        for (int j = 0; j < 3; ++j)
            EXPECT_EQ(map.rate[k][j], kMapRateUnknown);
    }
    EXPECT_TRUE(requestsToRemotes().empty()) << "no HomePlug AV request on a 1.0 network";
}
