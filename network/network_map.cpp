#include "network/network_map.h"

#include <cstdio>
#include <cstring>

#include "network/cycle_consumers.h"
#include "packet/packet.h"
#include "platform/clock.h"
#include "plcapi/plcapi.h"

NetworkMap networkMaps[kMaxInterfaces];

namespace {

// Network information confirmation, frame offsets.
constexpr size_t kStationCountAt = 38;
constexpr size_t kStationEntriesAt = 39;
constexpr size_t kStationEntrySize = 15;
constexpr size_t kStationRateAt = 13; // rate from the answering station to this one
// Room for a whole frame of entries: (1514 - 39) / 15.
constexpr size_t kMaxEntriesPerFrame = (kMaxFrame - kStationEntriesAt) / kStationEntrySize;

int wants = 0;
int consumerId = 0;

int32_t familyOfLocal(int32_t deviceClass) {
    if (deviceClass == kClassAv)
        return kTypeAv;
    if (deviceClass == kClassTurbo)
        return kTypeTurbo;
    return kTypeHp10;
}

void clearRates(NetworkMap& map) {
    for (auto& row : map.rate)
        for (int32_t& r : row)
            r = kMapRateUnknown;
}

// The nodes: the local adapter first, then every active remote slot in slot
// order, at most kMapMaxNodes in all.
void collectNodes(NetworkMap& map, int i) {
    map.nodeCount = 0;
    const ScanState& state = scanStates[i];
    if (!state.localPresent || !macIsSet(state.localMac))
        return;
    MapNode& local = map.nodes[map.nodeCount++];
    local = MapNode{};
    std::memcpy(local.mac, state.localMac, 6);
    local.family = familyOfLocal(state.deviceClass);
    local.local = true;
    local.answered = true; // its row is the list's own
    local.remoteSlot = -1;
    const NetworkRecord& record = networkRecords[i];
    for (int s = 0; s < kRemoteSlots && map.nodeCount < kMapMaxNodes; ++s) {
        const RemoteDevice& slot = record.remotes[s];
        uint8_t mac[6];
        std::memcpy(mac, slot.mac, 6); // packed field: copy, never bind
        if (!slot.active || !macIsSet(mac) || macEqual(mac, state.localMac) ||
            findMapNode(map, mac) >= 0)
            continue;
        MapNode& node = map.nodes[map.nodeCount++];
        node = MapNode{};
        std::memcpy(node.mac, mac, 6);
        node.family = slot.deviceType;
        node.remoteSlot = s;
    }
}

// The local adapter's row: the rate the list shows for each remote. A rate of
// 0 there means "not measured yet", so it stays unknown here.
void fillLocalRow(NetworkMap& map, int i) {
    for (int k = 1; k < map.nodeCount; ++k) {
        double rate = networkRecords[i].remotes[map.nodes[k].remoteSlot].stats.rate;
        if (rate >= 1.0)
            map.rate[0][k] = static_cast<int32_t>(rate);
    }
}

// One exchange: the network information request to `node`, the described
// confirmation wait, and the answer taken only from that adapter.
void askNode(NetworkMap& map, int k) {
    MapNode& node = map.nodes[k];
    const uint8_t* host = hostMac();
    uint8_t request[kMaxFrame] = {};
    uint32_t length = plcapi_RequestNetworkInfo(host, node.mac, sizeof request, request);
    if (length == 0) {
        std::printf("something wrong in PLCAPI_GETVERSION \n");
        return;
    }
    sendFrame(currentInterface, request, length);
    PlcReply reply{};
    uint8_t frame[kMaxFrame];
    uint32_t received = 0;
    if (!AwaitReplyFrame(kMmtypeNetworkInfo, &reply, node.mac, frame, &received) ||
        !macEqual(reply.source, node.mac))
        return;
    StationRate entries[kMaxEntriesPerFrame];
    size_t count = readStationRates(frame, received, entries, kMaxEntriesPerFrame);
    applyStationRates(map, k, entries, count);
    node.answered = true;
}

void onCycleEnd(const CycleEnd& end) {
    gatherNetworkMap(end.interfaceIndex);
}

} // namespace

void wantNetworkMap() {
    if (wants++ == 0)
        consumerId = addCycleConsumer(CyclePhase::Gather, onCycleEnd);
}

void releaseNetworkMap() {
    if (wants == 0)
        return;
    if (--wants == 0) {
        removeCycleConsumer(consumerId);
        consumerId = 0;
    }
}

int networkMapWants() {
    return wants;
}

int findMapNode(const NetworkMap& map, const uint8_t* mac) {
    for (int k = 0; k < map.nodeCount; ++k)
        if (macEqual(map.nodes[k].mac, mac))
            return k;
    return -1;
}

void gatherNetworkMap(int i) {
    if (i < 0 || i >= kMaxInterfaces || busyFlag)
        return;
    NetworkMap& map = networkMaps[i];
    collectNodes(map, i);
    clearRates(map);
    fillLocalRow(map, i);
    // Only the selected interface's local adapter relays requests, and only a
    // HomePlug AV one reaches HomePlug AV remotes.
    bool canAsk = i == currentInterface && macIsSet(hostMac()) && map.nodeCount > 0 &&
                  map.nodes[0].family == kTypeAv;
    for (int k = 1; canAsk && k < map.nodeCount; ++k) {
        // Another operation took the adapter (a box opened during a wait): the
        // rest stays unknown rather than competing for its answers.
        if (busyFlag)
            break;
        if (map.nodes[k].family == kTypeAv)
            askNode(map, k);
    }
    map.gatheredAtTick = tickCount();
    ++map.generation;
}

size_t readStationRates(const uint8_t* frame, size_t length, StationRate* out, size_t capacity) {
    if (frame == nullptr || out == nullptr || length <= kStationCountAt)
        return 0;
    size_t count = frame[kStationCountAt];
    size_t whole = (length - kStationEntriesAt) / kStationEntrySize;
    if (length < kStationEntriesAt)
        whole = 0;
    if (count > whole)
        count = whole; // the count ran past the frame: keep what arrived
    if (count > capacity)
        count = capacity;
    for (size_t j = 0; j < count; ++j) {
        const uint8_t* entry = frame + kStationEntriesAt + j * kStationEntrySize;
        std::memcpy(out[j].mac, entry, 6);
        out[j].rateByte = entry[kStationRateAt];
    }
    return count;
}

int applyStationRates(NetworkMap& map, int from, const StationRate* entries, size_t count) {
    if (from < 0 || from >= map.nodeCount || entries == nullptr)
        return 0;
    int set = 0;
    for (size_t j = 0; j < count; ++j) {
        int to = findMapNode(map, entries[j].mac);
        if (to < 0 || to == from)
            continue; // not on this network (or the station itself)
        map.rate[from][to] = mapRateOfByte(entries[j].rateByte);
        ++set;
    }
    return set;
}

int32_t mapRateOfByte(uint8_t rateByte) {
    return static_cast<int32_t>(convertRate(rateByte, kRateAv));
}

void resetNetworkMap() {
    if (consumerId != 0)
        removeCycleConsumer(consumerId);
    consumerId = 0;
    wants = 0;
    for (NetworkMap& map : networkMaps) {
        map = NetworkMap{};
        clearRates(map);
    }
}
