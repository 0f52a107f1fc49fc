#pragma once
// A cooperating HomePlug AV device for the fuzz targets: stamps a valid vendor
// header on a frame and makes a read or write confirmation answer the request
// of the transfer in flight, so the fuzzer reaches the transfer's later blocks.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "plcapi/bytes.h"
#include "plcapi/plcapi.h"

inline const uint8_t kAvHostMac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
inline const uint8_t kAvDeviceMac[6] = {0x00, 0xB0, 0x52, 0x12, 0x34, 0x56};

inline void avStampHeader(std::vector<uint8_t>& f) {
    if (f.size() < kMmeHeaderEnd)
        f.resize(kMmeHeaderEnd);
    std::memcpy(&f[0], kAvHostMac, 6);
    std::memcpy(&f[6], kAvDeviceMac, 6);
    f[12] = 0x88;
    f[13] = 0xE1;
    f[14] = kMmeMmv;
    std::memcpy(&f[17], kMmeVendorOui, 3);
}

inline uint16_t avMmtypeOf(const std::vector<uint8_t>& f) {
    return f.size() >= 17 ? plcapi_detail::getLe16(&f[15]) : 0;
}

// A read confirmation that answers the request in flight.
inline void avEchoRead(std::vector<uint8_t>& f, bool headerChecksum) {
    const PlcSequence& s = plcSequence;
    uint32_t length = s.blockLength;
    if (f.size() < 36 + length)
        f.resize(36 + length);
    f[24] = s.blockModule;
    plcapi_detail::putLe16(&f[26], static_cast<uint16_t>(length));
    plcapi_detail::putLe32(&f[28], s.blockPosition);
    uint8_t* data = &f[36];
    if (headerChecksum && s.blockModule == 1 && s.blockPosition == s.nextHeader &&
        length >= sizeof(NvmBlockHeader)) {
        plcapi_detail::putLe32(data + offsetof(NvmBlockHeader, checksum), Checksum32(10, data, 0));
    }
    // Stored checksum c verifies when Checksum32(words, data, c) == 0.
    plcapi_detail::putLe32(&f[32], ~Checksum32(length / 4, data, 0));
}

inline void avEchoWrite(std::vector<uint8_t>& f, uint16_t mmtype) {
    const PlcSequence& s = plcSequence;
    if (f.size() < 29)
        f.resize(29);
    if (mmtype == (kMmtypeWriteMemory | 1)) {
        plcapi_detail::putLe32(&f[21], s.blockPosition);
        plcapi_detail::putLe32(&f[25], s.blockLength);
    } else {
        f[21] = s.blockModule;
        plcapi_detail::putLe16(&f[23], static_cast<uint16_t>(s.blockLength));
        plcapi_detail::putLe32(&f[25], s.blockPosition);
    }
}
