#pragma once
// Frames for the management library's tests, written from the frame layout:
// destination, source, EtherType 88 E1, MMV 0, little-endian MMTYPE, OUI 00 B0 52.
#include <cstdint>
#include <cstring>
#include <vector>

#include "plcapi/plcapi.h"
#include "support/image_builders.h"

inline const uint8_t kHostMac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
inline const uint8_t kDeviceMac[6] = {0x00, 0xB0, 0x52, 0x12, 0x34, 0x56};
inline const uint8_t kLocalMgmtMac[6] = {0x00, 0xB0, 0x52, 0x00, 0x00, 0x01};

// A frame of `length` bytes (zero payload) with the header filled in.
inline std::vector<uint8_t> mmeFrame(uint16_t mmtype, size_t length,
                                     const uint8_t* destination = kHostMac,
                                     const uint8_t* source = kDeviceMac) {
    std::vector<uint8_t> f(length, 0);
    std::memcpy(&f[0], destination, 6);
    std::memcpy(&f[6], source, 6);
    f[12] = 0x88;
    f[13] = 0xE1;
    f[14] = 0x00;
    f[15] = static_cast<uint8_t>(mmtype & 0xFF);
    f[16] = static_cast<uint8_t>(mmtype >> 8);
    f[17] = 0x00;
    f[18] = 0xB0;
    f[19] = 0x52;
    return f;
}

inline uint16_t le16At(const std::vector<uint8_t>& b, size_t offset) {
    return static_cast<uint16_t>(b.at(offset) | (b.at(offset + 1) << 8));
}

// Emits the pending frame; empty when none.
inline std::vector<uint8_t> emitPending() {
    std::vector<uint8_t> buffer(kMmeFrameCapacity, 0xEE);
    uint32_t n = plcapi_NextFrame(kMmeFrameCapacity, buffer.data());
    buffer.resize(n);
    return buffer;
}

inline int decode(const std::vector<uint8_t>& frame, PlcReply& reply) {
    return plcapi_DecodeFrame(static_cast<uint32_t>(frame.size()), frame.data(), &reply);
}
