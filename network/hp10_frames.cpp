#include "network/hp10_frames.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "diagnostics/scan_log.h"
#include "maintenance/av_maintenance.h"
#include "network/auto_scan.h"
#include "network/hp10_parse.h"
#include "network/model.h"
#include "packet/frame_bytes.h"
#include "packet/packet.h"
#include "platform/clock.h"
#include "plcapi/plcapi.h"

namespace {
constexpr uint32_t kDrainLimitMs = 100;  // one drain never runs longer than this
constexpr uint32_t kParamsWaitMs = 200;  // waitForParametersResponse
constexpr uint32_t kKeyConfirmMs = 3700; // waitForKeyConfirmation
constexpr uint32_t kVerifyWaitMs = 500;  // each verification attempt of setNetworkKey
constexpr uint16_t kTurboRateLimit = 519;
constexpr size_t kAvFrameBuffer = 1528;
constexpr uint16_t kMmSetKey = 0xA050;

// Nesting depth of the observer's local parameters probe: a probe runs
// receives of its own, and a frame seen inside it never starts another.
int probeDepth = 0;
// The probe already ran on the interface since the last armLocalParametersProbe.
bool probeSpent[kMaxInterfaces] = {};
// The scan's HomePlug 1.0 discovery is receiving (DiscoveryProbeScope).
bool discoveryReceiving = false;

// Who may be an interface's local device. A station that claims the role (a
// marker, a self-addressed frame, a Turbo version answer of a local device)
// while another is the local device is only remembered; it takes the role
// when a discovery finds the current device silent (adoptLocalChallenger).
struct LocalWatch {
    bool heard = false;      // the current local device sent a frame since openLocalWatch
    bool challenged = false; // another station claimed the role since then
    uint8_t challenger[6] = {};
};
LocalWatch localWatch[kMaxInterfaces];

// Where the last Turbo read request went: only that adapter answers it.
struct TurboReadPeer {
    bool sent = false;
    int interface = -1;
    uint8_t mac[6] = {};
};
TurboReadPeer turboReadPeer;

bool validInterface(int i) {
    return i >= 0 && i < kMaxInterfaces;
}

bool isBroadcast(const uint8_t* mac) {
    return macEqual(mac, kBroadcastMac);
}

// `source` is interface i's local device, or no local device is known there
// yet (then the first station to answer for it is taken, as discovery does).
bool isLocalDeviceOf(int i, const uint8_t* source) {
    if (!validInterface(i))
        return false;
    const uint8_t* local = scanStates[i].localMac;
    return !macIsSet(local) || macEqual(local, source);
}

void putEntry(uint8_t* frame, uint8_t count, uint8_t type, uint8_t length) {
    frame[14] = count;
    frame[15] = type;
    frame[16] = length;
}

void startFrame(uint8_t* frame, const uint8_t* dst, const uint8_t* src) {
    std::memset(frame, 0, kHp10BufferSize);
    buildHp10Header(frame, dst, src);
}

// The interface the frame being handled arrived on. A Turbo answer belongs to
// that interface's network: discovery probes one interface after another,
// and a late answer from the previous one must not be taken for the local
// device of the one probed now.
int arrivalInterface() {
    return validInterface(lastRxInterface) ? lastRxInterface : currentInterface;
}

// Turbo version answer (vendor code 0x10).
void handleTurboVersion(const Hp10Frame& answer) {
    const int arrived = arrivalInterface();
    if (answer.fromRemote) {
        RemoteDevice* slot = findRemoteOn(arrived, answer.source);
        if (slot == nullptr)
            return;
        slot->active = 1;
        slot->missesTillDrop = static_cast<int8_t>(dropAfterMisses);
        if (slot->deviceType != kTypeTurbo)
            slot->typeChanged = 1;
        slot->deviceType = kTypeTurbo;
        copyText(slot->version, answer.version);
        copyText(slot->vendor, answer.vendor);
        copyText(slot->product, answer.product);
        return;
    }
    // An answer of a local device from a station other than the interface's
    // local device does not move the role while that device still answers.
    if (!acceptLocalClaim(arrived, answer.source))
        return;
    std::memcpy(scanStates[arrived].localMac, answer.source, kMacLength);
    // The answered flag and the texts describe the local device of the
    // interface being probed; another interface's answer only names its own
    // local device.
    if (arrived != currentInterface)
        return;
    turboLocalAnswered = 1;
    copyText(turboVersion, answer.version);
    copyText(turboVendor, answer.vendor);
    copyText(turboProduct, answer.product);
}

// Turbo station statistics: the rate of every entry that names a remote slot.
void handleTurboStationStats(const Hp10Frame& answer) {
    for (size_t j = 0; j < answer.turboStationCount; ++j) {
        const Hp10StationEntry& entry = answer.turboStations[j];
        RemoteDevice* slot = findRemoteOn(arrivalInterface(), entry.mac);
        if (slot == nullptr)
            continue;
        const uint16_t raw[3] = {entry.rate, 0, 0};
        updateLinkStats(slot->stats, raw, kRateTurbo);
    }
}

// A Turbo read answer counts only from the adapter the read request went to
// (the local device), on the interface it went out on. Before any request,
// only the interface's local device.
bool fromTurboReadPeer(const Hp10Frame& answer) {
    const int arrived = arrivalInterface();
    if (!turboReadPeer.sent)
        return isLocalDeviceOf(arrived, answer.source);
    return arrived == turboReadPeer.interface && macEqual(answer.source, turboReadPeer.mac);
}

void handleTurboReadAnswer(const Hp10Frame& answer) {
    if (!fromTurboReadPeer(answer))
        return;
    if (answer.kind == Hp10Kind::TurboFirmware) {
        std::memcpy(turboFirmware, answer.firmware, answer.firmwareLength);
        turboFirmware[answer.firmwareLength] = '\0';
        size_t n = std::strlen(turboFirmware);
        if (n > 16 && turboFirmware[14] == '1' &&
            (turboFirmware[16] == '5' || turboFirmware[16] == '6'))
            oldFirmware = 1;
    } else if (answer.kind == Hp10Kind::TurboKey && answer.keyComplete) {
        std::memcpy(hp10NetworkKey, answer.key, 8);
    }
}

// Stores a 0x19 answer's block as the local parameters block, or logs it when
// it begins with seven equal bytes (a block the device has not filled). Only
// the local device's block counts.
void storeLocalParams(const Hp10Frame& answer) {
    if (!answer.paramsBlock || !isLocalDeviceOf(arrivalInterface(), answer.source))
        return;
    if (answer.paramsUnfilled) {
        appendParametersLog(answer.paramsKind == 2 ? 1 : 0, answer.params);
        return;
    }
    uint8_t wanted = scanStates[currentInterface].paramsValid ? 1 : 2;
    if (answer.paramsKind != wanted)
        return;
    std::memcpy(localParamsBlock, answer.params, kLocalParamsSize);
    localParamsCaptured = 1;
}

// Rates of the remote devices named in a 0x1A answer, then the local link as
// the average over the remote devices.
void handleNetworkStats(const Hp10Frame& answer) {
    NetworkRecord& record = networkRecords[currentInterface];
    if (localIsTurbo) {
        handleTurboStationStats(answer);
    } else {
        for (RemoteDevice& slot : record.remotes) {
            if (!slot.active)
                continue;
            for (size_t j = 0; j < answer.stationCount; ++j) {
                const Hp10StationEntry& entry = answer.stations[j];
                if (!macEqual(entry.mac, slot.mac))
                    continue;
                uint16_t raw = entry.rate;
                if (slot.deviceType == kTypeTurbo) {
                    raw = std::min(raw, kTurboRateLimit);
                    raw = static_cast<uint16_t>(raw * 85 / 14);
                }
                const uint16_t values[3] = {raw, entry.fails, entry.drops};
                updateLinkStats(slot.stats, values, kRateHp10);
                break;
            }
        }
    }
    double sum = 0;
    int count = 0;
    for (const RemoteDevice& slot : record.remotes) {
        if (!slot.active || slot.stats.rate == 0)
            break;
        sum += slot.stats.rate;
        ++count;
    }
    uint16_t average = count ? static_cast<uint16_t>(static_cast<long>(sum * 42 / count)) : 0;
    const uint16_t values[3] = {average, answer.localFails, answer.localDrops};
    updateLinkStats(record.localStats, values, kRateHp10);
}

// An AV set-key confirmation with a success status.
bool isSetKeyConfirmation(const uint8_t* frame, uint32_t length) {
    if (etherTypeOf(frame, length) != kEtherTypeAv)
        return false;
    PlcReply reply;
    if (plcapi_DecodeFrame(length, frame, &reply) != 0)
        return false;
    return reply.mmtype == (kMmSetKey | 1) && (reply.valid == 1 || reply.status == 0);
}

// A 0x19 answer of the stored copy (kind 1) carrying a whole block.
bool isStoredParamsAnswer(const Hp10Frame& answer) {
    return answer.kind == Hp10Kind::LocalParams && answer.paramsBlock && answer.paramsKind == 1;
}
} // namespace

// ---- Frame builders ---------------------------------------------------------------

void buildHp10Header(uint8_t* frame, const uint8_t* dst, const uint8_t* src) {
    std::memset(frame, 0, kHp10HeaderLength);
    std::memcpy(frame, dst, kMacLength);
    std::memcpy(frame + 6, src, kMacLength);
    putBe16(frame + 12, kEtherTypeHp10);
}

size_t buildParametersRequest(uint8_t* frame, const uint8_t* src, const uint8_t* dst) {
    startFrame(frame, dst, src);
    putEntry(frame, 1, kEntryParamsRequest, 0);
    return kParamsRequestLength;
}

size_t buildLocalParametersRequest(uint8_t* frame, const uint8_t* src, const uint8_t* dst,
                                   uint8_t selector) {
    startFrame(frame, dst, src);
    putEntry(frame, 1, kEntryLocalParams, 15);
    frame[17] = selector;
    return kLocalParamsRequestLength;
}

size_t buildNetworkStatsRequest(uint8_t* frame, const uint8_t* src, const uint8_t* dst) {
    startFrame(frame, dst, src);
    putEntry(frame, 1, kEntryNetworkStats, 187);
    frame[17] = 0x80;
    return kNetworkStatsRequestLength;
}

size_t buildVendorSettings(uint8_t* frame, const uint8_t* src, const uint8_t* dst,
                           const uint8_t settings[3]) {
    startFrame(frame, dst, src);
    putEntry(frame, 1, kEntrySettings, 3);
    std::memcpy(frame + 17, settings, 3);
    return kSettingsFrameLength;
}

size_t buildTurboRequest(uint8_t* frame, const uint8_t* src, const uint8_t* dst, uint8_t code,
                         const uint8_t* data, size_t k) {
    k = std::min<size_t>(k, kTurboRequestLength - 21);
    startFrame(frame, dst, src);
    putEntry(frame, 1, kEntryTurboVendor, static_cast<uint8_t>(4 + k));
    frame[17] = 0x00;
    frame[18] = 0x04;
    frame[19] = 0x87;
    frame[20] = code;
    if (k > 0 && data != nullptr)
        std::memcpy(frame + 21, data, k);
    return kTurboRequestLength;
}

size_t buildTurboRead(uint8_t* frame, const uint8_t* src, const uint8_t* dst, uint8_t code) {
    startFrame(frame, dst, src);
    putEntry(frame, 1, kEntryTurboRead, 1);
    frame[17] = code;
    return kTurboReadLength;
}

size_t buildSetKeyFrame(uint8_t* frame, const uint8_t* src, const uint8_t* dst, uint8_t keySelect,
                        const uint8_t key[8], const uint8_t settings[3], bool withSettings) {
    startFrame(frame, dst, src);
    putEntry(frame, withSettings ? 2 : 1, kEntrySetKey, 9);
    frame[17] = keySelect;
    std::memcpy(frame + 18, key, 8);
    if (withSettings) {
        frame[26] = kEntrySettings;
        frame[27] = 3;
        std::memcpy(frame + 28, settings, 3);
    }
    return kSetKeyFrameLength;
}

size_t buildEncryptedKey(uint8_t* frame, const uint8_t* src, const uint8_t* dst,
                         const uint8_t deviceKey[8], const uint8_t newKey[8]) {
    startFrame(frame, dst, src);
    putEntry(frame, 1, kEntryEncrypted, 10);
    frame[17] = 0x01;
    frame[18] = 0x00;
    std::memcpy(frame + 19, deviceKey, 8);
    putBe16(frame + 27, kEtherTypeHp10);
    frame[29] = 1;
    frame[30] = kEntrySetKey;
    frame[31] = 9;
    frame[32] = 1;
    std::memcpy(frame + 33, newKey, 8);
    return kEncryptedKeyLength;
}

size_t buildTurboSetKey(uint8_t* frame, const uint8_t* src, const uint8_t* dst,
                        const uint8_t key[8]) {
    startFrame(frame, dst, src);
    putEntry(frame, 1, kEntrySetKey, 9);
    frame[17] = 1;
    std::memcpy(frame + 18, key, 8);
    return kTurboSetKeyLength;
}

// ---- Requests -------------------------------------------------------------------

bool requestParameters(int i, const uint8_t* src, const uint8_t* dst) {
    uint8_t frame[kHp10BufferSize];
    size_t n = buildParametersRequest(frame, src, dst);
    return sendFrame(i, frame, n);
}

bool requestLocalParameters(int i, const uint8_t* src, const uint8_t* dst, uint8_t selector) {
    uint8_t frame[kHp10BufferSize];
    size_t n = buildLocalParametersRequest(frame, src, dst, selector);
    return sendFrame(i, frame, n);
}

bool requestNetworkStats(int i, const uint8_t* mac, const uint8_t* /*dst*/) {
    if (localIsTurbo)
        return requestTurboStats(localDeviceMac());
    if (localIsAv)
        return refreshStations(localDeviceMac());
    if (i < 0 || i >= kMaxInterfaces)
        return false;
    const uint8_t* src = mac;
    if (src == nullptr || !macIsSet(src))
        src = scanStates[i].localMac;
    if (!macIsSet(src))
        src = interfaceTable[i].mac;
    if (!macIsSet(src))
        return false;
    uint8_t frame[kHp10BufferSize];
    size_t n = buildNetworkStatsRequest(frame, src, kBroadcastMac);
    return sendFrame(i, frame, n);
}

bool sendVendorSettings(int i, const uint8_t* src, const uint8_t* dst, const uint8_t settings[3]) {
    if (localIsTurbo)
        return true;
    uint8_t frame[kHp10BufferSize];
    size_t n = buildVendorSettings(frame, src, dst, settings);
    return sendFrame(i, frame, n);
}

bool requestTurbo(const uint8_t* dst, uint8_t code, const uint8_t* data, size_t k) {
    if (!macIsSet(hostMac()))
        return false;
    uint8_t frame[kHp10BufferSize];
    size_t n = buildTurboRequest(frame, hostMac(), dst, code, data, k);
    return sendFrame(currentInterface, frame, n);
}

bool requestTurboVersion() {
    const uint8_t zero = 0;
    return requestTurbo(kBroadcastMac, kTurboCodeVersion, &zero, 1);
}

bool requestTurboStats(const uint8_t* mac) {
    const uint8_t zero = 0;
    uint8_t dst[6];
    std::memcpy(dst, mac, kMacLength);
    bool sent = requestTurbo(dst, kTurboCodeStats, &zero, 1);
    drainResponses();
    return sent;
}

namespace {
bool sendTurboRead(uint8_t code) {
    if (!macIsSet(hostMac()))
        return false;
    uint8_t frame[kHp10BufferSize];
    size_t n = buildTurboRead(frame, hostMac(), localDeviceMac(), code);
    turboReadPeer.sent = true;
    turboReadPeer.interface = currentInterface;
    std::memcpy(turboReadPeer.mac, localDeviceMac(), kMacLength);
    return sendFrame(currentInterface, frame, n);
}
} // namespace

bool readTurboFirmwareText() {
    return sendTurboRead(kTurboReadFirmware);
}
bool readTurboKey() {
    return sendTurboRead(kTurboReadKey);
}

// ---- Answer handling -------------------------------------------------------------

namespace {
bool dispatchParsed(const Hp10Frame& answer) {
    switch (answer.kind) {
    case Hp10Kind::ParamsResponse:
        recordRemote(answer.source);
        return true;
    case Hp10Kind::LocalParams:
        storeLocalParams(answer);
        return true;
    case Hp10Kind::KeyConfirm:
        return true;
    case Hp10Kind::NetworkStats:
        // Statistics answer the request only from the local device; a
        // neighbour's figures are not this network's rates.
        if (answer.statsAnswer && isLocalDeviceOf(currentInterface, answer.source)) {
            handleNetworkStats(answer);
            refreshDeviceList(cycleStep);
        }
        return true;
    default:
        return false;
    }
}

bool handleParsed(const Hp10Frame& answer) {
    switch (answer.kind) {
    case Hp10Kind::TurboVersion:
        handleTurboVersion(answer);
        return true;
    case Hp10Kind::TurboStationStats:
        // Asked of the local device only (requestTurboStats).
        if (isLocalDeviceOf(arrivalInterface(), answer.source))
            handleTurboStationStats(answer);
        return true;
    case Hp10Kind::TurboReadEcho:
        return true;
    case Hp10Kind::TurboFirmware:
    case Hp10Kind::TurboKey:
    case Hp10Kind::TurboReadOther:
        handleTurboReadAnswer(answer);
        return true;
    case Hp10Kind::None:
    case Hp10Kind::Other:
        return false;
    default:
        return dispatchParsed(answer);
    }
}
} // namespace

bool dispatchHp10(const uint8_t* frame, uint32_t length) {
    Hp10Frame answer;
    parseHp10Frame(frame, length, answer);
    return dispatchParsed(answer);
}

bool handleHp10Frame(const uint8_t* frame, uint32_t length) {
    Hp10Frame answer;
    parseHp10Frame(frame, length, answer);
    return handleParsed(answer);
}

bool drainResponses() {
    bool recognised = false;
    uint8_t frame[kMaxFrame];
    uint32_t length = 0;
    uint32_t deadline = tickCount() + kDrainLimitMs;
    while (!tickReached(deadline) && receiveAnyFrame(frame, &length)) {
        if (etherTypeOf(frame, length) != kEtherTypeHp10)
            break;
        recognised = handleHp10Frame(frame, length);
        sleepMs(1);
    }
    return recognised;
}

void drainFor100ms() {
    uint32_t deadline = tickCount() + 100;
    while (!tickReached(deadline)) {
        sleepMs(1);
        drainResponses();
    }
}

// ---- Who the local device is ---------------------------------------------------------

bool acceptLocalClaim(int i, const uint8_t* source) {
    if (!validInterface(i))
        return false;
    if (isLocalDeviceOf(i, source))
        return true;
    LocalWatch& watch = localWatch[i];
    watch.challenged = true;
    std::memcpy(watch.challenger, source, kMacLength);
    return false;
}

void openLocalWatch(int i) {
    if (validInterface(i))
        localWatch[i] = LocalWatch{};
}

bool adoptLocalChallenger(int i) {
    if (!validInterface(i))
        return false;
    LocalWatch& watch = localWatch[i];
    if (watch.heard || !watch.challenged)
        return false;
    std::memcpy(scanStates[i].localMac, watch.challenger, kMacLength);
    watch = LocalWatch{};
    return true;
}

// ---- Local-device observer ---------------------------------------------------------

bool observeLocalDevice(int i, const uint8_t* frame, uint32_t length) {
    Hp10Frame seen;
    parseHp10Frame(frame, length, seen);
    if ((seen.etherType != kEtherTypeHp10 && seen.etherType != kEtherTypeAv) || !validInterface(i))
        return false;
    ScanState& state = scanStates[i];
    if (macIsSet(state.localMac) && macEqual(seen.source, state.localMac))
        localWatch[i].heard = true;
    bool self = seen.selfAddressed;
    bool hp10 = seen.etherType == kEtherTypeHp10 && length > 17;

    // The stored copy of the local parameters, from the local device only.
    if (hp10 && isStoredParamsAnswer(seen) && isLocalDeviceOf(i, seen.source)) {
        state.paramsValid = 1;
        std::memcpy(state.localParams, seen.params, kLocalParamsSize);
    }

    bool marker = hp10 && seen.marker;
    if (!self && !marker)
        return self;
    // Another station's marker or self-addressed frame does not move the
    // local device while the current one answers; it is remembered, and a
    // discovery that finds the current device silent hands it the role.
    if (!acceptLocalClaim(i, seen.source))
        return false;
    std::memcpy(state.localMac, seen.source, kMacLength);
    state.localPresent = 1;
    localWatch[i].heard = true;
    if (!hp10 || seen.entryType != kEntryNetworkStats)
        return self;
    state.deviceClass = seen.deviceClass;
    if (state.deviceClass < kClassUsb || state.deviceClass > kClassHp10) {
        state.localPresent = 0;
        return self;
    }
    // The probe waits up to 162 ms and swallows every frame it sees. While
    // another exchange holds busyFlag those frames are that exchange's
    // confirmations; and a tick that probed once has the block on its way.
    if (probeDepth > 0 || probeSpent[i] || (busyFlag && !discoveryReceiving))
        return self;
    probeSpent[i] = true;
    // The probe receives frames of its own into the shared buffer that `frame`
    // points into; keep this frame and hand it back afterwards.
    std::vector<uint8_t> saved(frame, frame + length);
    probeLocalParameters(i);
    // The receive that called the observer returns the frame it took, not
    // the last frame of the nested probe.
    restoreReceivedFrame(saved);
    return self;
}

void installNetworkHooks() {
    setLocalDeviceObserver(observeLocalDevice);
}

void armLocalParametersProbe() {
    std::memset(probeSpent, 0, sizeof probeSpent);
}

DiscoveryProbeScope::DiscoveryProbeScope() : previous_(discoveryReceiving) {
    discoveryReceiving = true;
}
DiscoveryProbeScope::~DiscoveryProbeScope() {
    discoveryReceiving = previous_;
}

// ---- Exchanges with waits ------------------------------------------------------------

bool probeTurbo() {
    turboLocalAnswered = 0;
    requestTurboVersion();
    drainFor100ms();
    return turboLocalAnswered != 0;
}

bool waitForParametersResponse(uint8_t mac[6], bool anyOther) {
    uint8_t frame[kMaxFrame];
    uint32_t length = 0;
    uint32_t deadline = tickCount() + kParamsWaitMs;
    while (!tickReached(deadline)) {
        if (!receiveAnyFrame(frame, &length)) {
            sleepMs(10);
            continue;
        }
        Hp10Frame answer;
        if (parseHp10Frame(frame, length, answer) != Hp10Kind::ParamsResponse)
            continue;
        if (anyOther) {
            if (!macEqual(answer.source, localDeviceMac())) {
                std::memcpy(mac, answer.source, kMacLength);
                return true;
            }
        } else if (macEqual(answer.source, mac)) {
            return true;
        }
    }
    return false;
}

bool probeDevice(uint8_t mac[6], bool anyOther) {
    if (!macIsSet(hostMac()))
        return false;
    if (localIsTurbo)
        requestParameters(currentInterface, hostMac(), kBroadcastMac);
    else if (localIsAv)
        sendAvRequest(kBroadcastMac, 0xA000);
    else
        requestParameters(currentInterface, hostMac(), mac);
    return waitForParametersResponse(mac, anyOther);
}

void probeLocalParameters(int i) {
    if (!validInterface(i) || !macIsSet(interfaceTable[i].mac))
        return;
    uint8_t src[6];
    std::memcpy(src, interfaceTable[i].mac, kMacLength);
    ++probeDepth;
    for (uint32_t k = 0; k < 3; ++k) {
        requestLocalParameters(i, src, kBroadcastMac, 0);
        if (waitForLocalReply(i, 50 + 4 * k))
            break;
    }
    --probeDepth;
}

int setNetworkKey(int i, const uint8_t* src, const uint8_t* dst, uint8_t keySelect,
                  const uint8_t key[8], uint8_t settings3, bool withSettings,
                  bool noSettingsUpdate) {
    if (localIsTurbo)
        return 0;
    BusyScope busy;
    const uint8_t settings[3] = {
        static_cast<uint8_t>(localParamsBlock[kParamsSettings] | 0x40),
        static_cast<uint8_t>(localParamsBlock[kParamsSettings + 1] | (noSettingsUpdate ? 1 : 0)),
        settings3};
    uint8_t frame[kHp10BufferSize];
    size_t n = buildSetKeyFrame(frame, src, dst, keySelect, key, settings, withSettings);
    sendFrame(i, frame, n);
    if (!noSettingsUpdate)
        std::memcpy(localParamsBlock + kParamsSettings, settings, 3);
    bool broadcast = isBroadcast(dst);
    if (keySelect != 0 && broadcast) {
        std::memcpy(localParamsBlock + kParamsNetworkKey, key, 8);
        localParamsBlock[kParamsKeySelect] = keySelect;
    }
    if (!validInterface(i) || !scanStates[i].paramsValid || keySelect == 0 || !broadcast)
        return 0;

    sleepMs(100);
    uint8_t received[kMaxFrame];
    uint32_t length = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        requestLocalParameters(i, src, kBroadcastMac, 0);
        uint32_t deadline = tickCount() + kVerifyWaitMs;
        while (!tickReached(deadline)) {
            if (!receiveAnyFrame(received, &length)) {
                sleepMs(1);
                continue;
            }
            // Only the local device reports whether it took the key: a block
            // from another station neither confirms nor refutes it.
            Hp10Frame answer;
            parseHp10Frame(received, length, answer);
            if (!isStoredParamsAnswer(answer) || !isLocalDeviceOf(i, answer.source))
                continue;
            if (std::memcmp(answer.params, localParamsBlock, kLocalParamsSize) == 0)
                return 1;
            appendParametersLog(2, answer.params);
        }
    }
    return 0;
}

int waitForKeyConfirmation(uint8_t mac[6]) {
    uint8_t frame[kMaxFrame];
    uint32_t length = 0;
    uint32_t deadline = tickCount() + kKeyConfirmMs;
    while (!tickReached(deadline)) {
        if (!receiveAnyFrame(frame, &length)) {
            sleepMs(1);
            continue;
        }
        Hp10Frame answer;
        parseHp10Frame(frame, length, answer);
        // The device that took the key confirms: the target itself, or for a
        // broadcast target any station but the local device (whose
        // confirmation of a key handed on is a refusal).
        bool fromTarget = isBroadcast(mac) ? !macEqual(answer.source, localDeviceMac())
                                           : macEqual(answer.source, mac);
        if (localIsAv) {
            if (fromTarget && isSetKeyConfirmation(frame, length)) {
                std::memcpy(mac, answer.source, kMacLength);
                return 4;
            }
        } else if (answer.kind == Hp10Kind::KeyConfirm && fromTarget) {
            std::memcpy(mac, answer.source, kMacLength);
            return 2;
        }
        sleepMs(1);
    }
    return 0;
}

int sendEncryptedKey(uint8_t target[6], const uint8_t* deviceKey, const uint8_t* newKey) {
    if (!macIsSet(hostMac()))
        return 0;
    if (localIsAv) {
        SetKeyInput input{};
        std::memcpy(input.nmk, newKey, 16);
        input.selector = 0x00;
        std::memcpy(input.remoteMac, target, kMacLength);
        std::memcpy(input.remoteDak, deviceKey, 16);
        uint8_t frame[kAvFrameBuffer] = {};
        size_t n = plcapi_RequestSetKey(hostMac(), localDeviceMac(), sizeof frame, frame, &input);
        if (n == 0)
            std::printf("something wrong in PLCAPI_GETVERSION \n");
        else
            sendFrame(currentInterface, frame, n);
    } else {
        uint8_t frame[kHp10BufferSize];
        size_t n = buildEncryptedKey(frame, hostMac(), kBroadcastMac, deviceKey, newKey);
        sendFrame(currentInterface, frame, n);
    }
    sleepMs(1);
    int code = waitForKeyConfirmation(target);
    if (code != 0)
        return code;
    return probeDevice(target, isBroadcast(target)) ? 1 : 0;
}

int setTurboKey(const uint8_t key[8]) {
    if (!macIsSet(hostMac()))
        return 0;
    uint8_t frame[kHp10BufferSize];
    size_t n = buildTurboSetKey(frame, hostMac(), localDeviceMac(), key);
    sendFrame(currentInterface, frame, n);
    uint8_t mac[6];
    std::memcpy(mac, localDeviceMac(), kMacLength);
    return waitForKeyConfirmation(mac);
}

void resetHp10Frames() {
    probeDepth = 0;
    armLocalParametersProbe();
    discoveryReceiving = false;
    for (LocalWatch& watch : localWatch)
        watch = LocalWatch{};
    turboReadPeer = TurboReadPeer{};
    installNetworkHooks();
}
