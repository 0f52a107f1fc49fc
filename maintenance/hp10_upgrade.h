#pragma once
// The HomePlug 1.0 / Turbo firmware upgrade through the device's secondary
// loader: restart into the loader, write the image and configuration modules
// in 1024-byte chunks, commit, check, compare checksums and restart.
#include <atomic>
#include <cstdint>

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

// Whole upgrade; reports every outcome in a message box. 1 on success, 0 on failure.
// An empty configuration path, or null, means no configuration file.
// Setting upgradeCancelRequested (av_maintenance.h) while it runs stops the
// transfer before its next chunk: the device is restarted out of the loader
// with its old firmware, 0 is returned and no message is shown. The flag is
// cleared when the upgrade starts.
int upgradeHp10(const char* imagePath, const char* configPath);

// The image file's size, checked before anything is sent: a regular file of
// more than kMaxFirmwareFile bytes (av_maintenance.h) is refused with a
// message that it is too large. A file that cannot be opened passes here: the
// upgrade's own step reports it. Nothing is read.
bool checkHp10ImageFile(const char* imagePath);

bool sendLoaderStart();
bool writeModules(const char* imagePath, const char* configPath, uint32_t& mask);
bool loaderCommand(uint8_t code, uint32_t value);
bool awaitLoaderReply(uint32_t delayMs, uint32_t* checksum = nullptr);
bool verifyModules(uint32_t mask, const char* imagePath, const char* configPath);
bool verifyModule(uint32_t module, uint32_t length, const uint8_t* data);
bool restartDevice();

// Returns the upgrade's state (whether the loader address was already tried) to its start.
void resetHp10Upgrade();
