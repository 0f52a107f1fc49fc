#pragma once
// What halyard shows and stores about the network of interface 0, as one
// comparable value: the local device, the network record's key and label, the
// HomePlug 1.0 key and Turbo texts, every device entry, the active remote
// devices and the local parameters block. Tests compare it before and after
// something that must change none of it.
#include <cstdio>
#include <ostream>
#include <set>
#include <string>

#include "network/model.h"

// What halyard shows and stores about the network of interface 0.
struct NetworkSnapshot {
    std::string localMac;
    std::string recordLocalMac;
    int deviceClass = 0;
    std::string keyLabel;
    std::string networkKey; // the record's, as hex
    std::string hp10Key;
    std::string avKeyLabel;
    std::string turboTexts;
    std::string entries; // every device entry: MAC, name, label, key
    std::set<std::string> remotes;
    std::string localParams;

    bool operator==(const NetworkSnapshot&) const = default;
};

inline std::string snapshotHex(const uint8_t* p, size_t n) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02x", p[i]);
        s += b;
    }
    return s;
}

inline NetworkSnapshot networkSnapshot() {
    NetworkSnapshot s;
    s.localMac = formatMac(scanStates[0].localMac);
    s.recordLocalMac = formatMac(networkRecords[0].localMac);
    s.deviceClass = networkRecords[0].deviceClass;
    s.keyLabel = networkRecords[0].keyLabel;
    s.networkKey = snapshotHex(networkRecords[0].networkKey, 16);
    s.hp10Key = snapshotHex(hp10NetworkKey, 8);
    s.avKeyLabel = avKeyLabel;
    s.turboTexts =
        std::string(turboVersion) + "|" + turboVendor + "|" + turboProduct + "|" + turboFirmware;
    for (int k = 0; k < deviceCount; ++k)
        s.entries += formatMac(deviceTable[k].mac) + " " + deviceTable[k].name + " " +
                     deviceTable[k].keyLabel + " " + snapshotHex(deviceTable[k].networkKey, 16) +
                     ";";
    for (const RemoteDevice& r : networkRecords[0].remotes)
        if (r.active)
            s.remotes.insert(formatMac(r.mac) + " " + std::to_string(r.deviceType) + " " +
                             r.version);
    s.localParams = snapshotHex(localParamsBlock, 50);
    return s;
}

inline std::ostream& operator<<(std::ostream& os, const NetworkSnapshot& s) {
    os << "local " << s.localMac << " record " << s.recordLocalMac << " class " << s.deviceClass
       << " label \"" << s.keyLabel << "\" key " << s.networkKey << " hp10 " << s.hp10Key
       << " av label \"" << s.avKeyLabel << "\" turbo " << s.turboTexts << " entries " << s.entries
       << " remotes";
    for (const std::string& r : s.remotes)
        os << " [" << r << "]";
    return os << " params " << s.localParams;
}
