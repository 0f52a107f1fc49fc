#include "ui/qt/bitmap_painter.h"

#include <QIcon>
#include <QPainter>
#include <QPixmap>
#include <QStyle>
#include <QWidget>
#include <cstring>

#include "platform/working_folder.h"

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

QIcon devicePicture(const char* fileName, int size, const QWidget& page) {
    BitmapImage image;
    if (loadBitmapFile(inWorkingFolder(fileName), kWhite, image) != BitmapError::None)
        return page.style()->standardIcon(QStyle::SP_MessageBoxWarning);
    const qreal ratio = page.devicePixelRatioF() > 0 ? page.devicePixelRatioF() : 1.0;
    const int pixels = static_cast<int>(size * ratio + 0.5);
    QPixmap pixmap = QPixmap::fromImage(
        toQImage(image).scaled(pixels, pixels, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
    pixmap.setDevicePixelRatio(ratio);
    return QIcon(pixmap);
}

PictureBox::PictureBox(const char* fileName, QWidget* parent)
    : QWidget(parent), fileName_(fileName) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

QSize PictureBox::sizeHint() const {
    const std::pair<int, int> size = pictureSize(picturePath(fileName_));
    // One pixel to the left of the picture is where its key colour is read.
    return QSize(size.first > 0 ? size.first + 1 : 0, size.second > 0 ? size.second : 0);
}

void PictureBox::paintEvent(QPaintEvent* event) {
    QWidget::paintEvent(event);
    QPainter painter(this);
    drawPicture(painter, *this, fileName_, 1, 0);
}
