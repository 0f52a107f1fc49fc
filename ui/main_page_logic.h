#pragma once
// The Main page without the toolkit: which rows the device list has and what
// each cell says, the count, network type and status texts, the quality
// texts, sorting, the refresh after every scan, the adapter-change guard and
// the message every button yields. The Qt layer (ui/qt/main_page.*) mirrors
// these rows into its list and hands the buttons' clicks in here.
//
// One Main page exists per run; its state is process-wide like the device
// model's tables and returns to its start with resetMainPage().
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "network/model.h"
#include "storage/data_directory.h"

// ---- Texts --------------------------------------------------------------------------
inline constexpr const char* kNotDetectedText =
    "The Powerline device was not detected.\nPlease check your computer cables.";
inline constexpr const char* kNotDetectedCaption = "Powerline Device Not Detected";
inline constexpr const char* kProblemCaption = "Problem Occurred";
inline constexpr const char* kDeviceLostText = "Powerline Device Not Detected";
inline constexpr const char* kNoSelectionText = "There is no device been selected.";
inline constexpr const char* kResetQuestion = "Do you want to reset factory default ?";
inline constexpr const char* kResetCaption = "Reset Factory Default";
inline constexpr const char* kUpgradeLocalOnly = "Firmware upgrade is only for local device.";
inline constexpr const char* kScanFailedText = "Unknown Error occurred.";
inline constexpr const char* kScanFailedCaption = "SCAN NETWORK";
inline constexpr const char* kScanningStatus = " Scanning...";
inline constexpr const char* kAddingStatus = "Adding device. Please Wait...";

// ---- Columns of the device list ------------------------------------------------------
enum class MainColumn { Name, Firmware, Mac, Rate, Quality, Location };

struct MainColumnSpec {
    MainColumn kind;
    const char* header;
    int width; // pixels
};

// The columns in sub-item order, as the preferences choose them: "Device
// Name", "Firmware Version", "MAC Address", "Link Rate (Mbps)" (showRate),
// "Quality" (showQuality), "Location".
std::vector<MainColumnSpec> mainColumns();
// Sub-item number of a column kind, or -1 when the list does not have it.
int mainColumnIndex(MainColumn kind);
// Display order (display position -> sub-item) of freshly created columns:
// each is inserted at display position 1, so every later column lands
// directly after "Device Name".
std::vector<int> initialDisplayOrder(int columnCount);
// Records the display order and the widths of the list in the layout the
// device database keeps (storage/device_database.h). The file has room for
// five columns: it keeps the relative order of sub-items 0..4 and their
// widths; a sixth column ("Location" with both optional columns) keeps its
// width only in memory.
void recordListLayout(const std::vector<int>& displayOrder, const std::vector<int>& widths);
// The display order to apply after the database was loaded: the saved order
// of sub-items 0..4, a sixth column back at display position 1.
std::vector<int> savedDisplayOrder(int columnCount);
// Width of a sub-item from the saved layout (sub-items 0..4), else its default.
int savedColumnWidth(int subItem);

// The row icons' size in pixels from the `iconSize` preference: 0 (no icons)
// for 0 and for a negative value; otherwise at most kMaxRowIconSize. The
// preference is the small-icon size of a list row, 24 by default; a value the
// branding file may hold up to 32767 would ask for pictures of a gigabyte each.
constexpr int kMaxRowIconSize = 64;
int rowIconSize(int iconSize);

// Text colour of the list from the `color` preference, as 0xRRGGBB.
uint32_t listTextColor(int32_t color);

// ---- Cells ------------------------------------------------------------------------------
// Icon by family code: 1 HomePlug Turbo (2), 2 HomePlug AV (4), 0 anything else.
int iconForFamily(int32_t familyCode);
// "%.2f", or "?" for a rate of 0.
std::string mainRateText(double rate);
// The Quality cell of a rate `x` (Mbit/s) and family code `t`, drawn as
// `qualityType` chooses. Texts are UTF-8 (bars are U+258C, blocks U+2589).
std::string qualityText(double x, int32_t familyCode, int qualityType);
// "%s : %d" with "Powerline Device" (n = 1) or "Powerline Devices".
std::string deviceCountText(int n);
// "Network Type : Public" when the current interface's key label is the
// HomePlug AV default network password (or, with a HomePlug 1.0 or Turbo
// local adapter, the HomePlug 1.0 one), else "Network Type : Private".
std::string networkTypeText();
// Status for a refresh stage: the adding text while a device is being added,
// " Scanning..." below stage 3, else empty.
std::string statusTextForStage(int stage);
// Firmware cell of a family code and version text: "MAC %s" for Turbo (2),
// the text as is for HomePlug AV (4), else "HP 1.0".
std::string firmwareText(int32_t familyCode, const char* version);

// ---- Rows ------------------------------------------------------------------------------
struct MainRow {
    int reference = 0; // 0 the local device, else remote slot + 1
    int icon = 0;
    std::string name, firmware, mac, rate, quality, location;
    double rateValue = 0; // the rate shown, for sorting
    int32_t family = 0;   // family code the quality was drawn with
};
// The text of one cell by column kind.
const std::string& rowCell(const MainRow& row, MainColumn kind);

struct InterfaceCacheEntry {
    int32_t localPresent = 0;
    int32_t deviceClass = 0;
    uint8_t localMac[6] = {};
};

struct MainPageState {
    std::vector<MainRow> rows;
    int renameRow = -1;                  // row last selected
    bool renaming = false;               // an in-place rename is open
    std::string selectedMac;             // MAC of the selected row, kept across rebuilds
    std::array<int, 8> savedDirection{}; // per sub-item, 0 at start
    std::array<InterfaceCacheEntry, kMaxInterfaces> interfaceCache{};
    bool notDetectedGuard = false;
    bool firstScanFlag = false;
    bool created = false;
    int qualityType = 0;
    std::vector<std::string> rowPasswords; // per row, the entry's password
    std::string countText = "Powerline Devices :";
    std::string networkText = "Network Type : Private";
    std::string statusText;
};
extern MainPageState mainPageState;

// Returns the Main page state, its hooks and settings to their start values.
void resetMainPage();

// Recomputes currentInterface: the first interface whose ScanState has a local
// device (unchanged when none has); localIsTurbo follows its device class.
void recomputeCurrentInterface();

// Takes the adapters of every interface (ScanState: local device present,
// class, MAC) as the known ones; a refresh that finds them changed clears the
// remote table and the lists. Every deliberate scan ends with this.
void rememberAdapters();

int findRowByMac(const std::string& macText); // -1 when absent
bool deleteRowByMac(const std::string& macText);
void setRowName(int row, const std::string& name);

// ---- The view --------------------------------------------------------------------------
// How the page's widgets follow the state; every member may be empty.
struct MainViewHooks {
    std::function<void()> rowsChanged; // rows or labels changed
    std::function<void(bool)> actions; // the action buttons are (not) usable
};
void setMainViewHooks(MainViewHooks hooks);

// The status label of the Main page and of the Security page.
void setStatusText(const std::string& text);

// ---- Operations ------------------------------------------------------------------------
// Where the Main page finds its files; the program uses the current
// directory and the per-machine data directory, tests temporary folders.
struct MainPageSetup {
    std::string workingFolder;  // empty: the current directory
    bool useDataPlaces = false; // true: prepare `dataPlaces` instead of the defaults
    std::string machineDataDirectory;
    std::string fallbackDataDirectory;
};

// Links the core and the other pages to this page: the automatic scan's
// device-list hooks, "Scan now" of the key operations, the dialogs' links.
void installMainPageLinks();

// Creation of the Main page, steps that need no window (links installed first): clears the
// first-scan flag, prepares the data directory, reads the vendor list, remembers the working
// folder, chooses the quality table, reads the device database and runs the first scan. Returns
// whether a local device was found; when none was, the "not detected" box has been shown.
bool createMainPage(const MainPageSetup& setup, void* owner);
// Chooses the data directory (chooseDataDirectory) and shows the fallback box,
// owned by `owner`, when the choice tells one. False when not even the
// fallback could be made.
bool prepareDataDirectory(void* owner);
bool prepareDataDirectory(void* owner, const DataDirectoryPlaces& places);
// The steps of the creation that only read files (data directory, working folder, vendor list,
// device database); nothing is sent. halyardctl runs them before its own checks.
void openMainPageFiles(const MainPageSetup& setup, void* owner);

// The Scan button: clears the remote table and both lists, writes the
// database, scans and arms the automatic scan, then refreshes. With no local
// device the "not detected" box (unless quietNotDetected is set; with the
// reason when capture was refused). Returns whether a device was found.
bool scanNowMain(void* owner);

// Rebuilds the Main page after a scan (stage: 1 or 5 after a manual scan, the
// cycle step during the automatic scan, 7 at the end of a cycle).
void refreshMainPage(int stage);
// Deletes every row of the device list and of the Security list.
void clearMainRows();

// The page became active: restarts the automatic-scan timer; scans when
// AutoScan is on and the first-scan flag is set, else sets the flag when a
// local device is present.
void mainPageActivated(void* owner);
// The page is left or the sheet closes: writes the device database.
void mainPageDeactivated();
// A selection change to `row` (-1: nothing selected, the rename row stays).
void mainRowSelected(int row);
// The user took the selection away (not a rebuild of the list).
void mainSelectionCleared();
// The row of the selected device after a rebuild, or -1.
int selectedRowByMac();

// Sorts the rows by a click on the header of sub-item `subItem`.
void sortMainRows(int subItem);
// Whether row `a` comes after row `b` under the key of `kind` and `direction`.
bool rowComesAfter(const MainRow& a, const MainRow& b, MainColumn kind, int direction);

// "Rename": false (with the message) when no row is selected; true when the
// list should start editing the rename row.
bool renameRequested(int selectedRow);
// The list starts editing `row`: suspends the automatic scan and remembers the
// device entry of the row (the rename rules are the device dialogs').
void beginRowRename(int row);
// Editing ended; `newText` null when it was cancelled. Applies the rename
// rule and returns the name the row shows afterwards.
std::string endRowRename(int row, const std::string* newText, void* owner);
bool rowRenameOpen();

// "Factory Reset" of the selected row (-1: none).
void factoryResetRequested(int selectedRow, void* owner);

// "Firmware Upgrade" of the selected row: only the local device's row may be
// upgraded; otherwise "Firmware upgrade is only for local device." and false.
// The upgrade dialogs (ui/device_dialogs_logic.h) choose by the family.
bool firmwareUpgradeAllowed(int selectedRow, void* owner);

// The command sent when the upgrade worker ends: recompute and scan now.
void afterUpgrade(void* owner);
