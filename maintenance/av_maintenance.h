#pragma once
// HomePlug AV maintenance: finding the local AV device on each interface and
// naming its chip model, refreshing the AV station list, factory reset,
// reading the network membership key out of the local parameter block,
// reading the configuration block, and upgrading the local device's firmware
// and parameter block from a pair of files.
//
// Every exchange sends on `currentInterface` from `hostMac()` and waits for
// the confirmation through the reply waits of the management library.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "packet/frame_bytes.h"

struct PlcReply;

// Local management address: how the host reaches the AV device wired to the
// interface before that device's own MAC is known.
extern const uint8_t kLocalManagementMac[6];
// Maximum bytes of a parameter block read back from a device.
constexpr size_t kMaxParameterBlock = 16384;
// Largest firmware image file an upgrade reads (AV and HomePlug 1.0 alike):
// real images are a few hundred kilobytes to a few megabytes. The size is
// checked before the file is read, so a larger file is refused at once.
constexpr size_t kMaxFirmwareFile = 16u << 20;

// The message for a firmware or parameter file larger than `limit` bytes:
// "The <what> file is too large: <size> bytes (at most <limit>)".
std::string fileTooLargeText(const char* what, uint64_t size, size_t limit);

// ---- Process-wide state -----------------------------------------------------
// Chip model of the local AV device ("KARSA01", "KARSA02" or "KARSA03").
extern char chipModel[8];
// Firmware version text of the local AV device (at most 64 characters).
extern char localFirmwareVersion[65];
// Learned by readConfigurationBlock; selects how an upgrade ends (0 at start).
extern int commitAfterWrite;
// Set by the upgrade worker's owner to stop an upgrade at the next block.
extern std::atomic<bool> upgradeCancelRequested;

// Returns every value above to its start state.
void resetAvMaintenance();
// Returns the whole maintenance subsystem (these values and the loader
// upgrade's state) to its start state.
void resetMaintenance();

// ---- Chip model text rules --------------------------------------------------
// Chip model text of a version confirmation's device id (1..3), or null.
const char* chipModelForId(uint8_t deviceId);
// Overwrites the first "KARSA01" in the NUL-terminated `text` with `model`.
// Returns the position of the marker, or -1 when the text has none.
int replaceChipMarker(char* text, const char* model);

// ---- Exchanges ----------------------------------------------------------------
// Sends a firmware version (0xA000) or network information (0xA038) request to
// `destination`. 0xA050 does nothing; other types print a diagnostic.
void sendAvRequest(const uint8_t* destination, uint16_t mmtype);
// True when the local management address answered a version request in 100 ms.
bool probeLocalAv();
// Probes every interface; true when an AV local device answered on any.
// Leaves `currentInterface` as it found it.
bool discoverLocalAv();
// Asks `destination` (the local device) for its network information and
// records the stations it lists. Always true.
bool refreshStations(const uint8_t* destination);
// Records every station of a network information reply and asks each one
// for its version.
void processStationList(const PlcReply& reply);
// 4 when the device confirmed the factory-defaults request, else 0.
int resetToFactoryDefaults(const uint8_t* deviceMac);
// What a factory reset ended with: Done ("Device has been reset to factory
// default successfully.") or Failed ("Device can't found or not support yet.").
enum class FactoryResetMessage { None, Done, Failed };
// The reset after the user's question: resets the device `mac` with the
// automatic scan held off; Done when the device confirmed.
FactoryResetMessage resetDeviceToFactoryDefaults(const uint8_t mac[6]);
// Reads the parameter block of the device `localMac` and copies its network
// membership key into `out`. True when the key was read; false when the
// exchange failed, the block was longer than kMaxParameterBlock or did not
// validate (then `out` keeps its contents).
bool readLocalNmk(const uint8_t* localMac, uint8_t out[16]);
// How reading the local configuration block went. NotBuilt: the request
// could not be built ("Error in plcapi_ReadConfigurationBlock", caption
// "Error", owned by the main window); the other failures tell nothing.
enum class ConfigurationBlockMessage { None, NotBuilt };
struct ConfigurationBlockRead {
    bool read = false;
    ConfigurationBlockMessage message = ConfigurationBlockMessage::None;
    explicit operator bool() const { return read; }
};
// Reads the local configuration block and learns `commitAfterWrite`.
ConfigurationBlockRead readConfigurationBlock();

// Which upgrade the local device takes, by its family: HomePlug AV (parameter
// block and firmware image) or the HomePlug 1.0 loader (Turbo only). For
// HomePlug AV the configuration block is read first; when that fails the
// upgrade may still go ahead, with FirmwareTypeUnknown to tell.
enum class UpgradeKind { None, Av, Hp10 };
enum class UpgradeKindMessage {
    None,
    FirmwareTypeUnknown, // "Can not retrive firmware type of local device"
    NotUpgradable,       // "Application does not have firmware upgrade capabilty for ..."
};
struct LocalUpgradeKind {
    UpgradeKind kind = UpgradeKind::None;
    ConfigurationBlockRead blockRead; // HomePlug AV: the configuration block read
    UpgradeKindMessage message = UpgradeKindMessage::None;
};
LocalUpgradeKind localUpgradeKind();
// Write options of the image write, by `chipModel` and `commitAfterWrite`.
uint8_t upgradeOptions();
// The message an AV upgrade ended with. The window shows each with caption
// "Error" and an error icon (ui/outcome_boxes.h); None after a confirmed
// transfer or a cancel.
enum class AvUpgradeMessage {
    None,
    FirmwareUnreadable, // "Unable to open firmware file"
    WrongNvmHeader,     // "Wrong NVM Block Header"
    PibUnreadable,      // "Error in PIB file opening..."
    PibOperation,       // "Error in PIB file Operation"
    PibChecksum,        // "Error in PIB file checksum. Operation aborted"
    NotStarted,         // "Upgrade failed. Operation aborted" (no local device, refused start)
    TransferAborted,    // "Upgrade failed. Operation aborted." (a block was not confirmed)
    FileTooLarge,       // fileTooLargeText(tooLargeFile, tooLargeSize, tooLargeLimit)
};

struct AvUpgradeOutcome {
    bool upgraded = false; // the device confirmed the last frame (checks: both files usable)
    AvUpgradeMessage message = AvUpgradeMessage::None;
    // FileTooLarge: which file ("firmware" or "parameter"), its size and the limit.
    const char* tooLargeFile = "";
    uint64_t tooLargeSize = 0;
    size_t tooLargeLimit = 0;
    explicit operator bool() const { return upgraded; }
};

// Upgrades the local device with the firmware (.NVM) and parameter (.PIB)
// files. Every failure returns its message; `upgraded` once the device
// confirmed the last frame. Setting upgradeCancelRequested stops the transfer
// before its next block (not upgraded, no message); the caller clears it
// before starting.
AvUpgradeOutcome upgradeLocalAv(const char* firmwarePath, const char* parameterPath);

// What the AV upgrade asks before it starts: the local device is HomePlug
// AV, are these the files meant for it? (The window: an OK/Cancel box;
// halyardctl: yes, the command names both files.) Empty: no.
struct AvUpgradeDecisions {
    std::function<bool()> confirmDeviceType;
};
enum class AvUpgradeStart {
    Go,
    FilesMissing, // "Please select a PIB and Firmware files" (nothing asked)
    NotConfirmed, // the question was answered no
};
// The start of an upgrade with the chosen files: both must be given, then
// the question is asked. Sends nothing.
AvUpgradeStart confirmAvUpgradeStart(const std::string& pibPath, const std::string& nvmPath,
                                     const AvUpgradeDecisions& ask);

// Reads and checks the firmware (.NVM) and parameter (.PIB) files the way the
// upgrade does before it sends anything, with the same messages. `upgraded`
// is true when both could be written. Sends nothing.
AvUpgradeOutcome checkAvUpgradeFiles(const char* firmwarePath, const char* parameterPath);

// Called after every confirmed block of an upgrade with the bytes written so
// far and the bytes of both images (on the thread that runs the upgrade).
using UpgradeProgressHook = std::function<void(uint64_t written, uint64_t total)>;
void setUpgradeProgressHook(UpgradeProgressHook hook); // empty: none
