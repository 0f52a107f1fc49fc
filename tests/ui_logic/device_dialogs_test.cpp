// The rules of the device dialogs without a window: the in-place rename, the
// device-password dialog, the checks of the Add Device dialog and its
// progress texts, and the upgrade dialogs' file checks and questions.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "maintenance/av_maintenance.h"
#include "network/auto_scan.h"
#include "network/model.h"
#include "platform/main_window.h"
#include "platform/messages.h"
#include "security/key_operations.h"
#include "storage/data_directory.h"
#include "storage/device_database.h"
#include "storage/preferences.h"
#include "support/core_bench.h"
#include "ui/device_dialogs_logic.h"

namespace {

const uint8_t kMacA[6] = {0x00, 0xB0, 0x52, 0x00, 0x00, 0x11};
const uint8_t kMacB[6] = {0x00, 0xB0, 0x52, 0x00, 0x00, 0x12};
const uint8_t kMacLocal[6] = {0x00, 0xB0, 0x52, 0x00, 0x00, 0x10};
const char* const kAnotherName = "Please enter another name.";
const char* const kTooLong = "Device Name should be less than 31 characters";
const char* const kInvalidPassword =
    "The Device Password entered is invalid.\nPlease check it and try again.";
int dialogWindow = 0;

class DeviceDialogs : public ::testing::Test {
  protected:
    CoreBench bench;
    RecordingMessages& messages = bench.messages;

    void SetUp() override {
        resetDeviceDialogs();
        copyText(preferences.appName, "Tollbeam");
        preferences.autoScan = 1;
        ASSERT_TRUE(chooseDataDirectory({bench.dir.file("data"), bench.dir.file("fb")}).ready);
        appendDeviceEntry(kMacA, "Kitchen");
        appendDeviceEntry(kMacB, "Office");
        messages.shown.clear();
    }
    void TearDown() override { resetDeviceDialogs(); }

    std::string name(int index1) const {
        char copy[sizeof(DeviceEntry::name) + 1] = {};
        std::memcpy(copy, deviceTable[index1 - 1].name, sizeof(DeviceEntry::name));
        return copy;
    }
    std::string password(int index1) const {
        char copy[sizeof(DeviceEntry::password) + 1] = {};
        std::memcpy(copy, deviceTable[index1 - 1].password, sizeof(DeviceEntry::password));
        return copy;
    }
    // Reads the database file back into the tables.
    void reload() {
        resetDeviceModel();
        ASSERT_EQ(DatabaseLoad::Loaded, loadDeviceDatabase());
    }
    void expectOnly(const char* text, const char* caption, MessageIcon icon) {
        ASSERT_EQ(1u, messages.shown.size());
        EXPECT_EQ(text, messages.shown[0].text);
        EXPECT_EQ(caption, messages.shown[0].caption);
        EXPECT_EQ(icon, messages.shown[0].icon);
    }
};

// ---- Rename -------------------------------------------------------------------------

TEST_F(DeviceDialogs, RenameToFortyCharactersStoresThirtyOneAndPersists) {
    std::string stored;
    std::string forty(40, 'x');
    forty.replace(0, 5, "Attic");
    EXPECT_EQ(RenameOutcome::Renamed, applyRename(1, kMacA, forty, stored));
    EXPECT_EQ(forty.substr(0, 31), stored);
    EXPECT_EQ(forty.substr(0, 31), name(1));
    EXPECT_TRUE(messages.shown.empty());
    reload();
    EXPECT_EQ(forty.substr(0, 31), name(1));
    EXPECT_EQ("Office", name(2));
}

TEST_F(DeviceDialogs, RenameCutNeverSplitsACharacter) {
    std::string stored;
    // 30 letters, then a two-byte character over the 31st and 32nd byte.
    const std::string thirty(30, 'k');
    EXPECT_EQ(RenameOutcome::Renamed, applyRename(1, kMacA, thirty + "\xC3\xBC" + "che", stored));
    EXPECT_EQ(thirty, stored);
    EXPECT_EQ(thirty, name(1));
    // A three-byte character that ends exactly at the 31st byte stays whole.
    const std::string twentyEight(28, 'e');
    EXPECT_EQ(RenameOutcome::Renamed,
              applyRename(1, kMacA, twentyEight + "\xE2\x82\xAC" + "uro", stored));
    EXPECT_EQ(twentyEight + "\xE2\x82\xAC", name(1));
    // Single-byte text with high bytes (no UTF-8 lead before them) is cut at 31.
    const std::string latin = std::string(29, 'l') + "\xB0\xB0\xB0\xB0";
    EXPECT_EQ(RenameOutcome::Renamed, applyRename(1, kMacA, latin, stored));
    EXPECT_EQ(latin.substr(0, 31), name(1));
}

TEST_F(DeviceDialogs, RenameToAnotherDevicesNameIsRefused) {
    std::string stored = "unchanged";
    EXPECT_EQ(RenameOutcome::Refused, applyRename(1, kMacA, "Office", stored));
    expectOnly(kAnotherName, "Attention", MessageIcon::Warning);
    EXPECT_EQ("Kitchen", name(1));
    EXPECT_EQ("unchanged", stored);
    EXPECT_TRUE(readFileBytes(deviceDatabasePath()).empty()); // nothing written
}

TEST_F(DeviceDialogs, RenameRefusesEmptyOwnAndLongNamesThatCutToADuplicate) {
    std::string stored;
    EXPECT_EQ(RenameOutcome::Refused, applyRename(1, kMacA, "", stored));
    EXPECT_EQ(RenameOutcome::Refused, applyRename(1, kMacA, "Kitchen", stored));
    // 31 characters are kept: a longer name whose cut equals another device's name
    // would give two devices the same name.
    copyText(deviceTable[1].name, std::string(31, 'o').c_str());
    EXPECT_EQ(RenameOutcome::Refused, applyRename(1, kMacA, std::string(35, 'o'), stored));
    EXPECT_EQ(3u, messages.shown.size());
    EXPECT_EQ("Kitchen", name(1));
}

TEST_F(DeviceDialogs, RenameOfADeviceWithoutEntryCreatesItsOwn) {
    std::string stored;
    EXPECT_EQ(RenameOutcome::Renamed, applyRename(0, kMacLocal, "Desk", stored));
    ASSERT_EQ(3, deviceCount);
    EXPECT_EQ(3, findDeviceEntry(kMacLocal));
    EXPECT_EQ("Desk", name(3));
    EXPECT_EQ("Kitchen", name(1));
}

TEST_F(DeviceDialogs, RenameNeverWritesIntoAnotherDevicesEntry) {
    std::string stored;
    // The remembered index points at entry 2 (Office), the row is device A.
    EXPECT_EQ(RenameOutcome::Renamed, applyRename(2, kMacA, "Hall", stored));
    EXPECT_EQ("Hall", name(1));
    EXPECT_EQ("Office", name(2));
}

TEST_F(DeviceDialogs, RenameWithoutEntryOrMacCannotBeStored) {
    std::string stored;
    EXPECT_EQ(RenameOutcome::Failed, applyRename(0, nullptr, "Desk", stored));
    expectOnly(kTooLong, "Attention", MessageIcon::Warning);
    EXPECT_EQ(2, deviceCount);
}

TEST_F(DeviceDialogs, RenameEditSuspendsAndRestoresTheAutomaticScan) {
    busyFlag = 0;
    RenameEdit edit = beginRename("00:B0:52:00:00:12");
    EXPECT_EQ(1, busyFlag);
    EXPECT_EQ(2, edit.entryIndex1);
    std::string stored;
    EXPECT_EQ(RenameOutcome::Cancelled, endRename(edit, nullptr, stored));
    EXPECT_EQ(0, busyFlag);
    EXPECT_EQ("Office", name(2));

    busyFlag = 1; // already suspended by someone else: stays so
    edit = beginRename("00:B0:52:00:00:12");
    std::string text = "Study";
    EXPECT_EQ(RenameOutcome::Renamed, endRename(edit, &text, stored));
    EXPECT_EQ(1, busyFlag);
    EXPECT_EQ("Study", name(2));
}

// ---- Set Device Password ------------------------------------------------------------------

TEST_F(DeviceDialogs, StoredPasswordMarkersAreStrippedInTheEntry) {
    copyText(deviceTable[0].password, "CHECK Not AAAA-BBBB");
    EXPECT_EQ("AAAA-BBBB", cleanStoredPassword(1));
    EXPECT_EQ("AAAA-BBBB", password(1));
    copyText(deviceTable[1].password, "CHECK ZZZZ-9999");
    EXPECT_EQ("ZZZZ-9999", cleanStoredPassword(2));
    // A password that merely contains a marker word keeps every character.
    copyText(deviceTable[1].password, "WXYZ-CHECK -1234");
    EXPECT_EQ("WXYZ-CHECK -1234", cleanStoredPassword(2));
    EXPECT_EQ("", cleanStoredPassword(0));
    EXPECT_EQ("", cleanStoredPassword(3));
}

TEST_F(DeviceDialogs, PasswordDialogNeedsADevice) {
    EXPECT_FALSE(openSetDevicePassword(&dialogWindow, ""));
    expectOnly("Please select a device first by clicking on it.", "Attention",
               MessageIcon::Warning);
    EXPECT_TRUE(
        openSetDevicePassword(&dialogWindow, deviceLabelText("Kitchen", "00:B0:52:00:00:11")));
    EXPECT_EQ("Kitchen  (00:B0:52:00:00:11)", deviceLabelText("Kitchen", "00:B0:52:00:00:11"));
}

TEST_F(DeviceDialogs, PasswordIsCheckedStoredAndWritten) {
    std::string label = deviceLabelText("Kitchen", "00:B0:52:00:00:11");
    EXPECT_EQ(DialogAction::StayOpen, acceptDevicePassword(&dialogWindow, 1, label, "abc"));
    EXPECT_EQ(DialogAction::StayOpen,
              acceptDevicePassword(&dialogWindow, 1, label, std::string(25, 'A')));
    ASSERT_EQ(2u, messages.shown.size());
    EXPECT_EQ(kInvalidPassword, messages.shown[0].text);
    EXPECT_EQ("Invalid Entry", messages.shown[0].caption);
    EXPECT_EQ(MessageIcon::Error, messages.shown[0].icon);
    EXPECT_EQ("", password(1));

    EXPECT_EQ(DialogAction::Close,
              acceptDevicePassword(&dialogWindow, 1, label, std::string(24, 'B')));
    EXPECT_EQ(std::string(24, 'B'), password(1));
    reload();
    EXPECT_EQ(std::string(24, 'B'), password(1));
    EXPECT_EQ("", password(2));
}

TEST_F(DeviceDialogs, PasswordForADeviceWithoutEntryGetsItsOwnEntry) {
    std::string label = deviceLabelText("Device 3", "00:B0:52:00:00:10");
    EXPECT_EQ(DialogAction::Close, acceptDevicePassword(&dialogWindow, 0, label, "LOCA-LPAS"));
    int index = findDeviceEntry(kMacLocal);
    ASSERT_EQ(3, index);
    EXPECT_EQ("LOCA-LPAS", password(3));
    EXPECT_EQ("Device 3", name(3));
    EXPECT_EQ("", password(1));
    // Without a MAC in the label nothing can receive the password.
    messages.shown.clear();
    EXPECT_EQ(DialogAction::Abandon,
              acceptDevicePassword(&dialogWindow, 0, "Somebody", "ABCD-EFGH"));
    EXPECT_EQ(3, deviceCount);
}

TEST_F(DeviceDialogs, OldFirmwareStopsThePasswordDialog) {
    oldFirmware = 1;
    EXPECT_EQ(DialogAction::CloseAndScan,
              acceptDevicePassword(&dialogWindow, 1, "Kitchen  (00:B0:52:00:00:11)", "ABCD-EFGH"));
    EXPECT_EQ(0, oldFirmware);
    expectOnly("Please upgrade the Device's FirmWare to 1.8 and then try to Enter Password.\nThe "
               "present device has older FirmWare version.",
               "Attention", MessageIcon::Warning);
    EXPECT_EQ("", password(1));
}

// ---- Add Device checks ------------------------------------------------------------------------

TEST_F(DeviceDialogs, AddDeviceHelpAndPlaceholders) {
    EXPECT_EQ("The Password typically appears as a number and letter code, in groups of four, "
              "separated by dashes. (ie A1B2-C3D4-E5F6-G7H8) It is found on the device or "
              "packaging.",
              addDeviceHelpText());
    EXPECT_NE(std::string::npos, setPasswordHelpText().find("It can be found on each device."));
    EXPECT_STREQ("KEYS-TEXT-FILL-SLOT", kAddDevicePasswordPlaceholder);
}

TEST_F(DeviceDialogs, AddDeviceRefusesBadNamesAndPasswords) {
    int resume = beginAddDevice();
    struct Case {
        std::string name, password;
        const char* text;
    };
    std::vector<Case> cases = {
        {"", "ABCD-EFGH", kAnotherName},
        {std::string(32, 'n'), "ABCD-EFGH", kTooLong},
        {"Office", "ABCD-EFGH", kAnotherName},
        {"Den", kAddDevicePasswordPlaceholder, "Please enter a Password."},
        {"Den", "abc", kInvalidPassword},
        {"Den", std::string(30, 'p'), kInvalidPassword},
    };
    for (const Case& c : cases) {
        messages.shown.clear();
        EXPECT_EQ(DialogAction::StayOpen,
                  acceptAddDevice(&dialogWindow, resume, c.name, c.password))
            << c.name << " / " << c.password;
        ASSERT_EQ(1u, messages.shown.size()) << c.name;
        EXPECT_EQ(c.text, messages.shown[0].text);
    }
    EXPECT_EQ(0, addingDevice);
    EXPECT_EQ(0, keepLabelOnceMark);
    EXPECT_EQ(1, busyFlag); // still suspended while the dialog stays open
    cancelAddDevice(resume);
    EXPECT_EQ(0, busyFlag);
}

TEST_F(DeviceDialogs, AddDeviceWithAListedPasswordRestoresTheScan) {
    setMainPageLinks({[] { return std::vector<std::string>{"", "LIST-EDPA-SSWD"}; }, {}, {}});
    int resume = beginAddDevice();
    EXPECT_EQ(DialogAction::StayOpen,
              acceptAddDevice(&dialogWindow, resume, "Den", "LIST-EDPA-SSWD"));
    expectOnly("Device is already added in the network", "Attention", MessageIcon::Warning);
    EXPECT_EQ(0, busyFlag);
    EXPECT_EQ(0, addingDevice);
}

TEST_F(DeviceDialogs, AddDeviceWithThirtyOneCharactersProceeds) {
    // No adapter answers here: the addition itself fails, but it was tried.
    int resume = beginAddDevice();
    DialogAction action =
        acceptAddDevice(&dialogWindow, resume, std::string(31, 'n'), "ABCD-EFGH-IJKL-MNOP");
    EXPECT_EQ(DialogAction::Close, action);
    EXPECT_EQ(1, keepLabelOnceMark);
    for (const RecordedMessage& m : messages.shown)
        EXPECT_NE(kTooLong, m.text);
    EXPECT_FALSE(messages.shown.empty()); // the failure was reported
    EXPECT_EQ(0, addingDevice);
}

TEST_F(DeviceDialogs, OldFirmwareStopsTheAddDeviceDialog) {
    oldFirmware = 1;
    int resume = beginAddDevice();
    EXPECT_EQ(DialogAction::CloseAndScan,
              acceptAddDevice(&dialogWindow, resume, "Den", "ABCD-EFGH"));
    EXPECT_EQ(0, oldFirmware);
    expectOnly("Please upgrade the Device's FirmWare to 1.8 and then try to add the device.\nThe "
               "present device has older FirmWare version.",
               "Attention", MessageIcon::Warning);
    EXPECT_EQ(0, busyFlag);
}

TEST_F(DeviceDialogs, ProgressTextsFollowTheCounter) {
    std::vector<std::string> shown;
    int closes = 0;
    setAddDeviceDialogHooks({[&](const std::string& t) { shown.push_back(t); }, [&] { ++closes; }});
    EXPECT_TRUE(addDeviceDialogOpen());
    resetAddDeviceProgress();
    for (int k = 0; k < 5; ++k)
        advanceAddDeviceProgress();
    EXPECT_EQ(5, addDeviceProgressCounter());
    EXPECT_EQ(
        (std::vector<std::string>{
            "Please wait, this operation will take approximately 30 seconds to complete..",
            "Devices will reboot while this operation...", "Trying to add device to the Network...",
            "Proceeding...", "Completing...", "Completing..."}),
        shown);
    closeAddDeviceDialog();
    EXPECT_EQ(1, closes);
    setAddDeviceDialogHooks({});
    EXPECT_FALSE(addDeviceDialogOpen());
    closeAddDeviceDialog(); // with no dialog open nothing happens
    advanceAddDeviceProgress();
    EXPECT_EQ(6u, shown.size());
}

TEST_F(DeviceDialogs, PictureFollowsTheLocalDevicesKind) {
    currentInterface = 0;
    EXPECT_STREQ("oemDevice.bmp", addDevicePictureFile()); // no local device
    scanStates[0].localPresent = 1;
    scanStates[0].deviceClass = kClassAv;
    EXPECT_STREQ("oemDevice.bmp", addDevicePictureFile());
    scanStates[0].deviceClass = kClassTurbo;
    EXPECT_STREQ("oemDeviceIconHS.bmp", addDevicePictureFile());
    scanStates[0].deviceClass = kClassHp10;
    EXPECT_STREQ("oemDeviceIconLS.bmp", addDevicePictureFile());
}

// ---- Upgrade dialogs ----------------------------------------------------------------------------

TEST_F(DeviceDialogs, UpgradeDialogByFamily) {
    localIsTurbo = 1;
    EXPECT_EQ(UpgradeDialogKind::Hp10, chooseUpgradeDialog());
    EXPECT_TRUE(messages.shown.empty());
    localIsTurbo = 0;
    EXPECT_EQ(UpgradeDialogKind::None, chooseUpgradeDialog());
    expectOnly("Application does not have firmware upgrade capabilty for this type of devices",
               "Stop", MessageIcon::Information);
    messages.shown.clear();
    localIsAv = 1; // no adapter answers the configuration read: the dialog opens anyway
    EXPECT_EQ(UpgradeDialogKind::Av, chooseUpgradeDialog());
    ASSERT_FALSE(messages.shown.empty());
    EXPECT_EQ("Can not retrive firmware type of local device", messages.shown.back().text);
    EXPECT_EQ("Information", messages.shown.back().caption);
}

TEST_F(DeviceDialogs, ChosenPathsTakeTheDefaultExtensionAndTheLimit) {
    EXPECT_EQ("/tmp/fw/new.PIB", chosenPath("/tmp/fw/new.PIB", kPibChoice));
    EXPECT_EQ("/tmp/fw/new.pib", chosenPath("/tmp/fw/new", kPibChoice));
    EXPECT_EQ("/tmp/a.b/image.bin", chosenPath("/tmp/a.b/image", kImgChoice));
    EXPECT_EQ("", chosenPath("", kNvmChoice));
    std::string longest = "/" + std::string(255, 'd') + ".NVM"; // 260 characters
    EXPECT_EQ(longest, chosenPath(longest, kNvmChoice));
    EXPECT_EQ("", chosenPath("/" + longest, kNvmChoice));
    EXPECT_STREQ("Config File (*.CFG)", kCfgChoice.filterName);
    EXPECT_STREQ("cfg", kCfgChoice.defaultExtension);
    EXPECT_STREQ("Firmware File (*.IMG)", kImgChoice.filterName);
    EXPECT_STREQ("Firmware File (*.NVM)", kNvmChoice.filterName);
}

TEST_F(DeviceDialogs, AvUpgradeFilesAreCheckedAndConfirmed) {
    EXPECT_FALSE(confirmAvUpgradeFiles(&dialogWindow, "", "b.nvm"));
    EXPECT_FALSE(confirmAvUpgradeFiles(&dialogWindow, "a.pib", ""));
    ASSERT_EQ(2u, messages.shown.size());
    EXPECT_EQ("Please select a PIB and Firmware files\n", messages.shown[0].text);
    EXPECT_EQ("Stop", messages.shown[0].caption);
    EXPECT_EQ(MessageIcon::Error, messages.shown[0].icon);
    messages.shown.clear();
    messages.answerNext(MessageResult::Cancel);
    EXPECT_FALSE(confirmAvUpgradeFiles(&dialogWindow, "a.pib", "b.nvm"));
    EXPECT_TRUE(confirmAvUpgradeFiles(&dialogWindow, "a.pib", "b.nvm"));
    ASSERT_EQ(2u, messages.shown.size());
    EXPECT_EQ("Local Device is HomePlug AV Device\nMake sure you have selected correct files to "
              "upgrade firmware",
              messages.shown[1].text);
    EXPECT_EQ("Local Device Type", messages.shown[1].caption);
    EXPECT_EQ(MessageButtons::OkCancel, messages.shown[1].buttons);
}

TEST_F(DeviceDialogs, CancellingTheUpgradeNeedsConfirmation) {
    upgradeCancelRequested.store(false);
    messages.answerNext(MessageResult::Cancel);
    EXPECT_FALSE(confirmUpgradeCancel(&dialogWindow));
    EXPECT_FALSE(upgradeCancelRequested.load());
    EXPECT_TRUE(confirmUpgradeCancel(&dialogWindow));
    EXPECT_TRUE(upgradeCancelRequested.load());
    EXPECT_EQ("Cancelling upgrade process may destroy the device. Click OK to continue.",
              messages.shown[0].text);
    EXPECT_EQ("Warning....", messages.shown[0].caption);
    upgradeCancelRequested.store(false);
}

TEST_F(DeviceDialogs, Hp10UpgradeWithoutImageSaysSo) {
    EXPECT_EQ(0, runHp10Upgrade("", ""));
    EXPECT_EQ(0, runHp10Upgrade("", bench.dir.file("x.cfg")));
    ASSERT_EQ(2u, messages.shown.size());
    EXPECT_EQ("No File is selected", messages.shown[0].text);
    EXPECT_EQ("No Image File is selected", messages.shown[1].text);
}

} // namespace
