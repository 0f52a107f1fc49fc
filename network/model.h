#pragma once
// The process-wide device model: fixed-size tables of interfaces, scan states,
// network records with their remote-device slots, and the device database
// entries, plus the single scan-context values. Every subsystem reads and
// writes these tables directly. NetworkRecord (with RemoteDevice and LinkStats)
// and DeviceEntry are written raw to the device database, so their layouts are
// a file format: packed, little-endian, sizes and offsets asserted below.
#include <cstddef>
#include <cstdint>
#include <string>

#include "packet/interface_table.h"

constexpr int kRemoteSlots = 32;
constexpr int kMaxDeviceEntries = 100;
constexpr int kMacLength = 6;

// DeviceClass of a local device (index into the class name table).
enum DeviceClass : int32_t {
    kClassAdapter = 0,
    kClassUsb = 1,
    kClassTurbo = 2,
    kClassHp10 = 3,
    kClassAv = 4,
};

// DeviceType of a remote device.
enum DeviceType : int32_t {
    kTypeHp10 = 1,
    kTypeTurbo = 2,
    kTypeAv = 4,
};

// Nominal rates in Mbit/s, shown before a rate was measured.
double nominalRateForType(int32_t deviceType);
double nominalRateForClass(int32_t deviceClass);

struct ScanState {
    uint8_t missCount;
    int32_t deviceClass;
    int32_t paramsValid;
    uint8_t localMac[6];
    int32_t localPresent;
    uint8_t localParams[50];
    int32_t bytesRead;
    int32_t reads;
    int32_t bytesWritten;
    int32_t writes;
};

#pragma pack(push, 1)
struct LinkStats {
    uint32_t fails;
    uint32_t drops;
    double rate;
    double lowest;
    double highest;
    uint8_t changed;
};

struct RemoteDevice {
    int32_t active;
    uint8_t mac[6];
    uint8_t reserved1[50];
    int8_t missesTillDrop;
    int32_t deviceType;
    char vendor[80];
    char product[80];
    char version[186];
    int32_t seenCount;
    int32_t missTotal;
    uint8_t typeChanged;
    LinkStats stats;
    uint8_t networkKey[16];
    char keyLabel[40];
};

struct NetworkRecord {
    uint8_t hostMac[6];
    int32_t localPresent;
    int32_t deviceClass;
    uint8_t localMac[6];
    uint8_t reserved1[25];
    RemoteDevice remotes[kRemoteSlots];
    LinkStats localStats;
    int32_t activeRemoteCount;
    uint8_t networkKey[16];
    char keyLabel[40];
};

struct DeviceEntry {
    char name[35];
    uint8_t mac[6];
    char password[56];
    char keyLabel[52];
    uint8_t networkKey[16];
    uint8_t reserved1[25];
    int64_t lastSeen;
};
#pragma pack(pop)

static_assert(sizeof(LinkStats) == 33);
static_assert(offsetof(LinkStats, rate) == 8);
static_assert(offsetof(LinkStats, lowest) == 16);
static_assert(offsetof(LinkStats, highest) == 24);
static_assert(offsetof(LinkStats, changed) == 32);

static_assert(sizeof(RemoteDevice) == 509);
static_assert(offsetof(RemoteDevice, mac) == 4);
static_assert(offsetof(RemoteDevice, missesTillDrop) == 60);
static_assert(offsetof(RemoteDevice, deviceType) == 61);
static_assert(offsetof(RemoteDevice, vendor) == 65);
static_assert(offsetof(RemoteDevice, product) == 145);
static_assert(offsetof(RemoteDevice, version) == 225);
static_assert(offsetof(RemoteDevice, seenCount) == 411);
static_assert(offsetof(RemoteDevice, missTotal) == 415);
static_assert(offsetof(RemoteDevice, typeChanged) == 419);
static_assert(offsetof(RemoteDevice, stats) == 420);
static_assert(offsetof(RemoteDevice, networkKey) == 453);
static_assert(offsetof(RemoteDevice, keyLabel) == 469);

static_assert(sizeof(NetworkRecord) == 16426);
static_assert(offsetof(NetworkRecord, localPresent) == 6);
static_assert(offsetof(NetworkRecord, deviceClass) == 10);
static_assert(offsetof(NetworkRecord, localMac) == 14);
static_assert(offsetof(NetworkRecord, reserved1) == 20);
static_assert(offsetof(NetworkRecord, remotes) == 45);
static_assert(offsetof(NetworkRecord, localStats) == 16333);
static_assert(offsetof(NetworkRecord, activeRemoteCount) == 16366);
static_assert(offsetof(NetworkRecord, networkKey) == 16370);
static_assert(offsetof(NetworkRecord, keyLabel) == 16386);

static_assert(sizeof(DeviceEntry) == 198);
static_assert(offsetof(DeviceEntry, mac) == 35);
static_assert(offsetof(DeviceEntry, password) == 41);
static_assert(offsetof(DeviceEntry, keyLabel) == 97);
static_assert(offsetof(DeviceEntry, networkKey) == 149);
static_assert(offsetof(DeviceEntry, reserved1) == 165);
static_assert(offsetof(DeviceEntry, lastSeen) == 190);

// ---- Tables ---------------------------------------------------------------
// interfaceTable, interfaceCount, ReceivedFrame and lastRxInterface belong to
// the packet layer (packet/interface_table.h).
extern ScanState scanStates[kMaxInterfaces];
extern NetworkRecord networkRecords[kMaxInterfaces];
extern DeviceEntry deviceTable[kMaxDeviceEntries];
extern int32_t deviceCount;

// ---- Scan context ---------------------------------------------------------
extern int currentInterface;
extern int localIsAv;
extern int localIsTurbo;
extern uint8_t avNetworkKey[16];
extern char avKeyLabel[40];
extern uint8_t hp10NetworkKey[8];
extern char hp10KeyLabel[46];
extern char matchedKeyLabel[52];
extern uint8_t localParamsBlock[50];
extern uint8_t localParamsCaptured;
extern char turboVendor[80];
extern char turboProduct[80];
extern char turboVersion[65];
extern char turboFirmware[65];
extern uint8_t oldFirmware;
extern uint8_t turboLocalAnswered;
extern uint8_t dropAfterMisses;
extern uint8_t keyChangedMark;
extern uint8_t keepLabelOnceMark;
extern int busyFlag;

// Returns every table and scan-context value to its start state (all zero,
// dropAfterMisses 3). Frees the received-frame buffer. Used at start-up and
// between tests; it does not touch the packet driver's open handles.
void resetDeviceModel();

// ---- Operations -------------------------------------------------------------
bool macEqual(const uint8_t* a, const uint8_t* b);
bool macIsSet(const uint8_t* mac);
// "%02X:%02X:%02X:%02X:%02X:%02X"
std::string formatMac(const uint8_t* mac);
// Splits at ":" and converts each pair of hex digits; stops after six bytes.
// Returns false (and leaves `out` zero-filled where nothing was read) when fewer
// than six groups are valid.
bool parseMac(const char* text, uint8_t out[6]);
// Value of one hexadecimal digit, or -1 when `c` is none.
int hexDigitValue(char c);
const uint8_t* hostMac();
const uint8_t* localDeviceMac();
ScanState& currentScanState();
// The one place that changes which interface is current: `i` brought into
// 0..7. A probe that visits every interface makes each current in turn and
// the first one current again at the end.
void setCurrentInterface(int i);
// Interface `i` becomes current and localIsTurbo follows its device class
// (selectInterfaceByMac).
void makeInterfaceCurrent(int i);
// A family probe found the local device on interface `i`: its scan state is
// marked present with `deviceClass` and valid parameters. On the interface
// that was current when the probe began (`wasCurrent`), localIsAv or
// localIsTurbo (by the class) is set too.
void markLocalDeviceFound(int i, int32_t deviceClass, bool wasCurrent);
// The local device of interface `i` answered from `mac`.
void recordLocalMac(int i, const uint8_t* mac);
// Name of scanStates[i].deviceClass, copied into one shared 80-byte buffer.
const char* className(int interfaceIndex);
// Name of a DeviceClass code ("Adapter" for codes outside the table).
const char* deviceClassName(int32_t deviceClass);

RemoteDevice* findRemote(const uint8_t* mac);
// The slot holding `mac` among the remote slots of interface i.
RemoteDevice* findRemoteOn(int i, const uint8_t* mac);
int findDeviceEntry(const uint8_t* mac);          // 1-based, 0 when absent
int findDeviceEntryByName(const char* name);      // 1-based, 0 when absent
int findDeviceEntryByAvKey(const uint8_t* key16); // 1-based; copies keyLabel to matchedKeyLabel
// Appends an entry for `mac` with `name`; returns its 1-based index, or 0 when
// the table already holds 100 entries (nothing is written then).
int appendDeviceEntry(const uint8_t* mac, const char* name);
void deleteDeviceEntry(int index1);
// The tables as the device database holds them: the loader hands over what it
// read, whole (the entries, at most 100; the eight network records), and a
// fresh database starts from empty entries and records whose key label is
// `keyLabel`.
void adoptDeviceEntries(const DeviceEntry* entries, int count);
void adoptNetworkRecords(const NetworkRecord (&records)[kMaxInterfaces]);
void clearDeviceEntries();
void clearNetworkRecords(const char* keyLabel);
// What the operations change in an entry (1-based; an index outside the table
// changes nothing): its name, its device password, the key it was given with
// the key's label (`key` is `keyLength` bytes, the rest of the field zero).
// The entry at 1-based `index1`, or nullptr when no entry is there (0, past
// the entries in use, past the table). Read-only: the set functions write.
const DeviceEntry* deviceEntryAt(int index1);
// Marks the entry of `mac` as seen now on the current interface, as a listed
// device's entry is: its key label becomes the interface's, its last-seen
// time the present. Returns the entry, nullptr when `mac` has none.
const DeviceEntry* stampDeviceEntry(const uint8_t* mac);
void setEntryName(int index1, const char* name);
void setEntryPassword(int index1, const char* password);
void setEntryKey(int index1, const char* keyLabel, const uint8_t* key, size_t keyLength);
// Removes the remote slot holding `mac` on the current interface; later slots move down.
void removeRemoteSlot(const uint8_t* mac);

struct IoCounters {
    int32_t bytesRead, reads, bytesWritten, writes;
};
IoCounters ioCounters(int interfaceIndex);

// ---- Remote device records and link statistics ----------------------------
void recordRemote(const uint8_t* mac);
enum RateKind { kRateHp10 = 0, kRateTurbo = 1, kRateAv = 2 };
void updateLinkStats(LinkStats& stats, const uint16_t raw[3], int kind);
// The rate in Mbit/s that a raw value of the given kind converts to (before truncation).
double convertRate(uint16_t raw, int kind);
// The highest rate any raw value converts to (HomePlug AV, raw 65535: 86801).
constexpr double kHighestRate = 86801.0;
// Link statistics read from a file: a rate that is NaN, infinite, negative or
// above kHighestRate becomes 0, so no later conversion to an integer can
// overflow and no NaN sticks in the lowest/highest comparisons.
void cleanLinkStats(LinkStats& stats);

// Copies `src` into a fixed text field, cutting it so the field stays NUL-terminated.
void copyText(char* dst, size_t size, const char* src);
template <size_t N> void copyText(char (&dst)[N], const char* src) {
    copyText(dst, N, src);
}
