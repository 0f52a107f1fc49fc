// brandkit: edits OEMPrefs.dat of the current directory, the branding and
// behaviour file halyard reads at start. One copy runs at a time; a second
// start ends at once without a window (exit code 0); otherwise brandkit ends
// with 1 when its sheet closes.
#include <QApplication>

#include "brandkit/editor_logic.h"
#include "brandkit/prefs_window.h"
#include "brandkit/qt_messages.h"
#include "platform/single_instance.h"

int main(int argc, char** argv) {
    if (!acquireSingleInstance("brandkit"))
        return 0;
    readPrefsFile();
    QApplication app(argc, argv);
    QtMessages messages;
    setMessageSink(&messages);
    const int code = runEditor();
    setMessageSink(nullptr);
    return code;
}
