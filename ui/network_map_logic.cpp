#include "ui/network_map_logic.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "network/auto_scan.h"
#include "network/model.h"
#include "platform/wait_cursor.h"
#include "ui/main_page_logic.h"

namespace {

// The words of quality type 1, the list's levels.
constexpr const char* kLevelWords[kMapQualityLevels] = {"-offline -", "Fair", "Good", "Very Good",
                                                        "Excellent"};
constexpr int kQualityWords = 1;
constexpr double kPi = 3.14159265358979323846;
// Ring radius in the -1..1 square: room for the labels outside it.
constexpr double kRingRadius = 0.78;

std::array<uint8_t, 6> macArray(const uint8_t* mac) {
    std::array<uint8_t, 6> a{};
    std::memcpy(a.data(), mac, 6);
    return a;
}

std::string nameOf(const uint8_t* mac) {
    int entry = findDeviceEntry(mac);
    if (entry <= 0)
        return "Device";
    const char* name = deviceTable[entry - 1].name;
    size_t length = strnlen(name, sizeof deviceTable[entry - 1].name);
    return length == 0 ? "Device" : std::string(name, length);
}

} // namespace

const char* mapFamilyName(int32_t familyCode) {
    if (familyCode == kTypeAv)
        return "HomePlug AV";
    if (familyCode == kTypeTurbo)
        return "HomePlug Turbo";
    return "HomePlug 1.0";
}

MapDirection mapDirection(int32_t rate, int32_t familyCode) {
    MapDirection d;
    d.rate = rate;
    if (rate == kMapRateUnknown) {
        d.rateText = "?";
        return d;
    }
    d.rateText = std::to_string(rate);
    d.quality = qualityText(rate, familyCode, kQualityWords);
    for (int k = 0; k < kMapQualityLevels; ++k)
        if (d.quality == kLevelWords[k])
            d.level = k;
    return d;
}

int MapLinkView::level() const {
    if (forward.level == kMapQualityUnknown)
        return backward.level;
    if (backward.level == kMapQualityUnknown)
        return forward.level;
    return forward.level < backward.level ? forward.level : backward.level;
}

int MapLayout::seatOf(const std::array<uint8_t, 6>& mac) {
    for (size_t k = 0; k < seats_.size(); ++k)
        if (seats_[k] == mac)
            return static_cast<int>(k);
    seats_.push_back(mac);
    return static_cast<int>(seats_.size()) - 1;
}

int MapLayout::ringSize() const {
    size_t n = seats_.size();
    if (n <= 3)
        return 3;
    if (n <= 6)
        return 6;
    if (n <= 12)
        return 12;
    if (n <= 24)
        return 24;
    return static_cast<int>(n);
}

NetworkMapView buildNetworkMapView(const NetworkMap& map, MapLayout& layout) {
    NetworkMapView view;
    view.generation = map.generation;
    int count = map.nodeCount < 0 ? 0 : map.nodeCount > kMapMaxNodes ? kMapMaxNodes : map.nodeCount;
    // Seats first, for every remote, so the ring size is known before placing.
    std::vector<int> seat(static_cast<size_t>(count), -1);
    for (int k = 0; k < count; ++k)
        if (!map.nodes[k].local)
            seat[static_cast<size_t>(k)] = layout.seatOf(macArray(map.nodes[k].mac));
    int ring = layout.ringSize();
    for (int k = 0; k < count; ++k) {
        const MapNode& n = map.nodes[k];
        MapNodeView v;
        v.mac = formatMac(n.mac);
        v.name = nameOf(n.mac);
        v.local = n.local;
        v.location = n.local ? "Local" : "Remote";
        v.familyCode = n.family;
        v.family = mapFamilyName(n.family);
        v.answered = n.answered;
        if (!n.local) {
            // Clockwise from the top.
            double angle = -kPi / 2 + 2 * kPi * seat[static_cast<size_t>(k)] / ring;
            v.x = kRingRadius * std::cos(angle);
            v.y = kRingRadius * std::sin(angle);
        }
        view.nodes.push_back(std::move(v));
    }
    for (int a = 0; a < count; ++a)
        for (int b = a + 1; b < count; ++b) {
            MapLinkView link;
            link.a = a;
            link.b = b;
            link.forward = mapDirection(map.rate[a][b], map.nodes[a].family);
            link.backward = mapDirection(map.rate[b][a], map.nodes[b].family);
            view.links.push_back(std::move(link));
        }
    return view;
}

MapMatrix mapMatrix(const NetworkMapView& view) {
    MapMatrix m;
    size_t n = view.nodes.size();
    for (const MapNodeView& node : view.nodes)
        m.headers.push_back(node.name);
    m.cells.assign(n, std::vector<std::string>(n, "\u2014"));
    m.levels.assign(n, std::vector<int>(n, kMapQualityUnknown));
    for (const MapLinkView& link : view.links) {
        auto a = static_cast<size_t>(link.a), b = static_cast<size_t>(link.b);
        m.cells[a][b] = link.forward.rateText;
        m.levels[a][b] = link.forward.level;
        m.cells[b][a] = link.backward.rateText;
        m.levels[b][a] = link.backward.level;
    }
    return m;
}

std::string mapCellDescription(const NetworkMapView& view, int from, int to) {
    int n = static_cast<int>(view.nodes.size());
    if (from < 0 || to < 0 || from >= n || to >= n || from == to)
        return {};
    const std::string& a = view.nodes[static_cast<size_t>(from)].name;
    const std::string& b = view.nodes[static_cast<size_t>(to)].name;
    for (const MapLinkView& link : view.links) {
        const MapDirection* d = nullptr;
        if (link.a == from && link.b == to)
            d = &link.forward;
        else if (link.a == to && link.b == from)
            d = &link.backward;
        if (d == nullptr)
            continue;
        if (d->rate == kMapRateUnknown)
            return a + " to " + b + ": rate unknown";
        return a + " to " + b + ": " + d->rateText + " Mbit/s, " + d->quality;
    }
    return {};
}

bool refreshNetworkMapNow() {
    if (busyFlag || timerTickRunning() || cycleStep < kCycleIdle || currentInterface < 0 ||
        currentInterface >= kMaxInterfaces)
        return false;
    WaitCursorScope wait;
    gatherNetworkMap(currentInterface);
    return true;
}

std::string mapStatusText(const NetworkMap& map, uint32_t nowTick) {
    if (map.generation == 0)
        return "The map is gathered at the end of the next scan cycle.";
    if (map.nodeCount == 0)
        return "No powerline adapter was found.";
    int unanswered = 0;
    for (int k = 0; k < map.nodeCount; ++k)
        unanswered += map.nodes[k].answered ? 0 : 1;
    uint32_t seconds = (nowTick - map.gatheredAtTick) / 1000;
    std::string text =
        "Gathered " + (seconds == 0 ? std::string("just now") : std::to_string(seconds) + " s ago");
    if (unanswered == 1)
        text += "; 1 adapter did not report its own rates";
    else if (unanswered > 1)
        text += "; " + std::to_string(unanswered) + " adapters did not report their own rates";
    return text + ".";
}

int mapLinkAt(const NetworkMapView& view, const std::vector<MapPoint>& centres, MapPoint p,
              double reach, MapPoint box) {
    if (centres.size() != view.nodes.size())
        return -1;
    for (const MapPoint& c : centres)
        if (std::fabs(p.x - c.x) <= box.x && std::fabs(p.y - c.y) <= box.y)
            return -1;
    int best = -1;
    double bestDistance = reach;
    for (size_t k = 0; k < view.links.size(); ++k) {
        const MapLinkView& l = view.links[k];
        if (l.a < 0 || l.b < 0 || static_cast<size_t>(l.a) >= centres.size() ||
            static_cast<size_t>(l.b) >= centres.size())
            continue;
        const MapPoint a = centres[static_cast<size_t>(l.a)], b = centres[static_cast<size_t>(l.b)];
        // Distance to the segment: the nearest point of the line, kept between its ends.
        const double dx = b.x - a.x, dy = b.y - a.y, squared = dx * dx + dy * dy;
        double t = squared > 0 ? ((p.x - a.x) * dx + (p.y - a.y) * dy) / squared : 0;
        t = std::clamp(t, 0.0, 1.0);
        const double distance = std::hypot(p.x - (a.x + t * dx), p.y - (a.y + t * dy));
        if (distance <= bestDistance) {
            bestDistance = distance;
            best = static_cast<int>(k);
        }
    }
    return best;
}
