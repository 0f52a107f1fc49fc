// HomePlug AV maintenance exchanges: discovery of the local AV device, the
// station list, factory reset, the network membership key read, the
// configuration block read and the local firmware upgrade.
#include "maintenance/av_maintenance.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "maintenance/hp10_upgrade.h"
#include "network/auto_scan.h"
#include "network/hp10_frames.h"
#include "network/model.h"
#include "packet/packet.h"
#include "platform/clock.h"
#include "platform/file_io.h"
#include "plcapi/plcapi.h"

const uint8_t kLocalManagementMac[6] = {0x00, 0xB0, 0x52, 0x00, 0x00, 0x01};

char chipModel[8] = "";
char localFirmwareVersion[65] = "";
int commitAfterWrite = 0;
std::atomic<bool> upgradeCancelRequested{false};

namespace {

constexpr char kChipMarker[] = "KARSA01";
constexpr size_t kChipMarkerLength = sizeof kChipMarker - 1;
constexpr size_t kMaxVersionText = 64;
constexpr size_t kNvmHeaderSize = sizeof(NvmBlockHeader);

// Offsets into a decoded reply's data.
constexpr size_t kVersionId = 0;
constexpr size_t kVersionLength = 1;
constexpr size_t kVersionText = 2;
// Network information: data[k] holds frame byte k + 20.
constexpr size_t kStationCount = 38 - 20;
constexpr size_t kStationEntries = 39 - 20;
constexpr size_t kStationEntrySize = 15;
constexpr size_t kStationRate = 13;
// Module read chunk.
constexpr size_t kChunkLast = 4;
constexpr size_t kChunkLength = 5;
constexpr size_t kChunkData = 9;

AvUpgradeOutcome failedWith(AvUpgradeMessage message) {
    AvUpgradeOutcome outcome;
    outcome.message = message;
    return outcome;
}

// Copies the version text of a version confirmation (at most 64 characters,
// bounded by what was decoded) into `out`, NUL-terminated.
void versionTextOf(const PlcReply& reply, char (&out)[kMaxVersionText + 1]) {
    size_t n = reply.data[kVersionLength];
    if (n > kMaxVersionText) {
        n = kMaxVersionText;
    }
    if (reply.dataLength < kVersionText) {
        n = 0;
    } else if (n > reply.dataLength - kVersionText) {
        n = reply.dataLength - kVersionText;
    }
    std::memcpy(out, reply.data + kVersionText, n);
    out[n] = '\0';
}

bool isVersionReply(const PlcReply& reply) {
    return reply.mmtype == (kMmtypeVersion | 1) && reply.valid == 1;
}

enum class Confirmation { Accepted, Resend, None };

// How many resends in a row may leave the transfer where it was before the
// exchange gives up. The library resends a block after a failure status at
// most three times, and each host action indication that arrives instead of
// the confirmation queues its response; a device that keeps sending
// indications must not hold the exchange for ever. A resend during which a
// confirmation moved the transfer on starts the count again.
constexpr int kMaxResendsPerBlock = 8;

// Where the transfer stands: the block in flight and the modules still to go.
struct TransferPosition {
    uint8_t module;
    uint32_t position;
    uint32_t length;
    uint32_t flags;
    const BlockCursor* cursor;
    bool operator==(const TransferPosition&) const = default;
};

TransferPosition transferPosition() {
    return {plcSequence.blockModule, plcSequence.blockPosition, plcSequence.blockLength,
            plcSequence.flags, plcSequence.currentCursor};
}

// Counts a resend; true while the transfer may go on with it.
bool resendAllowed(int& resends, const TransferPosition& before) {
    resends = transferPosition() == before ? resends + 1 : 0;
    return resends <= kMaxResendsPerBlock;
}

// Waits up to the reply time-out for the confirmation of `requestType`. A
// confirmation with a failure status that made the transfer queue a resend
// ends the wait early with Resend. Each receive already waits up to the read
// time-out for a frame, so the loop sleeps only when no time passed in it (no
// interface open): a confirmation is taken the moment it arrives, and paused
// after for `pauseMs`.
Confirmation awaitConfirmation(uint16_t requestType, PlcReply& reply, uint32_t pauseMs = 1) {
    const uint32_t deadline = tickCount() + kReplyTimeoutMs;
    for (;;) {
        const uint32_t before = tickCount();
        if (ReceiveReply(requestType, &reply, nullptr, pauseMs)) {
            return Confirmation::Accepted;
        }
        if (plcSequence.pending.pending) {
            return Confirmation::Resend;
        }
        if (tickReached(deadline)) {
            return Confirmation::None;
        }
        if (tickCount() == before) {
            sleepMs(1);
        }
    }
}

// Emits the transfer's pending frame and sends it; returns its MMTYPE, or 0
// when nothing could be emitted.
uint16_t sendPendingFrame() {
    uint8_t frame[kMmeFrameCapacity] = {};
    uint32_t length = plcapi_NextFrame(sizeof frame, frame);
    if (length == 0) {
        return 0;
    }
    sendFrame(currentInterface, frame, length);
    return static_cast<uint16_t>(frame[15] | (frame[16] << 8));
}

// How a whole upgrade file was read.
enum class UpgradeFile { Read, Unreadable, TooLarge };

// Reads the file at `path` whole when it holds at most `limit` bytes; the size
// is checked before anything is read or allocated. A file that is too large
// gets its own message, filled in `outcome`.
UpgradeFile readUpgradeFile(const char* path, size_t limit, const char* what,
                            std::vector<uint8_t>& out, AvUpgradeOutcome& outcome) {
    if (path == nullptr)
        return UpgradeFile::Unreadable;
    const WholeFileRead read = readWholeFileLimited(path, limit, out);
    if (read.result.status == FileRead::TooLarge) {
        outcome = failedWith(AvUpgradeMessage::FileTooLarge);
        outcome.tooLargeFile = what;
        outcome.tooLargeSize = read.size;
        outcome.tooLargeLimit = limit;
        return UpgradeFile::TooLarge;
    }
    return read.result.status == FileRead::Ok ? UpgradeFile::Read : UpgradeFile::Unreadable;
}

// A firmware image can be written when its header chain is intact, ends in a
// block whose image lies inside the file, and the file fits a transfer.
bool firmwareImageUsable(const std::vector<uint8_t>& firmware) {
    if (firmware.size() < kNvmHeaderSize || firmware.size() > UINT32_MAX) {
        return false;
    }
    const uint8_t* last =
        plcapi_WalkNvmHeaders(firmware.data(), static_cast<uint32_t>(firmware.size()));
    if (last == nullptr) {
        return false;
    }
    size_t headerAt = static_cast<size_t>(last - firmware.data());
    if (headerAt + kNvmHeaderSize > firmware.size()) {
        return false;
    }
    uint32_t imageLength = getLe32(last + offsetof(NvmBlockHeader, imageLength));
    size_t imageAt = headerAt + kNvmHeaderSize;
    return imageLength > 0 && imageLength <= firmware.size() - imageAt;
}

UpgradeProgressHook progressHook;

// The station that answered the last probe of the local management address.
uint8_t probedLocalAv[6] = {};

// Drives a running image write to its end. Every failure is the abort message.
// `total` is the bytes of both images, for the progress hook.
AvUpgradeOutcome runImageWrite(uint64_t total) {
    int resends = 0;
    uint64_t written = 0;
    for (;;) {
        if (upgradeCancelRequested.load()) {
            return {};
        }
        uint16_t type = sendPendingFrame();
        if (type == 0) {
            return failedWith(AvUpgradeMessage::TransferAborted);
        }
        PlcReply reply{};
        const TransferPosition before = transferPosition();
        // The 1 ms after a confirmation and the 1 ms before the next block,
        // slept as one: the device sees the same 2 ms between the two, and a
        // sleep that wakes late (tens of microseconds, on a busy machine more)
        // is paid once per block, not twice.
        Confirmation c = awaitConfirmation(type, reply, 2);
        if (c == Confirmation::Resend && resendAllowed(resends, before)) {
            continue;
        }
        if (c != Confirmation::Accepted) {
            return failedWith(AvUpgradeMessage::TransferAborted);
        }
        resends = 0;
        written += before.length;
        if (progressHook) {
            progressHook(written < total ? written : total, total);
        }
        if (reply.state == kReplyStateComplete) {
            AvUpgradeOutcome done;
            done.upgraded = true;
            return done;
        }
    }
}

struct UpgradeImages {
    std::vector<uint8_t> firmware;
    std::vector<uint8_t> parameters;
};

// Reads both files and checks them; `upgraded` when both can be written.
AvUpgradeOutcome loadUpgradeImages(const char* firmwarePath, const char* parameterPath,
                                   UpgradeImages& images) {
    AvUpgradeOutcome outcome;
    switch (readUpgradeFile(firmwarePath, kMaxFirmwareFile, "firmware", images.firmware, outcome)) {
    case UpgradeFile::TooLarge:
        return outcome;
    case UpgradeFile::Unreadable:
        return failedWith(AvUpgradeMessage::FirmwareUnreadable);
    case UpgradeFile::Read:
        break;
    }
    if (!firmwareImageUsable(images.firmware))
        return failedWith(AvUpgradeMessage::WrongNvmHeader);
    switch (readUpgradeFile(parameterPath, kMaxParameterBlock, "parameter", images.parameters,
                            outcome)) {
    case UpgradeFile::TooLarge:
        return outcome;
    case UpgradeFile::Unreadable:
        return failedWith(AvUpgradeMessage::PibUnreadable);
    case UpgradeFile::Read:
        break;
    }
    PibImage pib;
    uint32_t size = static_cast<uint32_t>(images.parameters.size());
    int r = pib.attach(images.parameters.data(), size);
    if (r != kPibOk && r != kPibNotVersion33)
        return failedWith(AvUpgradeMessage::PibOperation);
    outcome.upgraded = true;
    return outcome;
}

// Steps before the transfer: read and check both files and personalise the
// parameter block for the local device; `upgraded` when the transfer may start.
AvUpgradeOutcome prepareUpgrade(const char* firmwarePath, const char* parameterPath,
                                const uint8_t* localMac, UpgradeImages& images) {
    AvUpgradeOutcome loaded = loadUpgradeImages(firmwarePath, parameterPath, images);
    if (!loaded)
        return loaded;
    PibImage pib;
    uint32_t size = static_cast<uint32_t>(images.parameters.size());
    pib.attach(images.parameters.data(), size);
    if (!macIsSet(localMac))
        return failedWith(AvUpgradeMessage::NotStarted);
    // A block that cannot carry the device's MAC would take the device's identity away.
    if (pib.setMac(localMac) != kPibOk)
        return failedWith(AvUpgradeMessage::PibOperation);
    int r = pib.rechecksum(images.parameters.data(), size);
    if (r != kPibOk && r != kPibNotVersion33)
        return failedWith(AvUpgradeMessage::PibChecksum);
    return loaded;
}

} // namespace

std::string fileTooLargeText(const char* what, uint64_t size, size_t limit) {
    return std::string("The ") + what + " file is too large: " + std::to_string(size) +
           " bytes (at most " + std::to_string(limit) + ")";
}

AvUpgradeOutcome checkAvUpgradeFiles(const char* firmwarePath, const char* parameterPath) {
    UpgradeImages images;
    return loadUpgradeImages(firmwarePath, parameterPath, images);
}

void setUpgradeProgressHook(UpgradeProgressHook hook) {
    progressHook = std::move(hook);
}

void resetAvMaintenance() {
    std::memset(probedLocalAv, 0, sizeof probedLocalAv);
    progressHook = {};
    chipModel[0] = '\0';
    localFirmwareVersion[0] = '\0';
    commitAfterWrite = 0;
    upgradeCancelRequested.store(false);
}

void resetMaintenance() {
    resetAvMaintenance();
    resetHp10Upgrade();
}

const char* chipModelForId(uint8_t deviceId) {
    switch (deviceId) {
    case 1:
        return "KARSA01";
    case 2:
        return "KARSA02";
    case 3:
        return "KARSA03";
    default:
        return nullptr;
    }
}

int replaceChipMarker(char* text, const char* model) {
    char* at = std::strstr(text, kChipMarker);
    if (at == nullptr) {
        return -1;
    }
    if (model != nullptr && std::strlen(model) == kChipMarkerLength) {
        std::memcpy(at, model, kChipMarkerLength);
    }
    return static_cast<int>(at - text);
}

void sendAvRequest(const uint8_t* destination, uint16_t mmtype) {
    const uint8_t* host = hostMac();
    if (!macIsSet(host)) {
        return;
    }
    if (mmtype == kMmtypeSetKey) {
        return;
    }
    uint8_t frame[kMmeFrameCapacity] = {};
    uint32_t length = 0;
    if (mmtype == kMmtypeVersion) {
        length = plcapi_RequestVersion(host, destination, sizeof frame, frame);
    } else if (mmtype == kMmtypeNetworkInfo) {
        length = plcapi_RequestNetworkInfo(host, destination, sizeof frame, frame);
    }
    if (length == 0) {
        std::printf("something wrong in PLCAPI_GETVERSION \n");
        return;
    }
    sendFrame(currentInterface, frame, length);
}

namespace {

// Waits for the version confirmation of the local management address, which
// the local adapter answers. With a local device known on the interface (found
// by an earlier scan) only its confirmation counts; another station's is a
// claim to the role, which the scan settles (acceptLocalClaim). With none
// known, the first confirmation, as discovery has always done.
bool awaitLocalVersion(int i, PlcReply& reply) {
    const uint8_t* known = i >= 0 && i < kMaxInterfaces ? scanStates[i].localMac : nullptr;
    if (known == nullptr || !macIsSet(known)) {
        return AwaitReply(kMmtypeVersion, &reply);
    }
    const uint32_t deadline = tickCount() + kReplyTimeoutMs;
    do {
        sleepMs(1);
        PlcReply candidate{};
        if (!ReceiveReply(kMmtypeVersion, &candidate)) {
            continue;
        }
        if (macEqual(candidate.source, known)) {
            reply = candidate;
            return true;
        }
        acceptLocalClaim(i, candidate.source);
    } while (!tickReached(deadline));
    return false;
}

} // namespace

bool probeLocalAv() {
    clearReplyReceived();
    std::memset(probedLocalAv, 0, sizeof probedLocalAv);
    sendAvRequest(kLocalManagementMac, kMmtypeVersion);
    PlcReply reply{};
    if (!awaitLocalVersion(currentInterface, reply)) {
        return false;
    }
    std::memcpy(probedLocalAv, reply.source, kMacLength);
    return replyReceived;
}

namespace {

// Learns the local device's MAC, chip model and version text from a second
// version exchange with the local management address, answered by the
// station that answered the probe.
void learnLocalAv() {
    sendAvRequest(kLocalManagementMac, kMmtypeVersion);
    PlcReply reply{};
    if (!AwaitReply(kMmtypeVersion, &reply, probedLocalAv) || !isVersionReply(reply)) {
        return;
    }
    if (lastRxInterface >= 0 && lastRxInterface < kMaxInterfaces) {
        recordLocalMac(lastRxInterface, reply.source);
    }
    if (const char* model = chipModelForId(reply.data[kVersionId])) {
        copyText(chipModel, model);
    }
    char text[kMaxVersionText + 1];
    versionTextOf(reply, text);
    replaceChipMarker(text, chipModel);
    copyText(localFirmwareVersion, text);
}

} // namespace

bool discoverLocalAv() {
    const int start = currentInterface;
    bool found = false;
    for (int i = 0; i < interfaceCount; ++i) {
        setCurrentInterface(i);
        if (!probeLocalAv()) {
            continue;
        }
        found = true;
        learnLocalAv();
        markLocalDeviceFound(i, kClassAv, i == start);
    }
    setCurrentInterface(start);
    return found;
}

bool refreshStations(const uint8_t* destination) {
    sendAvRequest(destination, kMmtypeNetworkInfo);
    PlcReply reply{};
    if (AwaitReply(kMmtypeNetworkInfo, &reply, destination)) {
        processStationList(reply);
    }
    return true;
}

namespace {

// Asks one station for its version and stores the text in its slot.
void refreshStationVersion(RemoteDevice& slot) {
    sendAvRequest(slot.mac, kMmtypeVersion);
    PlcReply reply{};
    if (!AwaitReply(kMmtypeVersion, &reply, slot.mac) || !isVersionReply(reply) ||
        !macEqual(reply.source, slot.mac)) {
        return;
    }
    char text[kMaxVersionText + 1];
    versionTextOf(reply, text);
    const char* model = chipModelForId(reply.data[kVersionId]);
    int at = replaceChipMarker(text, model != nullptr ? model : kChipMarker);
    const char* stored = at >= 0 ? text + at : text;
    copyText(slot.version, stored);
}

} // namespace

void processStationList(const PlcReply& reply) {
    if (reply.valid != 1 || reply.mmtype != (kMmtypeNetworkInfo | 1) ||
        reply.dataLength <= kStationCount) {
        return;
    }
    const size_t available =
        reply.dataLength < sizeof reply.data ? reply.dataLength : sizeof reply.data;
    const size_t count = reply.data[kStationCount];
    for (size_t j = 0; j < count; ++j) {
        const size_t at = kStationEntries + j * kStationEntrySize;
        if (at + kStationEntrySize > available) {
            break;
        }
        const uint8_t* entry = reply.data + at;
        // The local device, broadcast, and an empty entry (a count that runs
        // past the stations the frame carried) name no remote station.
        if (!macIsSet(entry) || macEqual(entry, scanStates[currentInterface].localMac) ||
            macEqual(entry, kBroadcastMac)) {
            continue;
        }
        recordRemote(entry);
        RemoteDevice* slot = findRemote(entry);
        if (slot == nullptr) {
            continue;
        }
        refreshStationVersion(*slot);
        const uint16_t raw[3] = {entry[kStationRate], 0, 0};
        updateLinkStats(slot->stats, raw, kRateAv);
    }
}

int resetToFactoryDefaults(const uint8_t* deviceMac) {
    uint8_t frame[kMmeFrameCapacity] = {};
    uint32_t length = plcapi_RequestFactoryDefaults(hostMac(), deviceMac, sizeof frame, frame);
    if (length == 0) {
        std::printf("Something wrong in PLCAPI_RESETTOFACTORYDEFAULT\n");
    } else {
        sendFrame(currentInterface, frame, length);
    }
    // The reset device confirms; a confirmation from another station (a stray
    // or late one) says nothing about this one.
    PlcReply reply{};
    return AwaitReply(kMmtypeFactoryDefaults, &reply, deviceMac) ? 4 : 0;
}

AvUpgradeStart confirmAvUpgradeStart(const std::string& pibPath, const std::string& nvmPath,
                                     const AvUpgradeDecisions& ask) {
    if (pibPath.empty() || nvmPath.empty()) {
        return AvUpgradeStart::FilesMissing;
    }
    if (!ask.confirmDeviceType || !ask.confirmDeviceType()) {
        return AvUpgradeStart::NotConfirmed;
    }
    return AvUpgradeStart::Go;
}

FactoryResetMessage resetDeviceToFactoryDefaults(const uint8_t mac[6]) {
    BusyScope busy;
    return resetToFactoryDefaults(mac) != 0 ? FactoryResetMessage::Done
                                            : FactoryResetMessage::Failed;
}

bool readLocalNmk(const uint8_t* localMac, uint8_t out[16]) {
    const uint8_t* host = hostMac();
    if (!macIsSet(host) || plcapi_StartModuleRead(host, localMac, 2) != 0) {
        return false;
    }
    std::vector<uint8_t> block;
    block.reserve(kPibLength33);
    int resends = 0;
    for (;;) {
        uint8_t frame[kMmeFrameCapacity] = {};
        uint32_t length = plcapi_NextFrame(sizeof frame, frame);
        if (length == 0) {
            std::printf("something wrong in PLCAPI_GETVERSION \n");
        } else {
            sendFrame(currentInterface, frame, length);
        }
        PlcReply reply{};
        const TransferPosition before = transferPosition();
        Confirmation c = awaitConfirmation(kMmtypeReadModule, reply);
        if (c == Confirmation::Resend && resendAllowed(resends, before)) {
            continue;
        }
        resends = 0;
        // A read that failed or timed out is ended here, so that no pending
        // request of it is left in the library for the next exchange.
        if (c != Confirmation::Accepted || reply.valid != 1 ||
            reply.mmtype != (kMmtypeReadModule | 1) || reply.dataLength < kChunkData) {
            resetPlcapi();
            return false;
        }
        uint32_t chunk = getLe32(reply.data + kChunkLength);
        if (chunk > reply.dataLength - kChunkData || chunk > sizeof reply.data - kChunkData ||
            block.size() + chunk > kMaxParameterBlock) {
            resetPlcapi();
            return false;
        }
        block.insert(block.end(), reply.data + kChunkData, reply.data + kChunkData + chunk);
        if (reply.data[kChunkLast] != 0) {
            break;
        }
    }
    PibImage pib;
    int r = pib.attach(block.data(), static_cast<uint32_t>(block.size()));
    if ((r != kPibOk && r != kPibNotVersion33) || pib.getNmk(out) != kPibOk) {
        return false;
    }
    return true;
}

ConfigurationBlockRead readConfigurationBlock() {
    const uint8_t* host = hostMac();
    if (!macIsSet(host)) {
        return {};
    }
    uint8_t frame[kMmeFrameCapacity] = {};
    uint32_t length = plcapi_ReadConfigurationBlock(host, scanStates[currentInterface].localMac,
                                                    sizeof frame, frame);
    if (length == 0) {
        return {false, ConfigurationBlockMessage::NotBuilt};
    }
    sendFrame(currentInterface, frame, length);
    sleepMs(1);
    // A single exchange: a frame the library still holds pending (the
    // response to an earlier host action indication, a read that timed out)
    // has nothing to do with it, so the wait does not look at it. Only the
    // local device's own confirmation counts. A confirmation that is already
    // there is taken at once; otherwise the wait runs to its deadline.
    PlcReply reply{};
    const uint8_t* local = scanStates[currentInterface].localMac;
    bool confirmed = ReceiveReply(kMmtypeConfigurationBlock, &reply, local) ||
                     AwaitReply(kMmtypeConfigurationBlock, &reply, local);
    if (!confirmed || reply.mmtype != (kMmtypeConfigurationBlock | 1) || reply.valid != 1) {
        return {};
    }
    switch (reply.data[0]) {
    case 0:
        commitAfterWrite = 1;
        break;
    case 1:
        return {};
    case 2:
        commitAfterWrite = 0;
        break;
    default:
        break;
    }
    return {true, ConfigurationBlockMessage::None};
}

uint8_t upgradeOptions() {
    bool firstChip = std::strcmp(chipModel, "KARSA01") == 0;
    if (firstChip) {
        return commitAfterWrite ? 0x23 : 0x22;
    }
    return commitAfterWrite ? 0x13 : 0x00;
}

AvUpgradeOutcome upgradeLocalAv(const char* firmwarePath, const char* parameterPath) {
    uint8_t host[6];
    uint8_t localMac[6];
    std::memcpy(host, hostMac(), sizeof host);
    std::memcpy(localMac, scanStates[currentInterface].localMac, sizeof localMac);
    const uint8_t options = upgradeOptions();

    UpgradeImages images;
    AvUpgradeOutcome prepared = prepareUpgrade(firmwarePath, parameterPath, localMac, images);
    if (!prepared)
        return prepared;
    if (!macIsSet(host) ||
        plcapi_StartImageWrite(host, localMac, static_cast<uint32_t>(images.firmware.size()),
                               images.firmware.data(),
                               static_cast<uint32_t>(images.parameters.size()),
                               images.parameters.data(), options) != 0) {
        resetPlcapi();
        return failedWith(AvUpgradeMessage::NotStarted);
    }
    AvUpgradeOutcome written = runImageWrite(images.firmware.size() + images.parameters.size());
    // The transfer's cursors point into the images released here; end it.
    resetPlcapi();
    return written;
}

LocalUpgradeKind localUpgradeKind() {
    LocalUpgradeKind local;
    if (localIsTurbo) {
        local.kind = UpgradeKind::Hp10;
    } else if (localIsAv) {
        local.kind = UpgradeKind::Av;
        local.blockRead = readConfigurationBlock();
        if (!local.blockRead)
            local.message = UpgradeKindMessage::FirmwareTypeUnknown;
    } else {
        local.message = UpgradeKindMessage::NotUpgradable;
    }
    return local;
}
