// The .bmp loader: decodeBitmap on exactly the input's bytes, keyed with a
// colour taken from the first three bytes (white when they are white).
//
// Invariants: a refused file leaves the picture empty; a decoded one has a
// size inside the limits, one opaque pixel for each of width x height, and no
// white pixel left unless the key is white.
#include <vector>

#include "harness.h"
#include "ui/bitmap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    Rgb key{in.byte(), in.byte(), in.byte()};
    std::vector<uint8_t> bytes = in.rest();
    ExactBytes file(bytes);
    BitmapImage image;
    image.width = 7; // decodeBitmap must clear what it was handed
    BitmapError error = decodeBitmap(file.data(), file.size(), key, image);
    if (error != BitmapError::None) {
        FUZZ_CHECK(image.width == 0 && image.height == 0 && image.pixels.empty());
        return 0;
    }
    FUZZ_CHECK(image.width >= 1 && image.width <= kMaxBitmapSide);
    FUZZ_CHECK(image.height >= 1 && image.height <= kMaxBitmapSide);
    FUZZ_CHECK(image.pixels.size() == static_cast<size_t>(image.width) * image.height);
    const uint32_t keyPixel =
        0xFF000000u | (uint32_t{key.red} << 16) | (uint32_t{key.green} << 8) | key.blue;
    for (uint32_t p : image.pixels) {
        FUZZ_CHECK((p & 0xFF000000u) == 0xFF000000u);
        FUZZ_CHECK(p != 0xFFFFFFFFu || keyPixel == 0xFFFFFFFFu);
    }
    return 0;
}
