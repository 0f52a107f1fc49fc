// The add-device flow and the AV upgrade's start, with the program's
// decisions given as functions: what is asked, what is told, and that the
// core shows nothing itself.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "maintenance/av_maintenance.h"
#include "network/model.h"
#include "security/add_device_flow.h"
#include "support/core_bench.h"
#include "ui/outcome_boxes.h"

namespace {

const char kValidPassword[] = "ABCD-EFGH-IJKL-MNOP";

class AddDeviceFlowTest : public ::testing::Test {
  protected:
    CoreBench bench;
    std::vector<AddDeviceRefusal> refused;
    std::vector<KeyMessage> told;
    int progress = 0;
    AddDeviceDecisions ask() {
        AddDeviceDecisions d;
        d.refuse = [this](AddDeviceRefusal r) { refused.push_back(r); };
        d.tell = [this](KeyMessage m) { told.push_back(m); };
        d.startProgress = [this] { progress = 0; };
        d.advanceProgress = [this] { ++progress; };
        return d;
    }
};

TEST_F(AddDeviceFlowTest, InputIsCheckedInTheDialogsOrder) {
    EXPECT_EQ(AddDeviceRefusal::AnotherName, checkAddDeviceInput("", "x"));
    EXPECT_EQ(AddDeviceRefusal::NameTooLong, checkAddDeviceInput(std::string(32, 'n'), "x"));
    EXPECT_EQ(AddDeviceRefusal::None, checkAddDeviceInput(std::string(31, 'n'), kValidPassword));
    EXPECT_EQ(AddDeviceRefusal::NoPassword,
              checkAddDeviceInput("Den", kAddDevicePasswordPlaceholder));
    EXPECT_EQ(AddDeviceRefusal::InvalidPassword, checkAddDeviceInput("Den", "ABC"));
    uint8_t mac[6] = {0x00, 0xB0, 0x52, 0x00, 0x00, 0x07};
    ASSERT_GT(appendDeviceEntry(mac, "Den"), 0);
    EXPECT_EQ(AddDeviceRefusal::AnotherName, checkAddDeviceInput("Den", kValidPassword));
}

// Every refusal goes to the program's decision: the core shows no box and
// sends nothing, and the dialog stays open.
TEST_F(AddDeviceFlowTest, RefusalsAreToldToTheDecisionsAndNothingIsSent) {
    EXPECT_EQ(AddDeviceEnd::StayOpen, addDeviceToNetwork(0, "", kValidPassword, ask()));
    AddDeviceDecisions listed = ask();
    std::string asked;
    listed.alreadyListed = [&](const std::string& password) {
        asked = password;
        return true;
    };
    // What the edit gives back: cut at its length and at a NUL.
    EXPECT_EQ(AddDeviceEnd::StayOpen,
              addDeviceToNetwork(0, "Den", std::string(kValidPassword) + '\0' + "junk", listed));
    EXPECT_EQ(kValidPassword, asked);
    EXPECT_EQ((std::vector<AddDeviceRefusal>{AddDeviceRefusal::AnotherName,
                                             AddDeviceRefusal::AlreadyAdded}),
              refused);
    EXPECT_TRUE(told.empty());
    EXPECT_TRUE(bench.messages.shown.empty());
    EXPECT_TRUE(bench.wire.sent.empty());
    EXPECT_EQ(0, addingDevice);
}

TEST_F(AddDeviceFlowTest, RefusalBoxesAreTheDialogsOwn) {
    EXPECT_EQ("Please enter another name.", outcomeText(AddDeviceRefusal::AnotherName));
    EXPECT_EQ("Device Name should be less than 31 characters",
              outcomeText(AddDeviceRefusal::NameTooLong));
    EXPECT_EQ("Please enter a Password.", outcomeText(AddDeviceRefusal::NoPassword));
    EXPECT_EQ("Device is already added in the network",
              outcomeText(AddDeviceRefusal::AlreadyAdded));
    EXPECT_EQ("Please upgrade the Device's FirmWare to 1.8 and then try to add the device.\nThe "
              "present device has older FirmWare version.",
              outcomeText(AddDeviceRefusal::OldFirmware));
    EXPECT_EQ(outcomeText(KeyMessage::InvalidDevicePassword),
              outcomeText(AddDeviceRefusal::InvalidPassword));
    EXPECT_STREQ("Invalid Entry", outcomeBox(AddDeviceRefusal::InvalidPassword).caption);
    EXPECT_STREQ("Attention", outcomeBox(AddDeviceRefusal::AlreadyAdded).caption);
    EXPECT_EQ(BoxOwner::Caller, outcomeBox(AddDeviceRefusal::AlreadyAdded).owner);
    EXPECT_EQ("", outcomeText(AddDeviceRefusal::None));
}

TEST(AvUpgradeStartTest, FilesFirstThenTheQuestion) {
    int asked = 0;
    AvUpgradeDecisions yes;
    yes.confirmDeviceType = [&] {
        ++asked;
        return true;
    };
    EXPECT_EQ(AvUpgradeStart::FilesMissing, confirmAvUpgradeStart("", "a.nvm", yes));
    EXPECT_EQ(AvUpgradeStart::FilesMissing, confirmAvUpgradeStart("a.pib", "", yes));
    EXPECT_EQ(0, asked);
    EXPECT_EQ(AvUpgradeStart::Go, confirmAvUpgradeStart("a.pib", "a.nvm", yes));
    EXPECT_EQ(1, asked);
    AvUpgradeDecisions no;
    no.confirmDeviceType = [] { return false; };
    EXPECT_EQ(AvUpgradeStart::NotConfirmed, confirmAvUpgradeStart("a.pib", "a.nvm", no));
    // Nobody to ask: the upgrade does not start.
    EXPECT_EQ(AvUpgradeStart::NotConfirmed, confirmAvUpgradeStart("a.pib", "a.nvm", {}));
}

} // namespace
