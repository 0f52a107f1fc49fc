#pragma once
// The Security page without its widgets: the rows of the Security list built
// from the device model, every text the page shows, and the flows of its
// controls. The list is one process-wide model; the page's widgets mirror it
// through SecurityPageHooks, and the Main page's refresh rebuilds it with
// fillSecurityList() whether or not the page exists yet.
#include <array>
#include <functional>
#include <string>
#include <vector>

#include "security/key_operations.h"

// ---- Texts -------------------------------------------------------------------------------
inline constexpr const char* kSecurityGroupText = "Encryption Key Setting";
inline constexpr const char* kSecurityKeyCaption =
    "Apply Varnel Powerline devices with below Encryption Key";
inline constexpr const char* kUseDefaultText = "Use Default (Public Network)";
inline constexpr const char* kSetSelectedText = "Set Selected Devices";
inline constexpr const char* kNotEnteredText = "--- not entered ---";
inline constexpr const char* kNoNameText = "No Name";
inline constexpr const char* kLocalText = "Local";
inline constexpr const char* kRemoteText = "Remote";
inline constexpr const char* kInvalidKeyText =
    "The encryption key entered is invalid.\nPlease enter an encryption key between 4 and 24 "
    "characters";
inline constexpr const char* kInvalidKeyCaption = "Invalid Entry";
inline constexpr const char* kConfirmKeyText =
    "Setting the encryption key on the devices whose password has been entered\nIt may take few "
    "seconds. Please click on 'OK' button to proceed.";
inline constexpr const char* kConfirmKeyCaption = "Encryption Key Setting "; // trailing blank

// ---- Columns -----------------------------------------------------------------------------
// Sub-items of the Security list.
enum SecurityColumn {
    kSecCheckColumn = 0,
    kSecFirmwareColumn = 1,
    kSecMacColumn = 2,
    kSecPasswordColumn = 3,
    kSecLocationColumn = 4,
    kSecNameColumn = 5,
};
constexpr int kSecurityColumnCount = 6;
static_assert(kSecMacColumn == kSecurityMacColumn);

struct SecurityColumnSpec {
    const char* header;
    int width; // pixels
};
// Headers and widths by sub-item.
extern const SecurityColumnSpec kSecurityColumns[kSecurityColumnCount];
// The display order (display position -> sub-item) that results from
// creating the columns in sub-item order, each inserted at display position 1:
// check box, "Device Name", "Location", "Device Password", "MAC Address",
// "Firmware Version".
std::array<int, kSecurityColumnCount> securityDisplayOrder();

// ---- The list ----------------------------------------------------------------------------
struct SecurityListRow {
    int reference = 0; // 0 the local device, else remote slot + 1
    int icon = 0;      // as on the Main page: 0 HomePlug 1.0, 1 Turbo, 2 AV
    bool checked = false;
    std::array<std::string, kSecurityColumnCount> cells; // sub-item order; cell 0 is empty
};

// The rows as the page shows them, the local device first.
extern std::vector<SecurityListRow> securityList;
// The row last checked (index into securityList), -1 when none or when that
// device is not listed right now. Checks and the remembered device are kept
// by MAC, so every rebuild of the list brings them back.
extern int rememberedSecurityRow;
// The status text, mirroring the Main page's scan status.
extern std::string securityStatusText;
// Whether the automatic cycle lets the action buttons be used.
extern bool securityActionsEnabled;

// How the page's widgets follow the model; every member may be empty.
struct SecurityPageHooks {
    std::function<void()> listChanged;                     // securityList changed
    std::function<void(const std::string&)> statusChanged; // securityStatusText changed
    std::function<void(bool enabled)> actionsChanged;      // securityActionsEnabled changed
};
void setSecurityPageHooks(SecurityPageHooks hooks);

// Brings the list up to date with the tables of the current interface: the
// local row is updated or put first, remote rows are updated, deleted or
// appended, and rows whose device has a link rate of exactly 0 are removed.
void fillSecurityList();
// Deletes every row (the automatic scan's clear, an adapter change).
void clearSecurityList();
void setSecurityStatusText(const std::string& text);
void setSecurityActionsEnabled(bool enabled);

// The rows in the form the key operations read (check box and cells): the
// listed rows, then every checked device that is on the network right now
// (its remote slot answered this cycle, it has a device entry) but not listed
// at this moment, built as its row would be. A check is the user's choice of a
// device, kept by MAC: whether the interval's rebuild of the list has brought
// the row back yet (or hides it for a link rate of 0) never decides whether the
// device is keyed.
std::vector<SecurityRow> securityRowsForKeys();

// ---- Controls ----------------------------------------------------------------------------
// The key edit's text when the page is created: the current interface's key
// label, empty when its NetworkRecord has no local device.
std::string keyTextOnCreate();
// The key edit's text each time the page becomes active: the key label when
// the current interface's ScanState has a local device, else empty.
std::string keyTextOnActivate();

// What a change of a row's check box asks of the page.
enum class CheckAction { None, Remember, OpenPasswordDialog };
// The user changed row `row`'s check box to `checked`. A checked row becomes
// the remembered row; a checked row that is not the local device asks for the
// "Set Device Password" dialog (the page refills the list afterwards).
CheckAction securityCheckChanged(int row, bool checked);
// The same by the device's MAC text, as the page's row shows it: recorded
// whether or not the model lists that device at this moment (the page may
// still show a row the interval has cleared from the model). None for a MAC
// that is not a device's.
CheckAction securityCheckChangedByMac(const std::string& macText, bool checked);

// The device of the remembered row, as the "Set Device Password" dialog
// needs it: the 1-based device entry index (0 when the device has none) and
// the text "<name>  (<MAC>)". False when no row is remembered.
// The device stays remembered while its row is away (an interval's clearing).
bool rememberedSecurityDevice(int& entryIndex1, std::string& deviceText);
// Whether the user checked the device with this MAC text.
bool securityDeviceChecked(const std::string& macText);

// The checks of a typed network password (4 to 24 characters, no control
// characters), each refusal with the "Invalid Entry" box. Sends nothing.
bool acceptKeyText(void* owner, const std::string& text);

// Outcome of "Set Selected Devices".
enum class SetSelectedResult { NoneChecked, InvalidKey, Cancelled, Applied };

// "Set Selected Devices" with the key edit's text: the checks, the
// confirmation, the new network password filed under the current interface,
// setSelectedDevices on the checked rows, then the Main page's scan now. `owner` is the page (owner
// of its own boxes); `setKeyControlsEnabled` disables the key edit and both
// buttons while the devices are keyed and enables them again at the end.
SetSelectedResult runSetSelectedDevices(void* owner, const std::string& keyText,
                                        const std::function<void(bool)>& setKeyControlsEnabled);

// Returns the list, the remembered row, the status, the actions flag and the
// hooks to their start state.
void resetSecurityPage();
