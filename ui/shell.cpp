#include "ui/shell.h"

#include <cstdio>
#include <unistd.h>

#include "diagnostics/scan_log.h"
#include "network/auto_scan.h"
#include "network/hp10_frames.h"
#include "platform/adapter_share.h"
#include "platform/messages.h"
#include "platform/single_instance.h"
#include "platform/working_folder.h"
#include "storage/preferences.h"

std::string alreadyRunningText(const std::string& appName) {
    return appName + " is already running.\nOnly one copy can run at a time.";
}

namespace {
// How long halyard waits for a running exporter to close its interfaces. It
// looks between two 50 ms ticks; a tick holding a scan can take a few
// seconds. Past this, halyard goes on: starting never fails for the exporter.
constexpr unsigned kExporterYieldTimeoutMs = 20000;

// Chooses the working folder and the log folder by the search order of
// platform/working_folder.h, then reads its OEMPrefs.dat. The current
// directory's and the packaged file are only read; when no OEMPrefs.dat exists
// anywhere, the reader creates it empty in the user's config folder, made
// private first.
PreferencesRead readChosenPreferences() {
    const WorkingFolderChoice choice = chooseWorkingFolder();
    const bool inConfig = !choice.isCurrent && !choice.isPackaged;
    if (inConfig && access(choice.prefsPath.c_str(), F_OK) != 0)
        makeFolders(choice.folder, 0700);
    setWorkingFolder(choice.folder);
    setLogDirectory(chooseLogFolder(choice, userStateFolder()));
    return readPreferencesFile(choice.prefsPath,
                               inConfig ? PrefsCreation::IfMissing : PrefsCreation::Never);
}
} // namespace

bool startShell(const std::string& workingFolder, const std::string& lockName) {
    PreferencesRead read = workingFolder.empty()
                               ? readChosenPreferences()
                               : readPreferencesFile(inFolder(workingFolder, kPrefsFileName));
    // The reader returns the automatic scan's switch; the automatic scan owns it.
    applyAutoScanPreference(read.autoScan, read.intervalTicks);
    if (acquireSingleInstance(lockName)) {
        // halyard itself (the window and every command) takes the adapters
        // from a running exporter, which steps aside at its next tick.
        if (lockName == kInstanceLockName && !claimAdaptersFromExporter(kExporterYieldTimeoutMs))
            std::fprintf(stderr,
                         "halyard: the exporter did not let go of the adapters within "
                         "%u s; going on\n",
                         kExporterYieldTimeoutMs / 1000);
        // Every frame taken from the interfaces passes the local-device
        // observer first; the HomePlug 1.0 scan finds its adapter through it.
        installNetworkHooks();
        return true;
    }
    showMessage(alreadyRunningText(prefAppName()), "Attention", MessageIcon::Error,
                MessageButtons::Ok, nullptr);
    return false;
}
