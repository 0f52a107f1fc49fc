// PibImage: checks, personalises and re-checksums a parameter block (.PIB).
// Every read stays within the bytes the caller handed over; table and
// sub-entry counts taken from the block are bounded by the block's length.
#include <cstring>

#include "plcapi/bytes.h"
#include "plcapi/plcapi.h"

using namespace plcapi_detail;

namespace {

constexpr uint32_t kListOffset = 268;
constexpr uint32_t kListEntries = 278;
constexpr uint32_t kListEntrySize = 7;
constexpr uint32_t kTableCount = 556;
constexpr uint32_t kTableEntries = 784;
constexpr uint32_t kTableEntrySize = 100;
constexpr uint32_t kSubEntrySize = 24;

bool inRange(uint32_t v, uint32_t low, uint32_t high) {
    return v >= low && v <= high;
}

// The list at 268, checked when byte 268 is 1.
bool listPasses(const uint8_t* b) {
    if (b[269] == 0 || b[269] == 0xFF || (b[270] & 0x01)) {
        return false;
    }
    uint32_t n = b[277];
    if (kListEntries + n * kListEntrySize > kPibLength33) {
        return false;
    }
    for (uint32_t i = 0; i < n; ++i) {
        const uint8_t* e = b + kListEntries + i * kListEntrySize;
        if (e[0] == 0 || e[0] == 0xFF || (e[1] & 0x01)) {
            return false;
        }
    }
    return true;
}

bool subEntriesPass(const uint8_t* e, uint32_t entryOffset) {
    uint32_t s = getLe16(e + 2);
    if (entryOffset + 4 + uint64_t{s} * kSubEntrySize > kPibLength33) {
        return false;
    }
    for (uint32_t j = 0; j < s; ++j) {
        const uint8_t* sub = e + 4 + j * kSubEntrySize;
        uint32_t a = getLe32(sub);
        uint32_t bWord = getLe32(sub + 4);
        if (bWord >= 2 || !(a < 0x10 || a == 0xE2)) {
            return false;
        }
    }
    return true;
}

bool entryPasses(const uint8_t* block, uint32_t entryOffset) {
    const uint8_t* e = block + entryOffset;
    if (e[1] >= 2 || !subEntriesPass(e, entryOffset)) {
        return false;
    }
    if (e[76] >= 4 || (e[76] != 0 && e[77] >= 4) || e[78] >= 2 || e[79] >= 2) {
        return false;
    }
    if (!inRange(getLe32(e + 80), 10000, 2000000) || !inRange(getLe16(e + 88), 1, 10000)) {
        return false;
    }
    return e[90] < 2 && (e[76] == 2 || e[91] >= 4);
}

bool tablePasses(const uint8_t* b) {
    uint32_t m = getLe32(b + kTableCount);
    if (m > (kPibLength33 - kTableEntries) / kTableEntrySize) {
        return false;
    }
    for (uint32_t k = 0; k < m; ++k) {
        if (!entryPasses(b, kTableEntries + k * kTableEntrySize)) {
            return false;
        }
    }
    return true;
}

// The section checks of a version 3.3 block of 7992 bytes, in order.
bool sectionsPass(const uint8_t* b) {
    if ((b[12] & 0x01) || b[244] >= 4 || b[245] >= 3 || b[246] >= 3 || (b[254] & 0xE0)) {
        return false;
    }
    if (b[256] == 1 && b[257] >= 2) {
        return false;
    }
    if (b[kListOffset] == 1 && !listPasses(b)) {
        return false;
    }
    if (!tablePasses(b) || b[2384] > 8 || getLe32(b + 2572) >= 2) {
        return false;
    }
    if (!inRange(getLe32(b + 7824), 20, 180)) {
        return false;
    }
    return !(b[7828] == 1 && b[7829] > b[7830]);
}

bool macRefused(const uint8_t* mac) {
    static const uint8_t reserved[3][6] = {{0x00, 0xB0, 0x52, 0x00, 0x00, 0x01},
                                           {0x00, 0xB0, 0x52, 0x00, 0x00, 0x02},
                                           {0x00, 0xB0, 0x52, 0x00, 0x00, 0x03}};
    if (mac[0] & 0x01) {
        return true;
    }
    for (const auto& r : reserved) {
        if (std::memcmp(mac, r, 6) == 0) {
            return true;
        }
    }
    return false;
}

} // namespace

int PibImage::attach(uint8_t* block, uint32_t size) {
    block_ = block;
    size_ = block == nullptr ? 0 : size;
    return validate();
}

int PibImage::validate() {
    validated_ = 0;
    if (block_ == nullptr) {
        return kPibNoBlock;
    }
    if (size_ < 2) {
        return kPibBadLength;
    }
    if (block_[0] != 3 || block_[1] != 3) {
        return kPibNotVersion33;
    }
    if (size_ < kPibLength33 || getLe16(block_ + offsetof(PibHeader, length)) != kPibLength33) {
        return kPibBadLength;
    }
    if (!sectionsPass(block_)) {
        return kPibSectionFailed;
    }
    validated_ = 1;
    return kPibOk;
}

bool PibImage::versionBelow14() const {
    return block_[0] < 1 || (block_[0] == 1 && block_[1] < 4);
}

int PibImage::setMac(const uint8_t* mac) {
    if (block_ == nullptr) {
        return kPibNoBlock;
    }
    if (size_ < 2) {
        return kPibBadLength;
    }
    if (versionBelow14()) {
        return kPibVersionTooOld;
    }
    if (mac == nullptr || macRefused(mac)) {
        return kPibMacRefused;
    }
    if (size_ < offsetof(PibHeader, mac) + 6) {
        return kPibBadLength;
    }
    std::memcpy(block_ + offsetof(PibHeader, mac), mac, 6);
    return kPibOk;
}

int PibImage::getNmk(uint8_t* nmk) const {
    if (block_ == nullptr) {
        return kPibNoBlock;
    }
    if (size_ < 2) {
        return kPibBadLength;
    }
    if (versionBelow14()) {
        return kPibVersionTooOld;
    }
    if (size_ < sizeof(PibHeader) || nmk == nullptr) {
        return kPibBadLength;
    }
    std::memcpy(nmk, block_ + offsetof(PibHeader, nmk), 16);
    return kPibOk;
}

int PibImage::rechecksum(uint8_t* block, uint32_t size) {
    int result = attach(block, size);
    if (result >= 4) {
        return result;
    }
    if (size_ < offsetof(PibHeader, checksum) + 4) {
        return kPibBadLength;
    }
    putLe32(block_ + offsetof(PibHeader, checksum), 0);
    uint32_t length = getLe16(block_ + offsetof(PibHeader, length));
    if (length > kPibMaxChecksumLength || length > size_) {
        return kPibBadLength;
    }
    putLe32(block_ + offsetof(PibHeader, checksum), Checksum32(length / 4, block_, 0));
    return result;
}

void PibImage::release() {
    block_ = nullptr;
    size_ = 0;
    validated_ = 0;
}
