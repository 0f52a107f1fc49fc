#include "security/key_operations.h"

#include <cstring>
#include <stdexcept>
#include <utility>

#include "maintenance/av_maintenance.h"
#include "network/auto_scan.h"
#include "network/hp10_frames.h"
#include "network/listed_devices.h"
#include "network/model.h"
#include "network/scan.h"
#include "packet/frame_bytes.h"
#include "packet/packet.h"
#include "platform/clock.h"
#include "platform/wait_cursor.h"
#include "plcapi/plcapi.h"
#include "security/keys.h"
#include "security/passwords.h"
#include "storage/device_database.h"

int addingDevice = 0;
uint8_t addedDeviceMac[6] = {};
char addedDeviceName[80] = {};
char addedDevicePassword[kPasswordBufferSize] = {};
uint8_t priorHp10Key[8] = {};
uint8_t quietNotDetected = 0;

namespace {
KeyNoticeSink keyNoticeSink;

void tellKeyNotice(KeyMessage message) {
    if (keyNoticeSink)
        keyNoticeSink(message);
}
} // namespace

void setKeyNoticeSink(KeyNoticeSink sink) {
    keyNoticeSink = std::move(sink);
}

void beginAddingDevice() {
    addingDevice = 1;
}

void endAddingDevice() {
    addingDevice = 0;
    std::memset(addedDeviceMac, 0, sizeof addedDeviceMac);
}

void endQuietNotDetected() {
    quietNotDetected = 0;
}

namespace {

constexpr const uint8_t* kBroadcast = kBroadcastMac;
constexpr int kKeyAttempts = 5;          // set-key attempts per device
constexpr uint32_t kRetryWaitMs = 1000;  // after each failed attempt
constexpr uint32_t kRowWaitMs = 3000;    // after each checked row
constexpr int kNewAvAttempts = 11;       // attempts to key a new AV device
constexpr uint32_t kNewAvWaitMs = 2000;  // before each of them
constexpr int kStationPolls = 501;       // network information polls
constexpr uint32_t kPollSettleMs = 100;  // after a network information answer
constexpr uint32_t kRebootWaitMs = 5000; // the devices restart on their new keys
constexpr uint32_t kRejoinWaitMs = 10000;

// Network information confirmation: station count at frame byte 38, 15-byte
// station entries (MAC first) from frame byte 39; PlcReply.data starts at 20.
constexpr size_t kStationCountAt = 38 - 20;
constexpr size_t kStationEntriesAt = 39 - 20;
constexpr size_t kStationEntrySize = 15;

// setDeviceNetworkKey once its new key is chosen: `randomKey` says the key is
// a random one, which is undone on the local device when no device took it.
bool keyTargetWith(KeyTarget& target, const uint8_t* newKey, bool randomKey, bool broadcast);

NetworkRecord& currentRecord() {
    return networkRecords[currentInterface];
}

bool allZero(const uint8_t* bytes, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (bytes[i] != 0)
            return false;
    }
    return true;
}

bool isUnknownLabel(const char* label) {
    return std::strcmp(label, kUnknownKeyLabel) == 0;
}

// Sends the set-key request that makes the local AV device take `key` itself
// and waits for its confirmation. 4 when it confirmed, else 0.
int setLocalAvKey(const uint8_t* key) {
    const uint8_t* host = hostMac();
    if (!macIsSet(host))
        return 0;
    const uint8_t* local = currentRecord().localMac;
    SetKeyInput input{};
    std::memcpy(input.nmk, key, kAvKeyLength);
    input.selector = kSetKeySelectorLocal;
    std::memcpy(input.remoteMac, local, kMacLength);
    uint8_t frame[kMmeFrameCapacity] = {};
    uint32_t length = plcapi_RequestSetKey(host, local, sizeof frame, frame, &input);
    if (length == 0 || !sendFrame(currentInterface, frame, length))
        return 0;
    // Only the local device's own confirmation counts: another station's
    // (a stray or late one) says nothing about the key of this one.
    PlcReply reply{};
    return AwaitReply(kMmtypeSetKey, &reply, local) ? 4 : 0;
}

// The HomePlug 1.0 key set on the local device, verified against its
// parameters block.
int setLocalHp10Key(const uint8_t* key) {
    const uint8_t* host = hostMac();
    if (!macIsSet(host))
        return 0;
    try {
        return setNetworkKey(currentInterface, host, kBroadcast, 1, key, 1, true, false);
    } catch (...) {
        tellKeyNotice(KeyMessage::SetKeyFailed);
        return 0;
    }
}

// The AV key of the interface's network password. A label that names no
// password (the key was not recognised) stands for the key the interface
// already carries, never for a key derived from the label's text.
void interfaceAvKey(uint8_t out[16]) {
    const NetworkRecord& record = currentRecord();
    if (isUnknownLabel(record.keyLabel)) {
        std::memcpy(out, record.networkKey, kAvKeyLength);
        return;
    }
    AvDigest digest = deriveNMK(record.keyLabel);
    std::memcpy(out, digest.data(), kAvKeyLength);
}

// Set while a HomePlug 1.0/Turbo addition holds the prior key it recorded at
// its start. Each password form of the addition sets a random key on the local
// device; recording again then could take the random key of a form before
// whose restore failed, and the new device would be keyed with it.
bool priorKeyHeld = false;

// The key in force on the local HomePlug 1.0/Turbo device before a random key
// replaces it: the Turbo device's own answer to its get-key request, or the
// network key of the HomePlug 1.0 local parameters block (bytes 15..22).
void recordPriorHp10Key() {
    if (localIsTurbo) {
        readTurboKey();
        drainFor100ms();
        std::memcpy(priorHp10Key, hp10NetworkKey, sizeof priorHp10Key);
        return;
    }
    std::memcpy(priorHp10Key, localParamsBlock + kParamsNetworkKey, sizeof priorHp10Key);
}

// Records the prior key once for one addition and lets go of it at the end.
class PriorKeyScope {
  public:
    PriorKeyScope() {
        recordPriorHp10Key();
        priorKeyHeld = true;
    }
    ~PriorKeyScope() { priorKeyHeld = false; }
    PriorKeyScope(const PriorKeyScope&) = delete;
    PriorKeyScope& operator=(const PriorKeyScope&) = delete;
};

// The new key N of setDeviceNetworkKey, 16 bytes wide (8 used for 1.0/Turbo).
bool chooseNewKey(const char* networkPassword, bool broadcast, uint8_t key[16]) {
    std::memset(key, 0, kAvKeyLength);
    if (networkPassword == nullptr) {
        if (!makeRandomNetworkKey(key))
            return false;
        if (!localIsAv && !priorKeyHeld)
            recordPriorHp10Key();
        return true;
    }
    if (localIsAv) {
        if (broadcast)
            std::memcpy(key, avNetworkKey, kAvKeyLength);
        else
            std::memcpy(key, deriveNMK(networkPassword).data(), kAvKeyLength);
    } else if (addingDevice) {
        std::memcpy(key, priorHp10Key, kHp10KeyLength);
    } else {
        std::memcpy(key, deriveHP10Key(networkPassword).data(), kHp10KeyLength);
    }
    return true;
}

void deviceKeyOf(const char* password, uint8_t key[16]) {
    std::memset(key, 0, kAvKeyLength);
    if (localIsAv)
        std::memcpy(key, deriveDAK(password).data(), kAvKeyLength);
    else
        std::memcpy(key, deriveHP10Key(password).data(), kHp10KeyLength);
}

// A random key that no device took: put the device back on the current network.
void returnToCurrentNetwork(KeyTarget& target, const uint8_t* deviceKey, bool broadcast) {
    uint8_t mac[6];
    std::memcpy(mac, target.mac, kMacLength);
    if (localIsAv) {
        uint8_t key[16];
        interfaceAvKey(key);
        setLocalNEK(nullptr, key);
        // The device is back on the network, but it never took the random key:
        // the operation stays failed.
        sendSetKeyToDevice(deviceKey, key, mac, broadcast);
        return;
    }
    setLocalNEK(nullptr, priorHp10Key);
    sendSetKeyToDevice(deviceKey, priorHp10Key, mac, broadcast);
}

// The station of addedDeviceMac on the current interface is no longer active.
void removeAddedStation() {
    if (!macIsSet(addedDeviceMac))
        return;
    for (RemoteDevice& slot : currentRecord().remotes) {
        if (macEqual(slot.mac, addedDeviceMac)) {
            slot.active = 0;
            return;
        }
    }
}

void failAdding() {
    addingDevice = 0;
    removeAddedStation();
    std::memset(addedDeviceMac, 0, sizeof addedDeviceMac);
}

void advanceProgress(const ProgressHook& advance) {
    if (advance)
        advance();
}

// ---- HomePlug AV addition -------------------------------------------------------------

// Stations listed by a network information confirmation, bounded by the
// bytes that arrived.
size_t stationCount(const PlcReply& reply) {
    if (reply.dataLength <= kStationCountAt)
        return 0;
    return reply.data[kStationCountAt];
}

// The MAC of the first station entry, or zero when the reply holds none.
void firstStation(const PlcReply& reply, uint8_t out[6]) {
    std::memset(out, 0, kMacLength);
    size_t available = reply.dataLength < sizeof reply.data ? reply.dataLength : sizeof reply.data;
    if (stationCount(reply) == 0 || kStationEntriesAt + kStationEntrySize > available)
        return;
    std::memcpy(out, reply.data + kStationEntriesAt, kMacLength);
}

// Polls the local device's network information until it lists a station;
// returns how many the last poll listed and keeps the last confirmation.
size_t pollRandomNetwork(PlcReply& last) {
    const uint8_t* local = currentRecord().localMac;
    for (int poll = 0; poll < kStationPolls; ++poll) {
        sendAvRequest(local, kMmtypeNetworkInfo);
        PlcReply reply{};
        if (!AwaitReply(kMmtypeNetworkInfo, &reply, local))
            continue;
        sleepMs(kPollSettleMs);
        processStationList(reply);
        last = reply;
        size_t count = stationCount(reply);
        if (count >= 1)
            return count;
    }
    return 0;
}

// Keys the new device with the random key R under its DAK (11 attempts).
bool keyNewAvDevice(const uint8_t* dak, const uint8_t* randomKey) {
    for (int attempt = 0; attempt < kNewAvAttempts; ++attempt) {
        sleepMs(kNewAvWaitMs);
        uint8_t target[6];
        std::memcpy(target, kBroadcast, kMacLength);
        if (sendSetKeyToDevice(dak, randomKey, target, false) != 0)
            return true;
    }
    return false;
}

enum class Isolation { Found, NotKeyed, NoStation, Crowded };

// Moves the local device onto a new random network, keys the new device with
// the same key and looks for it there. Restarts while other stations share
// the random network or the local device did not take the random key, at most
// kMaxAddRestarts times.
Isolation isolateNewDevice(KeyTarget& target, uint8_t foundMac[6]) {
    uint8_t dak[16];
    deviceKeyOf(target.password, dak);
    for (int round = 0; round <= kMaxAddRestarts; ++round) {
        uint8_t randomKey[16];
        if (!makeRandomNetworkKey(randomKey))
            throw std::runtime_error("no random key");
        // Only a local device that took the random key is on a network of its
        // own; otherwise the poll below would list the user's own stations
        // and take one of them for the new device. Try again with a new key.
        if (setLocalNEK(hostMac(), randomKey) == 0)
            continue;
        if (!keyNewAvDevice(dak, randomKey))
            return Isolation::NotKeyed;
        target.result = 1;
        PlcReply last{};
        size_t stations = pollRandomNetwork(last);
        firstStation(last, foundMac);
        if (stations == 1)
            return Isolation::Found;
        if (stations == 0)
            return Isolation::NoStation;
    }
    return Isolation::Crowded;
}

AddDeviceOutcome addAvDevice(const char* name, KeyTarget& target, const ProgressHook& advance) {
    uint8_t savedKey[16] = {};
    if (!readLocalNmk(currentRecord().localMac, savedKey)) {
        addingDevice = 0;
        return {false, KeyMessage::LocalNmkUnreadable, false};
    }
    AddDeviceOutcome outcome{false, KeyMessage::None, true};
    try {
        uint8_t found[6] = {};
        Isolation isolation = isolateNewDevice(target, found);
        switch (isolation) {
        case Isolation::NotKeyed:
            addingDevice = 0;
            return {false, KeyMessage::RemoteNmkNotSet, false};
        case Isolation::NoStation:
        case Isolation::Crowded:
            addingDevice = 0;
            // Stations that kept sharing the random network are not the new
            // device; only the station of a silent network is named and removed.
            if (isolation == Isolation::NoStation) {
                std::memcpy(addedDeviceMac, found, kMacLength);
                removeAddedStation();
            }
            return {false, KeyMessage::AddingFailed, false};
        case Isolation::Found:
            break;
        }
        sleepMs(kRebootWaitMs);
        advanceProgress(advance);
        sleepMs(kRebootWaitMs);
        setLocalNEK(hostMac(), savedKey);
        advanceProgress(advance);
        sleepMs(kRejoinWaitMs);
        std::memcpy(addedDeviceMac, found, kMacLength);
        advanceProgress(advance);

        // The new device gets the key this addition read from the local
        // device and has just put back there, not the scan's copy of it (a
        // scan whose key read failed leaves that copy all zero).
        outcome.added = keyTargetWith(target, savedKey, false, true);
        if (outcome.added) {
            copyText(addedDeviceName, name != nullptr ? name : "");
            copyText(addedDevicePassword, target.password);
        } else {
            outcome.message = KeyMessage::NotDetected;
            failAdding();
        }
    } catch (...) {
        addingDevice = 0;
        return {false, KeyMessage::AddingProblem, false};
    }
    return outcome;
}

// ---- HomePlug 1.0 and Turbo addition ---------------------------------------------------

// Form `k` of a device password: 0 as typed, 1 in upper case (ASCII letters
// only), 2 in upper case with dashes inserted.
void passwordForm(const char* typed, int k, char form[kPasswordBufferSize]) {
    copyText(form, kPasswordBufferSize, typed);
    if (k == 0)
        return;
    for (char* c = form; *c != '\0'; ++c) {
        if (*c >= 'a' && *c <= 'z')
            *c = static_cast<char>(*c - 'a' + 'A');
    }
    if (k == 2)
        insertPasswordDashes(form);
}

AddDeviceOutcome addHp10Device(const char* name, KeyTarget& target, char* password) {
    char typed[kPasswordBufferSize];
    copyText(typed, password != nullptr ? password : "");
    char tried[3][kPasswordBufferSize] = {};
    // The local device's key before the first random one, recorded once for
    // every password form and for the restore at the end.
    PriorKeyScope prior;
    bool found = false;
    for (int k = 0; k < 3 && !found; ++k) {
        passwordForm(typed, k, tried[k]);
        // A form that is the typed password again (or one already tried) adds nothing.
        bool repeat = false;
        for (int j = 0; j < k; ++j)
            repeat = repeat || std::strcmp(tried[k], tried[j]) == 0;
        if (repeat)
            continue;
        copyText(target.password, tried[k]);
        found = setDeviceNetworkKey(target, nullptr, true);
    }
    bool result = false;
    if (found && setDeviceNetworkKey(target, currentRecord().keyLabel, false)) {
        if (name != nullptr)
            copyText(addedDeviceName, name);
        copyText(addedDevicePassword, target.password);
        result = true;
    }
    // The local device ends on the network's key. When it does not confirm
    // that, the prior key (the one the new device was given) is put back; a
    // local device that confirms neither is not known to share a network with
    // the new device, so the addition is not reported as done.
    if (applyNetworkPasswordToLocal() == 0 && setLocalNEK(nullptr, priorHp10Key) == 0)
        result = false;
    if (!result) {
        failAdding();
        return {false, KeyMessage::NotDetected, false};
    }
    if (password != nullptr && std::strcmp(target.password, typed) != 0)
        copyText(password, kPasswordBufferSize, target.password);
    return {true, KeyMessage::DeviceAdded, false};
}

} // namespace

// ---- State --------------------------------------------------------------------------------

void resetKeyOperations() {
    addingDevice = 0;
    std::memset(addedDeviceMac, 0, sizeof addedDeviceMac);
    std::memset(addedDeviceName, 0, sizeof addedDeviceName);
    std::memset(addedDevicePassword, 0, sizeof addedDevicePassword);
    std::memset(priorHp10Key, 0, sizeof priorHp10Key);
    quietNotDetected = 0;
}

// ---- Operations ---------------------------------------------------------------------------

bool selectInterfaceByMac(const uint8_t* mac) {
    if (mac == nullptr || !macIsSet(mac))
        return true;
    for (int i = 0; i < kMaxInterfaces; ++i) {
        if (!scanStates[i].localPresent || !macEqual(interfaceTable[i].mac, mac))
            continue;
        makeInterfaceCurrent(i);
        return true;
    }
    return false;
}

int setLocalNEK(const uint8_t* mac, const uint8_t* key) {
    BusyScope busy;
    if (mac != nullptr)
        selectInterfaceByMac(mac);
    if (localIsTurbo)
        return setTurboKey(key);
    if (localIsAv)
        return setLocalAvKey(key);
    return setLocalHp10Key(key);
}

int applyNetworkPasswordToLocal() {
    BusyScope busy;
    NetworkRecord& record = currentRecord();
    if (localIsAv) {
        uint8_t key[16];
        interfaceAvKey(key);
        std::memcpy(record.networkKey, key, kAvKeyLength);
        if (!isUnknownLabel(record.keyLabel)) {
            for (int i = 0; i < deviceCount && i < kMaxDeviceEntries; ++i) {
                if (!macEqual(deviceTable[i].mac, record.localMac))
                    continue;
                setEntryKey(i + 1, record.keyLabel, key, kAvKeyLength);
            }
        }
        return setLocalAvKey(key);
    }
    if (localIsTurbo) {
        readTurboKey();
        drainFor100ms();
        return setTurboKey(hp10NetworkKey);
    }
    // A label that names no password keeps the key in force before the
    // addition rather than a key derived from the label's text.
    uint8_t key[8];
    if (isUnknownLabel(record.keyLabel)) {
        if (allZero(priorHp10Key, sizeof priorHp10Key))
            return 0; // no key known: leave the local device as it is
        std::memcpy(key, priorHp10Key, sizeof key);
    } else
        std::memcpy(key, deriveHP10Key(record.keyLabel).data(), sizeof key);
    const uint8_t* host = hostMac();
    if (!macIsSet(host))
        return 0;
    uint8_t ownKey[8];
    std::memcpy(ownKey, localParamsBlock + kParamsDeviceKey, sizeof ownKey);
    setNetworkKey(currentInterface, host, kBroadcast, 0, ownKey, 1, true, true);
    return setNetworkKey(currentInterface, host, kBroadcast, 1, key, 1, true, false);
}

int sendSetKeyToDevice(const uint8_t* deviceKey, const uint8_t* newKey, uint8_t targetMac[6],
                       bool broadcast) {
    BusyScope busy;
    const uint8_t* host = hostMac();
    if (!macIsSet(host)) {
        tellKeyNotice(KeyMessage::SourceMacUnset);
        return 0;
    }
    if (localIsAv || localIsTurbo) {
        uint8_t buffer[6];
        std::memcpy(buffer, broadcast ? kBroadcast : targetMac, kMacLength);
        int code = sendEncryptedKey(buffer, deviceKey, newKey);
        if (!broadcast) {
            std::memcpy(targetMac, buffer, kMacLength);
            return code;
        }
        if (localIsTurbo)
            std::memcpy(addedDeviceMac, buffer, kMacLength);
        if (code != 0)
            std::memcpy(targetMac, buffer, kMacLength);
        return code;
    }
    const int i = currentInterface;
    setNetworkKey(i, host, kBroadcast, 0, deviceKey, 0, true, true);
    setNetworkKey(i, host, targetMac, 1, newKey, 1, false, true);
    const uint8_t settings[3] = {static_cast<uint8_t>(localParamsBlock[kParamsSettings] | 0x40),
                                 static_cast<uint8_t>(localParamsBlock[kParamsSettings + 1] | 0x01),
                                 1};
    sendVendorSettings(i, host, kBroadcast, settings);
    if (waitForKeyConfirmation(targetMac) != 0)
        return 2;
    return probeDevice(targetMac, broadcast) ? 1 : 0;
}

bool setDeviceNetworkKey(KeyTarget& target, const char* networkPassword, bool broadcast) {
    BusyScope busy;
    target.result = 0;
    uint8_t newKey[16];
    if (!chooseNewKey(networkPassword, broadcast, newKey))
        return false;
    return keyTargetWith(target, newKey, networkPassword == nullptr, broadcast);
}

namespace {

bool keyTargetWith(KeyTarget& target, const uint8_t* newKey, bool randomKey, bool broadcast) {
    BusyScope busy;
    target.result = 0;
    if (!localIsAv && setLocalNEK(nullptr, newKey) == 0) {
        // The local device may have taken a random key without confirming it
        // (its parameters answer was lost); it must not stay on it.
        if (randomKey)
            setLocalNEK(nullptr, priorHp10Key);
        return false;
    }
    uint8_t deviceKey[16];
    deviceKeyOf(target.password, deviceKey);
    if (broadcast)
        std::memcpy(target.mac, kBroadcast, kMacLength);
    for (int attempt = 0; attempt < kKeyAttempts; ++attempt) {
        if (sendSetKeyToDevice(deviceKey, newKey, target.mac, broadcast) != 0) {
            target.result = 1;
            break;
        }
        sleepMs(kRetryWaitMs);
    }
    if (randomKey && target.result == 0)
        returnToCurrentNetwork(target, deviceKey, broadcast);
    return target.result == 1;
}

} // namespace

bool anyDeviceChecked(const std::vector<SecurityRow>& rows) {
    for (const SecurityRow& row : rows) {
        if (row.checked)
            return true;
    }
    return false;
}

SecurityRow selectedDeviceRow(const uint8_t mac[6]) {
    SecurityRow row;
    row.checked = true;
    row.cells.assign(static_cast<size_t>(kSecurityMacColumn) + 1, std::string());
    row.cells[kSecurityMacColumn] = formatMac(mac);
    return row;
}

namespace {

// The row's "MAC Address" cell as a MAC; false when the cell holds none.
bool rowMac(const SecurityRow& row, uint8_t mac[6]) {
    std::memset(mac, 0, kMacLength);
    if (row.cells.size() <= static_cast<size_t>(kSecurityMacColumn))
        return false;
    std::string text = row.cells[kSecurityMacColumn].substr(0, kSecurityCellMax);
    return parseMac(text.c_str(), mac) && macIsSet(mac);
}

// Keys one remote row's device; false only when it has an entry and failed.
bool keyRemoteRow(const uint8_t* mac, const char* networkPassword) {
    int index = findDeviceEntry(mac);
    if (index == 0)
        return true;
    const DeviceEntry& entry = deviceTable[index - 1];
    KeyTarget target{};
    copyText(target.password, entry.password);
    std::memcpy(target.mac, entry.mac, kMacLength);
    if (!setDeviceNetworkKey(target, networkPassword, false))
        return false;
    // The key the device now holds, in its family's width.
    if (localIsAv)
        setEntryKey(index, networkPassword, deriveNMK(networkPassword).data(), kAvKeyLength);
    else
        setEntryKey(index, networkPassword, deriveHP10Key(networkPassword).data(), kHp10KeyLength);
    saveDeviceDatabase();
    return true;
}

bool keyLocalRow(const char* networkPassword) {
    uint8_t key[16] = {};
    if (localIsAv)
        std::memcpy(key, deriveNMK(networkPassword).data(), kAvKeyLength);
    else
        std::memcpy(key, deriveHP10Key(networkPassword).data(), kHp10KeyLength);
    if (setLocalNEK(nullptr, key) == 0)
        return false;
    quietNotDetected = 1;
    saveDeviceDatabase();
    return true;
}

} // namespace

KeyMessage setSelectedDevices(const std::vector<SecurityRow>& rows, const char* networkPassword) {
    WaitCursorScope cursor;
    BusyScope busy;
    // A missing password would mean "random key" further down; the page always
    // passes the typed text, so treat its absence as an empty text.
    if (networkPassword == nullptr)
        networkPassword = "";
    int failures = 0;
    for (const SecurityRow& row : rows) {
        if (!row.checked)
            continue;
        uint8_t mac[6];
        bool parsed = rowMac(row, mac);
        bool local = parsed && macEqual(mac, currentRecord().localMac);
        if (parsed && !local && !keyRemoteRow(mac, networkPassword))
            ++failures;
        sleepMs(kRowWaitMs);
        if (!local)
            continue;
        if (!keyLocalRow(networkPassword))
            ++failures;
        sleepMs(kRowWaitMs);
    }
    return failures > 0 ? KeyMessage::SomeDevicesRefused : KeyMessage::KeyChanged;
}

AddDeviceOutcome addDeviceByPassword(const char* name, char* password,
                                     const ProgressHook& advance) {
    WaitCursorScope cursor;
    BusyScope busy;
    KeyTarget target{};
    copyText(target.password, password != nullptr ? password : "");
    if (localIsAv)
        return addAvDevice(name, target, advance);
    return addHp10Device(name, target, password);
}

// ---- The network password ------------------------------------------------------------

namespace {
constexpr uint32_t kMarkSettleMs = 100; // after marking the key as changed
} // namespace

KeyTextProblem checkNetworkKeyText(const std::string& text) {
    if (!checkNetworkPassword(text.c_str()))
        return KeyTextProblem::InvalidNetworkPassword;
    // A NUL inside the text would cut it short for the checks while the user
    // meant more: refused like any other control character.
    if (!checkPasswordRules(text.c_str()) || text.find('\0') != std::string::npos)
        return KeyTextProblem::BreaksRules;
    return KeyTextProblem::None;
}

const char* publicNetworkPassword() {
    return localIsAv ? kDefaultNetworkPassword : kHp10DefaultNetworkPassword;
}

void fileNetworkPassword(const std::string& text) {
    markKeyChanged();
    sleepMs(kMarkSettleMs);
    NetworkRecord& record = networkRecords[currentInterface];
    if (localIsAv) {
        AvDigest nmk = deriveNMK(text.c_str());
        std::memcpy(record.networkKey, nmk.data(), kAvKeyLength);
    }
    copyText(record.keyLabel, text.c_str());
}

bool deviceKeyable(const uint8_t mac[6]) {
    if (!deviceOnNetwork(mac))
        return false;
    return macEqual(mac, currentScanState().localMac) || findDeviceEntry(mac) != 0;
}

KeyMessage keyDevicesOnNetwork(const std::vector<std::array<uint8_t, 6>>& macs, bool local,
                               const std::string& keyText) {
    std::vector<SecurityRow> rows;
    if (currentInterface >= 0 && currentInterface < kMaxInterfaces) {
        const ScanState& state = currentScanState();
        if (local && state.localPresent)
            rows.push_back(selectedDeviceRow(state.localMac));
        for (const RemoteDevice& slot : currentRecord().remotes) {
            if (macEqual(slot.mac, state.localMac) || !deviceKeyable(slot.mac))
                continue;
            for (const auto& wanted : macs) {
                if (macEqual(wanted.data(), slot.mac)) {
                    rows.push_back(selectedDeviceRow(slot.mac));
                    break; // a MAC given twice keys its device once
                }
            }
        }
    }
    const std::string text = keyText.substr(0, kKeyTextMax);
    const int previous = suspendAutoScan(0);
    fileNetworkPassword(text);
    const KeyMessage outcome = setSelectedDevices(rows, text.c_str());
    selectInterfaceWithLocalDevice();
    suspendAutoScan(previous);
    return outcome;
}
