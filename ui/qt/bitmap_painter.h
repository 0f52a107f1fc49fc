#pragma once
// Draws the .bmp pictures of the working folder onto a page: the one call
// every paint handler uses (cert.bmp on the Main and About pages, oemBig.bmp on
// the About page, the device pictures on the Add Device dialog).
#include <QImage>
#include <string>

#include "ui/bitmap.h"

class QPainter;
class QWidget;

// Loads `fileName` from the working folder, replaces its white by the colour of
// `window` just left of (x, y) (white when that point lies outside the
// window), draws it at its own size with its top-left corner at (x, y), and
// drops it. A missing or malformed file draws nothing and says nothing.
// Returns whether something was drawn.
bool drawPicture(QPainter& painter, const QWidget& window, const std::string& fileName, int x,
                 int y);

// The decoded picture as a QImage (a deep copy, RGB32).
QImage toQImage(const BitmapImage& image);

class QIcon;
// A row picture of the device lists: `fileName` from the working folder,
// white kept (the list draws it on its own background), scaled to `size`
// logical pixels and rendered at the screen's device pixel ratio, so it is
// sharp on a 2x screen. A missing file gives the warning icon.
QIcon devicePicture(const char* fileName, int size, const QWidget& page);

#include <QWidget>
// One picture of the working folder in a widget of its own, so the layout
// keeps room for it and no sibling (the device list) paints over it. Its
// white is keyed to the widget's own background, the colour really behind it.
class PictureBox : public QWidget {
  public:
    PictureBox(const char* fileName, QWidget* parent);
    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    const char* fileName_;
};
