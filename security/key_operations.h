#pragma once
// Network key operations: putting a network key onto the local device, onto
// remote devices whose device passwords the user entered, and onto a new
// device known only by its printed password.
//
// A remote device takes a new network key only in a request protected by its
// own device key (DAK for HomePlug AV, DEK for HomePlug 1.0 and Turbo), so
// every remote operation starts from the device password. Everything runs
// synchronously with fixed waits through the clock seam, keeps busyFlag set
// while frames are exchanged (restoring its previous value on every path) and
// returns what it ended with as a KeyMessage: which message the user is to
// read. The core shows no box; ui/ turns the outcome into one (ui/outcome_boxes.h)
// and halyardctl into its output and exit code.
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "security/passwords.h"

// One remote device to be keyed; built by the caller for each call.
struct KeyTarget {
    char password[kPasswordBufferSize]; // device password, NUL-terminated
    uint8_t mac[6];                     // may be replaced by the address that answered
    int32_t result;                     // 1 when the device took the key, else 0
};

// ---- Process-wide state ------------------------------------------------------------
// Set by the Add Device dialog before it calls addDeviceByPassword; cleared by
// every failure path of that operation and by the refresh that names the new device.
extern int addingDevice;
// MAC of the device found by addDeviceByPassword; zeroed again when adding fails.
extern uint8_t addedDeviceMac[6];
// Name and password of the device just added, for the refresh that names its entry.
extern char addedDeviceName[80];
extern char addedDevicePassword[kPasswordBufferSize];
// The Add Device dialog's OK, before it calls addDeviceByPassword: sets addingDevice.
void beginAddingDevice();
// Nothing waits for the device any more (the refresh gave it its entry, or the
// dialog closed first): clears addingDevice and zeroes addedDeviceMac.
void endAddingDevice();
// The HomePlug 1.0/Turbo network key the local device had before a random key was set.
extern uint8_t priorHp10Key[8];
// Set after a successful local key change: a later "Scan now" that finds no
// local device shows no message about it.
extern uint8_t quietNotDetected;
// A scan found the local device again: the next loss is reported again
// (clears quietNotDetected).
void endQuietNotDetected();

// Returns every value above and the hooks below to their start state.
void resetKeyOperations();

// ---- Outcomes ----------------------------------------------------------------------------
// The message a key operation's outcome calls for. None: nothing to tell.
enum class KeyMessage {
    None,
    KeyChanged,             // "Encryption key has been changed successfully."
    SomeDevicesRefused,     // "One or more devices could not be added ... invalid device password."
    DeviceAdded,            // "Device was added to your network."
    NotDetected,            // "A Device With The Entered Password Was Not Detected. ..."
    LocalNmkUnreadable,     // "Error reading NMK from the local device"
    RemoteNmkNotSet,        // "Unable to set the NMK of remote device!!!"
    AddingFailed,           // "Error occured while adding the device"
    AddingProblem,          // "Some unknown problem occured while adding the device. ..."
    NoDeviceSelected,       // "There is no device been selected."
    InvalidDevicePassword,  // "The Device Password entered is invalid. ..."
    InvalidNetworkPassword, // "The encryption key entered is invalid. ..."
    SetKeyFailed,           // "Unknown error occurred. Please try after some time."
    SourceMacUnset,         // "Source MAC is NULL"
};

// Where the key exchanges report what goes wrong deep inside them (a failing
// HomePlug 1.0 key write, a missing host address), as they happen: the
// program registers it (the window: a box; halyardctl: a line on stderr).
// Unregistered, nothing is told; the exchange's own result still says it failed.
using KeyNoticeSink = std::function<void(KeyMessage)>;
void setKeyNoticeSink(KeyNoticeSink sink); // empty: none

// What addDeviceByPassword ended with. `scanAfter`: the network is to be
// scanned again now (after the message), as the HomePlug AV addition leaves
// the local device on the user's key again whether or not the device joined.
struct AddDeviceOutcome {
    bool added = false;
    KeyMessage message = KeyMessage::None;
    bool scanAfter = false;
    explicit operator bool() const { return added; }
};

// Advances the Add Device dialog's progress text by one step.
using ProgressHook = std::function<void()>;

// ---- Rows of the Security page's device list -------------------------------------------
// One row as the Security page shows it: its check box and its cells in
// sub-item order (check box, "Firmware Version", "MAC Address", "Device
// Password", "Location", "Device Name").
struct SecurityRow {
    bool checked = false;
    std::vector<std::string> cells;
};
constexpr int kSecurityMacColumn = 2;
constexpr size_t kSecurityCellMax = 79; // characters read back from a cell

// ---- Operations ------------------------------------------------------------------------
// With no MAC (null or all zero) true and nothing changes. Otherwise the first
// interface with a local device whose own MAC equals `mac` becomes
// currentInterface (localIsTurbo follows its device class): true; no match: false.
bool selectInterfaceByMac(const uint8_t* mac);

// Sets `key` (16 bytes for HomePlug AV, else 8) on the local device, after
// selecting the interface of `mac` when one is given. Non-zero when the local
// device took the key: 4 AV confirmation, 2 Turbo acknowledgement, 1 HomePlug
// 1.0 parameters verified.
int setLocalNEK(const uint8_t* mac, const uint8_t* key);

// Gives the local device the key of the current interface's network password
// (its keyLabel). Returns the local device's answer as setLocalNEK does.
int applyNetworkPasswordToLocal();

// One attempt to hand `newKey` to the remote device `targetMac` under its
// device key. 0 failure; 4 AV confirmation, 2 HomePlug 1.0/Turbo
// acknowledgement, 1 the device answered a probe afterwards.
int sendSetKeyToDevice(const uint8_t* deviceKey, const uint8_t* newKey, uint8_t targetMac[6],
                       bool broadcast);

// Gives one remote device the key of `networkPassword`, or a random key when
// it is null. True when the device took the key (target.result = 1).
bool setDeviceNetworkKey(KeyTarget& target, const char* networkPassword, bool broadcast);

// True when at least one row is checked (else the outcome is KeyMessage::NoDeviceSelected).
bool anyDeviceChecked(const std::vector<SecurityRow>& rows);

// The row setSelectedDevices reads for the device `mac`, checked.
SecurityRow selectedDeviceRow(const uint8_t mac[6]);

// Keys every checked row's device (remote devices through their stored
// device password, the local device directly) with `networkPassword`.
// KeyChanged when every keyed device took the key, else SomeDevicesRefused.
KeyMessage setSelectedDevices(const std::vector<SecurityRow>& rows, const char* networkPassword);

// ---- The network password ----------------------------------------------------------
// A network password is read back with at most this many characters.
constexpr size_t kKeyTextMax = 79;

// Why a typed network password is refused; nothing is sent either way.
enum class KeyTextProblem {
    None,
    InvalidNetworkPassword, // not 4 to 24 characters (KeyMessage::InvalidNetworkPassword)
    BreaksRules,            // a control character or a NUL inside: the same text, the page's box
};
KeyTextProblem checkNetworkKeyText(const std::string& text);

// The password of the public network for the local device's family: HomePlug
// AV's default, or for HomePlug 1.0 and Turbo their own standard's ("HomePlugAV"
// would give those a private key).
const char* publicNetworkPassword();

// Files `text` as the current interface's network password (for HomePlug AV
// also its NMK) and tells the next scan to label the key with it.
void fileNetworkPassword(const std::string& text);

// The Security list's rule: the present local device, or a device on the
// network (network/listed_devices.h) that has an entry in the device table,
// whose device password can key it.
bool deviceKeyable(const uint8_t mac[6]);

// Keys the devices `macs` (each keyable), and the local device when `local`,
// with the network password `keyText`: the local device first, the remote
// devices in slot order, as setSelectedDevices keys checked rows. The
// password is filed under the current interface first; the automatic scan
// rests meanwhile. The caller scans again afterwards to show the network.
KeyMessage keyDevicesOnNetwork(const std::vector<std::array<uint8_t, 6>>& macs, bool local,
                               const std::string& keyText);

// Adds the device whose printed password is `password` (a 25-byte buffer) to
// the user's network and names it `name`. For HomePlug 1.0/Turbo a password
// that works only in upper case or with dashes is handed back in that form.
// `advance` moves the Add Device dialog's progress text (HomePlug AV only).
AddDeviceOutcome addDeviceByPassword(const char* name, char* password,
                                     const ProgressHook& advance = {});

// How many times the HomePlug AV addition starts over with a new random key
// when more than one station shares the random network.
constexpr int kMaxAddRestarts = 5;
