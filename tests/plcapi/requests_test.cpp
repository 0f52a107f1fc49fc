// Frame header writers, single-frame request builders and the emission of
// the pending frame.
#include <gtest/gtest.h>

#include <cerrno>

#include "mme_frames.h"

namespace {

class Requests : public ::testing::Test {
  protected:
    void SetUp() override { resetPlcapi(); }
    void TearDown() override { resetPlcapi(); }
};

using Builder = uint32_t (*)(const uint8_t*, const uint8_t*, uint32_t, uint8_t*);

struct BuilderCase {
    Builder build;
    uint16_t mmtype;
};

const BuilderCase kBuilders[] = {
    {plcapi_RequestVersion, 0xA000},
    {plcapi_RequestNetworkInfo, 0xA038},
    {plcapi_RequestFactoryDefaults, 0xA07C},
    {plcapi_ReadConfigurationBlock, 0xA058},
};

TEST_F(Requests, IdentificationText) {
    EXPECT_STREQ(plcapiIdentification, "Morvanta HomePlug AV API Version 2.1.3.1");
}

TEST_F(Requests, VersionRequestIsTheDocumentedSixtyFourBytes) {
    std::vector<uint8_t> buffer(kMmeFrameCapacity, 0xEE);
    ASSERT_EQ(plcapi_RequestVersion(kHostMac, kLocalMgmtMac, 1528, buffer.data()), 64u);
    std::vector<uint8_t> expected = {0x00, 0xB0, 0x52, 0x00, 0x00, 0x01, 0x00, 0x11, 0x22, 0x33,
                                     0x44, 0x55, 0x88, 0xE1, 0x00, 0x00, 0xA0, 0x00, 0xB0, 0x52};
    expected.resize(64, 0x00);
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 64), expected);
    EXPECT_EQ(buffer[64], 0xEE) << "nothing written past the frame";
}

TEST_F(Requests, EveryPayloadlessBuilderWritesItsTypeAndZeroPayload) {
    for (const BuilderCase& c : kBuilders) {
        std::vector<uint8_t> buffer(1528, 0xEE);
        ASSERT_EQ(c.build(kHostMac, kDeviceMac, 1528, buffer.data()), 64u);
        buffer.resize(64);
        EXPECT_EQ(buffer, mmeFrame(c.mmtype, 64, kDeviceMac, kHostMac)) << std::hex << c.mmtype;
    }
}

TEST_F(Requests, CapacityBelowSixtyFourLeavesOnlyTheHeaders) {
    for (const BuilderCase& c : kBuilders) {
        std::vector<uint8_t> buffer(64, 0xEE);
        errno = 0;
        EXPECT_EQ(c.build(kHostMac, kDeviceMac, 63, buffer.data()), 0u);
        EXPECT_EQ(errno, ERANGE);
        auto header = mmeFrame(c.mmtype, 20, kDeviceMac, kHostMac);
        EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 20), header);
        EXPECT_EQ(buffer[20], 0xEE);
    }
}

TEST_F(Requests, TinyCapacityZeroesWhatFitsAndFails) {
    for (const BuilderCase& c : kBuilders) {
        std::vector<uint8_t> buffer(16, 0xEE);
        errno = 0;
        EXPECT_EQ(c.build(kHostMac, kDeviceMac, 10, buffer.data()), 0u);
        EXPECT_EQ(errno, ERANGE);
        EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 10),
                  std::vector<uint8_t>(10, 0));
        EXPECT_EQ(buffer[10], 0xEE);
    }
}

TEST_F(Requests, NullArgumentsGiveEfault) {
    uint8_t buffer[64];
    for (const BuilderCase& c : kBuilders) {
        errno = 0;
        EXPECT_EQ(c.build(nullptr, kDeviceMac, 64, buffer), 0u);
        EXPECT_EQ(errno, EFAULT);
        errno = 0;
        EXPECT_EQ(c.build(kHostMac, kDeviceMac, 64, nullptr), 0u);
        EXPECT_EQ(errno, EFAULT);
    }
}

TEST_F(Requests, HeaderWriters) {
    uint8_t b[20];
    std::memset(b, 0xEE, sizeof b);
    EXPECT_EQ(plcapi_PutEthernetHeader(b, 20, kDeviceMac, kHostMac), 14u);
    EXPECT_EQ(b[12], 0x88);
    EXPECT_EQ(b[13], 0xE1);
    EXPECT_EQ(std::memcmp(b, kDeviceMac, 6), 0);
    EXPECT_EQ(std::memcmp(b + 6, kHostMac, 6), 0);
    EXPECT_EQ(plcapi_PutMmeHeader(b + 14, 6, 0xA050), 6u);
    const uint8_t mme[6] = {0x00, 0x50, 0xA0, 0x00, 0xB0, 0x52};
    EXPECT_EQ(std::memcmp(b + 14, mme, 6), 0);

    std::memset(b, 0xEE, sizeof b);
    errno = 0;
    EXPECT_EQ(plcapi_PutEthernetHeader(b, 13, kDeviceMac, kHostMac), 0u);
    EXPECT_EQ(errno, ERANGE);
    EXPECT_EQ(b[12], 0);
    EXPECT_EQ(b[13], 0xEE);
    errno = 0;
    EXPECT_EQ(plcapi_PutEthernetHeader(b, 20, nullptr, kHostMac), 0u);
    EXPECT_EQ(errno, EFAULT);
    std::memset(b, 0xEE, sizeof b);
    errno = 0;
    EXPECT_EQ(plcapi_PutMmeHeader(b, 5, 0xA000), 0u);
    EXPECT_EQ(errno, ERANGE);
    EXPECT_EQ(b[4], 0);
    EXPECT_EQ(b[5], 0xEE);
    errno = 0;
    EXPECT_EQ(plcapi_PutMmeHeader(nullptr, 6, 0xA000), 0u);
    EXPECT_EQ(errno, EFAULT);
}

SetKeyInput setKeyInput(uint8_t selector) {
    SetKeyInput in{};
    for (int i = 0; i < 16; ++i) {
        in.nmk[i] = static_cast<uint8_t>(0x10 + i);
        in.remoteDak[i] = static_cast<uint8_t>(0x80 + i);
    }
    in.selector = selector;
    const uint8_t remote[6] = {0x00, 0xB0, 0x52, 0xAA, 0xBB, 0xCC};
    std::memcpy(in.remoteMac, remote, 6);
    return in;
}

TEST_F(Requests, SetKeyLaysOutKeySelectorMacAndDak) {
    SetKeyInput in = setKeyInput(0x00);
    std::vector<uint8_t> buffer(1528, 0xEE);
    ASSERT_EQ(plcapi_RequestSetKey(kHostMac, kLocalMgmtMac, 1528, buffer.data(), &in), 64u);
    auto expected = mmeFrame(0xA050, 64, kLocalMgmtMac, kHostMac);
    expected[20] = 0x01;
    for (int i = 0; i < 16; ++i) {
        expected[21 + i] = static_cast<uint8_t>(0x10 + i);
        expected[44 + i] = static_cast<uint8_t>(0x80 + i);
    }
    expected[37] = 0x00;
    const uint8_t remote[6] = {0x00, 0xB0, 0x52, 0xAA, 0xBB, 0xCC};
    std::memcpy(&expected[38], remote, 6);
    buffer.resize(64);
    EXPECT_EQ(buffer, expected);

    in = setKeyInput(0x0F);
    ASSERT_EQ(plcapi_RequestSetKey(kHostMac, kLocalMgmtMac, 1528, buffer.data(), &in), 64u);
    EXPECT_EQ(buffer[37], 0x0F);
}

TEST_F(Requests, SetKeyRefusesAnUnknownSelector) {
    SetKeyInput in = setKeyInput(0x01);
    uint8_t buffer[64];
    errno = 0;
    EXPECT_EQ(plcapi_RequestSetKey(kHostMac, kDeviceMac, 64, buffer, &in), 0u);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(plcapi_RequestSetKey(kHostMac, kDeviceMac, 64, buffer, nullptr), 0u);
    EXPECT_EQ(errno, EFAULT);
    in = setKeyInput(0x0F);
    errno = 0;
    EXPECT_EQ(plcapi_RequestSetKey(kHostMac, kDeviceMac, 63, buffer, &in), 0u);
    EXPECT_EQ(errno, ERANGE);
}

TEST_F(Requests, NextFrameWithNothingPendingLeavesTheBufferAlone) {
    std::vector<uint8_t> buffer(1528, 0xEE);
    errno = 0;
    EXPECT_EQ(plcapi_NextFrame(1528, buffer.data()), 0u);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(buffer, std::vector<uint8_t>(1528, 0xEE));
    errno = 0;
    EXPECT_EQ(plcapi_NextFrame(1528, nullptr), 0u);
    EXPECT_EQ(errno, EFAULT);
}

TEST_F(Requests, NextFrameEmitsOnceAndPadsShortFrames) {
    PendingFrame& p = plcSequence.pending;
    std::memcpy(p.destination, kDeviceMac, 6);
    std::memcpy(p.source, kHostMac, 6);
    p.mmtype = 0xA020;
    p.fixedLength = 12;
    for (int i = 0; i < 12; ++i) {
        p.fixed[i] = static_cast<uint8_t>(i + 1);
    }
    std::vector<uint8_t> data = patternBytes(12, 1);
    p.data = data.data();
    p.dataLength = 12;
    p.pending = 1;
    std::vector<uint8_t> first = emitPending();
    ASSERT_EQ(first.size(), 64u);
    auto expected = mmeFrame(0xA020, 64, kDeviceMac, kHostMac);
    for (int i = 0; i < 12; ++i) {
        expected[20 + i] = static_cast<uint8_t>(i + 1);
        expected[32 + i] = data[i];
    }
    EXPECT_EQ(first, expected);
    EXPECT_TRUE(emitPending().empty()) << "the pending frame is consumed";
}

TEST_F(Requests, NextFrameRefusesABufferTooSmallAndKeepsTheFrame) {
    std::vector<uint8_t> data = patternBytes(1024, 2);
    PendingFrame& p = plcSequence.pending;
    p.mmtype = 0xA020;
    p.fixedLength = 12;
    p.data = data.data();
    p.dataLength = 1024;
    p.pending = 1;
    std::vector<uint8_t> buffer(1055);
    errno = 0;
    EXPECT_EQ(plcapi_NextFrame(1055, buffer.data()), 0u);
    EXPECT_EQ(errno, ERANGE);
    EXPECT_EQ(emitPending().size(), 1056u);
}

TEST_F(Requests, Checksum32IsTheComplementOfTheXorOfLittleEndianWords) {
    const uint8_t words[8] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80};
    EXPECT_EQ(Checksum32(2, words, 0), ~0x80000001u);
    EXPECT_EQ(Checksum32(0, words, 0x1234), ~0x1234u);
    std::vector<uint8_t> block = patternBytes(1027, 3);
    uint32_t c = Checksum32(256, block.data(), 0);
    EXPECT_EQ(c, testChecksum32(block.data(), 256));
    EXPECT_EQ(Checksum32(256, block.data(), c), 0u) << "verifying against the stored value";
    block[1025] ^= 0xFF; // trailing bytes are not covered
    EXPECT_EQ(Checksum32(256, block.data(), c), 0u);
    block[5] ^= 0x01;
    EXPECT_NE(Checksum32(256, block.data(), c), 0u);
}

} // namespace
