// Password rules, the length checks with their message boxes, and the dashed form.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "network/model.h"
#include "platform/main_window.h"
#include "platform/messages.h"
#include "security/keys.h"
#include "security/passwords.h"

namespace {

class PasswordsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        resetDeviceModel();
        resetSecurityState();
        setMessageSink(&messages);
    }
    void TearDown() override {
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

TEST_F(PasswordsTest, DevicePasswordLengthCheckShowsItsBox) {
    int owner = 0;
    EXPECT_TRUE(checkDevicePassword(&owner, "abcd"));
    EXPECT_TRUE(checkDevicePassword(&owner, "ab\tcd")); // characters are not its concern
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_FALSE(checkDevicePassword(&owner, "abc"));
    EXPECT_FALSE(checkDevicePassword(&owner, std::string(25, 'a').c_str()));
    EXPECT_FALSE(checkDevicePassword(&owner, nullptr));
    ASSERT_EQ(3u, messages.shown.size());
    EXPECT_EQ("The Device Password entered is invalid.\nPlease check it and try again.",
              messages.shown[0].text);
    EXPECT_EQ("Invalid Entry", messages.shown[0].caption);
    EXPECT_EQ(MessageIcon::Error, messages.shown[0].icon);
}

TEST_F(PasswordsTest, NetworkPasswordLengthCheckShowsItsBox) {
    EXPECT_TRUE(checkNetworkPassword(std::string(24, 'a').c_str()));
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_FALSE(checkNetworkPassword("abc"));
    ASSERT_EQ(1u, messages.shown.size());
    EXPECT_EQ("The encryption key entered is invalid.\nPlease enter an encryption key between 4 "
              "and 24 characters",
              messages.shown[0].text);
    EXPECT_EQ("Invalid Entry", messages.shown[0].caption);
    EXPECT_EQ(MessageIcon::Error, messages.shown[0].icon);
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
