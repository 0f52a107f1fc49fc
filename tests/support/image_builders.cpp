#include "support/image_builders.h"

#include <cstring>

uint32_t testChecksum32(const uint8_t* bytes, size_t words, uint32_t initial) {
    uint32_t x = initial;
    for (size_t i = 0; i < words; ++i) {
        const uint8_t* w = bytes + 4 * i;
        x ^= uint32_t(w[0]) | uint32_t(w[1]) << 8 | uint32_t(w[2]) << 16 | uint32_t(w[3]) << 24;
    }
    return ~x;
}

std::vector<uint8_t> patternBytes(size_t count, uint8_t seed) {
    std::vector<uint8_t> out(count);
    uint32_t state = 0x9E3779B9u * (seed + 1u);
    for (size_t i = 0; i < count; ++i) {
        state = state * 1664525u + 1013904223u;
        out[i] = static_cast<uint8_t>(state >> 24);
    }
    return out;
}

void putLe16At(std::vector<uint8_t>& bytes, size_t offset, uint16_t value) {
    bytes.at(offset) = static_cast<uint8_t>(value);
    bytes.at(offset + 1) = static_cast<uint8_t>(value >> 8);
}

void putLe32At(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) {
        bytes.at(offset + i) = static_cast<uint8_t>(value >> (8 * i));
    }
}

uint32_t getLe32At(const std::vector<uint8_t>& bytes, size_t offset) {
    return uint32_t(bytes.at(offset)) | uint32_t(bytes.at(offset + 1)) << 8 |
           uint32_t(bytes.at(offset + 2)) << 16 | uint32_t(bytes.at(offset + 3)) << 24;
}

void setPibChecksum(std::vector<uint8_t>& block) {
    putLe32At(block, 8, 0);
    size_t length = size_t(block.at(4)) | size_t(block.at(5)) << 8;
    putLe32At(block, 8, testChecksum32(block.data(), length / 4));
}

namespace {

void writeList(std::vector<uint8_t>& b) {
    b[268] = 1;
    b[269] = 0x10;
    b[270] = 0x02;
    b[Pib33Layout::kListCount] = Pib33Layout::kListEntries;
    for (size_t i = 0; i < Pib33Layout::kListEntries; ++i) {
        size_t e = 278 + 7 * i;
        b[e] = static_cast<uint8_t>(0x20 + i);
        b[e + 1] = 0x02;
        b[e + 2] = 0xAA;
    }
}

void writeTableEntry(std::vector<uint8_t>& b, size_t e, uint8_t mode) {
    b[e + 1] = 1;
    putLe16At(b, e + 2, Pib33Layout::kSubEntries);
    putLe32At(b, e + 4, 0x05);      // sub-entry 0: a below 0x10
    putLe32At(b, e + 8, 1);         //              b below 2
    putLe32At(b, e + 4 + 24, 0xE2); // sub-entry 1: a equal to 0xE2
    putLe32At(b, e + 8 + 24, 0);
    b[e + 76] = mode; // 1 or 2
    b[e + 77] = 3;
    b[e + 78] = 1;
    b[e + 79] = 1;
    putLe32At(b, e + 80, mode == 1 ? 10000 : 2000000);
    putLe16At(b, e + 88, mode == 1 ? 1 : 10000);
    b[e + 90] = 1;
    b[e + 91] = mode == 1 ? 4 : 0; // only checked when byte 76 is not 2
}

} // namespace

std::vector<uint8_t> makeValidPib33(const uint8_t* mac, const uint8_t* nmk) {
    static const uint8_t kMac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    static const uint8_t kNmk[16] = {0x50, 0xD3, 0xE4, 0x93, 0x3F, 0x85, 0x5B, 0x70,
                                     0x40, 0x78, 0x4D, 0xF8, 0x15, 0xAA, 0x8D, 0xB7};
    std::vector<uint8_t> b(Pib33Layout::kLength, 0);
    b[0] = 3;
    b[1] = 3;
    putLe16At(b, 4, Pib33Layout::kLength);
    std::memcpy(&b[12], mac ? mac : kMac, 6);
    std::memcpy(&b[100], nmk ? nmk : kNmk, 16);
    b[244] = 3;
    b[245] = 2;
    b[246] = 2;
    b[254] = 0x1F;
    b[256] = 1;
    b[257] = 1;
    writeList(b);
    putLe32At(b, Pib33Layout::kTableCount, Pib33Layout::kTableEntryCount);
    writeTableEntry(b, 784, 1);
    writeTableEntry(b, 884, 2);
    b[2384] = 8;
    putLe32At(b, 2572, 1);
    putLe32At(b, 7824, 180);
    b[7828] = 1;
    b[7829] = 5;
    b[7830] = 5;
    setPibChecksum(b);
    return b;
}

void putNvmHeader(std::vector<uint8_t>& file, size_t offset, uint32_t loadAddress,
                  uint32_t imageLength, uint32_t word16, uint32_t word20, uint32_t nextHeader) {
    for (size_t i = 0; i < 44; ++i) {
        file.at(offset + i) = 0;
    }
    putLe32At(file, offset + 0, 0x00010001); // not interpreted
    putLe32At(file, offset + 8, loadAddress);
    putLe32At(file, offset + 12, imageLength);
    putLe32At(file, offset + 16, word16);
    putLe32At(file, offset + 20, word20);
    putLe32At(file, offset + 36, nextHeader);
    putLe32At(file, offset + 40, testChecksum32(&file[offset], 10));
}

std::vector<uint8_t> makeNvmImage(const std::vector<NvmBlockSpec>& blocks) {
    std::vector<uint8_t> file;
    for (size_t i = 0; i < blocks.size(); ++i) {
        const NvmBlockSpec& block = blocks[i];
        size_t offset = file.size();
        size_t next = offset + 44 + block.image.size();
        file.resize(next);
        putNvmHeader(file, offset, block.loadAddress, static_cast<uint32_t>(block.image.size()),
                     block.word16, block.word20,
                     i + 1 < blocks.size() ? static_cast<uint32_t>(next) : 0);
        std::memcpy(&file[offset + 44], block.image.data(), block.image.size());
    }
    return file;
}
