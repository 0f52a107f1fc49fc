#pragma once
// The start of halyard before any window exists: the preferences are read
// first, then the single-instance check. The property sheet (ui/qt) follows.
#include <string>

// The name of the single-instance lock ("<runtime dir>/halyard.lock").
inline constexpr const char* kInstanceLockName = "halyard";

// "%s is already running.\nOnly one copy can run at a time." with `appName`.
std::string alreadyRunningText(const std::string& appName);

// Reads OEMPrefs.dat of `workingFolder`; when it is empty, the working folder
// and the log folder are chosen first by the search order of
// platform/working_folder.h (current directory, user's config folder,
// packaged defaults) and its OEMPrefs.dat is read. Then takes the single-instance lock, then
// installs the network subsystem's local-device observer on the packet interface. When another copy
// holds the lock, shows the "already running" box (no owner, caption "Attention", error icon) and
// returns false: the program then ends with exit code 0 without a window.
// `lockName` is the single-instance lock's name (halyard-demo takes one of
// its own, so it never stands in the way of halyard).
bool startShell(const std::string& workingFolder = {},
                const std::string& lockName = kInstanceLockName);
