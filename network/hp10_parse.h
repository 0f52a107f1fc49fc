#pragma once
// The parser of received HomePlug 1.0 and Turbo frames (EtherType 0x887B):
// one call turns a frame into an Hp10Frame record, reading it only through the
// bounds-checked FrameView. It keeps no state and touches no table; the
// exchanges of network/hp10_frames.cpp act on the record.
//
// Frame layout: destination (6), source (6), EtherType (2), number of entries
// (1) at 14, entry type (1) at 15, entry data length (1) at 16, data from 17.
#include <cstddef>
#include <cstdint>

// What a received frame is, one kind per answer the exchanges handle.
enum class Hp10Kind : uint8_t {
    None,              // not a 0x887B frame, or shorter than its first entry's header
    Other,             // an entry type, or a Turbo vendor code, that nothing handles
    TurboVersion,      // 0x02 answer, code 0x10, long enough for its texts (27 bytes)
    TurboStationStats, // 0x02 answer, code 0x18
    TurboReadEcho,     // 0x12, the echo of a Turbo read request
    TurboFirmware,     // 0x13 code 0x20: firmware text
    TurboKey,          // 0x13 code 0x21: network key
    TurboReadOther,    // 0x13 with another code, or too short to carry one
    KeyConfirm,        // 0x06
    ParamsResponse,    // 0x08: its source is a device on the powerline network
    LocalParams,       // 0x19 (an answer only when `paramsBlock` is set)
    NetworkStats,      // 0x1A
    LocalMarker,       // 0x1E
};

// A station entry of a statistics answer.
struct Hp10StationEntry {
    uint8_t mac[6];
    uint16_t rate; // raw rate
    uint16_t fails;
    uint16_t drops;
};

constexpr size_t kHp10StatsEntries = 15;     // 12-byte entries of a 0x1A answer, from 24
constexpr size_t kTurboStatsEntriesMax = 18; // 14-byte entries from 21: (255 - 3) / 14
constexpr size_t kTurboTextMax = 79;         // length-prefixed texts of a version answer
constexpr size_t kTurboFirmwareMax = 64;     // firmware text of a Turbo read answer

struct Hp10Frame {
    Hp10Kind kind = Hp10Kind::None;
    uint16_t etherType = 0;
    uint8_t destination[6] = {};
    uint8_t source[6] = {};
    // Destination equals source and is not broadcast: only the device wired to
    // the interface answers so (when the request used its own MAC as source).
    bool selfAddressed = false;
    uint8_t entryType = 0;
    uint8_t entryLength = 0;
    uint8_t firstByte = 0; // byte 17: class, kind or code (0 when it did not arrive)
    // A 0x1A or 0x1E entry whose byte 17 arrived with bit 7 clear: it marks its
    // source as the local device.
    bool marker = false;
    // Whether the frame counts as recognised by the answer handler.
    bool recognised = false;

    // LocalParams: an answer of entry length 51 with the whole 50-byte block.
    bool paramsBlock = false;
    uint8_t paramsKind = 0; // 1 stored copy, 2 running copy
    uint8_t params[50] = {};
    bool paramsUnfilled = false; // the block begins with seven equal bytes

    // NetworkStats (byte 17 other than 0x80 is an answer)
    bool statsAnswer = false;
    uint8_t deviceClass = 0; // byte 17 bits 0-6
    uint16_t localFails = 0;
    uint16_t localDrops = 0;
    size_t stationCount = 0; // entries that arrived whole; bit 0 of each MAC cleared
    Hp10StationEntry stations[kHp10StatsEntries] = {};

    // TurboStationStats, and a NetworkStats answer read with the Turbo layout
    // (a Turbo local device answers a statistics request so): MAC and the
    // big-endian raw rate of each 14-byte entry that arrived whole.
    size_t turboStationCount = 0;
    Hp10StationEntry turboStations[kTurboStatsEntriesMax] = {};

    // TurboVersion
    bool fromRemote = false; // byte 21 bit 0
    char version[32] = {};
    char vendor[kTurboTextMax + 1] = {};
    char product[kTurboTextMax + 1] = {};

    // TurboFirmware: up to 64 bytes from 18, as many as the entry length says
    // and the frame holds (not terminated; may hold NULs).
    size_t firmwareLength = 0;
    uint8_t firmware[kTurboFirmwareMax] = {};

    // TurboKey: the 8 key bytes from 19, when they arrived.
    bool keyComplete = false;
    uint8_t key[8] = {};
};

// Parses one received frame. Never reads past `length`; a null frame or a
// frame shorter than 14 bytes gives kind None with empty addresses. Returns
// the kind.
Hp10Kind parseHp10Frame(const uint8_t* frame, uint32_t length, Hp10Frame& out);
