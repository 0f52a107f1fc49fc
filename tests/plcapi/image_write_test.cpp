// Image writes: the frames a write emits, byte for byte, in both write modes,
// the device's reassembly of what it received, and the resend rules.
#include <gtest/gtest.h>

#include "fake_device.h"

namespace {

constexpr uint32_t kLoadAddress = 0x00200000;

// Expected frames, written from the frame layout.
std::vector<uint8_t> writeModuleFrame(uint8_t module, uint32_t offset, const uint8_t* data,
                                      uint32_t length) {
    auto f = mmeFrame(0xA020, 32 + length < 64 ? 64 : 32 + length, kDeviceMac, kHostMac);
    f[20] = module;
    f[22] = static_cast<uint8_t>(length);
    f[23] = static_cast<uint8_t>(length >> 8);
    putLe32At(f, 24, offset);
    putLe32At(f, 28, testChecksum32(data, length / 4));
    std::memcpy(&f[32], data, length);
    return f;
}

std::vector<uint8_t> writeMemoryFrame(uint32_t address, const uint8_t* data, uint32_t length) {
    auto f = mmeFrame(0xA004, 28 + length < 64 ? 64 : 28 + length, kDeviceMac, kHostMac);
    putLe32At(f, 20, address);
    putLe32At(f, 24, length);
    std::memcpy(&f[28], data, length);
    return f;
}

std::vector<uint8_t> commitFrame(uint8_t mask) {
    auto f = mmeFrame(0xA028, 64, kDeviceMac, kHostMac);
    f[20] = mask;
    return f;
}

std::vector<uint8_t> startFrame(uint32_t load, uint32_t length, uint32_t w16, uint32_t w20) {
    auto f = mmeFrame(0xA00C, 64, kDeviceMac, kHostMac);
    f[20] = 0x01;
    putLe32At(f, 24, load);
    putLe32At(f, 28, length);
    putLe32At(f, 32, w16);
    putLe32At(f, 36, w20);
    return f;
}

// Module write frames of `image`, cut into 1024-byte blocks.
void appendModuleFrames(std::vector<std::vector<uint8_t>>& out, uint8_t module,
                        const std::vector<uint8_t>& image) {
    for (uint32_t offset = 0; offset < image.size(); offset += 1024) {
        uint32_t length = std::min<uint32_t>(1024, image.size() - offset);
        out.push_back(writeModuleFrame(module, offset, &image[offset], length));
    }
}

void appendMemoryFrames(std::vector<std::vector<uint8_t>>& out, uint32_t address,
                        const uint8_t* image, uint32_t size) {
    for (uint32_t offset = 0; offset < size; offset += 1024) {
        uint32_t length = std::min<uint32_t>(1024, size - offset);
        out.push_back(writeMemoryFrame(address + offset, image + offset, length));
    }
}

class ImageWrite : public ::testing::Test {
  protected:
    void SetUp() override {
        resetPlcapi();
        // A single-block firmware file of 3000 bytes.
        firmware = makeNvmImage({{kLoadAddress, patternBytes(2956, 1), 0x11111111, 0x22222222}});
        pib = makeValidPib33();
    }
    void TearDown() override { resetPlcapi(); }

    int start(uint32_t options, bool withFirmware = true) {
        return plcapi_StartImageWrite(kHostMac, kDeviceMac,
                                      withFirmware ? static_cast<uint32_t>(firmware.size()) : 0,
                                      withFirmware ? firmware.data() : nullptr,
                                      static_cast<uint32_t>(pib.size()), pib.data(), options);
    }

    std::vector<uint8_t> firmware;
    std::vector<uint8_t> pib;
    FakeDevice device;
    PlcReply reply{};
};

TEST_F(ImageWrite, ModuleModeWithCommitEmitsTheDocumentedFrames) {
    ASSERT_EQ(firmware.size(), 3000u);
    ASSERT_EQ(start(0x23), 0);
    auto frames = runTransfer(device, reply);

    std::vector<std::vector<uint8_t>> expected;
    appendModuleFrames(expected, 1, firmware);
    appendModuleFrames(expected, 2, pib);
    expected.push_back(commitFrame(0x03));
    ASSERT_EQ(frames.size(), expected.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i], expected[i]) << "frame " << i;
    }
    // The documented cut: 1024, 1024, 952, then seven of 1024 and one of 824.
    EXPECT_EQ(le16At(frames[2], 22), 952);
    EXPECT_EQ(getLe32At(frames[2], 24), 2048u);
    EXPECT_EQ(frames[0].size(), 1056u);
    EXPECT_EQ(le16At(frames[10], 22), 824);
    EXPECT_EQ(getLe32At(frames[10], 24), 7168u);
    EXPECT_EQ(reply.mmtype, 0xA029);
    EXPECT_EQ(reply.kind, 7u);
    EXPECT_EQ(reply.state, 2u);
    EXPECT_EQ(plcSequence.kind, 0u) << "the commit confirmation ends the sequence";

    EXPECT_EQ(device.modules[1], firmware);
    EXPECT_EQ(device.modules[2], pib);
    EXPECT_EQ(device.badChecksums, 0);
    EXPECT_EQ(device.commitMasks, std::vector<uint8_t>{0x03});
}

TEST_F(ImageWrite, OptionBit4GoesIntoTheCommitMask) {
    ASSERT_EQ(start(0x13), 0);
    auto frames = runTransfer(device, reply);
    EXPECT_EQ(frames.back(), commitFrame(0x13));
    EXPECT_EQ(device.modules[1], firmware);
    EXPECT_EQ(device.modules[2], pib);
}

TEST_F(ImageWrite, ModuleModeWithStartCarriesTheFirstHeaderWords) {
    ASSERT_EQ(start(0x22), 0);
    auto frames = runTransfer(device, reply);
    ASSERT_EQ(frames.size(), 12u);
    EXPECT_EQ(frames[0][15], 0x20);
    EXPECT_EQ(frames.back(), startFrame(kLoadAddress, 2956, 0x11111111, 0x22222222));
    EXPECT_EQ(reply.mmtype, 0xA00D);
    EXPECT_EQ(reply.kind, 7u);
    EXPECT_EQ(reply.state, 2u);
    EXPECT_EQ(device.modules[1], firmware);
    EXPECT_EQ(device.modules[2], pib);
}

TEST_F(ImageWrite, MemoryModeWritesTheLastImageAndTheParameterBlock) {
    // Two blocks; only the last one's image goes to the device.
    firmware = makeNvmImage({{0x00100000, patternBytes(1000, 2), 0x01, 0x02},
                             {kLoadAddress, patternBytes(1912, 3), 0x33333333, 0x44444444}});
    ASSERT_EQ(firmware.size(), 3000u);
    ASSERT_EQ(start(0x00), 0);
    auto frames = runTransfer(device, reply);

    const uint8_t* lastImage = &firmware[1044 + 44];
    std::vector<std::vector<uint8_t>> expected;
    appendMemoryFrames(expected, kLoadAddress, lastImage, 1912);
    appendMemoryFrames(expected, 0x01F00000, pib.data(), static_cast<uint32_t>(pib.size()));
    expected.push_back(startFrame(kLoadAddress, 1912, 0x33333333, 0x44444444));
    ASSERT_EQ(frames.size(), expected.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i], expected[i]) << "frame " << i;
    }
    EXPECT_EQ(getLe32At(frames[2], 20), 0x01F00000u);
    EXPECT_EQ(getLe32At(frames[3], 20), 0x01F00400u);
    EXPECT_EQ(getLe32At(frames[4], 20), 0x01F00800u);
    EXPECT_EQ(reply.mmtype, 0xA00D);
    EXPECT_EQ(reply.state, 2u);

    EXPECT_EQ(device.memoryAt(kLoadAddress, 1912),
              std::vector<uint8_t>(lastImage, lastImage + 1912));
    EXPECT_EQ(device.memoryAt(0x01F00000, pib.size()), pib);
    EXPECT_EQ(device.memory.size(), 1912 + pib.size()) << "nothing else was written";
}

TEST_F(ImageWrite, MemoryModeOfTheSingleBlockFile) {
    ASSERT_EQ(start(0x00), 0);
    auto frames = runTransfer(device, reply);
    ASSERT_EQ(frames.size(), 3u + 8u + 1u);
    EXPECT_EQ(frames[0], writeMemoryFrame(kLoadAddress, &firmware[44], 1024));
    EXPECT_EQ(frames[2], writeMemoryFrame(kLoadAddress + 2048, &firmware[44 + 2048], 908));
    EXPECT_EQ(device.memoryAt(kLoadAddress, 2956),
              std::vector<uint8_t>(firmware.begin() + 44, firmware.end()));
    EXPECT_EQ(device.memoryAt(0x01F00000, pib.size()), pib);
}

TEST_F(ImageWrite, ParameterBlockAlone) {
    pib = patternBytes(2500, 4);
    ASSERT_EQ(start(0x23, false), 0);
    auto frames = runTransfer(device, reply);
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[0], writeModuleFrame(2, 0, &pib[0], 1024));
    EXPECT_EQ(frames[1], writeModuleFrame(2, 1024, &pib[1024], 1024));
    EXPECT_EQ(frames[2], writeModuleFrame(2, 2048, &pib[2048], 452));
    EXPECT_EQ(getLe32At(frames[2], 28), testChecksum32(&pib[2048], 113));
    EXPECT_EQ(getLe32At(frames[0], 28), testChecksum32(&pib[0], 256));
    EXPECT_EQ(frames[3], commitFrame(0x02));
    EXPECT_EQ(device.modules[2], pib);
    EXPECT_EQ(device.modules.count(1), 0u);
}

TEST_F(ImageWrite, StartWithoutFirmwareIsRefused) {
    // A start request needs the firmware header's load address and length.
    for (uint32_t options : {0x22u, 0x20u, 0x00u, 0x02u}) {
        errno = 0;
        EXPECT_EQ(start(options, false), -1) << options;
        EXPECT_EQ(errno, EFAULT);
        EXPECT_TRUE(emitPending().empty());
        EXPECT_EQ(plcSequence.kind, 0u);
    }
}

TEST_F(ImageWrite, StartArgumentsAreChecked) {
    errno = 0;
    EXPECT_EQ(
        plcapi_StartImageWrite(kHostMac, kDeviceMac, 3000, firmware.data(), 100, nullptr, 0x23),
        -1);
    EXPECT_EQ(errno, EFAULT);
    errno = 0;
    EXPECT_EQ(
        plcapi_StartImageWrite(kHostMac, kDeviceMac, 3000, firmware.data(), 0, pib.data(), 0x23),
        -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_TRUE(emitPending().empty());
    errno = 0;
    EXPECT_EQ(
        plcapi_StartImageWrite(kHostMac, kDeviceMac, 0, firmware.data(), 7992, pib.data(), 0x23),
        -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_TRUE(emitPending().empty());
}

TEST_F(ImageWrite, MemoryModeRefusesBrokenFirmwareFiles) {
    firmware[50] ^= 0xFF; // image byte: header still fine
    EXPECT_EQ(start(0x00), 0);
    firmware[3] ^= 0xFF; // header checksum broken
    errno = 0;
    EXPECT_EQ(start(0x00), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_TRUE(emitPending().empty());

    // A header whose image runs past the end of the file.
    firmware = makeNvmImage({{kLoadAddress, patternBytes(100, 5), 0, 0}});
    putNvmHeader(firmware, 0, kLoadAddress, 5000, 0, 0, 0);
    errno = 0;
    EXPECT_EQ(start(0x00), -1);
    EXPECT_EQ(errno, ERANGE);
    EXPECT_TRUE(emitPending().empty());
}

// ---- Resend rules ----------------------------------------------------------------

TEST_F(ImageWrite, NoResendBeforeTheFirstGoodConfirmation) {
    ASSERT_EQ(start(0x23), 0);
    auto first = emitPending();
    device.statuses = {0x01};
    errno = 0;
    EXPECT_EQ(decode(device.answer(first), reply), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(reply.status, 1);
    EXPECT_EQ(reply.valid, 0);
    EXPECT_TRUE(emitPending().empty());
}

TEST_F(ImageWrite, ThreeResendsPerBlockAfterAGoodConfirmation) {
    ASSERT_EQ(start(0x23), 0);
    ASSERT_EQ(decode(device.answer(emitPending()), reply), 0);
    auto second = emitPending();
    EXPECT_EQ(second, writeModuleFrame(1, 1024, &firmware[1024], 1024));
    device.statuses = {0x01, 0x02, 0x03, 0x04};
    auto frame = second;
    for (int resend = 0; resend < 3; ++resend) {
        ASSERT_EQ(decode(device.answer(frame), reply), 0);
        EXPECT_EQ(reply.state, 1u);
        frame = emitPending();
        EXPECT_EQ(frame, second) << "resend " << resend << " repeats the block";
    }
    errno = 0;
    EXPECT_EQ(decode(device.answer(frame), reply), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_TRUE(emitPending().empty());
}

TEST_F(ImageWrite, TheBudgetIsRenewedAfterEveryGoodBlock) {
    ASSERT_EQ(start(0x23), 0);
    ASSERT_EQ(decode(device.answer(emitPending()), reply), 0);
    // Three failures before every further block: the write still completes.
    std::vector<uint8_t> lastFailed;
    int sent = 0;
    for (int guard = 0; guard < 100 && reply.state != 2; ++guard) {
        auto frame = emitPending();
        ASSERT_FALSE(frame.empty());
        ++sent;
        if (frame[15] == 0x20 && frame != lastFailed) {
            device.statuses = {9, 9, 9};
            lastFailed = frame;
        }
        ASSERT_EQ(decode(device.answer(frame), reply), 0);
    }
    EXPECT_EQ(reply.state, 2u);
    EXPECT_EQ(sent, 10 * 4 + 1) << "ten blocks sent four times each, then the commit";
    EXPECT_EQ(device.modules[1], firmware);
    EXPECT_EQ(device.modules[2], pib);
}

TEST_F(ImageWrite, HostActionIndicationReplacesThePendingBlock) {
    ASSERT_EQ(start(0x23), 0);
    auto first = emitPending();
    auto confirmation = device.answer(first);
    ASSERT_EQ(decode(confirmation, reply), 0);
    // The second block is pending; an indication arrives before it is sent.
    auto indication = mmeFrame(0xA062, 64);
    indication[20] = 0x02;
    ASSERT_EQ(decode(indication, reply), 0);
    EXPECT_EQ(reply.kind, 6u);
    EXPECT_EQ(reply.state, 1u);
    auto response = mmeFrame(0xA063, 64, kDeviceMac, kHostMac);
    EXPECT_EQ(emitPending(), response);
    EXPECT_TRUE(emitPending().empty()) << "the block that was pending is not sent";
}

TEST_F(ImageWrite, TransferGoesOnAfterAHostActionMidBlock) {
    ASSERT_EQ(start(0x23), 0);
    auto first = emitPending();
    auto indication = mmeFrame(0xA062, 64);
    ASSERT_EQ(decode(indication, reply), 0);
    ASSERT_EQ(emitPending()[15], 0x63);
    // The confirmation of the block in flight still arrives and advances the write.
    ASSERT_EQ(decode(device.answer(first), reply), 0);
    EXPECT_EQ(emitPending(), writeModuleFrame(1, 1024, &firmware[1024], 1024));
}

TEST_F(ImageWrite, StaleConfirmationsDoNotAdvanceTheWrite) {
    ASSERT_EQ(start(0x23), 0);
    auto first = emitPending();
    auto firstConfirmation = device.answer(first);
    ASSERT_EQ(decode(firstConfirmation, reply), 0);
    auto second = emitPending();
    // A duplicate of the first confirmation arrives while the second block is in flight.
    errno = 0;
    EXPECT_EQ(decode(firstConfirmation, reply), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_NE(reply.status, 0);
    EXPECT_TRUE(emitPending().empty());
    ASSERT_EQ(decode(device.answer(second), reply), 0);
    EXPECT_EQ(emitPending(), writeModuleFrame(1, 2048, &firmware[2048], 952));
}

TEST_F(ImageWrite, AStartCallAbandonsTheRunningSequence) {
    ASSERT_EQ(start(0x23), 0);
    ASSERT_EQ(plcapi_StartModuleRead(kHostMac, kDeviceMac, 2), 0);
    auto frame = emitPending();
    EXPECT_EQ(frame[15], 0x24);
    EXPECT_EQ(plcSequence.firmwareCursor, nullptr);
    EXPECT_EQ(plcSequence.parameterCursor, nullptr);
}

TEST(BlockCursorTest, CutsAndSeeks) {
    std::vector<uint8_t> image = patternBytes(2500, 6);
    BlockCursor* c = blockCursorCreate(image.data(), 2500, 1024);
    ASSERT_NE(c, nullptr);
    const uint8_t* start = nullptr;
    EXPECT_EQ(blockCursorSeek(c, 0, &start), 1024u);
    EXPECT_EQ(start, image.data());
    EXPECT_FALSE(blockCursorAtEnd(c, 1024));
    EXPECT_EQ(blockCursorNext(c, &start), 1024u);
    EXPECT_EQ(blockCursorOffset(c), 1024u);
    EXPECT_EQ(blockCursorNext(c, &start), 452u);
    EXPECT_EQ(start, image.data() + 2048);
    EXPECT_TRUE(blockCursorAtEnd(c, 452));
    errno = 0;
    EXPECT_EQ(blockCursorNext(c, &start), 0u);
    EXPECT_EQ(errno, ERANGE);
    EXPECT_EQ(start, image.data() + 2500);
    errno = 0;
    EXPECT_EQ(blockCursorSeek(c, 0xFFFFFFFF, &start), 0u) << "no overflow of index * size";
    EXPECT_EQ(errno, ERANGE);
    EXPECT_EQ(blockCursorSeek(c, 1, nullptr), 0u);
    EXPECT_EQ(errno, EINVAL);
    blockCursorFree(c);
    errno = 0;
    EXPECT_EQ(blockCursorCreate(image.data(), 0, 1024), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(blockCursorCreate(image.data(), 10, 0), nullptr);
    EXPECT_EQ(blockCursorCreate(nullptr, 10, 1024), nullptr);
}

// ---- The transfer's own station ----------------------------------------------------

const uint8_t kStranger[6] = {0x02, 0x00, 0x00, 0x5A, 0x5A, 0x01};

std::vector<uint8_t> fromStranger(std::vector<uint8_t> frame) {
    std::memcpy(&frame[6], kStranger, 6);
    return frame;
}

TEST_F(ImageWrite, ABroadcastIndicationOfAThirdStationDoesNotRedirectTheWrite) {
    ASSERT_EQ(start(0x23), 0);
    auto first = emitPending();
    const uint8_t broadcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    ASSERT_EQ(decode(mmeFrame(0xA062, 64, broadcast, kStranger), reply), 0);
    auto response = emitPending();
    ASSERT_EQ(response[15], 0x63);
    EXPECT_EQ(0, std::memcmp(response.data(), kStranger, 6)) << "the response goes to it";
    // Every further block and the resend go to the written device.
    ASSERT_EQ(decode(device.answer(first), reply), 0);
    auto second = emitPending();
    EXPECT_EQ(second, writeModuleFrame(1, 1024, &firmware[1024], 1024));
    ASSERT_EQ(decode(mmeFrame(0xA062, 64, broadcast, kStranger), reply), 0);
    emitPending();
    device.statuses = {0x01};
    ASSERT_EQ(decode(device.answer(second), reply), 0);
    auto resend = emitPending();
    EXPECT_EQ(resend, second) << "the resend keeps the device's address";
    ASSERT_EQ(decode(device.answer(resend), reply), 0);
    // ... and so does the commit that ends the write.
    auto frames = runTransfer(device, reply);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.back(), commitFrame(0x03));
}

TEST_F(ImageWrite, ConfirmationsOfAThirdStationAreRefused) {
    ASSERT_EQ(start(0x23), 0);
    auto first = emitPending();
    ASSERT_EQ(decode(device.answer(first), reply), 0);
    auto second = emitPending();
    auto confirmation = device.answer(second);
    errno = 0;
    EXPECT_EQ(decode(fromStranger(confirmation), reply), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_TRUE(emitPending().empty()) << "the write did not move";
    ASSERT_EQ(decode(confirmation, reply), 0);
    EXPECT_EQ(emitPending(), writeModuleFrame(1, 2048, &firmware[2048], 952));
}

TEST_F(ImageWrite, StaleOrForeignFailuresDoNotUseUpTheResends) {
    ASSERT_EQ(start(0x23), 0);
    auto first = emitPending();
    device.statuses = {0x00};
    auto good = device.answer(first);
    ASSERT_EQ(decode(good, reply), 0);
    auto second = emitPending();
    // The first block's confirmation again, now with a failure status, and a
    // third station's failure for the block in flight: neither counts.
    auto staleFailure = good;
    staleFailure[20] = 0x01;
    device.statuses = {0x01};
    auto foreignFailure = fromStranger(device.answer(second));
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(decode(staleFailure, reply), -1);
        EXPECT_EQ(decode(foreignFailure, reply), -1);
    }
    EXPECT_EQ(plcSequence.retries, 3) << "the budget of the block in flight is whole";
    EXPECT_TRUE(emitPending().empty());
    // The device's own failures still get their three resends.
    device.statuses = {0x01, 0x01, 0x01};
    auto frame = second;
    for (int resend = 0; resend < 3; ++resend) {
        ASSERT_EQ(decode(device.answer(frame), reply), 0);
        frame = emitPending();
        ASSERT_EQ(frame, second);
    }
    ASSERT_EQ(decode(device.answer(frame), reply), 0);
    EXPECT_EQ(emitPending(), writeModuleFrame(1, 2048, &firmware[2048], 952));
}

TEST_F(ImageWrite, CommitConfirmationEndsOnlyTheFinishedWrite) {
    ASSERT_EQ(start(0x23), 0);
    auto first = emitPending();
    // Blocks are still to go: a commit confirmation, the device's own or a
    // third station's, is refused and the write goes on.
    auto early = mmeFrame(0xA029, 64);
    EXPECT_EQ(decode(early, reply), -1);
    EXPECT_EQ(decode(fromStranger(early), reply), -1);
    EXPECT_EQ(plcSequence.kind, 7u);
    // Write every block; the commit request is in flight.
    for (int guard = 0; guard < 100; ++guard) {
        auto frame = guard == 0 ? first : emitPending();
        ASSERT_FALSE(frame.empty());
        if (frame[15] == 0x28) {
            EXPECT_EQ(frame, commitFrame(0x03));
            break;
        }
        ASSERT_EQ(decode(device.answer(frame), reply), 0);
    }
    EXPECT_EQ(decode(fromStranger(early), reply), -1) << "a third station's";
    EXPECT_EQ(decode(mmeFrame(0xA00D, 64), reply), -1) << "a start confirmation";
    EXPECT_EQ(plcSequence.kind, 7u);
    ASSERT_EQ(decode(early, reply), 0);
    EXPECT_EQ(reply.kind, 7u);
    EXPECT_EQ(reply.state, 2u);
    EXPECT_EQ(plcSequence.kind, 0u);
}

} // namespace
