#pragma once
// The network map: the link rate between every pair of adapters of the
// selected interface's powerline network, not only from the local adapter.
//
// After the automatic cycle has refreshed the local station list, the map
// asks each active remote HomePlug AV adapter, one at a time, for its own
// network information (the request the scan sends to the local adapter, sent
// to the remote's MAC). Each answer lists the answering adapter's peers with
// the rate from it to each one. The local adapter's own row is the rate the
// list already shows for each remote.
//
// The rates live in a table of their own (networkMaps); the described tables
// are file formats and stay as they are. A rate that was not learned is
// unknown (kMapRateUnknown), never 0.
//
// HomePlug 1.0 and Turbo: none of their described answers carries a remote
// adapter's own station entries (a network statistics answer marks its
// sender as the local adapter, the Turbo station statistics carry no sender
// of their own), so their rows stay unknown; the local adapter's rate to them
// is the list's.
//
// The map costs one exchange per remote adapter, so it is gathered only while
// something wants it (the map view, `halyardctl map`, the exporter): the
// first want registers a Gather consumer of the cycle (network/cycle_consumers.h),
// the last one removes it. A user who does not look never waits for it.
#include <cstddef>
#include <cstdint>

#include "network/model.h"

// At most this many adapters per interface: 32 x 32 pairs.
constexpr int kMapMaxNodes = 32;
constexpr int32_t kMapRateUnknown = -1;

struct MapNode {
    uint8_t mac[6];
    int32_t family; // DeviceType: kTypeHp10, kTypeTurbo, kTypeAv
    bool local;     // the adapter wired to this computer
    bool answered;  // its own station list arrived in the last gathering
    int remoteSlot; // its RemoteDevice slot, -1 for the local adapter
};

struct NetworkMap {
    int nodeCount;
    MapNode nodes[kMapMaxNodes];
    // Mbit/s from nodes[row] to nodes[column]; kMapRateUnknown when not learned.
    int32_t rate[kMapMaxNodes][kMapMaxNodes];
    uint32_t gatheredAtTick; // clock seam tick of the last gathering
    uint32_t generation;     // gatherings so far (0: never gathered)
};

// One map per interface, written only by gatherNetworkMap.
extern NetworkMap networkMaps[kMaxInterfaces];

// ---- Wanting the map ----------------------------------------------------------
// Each want adds one; the map is gathered after every cycle while the count is
// above 0. Unbalanced releases are ignored.
void wantNetworkMap();
void releaseNetworkMap();
int networkMapWants();

class NetworkMapWant {
  public:
    NetworkMapWant() { wantNetworkMap(); }
    ~NetworkMapWant() { releaseNetworkMap(); }
    NetworkMapWant(const NetworkMapWant&) = delete;
    NetworkMapWant& operator=(const NetworkMapWant&) = delete;
};

// ---- Gathering ------------------------------------------------------------------
// Rebuilds networkMaps[interfaceIndex] from the remote slots and one network
// information exchange per active remote AV adapter. Does nothing while
// busyFlag is set (another operation owns the adapter), and stops before the
// next exchange when it becomes set; the adapters not asked keep unknown rows.
// Only the selected interface can be asked (every exchange goes through it).
void gatherNetworkMap(int interfaceIndex);

// Node index of `mac` in `map`, or -1.
int findMapNode(const NetworkMap& map, const uint8_t* mac);

// ---- Reading an answer ------------------------------------------------------------
struct StationRate {
    uint8_t mac[6];
    uint8_t rateByte; // entry byte 13: the rate from the answering adapter to this one
};
// Reads the station entries of a network information confirmation of
// `length` received bytes: the count at frame byte 38, 15-byte entries from
// byte 39. A count that runs past the frame is cut at the last entry that
// arrived whole. Returns the entries stored (at most `capacity`).
size_t readStationRates(const uint8_t* frame, size_t length, StationRate* out, size_t capacity);
// Enters the answer of map.nodes[from] into its row: each entry whose MAC is a
// node of the map (other than the answering one) sets that pair; a MAC not on
// the network is ignored. Returns the pairs set.
int applyStationRates(NetworkMap& map, int from, const StationRate* entries, size_t count);
// The rate in Mbit/s a station entry's rate byte stands for (as the list reads it).
int32_t mapRateOfByte(uint8_t rateByte);

// Clears every map and the want count (start-up and between tests).
void resetNetworkMap();
