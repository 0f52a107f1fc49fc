// The HomePlug 1.0 / Turbo firmware upgrade through the secondary loader.
//
// Loader requests are entry type 0x10 frames of EtherType 0x887B from hostMac
// to the local device (scanStates[currentInterface].localMac). Multi-byte
// fields of the loader protocol are big-endian.
#include "maintenance/hp10_upgrade.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "maintenance/av_maintenance.h"
#include "network/auto_scan.h"
#include "network/model.h"
#include "packet/frame_bytes.h"
#include "packet/packet.h"
#include "platform/clock.h"
#include "platform/file_io.h"

const uint8_t kSecondaryLoaderMac[6] = {0x00, 0x04, 0x87, 0xFE, 0x11, 0x00};

namespace {

constexpr size_t kChunkSize = 1024;
constexpr size_t kWriteFrameLength = 1054; // 20 header + 10 parameters + 1024 chunk
constexpr size_t kChunkOffset = 30;        // chunk bytes start here in a 0x81 request
constexpr size_t kConfigReadLimit = 1024;  // the configuration file is read up to this
constexpr size_t kConfigWithOptions = 960; // exactly this many bytes carry the option section
constexpr uint32_t kCommandReplyDelayMs = 4200;
constexpr uint32_t kChunkReplyDelayMs = 5;
constexpr uint32_t kChecksumReplyDelayMs = 500;
constexpr uint8_t kEntryLoader = 0x10;

// A configuration section: which module it is written as and where it lies in the file.
struct ConfigSection {
    uint32_t module;
    size_t offset;
    size_t length;
};
constexpr ConfigSection kIdentitySection{kModuleIdentity, 0, 128};
constexpr ConfigSection kParamSection{kModuleParams, 128, 256};
constexpr ConfigSection kOptionSection{kModuleOptions, 448, 512};
static_assert(kOptionSection.offset + kOptionSection.length == kConfigWithOptions);
static_assert(kParamSection.offset + kParamSection.length <= kConfigReadLimit);

// Whether the loader's own address was already tried in this upgrade.
bool loaderAddressTried = false;

bool loaderCommand(uint8_t code, uint32_t value, Hp10UpgradeOutcome& out);
bool verifyModule(uint32_t module, uint32_t length, const uint8_t* data, Hp10UpgradeOutcome& out);

void noteTooLarge(Hp10UpgradeOutcome& out, uint64_t size) {
    out.note(Hp10UpgradeMessage::ImageTooLarge);
    out.tooLargeSize = size;
    out.tooLargeLimit = kMaxFirmwareFile;
}

bool isMissingPath(const char* path) {
    return path == nullptr || path[0] == '\0';
}

// Writes the Ethernet header and the loader entry header; `count` is the number
// of parameter bytes that follow offset 20.
void putLoaderHeader(uint8_t* frame, uint8_t code, uint16_t count) {
    std::memcpy(frame, scanStates[currentInterface].localMac, 6);
    std::memcpy(frame + 6, hostMac(), 6);
    putBe16(frame + 12, kEtherTypeHp10);
    frame[14] = 1;
    frame[15] = kEntryLoader;
    frame[16] = 1;
    frame[17] = code;
    putBe16(frame + 18, count);
}

// Sends a request; the buffer is at least kMinFrame bytes and zero-filled past `length`.
bool sendLoaderFrame(const uint8_t* frame, size_t length) {
    return sendFrame(currentInterface, frame, length);
}

bool sendWriteChunk(uint32_t module, uint32_t offset, const uint8_t* chunk, size_t length) {
    uint8_t frame[kWriteFrameLength] = {};
    putLoaderHeader(frame, kLoaderWrite, static_cast<uint16_t>(length + 10));
    putBe32(frame + 20, module);
    putBe32(frame + 24, offset);
    putBe16(frame + 28, static_cast<uint16_t>(length));
    std::memcpy(frame + kChunkOffset, chunk, length);
    return sendLoaderFrame(frame, kWriteFrameLength);
}

bool sendValueRequest(uint8_t code, uint32_t value) {
    uint8_t frame[kMinFrame] = {};
    putLoaderHeader(frame, code, 4);
    putBe32(frame + 20, value);
    return sendLoaderFrame(frame, 25);
}

bool sendChecksumRequest(uint32_t module, uint32_t length) {
    uint8_t frame[kMinFrame] = {};
    putLoaderHeader(frame, kLoaderChecksum, 8);
    putBe32(frame + 20, module);
    putBe32(frame + 24, length);
    return sendLoaderFrame(frame, 28);
}

// One's complement of the XOR of the little-endian 32-bit words of the data;
// a trailing partial word counts as if zero-padded.
uint32_t loaderChecksum(const uint8_t* data, size_t length) {
    uint32_t x = 0;
    for (size_t i = 0; i < length; i += 4) {
        uint32_t word = 0;
        for (size_t b = 0; b < 4 && i + b < length; ++b) {
            word |= uint32_t{data[i + b]} << (8 * b);
        }
        x ^= word;
    }
    return ~x;
}

// Sends one chunk and waits for its acknowledgement. The first unanswered chunk
// of an upgrade is sent once more to the secondary loader's own address, which
// stays the destination for the rest of the upgrade.
bool writeChunkAcknowledged(uint32_t module, uint32_t offset, const uint8_t* chunk, size_t length,
                            Hp10UpgradeOutcome& out) {
    if (!sendWriteChunk(module, offset, chunk, length)) {
        out.note(Hp10UpgradeMessage::PacketNotSent);
        return false;
    }
    if (awaitLoaderReply(kChunkReplyDelayMs)) {
        return true;
    }
    if (!loaderAddressTried) {
        loaderAddressTried = true;
        recordLocalMac(currentInterface, kSecondaryLoaderMac);
        if (!sendWriteChunk(module, offset, chunk, length)) {
            out.note(Hp10UpgradeMessage::PacketNotSent);
            return false;
        }
        if (awaitLoaderReply(kChunkReplyDelayMs)) {
            return true;
        }
    }
    out.note(Hp10UpgradeMessage::NoResponse);
    return false;
}

// A cancel (upgradeCancelRequested) is taken before a chunk is sent, never
// while one waits for its acknowledgement.
bool cancelRequested() {
    return upgradeCancelRequested.load();
}

bool writeImage(std::FILE* image, uint32_t& mask, Hp10UpgradeOutcome& out) {
    uint8_t chunk[kChunkSize];
    uint32_t offset = 0;
    for (;;) {
        if (cancelRequested()) {
            return false;
        }
        size_t got = std::fread(chunk, 1, sizeof chunk, image);
        if (got == 0) {
            break;
        }
        if (!writeChunkAcknowledged(kModuleImage, offset, chunk, got, out)) {
            return false;
        }
        offset += static_cast<uint32_t>(got);
    }
    mask |= kModuleImage;
    return true;
}

bool writeConfigSection(const uint8_t* config, const ConfigSection& section, uint32_t& mask,
                        Hp10UpgradeOutcome& out) {
    if (cancelRequested()) {
        return false;
    }
    if (!sendWriteChunk(section.module, 0, config + section.offset, section.length) ||
        !awaitLoaderReply(kChunkReplyDelayMs)) {
        out.note(Hp10UpgradeMessage::NoResponse);
        return false;
    }
    mask |= section.module;
    return true;
}

bool writeConfig(std::FILE* config, uint32_t& mask, Hp10UpgradeOutcome& out) {
    uint8_t bytes[kConfigReadLimit] = {};
    size_t got = std::fread(bytes, 1, sizeof bytes, config);
    bool withOptions = got == kConfigWithOptions;
    if (!writeConfigSection(bytes, kIdentitySection, mask, out) ||
        !writeConfigSection(bytes, kParamSection, mask, out)) {
        return false;
    }
    return !withOptions || writeConfigSection(bytes, kOptionSection, mask, out);
}

// Notes the file-choice messages; true when an image file was chosen.
bool checkChosenFiles(const char* imagePath, const char* configPath, Hp10UpgradeOutcome& out) {
    if (isMissingPath(imagePath) && isMissingPath(configPath)) {
        out.note(Hp10UpgradeMessage::NoFileSelected);
        return false;
    }
    if (isMissingPath(imagePath)) {
        out.note(Hp10UpgradeMessage::NoImageSelected);
        return false;
    }
    return true;
}

bool verifyConfigSection(const std::vector<uint8_t>& config, const ConfigSection& section,
                         Hp10UpgradeMessage mismatch, Hp10UpgradeOutcome& out) {
    if (verifyModule(section.module, static_cast<uint32_t>(section.length),
                     config.data() + section.offset, out)) {
        return true;
    }
    out.note(mismatch);
    return false;
}

} // namespace

void resetHp10Upgrade() {
    loaderAddressTried = false;
}

bool sendLoaderStart() {
    uint8_t frame[kMinFrame] = {};
    std::memcpy(frame, scanStates[currentInterface].localMac, 6);
    std::memcpy(frame + 6, hostMac(), 6);
    putBe16(frame + 12, kEtherTypeHp10);
    frame[14] = 1;
    frame[15] = 0x12;
    frame[16] = 1;
    frame[17] = 0x67;
    return sendLoaderFrame(frame, 18);
}

bool restartDevice() {
    uint8_t frame[kMinFrame] = {};
    putLoaderHeader(frame, kLoaderRestart, 0);
    return sendLoaderFrame(frame, 20);
}

namespace {
// A loader reply comes from the device being upgraded: the address the
// requests go to, or the secondary loader's own address, at which the loader
// of the local device answers. Another station's reply says nothing about it.
bool fromUpgradedDevice(const uint8_t* source) {
    return std::memcmp(source, scanStates[currentInterface].localMac, 6) == 0 ||
           std::memcmp(source, kSecondaryLoaderMac, 6) == 0;
}
} // namespace

bool awaitLoaderReply(uint32_t delayMs, uint32_t* checksum) {
    sleepMs(delayMs + 5);
    const uint8_t* host = hostMac();
    if (!macIsSet(host)) {
        return false;
    }
    // Frames that keep arriving cannot hold the wait beyond this.
    const uint32_t deadline = tickCount() + kLoaderDrainLimitMs;
    bool result = false;
    uint8_t frame[kMaxFrame];
    uint32_t length = 0;
    while (receiveAnyFrame(frame, &length)) {
        if (length > sizeof frame) {
            length = sizeof frame;
        }
        bool loaderReply = length >= 21 && etherTypeOf(frame, length) == kEtherTypeHp10 &&
                           frame[15] == kEntryLoader && std::memcmp(frame, host, 6) == 0 &&
                           fromUpgradedDevice(frame + 6);
        uint8_t code = loaderReply ? frame[17] : 0;
        if (code == 0x04 || code == kLoaderWrite || code == kLoaderCommit ||
            code == kLoaderChecksum || code == kLoaderCheck) {
            result = frame[20] == 0;
            if (checksum != nullptr) {
                // A checksum wait is answered only by a checksum reply that carries one.
                bool carriesChecksum = code == kLoaderChecksum && length >= 33;
                result = result && carriesChecksum;
                if (carriesChecksum) {
                    *checksum = getBe32(frame + 29);
                }
            }
        }
        if (tickReached(deadline)) {
            break;
        }
    }
    return result;
}

namespace {

bool loaderCommand(uint8_t code, uint32_t value, Hp10UpgradeOutcome& out) {
    if (!sendValueRequest(code, value)) {
        out.note(Hp10UpgradeMessage::PacketNotSent);
        return false;
    }
    if (!awaitLoaderReply(kCommandReplyDelayMs)) {
        out.note(Hp10UpgradeMessage::NoResponse);
        return false;
    }
    return true;
}

bool writeModules(const char* imagePath, const char* configPath, uint32_t& mask,
                  Hp10UpgradeOutcome& out) {
    if (!checkChosenFiles(imagePath, configPath, out)) {
        return false;
    }
    std::FILE* image = std::fopen(imagePath, "rb");
    if (image == nullptr) {
        out.note(Hp10UpgradeMessage::ImageUnopenable);
        return false;
    }
    std::FILE* config = nullptr;
    if (!isMissingPath(configPath)) {
        config = std::fopen(configPath, "rb");
        if (config == nullptr) {
            std::fclose(image);
            out.note(Hp10UpgradeMessage::ConfigUnopenable);
            return false;
        }
    }
    bool ok = macIsSet(hostMac()) && writeImage(image, mask, out) &&
              (config == nullptr || writeConfig(config, mask, out));
    std::fclose(image);
    if (config != nullptr) {
        std::fclose(config);
    }
    return ok;
}

bool verifyModule(uint32_t module, uint32_t length, const uint8_t* data, Hp10UpgradeOutcome& out) {
    uint32_t expected = loaderChecksum(data, length);
    if (!macIsSet(hostMac())) {
        return false;
    }
    if (!sendChecksumRequest(module, length)) {
        out.note(Hp10UpgradeMessage::PacketNotSent);
        return false;
    }
    uint32_t reported = 0;
    if (!awaitLoaderReply(kChecksumReplyDelayMs, &reported)) {
        out.note(Hp10UpgradeMessage::NoResponse);
        return false;
    }
    return reported == expected;
}

bool verifyModules(uint32_t mask, const char* imagePath, const char* configPath,
                   Hp10UpgradeOutcome& out) {
    // Read through the size-limited reader: the file was checked before the
    // upgrade began, and one that has grown since is not read past the limit.
    std::vector<uint8_t> image;
    const WholeFileRead read = readWholeFileLimited(imagePath, kMaxFirmwareFile, image);
    if (read.result.status == FileRead::TooLarge) {
        noteTooLarge(out, read.size);
        return false;
    }
    if (read.result.status != FileRead::Ok) {
        out.note(Hp10UpgradeMessage::ImageUnopenable);
        return false;
    }
    bool ok = true;
    if (!verifyModule(kModuleImage, static_cast<uint32_t>(image.size()), image.data(), out)) {
        out.note(Hp10UpgradeMessage::ImageMismatch);
        ok = false;
    }
    if (isMissingPath(configPath)) {
        return ok;
    }
    // Only the first kConfigReadLimit bytes were written; only they are read.
    std::vector<uint8_t> config;
    if (readFileLimited(configPath, kConfigReadLimit, config).status != FileRead::Ok) {
        out.note(Hp10UpgradeMessage::ConfigUnopenable);
        return false;
    }
    // The sections were written from a zero-filled buffer; compare the same bytes.
    config.resize(std::max(config.size(), kConfigReadLimit), 0);
    if ((mask & kModuleIdentity) &&
        !verifyConfigSection(config, kIdentitySection, Hp10UpgradeMessage::IdentityMismatch, out)) {
        ok = false;
    }
    if ((mask & kModuleOptions) &&
        !verifyConfigSection(config, kOptionSection, Hp10UpgradeMessage::OptionMismatch, out)) {
        ok = false;
    }
    if ((mask & kModuleParams) &&
        !verifyConfigSection(config, kParamSection, Hp10UpgradeMessage::ParamMismatch, out)) {
        ok = false;
    }
    return ok;
}

} // namespace

Hp10UpgradeOutcome checkHp10ImageFile(const char* imagePath) {
    Hp10UpgradeOutcome out;
    out.upgraded = true;
    uint64_t size = 0;
    if (imagePath == nullptr || regularFileSize(imagePath, size).status != FileRead::Ok) {
        return out; // the upgrade's own open reports it, in its place
    }
    if (size > kMaxFirmwareFile) {
        noteTooLarge(out, size);
        out.upgraded = false;
    }
    return out;
}

Hp10UpgradeOutcome upgradeHp10(const char* imagePath, const char* configPath) {
    Hp10UpgradeOutcome out;
    if (!checkChosenFiles(imagePath, configPath, out)) {
        return out;
    }
    // Before the device is sent to its loader: a file too large to be an image
    // ends the upgrade while the device still runs its own firmware (streamed,
    // 4 GiB would keep the device in its loader for hours).
    if (Hp10UpgradeOutcome check = checkHp10ImageFile(imagePath); !check) {
        return check;
    }
    BusyScope busy;
    loaderAddressTried = false;
    // A cancel is for this upgrade only: one left from an earlier upgrade is dropped.
    upgradeCancelRequested.store(false);
    if (!sendLoaderStart()) {
        out.note(Hp10UpgradeMessage::LoaderStartFailed);
        return out;
    }
    sleepMs(1000);
    uint32_t mask = 0;
    if (!writeModules(imagePath, configPath, mask, out)) {
        if (cancelRequested()) {
            // Nothing is committed: restarted, the device leaves the loader with
            // the firmware it had. The caller tells the user.
            restartDevice();
            return out;
        }
        out.note(Hp10UpgradeMessage::ImageSendingFailed);
        return out;
    }
    if (!loaderCommand(kLoaderCommit, mask, out)) {
        out.note(Hp10UpgradeMessage::CommitFailed);
        return out;
    }
    if (!loaderCommand(kLoaderCheck, 64, out)) {
        out.note(Hp10UpgradeMessage::VerifyFailed);
        return out;
    }
    if (!verifyModules(mask, imagePath, configPath, out) || !restartDevice()) {
        out.note(Hp10UpgradeMessage::ResetFailed);
        return out;
    }
    sleepMs(500);
    sleepMs(15000);
    out.note(Hp10UpgradeMessage::Upgraded);
    out.upgraded = true;
    return out;
}
