#include "network/hp10_frames.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "diagnostics/scan_log.h"
#include "maintenance/av_maintenance.h"
#include "network/auto_scan.h"
#include "network/model.h"
#include "packet/packet.h"
#include "platform/clock.h"
#include "plcapi/plcapi.h"

namespace {
constexpr uint8_t kBroadcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr size_t kHeaderLength = 17;     // up to and including the entry length
constexpr uint32_t kDrainLimitMs = 100;  // one drain never runs longer than this
constexpr uint32_t kParamsWaitMs = 200;  // waitForParametersResponse
constexpr uint32_t kKeyConfirmMs = 3700; // waitForKeyConfirmation
constexpr uint32_t kVerifyWaitMs = 500;  // each verification attempt of setNetworkKey
constexpr size_t kStatsEntries = 15;     // station entries of a 0x1A answer
constexpr size_t kStatsFirstEntry = 24;
constexpr size_t kStatsEntrySize = 12;
constexpr size_t kTurboStatsFirst = 21;
constexpr size_t kTurboStatsEntrySize = 14;
constexpr size_t kTurboTextMax = 79;
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

bool isBroadcast(const uint8_t* mac) {
    return macEqual(mac, kBroadcast);
}

uint16_t etherTypeOf(const uint8_t* frame, uint32_t length) {
    if (length < 14)
        return 0;
    return static_cast<uint16_t>(frame[12] << 8 | frame[13]);
}

// A 0x887B frame long enough to carry its first entry's type and length.
bool isHp10Frame(const uint8_t* frame, uint32_t length) {
    return length >= kHeaderLength && etherTypeOf(frame, length) == kEtherTypeHp10;
}

uint16_t le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint16_t be16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

// A 0x19 answer carrying a whole local parameters block: kind at 17, block at 18.
bool isLocalParamsAnswer(const uint8_t* frame, uint32_t length) {
    return isHp10Frame(frame, length) && frame[15] == kEntryLocalParams &&
           frame[16] == kLocalParamsAnswerLength && length >= 18 + kLocalParamsSize;
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

// Copies a length-prefixed text at `pos` into `dst`, cut at the frame's end and
// at 79 characters; a length of 0 gives " ". Returns the position after it.
size_t readPrefixedText(const uint8_t* frame, uint32_t length, size_t pos, char* dst, size_t size) {
    if (pos >= length) {
        copyText(dst, size, " ");
        return pos;
    }
    size_t n = frame[pos];
    size_t start = pos + 1;
    if (n == 0) {
        copyText(dst, size, " ");
        return start;
    }
    size_t available = start < length ? length - start : 0;
    size_t take = std::min({n, available, kTurboTextMax, size - 1});
    std::memcpy(dst, frame + start, take);
    dst[take] = '\0';
    return start + n;
}

void versionText(const uint8_t* frame, char* out, size_t size) {
    if (frame[23] == 1)
        copyText(out, size, frame[25] == 0x15 ? "Version 1.2" : "Version 1.4");
    else
        std::snprintf(out, size, "Version %d.%d", frame[24], frame[25]);
}

// The interface the frame being handled arrived on. A Turbo answer belongs to
// that interface's network: discovery probes one interface after another,
// and a late answer from the previous one must not be taken for the local
// device of the one probed now.
int arrivalInterface() {
    return lastRxInterface >= 0 && lastRxInterface < kMaxInterfaces ? lastRxInterface
                                                                    : currentInterface;
}

// Turbo version answer (vendor code 0x10). Needs bytes up to 26.
bool handleTurboVersion(const uint8_t* frame, uint32_t length) {
    if (length < 27)
        return false;
    char version[32];
    char vendor[80];
    char product[80];
    versionText(frame, version, sizeof version);
    size_t next = readPrefixedText(frame, length, 26, vendor, sizeof vendor);
    readPrefixedText(frame, length, next, product, sizeof product);
    const uint8_t* source = frame + 6;
    const int arrived = arrivalInterface();
    if (frame[21] & 0x01) {
        RemoteDevice* slot = findRemoteOn(arrived, source);
        if (slot == nullptr)
            return true;
        slot->active = 1;
        slot->missesTillDrop = static_cast<int8_t>(dropAfterMisses);
        if (slot->deviceType != kTypeTurbo)
            slot->typeChanged = 1;
        slot->deviceType = kTypeTurbo;
        copyText(slot->version, version);
        copyText(slot->vendor, vendor);
        copyText(slot->product, product);
    } else {
        std::memcpy(scanStates[arrived].localMac, source, kMacLength);
        // The answered flag and the texts describe the local device of the
        // interface being probed; another interface's answer only names its
        // own local device.
        if (arrived != currentInterface)
            return true;
        turboLocalAnswered = 1;
        copyText(turboVersion, version);
        copyText(turboVendor, vendor);
        copyText(turboProduct, product);
    }
    return true;
}

// Turbo station statistics: entries of 14 bytes from offset 21, the count
// taken from the entry length and bounded by the bytes that arrived.
void handleTurboStationStats(const uint8_t* frame, uint32_t length) {
    size_t declared = frame[16] >= 3 ? (frame[16] - 3u) / kTurboStatsEntrySize : 0;
    for (size_t j = 0; j < declared; ++j) {
        size_t off = kTurboStatsFirst + j * kTurboStatsEntrySize;
        if (off + kTurboStatsEntrySize > length)
            break;
        RemoteDevice* slot = findRemoteOn(arrivalInterface(), frame + off);
        if (slot == nullptr)
            continue;
        const uint16_t raw[3] = {be16(frame + off + 6), 0, 0};
        updateLinkStats(slot->stats, raw, kRateTurbo);
    }
}

bool handleTurboVendor(const uint8_t* frame, uint32_t length) {
    if (length < 21 || !(frame[20] & 0x80))
        return false;
    switch (frame[20] & 0x7F) {
    case kTurboCodeVersion:
        return handleTurboVersion(frame, length);
    case kTurboCodeStats:
        handleTurboStationStats(frame, length);
        return true;
    default:
        return false;
    }
}

void handleTurboReadAnswer(const uint8_t* frame, uint32_t length) {
    if (length < 18)
        return;
    if (frame[17] == kTurboReadFirmware) {
        size_t available = length > 18 ? length - 18 : 0;
        size_t take = std::min<size_t>({frame[16], 64, available});
        std::memcpy(turboFirmware, frame + 18, take);
        turboFirmware[take] = '\0';
        size_t n = std::strlen(turboFirmware);
        if (n > 16 && turboFirmware[14] == '1' &&
            (turboFirmware[16] == '5' || turboFirmware[16] == '6'))
            oldFirmware = 1;
    } else if (frame[17] == kTurboReadKey && length >= 27) {
        std::memcpy(hp10NetworkKey, frame + 19, 8);
    }
}

// Stores a 0x19 answer's block as the local parameters block, or logs it when
// it begins with seven equal bytes (a block the device has not filled).
void storeLocalParams(const uint8_t* frame, uint32_t length) {
    if (!isLocalParamsAnswer(frame, length))
        return;
    uint8_t kind = frame[17];
    const uint8_t* block = frame + 18;
    if (std::memcmp(frame + 18, frame + 19, 6) == 0) {
        appendParametersLog(kind == 2 ? 1 : 0, block);
        return;
    }
    uint8_t wanted = scanStates[currentInterface].paramsValid ? 1 : 2;
    if (kind != wanted)
        return;
    std::memcpy(localParamsBlock, block, kLocalParamsSize);
    localParamsCaptured = 1;
}

// Rates of the remote devices named in a 0x1A answer, then the local link as
// the average over the remote devices.
void handleNetworkStats(const uint8_t* frame, uint32_t length) {
    NetworkRecord& record = networkRecords[currentInterface];
    if (localIsTurbo) {
        handleTurboStationStats(frame, length);
    } else {
        for (RemoteDevice& slot : record.remotes) {
            if (!slot.active)
                continue;
            for (size_t j = 0; j < kStatsEntries; ++j) {
                size_t off = kStatsFirstEntry + j * kStatsEntrySize;
                if (off + kStatsEntrySize > length)
                    break;
                uint8_t mac[6];
                std::memcpy(mac, frame + off, kMacLength);
                mac[0] &= 0xFE;
                if (!macEqual(mac, slot.mac))
                    continue;
                uint16_t raw = le16(frame + off + 6);
                if (slot.deviceType == kTypeTurbo) {
                    raw = std::min(raw, kTurboRateLimit);
                    raw = static_cast<uint16_t>(raw * 85 / 14);
                }
                const uint16_t values[3] = {raw, le16(frame + off + 8), le16(frame + off + 10)};
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
    uint16_t fails = length >= 22 ? le16(frame + 20) : 0;
    uint16_t drops = length >= 24 ? le16(frame + 22) : 0;
    const uint16_t values[3] = {average, fails, drops};
    updateLinkStats(record.localStats, values, kRateHp10);
}

// Puts `saved` back into the packet interface's shared frame buffer, so the
// receive that called the observer returns the frame it took, not the last
// frame of the nested probe.
void restoreReceivedFrame(const std::vector<uint8_t>& saved) {
    uint8_t* data = static_cast<uint8_t*>(std::malloc(saved.empty() ? 1 : saved.size()));
    if (data == nullptr)
        return;
    if (!saved.empty())
        std::memcpy(data, saved.data(), saved.size());
    std::free(ReceivedFrame.data);
    ReceivedFrame.data = data;
    ReceivedFrame.length = static_cast<uint32_t>(saved.size());
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
} // namespace

// ---- Frame builders ---------------------------------------------------------------

void buildHp10Header(uint8_t* frame, const uint8_t* dst, const uint8_t* src) {
    std::memset(frame, 0, kHeaderLength);
    std::memcpy(frame, dst, kMacLength);
    std::memcpy(frame + 6, src, kMacLength);
    frame[12] = kEtherTypeHp10 >> 8;
    frame[13] = kEtherTypeHp10 & 0xFF;
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
    frame[27] = kEtherTypeHp10 >> 8;
    frame[28] = kEtherTypeHp10 & 0xFF;
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
    size_t n = buildNetworkStatsRequest(frame, src, kBroadcast);
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
    return requestTurbo(kBroadcast, kTurboCodeVersion, &zero, 1);
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

bool dispatchHp10(const uint8_t* frame, uint32_t length) {
    if (!isHp10Frame(frame, length))
        return false;
    switch (frame[15]) {
    case kEntryParamsResponse:
        recordRemote(frame + 6);
        return true;
    case kEntryLocalParams:
        if (frame[16] == kLocalParamsAnswerLength)
            storeLocalParams(frame, length);
        return true;
    case kEntryKeyConfirm:
        return true;
    case kEntryNetworkStats:
        if (length > 17 && frame[17] != 0x80) {
            handleNetworkStats(frame, length);
            refreshDeviceList(cycleStep);
        }
        return true;
    default:
        return false;
    }
}

bool handleHp10Frame(const uint8_t* frame, uint32_t length) {
    if (!isHp10Frame(frame, length))
        return false;
    switch (frame[15]) {
    case kEntryTurboVendor:
        return handleTurboVendor(frame, length);
    case kEntryTurboRead:
        return true;
    case kEntryTurboReadAnswer:
        handleTurboReadAnswer(frame, length);
        return true;
    default:
        return dispatchHp10(frame, length);
    }
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

// ---- Local-device observer ---------------------------------------------------------

bool observeLocalDevice(int i, const uint8_t* frame, uint32_t length) {
    uint16_t type = etherTypeOf(frame, length);
    if ((type != kEtherTypeHp10 && type != kEtherTypeAv) || i < 0 || i >= kMaxInterfaces)
        return false;
    ScanState& state = scanStates[i];
    bool self = macEqual(frame, frame + 6) && !isBroadcast(frame);
    bool hp10 = type == kEtherTypeHp10 && length > 17;
    uint8_t entry = hp10 ? frame[15] : 0;

    if (hp10 && isLocalParamsAnswer(frame, length) && frame[17] == 1) {
        state.paramsValid = 1;
        std::memcpy(state.localParams, frame + 18, kLocalParamsSize);
    }

    bool marker =
        hp10 && (entry == kEntryNetworkStats || entry == kEntryLocalMarker) && !(frame[17] & 0x80);
    if (!self && !marker)
        return self;
    std::memcpy(state.localMac, frame + 6, kMacLength);
    state.localPresent = 1;
    if (!hp10 || entry != kEntryNetworkStats)
        return self;
    state.deviceClass = frame[17] & 0x7F;
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
        if (!isHp10Frame(frame, length) || frame[15] != kEntryParamsResponse)
            continue;
        const uint8_t* source = frame + 6;
        if (anyOther) {
            if (!macEqual(source, localDeviceMac())) {
                std::memcpy(mac, source, kMacLength);
                return true;
            }
        } else if (macEqual(source, mac)) {
            return true;
        }
    }
    return false;
}

bool probeDevice(uint8_t mac[6], bool anyOther) {
    if (!macIsSet(hostMac()))
        return false;
    if (localIsTurbo)
        requestParameters(currentInterface, hostMac(), kBroadcast);
    else if (localIsAv)
        sendAvRequest(kBroadcast, 0xA000);
    else
        requestParameters(currentInterface, hostMac(), mac);
    return waitForParametersResponse(mac, anyOther);
}

void probeLocalParameters(int i) {
    if (i < 0 || i >= kMaxInterfaces || !macIsSet(interfaceTable[i].mac))
        return;
    uint8_t src[6];
    std::memcpy(src, interfaceTable[i].mac, kMacLength);
    ++probeDepth;
    for (uint32_t k = 0; k < 3; ++k) {
        requestLocalParameters(i, src, kBroadcast, 0);
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
    if (i < 0 || i >= kMaxInterfaces || !scanStates[i].paramsValid || keySelect == 0 || !broadcast)
        return 0;

    sleepMs(100);
    uint8_t answer[kMaxFrame];
    uint32_t length = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        requestLocalParameters(i, src, kBroadcast, 0);
        uint32_t deadline = tickCount() + kVerifyWaitMs;
        while (!tickReached(deadline)) {
            if (!receiveAnyFrame(answer, &length)) {
                sleepMs(1);
                continue;
            }
            if (!isLocalParamsAnswer(answer, length) || answer[17] != 1)
                continue;
            if (std::memcmp(answer + 18, localParamsBlock, kLocalParamsSize) == 0)
                return 1;
            appendParametersLog(2, answer + 18);
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
        if (localIsAv) {
            // The device that took the key confirms: the target itself, or
            // for a broadcast target any station but the local device (whose
            // confirmation of a key handed on is a refusal).
            const uint8_t* source = frame + 6;
            bool fromTarget =
                isBroadcast(mac) ? !macEqual(source, localDeviceMac()) : macEqual(source, mac);
            if (fromTarget && isSetKeyConfirmation(frame, length)) {
                std::memcpy(mac, source, kMacLength);
                return 4;
            }
        } else if (isHp10Frame(frame, length) && frame[15] == kEntryKeyConfirm) {
            const uint8_t* source = frame + 6;
            if ((isBroadcast(mac) && !macEqual(source, localDeviceMac())) ||
                macEqual(source, mac)) {
                std::memcpy(mac, source, kMacLength);
                return 2;
            }
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
        size_t n = buildEncryptedKey(frame, hostMac(), kBroadcast, deviceKey, newKey);
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
    installNetworkHooks();
}
