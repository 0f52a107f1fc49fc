// Choice of the data directory and its fallback.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/messages.h"
#include "storage/data_directory.h"
#include "storage/device_database.h"
#include "support/temp_dir.h"
#include "ui/main_page_logic.h"
#include "ui/outcome_boxes.h"

namespace {

class DataDirectoryTest : public ::testing::Test {
  protected:
    TempDir dir;
    RecordingMessages messages;
    void SetUp() override {
        resetDeviceDatabaseState();
        setMessageSink(&messages);
        installOutcomeSinks();
    }
    void TearDown() override {
        removeOutcomeSinks();
        setMessageSink(nullptr);
        resetDeviceDatabaseState();
    }
};

mode_t modeOf(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

TEST_F(DataDirectoryTest, MachineDirectoryIsCreatedAndUsed) {
    std::string machine = dir.file("tollbeam");
    EXPECT_TRUE(prepareDataDirectory(nullptr, {machine, dir.file("fallback")}));
    EXPECT_EQ(machine, dataDirectory());
    EXPECT_NE(0u, modeOf(machine));
    EXPECT_TRUE(messages.shown.empty());
    // Existing: used as it is.
    EXPECT_TRUE(prepareDataDirectory(nullptr, {machine, dir.file("fallback")}));
    EXPECT_EQ(machine, dataDirectory());
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_EQ(0u, modeOf(dir.file("fallback")));
}

TEST_F(DataDirectoryTest, UncreatableMachineDirectoryFallsBackWithMessage) {
    std::string machine = dir.file("no/such/parent/tollbeam"); // one level only is created
    std::string fallback = dir.file("home/.local/share/tollbeam");
    int owner = 0;
    EXPECT_TRUE(prepareDataDirectory(&owner, {machine, fallback}));
    EXPECT_EQ(fallback, dataDirectory());
    EXPECT_EQ(0u, modeOf(machine));
    EXPECT_EQ(0700u, modeOf(fallback));
    ASSERT_EQ(1u, messages.shown.size());
    EXPECT_EQ("Unable to create Tollbeam.data file at location: " + machine +
                  ", Creating Tollbeam.data file at location: " + fallback,
              messages.shown[0].text);
    EXPECT_EQ("Information", messages.shown[0].caption);
    EXPECT_EQ(MessageIcon::Information, messages.shown[0].icon);

    // The next start finds the fallback made: it is used without the message again.
    resetDeviceDatabaseState();
    EXPECT_TRUE(prepareDataDirectory(&owner, {machine, fallback}));
    EXPECT_EQ(fallback, dataDirectory());
    EXPECT_EQ(1u, messages.shown.size());
}

TEST_F(DataDirectoryTest, MachinePathThatIsNoDirectoryFallsBack) {
    std::string machine = dir.file("tollbeam");
    writeFileText(machine, "not a directory");
    EXPECT_TRUE(prepareDataDirectory(nullptr, {machine, dir.file("fb")}));
    EXPECT_EQ(dir.file("fb"), dataDirectory());
    EXPECT_EQ(1u, messages.shown.size());
}

TEST_F(DataDirectoryTest, UncreatableFallbackIsReported) {
    writeFileText(dir.file("file"), "x");
    EXPECT_FALSE(prepareDataDirectory(nullptr, {dir.file("file"), dir.file("file/tollbeam")}));
    EXPECT_EQ(1u, messages.shown.size());
}

// An ordinary user's start: the machine directory is never tried (the window
// runs without privileges and could not write it), the per-user folder is made
// private and used without a word; the message stays for a real failure.
TEST_F(DataDirectoryTest, OrdinaryUserGoesStraightToThePerUserFolder) {
    std::string machine = dir.file("tollbeam"); // would be creatable: still not used
    std::string perUser = dir.file("home/.local/share/tollbeam");
    EXPECT_TRUE(prepareDataDirectory(nullptr, {machine, perUser, false}));
    EXPECT_EQ(perUser, dataDirectory());
    EXPECT_EQ(0u, modeOf(machine));
    EXPECT_EQ(0700u, modeOf(perUser));
    EXPECT_TRUE(messages.shown.empty());

    resetDeviceDatabaseState();
    writeFileText(dir.file("file"), "x");
    EXPECT_FALSE(prepareDataDirectory(nullptr, {machine, dir.file("file/tollbeam"), false}));
    ASSERT_EQ(1u, messages.shown.size());
    EXPECT_EQ("Unable to create Tollbeam.data file at location: " + machine +
                  ", Creating Tollbeam.data file at location: " + dir.file("file/tollbeam"),
              messages.shown[0].text);
}

// The choice itself shows nothing: it says whether the fallback is to be
// announced, with both places, and the window's box is built from that.
TEST_F(DataDirectoryTest, ChoiceNamesTheFallbackMessageWithoutShowingIt) {
    std::string machine = dir.file("no/such/parent/tollbeam");
    std::string fallback = dir.file("home/tollbeam");
    DataDirectoryChoice choice = chooseDataDirectory({machine, fallback});
    EXPECT_TRUE(choice.ready);
    EXPECT_TRUE(choice.tellFallback);
    EXPECT_EQ(machine, choice.machineDirectory);
    EXPECT_EQ(fallback, choice.fallbackDirectory);
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_EQ("Unable to create Tollbeam.data file at location: " + machine +
                  ", Creating Tollbeam.data file at location: " + fallback,
              outcomeText(choice));

    // Made once, then used in silence.
    choice = chooseDataDirectory({machine, fallback});
    EXPECT_TRUE(choice.ready);
    EXPECT_FALSE(choice.tellFallback);
    EXPECT_EQ("", outcomeText(choice));

    // A fallback that cannot be made is announced and not ready.
    writeFileText(dir.file("file"), "x");
    choice = chooseDataDirectory({machine, dir.file("file/tollbeam")});
    EXPECT_FALSE(choice.ready);
    EXPECT_TRUE(choice.tellFallback);
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(DataDirectoryTest, DefaultPlacesFollowTheEnvironment) {
    std::string oldHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    const char* oldXdg = std::getenv("XDG_DATA_HOME");
    std::string savedXdg = oldXdg ? oldXdg : "";

    setenv("HOME", "/home/someone", 1);
    unsetenv("XDG_DATA_HOME");
    DataDirectoryPlaces places = defaultDataDirectoryPlaces();
    EXPECT_EQ("/var/lib/tollbeam", places.machineDirectory);
    EXPECT_EQ("/home/someone/.local/share/tollbeam", places.fallbackDirectory);
    EXPECT_EQ(geteuid() == 0, places.perMachine);

    setenv("XDG_DATA_HOME", "/data/xdg", 1);
    EXPECT_EQ("/data/xdg/tollbeam", defaultDataDirectoryPlaces().fallbackDirectory);
    setenv("XDG_DATA_HOME", "relative/path", 1); // not absolute: ignored
    EXPECT_EQ("/home/someone/.local/share/tollbeam",
              defaultDataDirectoryPlaces().fallbackDirectory);

    setenv("HOME", oldHome.c_str(), 1);
    if (oldXdg) {
        setenv("XDG_DATA_HOME", savedXdg.c_str(), 1);
    } else {
        unsetenv("XDG_DATA_HOME");
    }
}

} // namespace
