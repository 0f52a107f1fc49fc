#pragma once
// Little-endian field access and bounded views of received frames, shared by
// the library's sources.
#include <cstdint>
#include <cstring>

namespace plcapi_detail {

inline uint16_t getLe16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t getLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
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

// A received frame: every read is checked against the bytes that arrived, and a
// byte that did not arrive reads as zero (what padding would have carried).
class FrameView {
  public:
    FrameView(const uint8_t* bytes, uint32_t length) : bytes_(bytes), length_(length) {}
    uint32_t length() const { return length_; }
    bool holds(uint32_t offset, uint32_t count) const {
        return offset <= length_ && count <= length_ - offset;
    }
    uint8_t u8(uint32_t offset) const { return offset < length_ ? bytes_[offset] : 0; }
    uint16_t u16(uint32_t offset) const { return holds(offset, 2) ? getLe16(bytes_ + offset) : 0; }
    uint32_t u32(uint32_t offset) const { return holds(offset, 4) ? getLe32(bytes_ + offset) : 0; }
    const uint8_t* at(uint32_t offset) const { return bytes_ + offset; }
    // Copies up to `count` bytes from `offset`, as many as arrived; the rest
    // of `out` is left as it is (zero in a freshly cleared reply).
    void copy(uint8_t* out, uint32_t offset, uint32_t count) const {
        if (offset >= length_) {
            return;
        }
        uint32_t available = length_ - offset;
        std::memcpy(out, bytes_ + offset, count < available ? count : available);
    }

  private:
    const uint8_t* bytes_;
    uint32_t length_;
};

} // namespace plcapi_detail
