// halyard-demo's own pieces: its command line, the folder it works in (demo
// branding, images, Readme with the device passwords, the data directory), a
// folder's own files kept, and the emulator-state file it writes at the end.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "demo/demo_folder.h"
#include "demo/demo_options.h"
#include "demo/demo_resources.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

DemoOptions parse(std::vector<std::string> args, bool ok = true) {
    DemoOptions o;
    std::string error;
    EXPECT_EQ(ok, parseDemoOptions(args, o, error)) << error;
    return o;
}

std::string parseError(std::vector<std::string> args) {
    DemoOptions o;
    std::string error;
    EXPECT_FALSE(parseDemoOptions(args, o, error));
    return error;
}

TEST(DemoOptions, ScenarioKeepAndHelp) {
    DemoOptions o = parse({});
    EXPECT_TRUE(o.scenarioFile.empty());
    EXPECT_TRUE(o.keepFolder.empty());
    EXPECT_FALSE(o.help);
    o = parse({"home.json"});
    EXPECT_EQ("home.json", o.scenarioFile);
    o = parse({"--keep", "/tmp/d", "x.json"});
    EXPECT_EQ("/tmp/d", o.keepFolder);
    EXPECT_EQ("x.json", o.scenarioFile);
    o = parse({"x.json", "--keep=rel/dir"});
    EXPECT_EQ("rel/dir", o.keepFolder);
    EXPECT_TRUE(parse({"--help"}).help);
    // After "--" a name that starts with a dash is a scenario file.
    EXPECT_EQ("-odd.json", parse({"--", "-odd.json"}).scenarioFile);
}

TEST(DemoOptions, MistakesAreNamed) {
    EXPECT_EQ("--keep needs a folder", parseError({"--keep"}));
    EXPECT_EQ("--keep needs a folder", parseError({"--keep="}));
    EXPECT_EQ("--keep is given twice", parseError({"--keep", "a", "--keep", "b"}));
    EXPECT_EQ("unknown option --verbose", parseError({"--verbose"}));
    EXPECT_EQ("only one scenario file can run (a.json, b.json)", parseError({"a.json", "b.json"}));
    EXPECT_NE(std::string::npos, demoUsage().find("--keep DIR"));
}

TEST(DemoScenario, BuiltInIsTheHomeNetworkWithAFourthAdapterElsewhere) {
    sim::Network net = loadDemoScenario("");
    ASSERT_EQ(4u, net.stations().size());
    const sim::Station& local = net.local();
    EXPECT_EQ("00:B0:52:00:00:10", sim::formatMac(local.mac));
    int sameNetwork = 0;
    for (const sim::Station& s : net.stations()) {
        EXPECT_TRUE(s.isAv());
        if (&s != &local && net.sameNetwork(local, s))
            ++sameNetwork;
    }
    EXPECT_EQ(2, sameNetwork);
    const sim::Station& other = net.station("00:B0:52:00:00:20");
    EXPECT_FALSE(net.sameNetwork(local, other));
    EXPECT_EQ(sim::dakOf("MNBV-CXZL-KJHG-FDSA"), other.dak);
}

TEST(DemoScenario, FileErrorsNameTheFile) {
    TempDir dir;
    writeFileBytes(dir.file("bad.json"), {'{', '"', 'x'});
    EXPECT_THROW(loadDemoScenario(dir.file("bad.json")), sim::ScenarioError);
    EXPECT_THROW(loadDemoScenario(dir.file("missing.json")), sim::ScenarioError);
}

struct DemoFolderTest : ::testing::Test {
    TempDir dir;
    sim::Network net = loadDemoScenario("");
    std::string folder() const { return dir.file("demo"); }
    std::string in(const char* name) const { return folder() + "/" + name; }
    void prepare() {
        std::string error;
        ASSERT_TRUE(prepareDemoFolder(folder(), net, error)) << error;
    }
};

TEST_F(DemoFolderTest, HoldsTheBrandingImagesReadmeAndDataDirectory) {
    prepare();
    std::vector<uint8_t> prefs = readFileBytes(in(kPrefsFileName));
    ASSERT_EQ(kPrefsFileSize, prefs.size());
    PrefsFile read;
    std::memcpy(&read, prefs.data(), sizeof read);
    EXPECT_STREQ("Halyard Demo", read.appName);
    EXPECT_EQ(1, read.autoScan);
    EXPECT_EQ(20, read.diagnosticsLevel);
    EXPECT_EQ(30, read.scanInterval);
    for (const char* asset : {"OUIList.txt", "cert.bmp", "oemBig.bmp", "oemDevice.bmp",
                              "oemDeviceIconHS.bmp", "oemDeviceIconLS.bmp"}) {
        const DemoResource* r = findDemoResource(asset);
        ASSERT_NE(nullptr, r) << asset;
        std::vector<uint8_t> bytes = readFileBytes(in(asset));
        EXPECT_EQ(std::vector<uint8_t>(r->data, r->data + r->size), bytes) << asset;
        // The same bytes as the branding the shell demo copies.
        EXPECT_EQ(readFileBytes(std::string(HALYARD_SOURCE_DIR "/scripts/demo-assets/") + asset),
                  bytes)
            << asset;
    }
    EXPECT_FALSE(fs::exists(in("scenario.json")));
    EXPECT_TRUE(fs::is_directory(in("data")));
    EXPECT_EQ(in("data"), demoPageSetup(folder()).machineDataDirectory);
    EXPECT_EQ(folder(), demoPageSetup(folder()).workingFolder);
    EXPECT_TRUE(demoPageSetup(folder()).useDataPlaces);

    // The AV images for the local adapter: a parameter block with its MAC and
    // a firmware image whose version text is one step newer.
    std::vector<uint8_t> pib = readFileBytes(in(kDemoAvParametersFile));
    ASSERT_EQ(sim::kPibLength, pib.size());
    EXPECT_EQ(0, std::memcmp(pib.data() + 12, net.local().mac.data(), 6));
    std::vector<uint8_t> nvm = readFileBytes(in(kDemoAvFirmwareFile));
    std::string nvmText(nvm.begin(), nvm.end());
    EXPECT_NE(std::string::npos, nvmText.find(std::string("KARSA01-MAC-3-2") + '\0'));
    EXPECT_FALSE(fs::exists(in(kDemoHp10ImageFile)));

    // Files with the device passwords are the user's alone.
    struct stat st {};
    ASSERT_EQ(0, ::stat(in("Readme.txt").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
}

TEST_F(DemoFolderTest, ReadmeListsEveryPasswordAndTheOtherNetwork) {
    std::string readme = demoReadme(net);
    EXPECT_EQ(0u, readme.rfind(std::string(kDemoReadmeFirstLine) + "\n", 0));
    for (const sim::Station& s : net.stations()) {
        size_t line = readme.find(sim::formatMac(s.mac) + "  " + s.devicePassword);
        EXPECT_NE(std::string::npos, line) << sim::formatMac(s.mac);
    }
    size_t garage =
        readme.find("00:B0:52:00:00:20  MNBV-CXZL-KJHG-FDSA  Garage (on another network");
    EXPECT_NE(std::string::npos, garage);
    EXPECT_NE(std::string::npos,
              readme.find("00:B0:52:00:00:10  QWER-TYUI-OPAS-DFGH  Study (wired"));
    EXPECT_EQ(std::string::npos,
              readme.find("00:B0:52:00:00:11  ZXCV-BNMA-SDFG-HJKL  Living room ("));
    EXPECT_NE(std::string::npos, readme.find(kDemoAvFirmwareFile));
}

TEST_F(DemoFolderTest, KeepsTheFolderOwnFilesAndRewritesItsOwnReadme) {
    fs::create_directories(folder());
    writeFileBytes(in(kPrefsFileName), std::vector<uint8_t>(kPrefsFileSize, 0x41));
    writeFileBytes(in("oemBig.bmp"), {1, 2, 3});
    prepare();
    EXPECT_EQ(std::vector<uint8_t>(kPrefsFileSize, 0x41), readFileBytes(in(kPrefsFileName)));
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3}), readFileBytes(in("oemBig.bmp")));

    // The demo's own Readme follows the scenario; a reseller's stays.
    net.station("00:B0:52:00:00:20").devicePassword = "CHAN-GEDP-ASSW-ORDX";
    prepare();
    std::vector<uint8_t> readme = readFileBytes(in("Readme.txt"));
    EXPECT_NE(std::string::npos,
              std::string(readme.begin(), readme.end()).find("CHAN-GEDP-ASSW-ORDX"));
    writeFileBytes(in("Readme.txt"), {'O', 'w', 'n', '\n'});
    prepare();
    EXPECT_EQ((std::vector<uint8_t>{'O', 'w', 'n', '\n'}), readFileBytes(in("Readme.txt")));
}

TEST_F(DemoFolderTest, HomePlug10LocalGetsImageAndConfigurationFiles) {
    net = sim::Network::fromFile(sim::scenarioPath("hp10.json"));
    prepare();
    std::vector<uint8_t> config = readFileBytes(in(kDemoHp10ConfigFile));
    ASSERT_EQ(960u, config.size());
    EXPECT_EQ(0, std::memcmp(config.data(), net.local().mac.data(), 6));
    std::vector<uint8_t> image = readFileBytes(in(kDemoHp10ImageFile));
    std::string text(image.begin(), image.end());
    EXPECT_NE(std::string::npos, text.find(std::string("HP10-MAC-0001-3-2") + '\0'));
    EXPECT_FALSE(fs::exists(in(kDemoAvFirmwareFile)));
}

TEST_F(DemoFolderTest, UnwritableFolderIsReported) {
    writeFileBytes(dir.file("file"), {1});
    std::string error;
    EXPECT_FALSE(prepareDemoFolder(dir.file("file"), net, error));
    EXPECT_NE(std::string::npos, error.find(dir.file("file")));
}

// --keep DIR: a link another account planted among the folder's files is
// refused with its name, never followed to read branding from or to create
// the database folder elsewhere; a folder others may write is refused whole.
TEST_F(DemoFolderTest, KeptFolderRefusesPlantedLinksAndFoldersOthersMayWrite) {
    const std::string elsewhere = dir.file("elsewhere");
    fs::create_directories(elsewhere);
    writeFileBytes(elsewhere + "/prefs", std::vector<uint8_t>(kPrefsFileSize, 0x42));
    for (const char* name : {kPrefsFileName, "oemBig.bmp", "Readme.txt", "data"}) {
        SCOPED_TRACE(name);
        fs::remove_all(folder());
        fs::create_directories(folder());
        const std::string target = std::string(name) == "data" ? elsewhere : elsewhere + "/prefs";
        ASSERT_EQ(0, symlink(target.c_str(), in(name).c_str()));
        std::string error;
        EXPECT_FALSE(prepareDemoFolder(folder(), net, error));
        EXPECT_NE(std::string::npos, error.find(in(name))) << error;
        EXPECT_NE(std::string::npos, error.find("symbolic link")) << error;
    }
    EXPECT_EQ(std::vector<uint8_t>(kPrefsFileSize, 0x42), readFileBytes(elsewhere + "/prefs"));
    EXPECT_EQ(1, std::distance(fs::directory_iterator(elsewhere), fs::directory_iterator()));

    fs::remove_all(folder());
    fs::create_directories(folder());
    fs::permissions(folder(), fs::perms::all);
    std::string error;
    EXPECT_FALSE(prepareDemoFolder(folder(), net, error));
    EXPECT_NE(std::string::npos, error.find("another account may write")) << error;
    EXPECT_FALSE(fs::exists(in(kPrefsFileName)));
}

TEST(DemoFolder, TemporaryFolderIsFreshPrivateAndRemovable) {
    std::string error;
    std::string a = createTemporaryDemoFolder(error);
    std::string b = createTemporaryDemoFolder(error);
    ASSERT_FALSE(a.empty()) << error;
    ASSERT_FALSE(b.empty()) << error;
    EXPECT_NE(a, b);
    EXPECT_NE(std::string::npos, a.find("/halyard-demo-"));
    struct stat st {};
    ASSERT_EQ(0, ::stat(a.c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 0777);
    writeFileBytes(a + "/x", {1});
    removeDemoFolder(a);
    removeDemoFolder(b);
    EXPECT_FALSE(fs::exists(a));
    EXPECT_FALSE(fs::exists(b));
}

TEST(DemoFolder, TitleAndLock) {
    EXPECT_EQ("Halyard Demo - demonstration on emulated adapters", demoWindowTitle("Halyard Demo"));
    TempDir dir;
    EXPECT_EQ(demoLockName(dir.path()), demoLockName(dir.path() + "/."));
    EXPECT_NE(demoLockName(dir.path()), demoLockName(dir.file("other")));
    EXPECT_NE("halyard", demoLockName(dir.path()));
}

TEST(EmulatorState, ListsKeysFirmwareAndCounters) {
    sim::Network net = loadDemoScenario("");
    net.station("00:B0:52:00:00:11").setNmk(sim::nmkOf("Private1"));
    net.station("00:B0:52:00:00:11").keyChanges = 2;
    TempDir dir;
    std::string error;
    ASSERT_TRUE(writeEmulatorState(dir.file(kEmulatorStateFile), net, error)) << error;
    std::vector<uint8_t> bytes = readFileBytes(dir.file(kEmulatorStateFile));
    nlohmann::json state = nlohmann::json::parse(bytes.begin(), bytes.end());
    ASSERT_EQ(4u, state["stations"].size());
    const nlohmann::json& s = state["stations"][1];
    EXPECT_EQ("00:B0:52:00:00:11", s["mac"]);
    EXPECT_EQ("av", s["family"]);
    EXPECT_EQ(false, s["local"]);
    EXPECT_EQ("ZXCV-BNMA-SDFG-HJKL", s["devicePassword"]);
    auto nmk = sim::nmkOf("Private1");
    char hex[33];
    for (size_t i = 0; i < 16; ++i)
        std::snprintf(hex + 2 * i, 3, "%02X", nmk[i]);
    EXPECT_EQ(std::string(hex), s["nmk"]);
    EXPECT_EQ(2, s["keyChanges"]);
    EXPECT_EQ("KARSA01-MAC-3-1", s["firmware"]);
    EXPECT_EQ(true, state["stations"][0]["local"]);
    struct stat st {};
    ASSERT_EQ(0, ::stat(dir.file(kEmulatorStateFile).c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
}

} // namespace
