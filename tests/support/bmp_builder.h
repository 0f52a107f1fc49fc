#pragma once
// Builds .bmp files in memory for tests: a BITMAPINFOHEADER file with an
// optional palette (BGRX entries) and the given rows, each padded to 4 bytes.
// Header-only, so the Qt test programs can use it too.
#include <cstdint>
#include <cstring>
#include <vector>

namespace bmp {
inline void put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
    b[at] = v & 0xFF;
    b[at + 1] = v >> 8;
}
inline void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int n = 0; n < 4; ++n)
        b[at + n] = (v >> (8 * n)) & 0xFF;
}

// Rows are given in file order: bottom-up for a positive height, top-down
// for a negative one.
inline std::vector<uint8_t> build(int32_t width, int32_t height, uint16_t bits,
                                  const std::vector<uint32_t>& palette,
                                  const std::vector<std::vector<uint8_t>>& rows) {
    const size_t paletteBytes = palette.size() * 4;
    const size_t stride = (size_t(width) * bits + 31) / 32 * 4;
    const size_t offBits = 14 + 40 + paletteBytes;
    std::vector<uint8_t> b(offBits + stride * rows.size(), 0);
    b[0] = 'B';
    b[1] = 'M';
    put32(b, 2, uint32_t(b.size()));
    put32(b, 10, uint32_t(offBits));
    put32(b, 14, 40);
    put32(b, 18, uint32_t(width));
    put32(b, 22, uint32_t(height));
    put16(b, 26, 1);
    put16(b, 28, bits);
    put32(b, 46, uint32_t(palette.size()));
    for (size_t n = 0; n < palette.size(); ++n)
        put32(b, 54 + 4 * n, palette[n]);
    for (size_t r = 0; r < rows.size(); ++r)
        std::memcpy(b.data() + offBits + r * stride, rows[r].data(), rows[r].size());
    return b;
}

// A 24-bit picture whose pixel (x, y) from the top is colour(x, y) as 0xRRGGBB.
template <typename Colour> std::vector<uint8_t> trueColour(int width, int height, Colour colour) {
    std::vector<std::vector<uint8_t>> rows;
    for (int y = height - 1; y >= 0; --y) {
        std::vector<uint8_t> row;
        for (int x = 0; x < width; ++x) {
            const uint32_t c = colour(x, y);
            row.push_back(c & 0xFF);
            row.push_back((c >> 8) & 0xFF);
            row.push_back((c >> 16) & 0xFF);
        }
        rows.push_back(row);
    }
    return build(width, height, 24, {}, rows);
}
} // namespace bmp
