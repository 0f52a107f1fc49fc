// halyard: the powerline adapter management utility.
#include <QApplication>

#include "ui/qt/property_sheet.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    PropertySheet sheet;
    sheet.exec();
    return 0;
}
