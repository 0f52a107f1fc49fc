#pragma once
// Naming a device: the rule the list's in-place rename and halyardctl's
// rename share. The operation returns what became of the name; ui/ turns a
// refusal into its box, halyardctl into its output and exit code.
#include <cstddef>
#include <cstdint>
#include <string>

inline constexpr size_t kNameReadMax = 79;   // characters read back from a name edit
inline constexpr size_t kStoredNameMax = 31; // characters of a name kept in an entry

// The first `maxBytes` bytes of a text, one byte fewer or more where the cut
// would split a UTF-8 character: a name cut in the middle of a character
// would be stored as a broken character.
std::string cutText(const std::string& text, size_t maxBytes);

// The entry that belongs to `mac`: the remembered 1-based index when it still
// holds that device, else the one found by MAC, else a new one named
// `newName`. Never the entry of another device. 0 when none can be had.
// Without a MAC the remembered index alone (when valid).
int entryForDevice(int entryIndex1, const uint8_t* mac, const char* newName);

enum class RenameResult {
    Renamed,   // stored in the entry and the database written
    NameTaken, // empty, or an entry already bears it: "Please enter another name."
    NotStored, // no entry could be had: "Device Name should be less than 31 characters"
};

struct DeviceRename {
    RenameResult result = RenameResult::NotStored;
    std::string storedName; // the name as stored (Renamed only)
};

// Takes at most 79 characters of `newText` (up to a NUL); an empty name or
// one that any entry already bears (the device's own included, compared as
// it would be stored) is refused. Otherwise its first 31 characters become
// the name of the device's entry (entryForDevice) and the database is written.
DeviceRename renameDevice(int entryIndex1, const uint8_t* mac, const std::string& newText);
