// plcapi_DecodeFrame: header checks and every row of the dispatch table.
#include <gtest/gtest.h>

#include <cerrno>

#include "fake_device.h"

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

// Every row at exactly its minimum length, in a buffer of exactly that many
// bytes (so a sanitizer build catches any read past it): each field the row
// decodes comes from the bytes that arrived, and every field that would lie
// beyond the frame reads as zero. Short frames from a real network are not
// padded to 64 bytes.
TEST_F(Decode, EveryRowDecodesAtItsExactMinimumLength) {
    struct Exact {
        uint16_t mmtype;
        uint32_t length;
        void (*check)(const PlcReply& r);
    };
    const Exact rows[] = {
        {0xA001, 88,
         [](const PlcReply& r) {
             EXPECT_EQ(r.status, traced(20));
             expectCopied(r, 0, 21, 66); // the text ends at the frame's byte 86
             EXPECT_EQ(r.data[66], 0);
             EXPECT_EQ(r.dataLength, 67u);
         }},
        {0xA00D, 22, [](const PlcReply& r) { EXPECT_EQ(r.status, traced(20)); }},
        {0xA01D, 21, [](const PlcReply& r) { EXPECT_EQ(r.status, traced(20)); }},
        {0xA029, 22, [](const PlcReply& r) { EXPECT_EQ(r.status, traced(20)); }},
        {0xA031, 20, // no minimum: the header alone
         [](const PlcReply& r) {
             for (size_t i = 0; i < 46; ++i)
                 ASSERT_EQ(r.data[i], 0) << "data[" << i << "]";
             EXPECT_EQ(r.status, 0);
             EXPECT_EQ(r.dataLength, 43u); // selector 0, read as zero
         }},
        {0xA035, 28,
         [](const PlcReply& r) {
             expectCopied(r, 0, 21, 7);
             EXPECT_EQ(r.data[7], 0);
         }},
        {0xA036, 51,
         [](const PlcReply& r) {
             expectCopied(r, 0, 21, 29);
             // traced(34) = 0xF1: low bits 1, so no long part.
             EXPECT_EQ(r.data[165], 0x01);
             EXPECT_EQ(r.data[166], 0xF0);
             EXPECT_EQ(r.data[29], 0);
             EXPECT_EQ(r.data[167], 0);
         }},
        {0xA039, 33,
         [](const PlcReply& r) {
             EXPECT_EQ(r.data[0], traced(20));
             expectCopied(r, 1, 21, 12);
             EXPECT_EQ(r.data[13], 0);
             EXPECT_EQ(r.status, 0);
             EXPECT_EQ(r.dataLength, 1505u);
         }},
        {0xA051, 21, [](const PlcReply& r) { EXPECT_EQ(r.status, traced(20)); }},
        {0xA055, 86,
         [](const PlcReply& r) {
             expectCopied(r, 0, 21, 65);
             EXPECT_EQ(r.data[65], 0);
         }},
        {0xA059, 22,
         [](const PlcReply& r) {
             EXPECT_EQ(r.data[0], traced(20));
             EXPECT_EQ(r.data[1], traced(21)); // announces 150 bytes; none arrived
             EXPECT_EQ(r.data[2], 0);
             EXPECT_EQ(r.data[151], 0);
         }},
        {0xA05D, 21, [](const PlcReply& r) { EXPECT_EQ(r.status, traced(20)); }},
        {0xA062, 21,
         [](const PlcReply& r) {
             EXPECT_EQ(r.data[0], traced(20));
             EXPECT_EQ(r.data[1], 0);
             auto response = emitPending();
             ASSERT_GE(response.size(), 21u);
             EXPECT_EQ(le16At(response, 15), 0xA063);
             EXPECT_EQ(response[20], 0) << "decoded: answered with 0";
         }},
        {0xA06D, 20,
         [](const PlcReply& r) {
             EXPECT_EQ(r.status, 0);
             EXPECT_EQ(r.data[0], 0);
             EXPECT_EQ(r.data[1], 0);
         }},
        {0xA071, 603,
         [](const PlcReply& r) {
             expectCopied(r, 0, 21, 582);
             EXPECT_EQ(r.data[582], 0);
         }},
        {0xA07D, 21, [](const PlcReply& r) { EXPECT_EQ(r.status, traced(20)); }},
        {0xA091, 606,
         [](const PlcReply& r) {
             expectCopied(r, 0, 21, 585);
             EXPECT_EQ(r.data[585], 0);
         }},
        {0xA095, 21, [](const PlcReply& r) { EXPECT_EQ(r.status, traced(20)); }},
    };
    for (const Exact& row : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << row.mmtype);
        resetPlcapi();
        auto f = tracedFrame(row.mmtype, row.length);
        ASSERT_EQ(f.size(), row.length);
        ASSERT_EQ(decode(f, reply), 0);
        EXPECT_EQ(reply.mmtype, row.mmtype);
        EXPECT_EQ(std::memcmp(reply.source, kDeviceMac, 6), 0);
        row.check(reply);
    }
}

// The rows of a running transfer at exactly their minimum length: a write
// module or write memory confirmation of 29 bytes moves the write on, one of
// 28 is refused and leaves the block in flight; a read module confirmation is
// taken when its chunk ends at the frame's last byte, refused one byte
// shorter, and a 36-byte failure asks for the chunk again.
TEST_F(Decode, TransferRowsAtTheirExactMinimumLength) {
    auto firmware = makeNvmImage({{0x00200000, patternBytes(2956, 1), 0x11111111, 0x22222222}});
    auto pib = makeValidPib33();
    for (uint32_t options : {0x23u, 0x00u}) { // module mode, memory mode
        SCOPED_TRACE(testing::Message() << "options " << std::hex << options);
        resetPlcapi();
        ASSERT_EQ(plcapi_StartImageWrite(kHostMac, kDeviceMac,
                                         static_cast<uint32_t>(firmware.size()), firmware.data(),
                                         static_cast<uint32_t>(pib.size()), pib.data(), options),
                  0);
        FakeDevice device;
        auto block = emitPending();
        auto confirmation = device.answer(block);
        ASSERT_EQ(le16At(confirmation, 15), options ? 0xA021 : 0xA005);
        auto cut = confirmation;
        cut.resize(28);
        errno = 0;
        EXPECT_EQ(decode(cut, reply), -1);
        EXPECT_EQ(errno, ERANGE);
        EXPECT_TRUE(emitPending().empty()) << "nothing moved on";
        confirmation.resize(29);
        ASSERT_EQ(decode(confirmation, reply), 0);
        EXPECT_EQ(reply.state, 1u);
        auto next = emitPending();
        ASSERT_FALSE(next.empty());
        EXPECT_NE(next, block) << "the next block, not a resend";
    }

    // A parameter block of 8 bytes whose length field (bytes 4-5) says 8.
    const std::vector<uint8_t> chunk = {1, 2, 3, 4, 8, 0, 7, 9};
    auto readConfirmation = [&](uint8_t status, size_t length) {
        auto c = mmeFrame(0xA025, 36 + chunk.size(), kHostMac, kDeviceMac);
        c[20] = status;
        c[24] = 2;
        c[26] = static_cast<uint8_t>(chunk.size());
        putLe32At(c, 32, testChecksum32(chunk.data(), chunk.size() / 4));
        std::memcpy(&c[36], chunk.data(), chunk.size());
        c.resize(length);
        return c;
    };
    resetPlcapi();
    ASSERT_EQ(plcapi_StartModuleRead(kHostMac, kDeviceMac, 2), 0);
    auto request = emitPending();
    ASSERT_FALSE(request.empty());
    plcSequence.retries = 3;

    errno = 0;
    EXPECT_EQ(decode(readConfirmation(0, 35), reply), -1);
    EXPECT_EQ(errno, EFAULT);
    EXPECT_EQ(plcSequence.retries, 3u) << "a cut frame uses no resend";

    ASSERT_EQ(decode(readConfirmation(1, 36), reply), 0);
    EXPECT_EQ(reply.status, 1);
    EXPECT_EQ(reply.state, 1u);
    EXPECT_EQ(emitPending(), request) << "a failure of 36 bytes asks again";
    EXPECT_EQ(plcSequence.retries, 2u);

    // The chunk's last byte cut off: not taken, asked for again.
    ASSERT_EQ(decode(readConfirmation(0, 36 + chunk.size() - 1), reply), 0);
    EXPECT_EQ(reply.valid, 0);
    EXPECT_EQ(reply.status, ERANGE);
    EXPECT_EQ(emitPending(), request);

    ASSERT_EQ(decode(readConfirmation(0, 36 + chunk.size()), reply), 0);
    EXPECT_EQ(reply.valid, 1);
    EXPECT_EQ(reply.state, 2u) << "the whole block arrived";
    EXPECT_EQ(reply.dataLength, 9u + chunk.size());
    EXPECT_EQ(std::memcmp(reply.data + 9, chunk.data(), chunk.size()), 0);
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
