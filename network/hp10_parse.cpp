// parseHp10Frame: the header of a received 0x887B frame, then one row per
// entry type that picks the parser of that answer.
#include "network/hp10_parse.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "packet/frame_bytes.h"
#include "packet/packet.h"

namespace {

constexpr uint32_t kHeaderLength = 17; // up to and including the entry length
constexpr uint8_t kAnswerBit = 0x80;
constexpr uint8_t kCodeVersion = 0x10;
constexpr uint8_t kCodeStats = 0x18;
constexpr uint8_t kReadFirmware = 0x20;
constexpr uint8_t kReadKey = 0x21;
constexpr uint32_t kVersionMinLength = 27; // through the vendor text's length byte
constexpr uint32_t kParamsAnswerLength = 51;
constexpr uint32_t kParamsBlockAt = 18;
constexpr uint32_t kStatsFirstEntry = 24;
constexpr uint32_t kStatsEntrySize = 12;
constexpr uint32_t kTurboStatsFirst = 21;
constexpr uint32_t kTurboStatsEntrySize = 14;

using Parser = void (*)(const FrameView& f, Hp10Frame& out);

struct Row {
    uint8_t entryType;
    Hp10Kind kind;
    bool recognised;
    Parser parse; // may refine kind and recognised; null: the header says all
};

void copyText(char* out, size_t size, const char* text) {
    std::snprintf(out, size, "%s", text);
}

// A length-prefixed text at `pos`, cut at the frame's end and at 79
// characters; a length of 0 (or no length byte) gives " ". Returns the
// position after the text as its length byte says.
uint32_t prefixedText(const FrameView& f, uint32_t pos, char* out, size_t size) {
    if (pos >= f.length()) {
        copyText(out, size, " ");
        return pos;
    }
    uint32_t n = f.u8(pos);
    uint32_t start = pos + 1;
    if (n == 0) {
        copyText(out, size, " ");
        return start;
    }
    uint32_t available = start < f.length() ? f.length() - start : 0;
    size_t take = std::min<size_t>({n, available, kTurboTextMax, size - 1});
    f.copy(reinterpret_cast<uint8_t*>(out), start, static_cast<uint32_t>(take));
    out[take] = '\0';
    return start + n;
}

// Entries of 14 bytes from offset 21: the count from the entry length,
// bounded by the bytes that arrived.
void turboStations(const FrameView& f, Hp10Frame& out) {
    uint32_t declared = out.entryLength >= 3 ? (out.entryLength - 3u) / kTurboStatsEntrySize : 0;
    out.turboStationCount = 0;
    for (uint32_t j = 0; j < declared && j < kTurboStatsEntriesMax; ++j) {
        uint32_t off = kTurboStatsFirst + j * kTurboStatsEntrySize;
        if (!f.holds(off, kTurboStatsEntrySize))
            break;
        Hp10StationEntry& e = out.turboStations[out.turboStationCount++];
        f.copy(e.mac, off, 6);
        e.rate = f.be16(off + 6);
    }
}

void turboVersion(const FrameView& f, Hp10Frame& out) {
    out.fromRemote = (f.u8(21) & 0x01) != 0;
    if (f.u8(23) == 1)
        copyText(out.version, sizeof out.version, f.u8(25) == 0x15 ? "Version 1.2" : "Version 1.4");
    else
        std::snprintf(out.version, sizeof out.version, "Version %d.%d", f.u8(24), f.u8(25));
    uint32_t next = prefixedText(f, 26, out.vendor, sizeof out.vendor);
    prefixedText(f, next, out.product, sizeof out.product);
}

// 0x02: only answers (bit 7 of the code set) of the two codes halyard asks for.
void turboVendor(const FrameView& f, Hp10Frame& out) {
    out.kind = Hp10Kind::Other;
    out.recognised = false;
    uint8_t code = f.u8(20);
    if (f.length() < 21 || !(code & kAnswerBit))
        return;
    switch (code & 0x7F) {
    case kCodeVersion:
        if (f.length() < kVersionMinLength)
            return;
        out.kind = Hp10Kind::TurboVersion;
        out.recognised = true;
        turboVersion(f, out);
        return;
    case kCodeStats:
        out.kind = Hp10Kind::TurboStationStats;
        out.recognised = true;
        turboStations(f, out);
        return;
    default:
        return;
    }
}

void turboReadAnswer(const FrameView& f, Hp10Frame& out) {
    out.kind = Hp10Kind::TurboReadOther;
    if (f.length() < 18)
        return;
    if (out.firstByte == kReadFirmware) {
        out.kind = Hp10Kind::TurboFirmware;
        uint32_t available = f.length() - 18;
        out.firmwareLength = std::min<size_t>({out.entryLength, kTurboFirmwareMax, available});
        f.copy(out.firmware, 18, static_cast<uint32_t>(out.firmwareLength));
    } else if (out.firstByte == kReadKey) {
        out.kind = Hp10Kind::TurboKey;
        out.keyComplete = f.holds(19, 8);
        if (out.keyComplete)
            f.copy(out.key, 19, 8);
    }
}

void localParams(const FrameView& f, Hp10Frame& out) {
    out.paramsBlock = out.entryLength == kParamsAnswerLength && f.holds(kParamsBlockAt, 50);
    if (!out.paramsBlock)
        return;
    out.paramsKind = out.firstByte;
    f.copy(out.params, kParamsBlockAt, 50);
    out.paramsUnfilled = std::memcmp(out.params, out.params + 1, 6) == 0;
}

void networkStats(const FrameView& f, Hp10Frame& out) {
    out.statsAnswer = f.length() > 17 && out.firstByte != kAnswerBit;
    if (!out.statsAnswer)
        return;
    out.deviceClass = out.firstByte & 0x7F;
    out.localFails = f.u16(20);
    out.localDrops = f.u16(22);
    out.stationCount = 0;
    for (uint32_t j = 0; j < kHp10StatsEntries; ++j) {
        uint32_t off = kStatsFirstEntry + j * kStatsEntrySize;
        if (!f.holds(off, kStatsEntrySize))
            break;
        Hp10StationEntry& e = out.stations[out.stationCount++];
        f.copy(e.mac, off, 6);
        e.mac[0] &= 0xFE;
        e.rate = f.u16(off + 6);
        e.fails = f.u16(off + 8);
        e.drops = f.u16(off + 10);
    }
    turboStations(f, out);
}

// One row per entry type that arrives as an answer.
constexpr Row kRows[] = {
    {0x02, Hp10Kind::Other, false, turboVendor},
    {0x06, Hp10Kind::KeyConfirm, true, nullptr},
    {0x08, Hp10Kind::ParamsResponse, true, nullptr},
    {0x12, Hp10Kind::TurboReadEcho, true, nullptr},
    {0x13, Hp10Kind::TurboReadOther, true, turboReadAnswer},
    {0x19, Hp10Kind::LocalParams, true, localParams},
    {0x1A, Hp10Kind::NetworkStats, true, networkStats},
    {0x1E, Hp10Kind::LocalMarker, false, nullptr},
};

} // namespace

Hp10Kind parseHp10Frame(const uint8_t* frame, uint32_t length, Hp10Frame& out) {
    out = Hp10Frame{};
    const FrameView f(frame, length);
    if (f.length() < 14)
        return out.kind;
    f.copy(out.destination, 0, 6);
    f.copy(out.source, 6, 6);
    out.etherType = f.be16(12);
    out.selfAddressed = std::memcmp(out.destination, out.source, 6) == 0 &&
                        std::memcmp(out.destination, kBroadcastMac, 6) != 0;
    if (out.etherType != kEtherTypeHp10 || f.length() < kHeaderLength)
        return out.kind;
    out.entryType = f.u8(15);
    out.entryLength = f.u8(16);
    out.firstByte = f.u8(17);
    out.marker = (out.entryType == 0x1A || out.entryType == 0x1E) && f.length() > 17 &&
                 !(out.firstByte & kAnswerBit);
    out.kind = Hp10Kind::Other;
    for (const Row& row : kRows) {
        if (row.entryType != out.entryType)
            continue;
        out.kind = row.kind;
        out.recognised = row.recognised;
        if (row.parse != nullptr)
            row.parse(f, out);
        break;
    }
    return out.kind;
}
