#pragma once
// The HomePlug 1.0 / Turbo firmware upgrade through the device's secondary
// loader: restart into the loader, write the image and configuration modules
// in 1024-byte chunks, commit, check, compare checksums and restart.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

// The secondary loader's own address.
extern const uint8_t kSecondaryLoaderMac[6];

// Loader request codes.
constexpr uint8_t kLoaderWrite = 0x81;
constexpr uint8_t kLoaderCommit = 0x82;
constexpr uint8_t kLoaderChecksum = 0x83;
constexpr uint8_t kLoaderCheck = 0x84;
constexpr uint8_t kLoaderRestart = 0x7F;

// Modules (and their mask bits).
constexpr uint32_t kModuleImage = 0x100;
constexpr uint32_t kModuleIdentity = 0x10;
constexpr uint32_t kModuleParams = 0x20;
constexpr uint32_t kModuleOptions = 0x80;

// Upper bound on the time one loader reply wait may keep reading frames once
// its fixed delay has passed (frames that keep arriving cannot hold it longer).
constexpr uint32_t kLoaderDrainLimitMs = 250;

// Every message a HomePlug 1.0 upgrade can end with, in the words the window
// shows (caption "Error" and an error icon, but Upgraded: "Information").
enum class Hp10UpgradeMessage {
    None,
    NoFileSelected,     // "No File is selected"
    NoImageSelected,    // "No Image File is selected"
    ImageUnopenable,    // "Can not open Image file"
    ConfigUnopenable,   // "Can not open Config file"
    PacketNotSent,      // "Packet Sending Failure"
    NoResponse,         // "Packet sent but no response"
    LoaderStartFailed,  // "Reset Device to Secondary Loader Failed"
    ImageSendingFailed, // "MAC Image Sending Failed"
    CommitFailed,       // "Commit Module Failed"
    VerifyFailed,       // "Verify Module Failed"
    ImageMismatch,      // "Mac Image Verification Failed"
    IdentityMismatch,   // "Identy Section Verification Failed"
    OptionMismatch,     // "Option section Verification Failed"
    ParamMismatch,      // "Param Module Verification Failed"
    ResetFailed,        // "Hardware Reset Failed"
    ImageTooLarge,      // fileTooLargeText("image", tooLargeSize, tooLargeLimit)
    Upgraded,           // "Device firmware has been upgraded successfully."
};

// What an upgrade (or its file check) ended with. A failing step and the step
// that gave up on it both leave their message, so `messages` holds them in the
// order they happened (e.g. NoResponse, then ImageSendingFailed).
struct Hp10UpgradeOutcome {
    bool upgraded = false; // the check: the file may be used
    std::vector<Hp10UpgradeMessage> messages;
    // ImageTooLarge: the image's size and the limit.
    uint64_t tooLargeSize = 0;
    size_t tooLargeLimit = 0;
    void note(Hp10UpgradeMessage message) { messages.push_back(message); }
    explicit operator bool() const { return upgraded; }
};

// Whole upgrade. An empty configuration path, or null, means no configuration
// file. Setting upgradeCancelRequested (av_maintenance.h) while it runs stops
// the transfer before its next chunk: the device is restarted out of the
// loader with its old firmware, not upgraded and no message. The flag is
// cleared when the upgrade starts.
Hp10UpgradeOutcome upgradeHp10(const char* imagePath, const char* configPath);

// The image file's size, checked before anything is sent: a regular file of
// more than kMaxFirmwareFile bytes (av_maintenance.h) is refused with
// ImageTooLarge (`upgraded` false). A file that cannot be opened passes here:
// the upgrade's own step reports it. Nothing is read.
Hp10UpgradeOutcome checkHp10ImageFile(const char* imagePath);

bool sendLoaderStart();
bool awaitLoaderReply(uint32_t delayMs, uint32_t* checksum = nullptr);
bool restartDevice();

// Returns the upgrade's state (whether the loader address was already tried) to its start.
void resetHp10Upgrade();
