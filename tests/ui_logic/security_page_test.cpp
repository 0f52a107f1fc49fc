// The Security page without widgets: which rows the list holds and what each
// cell says, how rows follow the tables from one fill to the next, the key
// edit's texts, the check box actions and every refusal of "Set Selected
// Devices" before anything is sent.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
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
#include "support/emulated_halyard.h"
#include "ui/outcome_boxes.h"
#include "ui/security_page_logic.h"

namespace {

const uint8_t kLocal[6] = {0x00, 0xB0, 0x52, 0x00, 0x00, 0x10};
const uint8_t kRemoteA[6] = {0x00, 0xB0, 0x52, 0x00, 0x00, 0x11};
const uint8_t kRemoteB[6] = {0x00, 0x02, 0x72, 0x00, 0x00, 0x12};
const uint8_t kRemoteC[6] = {0x00, 0x04, 0x87, 0x00, 0x00, 0x13};

int mainWindow = 0;
int page = 0;

class SecurityPageLogic : public ::testing::Test {
  protected:
    VirtualClock clock;
    RecordingMessages messages;
    int listChanges = 0;

    void SetUp() override {
        resetAllHalyardState();
        setSystemClock(&clock);
        setMessageSink(&messages);
        installOutcomeSinks();
        mainWindowHandle = messageOwner(&mainWindow);
        setSecurityPageHooks({[this] { ++listChanges; }, {}, {}});
        interfaceCount = 1;
    }
    void TearDown() override {
        resetAllHalyardState();
        mainWindowHandle = nullptr;
        removeOutcomeSinks();
        setMessageSink(nullptr);
        setSystemClock(nullptr);
        resetDeviceModel();
    }

    // An AV local device on interface 0 with the network password `label`.
    void localAv(const char* label = "HomePlugAV") {
        scanStates[0].localPresent = 1;
        scanStates[0].deviceClass = kClassAv;
        std::memcpy(scanStates[0].localMac, kLocal, 6);
        networkRecords[0].localPresent = 1;
        networkRecords[0].deviceClass = kClassAv;
        std::memcpy(networkRecords[0].localMac, kLocal, 6);
        copyText(networkRecords[0].keyLabel, label);
        copyText(localFirmwareVersion, "KARSA01-MAC-3-1");
        localIsAv = 1;
    }

    RemoteDevice& remote(int slot, const uint8_t* mac, int32_t type, double rate,
                         const char* version = "") {
        RemoteDevice& r = networkRecords[0].remotes[slot];
        r.active = 1;
        std::memcpy(r.mac, mac, 6);
        r.deviceType = type;
        r.stats.rate = rate;
        copyText(r.version, version);
        return r;
    }

    int entry(const uint8_t* mac, const char* name, const char* password) {
        int index = appendDeviceEntry(mac, name);
        EXPECT_GT(index, 0);
        copyText(deviceTable[index - 1].password, password);
        return index;
    }

    static std::vector<std::string> cells(int row) {
        const SecurityListRow& r = securityList.at(row);
        return {r.cells.begin(), r.cells.end()};
    }
};

using Cells = std::vector<std::string>;

TEST_F(SecurityPageLogic, ColumnsAndTheirDisplayOrder) {
    EXPECT_STREQ("", kSecurityColumns[0].header);
    EXPECT_EQ(25, kSecurityColumns[0].width);
    EXPECT_STREQ("Firmware Version", kSecurityColumns[1].header);
    EXPECT_EQ(310, kSecurityColumns[1].width);
    EXPECT_STREQ("MAC Address", kSecurityColumns[2].header);
    EXPECT_EQ(120, kSecurityColumns[2].width);
    EXPECT_STREQ("Device Password", kSecurityColumns[3].header);
    EXPECT_EQ(180, kSecurityColumns[3].width);
    EXPECT_STREQ("Location", kSecurityColumns[4].header);
    EXPECT_EQ(70, kSecurityColumns[4].width);
    EXPECT_STREQ("Device Name", kSecurityColumns[5].header);
    EXPECT_EQ(140, kSecurityColumns[5].width);
    // Each column inserted at display position 1 lands right after the check box.
    std::array<int, 6> expected{0, 5, 4, 3, 2, 1};
    EXPECT_EQ(expected, securityDisplayOrder());
}

TEST_F(SecurityPageLogic, LocalFirstThenRemotesWithEntriesOnly) {
    localAv();
    entry(kLocal, "Study", "LOCA-LPAS-SWOR-DXXX");
    remote(0, kRemoteA, kTypeAv, 120, "KARSA01-MAC-3-2");
    entry(kRemoteA, "Kitchen", "ABCD-EFGH-IJKL-MNOP");
    remote(1, kRemoteB, kTypeTurbo, 85, "TURBO-1.4");
    entry(kRemoteB, "Garage", "");
    remote(2, kRemoteC, kTypeHp10, 14); // no device entry: not listed
    fillSecurityList();

    ASSERT_EQ(3u, securityList.size());
    EXPECT_EQ((Cells{"", "KARSA01-MAC-3-1", "00:B0:52:00:00:10", "LOCA-LPAS-SWOR-DXXX", "Local",
                     "Study"}),
              cells(0));
    EXPECT_EQ((Cells{"", "KARSA01-MAC-3-2", "00:B0:52:00:00:11", "ABCD-EFGH-IJKL-MNOP", "Remote",
                     "Kitchen"}),
              cells(1));
    EXPECT_EQ((Cells{"", "MAC TURBO-1.4", "00:02:72:00:00:12", "", "Remote", "Garage"}), cells(2));
    EXPECT_EQ(0, securityList[0].reference);
    EXPECT_EQ(1, securityList[1].reference);
    EXPECT_EQ(2, securityList[2].reference);
    // The Main page's picture per family: 2 HomePlug AV, 1 Turbo, 0 1.0.
    EXPECT_EQ(2, securityList[0].icon);
    EXPECT_EQ(2, securityList[1].icon);
    EXPECT_EQ(1, securityList[2].icon);
    EXPECT_EQ(1, listChanges);

    // A HomePlug 1.0 remote that gets an entry appears with "HP 1.0".
    entry(kRemoteC, "Attic", "QQQQ-WWWW-EEEE-RRRR");
    fillSecurityList();
    ASSERT_EQ(4u, securityList.size());
    EXPECT_EQ((Cells{"", "HP 1.0", "00:04:87:00:00:13", "QQQQ-WWWW-EEEE-RRRR", "Remote", "Attic"}),
              cells(3));
}

TEST_F(SecurityPageLogic, LocalRowOfAnUnnamedDeviceAndTheEntryStamp) {
    localAv("Blue Harbour");
    fillSecurityList();
    ASSERT_EQ(1u, securityList.size());
    EXPECT_EQ((Cells{"", "KARSA01-MAC-3-1", "00:B0:52:00:00:10", "--- not entered ---", "Local",
                     "Device 1"}),
              cells(0));
    fillSecurityList(); // updated, not inserted: the name becomes "No Name"
    EXPECT_EQ("No Name", cells(0)[5]);

    // Inserting the row of a local device with an entry stamps that entry.
    clearSecurityList();
    int index = entry(kLocal, "Study", "");
    int64_t before = static_cast<int64_t>(std::time(nullptr));
    fillSecurityList();
    DeviceEntry copy = deviceTable[index - 1];
    EXPECT_STREQ("Blue Harbour", copy.keyLabel);
    int64_t seen = copy.lastSeen;
    EXPECT_GE(seen, before);
    EXPECT_LE(seen, static_cast<int64_t>(std::time(nullptr)));
    // Updating the row does not stamp again.
    copyText(deviceTable[index - 1].keyLabel, "other");
    fillSecurityList();
    EXPECT_STREQ("other", deviceTable[index - 1].keyLabel);
}

TEST_F(SecurityPageLogic, TurboAndHp10LocalFirmwareTexts) {
    localAv();
    scanStates[0].deviceClass = kClassTurbo;
    copyText(turboVersion, "2.3");
    fillSecurityList();
    EXPECT_EQ("MAC 2.3", cells(0)[1]);
    EXPECT_EQ(1, securityList[0].icon);
    scanStates[0].deviceClass = kClassHp10;
    fillSecurityList();
    EXPECT_EQ("HP 1.0", cells(0)[1]);
    EXPECT_EQ(0, securityList[0].icon);
}

TEST_F(SecurityPageLogic, RowsFollowTheTablesAndKeepTheirChecks) {
    localAv();
    entry(kLocal, "Study", "");
    remote(0, kRemoteA, kTypeAv, 120);
    int a = entry(kRemoteA, "Kitchen", "ABCD-EFGH-IJKL-MNOP");
    remote(1, kRemoteB, kTypeAv, 100);
    entry(kRemoteB, "Garage", "GGGG-HHHH-JJJJ-KKKK");
    fillSecurityList();
    ASSERT_EQ(3u, securityList.size());
    EXPECT_EQ(CheckAction::OpenPasswordDialog, securityCheckChanged(2, true));
    EXPECT_EQ(CheckAction::Remember, securityCheckChanged(0, true));
    EXPECT_EQ(0, rememberedSecurityRow);
    securityCheckChanged(2, true);
    EXPECT_EQ(2, rememberedSecurityRow);

    // The first remote's entry goes: its row stays with the "no entry" cells.
    deleteDeviceEntry(a);
    // deleteDeviceEntry frees the slot too; put the device back in slot 0.
    remote(1, kRemoteB, kTypeAv, 100);
    remote(0, kRemoteA, kTypeAv, 120);
    fillSecurityList();
    ASSERT_EQ(3u, securityList.size());
    EXPECT_EQ("--- not entered ---", cells(1)[3]);
    EXPECT_EQ("No Name", cells(1)[5]);
    EXPECT_TRUE(securityList[0].checked);
    EXPECT_TRUE(securityList[2].checked);
    EXPECT_FALSE(securityList[1].checked);

    // An inactive slot deletes its row; the remembered row follows its device.
    networkRecords[0].remotes[0].active = 0;
    fillSecurityList();
    ASSERT_EQ(2u, securityList.size());
    EXPECT_EQ("00:02:72:00:00:12", cells(1)[2]);
    EXPECT_EQ(1, rememberedSecurityRow);

    // A link rate of exactly 0 removes the row after the fill.
    networkRecords[0].remotes[1].stats.rate = 0;
    fillSecurityList();
    ASSERT_EQ(1u, securityList.size());
    EXPECT_EQ(-1, rememberedSecurityRow);
    EXPECT_EQ("Local", cells(0)[4]);
}

TEST_F(SecurityPageLogic, LocalDeviceStaysFirstAndAnotherAdapterReplacesIt) {
    localAv();
    remote(0, kRemoteA, kTypeAv, 120);
    entry(kRemoteA, "Kitchen", "");
    scanStates[0].localPresent = 0; // no local device yet: only the remote row
    fillSecurityList();
    ASSERT_EQ(1u, securityList.size());
    scanStates[0].localPresent = 1;
    fillSecurityList();
    ASSERT_EQ(2u, securityList.size());
    EXPECT_EQ("Local", cells(0)[4]);
    EXPECT_EQ("Remote", cells(1)[4]);

    // A different local adapter: the old local row goes, the new one is first.
    const uint8_t other[6] = {0x00, 0xB0, 0x52, 0x00, 0x00, 0x99};
    std::memcpy(scanStates[0].localMac, other, 6);
    fillSecurityList();
    ASSERT_EQ(2u, securityList.size());
    EXPECT_EQ("00:B0:52:00:00:99", cells(0)[2]);
    EXPECT_EQ("Local", cells(0)[4]);
}

TEST_F(SecurityPageLogic, RemoteSlotHoldingTheLocalMacIsNotListedTwice) {
    localAv();
    entry(kLocal, "Study", "");
    remote(0, kLocal, kTypeAv, 200);
    fillSecurityList();
    ASSERT_EQ(1u, securityList.size());
    EXPECT_EQ("Local", cells(0)[4]);
}

TEST_F(SecurityPageLogic, RowsForTheKeyOperationsAndTheRememberedDevice) {
    localAv();
    remote(0, kRemoteA, kTypeAv, 120);
    int a = entry(kRemoteA, "Kitchen", "ABCD-EFGH-IJKL-MNOP");
    fillSecurityList();
    int index = -1;
    std::string text = "x";
    EXPECT_FALSE(rememberedSecurityDevice(index, text));
    EXPECT_EQ(0, index);
    EXPECT_EQ("", text);
    EXPECT_EQ(CheckAction::None, securityCheckChanged(1, false));
    EXPECT_EQ(CheckAction::None, securityCheckChanged(7, true)); // no such row
    EXPECT_EQ(CheckAction::OpenPasswordDialog, securityCheckChanged(1, true));
    ASSERT_TRUE(rememberedSecurityDevice(index, text));
    EXPECT_EQ(a, index);
    EXPECT_EQ("Kitchen  (00:B0:52:00:00:11)", text);

    std::vector<SecurityRow> rows = securityRowsForKeys();
    ASSERT_EQ(2u, rows.size());
    EXPECT_FALSE(rows[0].checked);
    EXPECT_TRUE(rows[1].checked);
    EXPECT_EQ("00:B0:52:00:00:11", rows[1].cells.at(kSecurityMacColumn));
    // The local row's device has no entry: index 0, text from its name cell.
    securityCheckChanged(0, true);
    ASSERT_TRUE(rememberedSecurityDevice(index, text));
    EXPECT_EQ(0, index);
    EXPECT_EQ("Device 1  (00:B0:52:00:00:10)", text);
}

TEST_F(SecurityPageLogic, KeyEditTexts) {
    EXPECT_EQ("", keyTextOnCreate());
    EXPECT_EQ("", keyTextOnActivate());
    localAv("Blue Harbour");
    EXPECT_EQ("Blue Harbour", keyTextOnCreate());
    EXPECT_EQ("Blue Harbour", keyTextOnActivate());
    // Creation reads the network record, activation the scan state.
    networkRecords[0].localPresent = 0;
    EXPECT_EQ("", keyTextOnCreate());
    EXPECT_EQ("Blue Harbour", keyTextOnActivate());
    scanStates[0].localPresent = 0;
    networkRecords[0].localPresent = 1;
    EXPECT_EQ("", keyTextOnActivate());
    localIsAv = 1;
    EXPECT_STREQ("HomePlugAV", publicNetworkPassword());
    // HomePlug 1.0 and Turbo: their own standard's default password.
    localIsAv = 0;
    EXPECT_STREQ("HomePlug", publicNetworkPassword());
    localIsTurbo = 1;
    EXPECT_STREQ("HomePlug", publicNetworkPassword());
    localIsTurbo = 0;
}

TEST_F(SecurityPageLogic, StatusAndActionsReachThePage) {
    std::string status;
    std::vector<bool> actions;
    setSecurityPageHooks(
        {{}, [&](const std::string& s) { status = s; }, [&](bool on) { actions.push_back(on); }});
    setSecurityStatusText(" Scanning...");
    EXPECT_EQ(" Scanning...", status);
    EXPECT_EQ(" Scanning...", securityStatusText);
    setSecurityActionsEnabled(false);
    setSecurityActionsEnabled(true);
    EXPECT_EQ((std::vector<bool>{false, true}), actions);
    EXPECT_TRUE(securityActionsEnabled);
}

// ---- Set Selected Devices: refusals ---------------------------------------------------

class SetSelectedRefused : public SecurityPageLogic {
  protected:
    std::vector<bool> controls;
    void SetUp() override {
        SecurityPageLogic::SetUp();
        localAv("Old Network");
        fillSecurityList();
    }
    SetSelectedResult press(const std::string& key) {
        return runSetSelectedDevices(&page, key, [this](bool on) { controls.push_back(on); });
    }
    // Nothing of the flow took effect.
    void expectNothingChanged() {
        EXPECT_EQ(0, +keyChangedMark);
        EXPECT_STREQ("Old Network", networkRecords[0].keyLabel);
        EXPECT_EQ(0, busyFlag);
        EXPECT_TRUE(controls.empty());
    }
};

TEST_F(SetSelectedRefused, NoRowChecked) {
    EXPECT_EQ(SetSelectedResult::NoneChecked, press("Blue Harbour"));
    ASSERT_EQ(1u, messages.shown.size());
    EXPECT_EQ("There is no device been selected.", messages.shown[0].text);
    EXPECT_EQ("Attention", messages.shown[0].caption);
    EXPECT_EQ(MessageIcon::Warning, messages.shown[0].icon);
    expectNothingChanged();
}

TEST_F(SetSelectedRefused, KeysOfWrongLength) {
    securityCheckChanged(0, true);
    for (const char* key : {"abc", "abcdefghijklmnopqrstuvwxy", ""}) {
        messages.shown.clear();
        EXPECT_EQ(SetSelectedResult::InvalidKey, press(key)) << key;
        ASSERT_EQ(1u, messages.shown.size()) << key;
        EXPECT_EQ(kInvalidKeyText, messages.shown[0].text);
        EXPECT_EQ("Invalid Entry", messages.shown[0].caption);
        EXPECT_EQ(MessageIcon::Error, messages.shown[0].icon);
    }
    // More than 79 characters read back as 79: still too long.
    messages.shown.clear();
    EXPECT_EQ(SetSelectedResult::InvalidKey, press(std::string(200, 'k')));
    ASSERT_EQ(1u, messages.shown.size());
    expectNothingChanged();
}

TEST_F(SetSelectedRefused, ControlCharactersAndWideCharacters) {
    securityCheckChanged(0, true);
    // A tab, a byte of 128 or above (any non-ASCII character in UTF-8) and
    // an embedded NUL pass the length check but not the character rules; the
    // page then shows the same message itself.
    for (const std::string& key : {std::string("Blue\tHarbour"), std::string("Caf\xC3\xA9 net"),
                                   std::string("abcd\0efgh", 9)}) {
        messages.shown.clear();
        EXPECT_EQ(SetSelectedResult::InvalidKey, press(key));
        ASSERT_EQ(1u, messages.shown.size());
        EXPECT_EQ(kInvalidKeyText, messages.shown[0].text);
        EXPECT_EQ("Invalid Entry", messages.shown[0].caption);
        EXPECT_EQ(MessageIcon::Error, messages.shown[0].icon);
    }
    expectNothingChanged();
}

TEST_F(SetSelectedRefused, CancelRestoresTheAutomaticScan) {
    securityCheckChanged(0, true);
    busyFlag = 0;
    messages.answerNext(MessageResult::Cancel);
    EXPECT_EQ(SetSelectedResult::Cancelled, press("Blue Harbour"));
    ASSERT_EQ(1u, messages.shown.size());
    EXPECT_EQ(kConfirmKeyText, messages.shown[0].text);
    EXPECT_EQ("Encryption Key Setting ", messages.shown[0].caption);
    EXPECT_EQ(MessageIcon::Information, messages.shown[0].icon);
    EXPECT_EQ(MessageButtons::OkCancel, messages.shown[0].buttons);
    expectNothingChanged();

    // A scan that was suspended before stays suspended.
    busyFlag = 1;
    messages.answerNext(MessageResult::Cancel);
    EXPECT_EQ(SetSelectedResult::Cancelled, press("Blue Harbour"));
    EXPECT_EQ(1, busyFlag);
}

} // namespace
