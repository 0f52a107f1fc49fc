// Each emulated HomePlug AV station's own view of its links: the network
// information answer of every station, asked directly, checked byte by byte
// against the scenario's matrix (read here from the frame layout, not through
// any decoder of the host).
#include <gtest/gtest.h>

#include <map>

#include "frame_kit.h"

using namespace kit;

namespace {

const Mac kStudy = mac("00:B0:52:00:00:40"); // local
const Mac kLounge = mac("00:B0:52:00:00:41");
const Mac kKitchen = mac("00:B0:52:00:00:42");
const Mac kGarage = mac("00:B0:52:00:00:43");
const Mac kNeighbour = mac("00:B0:52:00:00:50"); // added on another key

// The scenario's matrix, Mbit/s: rate from the first adapter to the second.
const std::map<std::pair<Mac, Mac>, uint32_t> kMatrix = {
    {{kStudy, kLounge}, 150},  {{kStudy, kKitchen}, 90},   {{kStudy, kGarage}, 45},
    {{kLounge, kStudy}, 120},  {{kLounge, kKitchen}, 200}, {{kLounge, kGarage}, 60},
    {{kKitchen, kStudy}, 100}, {{kKitchen, kLounge}, 180}, {{kKitchen, kGarage}, 30},
    {{kGarage, kStudy}, 50},   {{kGarage, kLounge}, 75},   {{kGarage, kKitchen}, 25},
};

sim::Network mapScenario() {
    return sim::Network::fromFile(sim::scenarioPath("map.json"));
}

// What a host reads from a rate byte.
uint32_t reading(uint8_t byte) {
    return byte * 200u / 151u;
}

// Checks one network information answer of `station` against the matrix:
// header, one network, the count, and per entry MAC, TEI, rate to the peer
// (entry byte 13) and rate back from it (entry byte 14).
void expectView(const Bytes& f, const Mac& station, const std::vector<Mac>& peers) {
    ASSERT_EQ(f.size(), std::max<size_t>(60, 39 + 15 * peers.size()));
    EXPECT_EQ(macAt(f, 0), kHost);
    EXPECT_EQ(macAt(f, 6), station);
    EXPECT_EQ(slice(f, 12, 8), (Bytes{0x88, 0xE1, 0x00, 0x39, 0xA0, 0x00, 0xB0, 0x52}));
    EXPECT_EQ(f[20], 1); // one network
    ASSERT_EQ(f[38], peers.size());
    for (size_t k = 0; k < peers.size(); ++k) {
        size_t e = 39 + 15 * k;
        SCOPED_TRACE(sim::formatMac(station) + " entry " + std::to_string(k));
        EXPECT_EQ(macAt(f, e), peers[k]);
        EXPECT_NE(f[e + 6], 0); // a TEI
        EXPECT_EQ(reading(f[e + 13]), kMatrix.at({station, peers[k]}));
        EXPECT_EQ(reading(f[e + 14]), kMatrix.at({peers[k], station}));
    }
}

} // namespace

TEST(StationViews, EveryStationAnswersWithItsOwnViewOfTheMatrix) {
    sim::Network net = mapScenario();
    std::vector<Mac> all = {kStudy, kLounge, kKitchen, kGarage};
    for (const Mac& station : all) {
        // The local station is reached through the management address as well.
        for (const Mac& to :
             station == kStudy ? std::vector<Mac>{kMgmt, kStudy} : std::vector{station}) {
            auto answers = send(net, av(to, 0xA038));
            ASSERT_EQ(answers.size(), 1u) << sim::formatMac(to);
            std::vector<Mac> peers;
            for (const Mac& m : all)
                if (m != station)
                    peers.push_back(m);
            expectView(answers[0], station, peers);
        }
    }
    // Whole bytes of one entry: the lounge's view of the kitchen (200 one way,
    // 180 back): MAC, TEI 3, bridged MAC zero, the two rate bytes.
    auto lounge = send(net, av(kLounge, 0xA038));
    ASSERT_EQ(lounge.size(), 1u);
    EXPECT_EQ(slice(lounge[0], 39 + 15, 15),
              (Bytes{0x00, 0xB0, 0x52, 0x00, 0x00, 0x42, 3, 0, 0, 0, 0, 0, 0, 151, 136}));
    EXPECT_EQ(reading(151), 200u);
    EXPECT_EQ(reading(136), 180u);
}

TEST(StationViews, OnlyStationsOfTheLocalNetworkAnswerOrAreListed) {
    sim::Network net = mapScenario();
    sim::Station other = sim::Station::av("00:B0:52:00:00:50");
    other.setNetworkPassword("NeighbourNet1");
    other.view[kStudy] = 99;
    net.addStation(std::move(other));
    EXPECT_TRUE(send(net, av(kNeighbour, 0xA038)).empty()) << "another key: no answer";
    for (const Mac& station : {kStudy, kLounge, kKitchen, kGarage}) {
        auto answers = send(net, av(station, 0xA038));
        ASSERT_EQ(answers.size(), 1u);
        EXPECT_EQ(answers[0][38], 3) << "the neighbour is not listed";
        for (size_t k = 0; k < 3; ++k)
            EXPECT_NE(macAt(answers[0], 39 + 15 * k), kNeighbour);
    }
    // A request through a local station on another key reaches none of them.
    net.station("00:B0:52:00:00:40").setNetworkPassword("Elsewhere1");
    EXPECT_TRUE(send(net, av(kLounge, 0xA038)).empty());
    EXPECT_TRUE(send(net, av(kGarage, 0xA038)).empty());
}

TEST(StationViews, StationsWithoutAViewRateTheirLinksAsBefore) {
    // The lounge names only its link to the study; its other links fall back
    // to the rates either side names, then to the lower `rate`.
    sim::Network net = sim::Network::fromJson(R"({"stations": [
        {"family": "av", "mac": "00:B0:52:00:00:40", "local": true, "rate": 150},
        {"family": "av", "mac": "00:B0:52:00:00:41", "rate": 120,
         "view": {"00:B0:52:00:00:40": 60}},
        {"family": "av", "mac": "00:B0:52:00:00:42", "rate": 90,
         "rates": {"00:B0:52:00:00:41": 30}}]})");
    auto study = send(net, av(kStudy, 0xA038));
    ASSERT_EQ(study.size(), 1u);
    EXPECT_EQ(reading(study[0][39 + 13]), 120u); // min(150, 120)
    EXPECT_EQ(reading(study[0][39 + 14]), 60u);  // the lounge's own view
    EXPECT_EQ(reading(study[0][54 + 13]), 90u);
    auto lounge = send(net, av(kLounge, 0xA038));
    ASSERT_EQ(lounge.size(), 1u);
    EXPECT_EQ(reading(lounge[0][39 + 13]), 60u);
    EXPECT_EQ(reading(lounge[0][39 + 14]), 120u);
    EXPECT_EQ(reading(lounge[0][54 + 13]), 30u); // named by the kitchen's `rates`
}

TEST(StationViews, ScenarioErrorsNameTheStationAndKey) {
    auto error = [](const std::string& text) {
        try {
            sim::Network::fromJson(text);
        } catch (const sim::ScenarioError& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    const std::string head =
        R"({"stations": [{"family": "av", "mac": "00:B0:52:00:00:40", "local": true, )";
    EXPECT_NE(error(head + R"("view": {"00:B0:52:00:00:99": 10}}]})")
                  .find("is no station of the scenario"),
              std::string::npos);
    EXPECT_NE(error(head + R"("view": {"00:B0:52:00:00:40": 10}}]})").find("no link to itself"),
              std::string::npos);
    EXPECT_NE(error(head + R"("view": {"00:B0:52:00:00:41": 400}},
        {"family": "av", "mac": "00:B0:52:00:00:41"}]})")
                  .find("outside 0..337"),
              std::string::npos);
    EXPECT_NE(error(head + R"("view": [1, 2]}]})").find("station 1 (00:B0:52:00:00:40).view"),
              std::string::npos);
    EXPECT_NE(error(R"({"stations": [{"family": "hp10", "mac": "00:11:22:00:00:40", "local": true,
        "view": {}}]})")
                  .find("unknown key \"view\""),
              std::string::npos);
}
