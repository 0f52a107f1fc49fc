// Random frames through the decoder, a few thousand with a fixed seed: every
// frame lies in a heap buffer of exactly its length, so a read past the bytes
// that arrived is caught by the address sanitizer. Some runs have a module
// read or an image write in flight, so the confirmations reach the sequence
// handlers too; the pending frame must always stay emittable.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "plcapi/mme_frames.h"
#include "plcapi/plcapi.h"

namespace {

const uint16_t kTypes[] = {0xA001, 0xA005, 0xA00D, 0xA01D, 0xA021, 0xA025, 0xA029,
                           0xA031, 0xA035, 0xA036, 0xA039, 0xA051, 0xA055, 0xA059,
                           0xA05D, 0xA062, 0xA06D, 0xA071, 0xA07D, 0xA091, 0xA095};

class DecodeFuzz : public ::testing::Test {
  protected:
    void SetUp() override { resetPlcapi(); }
    void TearDown() override { resetPlcapi(); }
};

// A frame of a random length, usually with a valid header and a known type,
// sometimes with header bytes changed; the payload is random, with small
// numbers in the length and offset fields now and then.
std::vector<uint8_t> randomFrame(std::mt19937& rng) {
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> pick(0, 99);
    size_t length = pick(rng) < 70 ? std::uniform_int_distribution<size_t>(0, 120)(rng)
                                   : std::uniform_int_distribution<size_t>(0, 1514)(rng);
    uint16_t type = kTypes[std::uniform_int_distribution<size_t>(0, std::size(kTypes) - 1)(rng)];
    std::vector<uint8_t> f = mmeFrame(type, length < 20 ? 20 : length, kHostMac, kDeviceMac);
    for (size_t i = 20; i < f.size(); ++i)
        f[i] = pick(rng) < 50 ? 0 : static_cast<uint8_t>(byte(rng));
    if (f.size() > 34 && pick(rng) < 50) {
        // A plausible chunk: module 1 or 2, a length of up to 1100, offset 0.
        f[20] = 0;
        f[24] = static_cast<uint8_t>(1 + pick(rng) % 2);
        uint16_t chunk = static_cast<uint16_t>(std::uniform_int_distribution<int>(0, 1100)(rng));
        f[26] = static_cast<uint8_t>(chunk);
        f[27] = static_cast<uint8_t>(chunk >> 8);
        std::memset(&f[28], 0, 4);
    }
    if (pick(rng) < 5)
        f[12 + pick(rng) % 8] ^= static_cast<uint8_t>(1 + pick(rng) % 255);
    f.resize(length);
    return f;
}

void startRandomSequence(std::mt19937& rng, const std::vector<uint8_t>& image) {
    switch (std::uniform_int_distribution<int>(0, 3)(rng)) {
    case 0:
        plcapi_StartModuleRead(kHostMac, kDeviceMac, 1 + rng() % 3);
        break;
    case 1:
        plcapi_StartImageWrite(kHostMac, kDeviceMac, static_cast<uint32_t>(image.size()),
                               image.data(), static_cast<uint32_t>(image.size()), image.data(),
                               rng() & 0x33);
        break;
    default:
        resetPlcapi();
        break;
    }
}

TEST_F(DecodeFuzz, RandomFramesStayInsideTheirBytes) {
    std::mt19937 rng(20261207);
    std::vector<uint8_t> image = patternBytes(3000, 7);
    PlcReply reply{};
    std::vector<uint8_t> out(kMmeFrameCapacity);
    int decoded = 0;
    for (int i = 0; i < 4000; ++i) {
        if (i % 50 == 0)
            startRandomSequence(rng, image);
        std::vector<uint8_t> f = randomFrame(rng);
        // Exactly the bytes that arrived, on the heap.
        std::unique_ptr<uint8_t[]> exact(new uint8_t[f.size() ? f.size() : 1]);
        if (!f.empty())
            std::memcpy(exact.get(), f.data(), f.size());
        if (plcapi_DecodeFrame(static_cast<uint32_t>(f.size()), exact.get(), &reply) == 0)
            ++decoded;
        uint32_t length = reply.dataLength;
        ASSERT_LE(length, sizeof reply.data);
        // Whatever the decoder left pending can be emitted into the usual buffer.
        if (plcSequence.pending.pending) {
            uint32_t n = plcapi_NextFrame(kMmeFrameCapacity, out.data());
            ASSERT_GE(n, kMmeMinFrameLength);
            ASSERT_LE(n, kMmeFrameCapacity);
        }
    }
    // The run reached the decoders, not only the header checks.
    EXPECT_GT(decoded, 500);
}

} // namespace
