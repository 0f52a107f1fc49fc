#pragma once
// The name of the branding and behaviour file. The working folder is chosen by
// where this file lies (platform/working_folder), and the preferences reader
// and brandkit read and write it (storage/prefs_layout.h): the name sits here,
// below both.
inline constexpr const char* kPrefsFileName = "OEMPrefs.dat";
