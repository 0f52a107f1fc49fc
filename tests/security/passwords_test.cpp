// Password rules, the length checks with their message boxes, and the dashed form.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "network/model.h"
#include "platform/main_window.h"
#include "platform/messages.h"
#include "security/keys.h"
#include "security/passwords.h"
#include "ui/outcome_boxes.h"

namespace {

class PasswordsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        resetDeviceModel();
        resetSecurityState();
        setMessageSink(&messages);
        installOutcomeSinks();
    }
    void TearDown() override {
        removeOutcomeSinks();
        setMessageSink(nullptr);
        mainWindowHandle = nullptr;
    }
    std::string rulesOutput(const char* password, bool& result) {
        ::testing::internal::CaptureStdout();
        result = checkPasswordRules(password);
        return ::testing::internal::GetCapturedStdout();
    }
    RecordingMessages messages;
};

constexpr const char* kLengthText = "Password length illegal, use 4-24 chars\n";
constexpr const char* kCharText =
    "Illegal character in password, CTRL and ALT characters not allowed.\n";

TEST_F(PasswordsTest, RulesAcceptFourToTwentyFourCharacters) {
    bool ok = false;
    EXPECT_EQ("", rulesOutput("abcd", ok));
    EXPECT_TRUE(ok);
    EXPECT_EQ("", rulesOutput(std::string(24, 'x').c_str(), ok));
    EXPECT_TRUE(ok);
    EXPECT_EQ(kLengthText, rulesOutput("abc", ok));
    EXPECT_FALSE(ok);
    EXPECT_EQ(kLengthText, rulesOutput(std::string(25, 'x').c_str(), ok));
    EXPECT_FALSE(ok);
    EXPECT_EQ(kLengthText, rulesOutput("", ok));
    EXPECT_FALSE(ok);
}

TEST_F(PasswordsTest, RulesRefuseControlAndHighCharacters) {
    bool ok = true;
    EXPECT_EQ(kCharText, rulesOutput("ab\tcd", ok));
    EXPECT_FALSE(ok);
    EXPECT_EQ(kCharText, rulesOutput("abc\x1f", ok));
    EXPECT_FALSE(ok);
    EXPECT_EQ(kCharText, rulesOutput("abc\x80", ok));
    EXPECT_FALSE(ok);
    EXPECT_EQ(kCharText, rulesOutput("\xff"
                                     "abc",
                                     ok));
    EXPECT_FALSE(ok);
    EXPECT_EQ(kCharText, rulesOutput("caf\xc3\xa9", ok));
    EXPECT_FALSE(ok);
}

TEST_F(PasswordsTest, RulesAllowSpaceAndDelete) {
    bool ok = false;
    EXPECT_EQ("", rulesOutput("ab cd", ok));
    EXPECT_TRUE(ok);
    EXPECT_EQ("", rulesOutput("abc\x7f", ok));
    EXPECT_TRUE(ok);
    EXPECT_EQ("", rulesOutput("    ", ok));
    EXPECT_TRUE(ok);
}

TEST_F(PasswordsTest, RulesWithoutPassword) {
    bool ok = true;
    EXPECT_EQ("No password was entered...exiting\n", rulesOutput(nullptr, ok));
    EXPECT_FALSE(ok);
}

// The length checks show nothing themselves; their refusal boxes are the
// outcomes KeyMessage::InvalidDevicePassword and InvalidNetworkPassword,
// tested with the other boxes in tests/ui_logic/outcome_boxes_test.cpp.
TEST_F(PasswordsTest, DevicePasswordLengthCheck) {
    EXPECT_TRUE(checkDevicePassword("abcd"));
    EXPECT_TRUE(checkDevicePassword("ab\tcd")); // characters are not its concern
    EXPECT_TRUE(checkDevicePassword(std::string(24, 'a').c_str()));
    EXPECT_FALSE(checkDevicePassword("abc"));
    EXPECT_FALSE(checkDevicePassword(std::string(25, 'a').c_str()));
    EXPECT_FALSE(checkDevicePassword(nullptr));
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(PasswordsTest, NetworkPasswordLengthCheck) {
    EXPECT_TRUE(checkNetworkPassword(std::string(24, 'a').c_str()));
    EXPECT_FALSE(checkNetworkPassword("abc"));
    EXPECT_FALSE(checkNetworkPassword(std::string(25, 'a').c_str()));
    EXPECT_TRUE(messages.shown.empty());
}

std::string dashed(const char* password) {
    char buffer[kPasswordBufferSize] = {};
    std::strncpy(buffer, password, sizeof buffer - 1);
    insertPasswordDashes(buffer);
    EXPECT_EQ('\0', buffer[kPasswordBufferSize - 1]);
    return buffer;
}

TEST_F(PasswordsTest, DashesSplitSixteenCharactersIntoFourGroups) {
    EXPECT_EQ("ABCD-EFGH-IJKL-MNOP", dashed("ABCDEFGHIJKLMNOP"));
    EXPECT_EQ("ABCD-EFGH-IJKL-MNOP", dashed("ABCD-EFGH-IJKL-MNOP"));
    EXPECT_EQ("ABCD-EFGH-IJKL-MNOP", dashed("ABCD-EFGHIJKLMNOP"));
    EXPECT_EQ("abcd-", dashed("abcd"));
    EXPECT_EQ("abcd-efgh-i", dashed("abcdefghi"));
}

TEST_F(PasswordsTest, DashesKeepLongPasswordsTerminated) {
    // 24 characters plus three dashes do not fit: the tail is cut, the text ends in the buffer.
    EXPECT_EQ("ABCD-EFGH-IJKL-MNOPQRSTU", dashed("ABCDEFGHIJKLMNOPQRSTUVWX"));
}

} // namespace
