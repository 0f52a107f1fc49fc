#pragma once
// Key derivation for the three device families, and random network keys.
//
// HomePlug AV keys (DAK, NMK) are 16 bytes: PBKDF1 over SHA-256, 1000 rounds,
// with the salt of the key's kind. HomePlug 1.0 and Turbo keys (DEK, NEK) are
// 8 bytes: PBKDF1 over MD5, 1000 rounds, then odd parity in every byte.
//
// The derivations depend on nothing but their argument, so the emulator uses
// them too. `copyKey`, `keyWidth` and `makeRandomNetworkKey` follow the family
// of the local device on the current interface (localIsAv, localIsTurbo).
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>

constexpr size_t kAvKeyLength = 16;  // DAK, NMK
constexpr size_t kHp10KeyLength = 8; // DEK, NEK
constexpr size_t kAvDigestLength = 32;
constexpr size_t kHp10DigestLength = 16;
constexpr size_t kAvPasswordMax = 64;   // longer passwords are cut to this
constexpr size_t kHp10PasswordMax = 59; // longer passwords are cut to this

using AvDigest = std::array<uint8_t, kAvDigestLength>;     // key = first 16 bytes
using Hp10Digest = std::array<uint8_t, kHp10DigestLength>; // key = first 8 bytes

// Salts of the HomePlug AV standard (device access key, network membership key)
// and of the HomePlug 1.0 standard (same value as the AV DAK salt).
extern const uint8_t kDakSalt[8];
extern const uint8_t kNmkSalt[8];
extern const uint8_t kHp10Salt[8];

// Default network passwords: "HomePlugAV" (10 characters) for HomePlug AV,
// "HomePlug" (8 characters) for HomePlug 1.0 and Turbo.
extern const char kDefaultNetworkPassword[];
extern const char kHp10DefaultNetworkPassword[];

// The keys those passwords yield: the NMK AV devices leave the factory with,
// and the HomePlug 1.0 NEK of the public network.
extern const std::array<uint8_t, kAvKeyLength> kDefaultNmk;
extern const std::array<uint8_t, kHp10KeyLength> kDefaultNek;
inline const std::array<uint8_t, kAvKeyLength>& defaultNmk() {
    return kDefaultNmk;
}
inline const std::array<uint8_t, kHp10KeyLength>& defaultNek() {
    return kDefaultNek;
}

// HomePlug AV device access key of a device password (DAK = first 16 bytes).
AvDigest deriveDAK(const char* password);
// HomePlug AV network membership key of a network password (NMK = first 16 bytes).
AvDigest deriveNMK(const char* password);
// HomePlug 1.0/Turbo key of a device or network password (DEK/NEK = first 8
// bytes, each of odd parity; the other 8 digest bytes are unused).
Hp10Digest deriveHP10Key(const char* password);

// Convenience forms that return only the key bytes.
std::array<uint8_t, kAvKeyLength> dakFromPassword(const char* password);       // DAK
std::array<uint8_t, kAvKeyLength> nmkFromPassword(const char* password);       // NMK
std::array<uint8_t, kHp10KeyLength> hp10KeyFromPassword(const char* password); // DEK or NEK

// Key width of the local device's family: 16 when localIsAv, else 8.
size_t keyWidth();
// Copies keyWidth() bytes of a derived key into `dest`.
void copyKey(uint8_t* dest, const uint8_t* derived);

// Fills `dest` with a random network key from the kernel's generator: 16 bytes,
// or 8 when the local device is HomePlug Turbo. Draws again while the first 8
// bytes equal those of the family's default key (default NMK for HomePlug AV,
// default NEK otherwise). Returns false only when no random bytes could be had;
// `dest` is then zero-filled over the width it would have written.
bool makeRandomNetworkKey(uint8_t dest[16]);

// Replaces the random byte source (tests); nullptr restores getrandom(2).
// The source fills `length` bytes and returns false when it cannot.
using RandomSource = std::function<bool(uint8_t* out, size_t length)>;
void setRandomSource(RandomSource source);

// Returns the key subsystem to its start state (the kernel random source).
void resetSecurityState();
