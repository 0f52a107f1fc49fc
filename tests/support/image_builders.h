#pragma once
// Builders of HomePlug AV image files for tests: a parameter block (.PIB) of
// version 3.3 that passes every section check, and firmware images (.NVM) as
// chains of 44-byte block headers. Checksums are computed here, independently
// of the management library.
#include <cstddef>
#include <cstdint>
#include <vector>

// Complement of the XOR of `words` little-endian 32-bit words and `initial`.
uint32_t testChecksum32(const uint8_t* bytes, size_t words, uint32_t initial = 0);

// Deterministic filler bytes, different for each seed.
std::vector<uint8_t> patternBytes(size_t count, uint8_t seed);

// Where the fields of the valid block live, for tests that break one rule.
struct Pib33Layout {
    static constexpr size_t kLength = 7992;
    static constexpr size_t kMac = 12;
    static constexpr size_t kNmk = 100;
    static constexpr size_t kChecksum = 8;
    static constexpr size_t kListCount = 277;  // entries of 7 bytes from 278
    static constexpr size_t kTableCount = 556; // u32; entries of 100 bytes from 784
    static constexpr size_t kTableEntries = 784;
    static constexpr size_t kListEntries = 3;     // how many list entries the builder writes
    static constexpr size_t kTableEntryCount = 2; // how many table entries it writes
    static constexpr size_t kSubEntries = 2;      // sub-entries in each table entry
};

// A 7992-byte version 3.3 block that passes every check, with the given MAC
// and NMK, non-trivial list and table contents and a checksum that verifies.
std::vector<uint8_t> makeValidPib33(const uint8_t* mac = nullptr, const uint8_t* nmk = nullptr);
// Rewrites the checksum at offset 8 over the block's declared length.
void setPibChecksum(std::vector<uint8_t>& block);
void putLe16At(std::vector<uint8_t>& bytes, size_t offset, uint16_t value);
void putLe32At(std::vector<uint8_t>& bytes, size_t offset, uint32_t value);
uint32_t getLe32At(const std::vector<uint8_t>& bytes, size_t offset);

// One block of a firmware image.
struct NvmBlockSpec {
    uint32_t loadAddress = 0;
    std::vector<uint8_t> image;
    uint32_t word16 = 0; // header words carried into the start request
    uint32_t word20 = 0;
};
// Writes a 44-byte header with a good checksum at `offset` of `file`.
void putNvmHeader(std::vector<uint8_t>& file, size_t offset, uint32_t loadAddress,
                  uint32_t imageLength, uint32_t word16, uint32_t word20, uint32_t nextHeader);
// A firmware file: each block's header followed by its image, each header's
// next-header offset naming the following header (0 in the last).
std::vector<uint8_t> makeNvmImage(const std::vector<NvmBlockSpec>& blocks);
