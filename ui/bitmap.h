#pragma once
// The program's own .bmp reader: the pictures the pages draw (oemBig.bmp,
// cert.bmp, the device pictures) are read from the working folder on every
// paint, decoded to true-colour pixels with every white area replaced by the
// colour of the page behind the picture, drawn and dropped again.
//
// The decoder trusts nothing in the file: headers, palette, pixel offset, row
// strides and sizes are checked against the bytes that were really read, and
// a file that does not add up is refused (nothing is drawn).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#pragma pack(push, 1)
// BITMAPFILEHEADER: the first 14 bytes of the file.
struct BmpFileHeader {
    uint16_t type; // "BM"
    uint32_t size; // file size as the writer saw it (not trusted)
    uint16_t reserved1;
    uint16_t reserved2;
    uint32_t offBits; // offset of the pixel data from the start of the file
};
// BITMAPINFOHEADER: the first 40 bytes of the information header, which
// follows the file header. Later versions of the header are longer; their
// own size field says by how much.
struct BmpInfoHeader {
    uint32_t size;
    int32_t width;
    int32_t height; // positive: rows bottom-up; negative: top-down
    uint16_t planes;
    uint16_t bitCount;
    uint32_t compression;
    uint32_t sizeImage;
    int32_t xPelsPerMeter;
    int32_t yPelsPerMeter;
    uint32_t clrUsed;
    uint32_t clrImportant;
};
#pragma pack(pop)
static_assert(sizeof(BmpFileHeader) == 14);
static_assert(offsetof(BmpFileHeader, size) == 2);
static_assert(offsetof(BmpFileHeader, offBits) == 10);
static_assert(sizeof(BmpInfoHeader) == 40);
static_assert(offsetof(BmpInfoHeader, width) == 4);
static_assert(offsetof(BmpInfoHeader, height) == 8);
static_assert(offsetof(BmpInfoHeader, planes) == 12);
static_assert(offsetof(BmpInfoHeader, bitCount) == 14);
static_assert(offsetof(BmpInfoHeader, compression) == 16);
static_assert(offsetof(BmpInfoHeader, clrUsed) == 32);

constexpr size_t kBmpInfoOffset = sizeof(BmpFileHeader);
// Limits that keep a hostile file from making us allocate without bound.
constexpr size_t kMaxBitmapFileBytes = 64u << 20;
constexpr int32_t kMaxBitmapSide = 16384;
constexpr uint64_t kMaxBitmapPixels = 16u << 20;

struct Rgb {
    uint8_t red = 0;
    uint8_t green = 0;
    uint8_t blue = 0;
    bool operator==(const Rgb&) const = default;
};
inline constexpr Rgb kWhite{0xFF, 0xFF, 0xFF};

// A decoded picture: `pixels` holds width x height values 0xFFRRGGBB, rows
// from the top.
struct BitmapImage {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels;
    uint32_t pixel(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

enum class BitmapError {
    None,
    Unreadable,  // cannot open or read the file
    TooLarge,    // file or picture beyond the limits above
    NotBitmap,   // no "BM" file header
    BadHeader,   // information header missing, too short or inconsistent
    Unsupported, // compression or a colour depth other than 1, 4, 8, 24, 32 bits
    Truncated,   // palette or pixel rows reach past the end of the file
};

// Decodes the bytes of a whole .bmp file. White (0xFF, 0xFF, 0xFF) becomes
// `key`: every white palette entry of a palettised picture, every white pixel
// of a true-colour one. On failure `out` is left empty.
BitmapError decodeBitmap(const uint8_t* bytes, size_t size, Rgb key, BitmapImage& out);
// Reads the file at `path` (at most kMaxBitmapFileBytes) and decodes it.
BitmapError loadBitmapFile(const std::string& path, Rgb key, BitmapImage& out);

// The background colour key, shared by every CBmp: taken anew before each
// load, the colour of the window pixel just left of the picture.
Rgb backgroundColourKey();
void setBackgroundColourKey(Rgb key);
// The key for a picture whose corner is at (x, y) of a window area of
// width x height filled with `pageColour`: the page colour when (x - 1, y)
// lies inside the area, white otherwise (a pixel outside the window has no
// colour, so white parts of the picture stay white).
Rgb keyColourAt(int x, int y, int width, int height, Rgb pageColour);

// One loaded picture at a time; a paint handler makes one, loads, draws,
// unloads. The drawing itself is the toolkit's (ui/qt/bitmap_painter.h).
class CBmp {
  public:
    CBmp() = default;
    virtual ~CBmp();
    CBmp(const CBmp&) = delete;
    CBmp& operator=(const CBmp&) = delete;

    // Loads `path` keyed with the current background colour key.
    bool load(const std::string& path);
    // (width, height) of the loaded picture, (0, 0) when nothing is loaded.
    std::pair<int, int> size() const;
    // Null when nothing is loaded.
    const BitmapImage* image() const { return image_.get(); }
    BitmapError lastError() const { return lastError_; }
    void unload();

  private:
    std::unique_ptr<BitmapImage> image_;
    BitmapError lastError_ = BitmapError::None;
};

// Path of a picture: `name` in the working folder.
std::string picturePath(const std::string& name);
// Only the width and height of the picture at `path` ((0, 0) when it cannot be decoded).
std::pair<int, int> pictureSize(const std::string& path);

// Returns the background colour key to white.
void resetBitmaps();
