#pragma once
// halyard's side of OEMPrefs.dat: the process-wide preference values, read once
// at start before anything else. brandkit writes the file; halyard never does,
// except that reading creates an empty file when none exists.
#include <string>

#include "storage/prefs_layout.h"

// The preference values (289-byte record; the copyright line has 100 bytes).
extern PrefsRecord preferences;

// Built-in values used when the file can neither be opened nor created.
inline constexpr const char* kDefaultAppName = "Plexora";
inline constexpr const char* kDefaultWebAddress = "http://www.plexora.com";
inline constexpr const char* kDefaultCopyright = "Copyright (c) 2010 Plexora. All rights reserved.";

// Whether reading creates an empty file where none exists.
enum class PrefsCreation { IfMissing, Never };

// What reading the preferences gives besides the record: whether the file was
// read or created, and the automatic scan's switch and interval, which the
// shell applies to the automatic scan (applyAutoScanPreference).
struct PreferencesRead {
    bool read = false;
    bool autoScan = false;  // AutoScan on
    int intervalTicks = 20; // preferenceIntervalTicks()
    explicit operator bool() const { return read; }
};

// Reads "OEMPrefs.dat" of the current directory into `preferences`.
PreferencesRead readPreferences();
// The same for the file at `path`. Zeroes the record and reads as much of the
// file as it holds (a short file leaves the rest zero). The file is only read,
// so one that may be read but not written (another account's, or on a
// read-only medium) gives its values. When nothing is at `path` and `create`
// allows it, an empty file is created there and all values are zero. When the
// file can be neither read nor created (or is not a regular file), the
// built-in defaults are used. Then the device list's sort direction and column
// become 1 and a scan interval below 1 becomes 1. `read` is false when the
// defaults were used.
PreferencesRead readPreferencesFile(const std::string& path,
                                    PrefsCreation create = PrefsCreation::IfMissing);

// Ticks of 50 ms per automatic cycle: the scan interval in seconds times 20
// (below 1 s counts as 1 s). The application shell passes it to startAutoScan.
int preferenceIntervalTicks();

// The preference texts as strings; a text that fills its field has no
// terminator, so these never read past the field.
std::string prefAppName();
std::string prefWebAddress();
std::string prefCopyright();
std::string prefVendorName();

// Zeroes the preference values and empties the vendor table (vendor_list.h).
void resetPreferences();
