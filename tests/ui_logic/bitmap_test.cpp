// The .bmp decoder: exact pixels of 24-bit and palettised pictures, white
// keyed to the page colour, and refusal of every file that does not add up.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/working_folder.h"
#include "support/bmp_builder.h"
#include "support/temp_dir.h"
#include "ui/bitmap.h"

namespace {
using bmp::put16;
using bmp::put32;

std::vector<uint8_t> makeBmp(int32_t width, int32_t height, uint16_t bits,
                             const std::vector<uint32_t>& palette,
                             const std::vector<std::vector<uint8_t>>& rows) {
    return bmp::build(width, height, bits, palette, rows);
}

// 3 x 2, 24 bits: bottom row red, white, (FE,FF,FF); top row blue, green, black.
std::vector<uint8_t> trueColour() {
    return makeBmp(3, 2, 24, {},
                   {{0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF},
                    {0xFF, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00, 0x00}});
}

constexpr Rgb kPage{0xF0, 0xE0, 0xD0};

BitmapError decode(const std::vector<uint8_t>& bytes, BitmapImage& out, Rgb key = kPage) {
    return decodeBitmap(bytes.data(), bytes.size(), key, out);
}
} // namespace

TEST(Bitmap, TrueColourPixelsTopDownWithWhiteKeyed) {
    BitmapImage image;
    ASSERT_EQ(BitmapError::None, decode(trueColour(), image));
    ASSERT_EQ(3, image.width);
    ASSERT_EQ(2, image.height);
    EXPECT_EQ(0xFF0000FFu, image.pixel(0, 0)); // top row comes from the last file row
    EXPECT_EQ(0xFF00FF00u, image.pixel(1, 0));
    EXPECT_EQ(0xFF000000u, image.pixel(2, 0));
    EXPECT_EQ(0xFFFF0000u, image.pixel(0, 1));
    EXPECT_EQ(0xFFF0E0D0u, image.pixel(1, 1)); // pure white shows the page colour
    EXPECT_EQ(0xFFFFFFFEu, image.pixel(2, 1)); // (FE,FF,FF) keeps its colour
}

TEST(Bitmap, KeyingFollowsPixelsNotBytes) {
    // Yellow (00,FF,FF) followed by blue (FF,00,00): the bytes FF FF FF run
    // across the two pixels, but neither pixel is white.
    BitmapImage image;
    ASSERT_EQ(BitmapError::None,
              decode(makeBmp(2, 1, 24, {}, {{0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x00}}), image));
    EXPECT_EQ(0xFFFFFF00u, image.pixel(0, 0));
    EXPECT_EQ(0xFF0000FFu, image.pixel(1, 0));
}

TEST(Bitmap, TopDownRowsAndThirtyTwoBits) {
    BitmapImage image;
    ASSERT_EQ(BitmapError::None,
              decode(makeBmp(1, -2, 32, {}, {{1, 2, 3, 0}, {0xFF, 0xFF, 0xFF, 0x00}}), image));
    EXPECT_EQ(0xFF030201u, image.pixel(0, 0));
    EXPECT_EQ(0xFFF0E0D0u, image.pixel(0, 1));
}

TEST(Bitmap, PalettisedPicturesUseTheirPalette) {
    // 8 bits, three colours; the white entry is keyed, indices beyond the
    // palette draw black.
    const std::vector<uint32_t> palette = {0x00112233, 0x00FFFFFF, 0x00FEFFFF};
    BitmapImage image;
    ASSERT_EQ(BitmapError::None, decode(makeBmp(5, 1, 8, palette, {{0, 1, 2, 200, 0}}), image));
    EXPECT_EQ(0xFF112233u, image.pixel(0, 0));
    EXPECT_EQ(0xFFF0E0D0u, image.pixel(1, 0));
    EXPECT_EQ(0xFFFEFFFFu, image.pixel(2, 0));
    EXPECT_EQ(0xFF000000u, image.pixel(3, 0));

    // 4 and 1 bits per pixel, high bits first.
    ASSERT_EQ(BitmapError::None,
              decode(makeBmp(3, 1, 4, {0x000000AA, 0x00BB0000}, {{0x01, 0x00}}), image));
    EXPECT_EQ(0xFF0000AAu, image.pixel(0, 0));
    EXPECT_EQ(0xFFBB0000u, image.pixel(1, 0));
    EXPECT_EQ(0xFF0000AAu, image.pixel(2, 0));
    ASSERT_EQ(BitmapError::None,
              decode(makeBmp(9, 1, 1, {0x00000000, 0x0000FF00}, {{0xA0, 0x80}}), image));
    EXPECT_EQ(0xFF00FF00u, image.pixel(0, 0));
    EXPECT_EQ(0xFF000000u, image.pixel(1, 0));
    EXPECT_EQ(0xFF00FF00u, image.pixel(2, 0));
    EXPECT_EQ(0xFF00FF00u, image.pixel(8, 0));
}

TEST(Bitmap, MalformedFilesAreRefused) {
    BitmapImage image;
    const std::vector<uint8_t> good = trueColour();

    // Every truncation of a valid file into its pixels is refused, never read
    // past (the last row's 3 bytes of padding may be missing).
    for (size_t length = 0; length < good.size() - 3; ++length) {
        std::vector<uint8_t> cut(good.begin(), good.begin() + long(length));
        EXPECT_NE(BitmapError::None, decode(cut, image)) << length;
        EXPECT_TRUE(image.pixels.empty());
    }
    // Dropping only the last row's padding is fine.
    std::vector<uint8_t> unpadded(good.begin(), good.end() - 3);
    EXPECT_EQ(BitmapError::None, decode(unpadded, image));

    auto broken = [&](auto change) {
        std::vector<uint8_t> b = good;
        change(b);
        return decode(b, image);
    };
    EXPECT_EQ(BitmapError::NotBitmap, broken([](auto& b) { b[0] = 'X'; }));
    EXPECT_EQ(BitmapError::BadHeader, broken([](auto& b) { put32(b, 14, 12); }));
    EXPECT_EQ(BitmapError::BadHeader, broken([](auto& b) { put32(b, 14, 0x7FFFFFFF); }));
    EXPECT_EQ(BitmapError::BadHeader, broken([](auto& b) { put32(b, 18, 0); }));
    EXPECT_EQ(BitmapError::BadHeader, broken([](auto& b) { put32(b, 18, 0xFFFFFFFF); }));
    EXPECT_EQ(BitmapError::BadHeader, broken([](auto& b) { put32(b, 22, 0x80000000); }));
    EXPECT_EQ(BitmapError::BadHeader, broken([](auto& b) { put16(b, 26, 2); }));
    EXPECT_EQ(BitmapError::BadHeader, broken([](auto& b) { put32(b, 10, 20); }));
    EXPECT_EQ(BitmapError::Unsupported, broken([](auto& b) { put16(b, 28, 16); }));
    EXPECT_EQ(BitmapError::Unsupported, broken([](auto& b) { put32(b, 30, 1); }));
    EXPECT_EQ(BitmapError::Truncated, broken([](auto& b) { put32(b, 10, 0xFFFFFFF0); }));
    EXPECT_EQ(BitmapError::Truncated, broken([](auto& b) { put32(b, 22, 3); }));
    // Huge dimensions are refused before anything is allocated.
    EXPECT_EQ(BitmapError::TooLarge, broken([](auto& b) { put32(b, 18, 0x7FFFFFFF); }));
    EXPECT_EQ(BitmapError::TooLarge, broken([](auto& b) { put32(b, 22, 0x7FFFFFFF); }));
    EXPECT_EQ(BitmapError::TooLarge, broken([](auto& b) {
                  put32(b, 18, 10000);
                  put32(b, 22, 10000);
              }));

    // A palette that claims more entries than the depth allows, or than the
    // file holds.
    std::vector<uint8_t> pal = makeBmp(1, 1, 8, {0x00FFFFFF}, {{0}});
    put32(pal, 46, 257);
    EXPECT_EQ(BitmapError::BadHeader, decode(pal, image));
    put32(pal, 46, 200);
    EXPECT_EQ(BitmapError::Truncated, decode(pal, image));
    // clrUsed 0 means the full 256 entries, which this file does not hold.
    put32(pal, 46, 0);
    EXPECT_EQ(BitmapError::Truncated, decode(pal, image));
}

TEST(Bitmap, CBmpLoadsFromTheWorkingFolderWithTheSharedKey) {
    TempDir dir;
    setWorkingFolder(dir.path());
    writeFileBytes(dir.file("oemBig.bmp"), trueColour());
    writeFileText(dir.file("cert.bmp"), "BM not really");

    CBmp bitmap;
    EXPECT_EQ((std::pair<int, int>{0, 0}), bitmap.size());
    setBackgroundColourKey(Rgb{1, 2, 3});
    ASSERT_TRUE(bitmap.load(picturePath("oemBig.bmp")));
    EXPECT_EQ((std::pair<int, int>{3, 2}), bitmap.size());
    EXPECT_EQ(0xFF010203u, bitmap.image()->pixel(1, 1));
    bitmap.unload();
    EXPECT_EQ(nullptr, bitmap.image());
    EXPECT_EQ((std::pair<int, int>{0, 0}), bitmap.size());

    EXPECT_FALSE(bitmap.load(picturePath("cert.bmp")));
    EXPECT_EQ(BitmapError::BadHeader, bitmap.lastError());
    EXPECT_FALSE(bitmap.load(picturePath("missing.bmp")));
    EXPECT_EQ(BitmapError::Unreadable, bitmap.lastError());
    EXPECT_EQ((std::pair<int, int>{3, 2}), pictureSize(picturePath("oemBig.bmp")));
    EXPECT_EQ((std::pair<int, int>{0, 0}), pictureSize(picturePath("cert.bmp")));

    setWorkingFolder("");
    resetBitmaps();
    EXPECT_EQ(kWhite, backgroundColourKey());
}

TEST(Bitmap, KeyIsThePageColourJustLeftOfTheCorner) {
    EXPECT_EQ(kPage, keyColourAt(80, 25, 800, 400, kPage));
    EXPECT_EQ(kPage, keyColourAt(1, 0, 800, 400, kPage));
    // At x = 0 the key pixel lies outside the window: white stays white.
    EXPECT_EQ(kWhite, keyColourAt(0, 25, 800, 400, kPage));
    EXPECT_EQ(kWhite, keyColourAt(900, 25, 800, 400, kPage));
    EXPECT_EQ(kWhite, keyColourAt(10, 400, 800, 400, kPage));
    EXPECT_EQ(kWhite, keyColourAt(10, -1, 800, 400, kPage));
}
