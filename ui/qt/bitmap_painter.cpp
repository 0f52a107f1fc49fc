#include "ui/qt/bitmap_painter.h"

#include <QPainter>
#include <QWidget>
#include <cstring>

namespace {
Rgb pageColourOf(const QWidget& window) {
    const QColor colour = window.palette().color(window.backgroundRole());
    return Rgb{static_cast<uint8_t>(colour.red()), static_cast<uint8_t>(colour.green()),
               static_cast<uint8_t>(colour.blue())};
}
} // namespace

QImage toQImage(const BitmapImage& image) {
    QImage out(image.width, image.height, QImage::Format_RGB32);
    if (out.isNull())
        return out;
    for (int y = 0; y < image.height; ++y)
        std::memcpy(out.scanLine(y), image.pixels.data() + static_cast<size_t>(y) * image.width,
                    static_cast<size_t>(image.width) * sizeof(uint32_t));
    return out;
}

bool drawPicture(QPainter& painter, const QWidget& window, const std::string& fileName, int x,
                 int y) {
    setBackgroundColourKey(
        keyColourAt(x, y, window.width(), window.height(), pageColourOf(window)));
    CBmp bitmap;
    if (!bitmap.load(picturePath(fileName)))
        return false;
    const QImage picture = toQImage(*bitmap.image());
    bitmap.unload();
    if (picture.isNull())
        return false;
    painter.drawImage(x, y, picture);
    return true;
}
