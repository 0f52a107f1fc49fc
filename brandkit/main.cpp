// brandkit: edits OEMPrefs.dat, the branding and behaviour file halyard reads
// at start. It reads the file halyard would read (the current directory's, else
// the user's config folder's, else the packaged defaults, see
// platform/working_folder.h); OK writes to the current directory when the file was
// found there, else to the user's config folder, never into the packaged
// defaults. One copy runs at a time; a second start ends at once without a window
// (exit code 0); otherwise brandkit ends with 1 when its sheet closes.
#include <QApplication>

#include "brandkit/editor_logic.h"
#include "brandkit/prefs_window.h"
#include "brandkit/qt_messages.h"
#include "platform/single_instance.h"
#include "platform/working_folder.h"

int main(int argc, char** argv) {
    if (!acquireSingleInstance("brandkit"))
        return 0;
    const WorkingFolderChoice choice = chooseWorkingFolder();
    readPrefsFile(choice.prefsPath);
    const std::string target =
        choice.isCurrent ? choice.prefsPath : inFolder(userConfigFolder(), kPrefsFileName);
    QApplication app(argc, argv);
    QtMessages messages;
    setMessageSink(&messages);
    const int code = runEditor(QString::fromStdString(target), !choice.isCurrent);
    setMessageSink(nullptr);
    return code;
}
