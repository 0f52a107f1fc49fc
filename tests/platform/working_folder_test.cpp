// Where halyard and brandkit find their branding and where halyard's logs go:
// the search order current directory > user's config folder > packaged
// defaults, the XDG folders, and a whole start-up from an empty home folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "diagnostics/scan_log.h"
#include "platform/single_instance.h"
#include "platform/working_folder.h"
#include "storage/preferences.h"
#include "support/temp_dir.h"
#include "ui/shell.h"

namespace {

mode_t modeOf(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// Sets (or with nullopt unsets) an environment variable for one test.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = std::getenv(name))
            old_ = old;
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }

  private:
    const char* name_;
    std::optional<std::string> old_;
};

// Every file and folder below `root`, relative to it.
std::set<std::string> treeOf(const std::string& root) {
    std::set<std::string> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root))
        out.insert(std::filesystem::relative(e.path(), root).string());
    return out;
}

class WorkingFolderTest : public ::testing::Test {
  protected:
    TempDir dir;
    std::string current, config, packaged;
    void SetUp() override {
        current = dir.file("cwd");
        config = dir.file("config/halyard");
        packaged = dir.file("usr/share/halyard");
        for (const std::string& d : {current, config, packaged})
            std::filesystem::create_directories(d);
    }
    void put(const std::string& folder) { writeFileText(inFolder(folder, "OEMPrefs.dat"), "x"); }
};

TEST_F(WorkingFolderTest, SearchOrderIsCurrentThenConfigThenPackaged) {
    put(current);
    put(config);
    put(packaged);
    WorkingFolderChoice c = chooseWorkingFolder(current, config, packaged);
    EXPECT_EQ(current, c.folder);
    EXPECT_EQ(current + "/OEMPrefs.dat", c.prefsPath);
    EXPECT_TRUE(c.isCurrent);
    EXPECT_FALSE(c.isPackaged);

    std::filesystem::remove(current + "/OEMPrefs.dat");
    c = chooseWorkingFolder(current, config, packaged);
    EXPECT_EQ(config, c.folder);
    EXPECT_FALSE(c.isCurrent);
    EXPECT_FALSE(c.isPackaged);

    std::filesystem::remove(config + "/OEMPrefs.dat");
    c = chooseWorkingFolder(current, config, packaged);
    EXPECT_EQ(packaged, c.folder);
    EXPECT_EQ(packaged + "/OEMPrefs.dat", c.prefsPath);
    EXPECT_TRUE(c.isPackaged);
}

// A current directory that another account could have prepared (a folder
// others may write, such as /tmp, or an OEMPrefs.dat others may rewrite or that
// belongs to someone else) does not brand the program: it is passed over as if
// it held no OEMPrefs.dat, and the program says so in one line.
TEST_F(WorkingFolderTest, CurrentFolderOthersCouldHavePlantedIsPassedOver) {
    put(current);
    put(config);
    const std::string prefs = current + "/OEMPrefs.dat";
    chmod(current.c_str(), 0755);
    chmod(prefs.c_str(), 0644);
    EXPECT_TRUE(chooseWorkingFolder(current, config, packaged).isCurrent);
    EXPECT_TRUE(chooseWorkingFolder(current, config, packaged).notice.empty());

    chmod(current.c_str(), 01777);
    WorkingFolderChoice c = chooseWorkingFolder(current, config, packaged);
    EXPECT_FALSE(c.isCurrent);
    EXPECT_EQ(config, c.folder);
    EXPECT_NE(std::string::npos, c.notice.find(current)) << c.notice;
    chmod(current.c_str(), 0755);

    chmod(prefs.c_str(), 0666);
    c = chooseWorkingFolder(current, config, packaged);
    EXPECT_EQ(config, c.folder);
    EXPECT_NE(std::string::npos, c.notice.find(prefs)) << c.notice;
    chmod(prefs.c_str(), 0644);

    // A link in its place is not the folder's own file either.
    std::filesystem::remove(prefs);
    ASSERT_EQ(0, symlink((config + "/OEMPrefs.dat").c_str(), prefs.c_str()));
    EXPECT_EQ(config, chooseWorkingFolder(current, config, packaged).folder);
    std::filesystem::remove(prefs);
    put(current);

    // The program's own choice prints the notice as one line on standard error.
    chmod(current.c_str(), 0777);
    const std::string before = std::filesystem::current_path().string();
    ASSERT_EQ(0, chdir(current.c_str()));
    ScopedEnv h("XDG_CONFIG_HOME", dir.file("config"));
    testing::internal::CaptureStderr();
    c = chooseWorkingFolder();
    const std::string printed = testing::internal::GetCapturedStderr();
    ASSERT_EQ(0, chdir(before.c_str()));
    chmod(current.c_str(), 0755);
    EXPECT_EQ(config, c.folder);
    EXPECT_EQ(c.notice + "\n", printed);
    EXPECT_EQ(1, std::count(printed.begin(), printed.end(), '\n'));

    if (geteuid() != 0)
        return; // giving the file to another account needs root
    ASSERT_EQ(0, chown(prefs.c_str(), 65534, 65534));
    EXPECT_EQ(config, chooseWorkingFolder(current, config, packaged).folder);
    ASSERT_EQ(0, chown(prefs.c_str(), 0, 0));
    ASSERT_EQ(0, chown(current.c_str(), 65534, 65534));
    EXPECT_EQ(config, chooseWorkingFolder(current, config, packaged).folder);
}

TEST_F(WorkingFolderTest, WithoutAnyPrefsTheConfigFolderIsChosenAndNothingIsMade) {
    // Pictures or a vendor list alone do not make a folder the working folder.
    writeFileText(current + "/OUIList.txt", "00B052\tX\n");
    const std::string missing = dir.file("nothing/halyard");
    WorkingFolderChoice c = chooseWorkingFolder(current, missing, packaged);
    EXPECT_EQ(missing, c.folder);
    EXPECT_EQ(missing + "/OEMPrefs.dat", c.prefsPath);
    EXPECT_FALSE(c.isCurrent);
    EXPECT_FALSE(c.isPackaged);
    EXPECT_EQ(0u, modeOf(missing)); // choosing creates nothing
    // A folder named OEMPrefs.dat is not a preferences file.
    std::filesystem::create_directories(packaged + "/OEMPrefs.dat");
    EXPECT_EQ(missing, chooseWorkingFolder(current, missing, packaged).folder);
    // No home at all: the current directory, as before.
    c = chooseWorkingFolder(current, "", "");
    EXPECT_EQ(current, c.folder);
    EXPECT_TRUE(c.isCurrent);
}

TEST_F(WorkingFolderTest, XdgFoldersFollowTheEnvironment) {
    ScopedEnv home("HOME", dir.path());
    {
        ScopedEnv c("XDG_CONFIG_HOME", std::nullopt);
        ScopedEnv s("XDG_STATE_HOME", std::nullopt);
        EXPECT_EQ(dir.path() + "/.config/halyard", userConfigFolder());
        EXPECT_EQ(dir.path() + "/.local/state/halyard", userStateFolder());
    }
    {
        ScopedEnv c("XDG_CONFIG_HOME", std::string("/etc/xdg-test"));
        ScopedEnv s("XDG_STATE_HOME", std::string("/var/xdg-state"));
        EXPECT_EQ("/etc/xdg-test/halyard", userConfigFolder());
        EXPECT_EQ("/var/xdg-state/halyard", userStateFolder());
    }
    {
        // Relative values are invalid by the base directory rules and ignored.
        ScopedEnv c("XDG_CONFIG_HOME", std::string("rel/config"));
        ScopedEnv s("XDG_STATE_HOME", std::string(""));
        EXPECT_EQ(dir.path() + "/.config/halyard", userConfigFolder());
        EXPECT_EQ(dir.path() + "/.local/state/halyard", userStateFolder());
    }
}

TEST_F(WorkingFolderTest, LogsStayInTheOwnCurrentFolderElseGoToThePrivateStateFolder) {
    const std::string state = dir.file("home/.local/state/halyard");
    put(current);
    EXPECT_EQ(current, chooseLogFolder(chooseWorkingFolder(current, config, packaged), state));
    EXPECT_EQ(0u, modeOf(state));

    // The config folder holds settings only; the packaged defaults are read only.
    std::filesystem::remove(current + "/OEMPrefs.dat");
    put(config);
    EXPECT_EQ(state, chooseLogFolder(chooseWorkingFolder(current, config, packaged), state));
    EXPECT_EQ(0700u, modeOf(state));
    EXPECT_EQ(0700u, modeOf(dir.file("home/.local/state")));
    EXPECT_EQ(0700u, modeOf(dir.file("home/.local")));
    std::filesystem::remove(config + "/OEMPrefs.dat");
    put(packaged);
    EXPECT_EQ(state, chooseLogFolder(chooseWorkingFolder(current, config, packaged), state));

    // A current folder the user may not write to.
    if (geteuid() != 0) {
        put(current);
        chmod(current.c_str(), 0555);
        EXPECT_EQ(state, chooseLogFolder(chooseWorkingFolder(current, config, packaged), state));
        chmod(current.c_str(), 0755);
    }
}

TEST_F(WorkingFolderTest, MakeFoldersCreatesParentsAndRefusesAFileInTheWay) {
    EXPECT_TRUE(makeFolders(dir.file("a/b/c"), 0700));
    EXPECT_EQ(0700u, modeOf(dir.file("a/b/c")));
    EXPECT_EQ(0700u, modeOf(dir.file("a")));
    EXPECT_TRUE(makeFolders(dir.file("a/b/c"), 0700)); // existing: fine
    writeFileText(dir.file("file"), "x");
    EXPECT_FALSE(makeFolders(dir.file("file/sub"), 0700));
    EXPECT_FALSE(makeFolders("", 0700));
    EXPECT_EQ("/a/b", folderOf("/a/b/c"));
    EXPECT_EQ("/", folderOf("/c"));
    EXPECT_EQ("", folderOf("c"));
}

TEST_F(WorkingFolderTest, PackageListNamesTheProgram) {
    writeFileText(dir.file("halyard.list"),
                  "/.\n/usr\n/usr/bin\n/usr/bin/halyard\n/usr/bin/brandkit\n");
    EXPECT_TRUE(installedByPackage("/usr/bin/halyard", dir.file("halyard.list")));
    EXPECT_FALSE(installedByPackage("/usr/bin/halyar", dir.file("halyard.list")));
    EXPECT_FALSE(installedByPackage("/opt/halyard/bin/halyard", dir.file("halyard.list")));
    EXPECT_FALSE(installedByPackage("/usr/bin/halyard", dir.file("missing.list")));
    EXPECT_FALSE(installedByPackage("", dir.file("halyard.list")));
    // The packaged folder lies beside the program's bin folder.
    const std::string program = programPath();
    ASSERT_FALSE(program.empty());
    EXPECT_EQ(folderOf(folderOf(program)) + "/share/halyard", packagedFolder());
}

// halyard's start-up from an empty home folder and a current directory without
// OEMPrefs.dat (a start from the desktop menu without the package's defaults):
// the only things made are the private config folder with an empty OEMPrefs.dat
// and the private state folder for the logs.
TEST_F(WorkingFolderTest, StartFromAnEmptyHomeCreatesOnlyTheXdgFolders) {
    const std::string home = dir.file("home");
    std::filesystem::create_directories(home);
    ScopedEnv h("HOME", home);
    ScopedEnv c("XDG_CONFIG_HOME", std::nullopt);
    ScopedEnv s("XDG_STATE_HOME", std::nullopt);
    ScopedEnv r("XDG_RUNTIME_DIR", dir.path());
    const std::string before = std::filesystem::current_path().string();
    std::filesystem::current_path(home);

    ASSERT_TRUE(startShell());
    EXPECT_EQ(home + "/.config/halyard", workingFolder());
    EXPECT_EQ(home + "/.local/state/halyard/scan.log", inLogDirectory("scan.log"));
    const std::set<std::string> expected = {
        ".config", ".config/halyard", ".config/halyard/OEMPrefs.dat",
        ".local",  ".local/state",    ".local/state/halyard"};
    EXPECT_EQ(expected, treeOf(home));
    EXPECT_EQ(0700u, modeOf(home + "/.config/halyard"));
    EXPECT_EQ(0700u, modeOf(home + "/.local/state/halyard"));
    EXPECT_EQ(0u, std::filesystem::file_size(home + "/.config/halyard/OEMPrefs.dat"));
    releaseSingleInstance();

    // The second start reads that file and changes nothing.
    ASSERT_TRUE(startShell());
    EXPECT_EQ(expected, treeOf(home));
    releaseSingleInstance();

    // A developer's folder with OEMPrefs.dat: everything stays there.
    const std::string dev = dir.file("dev");
    std::filesystem::create_directories(dev);
    writeFileBytes(dev + "/OEMPrefs.dat", std::vector<uint8_t>(269, 0));
    std::filesystem::current_path(dev);
    ASSERT_TRUE(startShell());
    EXPECT_EQ(dev, workingFolder());
    EXPECT_EQ(dev + "/scan.log", inLogDirectory("scan.log"));
    releaseSingleInstance();

    std::filesystem::current_path(before);
    setWorkingFolder("");
    resetScanLog();
    resetPreferences();
}

} // namespace
