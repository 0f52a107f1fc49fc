#pragma once
// The layout of OEMPrefs.dat, the branding and behaviour file that brandkit
// writes and halyard reads. Both programs use this one declaration; brandkit
// links nothing else of halyard.
//
// The fields follow each other without padding, integers little-endian, texts
// NUL-terminated 8-bit text padded with zeros (a text that fills its field has
// no terminator). The windows of both programs show and take texts as Latin-1,
// one byte per character. brandkit writes the copyright line with 80 bytes, so its
// files are 269 bytes long; halyard reads 100 bytes for it (a 289-byte record)
// and gets zeros after the 80 bytes of a 269-byte file.
#include <bit>
#include <cstddef>
#include <cstdint>

#include "platform/prefs_file_name.h"

static_assert(std::endian::native == std::endian::little,
              "OEMPrefs.dat is read and written raw as little-endian");

#pragma pack(push, 1)
template <size_t CopyrightSize> struct PrefsLayout {
    int32_t scanInterval;      // seconds between automatic scans
    int16_t qualityType;       // how the Quality cell is drawn
    int32_t color;             // text colour of the device list (shown in hex)
    int16_t iconSize;          // row icon size in pixels; 0 = no icons
    int16_t diagnosticsLevel;  // the Diagnostics page exists only when non-zero
    int16_t showOnlyActive;    // flag, carried
    int16_t autoScan;          // flag: automatic scanning on at start
    int16_t smLogoLeft;        // small logo position, carried
    int16_t smLogoTop;         //
    int16_t lgLogoLeft;        // large logo position on the About page
    int16_t lgLogoTop;         //
    int16_t showRate;          // flag: the link rate column exists
    int16_t showQuality;       // flag: the quality column exists
    int16_t ampm;              // flag: 12-hour times in the diagnostics report
    int16_t upgradeCapability; // flag, carried
    char webAddress[64];
    char appName[64];
    uint8_t oui[3];      // the brand's own OUI
    char vendorName[24]; // vendor name for the brand's own OUI
    char copyright[CopyrightSize];
};
#pragma pack(pop)

// What brandkit reads and writes: 269 bytes.
using PrefsFile = PrefsLayout<80>;
// What halyard reads: 289 bytes, the copyright line with 100 bytes.
using PrefsRecord = PrefsLayout<100>;

inline constexpr size_t kPrefsFileSize = 269;
inline constexpr size_t kPrefsRecordSize = 289;

static_assert(sizeof(PrefsFile) == kPrefsFileSize);
static_assert(sizeof(PrefsRecord) == kPrefsRecordSize);
static_assert(offsetof(PrefsFile, scanInterval) == 0);
static_assert(offsetof(PrefsFile, qualityType) == 4);
static_assert(offsetof(PrefsFile, color) == 6);
static_assert(offsetof(PrefsFile, iconSize) == 10);
static_assert(offsetof(PrefsFile, diagnosticsLevel) == 12);
static_assert(offsetof(PrefsFile, showOnlyActive) == 14);
static_assert(offsetof(PrefsFile, autoScan) == 16);
static_assert(offsetof(PrefsFile, smLogoLeft) == 18);
static_assert(offsetof(PrefsFile, smLogoTop) == 20);
static_assert(offsetof(PrefsFile, lgLogoLeft) == 22);
static_assert(offsetof(PrefsFile, lgLogoTop) == 24);
static_assert(offsetof(PrefsFile, showRate) == 26);
static_assert(offsetof(PrefsFile, showQuality) == 28);
static_assert(offsetof(PrefsFile, ampm) == 30);
static_assert(offsetof(PrefsFile, upgradeCapability) == 32);
static_assert(offsetof(PrefsFile, webAddress) == 34);
static_assert(offsetof(PrefsFile, appName) == 98);
static_assert(offsetof(PrefsFile, oui) == 162);
static_assert(offsetof(PrefsFile, vendorName) == 165);
static_assert(offsetof(PrefsFile, copyright) == 189);
static_assert(offsetof(PrefsRecord, copyright) == 189);
