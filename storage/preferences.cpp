#include "storage/preferences.h"

#include <climits>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "network/model.h"
#include "packet/frame_bytes.h"
#include "platform/file_io.h"
#include "storage/device_database.h"
#include "storage/vendor_list.h"

PrefsRecord preferences;

namespace {

void setDefaults() {
    preferences.scanInterval = 30;
    preferences.qualityType = 0;
    preferences.color = 0;
    preferences.iconSize = 24;
    preferences.diagnosticsLevel = 1;
    preferences.showOnlyActive = 1;
    preferences.autoScan = 1;
    preferences.smLogoLeft = 10;
    preferences.smLogoTop = 310;
    preferences.lgLogoLeft = 80;
    preferences.lgLogoTop = 25;
    preferences.showRate = 1;
    preferences.showQuality = 1;
    preferences.ampm = 1;
    preferences.upgradeCapability = 0;
    copyText(preferences.webAddress, kDefaultWebAddress);
    copyText(preferences.appName, kDefaultAppName);
    copyText(preferences.copyright, kDefaultCopyright);
}

// Creates the empty file; an existing one (or a link) is left alone.
bool createEmpty(const std::string& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

// Reads the record in file order; whatever the file does not hold stays zero.
// Only reads: asking for write access as well would turn a read-only file into
// the defaults, and with them another database name.
bool readRecord(const std::string& path, PrefsCreation create) {
    std::vector<uint8_t> bytes;
    const FileReadResult read = readFileLimited(path, sizeof preferences, bytes);
    if (read.status == FileRead::Missing)
        return create == PrefsCreation::IfMissing && createEmpty(path);
    if (read.status != FileRead::Ok)
        return false;
    std::memcpy(&preferences, bytes.data(), bytes.size());
    return true;
}

} // namespace

PreferencesRead readPreferencesFile(const std::string& path, PrefsCreation create) {
    std::memset(&preferences, 0, sizeof preferences);
    bool read = readRecord(path, create);
    if (!read)
        setDefaults();
    // The device database may replace the sort state when it is loaded.
    deviceListLayout.sortDirection = 1;
    deviceListLayout.sortColumn = 1;
    if (preferences.scanInterval < 1)
        preferences.scanInterval = 1;
    return PreferencesRead{read, preferences.autoScan != 0, preferenceIntervalTicks()};
}

PreferencesRead readPreferences() {
    return readPreferencesFile(kPrefsFileName);
}

int preferenceIntervalTicks() {
    int32_t seconds = preferences.scanInterval < 1 ? 1 : preferences.scanInterval;
    if (seconds > INT_MAX / 20)
        return INT_MAX / 20 * 20;
    return seconds * 20;
}

std::string prefAppName() {
    return fieldText(preferences.appName);
}
std::string prefWebAddress() {
    return fieldText(preferences.webAddress);
}
std::string prefCopyright() {
    return fieldText(preferences.copyright);
}
std::string prefVendorName() {
    return fieldText(preferences.vendorName);
}

void resetPreferences() {
    std::memset(&preferences, 0, sizeof preferences);
    vendorTable.clear();
    vendorTable.shrink_to_fit();
}
