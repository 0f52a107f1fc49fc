// plcapi_DecodeFrame: header checks and every row of the dispatch table.
#include <gtest/gtest.h>

#include <cerrno>

#include "mme_frames.h"

namespace {

class Decode : public ::testing::Test {
  protected:
    void SetUp() override { resetPlcapi(); }
    void TearDown() override { resetPlcapi(); }
    PlcReply reply{};
};

// A frame whose payload byte at offset i is (i * 7 + 3) & 0xFF, so that every
// copied byte can be traced back to its frame offset.
std::vector<uint8_t> tracedFrame(uint16_t mmtype, size_t length) {
    auto f = mmeFrame(mmtype, length);
    for (size_t i = 20; i < length; ++i) {
        f[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    return f;
}

uint8_t traced(size_t offset) {
    return static_cast<uint8_t>(offset * 7 + 3);
}

void expectCopied(const PlcReply& r, size_t dataOffset, size_t frameOffset, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        ASSERT_EQ(r.data[dataOffset + i], traced(frameOffset + i))
            << "data[" << dataOffset + i << "] from frame byte " << frameOffset + i;
    }
}

TEST_F(Decode, OtherEtherTypeIsEperm) {
    auto f = mmeFrame(0xA001, 88);
    f[12] = 0x88;
    f[13] = 0x7B;
    errno = 0;
    EXPECT_EQ(decode(f, reply), -1);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(reply.status, 1);
    EXPECT_EQ(reply.mmtype, 0xFFFF);
}

TEST_F(Decode, WrongMmvOrOuiIsEfault) {
    auto f = mmeFrame(0xA001, 88);
    f[14] = 0x01;
    errno = 0;
    EXPECT_EQ(decode(f, reply), -1);
    EXPECT_EQ(errno, EFAULT);
    EXPECT_EQ(reply.status, 14);
    for (int byte : {17, 18, 19}) {
        f = mmeFrame(0xA001, 88);
        f[byte] ^= 0x01;
        errno = 0;
        EXPECT_EQ(decode(f, reply), -1);
        EXPECT_EQ(errno, EFAULT);
        EXPECT_EQ(reply.status, 14);
        EXPECT_EQ(reply.mmtype, 0xFFFF);
    }
}

TEST_F(Decode, NullAndTruncatedFrames) {
    errno = 0;
    EXPECT_EQ(plcapi_DecodeFrame(64, nullptr, &reply), -1);
    EXPECT_EQ(errno, EFAULT);
    EXPECT_EQ(reply.status, 14);
    auto f = mmeFrame(0xA001, 88);
    EXPECT_EQ(plcapi_DecodeFrame(88, f.data(), nullptr), -1);
    errno = 0;
    EXPECT_EQ(plcapi_DecodeFrame(13, f.data(), &reply), -1);
    EXPECT_EQ(errno, EFAULT);
    errno = 0;
    EXPECT_EQ(plcapi_DecodeFrame(19, f.data(), &reply), -1);
    EXPECT_EQ(errno, EFAULT) << "a header cut short is refused before its type is read";
}

TEST_F(Decode, UnhandledTypesGiveForty) {
    for (uint16_t type : {0xA003, 0xA000, 0xA063, 0xA0FF, 0x6001}) {
        errno = 0;
        EXPECT_EQ(decode(mmeFrame(type, 64), reply), -1) << std::hex << type;
        EXPECT_EQ(errno, 40);
        EXPECT_EQ(reply.status, 40);
        EXPECT_EQ(reply.mmtype, 0xFFFF);
    }
}

TEST_F(Decode, ReplyIsZeroedBeforeEveryDecode) {
    std::memset(&reply, 0xAB, sizeof reply);
    ASSERT_EQ(decode(mmeFrame(0xA051, 64), reply), 0);
    EXPECT_EQ(reply.dataLength, 0u);
    EXPECT_EQ(reply.valid, 0);
    EXPECT_EQ(reply.data[0], 0);
    EXPECT_EQ(reply.data[1512], 0);
}

// Minimum length, short-frame code, kind and state of every row. Rows of the
// transfer sequence are covered by the sequence tests where they need one.
struct Row {
    uint16_t mmtype;
    uint32_t minLength;
    int shortCode; // 0: errno untouched
    uint32_t kind;
    uint32_t state;
};

const Row kRows[] = {
    {0xA001, 88, EFAULT, 4, 2},  {0xA00D, 22, ERANGE, 0, 2},  {0xA01D, 21, EFAULT, 5, 2},
    {0xA029, 22, 0, 0, 2},       {0xA031, 0, 0, 1, 2},        {0xA035, 28, EFAULT, 0, 0},
    {0xA036, 51, EFAULT, 0, 0},  {0xA039, 33, EFAULT, 3, 2},  {0xA051, 21, ERANGE, 8, 2},
    {0xA055, 86, 0, 2, 2},       {0xA059, 22, EFAULT, 16, 2}, {0xA05D, 21, ERANGE, 12, 2},
    {0xA062, 21, 0, 6, 1},       {0xA06D, 0, 0, 11, 2},       {0xA071, 603, 0, 10, 2},
    {0xA07D, 21, ERANGE, 13, 2}, {0xA091, 606, 0, 14, 2},     {0xA095, 21, EFAULT, 15, 2},
    {0xA005, 29, ERANGE, 0, 0},  {0xA021, 29, ERANGE, 0, 0},  {0xA025, 36, EFAULT, 0, 0},
};

TEST_F(Decode, EveryRowRefusesAFrameOneByteShort) {
    for (const Row& row : kRows) {
        if (row.minLength <= 20) {
            continue;
        }
        SCOPED_TRACE(testing::Message() << std::hex << row.mmtype);
        errno = 12345;
        EXPECT_EQ(decode(tracedFrame(row.mmtype, row.minLength - 1), reply), -1);
        EXPECT_EQ(errno, row.shortCode == 0 ? 12345 : row.shortCode);
        EXPECT_EQ(reply.kind, 0u);
        EXPECT_EQ(reply.state, 0u);
        EXPECT_EQ(reply.valid, 0);
        EXPECT_EQ(reply.status, 0);
        EXPECT_EQ(reply.mmtype, row.mmtype);
        EXPECT_EQ(std::memcmp(reply.source, kDeviceMac, 6), 0);
    }
}

TEST_F(Decode, EveryRowDecodesAtItsMinimumLength) {
    for (const Row& row : kRows) {
        if (row.mmtype == 0xA005 || row.mmtype == 0xA021 || row.mmtype == 0xA025) {
            continue; // need a running transfer: sequence tests
        }
        SCOPED_TRACE(testing::Message() << std::hex << row.mmtype);
        uint32_t length = row.minLength < 64 ? 64 : row.minLength;
        EXPECT_EQ(decode(tracedFrame(row.mmtype, length), reply), 0);
        EXPECT_EQ(reply.kind, row.kind);
        EXPECT_EQ(reply.state, row.state);
        EXPECT_EQ(reply.mmtype, row.mmtype);
        EXPECT_EQ(std::memcmp(reply.destination, kHostMac, 6), 0);
        EXPECT_EQ(std::memcmp(reply.source, kDeviceMac, 6), 0);
    }
}

TEST_F(Decode, StatusOnlyRowsCarryTheDeviceStatus) {
    for (uint16_t type : {0xA00D, 0xA01D, 0xA029, 0xA051, 0xA05D, 0xA07D, 0xA095}) {
        auto f = mmeFrame(type, 64);
        f[20] = 0x05;
        ASSERT_EQ(decode(f, reply), 0) << std::hex << type;
        EXPECT_EQ(reply.status, 5);
        EXPECT_EQ(reply.valid, 0);
        EXPECT_EQ(reply.dataLength, 0u);
    }
}

TEST_F(Decode, FirmwareVersion) {
    errno = 0;
    EXPECT_EQ(decode(tracedFrame(0xA001, 87), reply), -1);
    EXPECT_EQ(errno, EFAULT);
    auto f = tracedFrame(0xA001, 88);
    ASSERT_EQ(decode(f, reply), 0);
    EXPECT_EQ(reply.status, traced(20));
    expectCopied(reply, 0, 21, 66); // id, text length, 64 text bytes
    EXPECT_EQ(reply.data[66], 0);
    EXPECT_EQ(reply.dataLength, 67u);
    EXPECT_EQ(reply.valid, 1);
}

TEST_F(Decode, ReplyA031ByVariant) {
    struct Variant {
        uint8_t selector;
        size_t count;
        uint32_t dataLength;
    };
    for (Variant v : {Variant{0, 40, 43}, Variant{1, 247, 250}, Variant{2, 287, 290}}) {
        auto f = tracedFrame(0xA031, 400);
        f[21] = v.selector;
        ASSERT_EQ(decode(f, reply), 0);
        EXPECT_EQ(reply.data[0], v.selector);
        expectCopied(reply, 1, 22, 2);
        expectCopied(reply, 3, 24, v.count);
        EXPECT_EQ(reply.data[3 + v.count], 0) << "nothing beyond the variant's bytes";
        EXPECT_EQ(reply.dataLength, v.dataLength);
        EXPECT_EQ(reply.valid, 1);
    }
    auto f = tracedFrame(0xA031, 64);
    f[21] = 7;
    ASSERT_EQ(decode(f, reply), 0);
    EXPECT_EQ(reply.dataLength, 0u);
    EXPECT_EQ(reply.valid, 1);
}

TEST_F(Decode, ReplyA031ReadsOnlyWhatArrived) {
    auto f = tracedFrame(0xA031, 70);
    f[21] = 2; // claims 287 bytes; only 46 arrived
    ASSERT_EQ(decode(f, reply), 0);
    expectCopied(reply, 3, 24, 46);
    EXPECT_EQ(reply.data[3 + 46], 0);
}

TEST_F(Decode, ReplyA035) {
    ASSERT_EQ(decode(tracedFrame(0xA035, 28), reply), 0);
    EXPECT_EQ(reply.status, traced(20));
    expectCopied(reply, 0, 21, 7);
    EXPECT_EQ(reply.dataLength, 7u);
    EXPECT_EQ(reply.valid, 1);
}

TEST_F(Decode, IndicationA036) {
    auto f = tracedFrame(0xA036, 200);
    f[34] = 0xA8; // data[13]: low bits 0 → the long part is copied
    ASSERT_EQ(decode(f, reply), 0);
    EXPECT_EQ(reply.status, 0) << "this indication sets no status";
    EXPECT_EQ(reply.data[13], 0xA8);
    expectCopied(reply, 0, 21, 13);
    expectCopied(reply, 14, 35, 15);
    expectCopied(reply, 29, 50, 136);
    EXPECT_EQ(reply.data[165], 0x00);
    EXPECT_EQ(reply.data[166], 0xA0);
    EXPECT_EQ(reply.data[167], reply.data[36]);
    EXPECT_EQ(reply.dataLength, 168u);
    EXPECT_EQ(reply.valid, 1);

    f[34] = 0x13;
    ASSERT_EQ(decode(f, reply), 0);
    EXPECT_EQ(reply.data[165], 0x03);
    EXPECT_EQ(reply.data[166], 0x10);
    EXPECT_EQ(reply.data[29], 0);
    EXPECT_EQ(reply.data[164], 0);
    EXPECT_EQ(reply.data[167], 0);
}

TEST_F(Decode, NetworkInformation) {
    auto f = tracedFrame(0xA039, 1514);
    f[20] = 0x07;
    ASSERT_EQ(decode(f, reply), 0);
    EXPECT_EQ(reply.status, 0);
    EXPECT_EQ(reply.data[0], 0x07);
    expectCopied(reply, 1, 21, 1514 - 21);
    EXPECT_EQ(reply.data[1494], 0) << "bytes past the frame read as zero";
    EXPECT_EQ(reply.dataLength, 1505u);
    EXPECT_EQ(reply.valid, 1);
}

TEST_F(Decode, ReplyA055) {
    ASSERT_EQ(decode(tracedFrame(0xA055, 86), reply), 0);
    EXPECT_EQ(reply.status, traced(20));
    expectCopied(reply, 0, 21, 65);
    EXPECT_EQ(reply.dataLength, 65u);
    EXPECT_EQ(reply.valid, 1);
}

TEST_F(Decode, ConfigurationBlockCopyIsBoundedByTheFrame) {
    auto f = tracedFrame(0xA059, 200);
    f[20] = 0x02;
    f[21] = 100;
    ASSERT_EQ(decode(f, reply), 0);
    EXPECT_EQ(reply.status, 0);
    EXPECT_EQ(reply.data[0], 0x02);
    EXPECT_EQ(reply.data[1], 100);
    expectCopied(reply, 2, 22, 100);
    EXPECT_EQ(reply.data[102], 0) << "only the announced bytes";
    EXPECT_EQ(reply.dataLength, 1506u);
    EXPECT_EQ(reply.valid, 1);

    f.resize(60);
    f[21] = 0xFF; // announces 255 bytes, 38 arrived
    ASSERT_EQ(decode(f, reply), 0);
    expectCopied(reply, 2, 22, 38);
    EXPECT_EQ(reply.data[40], 0);
}

TEST_F(Decode, HostActionIndicationMakesItsResponsePending) {
    auto f = mmeFrame(0xA062, 64);
    f[20] = 0x04;
    ASSERT_EQ(decode(f, reply), 0);
    EXPECT_EQ(reply.status, 0);
    EXPECT_EQ(reply.data[0], 0x04);
    EXPECT_EQ(reply.data[1], 0);
    EXPECT_EQ(reply.dataLength, 1u);
    EXPECT_EQ(reply.valid, 1);
    auto response = emitPending();
    auto expected = mmeFrame(0xA063, 64, kDeviceMac, kHostMac);
    expected[20] = 0x00;
    EXPECT_EQ(response, expected);

    f.resize(20);
    errno = 0;
    EXPECT_EQ(decode(f, reply), -1);
    EXPECT_EQ(errno, 0) << "no code for a short indication";
    expected[20] = 0x01;
    EXPECT_EQ(emitPending(), expected) << "a short indication is answered with 1";
}

TEST_F(Decode, ReplyA06D) {
    ASSERT_EQ(decode(tracedFrame(0xA06D, 64), reply), 0);
    EXPECT_EQ(reply.status, traced(20));
    expectCopied(reply, 0, 21, 2);
    EXPECT_EQ(reply.dataLength, 0u);
    EXPECT_EQ(reply.valid, 1);
}

TEST_F(Decode, RepliesA071AndA091) {
    ASSERT_EQ(decode(tracedFrame(0xA071, 603), reply), 0);
    EXPECT_EQ(reply.status, traced(20));
    expectCopied(reply, 0, 21, 582);
    EXPECT_EQ(reply.data[582], 0);
    ASSERT_EQ(decode(tracedFrame(0xA091, 606), reply), 0);
    expectCopied(reply, 0, 21, 585);
    EXPECT_EQ(reply.data[585], 0);
}

TEST_F(Decode, FactoryDefaultsFromTheReadDeviceEndTheRead) {
    const uint8_t stranger[6] = {0x02, 0x00, 0x00, 0x5A, 0x5A, 0x01};
    for (uint16_t type : {0xA01D, 0xA07D}) {
        // Another station's confirmation leaves the read going.
        ASSERT_EQ(plcapi_StartModuleRead(kHostMac, kDeviceMac, 2), 0);
        ASSERT_EQ(decode(mmeFrame(type, 64, kHostMac, stranger), reply), 0);
        EXPECT_EQ(plcSequence.kind, 9u) << std::hex << type;
        EXPECT_EQ(reply.state, 2u);
        // The read device's own ends it.
        ASSERT_EQ(decode(mmeFrame(type, 64), reply), 0);
        EXPECT_EQ(reply.kind, type == 0xA01D ? 5u : 13u);
        EXPECT_EQ(reply.state, 2u);
        EXPECT_EQ(plcSequence.kind, 0u);
        EXPECT_EQ(plcSequence.flags, 0u);
        EXPECT_TRUE(emitPending().empty());
    }
}

TEST_F(Decode, CommitAndStartConfirmationsNeverEndARead) {
    for (uint16_t type : {0xA00D, 0xA029}) {
        ASSERT_EQ(plcapi_StartModuleRead(kHostMac, kDeviceMac, 2), 0);
        auto request = emitPending();
        ASSERT_FALSE(request.empty());
        errno = 0;
        EXPECT_EQ(decode(mmeFrame(type, 64), reply), -1) << std::hex << type;
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(reply.kind, 9u);
        EXPECT_EQ(plcSequence.kind, 9u) << "the read goes on";
        EXPECT_EQ(plcSequence.flags & kSeqModule2, kSeqModule2);
    }
    resetPlcapi();
    ASSERT_EQ(decode(mmeFrame(0xA029, 64), reply), 0);
    EXPECT_EQ(reply.kind, 0u) << "no sequence ran";
    EXPECT_EQ(reply.state, 2u);
}

TEST_F(Decode, SingleFrameFailureStatusIsNotADecodingError) {
    auto f = mmeFrame(0xA051, 64);
    f[20] = 0x01;
    EXPECT_EQ(decode(f, reply), 0);
    EXPECT_EQ(reply.status, 1);
    EXPECT_EQ(reply.valid, 0);
    EXPECT_EQ(reply.kind, 8u);
}

TEST_F(Decode, TransferConfirmationsWithoutATransferAreRefused) {
    for (uint16_t type : {0xA005, 0xA021, 0xA025}) {
        errno = 0;
        EXPECT_EQ(decode(mmeFrame(type, 64), reply), -1) << std::hex << type;
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(reply.valid, 0);
        EXPECT_NE(reply.status, 0);
        EXPECT_TRUE(emitPending().empty()) << "nothing is set going";
    }
}

} // namespace
