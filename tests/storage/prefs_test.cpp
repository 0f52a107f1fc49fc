// OEMPrefs.dat as halyard reads it: the values brandkit wrote, at their byte
// offsets, the empty file created when none exists (and only then), a file
// that may be read but not written, and the built-in defaults.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "network/auto_scan.h"
#include "network/model.h"
#include "storage/device_database.h"
#include "storage/preferences.h"
#include "support/temp_dir.h"
#include "support/unprivileged.h"

#include <chrono>
#include <fcntl.h>
#include <future>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void putLe(std::vector<uint8_t>& b, size_t offset, uint32_t value, size_t width) {
    for (size_t i = 0; i < width; ++i)
        b[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

void putText(std::vector<uint8_t>& b, size_t offset, const std::string& text) {
    std::memcpy(b.data() + offset, text.data(), text.size());
}

// A 269-byte file as brandkit writes it, built byte by byte from the offsets.
std::vector<uint8_t> editorFile(const std::string& copyright) {
    std::vector<uint8_t> b(269, 0);
    putLe(b, 0, 45, 4);         // scan interval
    putLe(b, 4, 2, 2);          // quality type
    putLe(b, 6, 0x00ff8040, 4); // color
    putLe(b, 10, 16, 2);        // iconSize
    putLe(b, 12, 3, 2);         // Diagnostics Level
    putLe(b, 14, 0, 2);         // showOnlyActive
    putLe(b, 16, 1, 2);         // AutoScan
    putLe(b, 18, 11, 2);        // smLogoLeft
    putLe(b, 20, 0xfffe, 2);    // smLogoTop = -2
    putLe(b, 22, 300, 2);       // lgLogoLeft
    putLe(b, 24, 40, 2);        // lgLogoTop
    putLe(b, 26, 1, 2);         // showRate
    putLe(b, 28, 0, 2);         // showQuality
    putLe(b, 30, 1, 2);         // ampm
    putLe(b, 32, 1, 2);         // Upgrade Capabilty
    putText(b, 34, "https://example.net/powerline");
    putText(b, 98, "Brand Net");
    b[162] = 0x00;
    b[163] = 0x1A;
    b[164] = 0x2B;
    putText(b, 165, "Brand Networks");
    putText(b, 189, copyright);
    return b;
}

class PrefsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        resetDeviceModel();
        resetAutoScan();
        resetDeviceDatabaseState();
        resetPreferences();
    }
    void TearDown() override {
        resetPreferences();
        resetDeviceDatabaseState();
        resetAutoScan();
        resetDeviceModel();
    }
    TempDir dir;
};

TEST_F(PrefsTest, EditorFileGivesTheValuesWritten) {
    const std::string copyright(80, 'C'); // fills its field: no terminator in the file
    std::string path = dir.file("OEMPrefs.dat");
    writeFileBytes(path, editorFile(copyright));

    PreferencesRead read = readPreferencesFile(path);
    ASSERT_TRUE(read);
    EXPECT_EQ(+preferences.scanInterval, 45);
    EXPECT_EQ(+preferences.qualityType, 2);
    EXPECT_EQ(+preferences.color, 0x00ff8040);
    EXPECT_EQ(+preferences.iconSize, 16);
    EXPECT_EQ(+preferences.diagnosticsLevel, 3);
    EXPECT_EQ(+preferences.showOnlyActive, 0);
    EXPECT_EQ(+preferences.autoScan, 1);
    EXPECT_EQ(+preferences.smLogoLeft, 11);
    EXPECT_EQ(+preferences.smLogoTop, -2);
    EXPECT_EQ(+preferences.lgLogoLeft, 300);
    EXPECT_EQ(+preferences.lgLogoTop, 40);
    EXPECT_EQ(+preferences.showRate, 1);
    EXPECT_EQ(+preferences.showQuality, 0);
    EXPECT_EQ(+preferences.ampm, 1);
    EXPECT_EQ(+preferences.upgradeCapability, 1);
    EXPECT_EQ(prefWebAddress(), "https://example.net/powerline");
    EXPECT_EQ(prefAppName(), "Brand Net");
    EXPECT_EQ(+preferences.oui[0], 0x00);
    EXPECT_EQ(+preferences.oui[1], 0x1A);
    EXPECT_EQ(+preferences.oui[2], 0x2B);
    EXPECT_EQ(prefVendorName(), "Brand Networks");
    // halyard's copyright field has 100 bytes: the 80 written and zeros after.
    EXPECT_EQ(prefCopyright(), copyright);
    for (size_t i = 80; i < sizeof preferences.copyright; ++i)
        EXPECT_EQ(+preferences.copyright[i], 0) << i;
    EXPECT_TRUE(read.autoScan);
    EXPECT_EQ(preferenceIntervalTicks(), 45 * 20);
    EXPECT_EQ(read.intervalTicks, 45 * 20);
    // Reading never changes the file.
    EXPECT_EQ(readFileBytes(path), editorFile(copyright));
}

TEST_F(PrefsTest, HundredByteCopyrightOfLongerFileIsRead) {
    std::vector<uint8_t> b = editorFile("");
    b.resize(289 + 7, 0);
    putText(b, 189, std::string(99, 'L'));
    std::string path = dir.file("OEMPrefs.dat");
    writeFileBytes(path, b);
    ASSERT_TRUE(readPreferencesFile(path));
    EXPECT_EQ(prefCopyright(), std::string(99, 'L'));
}

TEST_F(PrefsTest, MissingFileIsCreatedEmptyAndGivesZeroPreferences) {
    std::memset(&preferences, 0x5a, sizeof preferences); // stale values must go
    std::string path = dir.file("OEMPrefs.dat");
    PreferencesRead read = readPreferencesFile(path);
    ASSERT_TRUE(read);
    ASSERT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ(std::filesystem::file_size(path), 0u);
    EXPECT_EQ(+preferences.scanInterval, 1); // zero read as one
    EXPECT_EQ(preferenceIntervalTicks(), 20);
    EXPECT_EQ(+preferences.autoScan, 0);
    EXPECT_FALSE(read.autoScan); // AutoScan off: the automatic scan stays suspended
    EXPECT_EQ(+preferences.iconSize, 0);
    EXPECT_EQ(+preferences.diagnosticsLevel, 0);
    EXPECT_EQ(prefAppName(), "");
    EXPECT_EQ(prefCopyright(), "");
}

TEST_F(PrefsTest, UnopenableFileGivesTheDefaults) {
    std::string path = dir.file("no-such-folder/OEMPrefs.dat");
    PreferencesRead read = readPreferencesFile(path);
    EXPECT_FALSE(read);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(+preferences.scanInterval, 30);
    EXPECT_EQ(+preferences.iconSize, 24);
    EXPECT_EQ(+preferences.diagnosticsLevel, 1);
    EXPECT_EQ(+preferences.showOnlyActive, 1);
    EXPECT_EQ(+preferences.autoScan, 1);
    EXPECT_EQ(+preferences.smLogoLeft, 10);
    EXPECT_EQ(+preferences.smLogoTop, 310);
    EXPECT_EQ(+preferences.lgLogoLeft, 80);
    EXPECT_EQ(+preferences.lgLogoTop, 25);
    EXPECT_EQ(+preferences.showRate, 1);
    EXPECT_EQ(+preferences.showQuality, 1);
    EXPECT_EQ(+preferences.ampm, 1);
    EXPECT_EQ(+preferences.upgradeCapability, 0);
    EXPECT_EQ(prefAppName(), "Plexora");
    EXPECT_EQ(prefWebAddress(), kDefaultWebAddress);
    EXPECT_EQ(prefCopyright(), kDefaultCopyright);
    EXPECT_EQ(prefVendorName(), "");
    EXPECT_EQ(+preferences.oui[0] | preferences.oui[1] | preferences.oui[2], 0);
    EXPECT_TRUE(read.autoScan);
    EXPECT_EQ(preferenceIntervalTicks(), 600);
    EXPECT_EQ(read.intervalTicks, 600);
}

TEST_F(PrefsTest, ShortFileLeavesMissingFieldsZero) {
    std::vector<uint8_t> b = editorFile("x");
    b.resize(13); // ends inside Diagnostics Level
    std::string path = dir.file("OEMPrefs.dat");
    writeFileBytes(path, b);
    PreferencesRead read = readPreferencesFile(path);
    ASSERT_TRUE(read);
    EXPECT_EQ(+preferences.scanInterval, 45);
    EXPECT_EQ(+preferences.iconSize, 16);
    EXPECT_EQ(+preferences.diagnosticsLevel, 3); // low byte read, high byte zero
    EXPECT_EQ(+preferences.autoScan, 0);
    EXPECT_FALSE(read.autoScan);
    EXPECT_EQ(prefAppName(), "");
}

TEST_F(PrefsTest, ScanIntervalBelowOneIsUsedAsOne) {
    for (uint32_t stored : {0u, 0xffffffffu}) {
        std::vector<uint8_t> b = editorFile("c");
        putLe(b, 0, stored, 4);
        std::string path = dir.file("OEMPrefs.dat");
        writeFileBytes(path, b);
        PreferencesRead read = readPreferencesFile(path);
        ASSERT_TRUE(read);
        EXPECT_EQ(+preferences.scanInterval, 1) << stored;
        EXPECT_EQ(preferenceIntervalTicks(), 20) << stored;
        EXPECT_EQ(read.intervalTicks, 20) << stored;
    }
}

TEST_F(PrefsTest, SortStateStartsAtOneWhateverTheFile) {
    deviceListLayout.sortDirection = 0;
    deviceListLayout.sortColumn = 4;
    readPreferencesFile(dir.file("OEMPrefs.dat"));
    EXPECT_EQ(deviceListLayout.sortDirection, 1);
    EXPECT_EQ(deviceListLayout.sortColumn, 1);
    deviceListLayout.sortColumn = 3;
    readPreferencesFile(dir.file("missing/OEMPrefs.dat")); // defaults
    EXPECT_EQ(deviceListLayout.sortColumn, 1);
}

TEST_F(PrefsTest, AutoScanOffSuspendsTheAutomaticScan) {
    std::vector<uint8_t> b = editorFile("c");
    putLe(b, 16, 0, 2);
    std::string path = dir.file("OEMPrefs.dat");
    writeFileBytes(path, b);
    busyFlag = 0;
    PreferencesRead read = readPreferencesFile(path);
    ASSERT_TRUE(read);
    EXPECT_FALSE(read.autoScan);
    // The reader only reports the switch; the shell applies it to the automatic scan.
    EXPECT_EQ(busyFlag, 0);
    applyAutoScanPreference(read.autoScan, read.intervalTicks);
    EXPECT_EQ(busyFlag, 1);
    EXPECT_EQ(intervalTicks, read.intervalTicks);
}

TEST_F(PrefsTest, FileThatMayBeReadButNotWrittenGivesItsValues) {
    // A reseller's file owned by root in a folder only root may write.
    const std::string path = dir.file("OEMPrefs.dat");
    writeFileBytes(path, editorFile("Copyright Brand"));
    chmod(path.c_str(), 0444);
    chmod(dir.path().c_str(), 0555);
    EXPECT_EQ(0, runUnprivileged([&] {
                  return readPreferencesFile(path) && prefAppName() == "Brand Net" &&
                         preferences.scanInterval == 45 && prefCopyright() == "Copyright Brand";
              }));
    // Where nothing may be created, a missing file gives the defaults.
    EXPECT_EQ(0, runUnprivileged([&] {
                  return !readPreferencesFile(dir.file("Other.dat")) &&
                         prefAppName() == kDefaultAppName &&
                         access(dir.file("Other.dat").c_str(), F_OK) != 0;
              }));
    chmod(dir.path().c_str(), 0700);
}

TEST_F(PrefsTest, ExistingFileIsNeverCreatedOverOrWidened) {
    const std::string path = dir.file("OEMPrefs.dat");
    writeFileBytes(path, editorFile("c"));
    chmod(path.c_str(), 0640);
    ASSERT_TRUE(readPreferencesFile(path));
    struct stat st {};
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777);
    EXPECT_EQ(269, st.st_size);

    // The caller may forbid creating one: then a missing file gives the defaults.
    const std::string elsewhere = dir.file("usr-share/OEMPrefs.dat");
    mkdir(dir.file("usr-share").c_str(), 0755);
    EXPECT_FALSE(readPreferencesFile(elsewhere, PrefsCreation::Never));
    EXPECT_FALSE(std::filesystem::exists(elsewhere));
    EXPECT_EQ(prefAppName(), kDefaultAppName);
}

TEST_F(PrefsTest, FifoOrFolderGivesTheDefaultsWithoutWaiting) {
    const std::string fifo = dir.file("OEMPrefs.dat");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0644));
    auto reading = std::async(std::launch::async, [&] { return readPreferencesFile(fifo); });
    if (reading.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        const int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        reading.wait();
        close(writer);
        FAIL() << "reading the preferences blocked on a FIFO";
    }
    EXPECT_FALSE(reading.get());
    EXPECT_EQ(prefAppName(), kDefaultAppName);
    EXPECT_FALSE(readPreferencesFile(dir.path()));
    EXPECT_EQ(+preferences.scanInterval, 30);
}

} // namespace
