#pragma once
// The network scan: for every interface, is a powerline device attached (the
// local device), of which family, and which network key does it use. For the
// selected interface it also gives the local device a device entry with a
// default name and decides the label that names its network key; at the end
// it copies the results into the NetworkRecord of every interface.
#include <cstdint>

inline constexpr const char* kUnknownKeyLabel = "Unknown Encryption Key";
inline constexpr const char* kDefaultNamePrefix = "Device";

// The family the scan found on the selected interface.
enum class LocalFamily { None, Av, Turbo, Hp10 };

// True when a local device was found on any interface.
bool scanNetwork();
// Turbo version probe of every interface; true when any local Turbo device answered.
bool discoverLocalTurbo();
// HomePlug 1.0 network statistics probe of every interface.
bool discoverLocalHp10();

// The family found by the last scan (None before the first one).
LocalFamily lastScanFamily();

// The 8-byte HomePlug 1.0 keys that count as the public default: the default
// NEK and its shifted form (0x01 followed by the first seven bytes of the
// default NEK). A second shifted value exists on some devices but is not
// known here, so such a key is labelled as unrecognised.
bool isDefaultHp10Key(const uint8_t key[8]);
bool isDefaultAvKey(const uint8_t key[16]);

// The first free default name: "Device <deviceCount + 1>", else "Device 1",
// "Device 2", ... Writes at most `size` bytes.
void defaultDeviceName(char* out, unsigned size);

// The next scan that finds a local device files its key under the text the
// user just typed (kept in the current interface's NetworkRecord), whatever
// label the rules would give it: sets keyChangedMark, which that scan clears.
void markKeyChanged();
// The next scan that finds an unrecognised AV key on an existing entry keeps
// its label once: sets keepLabelOnceMark, which that scan clears.
void keepKeyLabelOnce();
// Whether the last Turbo firmware read found the older generation; clears
// oldFirmware, so each finding is reported once.
bool takeOldFirmware();

// Returns the scan's own state to its start value.
void resetScan();
