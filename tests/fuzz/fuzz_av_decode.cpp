// HomePlug AV confirmation decoding and dispatch: plcapi_DecodeFrame on a run
// of received frames, idle or with a module read or an image write in flight.
//
// Input: a mode byte, an options byte, then records (2-byte length, bytes),
// each a control byte and one received frame. Control bits let a record play
// a cooperating device, so the transfers get past their echo and checksum
// checks into the deep paths: bit 0 writes a valid vendor header (keeping the
// frame's MMTYPE), bit 1 makes a read or write confirmation echo the request
// in flight (with a data checksum that verifies), bit 2 also gives a module 1
// chunk at a header offset a header checksum that verifies.
//
// Invariants after every frame: the reply's data length fits its buffer; a
// decode that fails leaves the transfer where it was (only a host action
// indication may replace the pending frame); the pending frame can be emitted
// into the usual buffer with a good header; the cursors point into the images.
#include <cerrno>
#include <cstring>
#include <vector>

#include "av_peer.h"
#include "harness.h"
#include "plcapi/bytes.h"
#include "plcapi/plcapi.h"
#include "support/image_builders.h"

namespace {

const uint8_t* const kHost = kAvHostMac;
const uint8_t* const kDevice = kAvDeviceMac;

struct Images {
    std::vector<uint8_t> firmware;
    std::vector<uint8_t> parameters;
};

const Images& images() {
    static const Images built = [] {
        Images i;
        i.firmware = makeNvmImage(
            {{0x1000, patternBytes(1100, 1), 1, 2}, {0x2000, patternBytes(1500, 2), 3, 4}});
        i.parameters = makeValidPib33();
        return i;
    }();
    return built;
}

// Where the transfer stands; compared across a failed decode.
struct Position {
    PlcSequence sequence;
    const uint8_t* firmwareCurrent;
    const uint8_t* parameterCurrent;
};

Position position() {
    Position p;
    std::memcpy(&p.sequence, &plcSequence, sizeof plcSequence);
    p.firmwareCurrent = plcSequence.firmwareCursor ? plcSequence.firmwareCursor->current : nullptr;
    p.parameterCurrent =
        plcSequence.parameterCursor ? plcSequence.parameterCursor->current : nullptr;
    return p;
}

bool samePosition(const Position& a, const Position& b, bool pendingMayChange) {
    const PlcSequence& x = a.sequence;
    const PlcSequence& y = b.sequence;
    bool same = x.flags == y.flags && x.readType == y.readType && x.kind == y.kind &&
                x.retries == y.retries && x.total == y.total && x.nextHeader == y.nextHeader &&
                x.firmwareCursor == y.firmwareCursor && x.parameterCursor == y.parameterCursor &&
                x.currentCursor == y.currentCursor && x.moduleMask == y.moduleMask &&
                x.blockModule == y.blockModule && x.blockPosition == y.blockPosition &&
                x.blockLength == y.blockLength &&
                std::memcmp(x.startWords, y.startWords, sizeof x.startWords) == 0 &&
                a.firmwareCurrent == b.firmwareCurrent && a.parameterCurrent == b.parameterCurrent;
    if (!pendingMayChange) {
        const PendingFrame& p = x.pending;
        const PendingFrame& q = y.pending;
        same = same && p.pending == q.pending && p.mmtype == q.mmtype &&
               p.fixedLength == q.fixedLength && p.dataLength == q.dataLength && p.data == q.data &&
               p.trailerLength == q.trailerLength &&
               std::memcmp(p.fixed, q.fixed, sizeof p.fixed) == 0;
    }
    return same;
}

bool inside(const uint8_t* p, uint32_t n, const std::vector<uint8_t>& image) {
    return p >= image.data() && p <= image.data() + image.size() &&
           n <= static_cast<size_t>(image.data() + image.size() - p);
}

void checkCursor(const BlockCursor* c) {
    if (c == nullptr)
        return;
    FUZZ_CHECK(c->current >= c->base && c->current <= c->limit);
    FUZZ_CHECK(c->limit == c->base + c->size);
}

void checkSequence() {
    const PlcSequence& s = plcSequence;
    FUZZ_CHECK(s.currentCursor == nullptr || s.currentCursor == s.firmwareCursor ||
               s.currentCursor == s.parameterCursor);
    checkCursor(s.firmwareCursor);
    checkCursor(s.parameterCursor);
    const PendingFrame& p = s.pending;
    if (!p.pending)
        return;
    FUZZ_CHECK(p.fixedLength <= sizeof p.fixed && p.trailerLength <= sizeof p.trailer);
    if (p.data != nullptr) {
        FUZZ_CHECK(p.dataLength <= kMmeBlockSize);
        FUZZ_CHECK(inside(p.data, p.dataLength, images().firmware) ||
                   inside(p.data, p.dataLength, images().parameters));
    }
    uint8_t out[kMmeFrameCapacity];
    uint32_t n = plcapi_NextFrame(sizeof out, out);
    FUZZ_CHECK(n >= kMmeMinFrameLength && n <= sizeof out);
    FUZZ_CHECK(out[12] == 0x88 && out[13] == 0xE1 && out[14] == kMmeMmv);
    FUZZ_CHECK(std::memcmp(out + 17, kMmeVendorOui, 3) == 0);
}

void startTransfer(uint8_t mode, uint8_t options) {
    const Images& i = images();
    switch (mode % 4) {
    case 1:
        FUZZ_CHECK(plcapi_StartModuleRead(kHost, kDevice, 1 + (mode >> 2) % 3) == 0);
        break;
    case 2:
    case 3: {
        bool withFirmware = (mode & 0x04) == 0;
        int rc = plcapi_StartImageWrite(
            kHost, kDevice, withFirmware ? static_cast<uint32_t>(i.firmware.size()) : 0,
            withFirmware ? i.firmware.data() : nullptr, static_cast<uint32_t>(i.parameters.size()),
            i.parameters.data(), options);
        FUZZ_CHECK(rc == 0 || !withFirmware); // the images are good
        break;
    }
    default:
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    resetPlcapi();
    FuzzInput in(data, size);
    uint8_t mode = in.byte();
    uint8_t options = in.byte();
    startTransfer(mode, options);
    checkSequence();
    std::vector<uint8_t> record;
    int frames = 0;
    while (frames++ < 64 && in.record(record, 1 + 1514)) {
        if (record.empty())
            continue;
        uint8_t control = record[0];
        std::vector<uint8_t> f(record.begin() + 1, record.end());
        if (control & 0x01)
            avStampHeader(f);
        uint16_t mmtype = avMmtypeOf(f);
        if ((control & 0x02) && f.size() >= kMmeHeaderEnd) {
            if (mmtype == (kMmtypeReadModule | 1))
                avEchoRead(f, (control & 0x04) != 0);
            else if (mmtype == (kMmtypeWriteModule | 1) || mmtype == (kMmtypeWriteMemory | 1))
                avEchoWrite(f, mmtype);
        }
        ExactBytes frame(f);
        Position before = position();
        PlcReply reply;
        int rc = plcapi_DecodeFrame(frame.length(), frame.data(), &reply);
        FUZZ_CHECK(rc == 0 || rc == -1);
        FUZZ_CHECK(reply.dataLength <= sizeof reply.data);
        if (rc != 0)
            FUZZ_CHECK(samePosition(before, position(), mmtype == kMmtypeHostAction));
        checkSequence();
    }
    resetPlcapi();
    return 0;
}
