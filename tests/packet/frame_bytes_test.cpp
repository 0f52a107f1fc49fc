// The shared frame byte helpers: FrameView never reads past the bytes that
// arrived, the endian readers and writers, the EtherType of short frames, and
// the text of a fixed-size field that fills its buffer.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "packet/frame_bytes.h"

namespace {

TEST(FrameBytes, FrameViewReadsOnlyWhatArrived) {
    // Exactly 16 bytes on the heap: a read past them shows up under ASan.
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[16]);
    for (int i = 0; i < 16; ++i)
        bytes[i] = static_cast<uint8_t>(0xA0 + i);
    FrameView f(bytes.get(), 16);
    EXPECT_EQ(bytes.get() + 14, f.at(14, 2));
    EXPECT_EQ(nullptr, f.at(15, 2));
    EXPECT_EQ(nullptr, f.at(16));
    EXPECT_EQ(bytes.get() + 16, f.at(16, 0)) << "zero bytes at the end are there";
    EXPECT_EQ(nullptr, f.at(0xFFFFFFFF, 2)) << "no wrap-around";
    EXPECT_EQ(0xAF, f.u8(15));
    EXPECT_EQ(0, f.u8(16));
    EXPECT_EQ(0xAFAE, f.u16(14));
    EXPECT_EQ(0, f.u16(15));
    EXPECT_EQ(0xAEAF, f.be16(14));
    EXPECT_EQ(0u, f.u32(13));
    uint8_t out[4] = {1, 1, 1, 1};
    f.copy(out, 14, 4);
    EXPECT_EQ(0xAE, out[0]);
    EXPECT_EQ(0xAF, out[1]);
    EXPECT_EQ(1, out[2]) << "bytes that did not arrive are left alone";
    const uint8_t tail[2] = {0xAE, 0xAF};
    EXPECT_TRUE(f.equals(14, tail, 2));
    EXPECT_FALSE(f.equals(15, tail, 2));
    FrameView none(nullptr, 60);
    EXPECT_EQ(0u, none.length());
    EXPECT_EQ(nullptr, none.at(0));
}

TEST(FrameBytes, EndianReadersWritersAndEtherType) {
    uint8_t b[4] = {};
    putLe16(b, 0x1234);
    EXPECT_EQ(0x34, b[0]);
    EXPECT_EQ(0x1234, getLe16(b));
    putBe16(b, 0x887B);
    EXPECT_EQ(0x88, b[0]);
    EXPECT_EQ(0x887B, getBe16(b));
    putLe32(b, 0x01020304);
    EXPECT_EQ(0x04, b[0]);
    EXPECT_EQ(0x01020304u, getLe32(b));
    putBe32(b, 0x01020304);
    EXPECT_EQ(0x01, b[0]);
    EXPECT_EQ(0x01020304u, getBe32(b));

    uint8_t frame[14] = {};
    frame[12] = 0x88;
    frame[13] = 0xE1;
    EXPECT_EQ(0x88E1, etherTypeOf(frame, 14));
    EXPECT_EQ(0, etherTypeOf(frame, 13));
    EXPECT_EQ(0, etherTypeOf(nullptr, 14));
}

TEST(FrameBytes, FieldTextStopsAtTheFirstNulOrTheFieldsEnd) {
    char full[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ("abcd", fieldText(full));
    char shortText[8] = "ab";
    EXPECT_EQ("ab", fieldText(shortText));
    EXPECT_EQ("a", fieldText(full, 1));
    EXPECT_EQ(6u, sizeof kBroadcastMac);
    for (uint8_t byte : kBroadcastMac)
        EXPECT_EQ(0xFF, byte);
}

} // namespace
