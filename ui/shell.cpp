#include "ui/shell.h"

#include <cstdio>

#include "network/hp10_frames.h"
#include "platform/messages.h"
#include "platform/single_instance.h"
#include "storage/preferences.h"

std::string alreadyRunningText(const std::string& appName) {
    return appName + " is already running.\nOnly one copy can run at a time.";
}

bool startShell(const std::string& workingFolder) {
    std::string prefs =
        workingFolder.empty() ? std::string(kPrefsFileName) : workingFolder + "/" + kPrefsFileName;
    readPreferencesFile(prefs);
    if (acquireSingleInstance(kInstanceLockName)) {
        // Every frame taken from the interfaces passes the local-device
        // observer first; the HomePlug 1.0 scan finds its adapter through it.
        installNetworkHooks();
        return true;
    }
    showMessage(alreadyRunningText(prefAppName()), "Attention", MessageIcon::Error,
                MessageButtons::Ok, nullptr);
    return false;
}
