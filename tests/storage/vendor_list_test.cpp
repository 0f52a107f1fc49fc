// OUIList.txt and the vendor look-up: first, last, middle and missing OUIs, the
// preferences' own OUI, blanks for "_", names cut to their field, every line
// read whatever the file size.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "network/model.h"
#include "storage/preferences.h"
#include "storage/vendor_list.h"
#include "support/temp_dir.h"

namespace {

class VendorListTest : public ::testing::Test {
  protected:
    void SetUp() override {
        resetDeviceModel();
        resetPreferences();
    }
    void TearDown() override { resetPreferences(); }

    size_t load(const std::string& text) {
        std::string path = dir.file("OUIList.txt");
        writeFileText(path, text);
        return loadVendorListFile(path);
    }
    static std::string lookup(uint8_t a, uint8_t b, uint8_t c) {
        const uint8_t mac[6] = {a, b, c, 0x12, 0x34, 0x56};
        return vendorName(mac);
    }

    TempDir dir;
};

const char* kList = "000102\tFirst_Corp\n"
                    "00B052\tMiddle\n"
                    "0A0B0c\tLower_hex\n"
                    "FFFFFE\tLast\n";

TEST_F(VendorListTest, FirstMiddleAndLastLinesAreFound) {
    ASSERT_EQ(load(kList), 4u);
    EXPECT_EQ(lookup(0x00, 0x01, 0x02), "First Corp");
    EXPECT_EQ(lookup(0x00, 0xB0, 0x52), "Middle");
    EXPECT_EQ(lookup(0x0A, 0x0B, 0x0C), "Lower hex");
    EXPECT_EQ(lookup(0xFF, 0xFF, 0xFE), "Last");
}

TEST_F(VendorListTest, UnlistedOuiGivesFallback) {
    load(kList);
    EXPECT_EQ(lookup(0x00, 0x01, 0x03), "Varnel");
    EXPECT_EQ(lookup(0xFF, 0xFF, 0xFF), "Varnel"); // past the last entry
    EXPECT_EQ(lookup(0x00, 0x00, 0x01), "Varnel"); // before the first entry
}

TEST_F(VendorListTest, MissingFileGivesEmptyTableAndFallback) {
    EXPECT_EQ(loadVendorListFile(dir.file("OUIList.txt")), 0u);
    EXPECT_TRUE(vendorTable.empty());
    EXPECT_EQ(lookup(0x00, 0xB0, 0x52), "Varnel");
}

TEST_F(VendorListTest, OwnOuiGivesPreferenceVendorEvenWhenListed) {
    load(kList);
    preferences.oui[0] = 0x00;
    preferences.oui[1] = 0xB0;
    preferences.oui[2] = 0x52;
    std::memset(preferences.vendorName, 'V', sizeof preferences.vendorName); // no terminator
    EXPECT_EQ(lookup(0x00, 0xB0, 0x52), std::string(24, 'V'));
    EXPECT_EQ(lookup(0x00, 0x01, 0x02), "First Corp");
}

TEST_F(VendorListTest, LongNamesAreCutWithoutTouchingTheNextEntry) {
    ASSERT_EQ(load("000001\tA_very_long_vendor_name\n000002\tNext\n"), 2u);
    EXPECT_EQ(lookup(0, 0, 1), "A very long"); // 11 characters
    EXPECT_EQ(lookup(0, 0, 2), "Next");
    EXPECT_EQ(vendorTable[0].name[11], '\0');
    EXPECT_EQ(vendorTable[1].oui[2], 2);
}

TEST_F(VendorListTest, EveryLineIsReadWhateverTheFileSize) {
    // 9-byte lines: the size divided by 20 would hold fewer than half of them.
    std::string text;
    char line[32];
    for (int i = 1; i <= 300; ++i) {
        std::snprintf(line, sizeof line, "00%04X\tV\n", i);
        text += line;
    }
    ASSERT_EQ(load(text), 300u);
    EXPECT_EQ(lookup(0x00, 0x01, 0x2C), "V"); // 300, the last line
    EXPECT_EQ(lookup(0x00, 0x00, 0x01), "V");
}

TEST_F(VendorListTest, ReadingStopsAtTheFirstBadLine) {
    EXPECT_EQ(load("000001\tOne\n\n000002\tTwo\nnot a line\n000003\tThree\n"), 2u);
    EXPECT_EQ(lookup(0, 0, 2), "Two"); // blank lines are skipped
    EXPECT_EQ(lookup(0, 0, 3), "Varnel");
}

TEST_F(VendorListTest, UnsortedListAndWindowsLineEndsStillFindEveryOui) {
    ASSERT_EQ(load("FF0000\tHigh\r\n000010\tLow\r\n800000\tMid\r\n"), 3u);
    EXPECT_EQ(lookup(0xFF, 0x00, 0x00), "High");
    EXPECT_EQ(lookup(0x00, 0x00, 0x10), "Low");
    EXPECT_EQ(lookup(0x80, 0x00, 0x00), "Mid");
}

TEST_F(VendorListTest, LineParserFollowsTheListFormat) {
    VendorEntry e;
    ASSERT_TRUE(parseVendorLine("a1B2c3 \t Name_x extra", e));
    EXPECT_EQ(e.oui[0], 0xA1);
    EXPECT_EQ(e.oui[1], 0xB2);
    EXPECT_EQ(e.oui[2], 0xC3);
    EXPECT_STREQ(e.name, "Name x");
    EXPECT_FALSE(parseVendorLine("0001\tShort", e)); // third byte missing: "Short" is no hex
    EXPECT_FALSE(parseVendorLine("000102", e));      // no name
    EXPECT_FALSE(parseVendorLine("G00102\tX", e));
}

TEST_F(VendorListTest, ResetEmptiesTheTable) {
    load(kList);
    resetPreferences();
    EXPECT_TRUE(vendorTable.empty());
    EXPECT_EQ(lookup(0x00, 0x01, 0x02), "Varnel");
}

// Found by fuzzing: a name of NUL bytes ("00B1e" then NUL, 0x03, "nr50al")
// was taken as a vendor whose name shows empty. A NUL ends the name; an empty
// name is no vendor line, so the read stops there as at any other bad line.
TEST_F(VendorListTest, NulByteEndsTheNameAndAnEmptyNameIsNoVendorLine) {
    const char bytes[] = {'0', '0',  '5', '0', 'C', '2', '\t', 'M',  'o',  'r', 'v', 'n', 'a', 't',
                          '@', '\n', '0', '0', 'B', '1', 'e',  '\0', 3,    'n', 'r', '5', '0', 'a',
                          'l', '\n', '0', '0', '0', '4', '8',  '7',  '\t', 'L', 'a', 't', 'e', 'r'};
    EXPECT_EQ(1u, load(std::string(bytes, sizeof bytes)));
    EXPECT_EQ("Morvnat@", lookup(0x00, 0x50, 0xC2));
    EXPECT_EQ(kFallbackVendor, lookup(0x00, 0xB1, 0x0E));

    VendorEntry entry{};
    ASSERT_TRUE(parseVendorLine(std::string("0050C2\tMor\0vanta", 17), entry));
    EXPECT_STREQ("Mor", entry.name);
    EXPECT_FALSE(parseVendorLine(std::string("0050C2\t\0vanta", 14), entry));
}

} // namespace
