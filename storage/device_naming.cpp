#include "storage/device_naming.h"

#include "network/model.h"
#include "storage/device_database.h"

std::string cutText(const std::string& text, size_t maxBytes) {
    if (text.size() <= maxBytes)
        return text;
    size_t lead = maxBytes;
    int back = 0;
    while (lead > 0 && back < 3 && (static_cast<uint8_t>(text[lead]) & 0xC0) == 0x80) {
        --lead;
        ++back;
    }
    const auto first = static_cast<uint8_t>(text[lead]);
    const size_t length = first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : first >= 0xC0 ? 2 : 1;
    // Only a real lead byte whose character reaches past the cut moves it.
    if (back > 0 && length > 1 && lead + length > maxBytes)
        return text.substr(0, lead);
    return text.substr(0, maxBytes);
}

int entryForDevice(int entryIndex1, const uint8_t* mac, const char* newName) {
    bool haveMac = mac != nullptr && macIsSet(mac);
    if (!haveMac)
        return deviceEntryAt(entryIndex1) ? entryIndex1 : 0;
    if (const DeviceEntry* entry = deviceEntryAt(entryIndex1); entry && macEqual(entry->mac, mac))
        return entryIndex1;
    if (int found = findDeviceEntry(mac))
        return found;
    return appendDeviceEntry(mac, newName);
}

DeviceRename renameDevice(int entryIndex1, const uint8_t* mac, const std::string& newText) {
    std::string typed = cutText(newText, kNameReadMax);
    typed = typed.substr(0, typed.find('\0'));
    // The duplicate test uses the name as it would be stored, so a long name
    // whose first 31 characters another device bears is refused too.
    std::string name = cutText(typed, kStoredNameMax);
    if (name.empty() || findDeviceEntryByName(name.c_str()) != 0)
        return {RenameResult::NameTaken, {}};
    int index1 = entryForDevice(entryIndex1, mac, name.c_str());
    if (index1 <= 0 || index1 > kMaxDeviceEntries)
        return {RenameResult::NotStored, {}};
    setEntryName(index1, name.c_str());
    saveDeviceDatabase();
    return {RenameResult::Renamed, name};
}
