// The network map's reading of a remote adapter's network information
// confirmation: readStationRates on the frame as it arrived, then
// applyStationRates into a map of adapters.
//
// Input: one byte for the number of adapters on the map (cut to 1..32), one
// for the answering adapter, then the received frame. The adapters' MACs are
// 00:B0:52:00:00:xx with xx = 0x40 + index, so seeds can name them.
//
// Invariants: no more entries than whole 15-byte entries arrived after byte 39
// and than the count byte says; only the answering adapter's row changes, and
// only at adapters of the map other than itself; every rate set is one a
// rate byte can stand for (0..337); the diagonal stays unknown.
#include <cstring>

#include "harness.h"
#include "network/network_map.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    int nodes = 1 + in.byte() % kMapMaxNodes;
    int from = in.byte() % nodes;
    ExactBytes frame(in.rest());

    static NetworkMap map;
    map = NetworkMap{};
    map.nodeCount = nodes;
    for (int k = 0; k < nodes; ++k) {
        const uint8_t mac[6] = {0x00, 0xB0, 0x52, 0x00, 0x00, static_cast<uint8_t>(0x40 + k)};
        std::memcpy(map.nodes[k].mac, mac, 6);
    }
    for (auto& row : map.rate)
        for (int32_t& r : row)
            r = kMapRateUnknown;

    StationRate entries[100];
    size_t count = readStationRates(frame.data(), frame.size(), entries, 100);
    size_t whole = frame.size() > 39 ? (frame.size() - 39) / 15 : 0;
    FUZZ_CHECK(count <= whole);
    FUZZ_CHECK(frame.size() <= 38 || count <= frame.data()[38]);
    int set = applyStationRates(map, from, entries, count);
    FUZZ_CHECK(set >= 0 && static_cast<size_t>(set) <= count);
    for (int k = 0; k < kMapMaxNodes; ++k)
        for (int j = 0; j < kMapMaxNodes; ++j) {
            int32_t r = map.rate[k][j];
            if (k != from || j == from || j >= nodes)
                FUZZ_CHECK(r == kMapRateUnknown);
            else
                FUZZ_CHECK(r == kMapRateUnknown || (r >= 0 && r <= 337));
        }
    return 0;
}
