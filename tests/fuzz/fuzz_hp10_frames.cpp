// HomePlug 1.0 / Turbo frame handling: the parser (parseHp10Frame), the
// answer handler (handleHp10Frame), the 1.0 dispatcher, the local-device
// observer, and frames taken off the wire by drainResponses (observer, packet
// interface and handler together).
//
// Input: a setup byte (bit 0 the local device is Turbo, bit 1 it is AV, bit 2
// the local parameters are valid, bit 3 two remote devices are already known,
// bit 4 a Turbo read request went to the local device), then records: a
// control byte and one frame. Control bits 0-1 pick the entry point (handler,
// dispatcher, observer, or delivered on the wire and drained); bit 2 writes
// EtherType 0x887B; bit 3 sends it from a known remote device; bit 4 makes it
// self-addressed from the local device. Every frame is also parsed on its own.
//
// Invariants after every frame: the parsed record stays inside its arrays and
// the bytes that arrived, its texts stay terminated; the model's texts stay
// terminated, no active remote slot has a zero MAC, counts and indexes stay
// inside their tables; the local device of interface 0 is still the one set up
// unless the frame came from it.
#include <cstring>
#include <vector>

#include "harness.h"
#include "network/hp10_frames.h"
#include "network/hp10_parse.h"
#include "network/model.h"
#include "packet/packet.h"

namespace {

const uint8_t kRemotes[2][6] = {{0x00, 0x50, 0xC2, 0x00, 0x00, 0x11},
                                {0x00, 0x04, 0x87, 0x00, 0x00, 0x12}};
const uint8_t kLocal[6] = {0x00, 0x50, 0xC2, 0x00, 0x00, 0x10};

void setUp(uint8_t setup) {
    localIsTurbo = setup & 0x01;
    localIsAv = (setup & 0x02) && !localIsTurbo;
    scanStates[0].paramsValid = (setup & 0x04) ? 1 : 0;
    std::memcpy(scanStates[0].localMac, kLocal, 6);
    if (setup & 0x08) {
        recordRemote(kRemotes[0]);
        recordRemote(kRemotes[1]);
        findRemote(kRemotes[1])->deviceType = kTypeTurbo;
    }
    if (setup & 0x10)
        readTurboKey();
}

bool textEnds(const char* text, size_t size) {
    return std::memchr(text, '\0', size) != nullptr;
}

// The parsed record of any input stays inside its arrays and the frame.
void checkParsed(const std::vector<uint8_t>& f) {
    ExactBytes frame(f);
    Hp10Frame parsed;
    Hp10Kind kind = parseHp10Frame(frame.data(), frame.length(), parsed);
    FUZZ_CHECK(kind == parsed.kind);
    bool hp10 = f.size() >= 17 && f[12] == 0x88 && f[13] == 0x7B;
    FUZZ_CHECK(hp10 == (kind != Hp10Kind::None));
    FUZZ_CHECK(parsed.stationCount <= kHp10StatsEntries);
    FUZZ_CHECK(parsed.turboStationCount <= kTurboStatsEntriesMax);
    FUZZ_CHECK(parsed.stationCount == 0 || f.size() >= 24 + 12 * parsed.stationCount);
    FUZZ_CHECK(parsed.turboStationCount == 0 || f.size() >= 21 + 14 * parsed.turboStationCount);
    FUZZ_CHECK(parsed.firmwareLength <= kTurboFirmwareMax);
    FUZZ_CHECK(parsed.firmwareLength == 0 || f.size() >= 18 + parsed.firmwareLength);
    FUZZ_CHECK(!parsed.keyComplete || f.size() >= 27);
    FUZZ_CHECK(!parsed.paramsBlock || f.size() >= 68);
    FUZZ_CHECK(textEnds(parsed.version, sizeof parsed.version));
    FUZZ_CHECK(textEnds(parsed.vendor, sizeof parsed.vendor));
    FUZZ_CHECK(textEnds(parsed.product, sizeof parsed.product));
    FUZZ_CHECK(!parsed.selfAddressed || f.size() >= 14);
}

void shape(std::vector<uint8_t>& f, uint8_t control) {
    if (f.size() < 14 && (control & 0x1C))
        f.resize(14);
    if (control & 0x04) {
        f[12] = 0x88;
        f[13] = 0x7B;
    }
    if (control & 0x08)
        std::memcpy(&f[6], kRemotes[(control >> 5) & 1], 6);
    if (control & 0x10) {
        std::memcpy(&f[0], kLocal, 6);
        std::memcpy(&f[6], kLocal, 6);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzBench bench;
    FuzzInput in(data, size);
    setUp(in.byte());
    std::vector<uint8_t> record;
    int frames = 0;
    while (frames++ < 32 && in.record(record, 1 + 2000)) {
        if (record.empty())
            continue;
        uint8_t control = record[0];
        std::vector<uint8_t> f(record.begin() + 1, record.end());
        shape(f, control);
        checkParsed(f);
        const bool fromLocal = f.size() >= 12 && std::memcmp(&f[6], kLocal, 6) == 0;
        ExactBytes frame(f);
        switch (control & 0x03) {
        case 0:
            handleHp10Frame(frame.data(), frame.length());
            break;
        case 1:
            dispatchHp10(frame.data(), frame.length());
            break;
        case 2:
            observeLocalDevice(0, frame.data(), frame.length());
            break;
        default:
            bench.deliver(f);
            drainResponses();
            break;
        }
        currentInterface = 0;
        // Only the local device itself (or nothing at all) moves interface
        // 0's local device: a frame from any other station is a claim that
        // the discovery settles, never a move.
        if (!fromLocal)
            FUZZ_CHECK(std::memcmp(scanStates[0].localMac, kLocal, 6) == 0);
        std::memcpy(scanStates[0].localMac, kLocal, 6);
        checkModelInvariants();
        FUZZ_CHECK(terminated(turboFirmware));
        FUZZ_CHECK(std::strlen(className(0)) < 80);
    }
    return 0;
}
