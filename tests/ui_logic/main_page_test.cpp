// The Main page without widgets: the cell texts (rates, quality in every
// drawing mode, count and network type), the columns the preferences choose
// and the layout kept in the database, the rows a refresh builds from the
// tables, the database upkeep that names new devices, the adapter-change
// guard, sorting, and the messages of the buttons.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "maintenance/av_maintenance.h"
#include "network/auto_scan.h"
#include "network/model.h"
#include "platform/clock.h"
#include "platform/main_window.h"
#include "platform/messages.h"
#include "security/key_operations.h"
#include "security/keys.h"
#include "storage/device_database.h"
#include "storage/preferences.h"
#include "support/emulated_halyard.h"
#include "ui/device_dialogs_logic.h"
#include "ui/main_page_logic.h"
#include "ui/outcome_boxes.h"
#include "ui/security_page_logic.h"

namespace {

const uint8_t kLocal[6] = {0x00, 0xB0, 0x52, 0x00, 0x00, 0x10};
const uint8_t kRemoteA[6] = {0x00, 0xB0, 0x52, 0x00, 0x00, 0x11};
const uint8_t kRemoteB[6] = {0x00, 0xB0, 0x52, 0x00, 0x00, 0x12};
const uint8_t kRemoteC[6] = {0x00, 0x04, 0x87, 0x00, 0x00, 0x13};

std::string bars(int n, const char* piece = "\u258C") {
    std::string out;
    for (int i = 0; i < n; ++i)
        out += piece;
    return out;
}

std::vector<std::string> headers() {
    std::vector<std::string> out;
    for (const MainColumnSpec& c : mainColumns())
        out.push_back(c.header);
    return out;
}

class MainPageLogic : public ::testing::Test {
  protected:
    VirtualClock clock;
    RecordingMessages messages;
    ManualScanTimer timer;
    int syncs = 0;

    void SetUp() override {
        resetAllHalyardState();
        setSystemClock(&clock);
        setMessageSink(&messages);
        installOutcomeSinks();
        setScanTimer(&timer);
        preferences.showRate = 1;
        preferences.showQuality = 1;
        preferences.qualityType = 1;
        setMainViewHooks({[this] { ++syncs; }, {}});
        mainPageState.qualityType = 1;
        interfaceCount = 1;
    }
    void TearDown() override {
        resetAllHalyardState();
        removeOutcomeSinks();
        setMessageSink(nullptr);
        setSystemClock(nullptr);
        resetDeviceModel();
    }

    // An AV local device on interface 0 whose network uses `label`.
    void localAv(const char* label = kDefaultNetworkPassword) {
        scanStates[0].localPresent = 1;
        scanStates[0].deviceClass = kClassAv;
        std::memcpy(scanStates[0].localMac, kLocal, 6);
        networkRecords[0].localPresent = 1;
        networkRecords[0].deviceClass = kClassAv;
        std::memcpy(networkRecords[0].localMac, kLocal, 6);
        copyText(networkRecords[0].keyLabel, label);
        copyText(localFirmwareVersion, "KARSA01-MAC-3-1");
        localIsAv = 1;
        rememberAdapters(); // as the scan that found it does
    }

    RemoteDevice& remote(int slot, const uint8_t* mac, int32_t type, double rate,
                         const char* version = "", bool changed = true) {
        RemoteDevice& r = networkRecords[0].remotes[slot];
        r.active = 1;
        std::memcpy(r.mac, mac, 6);
        r.deviceType = type;
        r.stats.rate = rate;
        r.stats.changed = changed ? 1 : 0;
        copyText(r.version, version);
        return r;
    }

    void countActive() {
        int n = 0;
        for (const RemoteDevice& r : networkRecords[0].remotes)
            n += r.active ? 1 : 0;
        networkRecords[0].activeRemoteCount = n;
    }

    // One refresh; the boxes it showed are forgotten.
    void settle() {
        refreshMainPage(7);
        messages.shown.clear();
    }

    const MainRow& row(size_t i) { return mainPageState.rows.at(i); }
    std::vector<std::string> macs() {
        std::vector<std::string> out;
        for (const MainRow& r : mainPageState.rows)
            out.push_back(r.mac);
        return out;
    }
};

// ---- Cell texts ------------------------------------------------------------------------

TEST(MainPageTexts, QualityWordsForAnAvDeviceWrapWithTheModulo) {
    EXPECT_EQ("-offline -", qualityText(0, kTypeAv, 1));
    EXPECT_EQ("Fair", qualityText(10, kTypeAv, 1));
    EXPECT_EQ("Good", qualityText(50, kTypeAv, 1));
    EXPECT_EQ("Very Good", qualityText(100, kTypeAv, 1));
    EXPECT_EQ("Excellent", qualityText(200, kTypeAv, 1));
    EXPECT_EQ("Good", qualityText(300, kTypeAv, 1));
}

TEST(MainPageTexts, QualityTablesOfTheOtherModes) {
    EXPECT_EQ("-", qualityText(0, kTypeTurbo, 2));
    EXPECT_EQ("Bad", qualityText(20, kTypeTurbo, 2));   // (42.5+20)/85 = 0.73 -> 1
    EXPECT_EQ("Good", qualityText(50, kTypeTurbo, 2));  // 92.5/85 = 1.09 -> 2
    EXPECT_EQ("oooo", qualityText(10, kTypeHp10, 3));   // (2.8+10)*4/14 = 3.66 -> 4
    EXPECT_EQ("0-20%", qualityText(1, kTypeAv, 5));     // (40+1)*4/200 = 0.82 -> 1
    EXPECT_EQ("80-100%", qualityText(160, kTypeAv, 5)); // 200*4/200 = 4 -> 5
    EXPECT_EQ(bars(2), qualityText(1, kTypeAv, 4));
    EXPECT_EQ(bars(9), qualityText(160, kTypeAv, 4));
    // Family code 0 counts as HomePlug 1.0.
    EXPECT_EQ(qualityText(10, kTypeHp10, 3), qualityText(10, 0, 3));
}

TEST(MainPageTexts, BarAndBlockModes) {
    EXPECT_EQ(bars(1), qualityText(14, kTypeHp10, 0));  // v = 0.5
    EXPECT_EQ(bars(89), qualityText(1000, kTypeAv, 0)); // v = 100 -> 89
    EXPECT_EQ(bars(15), qualityText(150, kTypeAv, 0));
    EXPECT_EQ(bars(9), qualityText(85, kTypeTurbo, 7)); // any other type draws bars
    EXPECT_EQ("", qualityText(0, kTypeAv, 0));
    EXPECT_EQ("", qualityText(13, kTypeHp10, 0)); // v = 0
    EXPECT_EQ(bars(1, "\u2589"), qualityText(49.9, kTypeAv, 6));
    EXPECT_EQ(bars(2, "\u2589"), qualityText(50, kTypeAv, 6));
    EXPECT_EQ(bars(3, "\u2589"), qualityText(80, kTypeAv, 6));
}

TEST(MainPageTexts, RatesCountsAndFirmware) {
    EXPECT_EQ("?", mainRateText(0));
    EXPECT_EQ("85.60", mainRateText(85.6));
    EXPECT_EQ("Powerline Devices : 0", deviceCountText(0));
    EXPECT_EQ("Powerline Device : 1", deviceCountText(1));
    EXPECT_EQ("Powerline Devices : 2", deviceCountText(2));
    EXPECT_EQ("MAC 2.3", firmwareText(kTypeTurbo, "2.3"));
    EXPECT_EQ("KARSA01-MAC-3-1", firmwareText(kTypeAv, "KARSA01-MAC-3-1"));
    EXPECT_EQ("HP 1.0", firmwareText(kClassHp10, "anything"));
    EXPECT_EQ(1, iconForFamily(kTypeTurbo));
    EXPECT_EQ(2, iconForFamily(kTypeAv));
    EXPECT_EQ(0, iconForFamily(kClassHp10));
}

// The icon size from the branding file is clamped: none for 0 or below, at
// most 64 pixels (a stored 32767 would ask for a picture of 4 GiB per row).
TEST(MainPageTexts, RowIconSizeIsClamped) {
    EXPECT_EQ(0, rowIconSize(0));
    EXPECT_EQ(0, rowIconSize(-24));
    EXPECT_EQ(0, rowIconSize(-32768));
    EXPECT_EQ(1, rowIconSize(1));
    EXPECT_EQ(24, rowIconSize(24));
    EXPECT_EQ(64, rowIconSize(64));
    EXPECT_EQ(64, rowIconSize(65));
    EXPECT_EQ(64, rowIconSize(32767));
}

TEST(MainPageTexts, ListColours) {
    EXPECT_EQ(0x000000u, listTextColor(0));
    EXPECT_EQ(0x000000u, listTextColor(-5));
    EXPECT_EQ(0x008000u, listTextColor(1));
    EXPECT_EQ(0x0000FFu, listTextColor(2));
    EXPECT_EQ(0xFF0000u, listTextColor(3));
    EXPECT_EQ(0x606060u, listTextColor(4));
    EXPECT_EQ(0x563412u, listTextColor(0x00123456)); // 0x00BBGGRR
}

// ---- Columns and their layout ----------------------------------------------------------

TEST_F(MainPageLogic, ColumnsFollowTheSwitches) {
    EXPECT_EQ((std::vector<std::string>{"Device Name", "Firmware Version", "MAC Address",
                                        "Link Rate (Mbps)", "Quality", "Location"}),
              headers());
    EXPECT_EQ((std::vector<int>{0, 5, 4, 3, 2, 1}), initialDisplayOrder(6));
    preferences.showRate = 0;
    EXPECT_EQ((std::vector<std::string>{"Device Name", "Firmware Version", "MAC Address", "Quality",
                                        "Location"}),
              headers());
    EXPECT_EQ(3, mainColumnIndex(MainColumn::Quality));
    EXPECT_EQ(-1, mainColumnIndex(MainColumn::Rate));
}

TEST_F(MainPageLogic, LayoutKeepsTheOrderOfTheFirstFiveColumns) {
    // Six columns: the file keeps the relative order of sub-items 0..4.
    recordListLayout({0, 5, 4, 3, 2, 1}, {150, 300, 121, 71, 81, 66});
    EXPECT_EQ((std::vector<int>{0, 4, 3, 2, 1}),
              std::vector<int>(deviceListLayout.columnOrder, deviceListLayout.columnOrder + 5));
    EXPECT_EQ(121, deviceListLayout.columnWidths[2]);
    EXPECT_EQ((std::vector<int>{0, 5, 4, 3, 2, 1}), savedDisplayOrder(6));
    EXPECT_EQ(150, savedColumnWidth(0));
    EXPECT_EQ(70, savedColumnWidth(5)); // not in the file: its default

    // A user's order of five columns comes back as it was.
    preferences.showRate = 0;
    recordListLayout({2, 0, 1, 4, 3}, {140, 310, 120, 80, 70});
    EXPECT_EQ((std::vector<int>{2, 0, 1, 4, 3}), savedDisplayOrder(5));
    // Nonsense widths fall back to the defaults.
    deviceListLayout.columnWidths[1] = -4;
    EXPECT_EQ(310, savedColumnWidth(1));
}

// ---- Refresh -------------------------------------------------------------------------------

TEST_F(MainPageLogic, RefreshBuildsTheLocalAndRemoteRows) {
    localAv();
    appendDeviceEntry(kLocal, "Study");
    remote(0, kRemoteA, kTypeAv, 150, "KARSA01-MAC-3-0");
    remote(1, kRemoteC, kTypeTurbo, 60, "2.3");
    countActive();
    refreshMainPage(1);

    ASSERT_EQ(3u, mainPageState.rows.size());
    EXPECT_EQ("Study", row(0).name);
    EXPECT_EQ("KARSA01-MAC-3-1", row(0).firmware);
    EXPECT_EQ("00:B0:52:00:00:10", row(0).mac);
    EXPECT_EQ("200.00", row(0).rate);
    EXPECT_EQ("Excellent", row(0).quality);
    EXPECT_EQ("Local", row(0).location);
    EXPECT_EQ(0, row(0).reference);
    EXPECT_EQ(2, row(0).icon);

    // The upkeep gave the remote devices entries with free default names.
    EXPECT_EQ(3, deviceCount);
    EXPECT_EQ("Device 2", row(1).name);
    EXPECT_EQ("KARSA01-MAC-3-0", row(1).firmware);
    EXPECT_EQ("150.00", row(1).rate);
    EXPECT_EQ("Remote", row(1).location);
    EXPECT_EQ(1, row(1).reference);
    EXPECT_EQ("Device 3", row(2).name);
    EXPECT_EQ("MAC 2.3", row(2).firmware);
    EXPECT_EQ(1, row(2).icon);
    EXPECT_EQ(0, +networkRecords[0].remotes[0].stats.changed);

    EXPECT_EQ("Powerline Devices : 3", mainPageState.countText);
    EXPECT_EQ("Network Type : Public", mainPageState.networkText);
    EXPECT_EQ(" Scanning...", mainPageState.statusText);
    EXPECT_EQ(" Scanning...", securityStatusText);
    EXPECT_GT(syncs, 0);
    // The Security page was filled from the same tables.
    EXPECT_EQ(3u, securityList.size());
}

TEST_F(MainPageLogic, StatusAndNetworkTypeTexts) {
    localAv("NeighbourNet1");
    refreshMainPage(3);
    EXPECT_EQ("", mainPageState.statusText);
    EXPECT_EQ("Network Type : Private", mainPageState.networkText);
    copyText(networkRecords[0].keyLabel, "HomePlug"); // an AV network named "HomePlug" is private
    refreshMainPage(5);
    EXPECT_EQ("Network Type : Private", mainPageState.networkText);
    localIsAv = 0; // a HomePlug 1.0 adapter on its standard's default key is public
    refreshMainPage(5);
    EXPECT_EQ("Network Type : Public", mainPageState.networkText);
    copyText(networkRecords[0].keyLabel, "Unknown Encryption Key");
    refreshMainPage(5);
    EXPECT_EQ("Network Type : Private", mainPageState.networkText);
    localIsAv = 1;
    addingDevice = 1;
    refreshMainPage(1);
    EXPECT_EQ("Adding device. Please Wait...", mainPageState.statusText);
}

TEST_F(MainPageLogic, UnratedRemoteLeavesTheListAndTheCountDrops) {
    localAv();
    remote(0, kRemoteA, kTypeAv, 150);
    remote(1, kRemoteB, kTypeAv, 90);
    countActive();
    settle();
    ASSERT_EQ(3u, mainPageState.rows.size());
    EXPECT_EQ("Powerline Devices : 3", mainPageState.countText);

    networkRecords[0].remotes[1].stats.rate = 0;
    networkRecords[0].remotes[1].stats.changed = 1;
    refreshMainPage(7);
    EXPECT_EQ((std::vector<std::string>{"00:B0:52:00:00:10", "00:B0:52:00:00:11"}), macs());
    EXPECT_EQ("Powerline Devices : 2", mainPageState.countText);

    // An inactive slot deletes its row, and only the local device is left.
    networkRecords[0].remotes[0].active = 0;
    countActive();
    refreshMainPage(7);
    EXPECT_EQ((std::vector<std::string>{"00:B0:52:00:00:10"}), macs());
    EXPECT_EQ("Powerline Device : 1", mainPageState.countText);
}

TEST_F(MainPageLogic, RowsAreUpdatedInPlaceAndNeverDoubled) {
    localAv();
    remote(0, kRemoteA, kTypeAv, 150);
    countActive();
    settle();
    mainPageState.rows[1].name = "Kept";
    networkRecords[0].remotes[0].stats.rate = 55.5;
    networkRecords[0].remotes[0].stats.changed = 1;
    refreshMainPage(3);
    ASSERT_EQ(2u, mainPageState.rows.size());
    EXPECT_EQ("Kept", row(1).name);
    EXPECT_EQ("55.50", row(1).rate);
    EXPECT_EQ("Good", row(1).quality); // (50+55.5)*3/200 = 1.58 -> 2
}

TEST_F(MainPageLogic, WithoutTheRateColumnTheQualityStillHasItsColumn) {
    preferences.showRate = 0;
    localAv();
    remote(0, kRemoteA, kTypeAv, 10);
    countActive();
    settle();
    int quality = mainColumnIndex(MainColumn::Quality);
    ASSERT_EQ(3, quality);
    EXPECT_EQ("Fair", rowCell(row(1), mainColumns()[static_cast<size_t>(quality)].kind));
}

TEST_F(MainPageLogic, AddedDeviceTakesTheGivenNameAndPassword) {
    localAv();
    addingDevice = 1;
    copyText(addedDeviceName, "Garage");
    copyText(addedDevicePassword, "MNBV-CXZL-KJHG-FDSA");
    remote(0, kRemoteA, kTypeAv, 80);
    countActive();
    refreshMainPage(3);
    EXPECT_EQ(0, addingDevice);
    int index = findDeviceEntry(kRemoteA);
    ASSERT_GT(index, 0);
    EXPECT_STREQ("Garage", deviceTable[index - 1].name);
    EXPECT_STREQ("MNBV-CXZL-KJHG-FDSA", deviceTable[index - 1].password);
    EXPECT_EQ("Garage", row(1).name);
    EXPECT_EQ("MNBV-CXZL-KJHG-FDSA", mainPageState.rowPasswords.at(1));
    EXPECT_EQ("", mainPageState.rowPasswords.at(0));
}

TEST_F(MainPageLogic, AddedDeviceWithAnEntryIsRenamedOnceItsMacIsKnown) {
    localAv();
    remote(0, kRemoteA, kTypeAv, 80);
    remote(1, kRemoteB, kTypeAv, 80);
    countActive();
    settle();
    addingDevice = 1;
    std::memcpy(addedDeviceMac, kRemoteB, 6);
    copyText(addedDeviceName, "Attic");
    copyText(addedDevicePassword, "POIU-YTRE-WQLK-JHGF");
    refreshMainPage(3);
    EXPECT_EQ(0, addingDevice);
    EXPECT_FALSE(macIsSet(addedDeviceMac));
    EXPECT_STREQ("Attic", deviceTable[findDeviceEntry(kRemoteB) - 1].name);
    EXPECT_STRNE("Attic", deviceTable[findDeviceEntry(kRemoteA) - 1].name);
}

TEST_F(MainPageLogic, LostAdapterWarnsOnceUntilAcknowledged) {
    localAv();
    remote(0, kRemoteA, kTypeAv, 80);
    countActive();
    settle();
    ASSERT_TRUE(messages.shown.empty());

    // The adapter goes: one box, the remote table and the lists are cleared.
    scanStates[0].localPresent = 0;
    messages.answerNext(MessageResult::Cancel); // closed without OK: the guard stays
    refreshMainPage(7);
    ASSERT_EQ(1u, messages.shown.size());
    EXPECT_EQ("Powerline Device Not Detected", messages.shown[0].text);
    EXPECT_EQ("Problem Occurred", messages.shown[0].caption);
    EXPECT_EQ(MessageIcon::Error, messages.shown[0].icon);
    EXPECT_TRUE(mainPageState.rows.empty());
    EXPECT_EQ(0, +networkRecords[0].remotes[0].active);
    EXPECT_EQ(0, +networkRecords[0].activeRemoteCount);

    // It comes back and goes again: the guard keeps a second box away.
    scanStates[0].localPresent = 1;
    refreshMainPage(7);
    scanStates[0].localPresent = 0;
    refreshMainPage(7);
    EXPECT_EQ(1u, messages.shown.size());

    // After OK the next loss is told again.
    mainPageState.notDetectedGuard = false;
    scanStates[0].localPresent = 1;
    refreshMainPage(7);
    scanStates[0].localPresent = 0;
    refreshMainPage(7);
    EXPECT_EQ(2u, messages.shown.size());
}

TEST_F(MainPageLogic, CurrentInterfaceIsTheFirstWithALocalDevice) {
    interfaceCount = 3;
    currentInterface = 0;
    scanStates[2].localPresent = 1;
    networkRecords[2].deviceClass = kClassTurbo;
    recomputeCurrentInterface();
    EXPECT_EQ(2, currentInterface);
    EXPECT_EQ(1, localIsTurbo);
    scanStates[1].localPresent = 1;
    recomputeCurrentInterface();
    EXPECT_EQ(1, currentInterface);
    EXPECT_EQ(0, localIsTurbo);
    scanStates[1].localPresent = 0;
    scanStates[2].localPresent = 0;
    recomputeCurrentInterface();
    EXPECT_EQ(1, currentInterface); // unchanged when none has one
}

// ---- Sorting --------------------------------------------------------------------------------

TEST_F(MainPageLogic, SortingFlipsOnTheSameColumnAndRemembersEachColumnsDirection) {
    localAv();
    appendDeviceEntry(kLocal, "Bravo");
    appendDeviceEntry(kRemoteA, "Alpha");
    appendDeviceEntry(kRemoteB, "Charlie");
    remote(0, kRemoteA, kTypeAv, 150);
    remote(1, kRemoteB, kTypeAv, 90);
    countActive();
    settle();
    auto names = [this] {
        std::vector<std::string> out;
        for (const MainRow& r : mainPageState.rows)
            out.push_back(r.name);
        return out;
    };
    // Column 0 first: its saved direction (0) sorts the names down.
    sortMainRows(0);
    EXPECT_EQ((std::vector<std::string>{"Charlie", "Bravo", "Alpha"}), names());
    EXPECT_EQ(0, deviceListLayout.sortColumn);
    sortMainRows(0);
    EXPECT_EQ((std::vector<std::string>{"Alpha", "Bravo", "Charlie"}), names());

    // The rate column: direction 0 puts the lower rate first.
    int rate = mainColumnIndex(MainColumn::Rate);
    sortMainRows(rate);
    EXPECT_EQ((std::vector<std::string>{"Charlie", "Alpha", "Bravo"}), names());
    sortMainRows(rate);
    EXPECT_EQ((std::vector<std::string>{"Bravo", "Alpha", "Charlie"}), names());
    // Back to the name column: its saved flag was flipped to 1 (up).
    sortMainRows(0);
    EXPECT_EQ((std::vector<std::string>{"Alpha", "Bravo", "Charlie"}), names());
    // The password copies follow the rows.
    EXPECT_EQ(mainPageState.rows.size(), mainPageState.rowPasswords.size());
}

TEST_F(MainPageLogic, EqualRatesKeepTheirOrder) {
    MainRow a, b;
    a.rateValue = b.rateValue = 14;
    EXPECT_FALSE(rowComesAfter(a, b, MainColumn::Rate, 0));
    EXPECT_FALSE(rowComesAfter(b, a, MainColumn::Rate, 1));
    a.mac = "00:00:00:00:00:01";
    b.mac = "00:00:00:00:00:02";
    EXPECT_TRUE(rowComesAfter(a, b, MainColumn::Mac, 0));
    EXPECT_FALSE(rowComesAfter(a, b, MainColumn::Mac, 1));
}

// ---- Buttons ----------------------------------------------------------------------------------

TEST_F(MainPageLogic, ButtonsWithoutASelection) {
    EXPECT_FALSE(renameRequested(-1));
    factoryResetRequested(-1, nullptr);
    EXPECT_FALSE(firmwareUpgradeAllowed(-1, nullptr));
    ASSERT_EQ(3u, messages.shown.size());
    EXPECT_EQ("There is no device been selected.", messages.shown[0].text);
    EXPECT_EQ("Attention", messages.shown[0].caption);
    EXPECT_EQ(MessageIcon::Warning, messages.shown[0].icon);
    EXPECT_EQ("There is no device been selected.", messages.shown[1].text);
    EXPECT_EQ("Firmware upgrade is only for local device.", messages.shown[2].text);
    EXPECT_EQ("Attention", messages.shown[2].caption);
}

TEST_F(MainPageLogic, OnlyTheLocalRowMayBeUpgradedWhereverItStands) {
    localAv();
    appendDeviceEntry(kLocal, "Zulu");
    appendDeviceEntry(kRemoteA, "Alpha");
    remote(0, kRemoteA, kTypeAv, 150);
    countActive();
    settle();
    EXPECT_TRUE(firmwareUpgradeAllowed(0, nullptr));
    EXPECT_FALSE(firmwareUpgradeAllowed(1, nullptr));
    ASSERT_EQ(1u, messages.shown.size());
    EXPECT_EQ("Firmware upgrade is only for local device.", messages.shown[0].text);
    sortMainRows(0);
    sortMainRows(0); // names up: Alpha first, the local device second
    ASSERT_EQ("Alpha", row(0).name);
    EXPECT_FALSE(firmwareUpgradeAllowed(0, nullptr));
    EXPECT_TRUE(firmwareUpgradeAllowed(1, nullptr));
}

TEST_F(MainPageLogic, FactoryResetCancelledChangesNothingAndRestoresTheScan) {
    localAv();
    remote(0, kRemoteA, kTypeAv, 150);
    countActive();
    settle();
    busyFlag = 0;
    messages.answerNext(MessageResult::Cancel);
    factoryResetRequested(1, nullptr);
    ASSERT_EQ(1u, messages.shown.size());
    EXPECT_EQ("Do you want to reset factory default ?", messages.shown[0].text);
    EXPECT_EQ("Reset Factory Default", messages.shown[0].caption);
    EXPECT_EQ(MessageButtons::OkCancel, messages.shown[0].buttons);
    EXPECT_EQ(MessageIcon::Information, messages.shown[0].icon);
    EXPECT_EQ(0, busyFlag);
}

TEST_F(MainPageLogic, RenameRowSurvivesDeselection) {
    mainRowSelected(2);
    mainRowSelected(-1);
    EXPECT_EQ(2, mainPageState.renameRow);
}

TEST_F(MainPageLogic, RenameStoresTheNameAndRefusesDuplicates) {
    localAv();
    appendDeviceEntry(kLocal, "Study");
    appendDeviceEntry(kRemoteA, "Hall");
    remote(0, kRemoteA, kTypeAv, 150);
    countActive();
    settle();
    busyFlag = 0;

    beginRowRename(1);
    EXPECT_TRUE(rowRenameOpen());
    EXPECT_EQ(1, busyFlag); // the automatic scan waits while the name is edited
    std::string name = "Study";
    EXPECT_EQ("Hall", endRowRename(1, &name, nullptr));
    EXPECT_EQ(0, busyFlag);
    ASSERT_EQ(1u, messages.shown.size());
    EXPECT_EQ("Please enter another name.", messages.shown[0].text);

    beginRowRename(1);
    name = "A very long name that is cut to thirty-one characters";
    EXPECT_EQ("A very long name that is cut to", endRowRename(1, &name, nullptr));
    EXPECT_STREQ("A very long name that is cut to",
                 deviceTable[findDeviceEntry(kRemoteA) - 1].name);

    beginRowRename(1);
    EXPECT_EQ("A very long name that is cut to", endRowRename(1, nullptr, nullptr));
    EXPECT_FALSE(rowRenameOpen());
}

TEST_F(MainPageLogic, RenameEndingAfterASortNamesTheDeviceWhoseEditBegan) {
    localAv();
    appendDeviceEntry(kLocal, "Study");
    appendDeviceEntry(kRemoteA, "Hall");
    appendDeviceEntry(kRemoteB, "Zed");
    remote(0, kRemoteA, kTypeAv, 150);
    remote(1, kRemoteB, kTypeAv, 90);
    countActive();
    settle();
    const std::string hallMac = formatMac(kRemoteA);
    int hallRow = -1;
    for (size_t r = 0; r < mainPageState.rows.size(); ++r)
        if (mainPageState.rows[r].mac == hallMac)
            hallRow = static_cast<int>(r);
    ASSERT_GE(hallRow, 0);

    // The editor opens on Hall's row; a header click sorts the rows under it.
    beginRowRename(hallRow);
    for (int click = 0;
         click < 2 && mainPageState.rows[static_cast<size_t>(hallRow)].mac == hallMac; ++click)
        sortMainRows(0);
    const MainRow other = mainPageState.rows[static_cast<size_t>(hallRow)];
    ASSERT_NE(hallMac, other.mac);

    std::string name = "Kitchen";
    // The edited index now shows another device, which keeps its own name.
    EXPECT_EQ(other.name, endRowRename(hallRow, &name, nullptr));
    EXPECT_STREQ("Kitchen", deviceTable[findDeviceEntry(kRemoteA) - 1].name);
    for (const MainRow& row : mainPageState.rows)
        EXPECT_EQ(row.mac == hallMac, row.name == "Kitchen") << row.mac;
}

} // namespace
