#pragma once
// Adding a device to the user's network by its device password, as the Add
// Device dialog's OK runs it: the input checks, the addition, and what follows
// it. What the flow asks and tells while it runs goes through the
// AddDeviceDecisions the program gives: the window answers with its boxes and
// its Main page (ui/device_dialogs_logic), halyardctl from its command line.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "security/key_operations.h"
#include "storage/device_naming.h"

inline constexpr const char* kAddDevicePasswordPlaceholder = "KEYS-TEXT-FILL-SLOT";
inline constexpr size_t kPasswordReadMax = 25;        // characters read back from a password edit
inline constexpr uint32_t kAddFailureSettleMs = 3000; // wait after the key is put back

// Why an addition does not go ahead; nothing has been sent.
enum class AddDeviceRefusal {
    None,
    OldFirmware,     // the device found has firmware older than 1.8
    AnotherName,     // the name is empty or an entry's already
    NameTooLong,     // more than kStoredNameMax characters
    NoPassword,      // the password is the placeholder
    InvalidPassword, // not a device password (KeyMessage::InvalidDevicePassword)
    AlreadyAdded,    // a listed device has this password
};

// What an addition asks the program, and tells it, while it runs. Every
// member may be empty: then nothing is asked (the answer is "no") or told.
struct AddDeviceDecisions {
    // Why the addition stops before anything is sent.
    std::function<void(AddDeviceRefusal)> refuse;
    // Whether a device already listed has this device password.
    std::function<bool(const std::string& password)> alreadyListed;
    // The addition's steps: it starts, then one more step is done.
    ProgressHook startProgress;
    ProgressHook advanceProgress;
    // The addition's outcome, before the scan it may call for.
    std::function<void(KeyMessage)> tell;
    // The network is to be scanned now.
    std::function<void()> scanNow;
    // The added device's entry exists already: the device list is to be
    // built again so the next refresh names it.
    std::function<void()> rebuildDeviceList;
};

// How the flow ended, for the dialog: stay open (input refused), close,
// close and scan (old firmware), or wait for the device to turn up.
enum class AddDeviceEnd { StayOpen, Close, CloseAndScan, WaitForDevice };

// The name and password checks, in their order. Sends nothing.
AddDeviceRefusal checkAddDeviceInput(const std::string& name, const std::string& password);

// The whole flow. `previousScanState` is what suspendAutoScan(0) returned when
// the dialog opened; the automatic scan is restored where the flow says.
AddDeviceEnd addDeviceToNetwork(int previousScanState, const std::string& typedName,
                                const std::string& typedPassword, const AddDeviceDecisions& ask);

// Whether a device on the current network has an entry with this password
// (halyardctl's answer to AddDeviceDecisions::alreadyListed).
bool devicePasswordOnNetwork(const std::string& password);
