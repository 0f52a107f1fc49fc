// The map view's plain logic: names and families of the adapters, both
// directions of every link with the list's quality words, a layout in which
// no adapter moves between refreshes, and the matrix table.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "network/model.h"
#include "support/core_bench.h"
#include "ui/network_map_logic.h"

namespace {

NetworkMap mapOf(std::vector<uint8_t> lastBytes) {
    NetworkMap map{};
    for (auto& row : map.rate)
        for (int32_t& r : row)
            r = kMapRateUnknown;
    map.nodeCount = static_cast<int>(lastBytes.size());
    for (size_t k = 0; k < lastBytes.size(); ++k) {
        const uint8_t mac[6] = {0x00, 0xB0, 0x52, 0x00, 0x00, lastBytes[k]};
        std::memcpy(map.nodes[k].mac, mac, 6);
        map.nodes[k].family = kTypeAv;
        map.nodes[k].local = k == 0;
    }
    return map;
}

} // namespace

TEST(NetworkMapView, NodesLinksAndTheListsQualityWords) {
    CoreBench bench; // device table reset
    deviceCount = 1;
    std::strcpy(deviceTable[0].name, "Lounge");
    const uint8_t lounge[6] = {0x00, 0xB0, 0x52, 0x00, 0x00, 0x41};
    std::memcpy(deviceTable[0].mac, lounge, 6);

    NetworkMap map = mapOf({0x40, 0x41, 0x42});
    map.nodes[2].family = kTypeTurbo;
    map.rate[0][1] = 150;
    map.rate[1][0] = 10;
    map.rate[0][2] = 60;
    MapLayout layout;
    NetworkMapView view = buildNetworkMapView(map, layout);
    ASSERT_EQ(view.nodes.size(), 3u);
    EXPECT_EQ(view.nodes[0].location, "Local");
    EXPECT_EQ(view.nodes[0].name, "Device"); // no database entry
    EXPECT_EQ(view.nodes[1].name, "Lounge");
    EXPECT_EQ(view.nodes[1].location, "Remote");
    EXPECT_EQ(view.nodes[2].family, "HomePlug Turbo");
    EXPECT_EQ(view.nodes[1].mac, "00:B0:52:00:00:41");
    ASSERT_EQ(view.links.size(), 3u); // 0-1, 0-2, 1-2
    const MapLinkView& l = view.links[0];
    EXPECT_EQ(l.forward.rateText, "150");
    EXPECT_EQ(l.forward.quality, "Excellent");
    EXPECT_EQ(l.forward.level, 4);
    EXPECT_EQ(l.backward.quality, "Fair");
    EXPECT_EQ(l.level(), 1) << "the worse direction";
    const MapLinkView& unknown = view.links[2];
    EXPECT_EQ(unknown.forward.rateText, "?");
    EXPECT_EQ(unknown.forward.level, kMapQualityUnknown);
    EXPECT_EQ(unknown.level(), kMapQualityUnknown);
    EXPECT_EQ(view.links[1].level(), view.links[1].forward.level) << "one direction known";

    MapMatrix m = mapMatrix(view);
    EXPECT_EQ(m.headers, (std::vector<std::string>{"Device", "Lounge", "Device"}));
    EXPECT_EQ(m.cells[0][1], "150");
    EXPECT_EQ(m.cells[1][0], "10");
    EXPECT_EQ(m.cells[2][0], "?");
    EXPECT_EQ(m.cells[1][1], "\u2014");
    EXPECT_EQ(mapCellDescription(view, 0, 1), "Device to Lounge: 150 Mbit/s, Excellent");
    EXPECT_EQ(mapCellDescription(view, 2, 1), "Device to Lounge: rate unknown");
    EXPECT_EQ(mapCellDescription(view, 1, 1), "");
    EXPECT_EQ(mapCellDescription(view, 0, 7), "");
}

TEST(NetworkMapView, AdaptersKeepTheirPlacesAcrossRefreshes) {
    CoreBench bench;
    MapLayout layout;
    NetworkMapView first = buildNetworkMapView(mapOf({0x40, 0x41, 0x42, 0x43, 0x44}), layout);
    EXPECT_EQ(first.nodes[0].x, 0.0) << "the local adapter in the middle";
    EXPECT_EQ(first.nodes[0].y, 0.0);
    EXPECT_LT(first.nodes[1].y, 0.0) << "the first remote at the top";
    // The next refresh: one adapter gone, the others listed in another order,
    // a new one added. Nobody moves; the newcomer takes a free seat.
    NetworkMapView second = buildNetworkMapView(mapOf({0x40, 0x43, 0x41, 0x45}), layout);
    EXPECT_EQ(second.nodes[1].x, first.nodes[3].x);
    EXPECT_EQ(second.nodes[1].y, first.nodes[3].y);
    EXPECT_EQ(second.nodes[2].x, first.nodes[1].x);
    for (const MapNodeView& a : second.nodes) {
        for (const MapNodeView& b : second.nodes) {
            if (&a != &b) {
                EXPECT_GT(std::hypot(a.x - b.x, a.y - b.y), 0.3) << a.mac << " " << b.mac;
            }
        }
    }
    // The gone one comes back to its own seat.
    NetworkMapView third = buildNetworkMapView(mapOf({0x40, 0x42}), layout);
    EXPECT_EQ(third.nodes[1].x, first.nodes[2].x);
    EXPECT_EQ(third.nodes[1].y, first.nodes[2].y);
    // Up to three remotes share a ring of three seats, evenly; a fourth moves
    // them once onto a ring of six.
    MapLayout small;
    NetworkMapView three = buildNetworkMapView(mapOf({0x40, 0x41, 0x42, 0x43}), small);
    EXPECT_NEAR(
        std::hypot(three.nodes[1].x - three.nodes[2].x, three.nodes[1].y - three.nodes[2].y),
        std::hypot(three.nodes[2].x - three.nodes[3].x, three.nodes[2].y - three.nodes[3].y), 1e-9);
    NetworkMapView four = buildNetworkMapView(mapOf({0x40, 0x41, 0x42, 0x43, 0x44}), small);
    EXPECT_EQ(four.nodes[1].x, three.nodes[1].x) << "the top seat stays the top seat";
    // 32 adapters: every one on the ring, inside the square.
    std::vector<uint8_t> many;
    for (int k = 0; k < kMapMaxNodes; ++k)
        many.push_back(static_cast<uint8_t>(0x40 + k));
    MapLayout big;
    NetworkMapView full = buildNetworkMapView(mapOf(many), big);
    ASSERT_EQ(full.nodes.size(), 32u);
    EXPECT_EQ(full.links.size(), 32u * 31 / 2);
    for (const MapNodeView& n : full.nodes) {
        EXPECT_LE(std::fabs(n.x), 1.0);
        EXPECT_LE(std::fabs(n.y), 1.0);
    }
}
