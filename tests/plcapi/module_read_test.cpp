// Module reads: the requests a read emits, the chunks handed out in the
// replies, the module 1 header chain and its refusals, and the resend rules.
#include <gtest/gtest.h>

#include "fake_device.h"

namespace {

std::vector<uint8_t> readFrame(uint8_t module, uint16_t length, uint32_t offset) {
    auto f = mmeFrame(0xA024, 64, kDeviceMac, kHostMac);
    f[20] = module;
    f[22] = static_cast<uint8_t>(length);
    f[23] = static_cast<uint8_t>(length >> 8);
    putLe32At(f, 24, offset);
    return f;
}

class ModuleRead : public ::testing::Test {
  protected:
    void SetUp() override {
        resetPlcapi();
        pib = makeValidPib33();
        firmware = makeNvmImage(
            {{0x00100000, patternBytes(1500, 7), 1, 2}, {0x00200000, patternBytes(2100, 8), 3, 4}});
        device.modules[1] = firmware;
        device.modules[2] = pib;
    }
    void TearDown() override { resetPlcapi(); }

    // Runs the read and collects every chunk the replies hand out, per module.
    std::vector<std::vector<uint8_t>> run(std::map<uint8_t, std::vector<uint8_t>>& chunks) {
        std::vector<std::vector<uint8_t>> frames;
        for (int guard = 0; guard < 100; ++guard) {
            auto frame = emitPending();
            if (frame.empty()) {
                ADD_FAILURE() << "nothing pending";
                break;
            }
            frames.push_back(frame);
            if (decode(device.answer(frame), reply) != 0) {
                ADD_FAILURE() << "decoding failed";
                break;
            }
            EXPECT_EQ(reply.kind, 9u);
            EXPECT_EQ(reply.valid, 1);
            uint32_t length = getLe32At(std::vector<uint8_t>(reply.data, reply.data + 9), 5);
            EXPECT_EQ(reply.dataLength, length + 9);
            auto& out = chunks[reply.data[0]];
            out.insert(out.end(), reply.data + 9, reply.data + 9 + length);
            lastChunkFlags.push_back(reply.data[4]);
            if (reply.state == 2) {
                break;
            }
        }
        return frames;
    }

    std::vector<uint8_t> pib;
    std::vector<uint8_t> firmware;
    FakeDevice device;
    PlcReply reply{};
    std::vector<uint8_t> lastChunkFlags;
};

TEST_F(ModuleRead, ParameterBlockInChunksOf1024) {
    ASSERT_EQ(plcapi_StartModuleRead(kHostMac, kDeviceMac, 2), 0);
    std::map<uint8_t, std::vector<uint8_t>> chunks;
    auto frames = run(chunks);
    ASSERT_EQ(frames.size(), 8u);
    for (uint32_t i = 0; i < 7; ++i) {
        EXPECT_EQ(frames[i], readFrame(2, 1024, 1024 * i)) << i;
    }
    EXPECT_EQ(frames[7], readFrame(2, 824, 7168));
    EXPECT_EQ(chunks[2], pib);
    EXPECT_EQ(lastChunkFlags, (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(reply.state, 2u);
    EXPECT_TRUE(emitPending().empty());
}

TEST_F(ModuleRead, FirmwareAsAHeaderChain) {
    ASSERT_EQ(plcapi_StartModuleRead(kHostMac, kDeviceMac, 1), 0);
    std::map<uint8_t, std::vector<uint8_t>> chunks;
    auto frames = run(chunks);
    // Header at 0, its 1500-byte image, header at 1544, its 2100-byte image.
    std::vector<std::vector<uint8_t>> expected = {
        readFrame(1, 44, 0),    readFrame(1, 1024, 44),   readFrame(1, 476, 1068),
        readFrame(1, 44, 1544), readFrame(1, 1024, 1588), readFrame(1, 1024, 2612),
        readFrame(1, 52, 3636),
    };
    ASSERT_EQ(frames.size(), expected.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i], expected[i]) << i;
    }
    EXPECT_EQ(chunks[1], firmware);
    EXPECT_EQ(lastChunkFlags.back(), 1);
    EXPECT_EQ(reply.state, 2u);
}

TEST_F(ModuleRead, BothModulesOneAfterTheOther) {
    ASSERT_EQ(plcapi_StartModuleRead(kHostMac, kDeviceMac, 3), 0);
    std::map<uint8_t, std::vector<uint8_t>> chunks;
    auto frames = run(chunks);
    ASSERT_EQ(frames.size(), 7u + 8u);
    EXPECT_EQ(frames[7], readFrame(2, 1024, 0));
    EXPECT_EQ(chunks[1], firmware);
    EXPECT_EQ(chunks[2], pib);
    EXPECT_EQ(reply.state, 2u);
}

TEST_F(ModuleRead, UnknownReadTypeLeavesTheSequenceReset) {
    ASSERT_EQ(plcapi_StartModuleRead(kHostMac, kDeviceMac, 2), 0);
    errno = 0;
    EXPECT_EQ(plcapi_StartModuleRead(kHostMac, kDeviceMac, 4), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(plcSequence.kind, 0u);
    EXPECT_EQ(plcSequence.flags, 0u);
    EXPECT_TRUE(emitPending().empty());
}

TEST_F(ModuleRead, FailureAsTheFirstReplyEndsTheRead) {
    ASSERT_EQ(plcapi_StartModuleRead(kHostMac, kDeviceMac, 2), 0);
    device.statuses = {1};
    ASSERT_EQ(decode(device.answer(emitPending()), reply), 0);
    EXPECT_EQ(reply.state, 2u);
    EXPECT_EQ(reply.status, 1);
    EXPECT_EQ(reply.valid, 0);
    EXPECT_TRUE(emitPending().empty()) << "no resend before a good confirmation";
}

TEST_F(ModuleRead, ThreeResendsPerChunkAfterAGoodOne) {
    ASSERT_EQ(plcapi_StartModuleRead(kHostMac, kDeviceMac, 2), 0);
    ASSERT_EQ(decode(device.answer(emitPending()), reply), 0);
    auto second = emitPending();
    ASSERT_EQ(second, readFrame(2, 1024, 1024));
    device.statuses = {1, 1, 1, 1};
    auto frame = second;
    for (int resend = 0; resend < 3; ++resend) {
        ASSERT_EQ(decode(device.answer(frame), reply), 0);
        EXPECT_EQ(reply.state, 1u);
        frame = emitPending();
        EXPECT_EQ(frame, second);
    }
    ASSERT_EQ(decode(device.answer(frame), reply), 0);
    EXPECT_EQ(reply.state, 2u) << "the fourth failure ends the read";
    EXPECT_TRUE(emitPending().empty());
}

TEST_F(ModuleRead, BadChunkChecksumAndLengthCountAsFailures) {
    ASSERT_EQ(plcapi_StartModuleRead(kHostMac, kDeviceMac, 2), 0);
    ASSERT_EQ(decode(device.answer(emitPending()), reply), 0);
    auto request = emitPending();
    auto answer = device.answer(request);
    answer[40] ^= 0x01;
    ASSERT_EQ(decode(answer, reply), 0);
    EXPECT_EQ(reply.status, 22);
    EXPECT_EQ(reply.valid, 0);
    EXPECT_EQ(emitPending(), request) << "resent";

    answer = device.answer(request);
    answer[26] = 0x01;
    answer[27] = 0x04; // 1025
    ASSERT_EQ(decode(answer, reply), 0);
    EXPECT_EQ(reply.status, 34);
    EXPECT_EQ(emitPending(), request);

    answer = device.answer(request);
    answer.resize(500); // announces 1024 bytes, 464 arrived
    ASSERT_EQ(decode(answer, reply), 0);
    EXPECT_EQ(reply.status, 34);
    EXPECT_EQ(emitPending(), request);
}

TEST_F(ModuleRead, ChunkOfAnotherRequestIsIgnored) {
    ASSERT_EQ(plcapi_StartModuleRead(kHostMac, kDeviceMac, 2), 0);
    auto first = emitPending();
    auto firstAnswer = device.answer(first);
    ASSERT_EQ(decode(firstAnswer, reply), 0);
    auto second = emitPending();
    errno = 0;
    EXPECT_EQ(decode(firstAnswer, reply), -1) << "a duplicate of the first chunk";
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(reply.valid, 0);
    EXPECT_TRUE(emitPending().empty());
    ASSERT_EQ(decode(device.answer(second), reply), 0);
    EXPECT_EQ(emitPending(), readFrame(2, 1024, 2048));
}

TEST_F(ModuleRead, BadFirmwareHeaderStopsDecoding) {
    device.modules[1][5] ^= 0x40;
    ASSERT_EQ(plcapi_StartModuleRead(kHostMac, kDeviceMac, 1), 0);
    errno = 0;
    EXPECT_EQ(decode(device.answer(emitPending()), reply), -1);
    EXPECT_EQ(errno, EFAULT);
    EXPECT_EQ(reply.valid, 0) << "never accepted as a good chunk";
    EXPECT_EQ(plcSequence.kind, 9u) << "the sequence stays where it was";
    EXPECT_EQ(plcSequence.total, 0u);
}

TEST_F(ModuleRead, ChainWithAGapIsRefused) {
    // The first header names a next header 8 bytes past the end of its image.
    putNvmHeader(device.modules[1], 0, 0x00100000, 1500, 1, 2, 1552);
    ASSERT_EQ(plcapi_StartModuleRead(kHostMac, kDeviceMac, 1), 0);
    errno = 0;
    EXPECT_EQ(decode(device.answer(emitPending()), reply), -1);
    EXPECT_EQ(errno, EFAULT);
    EXPECT_EQ(reply.valid, 0);
}

TEST_F(ModuleRead, ChainThatPointsBackIsRefused) {
    for (uint32_t next : {0u, 44u, 1000u}) {
        resetPlcapi();
        auto image = makeNvmImage(
            {{0x00100000, patternBytes(1000, 9), 0, 0}, {0x00200000, patternBytes(100, 9), 0, 0}});
        // The second header (at 1044) names `next` (itself, or earlier).
        putNvmHeader(image, 1044, 0x00200000, 100, 0, 0, next == 0 ? 1044 : next);
        device.modules[1] = image;
        ASSERT_EQ(plcapi_StartModuleRead(kHostMac, kDeviceMac, 1), 0);
        int result = 0;
        for (int guard = 0; guard < 10 && result == 0; ++guard) {
            auto frame = emitPending();
            ASSERT_FALSE(frame.empty());
            result = decode(device.answer(frame), reply);
        }
        EXPECT_EQ(result, -1);
        EXPECT_EQ(errno, EFAULT);
    }
}

TEST_F(ModuleRead, FirmwareLengthThatOverflowsIsRefused) {
    putNvmHeader(device.modules[1], 0, 0, 0xFFFFFFF0u, 0, 0, 0);
    ASSERT_EQ(plcapi_StartModuleRead(kHostMac, kDeviceMac, 1), 0);
    EXPECT_EQ(decode(device.answer(emitPending()), reply), -1);
    EXPECT_EQ(errno, EFAULT);
}

// ---- Short chunks and foreign answers ---------------------------------------------------

// The device's answer to `request`, cut to `length` data bytes.
std::vector<uint8_t> shortened(FakeDevice& device, const std::vector<uint8_t>& request,
                               uint16_t length) {
    auto r = request;
    r[22] = static_cast<uint8_t>(length);
    r[23] = static_cast<uint8_t>(length >> 8);
    return device.answer(r);
}

TEST_F(ModuleRead, AShortChunkIsTakenAndTheReadGoesOnFromItsEnd) {
    ASSERT_EQ(plcapi_StartModuleRead(kHostMac, kDeviceMac, 2), 0);
    auto first = emitPending();
    ASSERT_EQ(first, readFrame(2, 1024, 0));
    ASSERT_EQ(decode(shortened(device, first, 500), reply), 0);
    EXPECT_EQ(reply.valid, 1);
    EXPECT_EQ(reply.data[4], 0);
    auto next = emitPending();
    EXPECT_EQ(next, readFrame(2, 1024, 500));
    std::map<uint8_t, std::vector<uint8_t>> chunks;
    chunks[2].assign(pib.begin(), pib.begin() + 500);
    // The rest, with a last chunk shorter than asked for.
    for (int guard = 0; guard < 20; ++guard) {
        ASSERT_FALSE(next.empty());
        uint16_t asked = static_cast<uint16_t>(next[22] | (next[23] << 8));
        uint32_t offset = getLe32At(next, 24);
        uint16_t give =
            offset + asked >= pib.size() ? static_cast<uint16_t>(pib.size() - offset) : asked;
        ASSERT_EQ(decode(shortened(device, next, give), reply), 0);
        uint32_t length = getLe32At(std::vector<uint8_t>(reply.data, reply.data + 9), 5);
        chunks[2].insert(chunks[2].end(), reply.data + 9, reply.data + 9 + length);
        if (reply.state == 2) {
            break;
        }
        next = emitPending();
    }
    EXPECT_EQ(reply.state, 2u);
    EXPECT_EQ(reply.data[4], 1);
    EXPECT_EQ(chunks[2], pib);
}

TEST_F(ModuleRead, ABlockUnderOneChunkEndsWithItsOnlyAnswer) {
    std::vector<uint8_t> small(600, 0x33);
    small[0] = 4;
    small[1] = 1;
    small[4] = 600 & 0xFF;
    small[5] = 600 >> 8;
    device.modules[2] = small;
    ASSERT_EQ(plcapi_StartModuleRead(kHostMac, kDeviceMac, 2), 0);
    ASSERT_EQ(decode(shortened(device, emitPending(), 600), reply), 0);
    EXPECT_EQ(reply.valid, 1);
    EXPECT_EQ(reply.data[4], 1) << "the last chunk";
    EXPECT_EQ(reply.state, 2u);
    EXPECT_TRUE(emitPending().empty());
}

TEST_F(ModuleRead, ChunksOfAnotherStationOffsetOrLengthAreRefused) {
    const uint8_t stranger[6] = {0x02, 0x00, 0x00, 0x5A, 0x5A, 0x01};
    ASSERT_EQ(plcapi_StartModuleRead(kHostMac, kDeviceMac, 2), 0);
    ASSERT_EQ(decode(device.answer(emitPending()), reply), 0);
    auto second = emitPending();
    auto answer = device.answer(second);
    auto foreign = answer;
    std::memcpy(&foreign[6], stranger, 6);
    EXPECT_EQ(decode(foreign, reply), -1);
    auto failure = foreign;
    failure[20] = 1;
    EXPECT_EQ(decode(failure, reply), -1) << "a third station's failure";
    auto otherOffset = device.answer(readFrame(2, 1024, 0));
    otherOffset[20] = 1;
    EXPECT_EQ(decode(otherOffset, reply), -1) << "a failure for another chunk";
    EXPECT_EQ(plcSequence.retries, 3);
    auto empty = shortened(device, second, 0);
    EXPECT_EQ(decode(empty, reply), -1) << "no data";
    EXPECT_TRUE(emitPending().empty());
    ASSERT_EQ(decode(answer, reply), 0);
    EXPECT_EQ(emitPending(), readFrame(2, 1024, 2048));
}

} // namespace
