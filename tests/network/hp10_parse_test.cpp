// The parser of received HomePlug 1.0 and Turbo frames: the kind of every
// answer, the fields each kind carries at their byte offsets, and what a frame
// cut short or announcing more than it holds yields. It reads nothing past the
// bytes given (each frame here sits in a buffer of exactly its size).
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "network/hp10_parse.h"

namespace {

using Bytes = std::vector<uint8_t>;

const uint8_t kHost[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
const uint8_t kDev[6] = {0x00, 0x04, 0x87, 0x00, 0x00, 0x10};
const uint8_t kPeer[6] = {0x01, 0x04, 0x87, 0x00, 0x00, 0x11}; // bit 0 set on purpose

Bytes frame(const uint8_t* dst, const uint8_t* src, uint8_t type, uint8_t length,
            const Bytes& data) {
    Bytes f(dst, dst + 6);
    f.insert(f.end(), src, src + 6);
    f.insert(f.end(), {0x88, 0x7B, 0x01, type, length});
    f.insert(f.end(), data.begin(), data.end());
    return f;
}

Hp10Frame parse(const Bytes& f) {
    // An exact-size copy on the heap: a read past the end shows up under ASan.
    std::unique_ptr<uint8_t[]> exact(new uint8_t[f.size() ? f.size() : 1]);
    if (!f.empty())
        std::memcpy(exact.get(), f.data(), f.size());
    Hp10Frame out;
    parseHp10Frame(exact.get(), static_cast<uint32_t>(f.size()), out);
    return out;
}

TEST(Hp10Parse, HeaderAndTheKindOfEveryEntryType) {
    struct Row {
        uint8_t type;
        Bytes data;
        Hp10Kind kind;
        bool recognised;
    };
    const Row rows[] = {
        {0x06, {0}, Hp10Kind::KeyConfirm, true},
        {0x08, {}, Hp10Kind::ParamsResponse, true},
        {0x12, {0x20}, Hp10Kind::TurboReadEcho, true},
        {0x13, {0x22, 0}, Hp10Kind::TurboReadOther, true},
        {0x19, {1}, Hp10Kind::LocalParams, true},
        {0x1A, {0x80}, Hp10Kind::NetworkStats, true},
        {0x1E, {0x03}, Hp10Kind::LocalMarker, false},
        {0x02, {0x00, 0x04, 0x87, 0x10}, Hp10Kind::Other, false}, // a request, not an answer
        {0x33, {}, Hp10Kind::Other, false},
    };
    for (const Row& row : rows) {
        Hp10Frame p = parse(frame(kHost, kDev, row.type, 1, row.data));
        EXPECT_EQ(row.kind, p.kind) << int(row.type);
        EXPECT_EQ(row.recognised, p.recognised) << int(row.type);
        EXPECT_EQ(0, std::memcmp(p.source, kDev, 6));
        EXPECT_EQ(0, std::memcmp(p.destination, kHost, 6));
        EXPECT_EQ(row.type, p.entryType);
        EXPECT_FALSE(p.selfAddressed);
    }
    // Too short for the entry header, or another EtherType: nothing, though
    // the addresses of a 14-byte frame are read.
    Bytes f = frame(kDev, kDev, 0x06, 1, {});
    f.resize(16);
    Hp10Frame p = parse(f);
    EXPECT_EQ(Hp10Kind::None, p.kind);
    EXPECT_TRUE(p.selfAddressed);
    f[12] = 0x88;
    f[13] = 0xE1;
    EXPECT_EQ(Hp10Kind::None, parse(f).kind);
    EXPECT_EQ(Hp10Kind::None, parse(Bytes(13, 0x88)).kind);
    const uint8_t bcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_FALSE(parse(frame(bcast, bcast, 0x06, 0, {})).selfAddressed);
}

TEST(Hp10Parse, MarkersAndStatisticsAnswers) {
    Bytes data(187, 0);
    data[0] = 0x03;                   // class
    data[3] = 0x34, data[4] = 0x12;   // local fails 0x1234
    data[5] = 0x02;                   // local drops 2
    std::memcpy(&data[7], kPeer, 6);  // entry 0 at frame offset 24
    data[13] = 0x10, data[14] = 0x01; // raw rate 0x0110
    data[15] = 5, data[17] = 6;       // fails, drops
    Hp10Frame p = parse(frame(kDev, kDev, 0x1A, 187, data));
    EXPECT_TRUE(p.selfAddressed);
    EXPECT_TRUE(p.marker);
    EXPECT_TRUE(p.statsAnswer);
    EXPECT_EQ(3, p.deviceClass);
    EXPECT_EQ(0x1234, p.localFails);
    EXPECT_EQ(2, p.localDrops);
    ASSERT_EQ(15u, p.stationCount);
    EXPECT_EQ(0x00, p.stations[0].mac[0]) << "bit 0 of the first MAC byte is cleared";
    EXPECT_EQ(0, std::memcmp(p.stations[0].mac + 1, kPeer + 1, 5));
    EXPECT_EQ(0x0110, p.stations[0].rate);
    EXPECT_EQ(5, p.stations[0].fails);
    EXPECT_EQ(6, p.stations[0].drops);
    // Read with the Turbo layout too: (187 - 3) / 14 entries from 21.
    EXPECT_EQ(13u, p.turboStationCount);

    // A request (0x80) is neither a marker nor an answer; bit 7 set never marks.
    EXPECT_FALSE(parse(frame(kDev, kDev, 0x1A, 187, {0x80})).statsAnswer);
    EXPECT_FALSE(parse(frame(kHost, kDev, 0x1E, 1, {0x83})).marker);
    EXPECT_TRUE(parse(frame(kHost, kDev, 0x1E, 1, {0x03})).marker);
    // Exactly 17 bytes: no byte 17, no marker.
    EXPECT_FALSE(parse(frame(kHost, kDev, 0x1E, 1, {})).marker);

    // Cut after two whole entries and part of a third.
    Bytes cut = frame(kDev, kDev, 0x1A, 187, data);
    cut.resize(24 + 12 * 2 + 5);
    p = parse(cut);
    EXPECT_EQ(2u, p.stationCount);
    cut.resize(21);
    p = parse(cut);
    EXPECT_EQ(0u, p.stationCount);
    EXPECT_EQ(0, p.localFails);
}

TEST(Hp10Parse, TurboVersionAndStationStatistics) {
    Bytes v = {0x00, 0x04, 0x87, 0x90, 0x01, 0, 0, 2, 3, 4, 'A', 'c', 'm', 'e', 3, 'B', 'o', 'x'};
    Hp10Frame p = parse(frame(kHost, kDev, 0x02, static_cast<uint8_t>(v.size()), v));
    EXPECT_EQ(Hp10Kind::TurboVersion, p.kind);
    EXPECT_TRUE(p.fromRemote);
    EXPECT_STREQ("Version 2.3", p.version);
    EXPECT_STREQ("Acme", p.vendor);
    EXPECT_STREQ("Box", p.product);
    v[4] = 0;
    v[6] = 1; // fixed texts
    v[8] = 0x15;
    p = parse(frame(kHost, kDev, 0x02, static_cast<uint8_t>(v.size()), v));
    EXPECT_FALSE(p.fromRemote);
    EXPECT_STREQ("Version 1.2", p.version);
    // Texts announced longer than the frame are cut at its end; an empty one is " ".
    Bytes shortText = {0x00, 0x04, 0x87, 0x90, 0x01, 0, 0, 2, 3, 200, 'A', 'c'};
    p = parse(frame(kHost, kDev, 0x02, 200, shortText));
    EXPECT_STREQ("Ac", p.vendor);
    EXPECT_STREQ(" ", p.product);
    // 26 bytes: the vendor length byte did not arrive; not a version answer.
    Bytes tooShort = frame(kHost, kDev, 0x02, 10, v);
    tooShort.resize(26);
    EXPECT_EQ(Hp10Kind::Other, parse(tooShort).kind);

    Bytes s = {0x00, 0x04, 0x87, 0x98};
    s.insert(s.end(), kPeer, kPeer + 6);
    s.insert(s.end(), {0x01, 0x02, 0, 0, 0, 0, 0, 0});
    p = parse(frame(kHost, kDev, 0x02, 3 + 14, s));
    EXPECT_EQ(Hp10Kind::TurboStationStats, p.kind);
    ASSERT_EQ(1u, p.turboStationCount);
    EXPECT_EQ(0, std::memcmp(p.turboStations[0].mac, kPeer, 6)) << "MAC as it arrived";
    EXPECT_EQ(0x0102, p.turboStations[0].rate) << "big-endian";
    // An entry length announcing two entries, one of which arrived.
    EXPECT_EQ(1u, parse(frame(kHost, kDev, 0x02, 3 + 28, s)).turboStationCount);
}

TEST(Hp10Parse, TurboReadAnswersAndLocalParameters) {
    std::string text = "TURBO-MAC-0001-3-1";
    Bytes t(1 + text.size());
    t[0] = 0x20;
    std::memcpy(&t[1], text.data(), text.size());
    Hp10Frame p = parse(frame(kHost, kDev, 0x13, static_cast<uint8_t>(t.size()), t));
    EXPECT_EQ(Hp10Kind::TurboFirmware, p.kind);
    // Entry-length bytes from 18 (the code's own byte is counted): as many as arrived.
    EXPECT_EQ(text.size(), p.firmwareLength);
    EXPECT_EQ(0, std::memcmp(p.firmware, text.data(), text.size()));

    Bytes k = {0x21, 0x01, 1, 2, 3, 4, 5, 6, 7, 8};
    p = parse(frame(kHost, kDev, 0x13, 10, k));
    EXPECT_EQ(Hp10Kind::TurboKey, p.kind);
    EXPECT_TRUE(p.keyComplete);
    EXPECT_EQ(8, p.key[7]);
    Bytes cut = frame(kHost, kDev, 0x13, 10, k);
    cut.resize(26);
    EXPECT_FALSE(parse(cut).keyComplete);

    Bytes block(51, 0);
    block[0] = 2;
    for (int n = 0; n < 50; ++n)
        block[1 + n] = static_cast<uint8_t>(0x40 + n);
    p = parse(frame(kHost, kDev, 0x19, 51, block));
    EXPECT_TRUE(p.paramsBlock);
    EXPECT_EQ(2, p.paramsKind);
    EXPECT_EQ(0x40 + 49, p.params[49]);
    EXPECT_FALSE(p.paramsUnfilled);
    std::memset(&block[1], 0xFF, 7);
    EXPECT_TRUE(parse(frame(kHost, kDev, 0x19, 51, block)).paramsUnfilled);
    Bytes shortBlock = frame(kHost, kDev, 0x19, 51, block);
    shortBlock.resize(67);
    EXPECT_FALSE(parse(shortBlock).paramsBlock);
    EXPECT_FALSE(parse(frame(kHost, kDev, 0x19, 15, block)).paramsBlock) << "a request";
}

} // namespace
