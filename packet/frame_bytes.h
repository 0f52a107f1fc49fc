#pragma once
// Byte-level helpers every layer that reads or builds frames shares: the
// broadcast address, the EtherType of a received frame, the little- and
// big-endian field readers and writers, the text of a fixed-size field, and
// FrameView, the bounds-checked view of a received frame. There is one of
// each; the protocol layers above build on them.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

// FF:FF:FF:FF:FF:FF, the destination of every request whose receiver is not
// yet learned.
inline constexpr uint8_t kBroadcastMac[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// ---- Field readers and writers (the caller has checked the bytes are there) ----
inline uint16_t getLe16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t getLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint16_t getBe16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
inline uint32_t getBe32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}
inline void putLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void putLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}
inline void putBe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void putBe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
    }
}

// A received frame: every read is checked against the bytes that arrived, and a
// byte that did not arrive reads as zero (what padding would have carried).
class FrameView {
  public:
    FrameView(const uint8_t* bytes, uint32_t length)
        : bytes_(bytes), length_(bytes != nullptr ? length : 0) {}
    uint32_t length() const { return length_; }
    bool holds(uint32_t offset, uint32_t count) const {
        return offset <= length_ && count <= length_ - offset;
    }
    uint8_t u8(uint32_t offset) const { return offset < length_ ? bytes_[offset] : 0; }
    uint16_t u16(uint32_t offset) const { return holds(offset, 2) ? getLe16(bytes_ + offset) : 0; }
    uint32_t u32(uint32_t offset) const { return holds(offset, 4) ? getLe32(bytes_ + offset) : 0; }
    uint16_t be16(uint32_t offset) const { return holds(offset, 2) ? getBe16(bytes_ + offset) : 0; }
    // The bytes from `offset`, or null when fewer than `count` of them arrived.
    const uint8_t* at(uint32_t offset, uint32_t count = 1) const {
        return holds(offset, count) ? bytes_ + offset : nullptr;
    }
    // Copies up to `count` bytes from `offset`, as many as arrived; the rest
    // of `out` is left as it is (zero in a freshly cleared record).
    void copy(uint8_t* out, uint32_t offset, uint32_t count) const {
        if (offset >= length_) {
            return;
        }
        uint32_t available = length_ - offset;
        std::memcpy(out, bytes_ + offset, count < available ? count : available);
    }
    // True when `count` bytes from `offset` arrived and equal `expected`.
    bool equals(uint32_t offset, const uint8_t* expected, uint32_t count) const {
        return holds(offset, count) && std::memcmp(bytes_ + offset, expected, count) == 0;
    }

  private:
    const uint8_t* bytes_;
    uint32_t length_;
};

// EtherType of a received frame (bytes 12-13, network order); 0 when the frame
// is too short to carry one.
inline uint16_t etherTypeOf(const uint8_t* frame, uint32_t length) {
    return FrameView(frame, length).be16(12);
}

// The text of a fixed-size character field: up to its first NUL, never past
// its end (a field that fills its buffer carries no terminator).
inline std::string fieldText(const char* field, size_t size) {
    size_t n = 0;
    while (n < size && field[n] != '\0') {
        ++n;
    }
    return std::string(field, n);
}
template <size_t N> std::string fieldText(const char (&field)[N]) {
    return fieldText(field, N);
}
