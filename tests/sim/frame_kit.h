#pragma once
// Hand-built request frames and byte checks for the emulator's tests. Written
// from the frame layouts, independent of the emulator's own builders.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "sim/network.h"

namespace kit {

using Bytes = std::vector<uint8_t>;
using sim::Mac;

inline const Mac kHost = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
inline const Mac kMgmt = {0x00, 0xB0, 0x52, 0x00, 0x00, 0x01};
inline const Mac kBcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

inline Mac mac(const char* text) {
    return sim::parseMac(text);
}

inline void putLe(Bytes& f, size_t at, uint64_t v, int width) {
    for (int i = 0; i < width; ++i)
        f[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void putBe(Bytes& f, size_t at, uint64_t v, int width) {
    for (int i = 0; i < width; ++i)
        f[at + i] = static_cast<uint8_t>(v >> (8 * (width - 1 - i)));
}
inline uint32_t le(const Bytes& f, size_t at, int width) {
    uint32_t v = 0;
    for (int i = width - 1; i >= 0; --i)
        v = (v << 8) | f.at(at + i);
    return v;
}
inline uint32_t be(const Bytes& f, size_t at, int width) {
    uint32_t v = 0;
    for (int i = 0; i < width; ++i)
        v = (v << 8) | f.at(at + i);
    return v;
}

// A HomePlug AV request: header, `mmtype`, payload from offset 20, 64 bytes at least.
inline Bytes av(const Mac& dst, uint16_t mmtype, const Bytes& payload = {},
                const Mac& src = kHost) {
    Bytes f(std::max<size_t>(64, 20 + payload.size()), 0);
    std::memcpy(f.data(), dst.data(), 6);
    std::memcpy(f.data() + 6, src.data(), 6);
    f[12] = 0x88;
    f[13] = 0xE1;
    f[14] = 0x00;
    f[15] = static_cast<uint8_t>(mmtype);
    f[16] = static_cast<uint8_t>(mmtype >> 8);
    f[17] = 0x00;
    f[18] = 0xB0;
    f[19] = 0x52;
    if (!payload.empty())
        std::memcpy(f.data() + 20, payload.data(), payload.size());
    return f;
}

struct Entry {
    uint8_t type;
    Bytes data;
    int length = -1; // the length byte when it differs from data.size()
};

// A HomePlug 1.0 frame of entries, `minLength` bytes at least (zero-padded).
inline Bytes hp10(const Mac& dst, std::initializer_list<Entry> entries, size_t minLength = 60,
                  const Mac& src = kHost) {
    Bytes f(15, 0);
    std::memcpy(f.data(), dst.data(), 6);
    std::memcpy(f.data() + 6, src.data(), 6);
    f[12] = 0x88;
    f[13] = 0x7B;
    f[14] = static_cast<uint8_t>(entries.size());
    for (const Entry& e : entries) {
        f.push_back(e.type);
        f.push_back(static_cast<uint8_t>(e.length >= 0 ? e.length : e.data.size()));
        f.insert(f.end(), e.data.begin(), e.data.end());
    }
    if (f.size() < minLength)
        f.resize(minLength, 0);
    return f;
}

// The one's complement of the XOR of little-endian words (whole words only,
// or with a zero-padded tail).
inline uint32_t xorSum(const uint8_t* p, size_t n, uint32_t initial = 0, bool tail = false) {
    uint32_t x = initial;
    size_t i = 0;
    for (; i + 4 <= n; i += 4)
        x ^= uint32_t(p[i]) | uint32_t(p[i + 1]) << 8 | uint32_t(p[i + 2]) << 16 |
             uint32_t(p[i + 3]) << 24;
    if (tail && i < n) {
        uint32_t w = 0;
        for (size_t k = 0; i + k < n; ++k)
            w |= uint32_t(p[i + k]) << (8 * k);
        x ^= w;
    }
    return ~x;
}

inline Bytes bytesOf(const std::string& s) {
    return Bytes(s.begin(), s.end());
}
template <size_t N> Bytes bytesOf(const std::array<uint8_t, N>& a) {
    return Bytes(a.begin(), a.end());
}
inline Bytes slice(const Bytes& f, size_t at, size_t n) {
    EXPECT_LE(at + n, f.size());
    if (at + n > f.size())
        return {};
    return Bytes(f.begin() + static_cast<long>(at), f.begin() + static_cast<long>(at + n));
}
inline Mac macAt(const Bytes& f, size_t at) {
    Mac m{};
    if (at + 6 <= f.size())
        std::memcpy(m.data(), f.data() + at, 6);
    return m;
}

// Runs one frame through the network and returns the answer frames.
inline std::vector<Bytes> send(sim::Network& net, const Bytes& frame) {
    std::vector<Bytes> out;
    for (auto& a : net.handle(frame.data(), frame.size()))
        out.push_back(a.frame);
    return out;
}

// The answers whose source is `from`.
inline std::vector<Bytes> from(const std::vector<Bytes>& frames, const Mac& source) {
    std::vector<Bytes> out;
    for (const Bytes& f : frames)
        if (macAt(f, 6) == source)
            out.push_back(f);
    return out;
}

} // namespace kit
