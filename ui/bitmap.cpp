#include "ui/bitmap.h"

#include <bit>
#include <cstring>
#include <fstream>

#include "platform/working_folder.h"

static_assert(std::endian::native == std::endian::little, ".bmp headers are read raw");

namespace {
Rgb sharedKey = kWhite;

constexpr uint32_t kBiRgb = 0;

uint32_t opaque(uint8_t red, uint8_t green, uint8_t blue) {
    return 0xFF000000u | (uint32_t{red} << 16) | (uint32_t{green} << 8) | blue;
}

// Replaces pure white by the key colour.
uint32_t keyed(uint8_t blue, uint8_t green, uint8_t red, Rgb key) {
    if (blue == 0xFF && green == 0xFF && red == 0xFF)
        return opaque(key.red, key.green, key.blue);
    return opaque(red, green, blue);
}

struct Layout {
    BmpInfoHeader info{};
    int width = 0;
    int height = 0;
    bool topDown = false;
    uint64_t stride = 0;
    uint64_t rowBytes = 0; // bytes of one row without its padding
    size_t paletteOffset = 0;
    uint32_t paletteCount = 0;
    uint64_t pixelOffset = 0;
};

bool supportedDepth(uint16_t bits) {
    return bits == 1 || bits == 4 || bits == 8 || bits == 24 || bits == 32;
}

BitmapError readHeaders(const uint8_t* bytes, size_t size, Layout& l) {
    if (size < kBmpInfoOffset + sizeof(BmpInfoHeader)) {
        if (size >= 2 && bytes[0] == 'B' && bytes[1] == 'M')
            return BitmapError::BadHeader;
        return BitmapError::NotBitmap;
    }
    BmpFileHeader file{};
    std::memcpy(&file, bytes, sizeof file);
    if (file.type != 0x4D42) // "BM"
        return BitmapError::NotBitmap;
    std::memcpy(&l.info, bytes + kBmpInfoOffset, sizeof l.info);
    const BmpInfoHeader& info = l.info;
    if (info.size < sizeof(BmpInfoHeader) || info.size > size - kBmpInfoOffset)
        return BitmapError::BadHeader;
    if (info.planes != 1 || info.width <= 0 || info.height == 0 || info.height == INT32_MIN)
        return BitmapError::BadHeader;
    if (info.compression != kBiRgb || !supportedDepth(info.bitCount))
        return BitmapError::Unsupported;
    l.width = info.width;
    l.topDown = info.height < 0;
    l.height = l.topDown ? -info.height : info.height;
    if (l.width > kMaxBitmapSide || l.height > kMaxBitmapSide ||
        uint64_t(l.width) * uint64_t(l.height) > kMaxBitmapPixels)
        return BitmapError::TooLarge;
    l.rowBytes = (uint64_t(l.width) * info.bitCount + 7) / 8;
    l.stride = (uint64_t(l.width) * info.bitCount + 31) / 32 * 4;
    return BitmapError::None;
}

BitmapError readPalette(size_t size, Layout& l) {
    const BmpInfoHeader& info = l.info;
    l.paletteOffset = kBmpInfoOffset + info.size;
    if (info.bitCount <= 8) {
        const uint32_t full = 1u << info.bitCount;
        if (info.clrUsed > full)
            return BitmapError::BadHeader;
        l.paletteCount = info.clrUsed != 0 ? info.clrUsed : full;
    }
    const uint64_t paletteEnd = l.paletteOffset + uint64_t(l.paletteCount) * 4;
    if (paletteEnd > size)
        return BitmapError::Truncated;
    return BitmapError::None;
}

BitmapError locatePixels(const uint8_t* bytes, size_t size, Layout& l) {
    BmpFileHeader file{};
    std::memcpy(&file, bytes, sizeof file);
    const uint64_t paletteEnd = l.paletteOffset + uint64_t(l.paletteCount) * 4;
    // A writer that left the offset at zero put the rows right after the palette.
    l.pixelOffset = file.offBits != 0 ? file.offBits : paletteEnd;
    if (l.pixelOffset < kBmpInfoOffset + l.info.size)
        return BitmapError::BadHeader;
    // The last row may come without its padding.
    const uint64_t needed = l.pixelOffset + l.stride * uint64_t(l.height - 1) + l.rowBytes;
    if (needed > size)
        return BitmapError::Truncated;
    return BitmapError::None;
}

std::vector<uint32_t> keyedPalette(const uint8_t* bytes, const Layout& l, Rgb key) {
    std::vector<uint32_t> palette(256, opaque(0, 0, 0));
    for (uint32_t n = 0; n < l.paletteCount; ++n) {
        const uint8_t* entry = bytes + l.paletteOffset + size_t{n} * 4;
        palette[n] = keyed(entry[0], entry[1], entry[2], key);
    }
    return palette;
}

// Index of pixel x in a palettised row of `bits` bits per pixel.
uint8_t paletteIndex(const uint8_t* row, int x, uint16_t bits) {
    if (bits == 8)
        return row[x];
    if (bits == 4)
        return (x % 2 == 0) ? row[x / 2] >> 4 : row[x / 2] & 0x0F;
    return (row[x / 8] >> (7 - x % 8)) & 1;
}

void decodeRow(const uint8_t* row, const Layout& l, const std::vector<uint32_t>& palette, Rgb key,
               uint32_t* out) {
    const uint16_t bits = l.info.bitCount;
    for (int x = 0; x < l.width; ++x) {
        if (bits <= 8) {
            out[x] = palette[paletteIndex(row, x, bits)];
        } else {
            const uint8_t* p = row + size_t(x) * (bits / 8);
            out[x] = keyed(p[0], p[1], p[2], key);
        }
    }
}
} // namespace

BitmapError decodeBitmap(const uint8_t* bytes, size_t size, Rgb key, BitmapImage& out) {
    out = BitmapImage{};
    if (size > kMaxBitmapFileBytes)
        return BitmapError::TooLarge;
    Layout l;
    BitmapError error = readHeaders(bytes, size, l);
    if (error == BitmapError::None)
        error = readPalette(size, l);
    if (error == BitmapError::None)
        error = locatePixels(bytes, size, l);
    if (error != BitmapError::None)
        return error;
    const std::vector<uint32_t> palette = keyedPalette(bytes, l, key);
    BitmapImage image;
    image.width = l.width;
    image.height = l.height;
    image.pixels.resize(size_t(l.width) * size_t(l.height));
    for (int y = 0; y < l.height; ++y) {
        const int fileRow = l.topDown ? y : l.height - 1 - y;
        const uint8_t* row = bytes + l.pixelOffset + l.stride * uint64_t(fileRow);
        decodeRow(row, l, palette, key, image.pixels.data() + size_t(y) * l.width);
    }
    out = std::move(image);
    return BitmapError::None;
}

BitmapError loadBitmapFile(const std::string& path, Rgb key, BitmapImage& out) {
    out = BitmapImage{};
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in)
        return BitmapError::Unreadable;
    const std::streamoff length = in.tellg();
    if (length < 0)
        return BitmapError::Unreadable;
    if (static_cast<uint64_t>(length) > kMaxBitmapFileBytes)
        return BitmapError::TooLarge;
    std::vector<uint8_t> bytes(static_cast<size_t>(length));
    in.seekg(0);
    if (!in.read(reinterpret_cast<char*>(bytes.data()), length))
        return BitmapError::Unreadable;
    return decodeBitmap(bytes.data(), bytes.size(), key, out);
}

Rgb backgroundColourKey() {
    return sharedKey;
}

void setBackgroundColourKey(Rgb key) {
    sharedKey = key;
}

Rgb keyColourAt(int x, int y, int width, int height, Rgb pageColour) {
    const int keyX = x - 1;
    if (keyX < 0 || y < 0 || keyX >= width || y >= height)
        return kWhite;
    return pageColour;
}

CBmp::~CBmp() {
    unload();
}

bool CBmp::load(const std::string& path) {
    unload();
    auto image = std::make_unique<BitmapImage>();
    lastError_ = loadBitmapFile(path, backgroundColourKey(), *image);
    if (lastError_ != BitmapError::None)
        return false;
    image_ = std::move(image);
    return true;
}

std::pair<int, int> CBmp::size() const {
    if (!image_)
        return {0, 0};
    return {image_->width, image_->height};
}

void CBmp::unload() {
    image_.reset();
}

std::string picturePath(const std::string& name) {
    return inWorkingFolder(name);
}

std::pair<int, int> pictureSize(const std::string& path) {
    BitmapImage image;
    if (loadBitmapFile(path, kWhite, image) != BitmapError::None)
        return {0, 0};
    return {image.width, image.height};
}

void resetBitmaps() {
    sharedKey = kWhite;
}
