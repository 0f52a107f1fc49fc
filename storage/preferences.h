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

// Reads "OEMPrefs.dat" of the current directory into `preferences`.
void readPreferences();
// The same for the file at `path`. Opens it for reading and appending, which
// creates an empty file when none exists; zeroes the record and reads as much
// of it as the file holds (a short file leaves the rest zero). When the file
// can be neither opened nor created, the built-in defaults are used. Then the
// device list's sort direction and column become 1, a scan interval below 1
// becomes 1, the automatic scan's intervalTicks is set from it and `busyFlag`
// is set when AutoScan is off.
// Returns true when the file was read, false when the defaults were used.
bool readPreferencesFile(const std::string& path);

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
