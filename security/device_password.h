#pragma once
// Filing a device's printed password in its entry: the rule the "Set Device
// Password" dialog and halyardctl share. The password keys the device later
// (security/key_operations.h); here it is only checked and stored. Returns
// what became of it; ui/ turns the outcome into the dialog's box and action.
#include <cstdint>
#include <string>

enum class DevicePasswordResult {
    Stored,      // in the entry, database written
    OldFirmware, // the local device's firmware is too old for device passwords: nothing stored
    Invalid,     // not a device password (KeyMessage::InvalidDevicePassword)
    NoEntry,     // no entry could be had for the device: nothing stored
};

// Files `typed` (its first 25 characters, up to a NUL) as the device password
// of the device with entry `entryIndex1` (1-based, 0: none yet) and MAC `mac`
// (may be null). A device without an entry gets one named `name` unless
// another entry bears that name (then it is left unnamed).
DevicePasswordResult fileDevicePassword(int entryIndex1, const uint8_t* mac,
                                        const std::string& name, const std::string& typed);

// The same for a device known by its MAC alone (halyardctl): its entry, if it
// has one, and that entry's name.
DevicePasswordResult fileDevicePassword(const uint8_t mac[6], const std::string& typed);
