#include "network/scan.h"

#include <cstdio>
#include <cstring>

#include "maintenance/av_maintenance.h"
#include "network/auto_scan.h"
#include "network/hp10_frames.h"
#include "network/model.h"
#include "packet/frame_bytes.h"
#include "packet/packet.h"
#include "security/keys.h"

namespace {
LocalFamily lastFamily = LocalFamily::None;

bool nameTaken(const char* name) {
    return findDeviceEntryByName(name) != 0;
}

// Finds or appends the device entry of the selected interface's local device.
// Without a local MAC, or with a full table, a scratch entry stands in so the
// key is still labelled; it is never stored.
DeviceEntry& settleDeviceEntry(bool& isNew, DeviceEntry& scratch) {
    const uint8_t* mac = scanStates[currentInterface].localMac;
    isNew = false;
    int index = macIsSet(mac) ? findDeviceEntry(mac) : 0;
    if (index > 0)
        return deviceTable[index - 1];
    isNew = true;
    char name[35];
    defaultDeviceName(name, sizeof name);
    if (macIsSet(mac)) {
        index = appendDeviceEntry(mac, name);
        if (index > 0)
            return deviceTable[index - 1];
    }
    std::memset(&scratch, 0, sizeof scratch);
    return scratch;
}

void setLabel(DeviceEntry& entry, char* label, size_t labelSize, const char* text) {
    copyText(entry.keyLabel, text);
    copyText(label, labelSize, text);
}

// The label of the key read from a local AV device.
void labelAvKey(DeviceEntry& entry, bool isNew) {
    uint8_t key[16] = {};
    if (!readLocalNmk(scanStates[currentInterface].localMac, key)) {
        // No key was read: the label says so. Matching the all-zero buffer
        // against the entries would find the entry just appended (its key is
        // still zero) and give its empty label; the entry keeps its key.
        setLabel(entry, avKeyLabel, sizeof avKeyLabel, kUnknownKeyLabel);
        return;
    }
    std::memcpy(avNetworkKey, key, sizeof key);
    bool isDefault = isDefaultAvKey(key);
    if (keyChangedMark) {
        setLabel(entry, avKeyLabel, sizeof avKeyLabel, networkRecords[currentInterface].keyLabel);
        std::memcpy(entry.networkKey, key, 16);
        keyChangedMark = 0;
    }
    if (isNew) {
        const char* label = kDefaultNetworkPassword;
        if (findDeviceEntryByAvKey(key))
            label = matchedKeyLabel;
        else if (!isDefault)
            label = kUnknownKeyLabel;
        char copy[52];
        copyText(copy, label);
        setLabel(entry, avKeyLabel, sizeof avKeyLabel, copy);
        std::memcpy(entry.networkKey, key, 16);
    } else if (!isDefault) {
        if (std::memcmp(entry.networkKey, key, 16) == 0) {
            copyText(avKeyLabel, entry.keyLabel);
        } else if (findDeviceEntryByAvKey(key)) {
            char copy[52];
            copyText(copy, matchedKeyLabel);
            setLabel(entry, avKeyLabel, sizeof avKeyLabel, copy);
            std::memcpy(entry.networkKey, key, 16);
        } else if (keepLabelOnceMark) {
            keepLabelOnceMark = 0;
        } else {
            setLabel(entry, avKeyLabel, sizeof avKeyLabel, kUnknownKeyLabel);
        }
    } else {
        setLabel(entry, avKeyLabel, sizeof avKeyLabel, kDefaultNetworkPassword);
    }
}

// The label of the 8-byte key of a local HomePlug 1.0 or Turbo device.
void labelHp10Key(DeviceEntry& entry, bool isNew) {
    const uint8_t* key = hp10NetworkKey;
    bool isDefault = isDefaultHp10Key(key);
    if (keyChangedMark) {
        setLabel(entry, hp10KeyLabel, sizeof hp10KeyLabel,
                 networkRecords[currentInterface].keyLabel);
        std::memcpy(entry.networkKey, key, 8);
        keyChangedMark = 0;
    }
    if (isNew) {
        setLabel(entry, hp10KeyLabel, sizeof hp10KeyLabel,
                 isDefault ? kHp10DefaultNetworkPassword : kUnknownKeyLabel);
        std::memcpy(entry.networkKey, key, 8);
    } else if (!isDefault) {
        if (std::memcmp(entry.networkKey, key, 8) == 0)
            copyText(hp10KeyLabel, entry.keyLabel);
        else
            setLabel(entry, hp10KeyLabel, sizeof hp10KeyLabel, kUnknownKeyLabel);
    } else {
        setLabel(entry, hp10KeyLabel, sizeof hp10KeyLabel, kHp10DefaultNetworkPassword);
    }
}

// Every interface with a local device carries the selected interface's key and label.
void copyIntoNetworkRecords(bool av) {
    for (int i = 0; i < interfaceCount && i < kMaxInterfaces; ++i) {
        NetworkRecord& record = networkRecords[i];
        const ScanState& state = scanStates[i];
        std::memcpy(record.hostMac, interfaceTable[i].mac, kMacLength);
        record.localPresent = state.localPresent;
        if (!state.localPresent)
            continue;
        record.deviceClass = state.deviceClass;
        std::memcpy(record.localMac, state.localMac, kMacLength);
        if (av) {
            std::memcpy(record.networkKey, avNetworkKey, 16);
            copyText(record.keyLabel, avKeyLabel);
        } else {
            std::memcpy(record.networkKey, hp10NetworkKey, 8);
            copyText(record.keyLabel, hp10KeyLabel);
        }
    }
}

// Up to three statistics requests from the local device's MAC (or the
// interface's own), each waiting longer for the self-addressed answer.
void askForLocalDevice(int i) {
    for (uint32_t k = 0; k < 3; ++k) {
        const uint8_t* local = scanStates[i].localMac;
        requestNetworkStats(i, macIsSet(local) ? local : nullptr, kBroadcastMac);
        if (waitForLocalReply(i, 50 + 100 * k))
            break;
    }
}

LocalFamily probeFamiliesOnce() {
    if (discoverLocalAv())
        return LocalFamily::Av;
    if (discoverLocalTurbo())
        return LocalFamily::Turbo;
    if (discoverLocalHp10())
        return LocalFamily::Hp10;
    return LocalFamily::None;
}

// The family probes, watching who answers as the local device. An interface
// whose known local device stayed silent through all of them, while another
// station answered as the local device, has had its adapter replaced: that
// station becomes its local device and the probes run once more.
LocalFamily probeFamilies() {
    for (int i = 0; i < interfaceCount && i < kMaxInterfaces; ++i)
        openLocalWatch(i);
    LocalFamily family = probeFamiliesOnce();
    bool replaced = false;
    for (int i = 0; i < interfaceCount && i < kMaxInterfaces; ++i)
        replaced = (!scanStates[i].localPresent && adoptLocalChallenger(i)) || replaced;
    if (!replaced)
        return family;
    localIsTurbo = 0;
    localIsAv = 0;
    return probeFamiliesOnce();
}
} // namespace

bool isDefaultAvKey(const uint8_t key[16]) {
    return std::memcmp(key, defaultNmk().data(), kAvKeyLength) == 0;
}

bool isDefaultHp10Key(const uint8_t key[8]) {
    const auto& nek = defaultNek();
    if (std::memcmp(key, nek.data(), kHp10KeyLength) == 0)
        return true;
    return key[0] == 0x01 && std::memcmp(key + 1, nek.data(), kHp10KeyLength - 1) == 0;
}

void defaultDeviceName(char* out, unsigned size) {
    std::snprintf(out, size, "%s %hd", kDefaultNamePrefix, static_cast<short>(deviceCount + 1));
    for (short n = 1; nameTaken(out) && n < 32767; ++n)
        std::snprintf(out, size, "%s %hd", kDefaultNamePrefix, n);
}

bool scanNetwork() {
    closeAllInterfaces();
    for (ScanState& state : scanStates)
        state.localPresent = 0;
    openAllInterfaces();
    localIsTurbo = 0;
    localIsAv = 0;

    LocalFamily family = probeFamilies();
    lastFamily = family;
    bool found = family != LocalFamily::None;
    if (found) {
        bool isNew = false;
        DeviceEntry scratch;
        DeviceEntry& entry = settleDeviceEntry(isNew, scratch);
        if (family == LocalFamily::Av) {
            labelAvKey(entry, isNew);
        } else {
            if (family == LocalFamily::Turbo) {
                readTurboKey();
                drainFor100ms();
            } else {
                if (!localParamsCaptured)
                    return true;
                std::memcpy(hp10NetworkKey, localParamsBlock + kParamsKeySelect, 8);
            }
            labelHp10Key(entry, isNew);
        }
    }
    copyIntoNetworkRecords(family == LocalFamily::Av);
    if (!found)
        clearRemotes();
    return found;
}

bool discoverLocalTurbo() {
    int start = currentInterface;
    bool any = false;
    for (int i = 0; i < interfaceCount && i < kMaxInterfaces; ++i) {
        setCurrentInterface(i);
        if (!probeTurbo())
            continue;
        any = true;
        if (i == start)
            localIsTurbo = 1;
        readTurboFirmwareText();
        drainFor100ms();
        markLocalDeviceFound(i, kClassTurbo, false);
    }
    setCurrentInterface(start);
    return any;
}

bool discoverLocalHp10() {
    bool any = false;
    // The observer's probe fetches the parameters block of each local device
    // found here, also when the scan runs inside a busy operation. A scan
    // outside the timer probes each interface once; inside a tick, the tick's
    // one probe per interface is all there is.
    DiscoveryProbeScope discovery;
    if (!timerTickRunning())
        armLocalParametersProbe();
    for (int i = 0; i < interfaceCount && i < kMaxInterfaces; ++i) {
        askForLocalDevice(i);
    }
    for (int i = 0; i < interfaceCount && i < kMaxInterfaces; ++i)
        any = any || scanStates[i].localPresent;
    return any;
}

void markKeyChanged() {
    keyChangedMark = 1;
}

void keepKeyLabelOnce() {
    keepLabelOnceMark = 1;
}

bool takeOldFirmware() {
    bool found = oldFirmware != 0;
    oldFirmware = 0;
    return found;
}

LocalFamily lastScanFamily() {
    return lastFamily;
}

void resetScan() {
    lastFamily = LocalFamily::None;
}
