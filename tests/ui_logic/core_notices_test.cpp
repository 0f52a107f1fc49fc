// What the core tells as it happens (the device database, the packet driver,
// the key exchanges) and the outcomes of the HomePlug 1.0 upgrade, the
// configuration block and the factory reset: the core hands over which
// message applies with its values, the window's table gives each its box.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "maintenance/av_maintenance.h"
#include "maintenance/hp10_upgrade.h"
#include "network/model.h"
#include "packet/packet.h"
#include "platform/messages.h"
#include "security/key_operations.h"
#include "storage/data_directory.h"
#include "storage/device_database.h"
#include "storage/preferences.h"
#include "support/core_bench.h"
#include "support/temp_dir.h"
#include "ui/outcome_boxes.h"

namespace {

const uint8_t kHost[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};

struct Box {
    std::string text;
    std::string caption;
    MessageIcon icon;
};

std::vector<Box> boxes(const RecordingMessages& messages) {
    std::vector<Box> out;
    for (const RecordedMessage& m : messages.shown)
        out.push_back({m.text, m.caption, m.icon});
    return out;
}

void expectBox(const Box& box, const std::string& text, const std::string& caption,
               MessageIcon icon) {
    EXPECT_EQ(text, box.text);
    EXPECT_EQ(caption, box.caption) << text;
    EXPECT_EQ(icon, box.icon) << text;
}

// A driver whose sends and reads fail by throwing, as a driver that lost its
// helper does.
class ThrowingWire : public MemoryWire {
  public:
    using MemoryWire::MemoryWire;
    bool send(void*, const uint8_t*, size_t) override { throw std::runtime_error("gone"); }
};

class CoreNoticesTest : public ::testing::Test {
  protected:
    CoreBench bench;
    RecordingMessages& messages = bench.messages;
};

TEST_F(CoreNoticesTest, Hp10UpgradeMessagesKeepTheirOrderTextsAndIcons) {
    Hp10UpgradeOutcome outcome;
    outcome.note(Hp10UpgradeMessage::NoResponse);
    outcome.note(Hp10UpgradeMessage::ImageSendingFailed);
    outcome.note(Hp10UpgradeMessage::ImageTooLarge);
    outcome.tooLargeSize = 4294967296u;
    outcome.tooLargeLimit = 16777216u;
    outcome.note(Hp10UpgradeMessage::IdentityMismatch);
    outcome.note(Hp10UpgradeMessage::OptionMismatch);
    outcome.note(Hp10UpgradeMessage::ParamMismatch);
    outcome.note(Hp10UpgradeMessage::Upgraded);
    showOutcome(outcome);
    std::vector<Box> shown = boxes(messages);
    ASSERT_EQ(7u, shown.size());
    expectBox(shown[0], "Packet sent but no response", "Error", MessageIcon::Error);
    expectBox(shown[1], "MAC Image Sending Failed", "Error", MessageIcon::Error);
    expectBox(shown[2], "The image file is too large: 4294967296 bytes (at most 16777216)", "Error",
              MessageIcon::Error);
    expectBox(shown[3], "Identy Section Verification Failed", "Error", MessageIcon::Error);
    expectBox(shown[4], "Option section Verification Failed", "Error", MessageIcon::Error);
    expectBox(shown[5], "Param Module Verification Failed", "Error", MessageIcon::Error);
    expectBox(shown[6], "Device firmware has been upgraded successfully.", "Information",
              MessageIcon::Information);
    EXPECT_EQ(7u, outcomeTexts(outcome).size());
    EXPECT_EQ(shown[2].text, outcomeTexts(outcome)[2]);
}

// The upgrade itself reports what happened, in order, and shows nothing.
TEST_F(CoreNoticesTest, Hp10UpgradeReturnsItsMessagesWithoutShowingThem) {
    Hp10UpgradeOutcome none = upgradeHp10(nullptr, nullptr);
    EXPECT_FALSE(none);
    EXPECT_EQ(std::vector<Hp10UpgradeMessage>{Hp10UpgradeMessage::NoFileSelected}, none.messages);

    TempDir dir;
    const std::string image = dir.file("a.img");
    writeFileBytes(image, std::vector<uint8_t>(100, 7));
    bench.addPort("eth0", kHost);
    openAllInterfaces();
    currentInterface = 0;
    // No device answers: the loader start goes out, the first chunk is not acknowledged.
    const uint8_t device[6] = {0x00, 0x04, 0x87, 0x00, 0x00, 0x42};
    std::memcpy(scanStates[0].localMac, device, 6);
    Hp10UpgradeOutcome silent = upgradeHp10(image.c_str(), nullptr);
    EXPECT_FALSE(silent);
    EXPECT_EQ((std::vector<Hp10UpgradeMessage>{Hp10UpgradeMessage::NoResponse,
                                               Hp10UpgradeMessage::ImageSendingFailed}),
              silent.messages);
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_TRUE(checkHp10ImageFile(image.c_str()));
}

TEST_F(CoreNoticesTest, MaintenanceOutcomesHaveTheirBoxes) {
    showOutcome(ConfigurationBlockMessage::NotBuilt);
    showOutcome(ConfigurationBlockMessage::None);
    showOutcome(FactoryResetMessage::Done, nullptr);
    showOutcome(FactoryResetMessage::Failed, nullptr);
    showOutcome(FactoryResetMessage::None, nullptr);
    std::vector<Box> shown = boxes(messages);
    ASSERT_EQ(3u, shown.size());
    expectBox(shown[0], "Error in plcapi_ReadConfigurationBlock", "Error", MessageIcon::Error);
    expectBox(shown[1], "Device has been reset to factory default successfully.", "Information",
              MessageIcon::Information);
    expectBox(shown[2], "Device can't found or not support yet.", "Information",
              MessageIcon::Information);
    EXPECT_EQ(BoxOwner::MainWindow, outcomeBox(ConfigurationBlockMessage::NotBuilt).owner);
    EXPECT_EQ("Device can't found or not support yet.", outcomeText(FactoryResetMessage::Failed));
}

// Every database notice: the path and values go in once, as they are.
TEST_F(CoreNoticesTest, DatabaseNoticesCarryTheFileAndTheirValues) {
    const char* kept =
        " It is kept as it is, and device names and passwords are not saved in this run.";
    DatabaseNotice unreadable{DatabaseMessage::Unreadable, "/d/%s.data", "", "Permission denied",
                              0};
    EXPECT_EQ(std::string("The device database /d/%s.data cannot be read (Permission denied).") +
                  kept,
              outcomeText(unreadable));
    DatabaseNotice aside{DatabaseMessage::NotMovedAside, "/d/P.data", "P.data.bad",
                         "Read-only file system", 0};
    EXPECT_EQ(std::string("The device database /d/P.data cannot be moved aside to P.data.bad "
                          "(Read-only file system).") +
                  kept,
              outcomeText(aside));
    DatabaseNotice newer{DatabaseMessage::NewerVersion, "/d/P.data", "", "", 307};
    EXPECT_EQ(std::string("The device database /d/P.data was written by a newer version of this "
                          "program (layout 307; this one reads layout 306).") +
                  kept,
              outcomeText(newer));
    EXPECT_EQ("Attention", std::string(outcomeBox(DatabaseMessage::NewerVersion).caption));
    EXPECT_EQ("Unexpected condition reading database. Attempting to recover.",
              outcomeText(DatabaseNotice{DatabaseMessage::OldVersion, "/d/P.data", "", "", 0}));
    const OutcomeBox& write = outcomeBox(DatabaseMessage::WriteProblem);
    EXPECT_STREQ("Unexpected condition writing database. Attempting to recover.", write.text);
    EXPECT_EQ(MessageIcon::Error, write.icon);
    for (DatabaseMessage m : {DatabaseMessage::Unreadable, DatabaseMessage::NotMovedAside,
                              DatabaseMessage::NewerVersion, DatabaseMessage::OldVersion,
                              DatabaseMessage::BadCount, DatabaseMessage::WriteProblem})
        EXPECT_EQ(BoxOwner::MainWindow, outcomeBox(m).owner);
}

// A newer database is held and told through the registered sink, which
// receives the typed notice; without one nothing is shown and the load still
// reports what it did.
TEST_F(CoreNoticesTest, DatabaseLoadTellsTheRegisteredSink) {
    TempDir dir;
    copyText(preferences.appName, "Plexora");
    ASSERT_TRUE(chooseDataDirectory({dir.file("tollbeam"), dir.file("fallback")}).ready);
    std::vector<uint8_t> newer(databaseFileSize(1), 0);
    newer[0] = 0x33; // layout 307
    newer[1] = 0x01;
    writeFileBytes(deviceDatabasePath(), newer);

    std::vector<DatabaseNotice> told;
    setDatabaseNoticeSink([&](const DatabaseNotice& n) { told.push_back(n); });
    EXPECT_EQ(DatabaseLoad::NewerVersion, loadDeviceDatabase());
    ASSERT_EQ(1u, told.size());
    EXPECT_EQ(DatabaseMessage::NewerVersion, told[0].message);
    EXPECT_EQ(307, told[0].layout);
    EXPECT_EQ(deviceDatabasePath(), told[0].path);
    EXPECT_TRUE(messages.shown.empty());

    resetDeviceDatabaseState();
    ASSERT_TRUE(chooseDataDirectory({dir.file("tollbeam"), dir.file("fallback")}).ready);
    setDatabaseNoticeSink({});
    EXPECT_EQ(DatabaseLoad::NewerVersion, loadDeviceDatabase());
    EXPECT_TRUE(messages.shown.empty());

    // The window's sinks turn it into its box.
    resetDeviceDatabaseState();
    ASSERT_TRUE(chooseDataDirectory({dir.file("tollbeam"), dir.file("fallback")}).ready);
    installOutcomeSinks();
    EXPECT_EQ(DatabaseLoad::NewerVersion, loadDeviceDatabase());
    ASSERT_EQ(1u, messages.shown.size());
    EXPECT_EQ(outcomeText(told[0]), messages.shown[0].text);
    EXPECT_EQ("Attention", messages.shown[0].caption);
}

TEST_F(CoreNoticesTest, DriverFailureWhileSendingIsToldOnce) {
    ThrowingWire broken{bench.clock};
    MemoryWire::Port port;
    port.name = "eth0";
    std::memcpy(port.mac, kHost, 6);
    broken.addPort(port);
    setPacketDriver(&broken);
    openAllInterfaces();
    const uint8_t frame[60] = {};
    EXPECT_FALSE(sendFrame(0, frame, sizeof frame));
    ASSERT_EQ(1u, messages.shown.size());
    expectBox(boxes(messages)[0],
              "Unknown error occurred while sending packets. Please try after some time.",
              "Send Packet Error", MessageIcon::None);

    // The program decides how it is told: here, counted.
    int told = 0;
    setPacketErrorSink([&](PacketError e) { told += e == PacketError::Send; });
    EXPECT_FALSE(sendFrame(0, frame, sizeof frame));
    EXPECT_EQ(1, told);
    EXPECT_EQ(1u, messages.shown.size());
    closeAllInterfaces();
    setPacketDriver(&bench.wire);
}

TEST_F(CoreNoticesTest, KeyExchangeNoticesHaveTheirBoxes) {
    const OutcomeBox& failed = outcomeBox(KeyMessage::SetKeyFailed);
    EXPECT_STREQ("Unknown error occurred. Please try after some time.", failed.text);
    EXPECT_STREQ("setLocalNEK", failed.caption);
    EXPECT_EQ(MessageIcon::None, failed.icon);
    EXPECT_EQ(BoxOwner::None, failed.owner);
    const OutcomeBox& unset = outcomeBox(KeyMessage::SourceMacUnset);
    EXPECT_STREQ("Source MAC is NULL", unset.text);
    EXPECT_STREQ("ERROR SA", unset.caption);
    EXPECT_EQ(MessageIcon::Warning, unset.icon);

    // No host address: the exchange tells the registered sink and sends nothing.
    std::vector<KeyMessage> told;
    setKeyNoticeSink([&](KeyMessage m) { told.push_back(m); });
    uint8_t target[6] = {0x00, 0xB0, 0x52, 0x00, 0x00, 0x02};
    const uint8_t key[16] = {};
    EXPECT_EQ(0, sendSetKeyToDevice(key, key, target, false));
    EXPECT_EQ(std::vector<KeyMessage>{KeyMessage::SourceMacUnset}, told);
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_TRUE(bench.wire.sent.empty());
}

} // namespace
