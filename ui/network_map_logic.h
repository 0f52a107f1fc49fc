#pragma once
// What the network map shows, without a toolkit: the adapters with their
// names, locations and families, the links between every pair with the rate
// each way and its quality level, a layout that keeps every adapter where it
// was from one refresh to the next, and the matrix table. The window's map
// view (ui/qt/network_map_view.*) draws it; `halyardctl map` prints it.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "network/network_map.h"

// Quality levels of the list's words ("-offline -", "Fair", "Good", "Very
// Good", "Excellent"); kMapQualityUnknown for a rate that was not learned.
constexpr int kMapQualityUnknown = -1;
constexpr int kMapQualityLevels = 5;

struct MapNodeView {
    std::string mac;      // "00:B0:52:00:00:40"
    std::string name;     // the device database's name, else "Device"
    std::string location; // "Local" or "Remote"
    std::string family;   // "HomePlug AV", "HomePlug Turbo", "HomePlug 1.0"
    int32_t familyCode = 0;
    bool local = false;
    bool answered = false; // its own rates are known
    // Position in the drawing, in a square from -1 to 1 (y down); the local
    // adapter sits in the middle, the others on a ring.
    double x = 0, y = 0;
};

// One direction of a link.
struct MapDirection {
    int32_t rate = kMapRateUnknown; // Mbit/s
    std::string rateText;           // "150" or "?"
    std::string quality;            // the list's word, empty when unknown
    int level = kMapQualityUnknown; // index of the word, 0..4
};

// The link between nodes a < b: a to b and back.
struct MapLinkView {
    int a = 0, b = 0;
    MapDirection forward, backward;
    // The worse of the two known levels (kMapQualityUnknown when neither is).
    int level() const;
};

struct NetworkMapView {
    std::vector<MapNodeView> nodes;
    std::vector<MapLinkView> links;
    uint32_t generation = 0; // of the map it was built from
};

// Where each adapter sits. Seats are given on first sight and kept for the
// life of the layout, so adapters never swap places; the ring has room for
// 3, 6, 12, 24 or more seats and only grows (a network that grows past one
// of these sizes is redrawn once on the larger ring).
class MapLayout {
  public:
    // Seat of `mac` (given one when new).
    int seatOf(const std::array<uint8_t, 6>& mac);
    int ringSize() const;
    void clear() { seats_.clear(); }

  private:
    std::vector<std::array<uint8_t, 6>> seats_;
};

// The view of `map`, placed with `layout`.
NetworkMapView buildNetworkMapView(const NetworkMap& map, MapLayout& layout);
// One direction's texts and level from a rate and the sending adapter's family.
MapDirection mapDirection(int32_t rate, int32_t familyCode);
// "HomePlug AV", "HomePlug Turbo", "HomePlug 1.0" by DeviceType.
const char* mapFamilyName(int32_t familyCode);

// Where the drawing put things, in its own coordinates.
struct MapPoint {
    double x = 0, y = 0;
};
// The link whose line passes nearest to `p`, within `reach`; -1 when none.
// Lines run between the adapters' centres `centres` (one per node of
// `view`); a point on an adapter's box (half its width and height: `box`) is
// the adapter's, not a line's. (Clicking a line opens that pair's history.)
int mapLinkAt(const NetworkMapView& view, const std::vector<MapPoint>& centres, MapPoint p,
              double reach, MapPoint box);

// Gathers the selected interface's map now, between cycles (the view's
// "Refresh", and its first look): only while no cycle step is due, no timer
// tick runs and no operation holds the busy flag, so its waits never take
// answers meant for the cycle. False (nothing sent) when it is not the time.
bool refreshNetworkMapNow();
// The line under the drawing: when the map was gathered, or why it is empty.
std::string mapStatusText(const NetworkMap& map, uint32_t nowTick);

// The matrix table beside the drawing: one row and one column per adapter (by
// name), the cell in row i, column j the rate from i to j ("?" unknown, "—"
// on the diagonal).
struct MapMatrix {
    std::vector<std::string> headers;
    std::vector<std::vector<std::string>> cells;
    std::vector<std::vector<int>> levels; // quality level of each cell
};
MapMatrix mapMatrix(const NetworkMapView& view);
// Text for the accessibility bus: "Study to Lounge: 150 Mbit/s, Very Good".
std::string mapCellDescription(const NetworkMapView& view, int from, int to);
