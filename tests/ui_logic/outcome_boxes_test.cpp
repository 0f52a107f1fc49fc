// The boxes the window shows for the key operations' outcomes: text, caption,
// icon and owner of each, exactly as the user has always read them (these
// assertions stood beside the core operations when the core showed the boxes
// itself), and the busy flag held while one is open.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "network/auto_scan.h"
#include "network/model.h"
#include "platform/main_window.h"
#include "platform/messages.h"
#include "support/core_bench.h"
#include "ui/device_dialogs_logic.h"
#include "ui/outcome_boxes.h"

namespace {

struct Expected {
    KeyMessage message;
    const char* text;
    const char* caption;
    MessageIcon icon;
    BoxOwner owner;
};

const Expected kExpected[] = {
    {KeyMessage::KeyChanged, "Encryption key has been changed successfully.", "Information",
     MessageIcon::Information, BoxOwner::Caller},
    {KeyMessage::SomeDevicesRefused,
     "One or more devices could not be added to your network due to invalid device password.",
     "Attention", MessageIcon::Warning, BoxOwner::Caller},
    {KeyMessage::DeviceAdded, "Device was added to your network.", "Information",
     MessageIcon::Information, BoxOwner::Caller},
    {KeyMessage::NotDetected,
     "A Device With The Entered Password Was Not Detected. \nPlease Check The Password and Check "
     "Your Device Connection.",
     "Attention", MessageIcon::Warning, BoxOwner::MainWindow},
    {KeyMessage::LocalNmkUnreadable, "Error reading NMK from the local device", "Error!!",
     MessageIcon::None, BoxOwner::None},
    {KeyMessage::RemoteNmkNotSet, "Unable to set the NMK of remote device!!!", "Attention",
     MessageIcon::Warning, BoxOwner::MainWindow},
    {KeyMessage::AddingFailed, "Error occured while adding the device", "Attention",
     MessageIcon::Warning, BoxOwner::MainWindow},
    {KeyMessage::AddingProblem,
     "Some unknown problem occured while adding the device. Try adding again!", "Error!!!",
     MessageIcon::None, BoxOwner::None},
    {KeyMessage::NoDeviceSelected, "There is no device been selected.", "Attention",
     MessageIcon::Warning, BoxOwner::MainWindow},
    {KeyMessage::InvalidDevicePassword,
     "The Device Password entered is invalid.\nPlease check it and try again.", "Invalid Entry",
     MessageIcon::Error, BoxOwner::Caller},
    {KeyMessage::InvalidNetworkPassword,
     "The encryption key entered is invalid.\nPlease enter an encryption key between 4 and 24 "
     "characters",
     "Invalid Entry", MessageIcon::Error, BoxOwner::MainWindow},
};

// Records the owner and the busy flag of every box.
class Messages : public RecordingMessages {
  public:
    MessageResult show(MessageOwner* owner, const std::string& text, const std::string& caption,
                       MessageIcon icon, MessageButtons buttons) override {
        owners.push_back(owner);
        busyAtShow.push_back(busyFlag);
        return RecordingMessages::show(owner, text, caption, icon, buttons);
    }
    std::vector<void*> owners;
    std::vector<int> busyAtShow;
};

class OutcomeBoxesTest : public ::testing::Test {
  protected:
    CoreBench bench;
    Messages messages;
    int mainWindow = 0;
    int page = 0;
    void SetUp() override {
        setMessageSink(&messages);
        mainWindowHandle = messageOwner(&mainWindow);
    }
    void TearDown() override { mainWindowHandle = nullptr; }
};

TEST_F(OutcomeBoxesTest, EveryMessageHasItsTextCaptionIconAndOwner) {
    for (const Expected& e : kExpected) {
        messages.shown.clear();
        messages.owners.clear();
        messages.busyAtShow.clear();
        busyFlag = 0;
        showOutcome(e.message, &page);
        ASSERT_EQ(1u, messages.shown.size()) << e.text;
        EXPECT_EQ(e.text, messages.shown[0].text);
        EXPECT_EQ(e.text, outcomeText(e.message));
        EXPECT_EQ(e.caption, messages.shown[0].caption) << e.text;
        EXPECT_EQ(e.icon, messages.shown[0].icon) << e.text;
        EXPECT_EQ(MessageButtons::Ok, messages.shown[0].buttons);
        void* owner = e.owner == BoxOwner::Caller       ? static_cast<void*>(&page)
                      : e.owner == BoxOwner::MainWindow ? static_cast<void*>(&mainWindow)
                                                        : nullptr;
        EXPECT_EQ(owner, messages.owners[0]) << e.text;
        // The automatic scan does no work while the box is open, and runs again after it.
        EXPECT_EQ(1, messages.busyAtShow[0]) << e.text;
        EXPECT_EQ(0, busyFlag);
    }
}

TEST_F(OutcomeBoxesTest, NoMessageShowsNoBox) {
    showOutcome(KeyMessage::None, &page);
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_EQ("", outcomeText(KeyMessage::None));
}

TEST_F(OutcomeBoxesTest, ScanNowRunsTheInstalledHookWithItsOwner) {
    int calls = 0;
    void* seen = nullptr;
    setScanNowHook([&](void* owner) {
        ++calls;
        seen = owner;
    });
    scanNow(&mainWindow);
    EXPECT_EQ(1, calls);
    EXPECT_EQ(&mainWindow, seen);
    setScanNowHook({});
}

// The diagnostics, AV upgrade and data directory outcomes: each box as the
// page or the upgrade showed it when the core opened it itself.
struct OtherExpected {
    std::function<void(void*)> show;
    std::string text;
    const char* caption;
    MessageIcon icon;
    bool ownedByMainWindow;
};

TEST_F(OutcomeBoxesTest, DiagnosticsUpgradeAndDataDirectoryBoxes) {
    AvUpgradeOutcome tooLarge;
    tooLarge.message = AvUpgradeMessage::FileTooLarge;
    tooLarge.tooLargeFile = "firmware";
    tooLarge.tooLargeSize = 4294967296u;
    tooLarge.tooLargeLimit = 16777216u;
    auto upgrade = [](AvUpgradeMessage m) {
        AvUpgradeOutcome o;
        o.message = m;
        return o;
    };
    DataDirectoryChoice fallback{true, true, "/var/lib/tollbeam", "/home/u/.local/share/tollbeam"};
    ReportSaving notSaved{false, "/tmp/r.TXT", ENOENT};
    std::vector<OtherExpected> expected = {
        {[](void* o) { showOutcome(DiagnosticsMessage::SelectDeviceFirst, o); },
         "Please select a device first by clicking on it.", "Attention", MessageIcon::Warning,
         false},
        {[](void* o) { showOutcome(DiagnosticsMessage::FillFailed, o); }, "Unknown error occured",
         "updateDiagnosticsList", MessageIcon::None, false},
        {[](void* o) { showOutcome(DiagnosticsMessage::InstallPrinter, o); },
         "Before you can perform printer-related tasks such as page setup or printing a document, "
         "you need to install a printer.",
         "Attention", MessageIcon::Warning, false},
        {[&](void* o) { showOutcome(notSaved, o); },
         "The report could not be saved to /tmp/r.TXT: No such file or directory.", "Error",
         MessageIcon::Error, false},
        {[&](void* o) { showOutcome(fallback, o); },
         "Unable to create Tollbeam.data file at location: /var/lib/tollbeam, Creating "
         "Tollbeam.data file at location: /home/u/.local/share/tollbeam",
         "Information", MessageIcon::Information, false},
        {[&](void* o) { showOutcome(tooLarge, o); },
         "The firmware file is too large: 4294967296 bytes (at most 16777216)", "Error",
         MessageIcon::Error, true},
    };
    const std::pair<AvUpgradeMessage, const char*> upgradeTexts[] = {
        {AvUpgradeMessage::FirmwareUnreadable, "Unable to open firmware file"},
        {AvUpgradeMessage::WrongNvmHeader, "Wrong NVM Block Header"},
        {AvUpgradeMessage::PibUnreadable, "Error in PIB file opening..."},
        {AvUpgradeMessage::PibOperation, "Error in PIB file Operation"},
        {AvUpgradeMessage::PibChecksum, "Error in PIB file checksum. Operation aborted"},
        {AvUpgradeMessage::NotStarted, "Upgrade failed. Operation aborted"},
        {AvUpgradeMessage::TransferAborted, "Upgrade failed. Operation aborted."},
    };
    for (const auto& [message, text] : upgradeTexts)
        expected.push_back({[&, message = message](void* o) { showOutcome(upgrade(message), o); },
                            text, "Error", MessageIcon::Error, true});
    for (const OtherExpected& e : expected) {
        messages.shown.clear();
        messages.owners.clear();
        messages.busyAtShow.clear();
        e.show(&page);
        ASSERT_EQ(1u, messages.shown.size()) << e.text;
        EXPECT_EQ(e.text, messages.shown[0].text);
        EXPECT_EQ(e.caption, messages.shown[0].caption) << e.text;
        EXPECT_EQ(e.icon, messages.shown[0].icon) << e.text;
        EXPECT_EQ(MessageButtons::Ok, messages.shown[0].buttons);
        EXPECT_EQ(e.ownedByMainWindow ? static_cast<void*>(&mainWindow) : &page, messages.owners[0])
            << e.text;
        EXPECT_EQ(1, messages.busyAtShow[0]) << e.text;
    }
    EXPECT_EQ("The firmware file is too large: 4294967296 bytes (at most 16777216)",
              outcomeText(tooLarge));
    EXPECT_EQ("Unknown error occured", outcomeText(DiagnosticsMessage::FillFailed));
}

TEST_F(OutcomeBoxesTest, OutcomesThatTellNothingShowNothing) {
    showOutcome(DiagnosticsMessage::None, &page);
    showOutcome(AvUpgradeOutcome{}, &page);
    showOutcome(ReportSaving{true, "/tmp/r.TXT", 0}, &page);
    showOutcome(DataDirectoryChoice{true, false, "/a", "/b"}, &page);
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_EQ("", outcomeText(ReportSaving{true, "/tmp/r.TXT", 0}));
    EXPECT_EQ("", outcomeText(AvUpgradeOutcome{}));
}

// Values are put in as they are: a "%s" inside a path is not filled again.
TEST(FillPattern, PutsEachValueInOnceInOrder) {
    EXPECT_EQ("a /x%s/ b 2.", fillPattern("a %s b %s.", {"/x%s/", "2"}));
    EXPECT_EQ("only %s", fillPattern("only %s", {}));
    EXPECT_EQ("no values", fillPattern("no values", {"unused"}));
}

} // namespace
