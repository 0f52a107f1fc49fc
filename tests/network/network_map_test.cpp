// The network map's reading of one answer and its table, without a network:
// entries cut at the bytes that arrived, MACs not on the network ignored, the
// 32-adapter bound, and the local adapter's row taken from the list's rates.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "network/model.h"
#include "network/network_map.h"
#include "support/core_bench.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A network information confirmation from 00:B0:52:00:00:41 with `entries`
// (MAC last byte, rate byte) and the count byte `count`.
Bytes answer(std::vector<std::pair<uint8_t, uint8_t>> entries, int count = -1) {
    Bytes f(39 + 15 * entries.size(), 0);
    f[38] = static_cast<uint8_t>(count >= 0 ? count : static_cast<int>(entries.size()));
    for (size_t j = 0; j < entries.size(); ++j) {
        uint8_t* e = f.data() + 39 + 15 * j;
        const uint8_t mac[6] = {0x00, 0xB0, 0x52, 0x00, 0x00, entries[j].first};
        std::memcpy(e, mac, 6);
        e[13] = entries[j].second;
        e[14] = 0xEE; // the other rate byte is not read
    }
    return f;
}

NetworkMap mapOf(int nodes) {
    NetworkMap map{};
    map.nodeCount = nodes;
    for (int k = 0; k < nodes; ++k) {
        const uint8_t mac[6] = {0x00, 0xB0, 0x52, 0x00, 0x00, static_cast<uint8_t>(0x40 + k)};
        std::memcpy(map.nodes[k].mac, mac, 6);
    }
    for (auto& row : map.rate)
        for (int32_t& r : row)
            r = kMapRateUnknown;
    return map;
}

} // namespace

TEST(NetworkMapAnswer, EntriesAreReadUpToWhatArrived) {
    StationRate out[8];
    Bytes f = answer({{0x40, 91}, {0x42, 151}});
    ASSERT_EQ(readStationRates(f.data(), f.size(), out, 8), 2u);
    EXPECT_EQ(out[0].mac[5], 0x40);
    EXPECT_EQ(out[0].rateByte, 91);
    EXPECT_EQ(out[1].rateByte, 151);
    // A count that runs past the frame is cut at the entries that arrived whole.
    Bytes claims = answer({{0x40, 91}, {0x42, 151}}, 255);
    EXPECT_EQ(readStationRates(claims.data(), claims.size(), out, 8), 2u);
    EXPECT_EQ(readStationRates(claims.data(), claims.size() - 1, out, 8), 1u) << "half an entry";
    EXPECT_EQ(readStationRates(claims.data(), 39, out, 8), 0u);
    EXPECT_EQ(readStationRates(claims.data(), 38, out, 8), 0u) << "no count byte";
    EXPECT_EQ(readStationRates(claims.data(), claims.size(), out, 1), 1u) << "capacity";
    EXPECT_EQ(readStationRates(nullptr, 100, out, 8), 0u);
    // A smaller count than entries is obeyed.
    Bytes fewer = answer({{0x40, 91}, {0x42, 151}}, 1);
    EXPECT_EQ(readStationRates(fewer.data(), fewer.size(), out, 8), 1u);
}

TEST(NetworkMapAnswer, OnlyAdaptersOfTheMapEnterTheAnsweringRow) {
    NetworkMap map = mapOf(3); // ...40 local, ...41, ...42
    Bytes f = answer({{0x40, 91}, {0x99, 200}, {0x41, 255}, {0x42, 0}});
    StationRate out[8];
    size_t n = readStationRates(f.data(), f.size(), out, 8);
    EXPECT_EQ(applyStationRates(map, 1, out, n), 2);
    EXPECT_EQ(map.rate[1][0], 120); // 91 * 200 / 151
    EXPECT_EQ(map.rate[1][2], 0);   // a reported 0 is a rate, not "unknown"
    EXPECT_EQ(map.rate[1][1], kMapRateUnknown) << "its own entry is ignored";
    for (int j = 0; j < 3; ++j) {
        EXPECT_EQ(map.rate[0][j], kMapRateUnknown);
        EXPECT_EQ(map.rate[2][j], kMapRateUnknown);
    }
    EXPECT_EQ(applyStationRates(map, 3, out, n), 0) << "no such adapter";
    EXPECT_EQ(mapRateOfByte(255), 337);
}

class NetworkMapTable : public ::testing::Test {
  protected:
    CoreBench bench;
    void SetUp() override {
        currentInterface = 0;
        const uint8_t local[6] = {0x00, 0x04, 0x87, 0x00, 0x00, 0x01};
        std::memcpy(scanStates[0].localMac, local, 6);
        scanStates[0].localPresent = 1;
        scanStates[0].deviceClass = kClassHp10;
    }
    void addRemote(int slot, uint8_t last, double rate, int active = 1) {
        RemoteDevice& r = networkRecords[0].remotes[slot];
        const uint8_t mac[6] = {0x00, 0x04, 0x87, 0x00, 0x01, last};
        std::memcpy(r.mac, mac, 6);
        r.active = active;
        r.deviceType = kTypeHp10;
        r.stats.rate = rate;
    }
};

TEST_F(NetworkMapTable, AtMost32AdaptersTheLocalFirst) {
    for (int s = 0; s < kRemoteSlots; ++s)
        addRemote(s, static_cast<uint8_t>(s + 1), 10.0 + s);
    gatherNetworkMap(0);
    const NetworkMap& map = networkMaps[0];
    ASSERT_EQ(map.nodeCount, kMapMaxNodes);
    EXPECT_TRUE(map.nodes[0].local);
    EXPECT_EQ(map.nodes[kMapMaxNodes - 1].remoteSlot, kMapMaxNodes - 2);
    EXPECT_EQ(map.rate[0][1], 10);
    EXPECT_EQ(map.rate[0][kMapMaxNodes - 1], 10 + kMapMaxNodes - 2);
    EXPECT_EQ(map.generation, 1u);
}

TEST_F(NetworkMapTable, InactiveSlotsAreLeftOutAndUnmeasuredRatesAreUnknown) {
    addRemote(0, 1, 0.0);     // seen, not measured yet
    addRemote(1, 2, 12.0, 0); // dropped
    addRemote(2, 3, 13.0);
    gatherNetworkMap(0);
    const NetworkMap& map = networkMaps[0];
    ASSERT_EQ(map.nodeCount, 3);
    EXPECT_EQ(map.rate[0][1], kMapRateUnknown) << "a list rate of 0 means not measured";
    EXPECT_EQ(map.rate[0][2], 13);
    // No local adapter: an empty map.
    scanStates[0].localPresent = 0;
    gatherNetworkMap(0);
    EXPECT_EQ(networkMaps[0].nodeCount, 0);
    gatherNetworkMap(-1);
    gatherNetworkMap(kMaxInterfaces);
}
