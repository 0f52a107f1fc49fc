// The secondary loader's replies: awaitLoaderReply over the frames that arrive
// after a loader request, with and without a checksum asked for.
//
// Input: a flags byte (bit 0 a checksum wait), a delay byte, then records: a
// control byte and one frame (bit 0 of the control writes a loader reply
// header to the host: EtherType 0x887B and entry type 0x10, from the local
// adapter, or with bit 1 also set from the secondary loader's address).
//
// Invariant: the wait reports exactly what the last loader reply from the
// device being upgraded said (status 0, and for a checksum wait a checksum
// reply long enough to carry one), and the checksum it hands back is the one
// in that reply. Replies from any other station are not counted.
#include <cstring>
#include <vector>

#include "harness.h"
#include "maintenance/hp10_upgrade.h"
#include "network/model.h"
#include "packet/packet.h"

namespace {

const uint8_t kLocal[6] = {0x00, 0x50, 0xC2, 0x00, 0x00, 0x10};

uint32_t be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzBench bench;
    // The local-device observer can run a probe of its own that takes frames
    // off the wire; this target checks the reply wait alone.
    setLocalDeviceObserver(nullptr);
    std::memcpy(scanStates[0].localMac, kLocal, 6);
    FuzzInput in(data, size);
    uint8_t flags = in.byte();
    uint32_t delay = in.byte();
    bool wantChecksum = flags & 0x01;

    // What the wait must report, worked out from the frames as delivered.
    bool expected = false;
    uint32_t expectedChecksum = 0;
    std::vector<uint8_t> record;
    int frames = 0;
    while (frames++ < 48 && in.record(record, 1 + 1514)) {
        if (record.empty())
            continue;
        std::vector<uint8_t> f(record.begin() + 1, record.end());
        if (record[0] & 0x01) {
            if (f.size() < 21)
                f.resize(21);
            std::memcpy(&f[0], kFuzzHostMac, 6);
            std::memcpy(&f[6], (record[0] & 0x02) ? kSecondaryLoaderMac : kLocal, 6);
            f[12] = 0x88;
            f[13] = 0x7B;
            f[15] = 0x10;
        }
        bench.deliver(f);
        bool reply =
            f.size() >= 21 && f[12] == 0x88 && f[13] == 0x7B && f[15] == 0x10 &&
            std::memcmp(&f[0], kFuzzHostMac, 6) == 0 &&
            (std::memcmp(&f[6], kLocal, 6) == 0 || std::memcmp(&f[6], kSecondaryLoaderMac, 6) == 0);
        uint8_t code = reply ? f[17] : 0;
        if (code == 0x04 || code == 0x81 || code == 0x82 || code == 0x83 || code == 0x84) {
            expected = f[20] == 0;
            if (wantChecksum) {
                bool carries = code == 0x83 && f.size() >= 33;
                expected = expected && carries;
                if (carries)
                    expectedChecksum = be32(&f[29]);
            }
        }
    }
    uint32_t checksum = 0;
    bool result = awaitLoaderReply(delay, wantChecksum ? &checksum : nullptr);
    FUZZ_CHECK(result == expected);
    if (wantChecksum && result)
        FUZZ_CHECK(checksum == expectedChecksum);
    checkModelInvariants();
    return 0;
}
