#pragma once
// The folder halyard-demo works in, which stands for halyard's working folder,
// its data directory and its log folder at once, so the demo never reads or
// writes the user's own OEMPrefs.dat, device database or logs:
//
//   OEMPrefs.dat, OUIList.txt, *.bmp   the demo branding (a folder's own are kept)
//   Readme.txt                         what the demo is, and every adapter's
//                                      device password (shown on the About page)
//   demo-firmware.NVM, demo-parameters.PIB   images for the HomePlug AV upgrade
//   demo-firmware.IMG, demo-config.CFG       images for the HomePlug 1.0/Turbo upgrade
//   data/                              the data directory (device database)
//   scan.log, <appName>.log            the logs
//   emulator-state.json                what the emulated adapters hold at the end
#include <string>

#include "sim/network.h"
#include "storage/prefs_layout.h"
#include "ui/main_page_logic.h"

inline constexpr const char* kDemoReadmeFirstLine =
    "halyard-demo: a demonstration on emulated adapters";
inline constexpr const char* kEmulatorStateFile = "emulator-state.json";
inline constexpr const char* kDemoAvFirmwareFile = "demo-firmware.NVM";
inline constexpr const char* kDemoAvParametersFile = "demo-parameters.PIB";
inline constexpr const char* kDemoHp10ImageFile = "demo-firmware.IMG";
inline constexpr const char* kDemoHp10ConfigFile = "demo-config.CFG";

// The scenario the options name, or the built-in one. Throws
// sim::ScenarioError with a message that names the file.
sim::Network loadDemoScenario(const std::string& scenarioFile);

// A fresh folder "${TMPDIR:-/tmp}/halyard-demo-XXXXXX" (mode 0700). Empty with
// `error` set when it cannot be made.
std::string createTemporaryDemoFolder(std::string& error);
// Removes a folder createTemporaryDemoFolder made, with everything in it.
void removeDemoFolder(const std::string& dir);

// The demo branding: application "Halyard Demo", automatic scan every 30 s,
// rate and quality columns, the Diagnostics page with every column and
// scan.log (diagnostics level 20), 24-pixel icons.
PrefsFile demoPreferences();

// Fills `dir` (created when missing) for `network`: every file of the list
// above that the folder does not hold yet; Readme.txt is rewritten when it is
// the demo's own. False with `error` when a file cannot be written.
bool prepareDemoFolder(const std::string& dir, const sim::Network& network, std::string& error);

// Readme.txt for `network`: what the demo is and how to try every page, the
// device password of each adapter, and which adapters are on another network.
std::string demoReadme(const sim::Network& network);

// Where the Main page finds the data directory: `dir`/data.
MainPageSetup demoPageSetup(const std::string& dir);

// The window's caption: the application name and that this is a demonstration.
std::string demoWindowTitle(const std::string& appName);

// The single-instance lock of a demo folder: one halyard-demo per folder (two
// would share one database), and none in the way of halyard or of other demos.
std::string demoLockName(const std::string& dir);

// The emulated adapters' state as JSON text: per station its MAC, family,
// name, device password, DAK and NMK (or DEK and NEK) in hex, firmware text,
// the counters and whether it runs its loader.
std::string emulatorStateJson(const sim::Network& network);
bool writeEmulatorState(const std::string& path, const sim::Network& network, std::string& error);
