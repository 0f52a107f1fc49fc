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
#include "packet/packet.h"
#include "platform/clock.h"
#include "platform/file_io.h"
#include "platform/messages.h"

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

void showError(const char* text) {
    showMessage(text, "Error", MessageIcon::Error, MessageButtons::Ok, nullptr);
}

void putBe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

void putBe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

uint32_t getBe32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
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

// The largest upgrade file read (every image a powerline device holds is far smaller).
constexpr size_t kUpgradeFileLimit = 64u << 20;

// The whole image or configuration file through the size-limited reader.
// `complete` is false when the file is larger than any image a device holds
// (only its first kUpgradeFileLimit bytes are kept).
bool readWholeFile(const char* path, std::vector<uint8_t>& out, bool& complete) {
    complete = false;
    if (readFileLimited(path, kUpgradeFileLimit + 1, out).status != FileRead::Ok)
        return false;
    complete = out.size() <= kUpgradeFileLimit;
    if (!complete)
        out.resize(kUpgradeFileLimit);
    return true;
}

// Sends one chunk and waits for its acknowledgement. The first unanswered chunk
// of an upgrade is sent once more to the secondary loader's own address, which
// stays the destination for the rest of the upgrade.
bool writeChunkAcknowledged(uint32_t module, uint32_t offset, const uint8_t* chunk, size_t length) {
    if (!sendWriteChunk(module, offset, chunk, length)) {
        showError("Packet Sending Failure");
        return false;
    }
    if (awaitLoaderReply(kChunkReplyDelayMs)) {
        return true;
    }
    if (!loaderAddressTried) {
        loaderAddressTried = true;
        std::memcpy(scanStates[currentInterface].localMac, kSecondaryLoaderMac, 6);
        if (!sendWriteChunk(module, offset, chunk, length)) {
            showError("Packet Sending Failure");
            return false;
        }
        if (awaitLoaderReply(kChunkReplyDelayMs)) {
            return true;
        }
    }
    showError("Packet sent but no response");
    return false;
}

// A cancel (upgradeCancelRequested) is taken before a chunk is sent, never
// while one waits for its acknowledgement.
bool cancelRequested() {
    return upgradeCancelRequested.load();
}

bool writeImage(std::FILE* image, uint32_t& mask) {
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
        if (!writeChunkAcknowledged(kModuleImage, offset, chunk, got)) {
            return false;
        }
        offset += static_cast<uint32_t>(got);
    }
    mask |= kModuleImage;
    return true;
}

bool writeConfigSection(const uint8_t* config, const ConfigSection& section, uint32_t& mask) {
    if (cancelRequested()) {
        return false;
    }
    if (!sendWriteChunk(section.module, 0, config + section.offset, section.length) ||
        !awaitLoaderReply(kChunkReplyDelayMs)) {
        showError("Packet sent but no response");
        return false;
    }
    mask |= section.module;
    return true;
}

bool writeConfig(std::FILE* config, uint32_t& mask) {
    uint8_t bytes[kConfigReadLimit] = {};
    size_t got = std::fread(bytes, 1, sizeof bytes, config);
    bool withOptions = got == kConfigWithOptions;
    if (!writeConfigSection(bytes, kIdentitySection, mask) ||
        !writeConfigSection(bytes, kParamSection, mask)) {
        return false;
    }
    return !withOptions || writeConfigSection(bytes, kOptionSection, mask);
}

// Shows the file-choice messages; true when an image file was chosen.
bool checkChosenFiles(const char* imagePath, const char* configPath) {
    if (isMissingPath(imagePath) && isMissingPath(configPath)) {
        showError("No File is selected");
        return false;
    }
    if (isMissingPath(imagePath)) {
        showError("No Image File is selected");
        return false;
    }
    return true;
}

bool verifyConfigSection(const std::vector<uint8_t>& config, const ConfigSection& section,
                         const char* mismatchText) {
    if (verifyModule(section.module, static_cast<uint32_t>(section.length),
                     config.data() + section.offset)) {
        return true;
    }
    showError(mismatchText);
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
        bool loaderReply = length >= 21 && frame[12] == 0x88 && frame[13] == 0x7B &&
                           frame[15] == kEntryLoader && std::memcmp(frame, host, 6) == 0;
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

bool loaderCommand(uint8_t code, uint32_t value) {
    if (!sendValueRequest(code, value)) {
        showError("Packet Sending Failure");
        return false;
    }
    if (!awaitLoaderReply(kCommandReplyDelayMs)) {
        showError("Packet sent but no response");
        return false;
    }
    return true;
}

bool writeModules(const char* imagePath, const char* configPath, uint32_t& mask) {
    if (!checkChosenFiles(imagePath, configPath)) {
        return false;
    }
    std::FILE* image = std::fopen(imagePath, "rb");
    if (image == nullptr) {
        showError("Can not open Image file");
        return false;
    }
    std::FILE* config = nullptr;
    if (!isMissingPath(configPath)) {
        config = std::fopen(configPath, "rb");
        if (config == nullptr) {
            std::fclose(image);
            showError("Can not open Config file");
            return false;
        }
    }
    bool ok = macIsSet(hostMac()) && writeImage(image, mask) &&
              (config == nullptr || writeConfig(config, mask));
    std::fclose(image);
    if (config != nullptr) {
        std::fclose(config);
    }
    return ok;
}

bool verifyModule(uint32_t module, uint32_t length, const uint8_t* data) {
    uint32_t expected = loaderChecksum(data, length);
    if (!macIsSet(hostMac())) {
        return false;
    }
    if (!sendChecksumRequest(module, length)) {
        showError("Packet Sending Failure");
        return false;
    }
    uint32_t reported = 0;
    if (!awaitLoaderReply(kChecksumReplyDelayMs, &reported)) {
        showError("Packet sent but no response");
        return false;
    }
    return reported == expected;
}

bool verifyModules(uint32_t mask, const char* imagePath, const char* configPath) {
    std::vector<uint8_t> image;
    bool complete = false;
    if (!readWholeFile(imagePath, image, complete)) {
        showError("Can not open Image file");
        return false;
    }
    bool ok = true;
    if (complete &&
        !verifyModule(kModuleImage, static_cast<uint32_t>(image.size()), image.data())) {
        showError("Mac Image Verification Failed");
        ok = false;
    }
    if (isMissingPath(configPath)) {
        return ok;
    }
    std::vector<uint8_t> config;
    if (!readWholeFile(configPath, config, complete)) {
        showError("Can not open Config file");
        return false;
    }
    // The sections were written from a zero-filled buffer; compare the same bytes.
    config.resize(std::max(config.size(), kConfigReadLimit), 0);
    if ((mask & kModuleIdentity) &&
        !verifyConfigSection(config, kIdentitySection, "Identy Section Verification Failed")) {
        ok = false;
    }
    if ((mask & kModuleOptions) &&
        !verifyConfigSection(config, kOptionSection, "Option section Verification Failed")) {
        ok = false;
    }
    if ((mask & kModuleParams) &&
        !verifyConfigSection(config, kParamSection, "Param Module Verification Failed")) {
        ok = false;
    }
    return ok;
}

int upgradeHp10(const char* imagePath, const char* configPath) {
    if (!checkChosenFiles(imagePath, configPath)) {
        return 0;
    }
    BusyScope busy;
    loaderAddressTried = false;
    // A cancel is for this upgrade only: one left from an earlier upgrade is dropped.
    upgradeCancelRequested.store(false);
    if (!sendLoaderStart()) {
        showError("Reset Device to Secondary Loader Failed");
        return 0;
    }
    sleepMs(1000);
    uint32_t mask = 0;
    if (!writeModules(imagePath, configPath, mask)) {
        if (cancelRequested()) {
            // Nothing is committed: restarted, the device leaves the loader with
            // the firmware it had. The caller tells the user.
            restartDevice();
            return 0;
        }
        showError("MAC Image Sending Failed");
        return 0;
    }
    if (!loaderCommand(kLoaderCommit, mask)) {
        showError("Commit Module Failed");
        return 0;
    }
    if (!loaderCommand(kLoaderCheck, 64)) {
        showError("Verify Module Failed");
        return 0;
    }
    if (!verifyModules(mask, imagePath, configPath) || !restartDevice()) {
        showError("Hardware Reset Failed");
        return 0;
    }
    sleepMs(500);
    sleepMs(15000);
    showMessage("Device firmware has been upgraded successfully.", "Information",
                MessageIcon::Information, MessageButtons::Ok, nullptr);
    return 1;
}
