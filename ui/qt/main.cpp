// halyard: the powerline adapter management utility. Reads OEMPrefs.dat of
// the current directory, makes sure only one copy runs, then shows the
// property sheet until the user closes it.
#include <QApplication>

#include "storage/history_recorder.h"
#include "ui/qt/property_sheet.h"
#include "ui/qt/ui_seams.h"
#include "ui/shell.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    UiSeams seams;
    if (!startShell())
        return 0;
    // Every automatic cycle's rates go to the link history (the user's state folder).
    startHistoryRecording();
    PropertySheet sheet;
    sheet.exec();
    stopHistoryRecording();
    return 0;
}
