#include "network/model.h"

#include "packet/frame_bytes.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

ScanState scanStates[kMaxInterfaces];
NetworkRecord networkRecords[kMaxInterfaces];
DeviceEntry deviceTable[kMaxDeviceEntries];
int32_t deviceCount = 0;

int currentInterface = 0;
int localIsAv = 0;
int localIsTurbo = 0;
uint8_t avNetworkKey[16];
char avKeyLabel[40];
uint8_t hp10NetworkKey[8];
char hp10KeyLabel[46];
char matchedKeyLabel[52];
uint8_t localParamsBlock[50];
uint8_t localParamsCaptured = 0;
char turboVendor[80];
char turboProduct[80];
char turboVersion[65];
char turboFirmware[65];
uint8_t oldFirmware = 0;
uint8_t turboLocalAnswered = 0;
uint8_t dropAfterMisses = 3;
uint8_t keyChangedMark = 0;
uint8_t keepLabelOnceMark = 0;

namespace {
// The packet layer's frame counts go to the diagnostics' counters of each
// interface's scan state, wrapping round as 32-bit signed numbers.
void addWrapping(int32_t& counter, uint32_t amount) {
    counter = static_cast<int32_t>(static_cast<uint32_t>(counter) + amount);
}

void countFrame(int index, bool sent, uint32_t bytes) {
    if (index < 0 || index >= kMaxInterfaces)
        return;
    ScanState& state = scanStates[index];
    addWrapping(sent ? state.writes : state.reads, 1);
    addWrapping(sent ? state.bytesWritten : state.bytesRead, bytes);
}

const bool frameCounterRegistered = (setFrameCounter(countFrame), true);

const char* const kClassNames[] = {"Adapter", "USB", "HomePlug Turbo Device", "HomePlug 1.0 Device",
                                   "HomePlug AV Device"};
char classNameBuffer[80];
} // namespace

void resetDeviceModel() {
    resetInterfaceTable();
    std::memset(scanStates, 0, sizeof scanStates);
    std::memset(networkRecords, 0, sizeof networkRecords);
    std::memset(deviceTable, 0, sizeof deviceTable);
    deviceCount = 0;
    currentInterface = 0;
    localIsAv = 0;
    localIsTurbo = 0;
    std::memset(avNetworkKey, 0, sizeof avNetworkKey);
    std::memset(avKeyLabel, 0, sizeof avKeyLabel);
    std::memset(hp10NetworkKey, 0, sizeof hp10NetworkKey);
    std::memset(hp10KeyLabel, 0, sizeof hp10KeyLabel);
    std::memset(matchedKeyLabel, 0, sizeof matchedKeyLabel);
    std::memset(localParamsBlock, 0, sizeof localParamsBlock);
    localParamsCaptured = 0;
    std::memset(turboVendor, 0, sizeof turboVendor);
    std::memset(turboProduct, 0, sizeof turboProduct);
    std::memset(turboVersion, 0, sizeof turboVersion);
    std::memset(turboFirmware, 0, sizeof turboFirmware);
    oldFirmware = 0;
    turboLocalAnswered = 0;
    dropAfterMisses = 3;
    keyChangedMark = 0;
    keepLabelOnceMark = 0;
    std::memset(classNameBuffer, 0, sizeof classNameBuffer);
}

double nominalRateForType(int32_t deviceType) {
    switch (deviceType) {
    case kTypeTurbo:
        return 85.0;
    case kTypeAv:
        return 200.0;
    default:
        return 14.0;
    }
}

double nominalRateForClass(int32_t deviceClass) {
    switch (deviceClass) {
    case kClassTurbo:
        return 85.0;
    case kClassAv:
        return 200.0;
    default:
        return 14.0;
    }
}

bool macEqual(const uint8_t* a, const uint8_t* b) {
    return std::memcmp(a, b, kMacLength) == 0;
}

bool macIsSet(const uint8_t* mac) {
    for (int i = 0; i < kMacLength; ++i)
        if (mac[i] != 0)
            return true;
    return false;
}

std::string formatMac(const uint8_t* mac) {
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2],
                  mac[3], mac[4], mac[5]);
    return text;
}

int hexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool parseMac(const char* text, uint8_t out[6]) {
    std::memset(out, 0, kMacLength);
    if (text == nullptr)
        return false;
    const char* p = text;
    for (int n = 0; n < kMacLength; ++n) {
        int hi = hexDigitValue(p[0]);
        int lo = hi < 0 ? -1 : hexDigitValue(p[1]);
        if (hi < 0 || lo < 0)
            return false;
        out[n] = static_cast<uint8_t>(hi * 16 + lo);
        p += 2;
        if (n < kMacLength - 1) {
            if (*p != ':')
                return false;
            ++p;
        }
    }
    return true;
}

const uint8_t* hostMac() {
    return interfaceTable[currentInterface].mac;
}
const uint8_t* localDeviceMac() {
    return scanStates[currentInterface].localMac;
}
ScanState& currentScanState() {
    return scanStates[currentInterface];
}

const char* deviceClassName(int32_t deviceClass) {
    if (deviceClass < 0 || deviceClass > kClassAv)
        return kClassNames[0];
    return kClassNames[deviceClass];
}

const char* className(int interfaceIndex) {
    int32_t cls = (interfaceIndex >= 0 && interfaceIndex < kMaxInterfaces)
                      ? scanStates[interfaceIndex].deviceClass
                      : 0;
    copyText(classNameBuffer, deviceClassName(cls));
    return classNameBuffer;
}

RemoteDevice* findRemote(const uint8_t* mac) {
    return findRemoteOn(currentInterface, mac);
}

RemoteDevice* findRemoteOn(int i, const uint8_t* mac) {
    if (i < 0 || i >= kMaxInterfaces || !macIsSet(mac))
        return nullptr;
    for (RemoteDevice& slot : networkRecords[i].remotes)
        if (macEqual(slot.mac, mac))
            return &slot;
    return nullptr;
}

int findDeviceEntry(const uint8_t* mac) {
    for (int i = 0; i < deviceCount && i < kMaxDeviceEntries; ++i)
        if (macEqual(deviceTable[i].mac, mac))
            return i + 1;
    return 0;
}

int findDeviceEntryByName(const char* name) {
    for (int i = 0; i < deviceCount && i < kMaxDeviceEntries; ++i)
        if (std::strncmp(deviceTable[i].name, name, sizeof deviceTable[i].name) == 0)
            return i + 1;
    return 0;
}

int findDeviceEntryByAvKey(const uint8_t* key16) {
    for (int i = 0; i < deviceCount && i < kMaxDeviceEntries; ++i) {
        if (std::memcmp(deviceTable[i].networkKey, key16, 8) == 0) {
            copyText(matchedKeyLabel, deviceTable[i].keyLabel);
            return i + 1;
        }
    }
    return 0;
}

int appendDeviceEntry(const uint8_t* mac, const char* name) {
    if (deviceCount < 0 || deviceCount >= kMaxDeviceEntries)
        return 0;
    DeviceEntry& entry = deviceTable[deviceCount];
    std::memset(&entry, 0, sizeof entry);
    std::memcpy(entry.mac, mac, kMacLength);
    copyText(entry.name, name);
    ++deviceCount;
    return deviceCount;
}

void removeRemoteSlot(const uint8_t* mac) {
    RemoteDevice* slot = findRemote(mac);
    if (slot == nullptr)
        return;
    RemoteDevice* remotes = networkRecords[currentInterface].remotes;
    int index = static_cast<int>(slot - remotes);
    std::memmove(&remotes[index], &remotes[index + 1],
                 sizeof(RemoteDevice) * (kRemoteSlots - 1 - index));
    std::memset(&remotes[kRemoteSlots - 1], 0, sizeof(RemoteDevice));
}

void deleteDeviceEntry(int index1) {
    if (index1 < 1 || index1 > deviceCount || index1 > kMaxDeviceEntries)
        return;
    int k = index1 - 1;
    removeRemoteSlot(deviceTable[k].mac);
    std::memmove(&deviceTable[k], &deviceTable[k + 1],
                 sizeof(DeviceEntry) * (kMaxDeviceEntries - 1 - k));
    std::memset(&deviceTable[kMaxDeviceEntries - 1], 0, sizeof(DeviceEntry));
    --deviceCount;
}

IoCounters ioCounters(int interfaceIndex) {
    if (interfaceIndex < 0 || interfaceIndex >= kMaxInterfaces)
        return {0, 0, 0, 0};
    const ScanState& s = scanStates[interfaceIndex];
    return {s.bytesRead, s.reads, s.bytesWritten, s.writes};
}

namespace {
// Stamps the slot with the key and label the local device uses right now.
void stampCurrentKey(RemoteDevice& slot) {
    if (localIsAv) {
        std::memcpy(slot.networkKey, avNetworkKey, 16);
        copyText(slot.keyLabel, avKeyLabel);
    } else {
        std::memcpy(slot.networkKey, hp10NetworkKey, 8);
        copyText(slot.keyLabel, hp10KeyLabel);
    }
}
} // namespace

void recordRemote(const uint8_t* mac) {
    // A frame's source is one station: an unset or group address names none,
    // and a slot holding one would stand for no device (or for all of them).
    if (!macIsSet(mac) || (mac[0] & 0x01))
        return;
    if (macEqual(mac, scanStates[currentInterface].localMac))
        return;
    RemoteDevice* slot = findRemote(mac);
    if (slot == nullptr) {
        RemoteDevice* remotes = networkRecords[currentInterface].remotes;
        slot = &remotes[kRemoteSlots - 1];
        for (int i = 0; i < kRemoteSlots; ++i) {
            if (!macIsSet(remotes[i].mac)) {
                slot = &remotes[i];
                break;
            }
        }
        std::memcpy(slot->mac, mac, kMacLength);
        slot->deviceType = localIsAv ? kTypeAv : kTypeHp10;
    }
    slot->missesTillDrop = static_cast<int8_t>(dropAfterMisses);
    stampCurrentKey(*slot);
    slot->active = 1;
    // Counted in 32 bits as the file stores it; wraps rather than overflows.
    slot->seenCount = static_cast<int32_t>(static_cast<uint32_t>(slot->seenCount) + 1u);
}

double convertRate(uint16_t raw, int kind) {
    switch (kind) {
    case kRateHp10:
        return raw / 42.0 * 1.1434511434511434 - 0.12978912978912938;
    case kRateTurbo: {
        double x = raw * 8.0 / 336.0;
        if (x <= 6.0)
            return x;
        if (x <= 12.357142857142858)
            return 6.0 + (x - 6.0) / 6.357142857142858 * 8.0;
        return 14.0 + (x - 12.357142857142858) / 54.59523809523809 * 71.0;
    }
    case kRateAv:
        return static_cast<double>(static_cast<int>(raw) * 200 / 151);
    default:
        return 0.0;
    }
}

void updateLinkStats(LinkStats& stats, const uint16_t raw[3], int kind) {
    double r = convertRate(raw[0], kind);
    if (std::fabs(stats.rate - r) > 0.02)
        stats.changed = 1;
    // A quiet HomePlug 1.0 link converts to a small negative value; it is
    // +0.0, never the -0.0 that truncating it gives ("Lowest = -0.00 Mbps").
    stats.rate = r > 0 ? std::trunc(r) : 0.0;
    if (stats.lowest > stats.rate || stats.lowest < 1.0)
        stats.lowest = stats.rate;
    if (stats.highest < stats.rate)
        stats.highest = stats.rate;
    stats.fails = raw[1];
    stats.drops = raw[2];
}

namespace {
double cleanRate(double rate) {
    return std::isfinite(rate) && rate > 0 && rate <= kHighestRate ? rate : 0.0;
}
} // namespace

void cleanLinkStats(LinkStats& stats) {
    stats.rate = cleanRate(stats.rate);
    stats.lowest = cleanRate(stats.lowest);
    stats.highest = cleanRate(stats.highest);
    stats.changed = stats.changed != 0 ? 1 : 0;
}

void copyText(char* dst, size_t size, const char* src) {
    if (size == 0)
        return;
    size_t n = src ? strnlen(src, size - 1) : 0;
    if (n)
        std::memcpy(dst, src, n);
    std::memset(dst + n, 0, size - n);
}

void setCurrentInterface(int i) {
    currentInterface = i >= kMaxInterfaces ? kMaxInterfaces - 1 : i < 0 ? 0 : i;
}

void makeInterfaceCurrent(int i) {
    setCurrentInterface(i);
    localIsTurbo = networkRecords[currentInterface].deviceClass == kClassTurbo ? 1 : 0;
}

void recordLocalMac(int i, const uint8_t* mac) {
    if (i >= 0 && i < kMaxInterfaces)
        std::memcpy(scanStates[i].localMac, mac, sizeof scanStates[i].localMac);
}

void markLocalDeviceFound(int i, int32_t deviceClass, bool wasCurrent) {
    if (i < 0 || i >= kMaxInterfaces)
        return;
    if (wasCurrent) {
        if (deviceClass == kClassAv)
            localIsAv = 1;
        else if (deviceClass == kClassTurbo)
            localIsTurbo = 1;
    }
    scanStates[i].paramsValid = 1;
    scanStates[i].localPresent = 1;
    scanStates[i].deviceClass = deviceClass;
}

namespace {
DeviceEntry* entryAt(int index1) {
    return index1 >= 1 && index1 <= deviceCount && index1 <= kMaxDeviceEntries
               ? &deviceTable[index1 - 1]
               : nullptr;
}
} // namespace

const DeviceEntry* deviceEntryAt(int index1) {
    return entryAt(index1);
}

const DeviceEntry* stampDeviceEntry(const uint8_t* mac) {
    DeviceEntry* entry = entryAt(findDeviceEntry(mac));
    if (entry == nullptr || currentInterface < 0 || currentInterface >= kMaxInterfaces)
        return entry;
    copyText(entry->keyLabel, fieldText(networkRecords[currentInterface].keyLabel).c_str());
    entry->lastSeen = static_cast<int64_t>(std::time(nullptr));
    return entry;
}

void setEntryName(int index1, const char* name) {
    if (DeviceEntry* entry = entryAt(index1))
        copyText(entry->name, name);
}

void setEntryPassword(int index1, const char* password) {
    if (DeviceEntry* entry = entryAt(index1))
        copyText(entry->password, password);
}

void setEntryKey(int index1, const char* keyLabel, const uint8_t* key, size_t keyLength) {
    DeviceEntry* entry = entryAt(index1);
    if (entry == nullptr)
        return;
    copyText(entry->keyLabel, keyLabel);
    std::memset(entry->networkKey, 0, sizeof entry->networkKey);
    std::memcpy(entry->networkKey, key,
                keyLength < sizeof entry->networkKey ? keyLength : sizeof entry->networkKey);
}

void clearDeviceEntries() {
    deviceCount = 0;
    std::memset(deviceTable, 0, sizeof deviceTable);
}

void adoptDeviceEntries(const DeviceEntry* entries, int count) {
    clearDeviceEntries();
    if (count <= 0)
        return;
    count = count > kMaxDeviceEntries ? kMaxDeviceEntries : count;
    std::memcpy(deviceTable, entries, sizeof(DeviceEntry) * static_cast<size_t>(count));
    deviceCount = count;
}

void adoptNetworkRecords(const NetworkRecord (&records)[kMaxInterfaces]) {
    std::memcpy(networkRecords, records, sizeof networkRecords);
}

void clearNetworkRecords(const char* keyLabel) {
    std::memset(networkRecords, 0, sizeof networkRecords);
    for (NetworkRecord& record : networkRecords)
        copyText(record.keyLabel, keyLabel);
}
