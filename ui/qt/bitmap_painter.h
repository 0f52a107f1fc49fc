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
