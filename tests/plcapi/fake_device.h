#pragma once
// A HomePlug AV device stand-in for the transfer tests. It parses the frames
// the library emits from the frame layout alone, keeps what they write (module
// images by module offset, memory writes by address), serves module reads from
// its own images and answers each request with its confirmation.
#include <gtest/gtest.h>

#include <deque>
#include <map>

#include "mme_frames.h"

class FakeDevice {
  public:
    // Module contents served to reads and filled by write module requests.
    std::map<uint8_t, std::vector<uint8_t>> modules;
    // Device memory written by write memory requests: address → byte.
    std::map<uint32_t, uint8_t> memory;
    std::vector<uint8_t> commitMasks;
    std::vector<std::vector<uint8_t>> startPayloads; // bytes 20..39 of each start request
    // Statuses for the next answers (0 when empty).
    std::deque<uint8_t> statuses;
    int badChecksums = 0; // write module blocks whose checksum did not verify

    std::vector<uint8_t> answer(const std::vector<uint8_t>& request) {
        EXPECT_GE(request.size(), 64u);
        EXPECT_EQ(request[12], 0x88);
        EXPECT_EQ(request[13], 0xE1);
        uint16_t type = le16At(request, 15);
        uint8_t status = 0;
        if (!statuses.empty()) {
            status = statuses.front();
            statuses.pop_front();
        }
        switch (type) {
        case 0xA020:
            return writeModule(request, status);
        case 0xA004:
            return writeMemory(request, status);
        case 0xA024:
            return readModule(request, status);
        case 0xA028:
            commitMasks.push_back(request[20]);
            return confirmation(request, 0xA029, status);
        case 0xA00C:
            startPayloads.emplace_back(request.begin() + 20, request.begin() + 40);
            return confirmation(request, 0xA00D, status);
        default:
            ADD_FAILURE() << "unexpected request type " << std::hex << type;
            return {};
        }
    }

    // The bytes written to memory from `address` on, `count` of them (0 where unwritten).
    std::vector<uint8_t> memoryAt(uint32_t address, size_t count) const {
        std::vector<uint8_t> out(count, 0);
        for (size_t i = 0; i < count; ++i) {
            auto it = memory.find(address + static_cast<uint32_t>(i));
            if (it != memory.end()) {
                out[i] = it->second;
            }
        }
        return out;
    }

  private:
    static std::vector<uint8_t> confirmation(const std::vector<uint8_t>& request, uint16_t type,
                                             uint8_t status) {
        auto c = mmeFrame(type, 64, &request[6], &request[0]);
        c[20] = status;
        return c;
    }

    std::vector<uint8_t> writeModule(const std::vector<uint8_t>& r, uint8_t status) {
        uint8_t module = r[20];
        uint16_t length = le16At(r, 22);
        uint32_t offset = getLe32At(r, 24);
        uint32_t checksum = getLe32At(r, 28);
        EXPECT_LE(length, 1024);
        EXPECT_GE(r.size(), 32u + length);
        if (testChecksum32(&r[32], length / 4) != checksum) {
            ++badChecksums;
        }
        if (status == 0) {
            auto& image = modules[module];
            if (image.size() < offset + length) {
                image.resize(offset + length);
            }
            std::memcpy(&image[offset], &r[32], length);
        }
        auto c = confirmation(r, 0xA021, status);
        c[21] = module;
        c[23] = r[22];
        c[24] = r[23];
        std::memcpy(&c[25], &r[24], 4);
        return c;
    }

    std::vector<uint8_t> writeMemory(const std::vector<uint8_t>& r, uint8_t status) {
        uint32_t address = getLe32At(r, 20);
        uint32_t length = getLe32At(r, 24);
        EXPECT_LE(length, 1024u);
        EXPECT_GE(r.size(), 28u + length);
        if (status == 0) {
            for (uint32_t i = 0; i < length; ++i) {
                memory[address + i] = r[28 + i];
            }
        }
        auto c = confirmation(r, 0xA005, status);
        std::memcpy(&c[21], &r[20], 8);
        return c;
    }

    std::vector<uint8_t> readModule(const std::vector<uint8_t>& r, uint8_t status) {
        uint8_t module = r[20];
        uint16_t length = le16At(r, 22);
        uint32_t offset = getLe32At(r, 24);
        const auto& image = modules[module];
        auto c = mmeFrame(0xA025, 36 + length < 64 ? 64 : 36 + length, &r[6], &r[0]);
        c[20] = status;
        c[24] = module;
        c[26] = r[22];
        c[27] = r[23];
        std::memcpy(&c[28], &r[24], 4);
        for (uint32_t i = 0; i < length && offset + i < image.size(); ++i) {
            c[36 + i] = image[offset + i];
        }
        uint32_t sum = testChecksum32(&c[36], length / 4);
        for (int i = 0; i < 4; ++i) {
            c[32 + i] = static_cast<uint8_t>(sum >> (8 * i));
        }
        return c;
    }
};

// Emits, answers and decodes until the reply's state is 2; returns every
// emitted frame. `lastReply` receives the final reply.
inline std::vector<std::vector<uint8_t>> runTransfer(FakeDevice& device, PlcReply& lastReply,
                                                     size_t maxFrames = 200) {
    std::vector<std::vector<uint8_t>> frames;
    while (frames.size() < maxFrames) {
        auto frame = emitPending();
        if (frame.empty()) {
            ADD_FAILURE() << "no pending frame after " << frames.size() << " frames";
            break;
        }
        frames.push_back(frame);
        auto c = device.answer(frame);
        if (decode(c, lastReply) != 0) {
            ADD_FAILURE() << "decoding the answer failed, errno " << errno;
            break;
        }
        if (lastReply.state == kReplyStateComplete) {
            break;
        }
        EXPECT_EQ(lastReply.state, kReplyStatePending);
    }
    return frames;
}
