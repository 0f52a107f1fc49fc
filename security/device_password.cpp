#include "security/device_password.h"

#include "network/model.h"
#include "network/scan.h"
#include "packet/frame_bytes.h"
#include "security/add_device_flow.h"
#include "security/passwords.h"
#include "storage/device_database.h"
#include "storage/device_naming.h"

DevicePasswordResult fileDevicePassword(int entryIndex1, const uint8_t* mac,
                                        const std::string& name, const std::string& typed) {
    if (takeOldFirmware())
        return DevicePasswordResult::OldFirmware;
    std::string password = typed.substr(0, kPasswordReadMax);
    password = password.substr(0, password.find('\0'));
    if (!checkDevicePassword(password.c_str()))
        return DevicePasswordResult::Invalid;
    std::string newName = cutText(name, kStoredNameMax);
    if (newName.empty() || findDeviceEntryByName(newName.c_str()) != 0)
        newName = ""; // a new entry never takes another device's name
    const int index1 = entryForDevice(entryIndex1, mac, newName.c_str());
    if (index1 <= 0 || index1 > kMaxDeviceEntries)
        return DevicePasswordResult::NoEntry;
    setEntryPassword(index1, password.c_str());
    saveDeviceDatabase();
    return DevicePasswordResult::Stored;
}

DevicePasswordResult fileDevicePassword(const uint8_t mac[6], const std::string& typed) {
    const int entry = findDeviceEntry(mac);
    const std::string name = entry > 0 ? fieldText(deviceTable[entry - 1].name) : "No Name";
    return fileDevicePassword(entry, mac, name, typed);
}
