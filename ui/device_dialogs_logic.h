#pragma once
// The rules behind the device dialogs of the halyard window: the in-place
// rename of a device, the device-password dialog, the Add Device dialog with
// its progress texts, the choice of the firmware-upgrade dialog and the checks
// of the chosen files, and the steps of the upgrade worker. Plain C++: the Qt
// layer (ui/qt/device_dialogs.*) only shows what these functions decide.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "maintenance/av_maintenance.h"
#include "security/add_device_flow.h"

// ---- Fixed texts ------------------------------------------------------------------
inline constexpr const char* kPasswordHelpIntro =
    "The Password typically appears as a number and letter code, in groups of four, "
    "separated by dashes.";
inline constexpr const char* kPasswordHelpExample = "(ie A1B2-C3D4-E5F6-G7H8)";
inline constexpr const char* kSetPasswordHelpEnd = "It can be found on each device.";
inline constexpr const char* kAddDeviceHelpEnd = "It is found on the device or packaging.";
// The whole help texts of the two dialogs.
std::string setPasswordHelpText();
std::string addDeviceHelpText();

inline constexpr const char* kAddDeviceNamePlaceholder = "Name";
inline constexpr size_t kUpgradePathMax = 260;      // characters of an upgrade file path
inline constexpr uint32_t kUpgradeSettleMs = 15000; // wait after a successful AV upgrade
inline constexpr const char* kUpgradeCancelledText =
    "The firmware upgrade was cancelled.\nThe local device may need to be upgraded again.";

// ---- In-place rename ----------------------------------------------------------------
// One rename edit of the Main page's device list, from its start to its end.
struct RenameEdit {
    int previousScanState = 1; // what suspendAutoScan returned
    int entryIndex1 = 0;       // device entry of the row, 0 when it has none
    uint8_t mac[6] = {};       // MAC of the row, zero when the text did not parse
    std::string shownName;     // the row's name when editing began
};

enum class RenameOutcome {
    Cancelled, // the edit was cancelled: nothing changed
    Renamed,   // stored in the entry, database written; `storedName` holds the row text
    Refused,   // "Please enter another name." shown; the row keeps its old name
    Failed,    // the name could not be stored; the length message shown
};

// Editing begins: suspends the automatic scan and finds the row's entry by its
// "MAC Address" text; `shownName` is the name the row shows.
RenameEdit beginRename(const std::string& macText, const std::string& shownName = {});

// Editing ends (the editor has closed): applies `newText` (null when the edit
// was cancelled) with applyRename, then restores the automatic scan, so that
// no cycle runs while a refusal box is open. Committing the name the device
// already has is a cancel: nothing is stored and no box is shown.
RenameOutcome endRename(const RenameEdit& edit, const std::string* newText, std::string& storedName,
                        void* owner = nullptr);

// The rename rule. Takes at most 79 characters of `newText`; an empty name or
// one that any entry already bears (the device's own included) is refused.
// Otherwise the first 31 characters become the entry's name and the database
// is written. A device without an entry (the local device, for one) gets a new
// entry for `mac`; with no valid MAC or a full table the name cannot be stored.
RenameOutcome applyRename(int entryIndex1, const uint8_t* mac, const std::string& newText,
                          std::string& storedName, void* owner = nullptr);

// ---- Set Device Password -----------------------------------------------------------------
// Label text of a row: its name, two blanks and the MAC in parentheses.
std::string deviceLabelText(const std::string& name, const std::string& macText);

// Strips the markers a list may have put in front of a stored device password
// ("CHECK ", then "Not ") in the entry itself and returns the cleaned text.
// An index without an entry gives "".
std::string cleanStoredPassword(int entryIndex1);

// What a dialog does after the user pressed OK.
enum class DialogAction {
    StayOpen,      // a check failed; the message was shown
    Close,         // done (result 1 for the password dialog)
    CloseAndScan,  // the local device has an old firmware: close, then scan now
    WaitForDevice, // Add Device succeeded: the refresh that finds the device closes it
    Abandon,       // nothing could be stored (message shown): close with result 0
};

// Opening: with no device (empty `deviceText`) shows "Please select a device
// first by clicking on it." and returns false.
bool openSetDevicePassword(void* owner, const std::string& deviceText);

// OK of the password dialog. `deviceText` is the label text; when the device
// has no entry (index 0), an entry is created for the MAC in the label.
DialogAction acceptDevicePassword(void* owner, int entryIndex1, const std::string& deviceText,
                                  const std::string& typed);

// ---- Add Device to Network -----------------------------------------------------------------
// Status line texts by counter value (4 and above: the last one).
const char* addDeviceProgressText(int counter);
int addDeviceProgressCounter();
// Resets the counter to 0 / advances it by one, then shows its text in the
// open Add Device dialog (nothing is shown while none is open).
void resetAddDeviceProgress();
void advanceAddDeviceProgress();

// What the open Add Device dialog lets the rest of the program do to it.
struct AddDeviceDialogHooks {
    std::function<void(const std::string&)> showStatus;
    std::function<void()> close;
};
// The dialog installs its hooks while it is open and clears them (empty hooks) when it closes.
void setAddDeviceDialogHooks(AddDeviceDialogHooks hooks);
bool addDeviceDialogOpen();
// Closes the open Add Device dialog; the Main page refresh calls this when it
// has named the new device.
void closeAddDeviceDialog();

// What the dialogs need of the Main page; the Main page installs these when it
// is created. Missing links fall back to the plain core behaviour noted.
struct MainPageLinks {
    // Its per-row copies of the listed devices' passwords (default: none).
    std::function<std::vector<std::string>()> listedPasswords;
    // Clears the device list so that the next refresh rebuilds it (default: nothing).
    std::function<void()> clearList;
    // The after-upgrade command: recompute the current interface, then scan
    // now (default: scanNow with the main window).
    std::function<void()> afterUpgrade;
};
void setMainPageLinks(MainPageLinks links);

// "Scan now" after an addition or an upgrade, with the owner of the boxes the
// scan may show (the main window). The default runs scanNetwork(); tests
// install a hook to count the scans.
using ScanNowHook = std::function<void(void* owner)>;
void setScanNowHook(ScanNowHook hook); // empty function restores the default
void scanNow(void* owner);
std::vector<std::string> listedDevicePasswords();
void clearMainDeviceList();
void runAfterUpgradeCommand();

// Picture of the local device's kind drawn in the Add Device dialog.
const char* addDevicePictureFile();
inline constexpr int kAddDevicePictureX = 10;
inline constexpr int kAddDevicePictureY = 70;

// Opening: suspends the automatic scan; returns the state to restore.
int beginAddDevice();
// Cancel or close: restores the automatic scan and stops waiting for the
// device (addingDevice and addedDeviceMac cleared).
void cancelAddDevice(int previousScanState);
// The name and password checks of OK, with their messages: a name that is
// empty, longer than 31 characters or already an entry's, the placeholder
// password, a password of the wrong length. Sends nothing.
bool addDeviceInputValid(void* owner, const std::string& name, const std::string& password);
// The addition's decisions as the dialog `owner` takes them: its boxes, the
// Main page's rows, the dialog's status line, the Main page's scan.
AddDeviceDecisions addDeviceDialogDecisions(void* owner);
// OK: addDeviceToNetwork (security/add_device_flow.h) with the dialog's
// decisions. `previousScanState` is what beginAddDevice returned.
DialogAction acceptAddDevice(void* owner, int previousScanState, const std::string& name,
                             const std::string& password);

// ---- Firmware upgrade ------------------------------------------------------------------------
// The dialog is the upgrade's kind: None, the local device cannot be upgraded
// (message shown); Av, "Enter PIB & NVM files"; Hp10, "Config & Image".
using UpgradeDialogKind = UpgradeKind;
// Chooses the dialog by the local device's family; for HomePlug AV it reads the
// configuration block first ("Can not retrive firmware type of local device"
// when that fails, the dialog opens anyway).
UpgradeDialogKind chooseUpgradeDialog();

// Open-file dialog parameters of the four "Browse" buttons.
struct FileChoice {
    const char* filterName; // e.g. "PIB File (*.PIB)"
    const char* pattern;    // e.g. "*.PIB"
    const char* defaultExtension;
};
extern const FileChoice kPibChoice;
extern const FileChoice kNvmChoice;
extern const FileChoice kCfgChoice;
extern const FileChoice kImgChoice;
// The path a file dialog returned, with the default extension added when the
// name has none; "" when the path is longer than kUpgradePathMax.
std::string chosenPath(const std::string& selected, const FileChoice& choice);
// "CDERR_DIALOGFAILURE" with caption "Error".
void reportFileDialogFailure(void* owner);

// OK of "Enter PIB & NVM files": both paths must be given, then the user
// confirms the device type. True when the upgrade may start.
bool confirmAvUpgradeFiles(void* owner, const std::string& pibPath, const std::string& nvmPath);

// OK of "Config & Image": runs upgradeHp10 with the two paths on the calling
// thread (the user-interface thread) and shows its messages. 1 when upgraded.
int runHp10Upgrade(const std::string& imagePath, const std::string& configPath);

// ---- The AV upgrade worker --------------------------------------------------------------------
// The user-interface side the worker reports to. Every callback runs on the
// worker thread; the Qt layer turns them into queued signals.
struct UpgradeWorkerHooks {
    std::function<void()> hideFileDialog;
    std::function<void()> closeProgress; // close the "Upgrading Local Device" dialog
    std::function<void()> afterUpgrade;  // the Main page's after-upgrade command
};

// upgradeLocalAv with its message shown as the window shows it (owned by the
// main window). True once the device confirmed the last frame.
bool runAvUpgrade(const char* firmwarePath, const char* parameterPath);
// The worker's steps: run upgradeLocalAv with the NVM and PIB files; on
// success wait 15 s (stopping early when a cancel is requested), close the
// progress dialog and show "Device firmware has been upgraded successfully.";
// on failure close the progress dialog; then send the after-upgrade command.
// Returns the upgrade's result.
bool runUpgradeWorker(const std::string& nvmPath, const std::string& pibPath,
                      const UpgradeWorkerHooks& hooks);

// Cancel of the progress dialog: asks "Cancelling upgrade process may destroy
// the device. Click OK to continue."; on OK requests the worker to stop at the
// next block boundary and returns true (the dialog closes).
bool confirmUpgradeCancel(void* owner);

// ---- State ------------------------------------------------------------------------------------
// Returns the progress counter, the dialog hooks and the Main page links to
// their start state.
void resetDeviceDialogs();
