// brandkit's editing logic: the 269-byte file round trip, how each control
// shows its field and how edits are taken back, flags, over-long texts, and
// a save that fails half-way leaving the old file byte for byte.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "brandkit/editor_logic.h"
#include "platform/file_io.h"
#include "support/temp_dir.h"

#include <chrono>
#include <dirent.h>
#include <fcntl.h>
#include <future>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The page's controls as plain values.
class FakeControls : public PageControls {
  public:
    std::string text(int id) const override {
        auto it = texts.find(id);
        return it == texts.end() ? std::string() : it->second;
    }
    void setText(int id, const std::string& t) override { texts[id] = t; }
    void setChecked(int id, bool c) override { checks[id] = c; }

    std::map<int, std::string> texts;
    std::map<int, bool> checks;
};

void putLe(std::vector<uint8_t>& b, size_t offset, uint32_t value, size_t width) {
    for (size_t i = 0; i < width; ++i)
        b[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

void putText(std::vector<uint8_t>& b, size_t offset, const std::string& text) {
    std::memcpy(b.data() + offset, text.data(), text.size());
}

// A file laid out byte by byte from the offsets, texts shorter than their fields.
std::vector<uint8_t> sampleFile(size_t size = 269) {
    std::vector<uint8_t> b(size, 0);
    putLe(b, 0, 45, 4);
    putLe(b, 4, 2, 2);
    putLe(b, 6, 0x00ff8040, 4);
    putLe(b, 10, 16, 2);
    putLe(b, 12, 3, 2);
    putLe(b, 14, 0, 2);
    putLe(b, 16, 1, 2);
    putLe(b, 18, 11, 2);
    putLe(b, 20, 0xfffe, 2); // smLogoTop -2
    putLe(b, 22, 300, 2);
    putLe(b, 24, 40, 2);
    putLe(b, 26, 1, 2);
    putLe(b, 28, 0, 2);
    putLe(b, 30, 1, 2);
    putLe(b, 32, 1, 2);
    putText(b, 34, "https://example.net/powerline");
    putText(b, 98, "Brand Net");
    b[162] = 0x00;
    b[163] = 0x1A;
    b[164] = 0x2B;
    putText(b, 165, "Brand Networks");
    putText(b, 189, "Copyright (c) 2009 Brand Networks Inc. All rights reserved worldwide.");
    return b;
}

int16_t flagAt(size_t offset) {
    int16_t v;
    std::memcpy(&v, reinterpret_cast<const char*>(&prefsBlock) + offset, sizeof v);
    return v;
}

void setFlag(size_t offset, int16_t v) {
    std::memcpy(reinterpret_cast<char*>(&prefsBlock) + offset, &v, sizeof v);
}

class EditorLogicTest : public ::testing::Test {
  protected:
    void SetUp() override { resetEditor(); }
    void TearDown() override { resetEditor(); }

    // Open, show, take back and save without changes, as OK does.
    void okWithoutChanges(const std::string& path) {
        ASSERT_TRUE(readPrefsFile(path));
        FakeControls page;
        fillControls(page);
        readControls(page);
        ASSERT_TRUE(writePrefsFile(path));
    }

    TempDir dir;
    std::string path = dir.file("OEMPrefs.dat");
};

TEST_F(EditorLogicTest, ControlsShowEveryFieldInItsFormat) {
    writeFileBytes(path, sampleFile());
    ASSERT_TRUE(readPrefsFile(path));
    FakeControls page;
    fillControls(page);
    EXPECT_EQ(page.texts[1012], "45");
    EXPECT_EQ(page.texts[1013], "2");
    EXPECT_EQ(page.texts[1017], "ff8040");
    EXPECT_EQ(page.texts[1014], "16");
    EXPECT_EQ(page.texts[1032], "3");
    EXPECT_EQ(page.texts[1015], "11");
    EXPECT_EQ(page.texts[1016], "-2");
    EXPECT_EQ(page.texts[1018], "300");
    EXPECT_EQ(page.texts[1020], "40");
    EXPECT_EQ(page.texts[1033], "00:1A:2B");
    EXPECT_EQ(page.texts[1028], "https://example.net/powerline");
    EXPECT_EQ(page.texts[1030], "Brand Net");
    EXPECT_EQ(page.texts[1031], "Brand Networks");
    EXPECT_EQ(page.texts[1029],
              "Copyright (c) 2009 Brand Networks Inc. All rights reserved worldwide.");
    const std::map<int, bool> checks = {{1010, true},  {1019, false}, {1021, true},
                                        {1022, false}, {1023, true},  {1101, true}};
    EXPECT_EQ(page.checks, checks);
    EXPECT_EQ(page.texts.size(), 14u);
}

TEST_F(EditorLogicTest, OkWithoutChangesRewritesTheSame269Bytes) {
    writeFileBytes(path, sampleFile());
    okWithoutChanges(path);
    EXPECT_EQ(readFileBytes(path), sampleFile());
}

TEST_F(EditorLogicTest, LongerFileIsCutTo269BytesKeepingTheCopyrightField) {
    std::vector<uint8_t> longer = sampleFile(289 + 11);
    for (size_t i = 269; i < longer.size(); ++i)
        longer[i] = 0xA5; // beyond the editor's 80-byte copyright field
    writeFileBytes(path, longer);
    okWithoutChanges(path);
    std::vector<uint8_t> written = readFileBytes(path);
    ASSERT_EQ(written.size(), 269u);
    EXPECT_EQ(written, std::vector<uint8_t>(longer.begin(), longer.begin() + 269));
}

TEST_F(EditorLogicTest, MissingOrShortFileGivesZeros) {
    std::memset(&prefsBlock, 0x77, sizeof prefsBlock);
    EXPECT_FALSE(readPrefsFile(path));
    EXPECT_EQ(+prefsBlock.scanInterval, 0);
    EXPECT_EQ(+prefsBlock.copyright[79], 0);
    EXPECT_FALSE(std::filesystem::exists(path)); // the editor never creates it by reading

    std::vector<uint8_t> b = sampleFile();
    b.resize(90); // ends inside webAddress
    writeFileBytes(path, b);
    ASSERT_TRUE(readPrefsFile(path));
    EXPECT_EQ(+prefsBlock.upgradeCapability, 1);
    EXPECT_EQ(std::string(prefsBlock.webAddress), "https://example.net/powerline");
    EXPECT_EQ(+prefsBlock.appName[0], 0);
    EXPECT_EQ(+prefsBlock.oui[1], 0);
}

TEST_F(EditorLogicTest, OneDigitOuiIsShownWithTwoUpperCaseDigitsPerGroup) {
    FakeControls page;
    fillControls(page);
    page.texts[1033] = "0:a:B";
    readControls(page);
    EXPECT_EQ(+prefsBlock.oui[0], 0x00);
    EXPECT_EQ(+prefsBlock.oui[1], 0x0A);
    EXPECT_EQ(+prefsBlock.oui[2], 0x0B);
    fillControls(page);
    EXPECT_EQ(page.texts[1033], "00:0A:0B");
}

TEST_F(EditorLogicTest, OuiThatDoesNotParseKeepsThePreviousValue) {
    const uint8_t before[3] = {0x12, 0x34, 0x56};
    std::memcpy(prefsBlock.oui, before, 3);
    FakeControls page;
    fillControls(page);
    for (const char* bad : {"", "12:34", "12-34-56", "zz:34:56", "12:34:"}) {
        page.texts[1033] = bad;
        readControls(page);
        EXPECT_EQ(std::memcmp(prefsBlock.oui, before, 3), 0) << bad;
    }
    page.texts[1033] = "1ff:0x2:3"; // values wider than a byte keep their low byte
    readControls(page);
    EXPECT_EQ(+prefsBlock.oui[0], 0xFF);
    EXPECT_EQ(+prefsBlock.oui[1], 0x02);
    EXPECT_EQ(+prefsBlock.oui[2], 0x03);
}

TEST_F(EditorLogicTest, CheckBoxToggledTwiceIsUnchanged) {
    const std::map<int, size_t> flags = {{1010, 16}, {1019, 14}, {1021, 26},
                                         {1022, 28}, {1023, 30}, {1101, 32}};
    for (const auto& [id, offset] : flags) {
        for (int16_t start : {0, 1}) {
            resetEditor();
            prefsBlock.scanInterval = 30; // neighbours that must not move
            prefsBlock.color = -1;
            setFlag(offset, start);
            PrefsFile before;
            std::memcpy(&before, &prefsBlock, sizeof before);
            ASSERT_TRUE(toggleFlag(id));
            EXPECT_EQ(flagAt(offset), 1 - start) << id;
            FakeControls page;
            fillControls(page);
            EXPECT_EQ(page.checks[id], start == 0) << id;
            ASSERT_TRUE(toggleFlag(id));
            EXPECT_EQ(std::memcmp(&before, &prefsBlock, sizeof before), 0) << id;
        }
    }
    prefsBlock.autoScan = 7; // any non-zero value becomes 0
    toggleFlag(1010);
    EXPECT_EQ(+prefsBlock.autoScan, 0);
}

TEST_F(EditorLogicTest, ToggleIgnoresControlsThatAreNoCheckBoxes) {
    prefsBlock.scanInterval = 5;
    EXPECT_FALSE(toggleFlag(1012));
    EXPECT_FALSE(toggleFlag(9999));
    EXPECT_EQ(+prefsBlock.scanInterval, 5);
}

TEST_F(EditorLogicTest, OverlongTextsAreCutToTheirFieldMinusOne) {
    FakeControls page;
    fillControls(page);
    const std::string longText(200, 'x');
    for (int id : {1028, 1029, 1030, 1031})
        page.texts[id] = longText;
    page.texts[1033] = "AA:BB:CC";
    readControls(page);
    EXPECT_EQ(std::string(prefsBlock.webAddress), std::string(63, 'x'));
    EXPECT_EQ(std::string(prefsBlock.appName), std::string(63, 'x'));
    EXPECT_EQ(std::string(prefsBlock.vendorName), std::string(23, 'x'));
    EXPECT_EQ(std::string(prefsBlock.copyright), std::string(79, 'x'));
    // The neighbours of the texts are intact.
    EXPECT_EQ(+prefsBlock.oui[0], 0xAA);
    EXPECT_EQ(+prefsBlock.oui[2], 0xCC);
    EXPECT_EQ(controlMaxLength(1031), 23u);
    EXPECT_EQ(controlMaxLength(1029), 79u);
    EXPECT_EQ(controlMaxLength(1012), 255u);

    ASSERT_TRUE(writePrefsFile(path));
    std::vector<uint8_t> written = readFileBytes(path);
    ASSERT_EQ(written.size(), 269u);
    EXPECT_EQ(written[34 + 63], 0);
    EXPECT_EQ(written[98 + 63], 0);
    EXPECT_EQ(written[162], 0xAA);
    EXPECT_EQ(written[165 + 23], 0);
    EXPECT_EQ(written[189 + 79], 0);
}

TEST_F(EditorLogicTest, NumbersAreStoredWithTheirFieldWidth) {
    FakeControls page;
    fillControls(page);
    page.texts[1012] = " 3000000000"; // 4-byte field keeps the low 32 bits
    page.texts[1014] = "70000";       // 2-byte field keeps the low 16 bits
    page.texts[1016] = "-5";
    page.texts[1017] = "FfA0";
    page.texts[1018] = "12abc"; // what follows the digits is ignored
    readControls(page);
    EXPECT_EQ(static_cast<uint32_t>(prefsBlock.scanInterval), 3000000000u);
    EXPECT_EQ(+prefsBlock.iconSize, 70000 - 65536);
    EXPECT_EQ(+prefsBlock.smLogoTop, -5);
    EXPECT_EQ(+prefsBlock.color, 0xFFA0);
    EXPECT_EQ(+prefsBlock.lgLogoLeft, 12);
    fillControls(page);
    EXPECT_EQ(page.texts[1017], "ffa0");
    EXPECT_EQ(page.texts[1012], "-1294967296");
}

TEST_F(EditorLogicTest, NonNumberKeepsTheFieldsPreviousValue) {
    prefsBlock.scanInterval = 30;
    prefsBlock.color = 0x123;
    prefsBlock.lgLogoTop = 25;
    FakeControls page;
    fillControls(page);
    page.texts[1012] = "soon";
    page.texts[1017] = "xyz";
    page.texts[1020] = "";
    readControls(page);
    EXPECT_EQ(+prefsBlock.scanInterval, 30);
    EXPECT_EQ(+prefsBlock.color, 0x123);
    EXPECT_EQ(+prefsBlock.lgLogoTop, 25);
}

TEST_F(EditorLogicTest, UnwritableFileIsReportedAsFailure) {
    std::string error;
    EXPECT_FALSE(writePrefsFile(dir.file("missing/OEMPrefs.dat"), &error));
    EXPECT_FALSE(error.empty());
    std::filesystem::create_directory(path); // a folder where the file should be
    error.clear();
    EXPECT_FALSE(writePrefsFile(path, &error));
    EXPECT_FALSE(error.empty());
}

TEST_F(EditorLogicTest, SaveThatFailsAfterTheOpenLeavesTheOldFileByteForByte) {
    std::vector<uint8_t> old = sampleFile(300); // a longer file than brandkit writes
    old[280] = 0xEE;
    writeFileBytes(path, old);
    chmod(path.c_str(), 0644);
    ASSERT_TRUE(readPrefsFile(path));
    FakeControls page;
    fillControls(page);
    page.texts[1030] = "Renamed Brand";
    page.texts[1012] = "90";
    readControls(page);

    // The disk fills up after the new file was opened and part of it written.
    for (size_t after : {size_t{0}, size_t{100}, size_t{268}}) {
        setAtomicWriteHook([after](const std::string&) { return WriteFault{true, after, false}; });
        std::string error;
        EXPECT_FALSE(writePrefsFile(path, &error)) << after;
        EXPECT_EQ(std::strerror(ENOSPC), error);
        EXPECT_EQ(old, readFileBytes(path)) << after;
    }
    setAtomicWriteHook({});
    int leftovers = 0;
    if (DIR* d = opendir(dir.path().c_str())) {
        while (const dirent* e = readdir(d))
            leftovers += std::string(e->d_name).find(".tmp.") != std::string::npos;
        closedir(d);
    }
    EXPECT_EQ(0, leftovers);

    // Once there is room the same save replaces the file whole, keeping its mode.
    ASSERT_TRUE(writePrefsFile(path));
    const std::vector<uint8_t> saved = readFileBytes(path);
    ASSERT_EQ(269u, saved.size());
    EXPECT_EQ(0, std::memcmp(saved.data() + 98, "Renamed Brand", 14));
    struct stat st {};
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 07777);
}

TEST_F(EditorLogicTest, FifoOrFolderAtThePathReadsAsZerosWithoutWaiting) {
    ASSERT_EQ(0, mkfifo(path.c_str(), 0644));
    std::memset(&prefsBlock, 0x33, sizeof prefsBlock);
    auto reading = std::async(std::launch::async, [&] { return readPrefsFile(path); });
    if (reading.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        const int writer = open(path.c_str(), O_WRONLY | O_NONBLOCK);
        reading.wait();
        close(writer);
        FAIL() << "reading OEMPrefs.dat blocked on a FIFO";
    }
    EXPECT_FALSE(reading.get());
    EXPECT_EQ(+prefsBlock.scanInterval, 0);
    EXPECT_FALSE(readPrefsFile(dir.path()));
}

} // namespace
