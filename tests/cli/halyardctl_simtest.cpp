// halyardctl against the emulator on the in-memory wire, in virtual time: the
// output and JSON of every command, its exit code, and what the emulated
// devices hold afterwards (keys, factory resets, firmware written).
#include <fcntl.h>
#include <gtest/gtest.h>

#include <optional>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <nlohmann/json.hpp>
#include <sstream>

#include "cli/halyardctl.h"
#include "network/auto_scan.h"
#include "network/cycle_consumers.h"
#include "network/model.h"
#include "network/scan.h"
#include "platform/single_instance.h"
#include "sim/network.h"
#include "support/emulated_halyard.h"
#include "support/halyardctl_in_process.h"
#include "support/home_scenario.h"
#include "support/image_builders.h"
#include "ui/device_dialogs_logic.h"
#include "ui/main_page_logic.h"
#include "ui/shell.h"

namespace {

// Advice must never hand root the user's whole environment.
constexpr const char* kWholeEnvironmentSudo = "sudo -"
                                              "E";

using nlohmann::json;

using namespace home_json;
using Result = CtlRun;

class HalyardctlSim : public ::testing::Test {
  protected:
    void SetUp() override {
        h.writePreferences(EmulatedHalyard::defaultPreferences());
        net = &h.attachScenario(scenario());
    }
    virtual const char* scenario() const { return "home.json"; }

    Result run(const std::vector<std::string>& args, halyardctl::Environment env = {}) {
        if (env.historyPath.empty()) // watch records: never into the user's own history
            env.historyPath = h.dir.file("state/history.sqlite3");
        return runHalyardctl(h, args, env);
    }

    // A second run of the program: the state of the first one is gone, its files stay.
    void restartProgram() { resetAllHalyardState(); }

    sim::Station& station(const char* mac) { return net->station(mac); }

    EmulatedHalyard h;
    sim::Network* net = nullptr;
};

// ---- list --------------------------------------------------------------------------------

TEST_F(HalyardctlSim, ListJsonHasTheInterfaceAndEveryDeviceOfItsNetwork) {
    Result r = run({"--json", "list"});
    ASSERT_EQ(0, r.code) << r.err;
    json doc = json::parse(r.out);
    EXPECT_EQ("eth0", doc["interface"]);
    EXPECT_EQ("02:00:00:00:00:01", doc["mac"]);
    EXPECT_EQ("Public", doc["network"]);
    ASSERT_EQ(3u, doc["devices"].size()) << r.out; // the garage adapter is on another network
    const json& local = doc["devices"][0];
    EXPECT_EQ(kLocal, local["mac"]);
    EXPECT_EQ("local", local["location"]);
    EXPECT_EQ("HomePlug AV", local["family"]);
    EXPECT_EQ("KARSA02-MAC-3-1", local["firmware"]);
    EXPECT_DOUBLE_EQ(200.0, local["rate_mbps"].get<double>());
    EXPECT_EQ("Excellent", local["quality"]);
    EXPECT_TRUE(local["name"].is_string());
    EXPECT_TRUE(local["vendor"].is_string());
    std::map<std::string, json> remotes;
    for (size_t i = 1; i < doc["devices"].size(); ++i)
        remotes[doc["devices"][i]["mac"]] = doc["devices"][i];
    ASSERT_EQ(1u, remotes.count(kLiving));
    ASSERT_EQ(1u, remotes.count(kBedroom));
    EXPECT_EQ("remote", remotes[kLiving]["location"]);
    EXPECT_DOUBLE_EQ(120.0, remotes[kLiving]["rate_mbps"].get<double>());
    EXPECT_EQ("KARSA01-MAC-3-0", remotes[kBedroom]["firmware"]);
    for (const json& d : doc["devices"])
        for (const char* key :
             {"mac", "name", "location", "family", "firmware", "rate_mbps", "quality", "vendor"})
            EXPECT_TRUE(d.contains(key)) << key;
}

TEST_F(HalyardctlSim, ListPlainShowsOneLinePerDevice) {
    Result r = run({"list"});
    ASSERT_EQ(0, r.code) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("Interface eth0 (02:00:00:00:00:01), network Public"));
    EXPECT_NE(std::string::npos, r.out.find(kLiving));
    EXPECT_NE(std::string::npos, r.out.find(kBedroom));
    EXPECT_EQ(std::string::npos, r.out.find(kGarage));
    EXPECT_EQ(5, std::count(r.out.begin(), r.out.end(), '\n')); // title, header, three devices
}

TEST_F(HalyardctlSim, NameSetByRenameShowsInTheNextRun) {
    Result r = run({"rename", kLiving, "Living room"});
    ASSERT_EQ(0, r.code) << r.err;
    EXPECT_TRUE(h.wire.sent.empty()); // the database alone
    restartProgram();
    r = run({"--json", "list"});
    ASSERT_EQ(0, r.code) << r.err;
    json doc = json::parse(r.out);
    bool found = false;
    for (const json& d : doc["devices"])
        if (d["mac"] == kLiving) {
            EXPECT_EQ("Living room", d["name"]);
            found = true;
        }
    EXPECT_TRUE(found);
}

TEST_F(HalyardctlSim, ANameSetInOneProgramShowsInTheOther) {
    ASSERT_EQ(0, run({"rename", kBedroom, "Bedroom"}).code);
    // The window starts after halyardctl has ended.
    restartProgram();
    ASSERT_TRUE(startShell(h.workingFolder()));
    ASSERT_TRUE(createMainPage(h.setup(), nullptr));
    h.tick(20); // one automatic cycle finds the remotes
    int bedroom = findRowByMac(kBedroom);
    ASSERT_GE(bedroom, 0);
    EXPECT_EQ("Bedroom", mainPageState.rows[static_cast<size_t>(bedroom)].name);
    ASSERT_GE(findRowByMac(kLiving), 0);
    EXPECT_EQ(3u, mainPageState.rows.size());
    // The window names the living room (its Rename dialog's step) and is closed.
    uint8_t living[6];
    ASSERT_TRUE(parseMac(kLiving, living));
    std::string stored;
    ASSERT_EQ(RenameOutcome::Renamed,
              applyRename(findDeviceEntry(living), living, "Lounge", stored, nullptr));
    mainPageDeactivated();
    restartProgram();
    Result r = run({"--json", "list"});
    ASSERT_EQ(0, r.code) << r.err;
    std::map<std::string, std::string> names;
    json doc = json::parse(r.out);
    for (const json& d : doc["devices"])
        names[d["mac"].get<std::string>()] = d["name"].get<std::string>();
    EXPECT_EQ("Lounge", names[kLiving]) << r.out;
    EXPECT_EQ("Bedroom", names[kBedroom]) << r.out;
}

TEST_F(HalyardctlSim, RenameRefusesANameAnotherDeviceHas) {
    ASSERT_EQ(0, run({"rename", kLiving, "Kitchen"}).code);
    Result r = run({"rename", kBedroom, "Kitchen"});
    EXPECT_EQ(2, r.code);
    EXPECT_NE(std::string::npos, r.err.find("Please enter another name."));
    EXPECT_EQ(2, run({"rename", kBedroom, ""}).code);
}

TEST_F(HalyardctlSim, PasswordIsStoredAndUsedBySetKey) {
    Result r = run({"password", kLiving, kLivingPassword});
    ASSERT_EQ(0, r.code) << r.err;
    EXPECT_TRUE(h.wire.sent.empty());
    EXPECT_EQ(2, run({"password", kLiving, "abc"}).code);
    restartProgram();
    r = run({"set-key", "--network-password", "Harbour Net", kLiving});
    ASSERT_EQ(0, r.code) << r.err;
    EXPECT_EQ(sim::nmkOf("Harbour Net"), station(kLiving).nmk);
}

// Passwords kept off the command line (where every user sees them in ps): from
// a file, whose first line is the password, or asked for on the terminal.
TEST_F(HalyardctlSim, PasswordsComeFromFilesOrTheTerminalInsteadOfArguments) {
    const std::string devicePw = h.dir.file("living.pw");
    writeFileText(devicePw, std::string(kLivingPassword) + "\r\n");
    Result r = run({"password", kLiving, "--password-file", devicePw});
    ASSERT_EQ(0, r.code) << r.err;
    const std::string networkPw = h.dir.file("net.pw");
    writeFileText(networkPw, "Harbour Net\nsecond line is not part of it\n");
    restartProgram();
    r = run({"set-key", "--network-password-file", networkPw, "--local", kLiving});
    ASSERT_EQ(0, r.code) << r.err;
    EXPECT_EQ(sim::nmkOf("Harbour Net"), station(kLiving).nmk);
    EXPECT_EQ(sim::nmkOf("Harbour Net"), station(kLocal).nmk);

    // Left out: asked on the terminal, one prompt per password.
    restartProgram();
    halyardctl::Environment env;
    std::vector<std::string> prompts;
    env.askSecret = [&](const std::string& prompt) -> std::optional<std::string> {
        prompts.push_back(prompt);
        return std::string("Other Net");
    };
    r = run({"set-key", "--local", kLiving}, env);
    ASSERT_EQ(0, r.code) << r.err;
    EXPECT_EQ((std::vector<std::string>{"Network password: "}), prompts);
    EXPECT_EQ(sim::nmkOf("Other Net"), station(kLiving).nmk);
    EXPECT_EQ(std::string::npos, r.err.find("Other Net"));

    restartProgram();
    env.askSecret = [](const std::string&) -> std::optional<std::string> {
        return kGaragePassword;
    };
    r = run({"add", "--name", "Garage"}, env);
    ASSERT_EQ(0, r.code) << r.err;
    EXPECT_EQ(station(kLocal).nmk, station(kGarage).nmk);
}

// ---- set-key, public -----------------------------------------------------------------------

TEST_F(HalyardctlSim, SetKeyKeysTheRemoteAndTheLocalDevice) {
    Result r = run({"--json", "set-key", "--network-password", "Harbour Net", "--local",
                    std::string(kLiving) + "=" + kLivingPassword});
    ASSERT_EQ(0, r.code) << r.err;
    json doc = json::parse(r.out);
    EXPECT_EQ(true, doc["ok"]);
    EXPECT_EQ("set-key", doc["command"]);
    EXPECT_EQ(sim::nmkOf("Harbour Net"), station(kLocal).nmk);
    EXPECT_EQ(sim::nmkOf("Harbour Net"), station(kLiving).nmk);
    EXPECT_EQ(sim::defaultNmk(), station(kBedroom).nmk); // not named
    EXPECT_NE(std::string::npos, r.err.find("Encryption key has been changed successfully."));
    EXPECT_NE(std::string::npos, r.err.find("waiting 3 s")); // the fixed waits are announced
    restartProgram();
    r = run({"--json", "list"});
    ASSERT_EQ(0, r.code) << r.err;
    doc = json::parse(r.out);
    EXPECT_EQ("Private", doc["network"]);
    ASSERT_EQ(2u, doc["devices"].size());
    EXPECT_EQ(kLiving, doc["devices"][1]["mac"]);
}

TEST_F(HalyardctlSim, SetKeyWithAWrongDevicePasswordFailsWithTheWindowsMessage) {
    Result r = run({"set-key", "--network-password", "Harbour Net",
                    std::string(kLiving) + "=AAAA-BBBB-CCCC-DDDD"});
    EXPECT_EQ(1, r.code);
    EXPECT_NE(std::string::npos,
              r.err.find("One or more devices could not be added to your network due to invalid "
                         "device password."));
    EXPECT_EQ(sim::defaultNmk(), station(kLiving).nmk);
}

TEST_F(HalyardctlSim, SetKeyOfADeviceNotOnTheNetworkFailsBeforeAnyKeyIsSent) {
    Result r = run({"set-key", "--network-password", "Harbour Net",
                    std::string(kGarage) + "=" + kGaragePassword});
    EXPECT_EQ(1, r.code);
    EXPECT_NE(std::string::npos, r.err.find("is not on the network"));
    EXPECT_EQ(sim::defaultNmk(), station(kLocal).nmk);
    EXPECT_EQ(0u, station(kGarage).keyChanges);
}

TEST_F(HalyardctlSim, PublicPutsTheDevicesBackOnTheDefaultKey) {
    ASSERT_EQ(0, run({"set-key", "--network-password", "Harbour Net", "--local",
                      std::string(kLiving) + "=" + kLivingPassword})
                     .code);
    restartProgram();
    // The device password was stored by the first run.
    Result r = run({"public", "--local", kLiving});
    ASSERT_EQ(0, r.code) << r.err;
    EXPECT_EQ(sim::defaultNmk(), station(kLocal).nmk);
    EXPECT_EQ(sim::defaultNmk(), station(kLiving).nmk);
    EXPECT_NE(std::string::npos, r.out.find("Public"));
}

// On a HomePlug 1.0 network the keys are 8-byte 1.0 keys and the public network
// is the one of the password "HomePlug".
class HalyardctlHp10Sim : public HalyardctlSim {
  protected:
    const char* scenario() const override { return "hp10.json"; }
    static constexpr const char* kDesk = "00:04:87:00:00:10";
    static constexpr const char* kKitchen = "00:04:87:00:00:11";
    static constexpr const char* kHall = "00:04:87:00:00:12";
};

TEST_F(HalyardctlHp10Sim, SetKeyThenPublicOnAHomePlug10Network) {
    Result r = run({"--json", "set-key", "--network-password", "Harbour Net", "--local",
                    std::string(kKitchen) + "=QRSTUVWXYZABCDEF"});
    ASSERT_EQ(0, r.code) << r.err;
    EXPECT_EQ(sim::hp10KeyOf("Harbour Net"), station(kDesk).nek());
    EXPECT_EQ(sim::hp10KeyOf("Harbour Net"), station(kKitchen).nek());
    EXPECT_EQ(sim::defaultNek(), station(kHall).nek()); // not named

    restartProgram();
    // The device password was stored by the first run.
    r = run({"--json", "public", "--local", kKitchen});
    ASSERT_EQ(0, r.code) << r.err;
    json doc = json::parse(r.out);
    EXPECT_EQ(true, doc["ok"]);
    EXPECT_EQ(sim::defaultNek(), station(kDesk).nek());
    EXPECT_EQ(sim::defaultNek(), station(kKitchen).nek());
    EXPECT_EQ(sim::hp10KeyOf("HomePlug"), sim::defaultNek());

    restartProgram();
    r = run({"--json", "list"});
    ASSERT_EQ(0, r.code) << r.err;
    doc = json::parse(r.out);
    EXPECT_EQ("Public", doc["network"]) << r.out;
    EXPECT_EQ(3u, doc["devices"].size()) << r.out; // the shed stays on its own network
}

// ---- add ----------------------------------------------------------------------------------------

TEST_F(HalyardctlSim, AddBringsTheDeviceOntoTheNetworkAndNamesIt) {
    Result r = run({"add", "--password", kGaragePassword, "--name", "Garage"});
    ASSERT_EQ(0, r.code) << r.err;
    EXPECT_EQ(station(kLocal).nmk, station(kGarage).nmk);
    EXPECT_EQ(sim::defaultNmk(), station(kLocal).nmk); // back on the user's network
    EXPECT_NE(std::string::npos, r.out.find(kGarage)) << r.out;
    // The progress texts of the dialog, and the long waits, are shown.
    EXPECT_NE(std::string::npos, r.err.find("Trying to add device to the Network..."));
    EXPECT_NE(std::string::npos, r.err.find("waiting 10 s"));
    restartProgram();
    r = run({"--json", "list"});
    json doc = json::parse(r.out);
    bool named = false;
    for (const json& d : doc["devices"])
        named = named || (d["mac"] == kGarage && d["name"] == "Garage");
    EXPECT_TRUE(named) << r.out;
}

TEST_F(HalyardctlSim, AddOfAnAbsentDeviceFails) {
    Result r = run({"add", "--password", "NONE-OFTH-ESEA-DAPT", "--name", "Shed"});
    EXPECT_EQ(1, r.code);
    EXPECT_NE(std::string::npos, r.err.find("Unable to set the NMK of remote device!!!"));
    EXPECT_EQ(sim::defaultNmk(), station(kLocal).nmk); // the kept key went back
}

// ---- reset
// ----------------------------------------------------------------------------------------

TEST_F(HalyardctlSim, ResetWithYesResetsTheRemoteDevice) {
    station(kLiving).nmk = sim::nmkOf("Old Network");
    station(kLocal).nmk = sim::nmkOf("Old Network");
    Result r = run({"reset", kLiving, "--yes"});
    ASSERT_EQ(0, r.code) << r.err;
    EXPECT_EQ(1u, station(kLiving).factoryResets);
    EXPECT_EQ(0u, station(kLocal).factoryResets);
    EXPECT_EQ(sim::defaultNmk(), station(kLiving).nmk);
    EXPECT_NE(std::string::npos,
              r.err.find("Device has been reset to factory default successfully."));
}

TEST_F(HalyardctlSim, ResetAsksOnATerminalAndWithoutOneNeedsYes) {
    Result r = run({"reset", kLocal});
    EXPECT_EQ(2, r.code);
    EXPECT_NE(std::string::npos, r.err.find("--yes"));
    EXPECT_TRUE(h.wire.sent.empty());
    halyardctl::Environment env;
    std::string asked;
    env.confirm = [&](const std::string& q) {
        asked = q;
        return false;
    };
    r = run({"reset", kLocal}, env);
    EXPECT_EQ(2, r.code);
    EXPECT_NE(std::string::npos, asked.find("Do you want to reset factory default ?"));
    EXPECT_TRUE(h.wire.sent.empty());
    env.confirm = [](const std::string&) { return true; };
    r = run({"reset", kLocal}, env);
    EXPECT_EQ(0, r.code) << r.err;
    EXPECT_EQ(1u, station(kLocal).factoryResets);
}

TEST_F(HalyardctlSim, ResetOfAnAbsentDeviceFails) {
    Result r = run({"reset", kGarage, "--yes"});
    EXPECT_EQ(1, r.code);
    EXPECT_EQ(0u, station(kGarage).factoryResets);
}

// ---- upgrade
// ---------------------------------------------------------------------------------------

class HalyardctlUpgradeSim : public HalyardctlSim {
  protected:
    void SetUp() override {
        HalyardctlSim::SetUp();
        firmware = makeNvmImage({{0x00200000, patternBytes(6000, 3), 0x11, 0x22}});
        writeFileBytes(nvm, firmware);
        writeFileBytes(pib, makeValidPib33());
    }
    std::string nvm = h.dir.file("fw.nvm");
    std::string pib = h.dir.file("params.pib");
    std::vector<uint8_t> firmware;
};

TEST_F(HalyardctlUpgradeSim, UpgradeWritesTheFirmwareWithProgressLines) {
    Result r = run({"upgrade", "--pib", pib, "--nvm", nvm});
    ASSERT_EQ(0, r.code) << r.err;
    EXPECT_EQ(firmware, station(kLocal).nvm);
    EXPECT_EQ(sim::kPibLength, station(kLocal).pib.size());
    EXPECT_EQ(1u, station(kLocal).commits);
    EXPECT_NE(std::string::npos, r.out.find("upgrade: 100% (")) << r.out;
    EXPECT_EQ(std::string::npos, r.out.find('\r')); // no bar when output is no terminal
    EXPECT_NE(std::string::npos, r.err.find("Device firmware has been upgraded successfully."));
}

TEST_F(HalyardctlUpgradeSim, UpgradeDrawsABarOnATerminal) {
    halyardctl::Environment env;
    env.outIsTerminal = true;
    Result r = run({"upgrade", "--pib", pib, "--nvm", nvm}, env);
    ASSERT_EQ(0, r.code) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("\r[########################################] 100%"))
        << r.out;
}

TEST_F(HalyardctlUpgradeSim, CtrlCStopsTheUpgradeAtABlockBoundary) {
    std::vector<uint8_t> before = station(kLocal).nvm;
    // Ctrl-C while the first block of the transfer is on its way.
    bool raised = false;
    net->onLog = [&](const std::string& line) {
        if (!raised && line.find("av 0xA020") != std::string::npos) {
            raised = true;
            std::raise(SIGINT);
        }
    };
    Result r = run({"upgrade", "--pib", pib, "--nvm", nvm});
    net->onLog = nullptr;
    ASSERT_TRUE(raised);
    EXPECT_EQ(1, r.code);
    EXPECT_NE(std::string::npos, r.err.find("upgrade cancelled at a block boundary")) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("upgrade: ")) << r.out; // at least one block went
    EXPECT_EQ(0u, station(kLocal).commits);
    EXPECT_EQ(before, station(kLocal).nvm);
}

// A HomePlug Turbo local adapter: the loader upgrade.
class HalyardctlHp10UpgradeSim : public HalyardctlSim {
  protected:
    const char* scenario() const override { return "turbo.json"; }
    void SetUp() override {
        HalyardctlSim::SetUp();
        writeFileBytes(image, firmware);
        before = station(kHp10Local).loaderModules;
    }
    static constexpr const char* kHp10Local = "00:04:87:00:01:10";
    std::vector<uint8_t> firmware = patternBytes(5000, 7);
    std::string image = h.dir.file("fw.img");
    std::map<uint32_t, sim::Bytes> before;
};

TEST_F(HalyardctlHp10UpgradeSim, UpgradeWritesTheLoaderImage) {
    Result r = run({"upgrade", "--image", image});
    ASSERT_EQ(0, r.code) << r.err;
    EXPECT_EQ(firmware, station(kHp10Local).loaderModules[0x100]);
    EXPECT_FALSE(station(kHp10Local).inLoader);
    EXPECT_EQ(1u, station(kHp10Local).restarts);
    EXPECT_NE(std::string::npos, r.err.find("Device firmware has been upgraded successfully."));
    EXPECT_NE(std::string::npos, r.err.find("waiting 15 s")) << r.err; // the restart's wait
    // An AV pair of files is refused for this adapter before anything is sent.
    h.wire.sent.clear();
    std::string nvm = h.dir.file("fw.nvm"), pib = h.dir.file("params.pib");
    writeFileBytes(nvm, makeNvmImage({{0x00200000, patternBytes(600, 1), 0, 0}}));
    writeFileBytes(pib, makeValidPib33());
    r = run({"upgrade", "--pib", pib, "--nvm", nvm});
    EXPECT_EQ(2, r.code);
    EXPECT_NE(std::string::npos, r.err.find("upgrade it with --image")) << r.err;
}

TEST_F(HalyardctlHp10UpgradeSim, CtrlCStopsTheLoaderUpgradeAtABlockBoundary) {
    bool raised = false;
    net->onLog = [&](const std::string& line) {
        if (!raised && line.find("loader 0x81") != std::string::npos) {
            raised = true;
            std::raise(SIGINT);
        }
    };
    Result r = run({"upgrade", "--image", image});
    net->onLog = nullptr;
    ASSERT_TRUE(raised);
    EXPECT_EQ(1, r.code);
    EXPECT_NE(std::string::npos, r.err.find("upgrade cancelled at a block boundary")) << r.err;
    EXPECT_EQ(std::string::npos, r.err.find("successfully")) << r.err;
    sim::Station& device = station(kHp10Local);
    EXPECT_EQ(before, device.loaderModules); // nothing committed
    EXPECT_FALSE(device.inLoader);           // restarted with its old firmware
    size_t chunks = 0;
    for (const auto& s : h.wire.sent)
        if (s.frame.size() > 17 && s.frame[15] == 0x10 && s.frame[17] == 0x81)
            ++chunks;
    EXPECT_EQ(1u, chunks); // the chunk in flight, and not one more
}

// ---- watch
// ----------------------------------------------------------------------------------------

TEST_F(HalyardctlSim, WatchPrintsJsonLinesPerAdapterPerCycle) {
    uint64_t start = h.clock.now();
    Result r = run({"--json", "watch", "--interval", "5", "--count", "3"});
    ASSERT_EQ(0, r.code) << r.err;
    std::istringstream lines(r.out);
    std::string line;
    std::map<int, int> perCycle;
    while (std::getline(lines, line)) {
        json j = json::parse(line);
        perCycle[j["cycle"].get<int>()]++;
        EXPECT_TRUE(j["rate_mbps"].is_number());
        EXPECT_TRUE(j["time"].is_string());
    }
    EXPECT_EQ((std::map<int, int>{{1, 3}, {2, 3}, {3, 3}}), perCycle);
    // Two whole intervals of the automatic scan passed between the first and the third cycle.
    EXPECT_GE(h.clock.now() - start, 10000u);
}

// The home's virtual clock, with every sleep halyardctl asks for written down.
class SleepLog : public Clock {
  public:
    explicit SleepLog(VirtualClock& home) : home_(home) {}
    uint32_t tickCount() override { return home_.tickCount(); }
    int64_t utcMs() override { return home_.utcMs(); }
    void sleepMs(uint32_t ms) override {
        sleeps.push_back(ms);
        home_.sleepMs(ms);
    }
    std::vector<uint32_t> sleeps;

  private:
    VirtualClock& home_;
};

// watch runs for days: between cycles the timer's ticks pass in sleeps of up to
// a second, each still counted, so the cycles come exactly one interval apart,
// as they do when every tick wakes the program.
TEST_F(HalyardctlSim, WatchLetsIdleTicksPassInBatchesAndKeepsTheInterval) {
    SleepLog clock(h.clock);
    std::vector<uint64_t> cycleEnds;
    const int consumer = addCycleConsumer(
        CyclePhase::Record, [&](const CycleEnd&) { cycleEnds.push_back(h.clock.now()); });
    halyardctl::Environment env;
    env.clock = &clock;
    Result r = run({"watch", "--interval", "5", "--count", "4"}, env);
    removeCycleConsumer(consumer);
    ASSERT_EQ(0, r.code) << r.err;
    ASSERT_EQ(4u, cycleEnds.size());
    // The first cycle follows the start-up scan; from the second on the cycles
    // are alike and come one interval apart: never sooner (no tick passed that
    // should have run) and later only by the ticks' own drains, which batching
    // makes fewer (each tick alone: 5126 ms).
    const uint64_t apart = cycleEnds[2] - cycleEnds[1];
    EXPECT_EQ(apart, cycleEnds[3] - cycleEnds[2]);
    EXPECT_GE(apart, 5000u);
    EXPECT_LT(apart, 5100u);
    size_t batched = 0, ticks = 0;
    for (uint32_t ms : clock.sleeps) {
        EXPECT_LE(ms, 1000u); // answers wait at most a second to be taken
        if (ms > 50 && ms % 50 == 0)
            ++batched;
        else if (ms == 50)
            ++ticks;
    }
    // About four seconds of each interval are idle: a handful of batched
    // sleeps instead of eighty single ticks per interval.
    EXPECT_GE(batched, 3u * 4);
    EXPECT_LT(ticks + batched, 4u * 100 / 2) << "ticks " << ticks << ", batches " << batched;
}

TEST_F(HalyardctlSim, WatchEndsOnSigtermAndSavesTheDatabase) {
    h.clock.atTime(h.clock.now() + 25000, [] { std::raise(SIGTERM); });
    Result r = run({"watch", "--interval", "10"});
    EXPECT_EQ(0, r.code) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("stopped after 3 cycles; device database saved"))
        << r.err;
    EXPECT_NE(std::string::npos, r.out.find(kBedroom));
    // The remote devices were given entries, and the saved file holds them.
    restartProgram();
    ASSERT_EQ(0, run({"rename", kBedroom, "Bedroom"}).code);
    EXPECT_EQ(2, run({"rename", kLiving, "Bedroom"}).code);
}

// ---- report
// ---------------------------------------------------------------------------------------

TEST_F(HalyardctlSim, ReportPrintsOrWritesTheDiagnosticsText) {
    Result r = run({"report"});
    ASSERT_EQ(0, r.code) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("Released: February 25, 2010"));
    std::string file = h.dir.file("report.txt");
    r = run({"report", "-o", file});
    ASSERT_EQ(0, r.code) << r.err;
    std::vector<uint8_t> bytes = readFileBytes(file);
    std::string text(bytes.begin(), bytes.end());
    EXPECT_NE(std::string::npos, text.find("Released: February 25, 2010"));
}

TEST_F(HalyardctlSim, ReportFileIsPrivateAndNeverWrittenThroughALink) {
    // The report lists device passwords: the file is the user's alone, even
    // when it was there before with wider rights.
    ASSERT_EQ(0, run({"password", kLiving, kLivingPassword}).code);
    std::string file = h.dir.file("report.txt");
    writeFileText(file, "old text");
    ASSERT_EQ(0, chmod(file.c_str(), 0644));
    Result r = run({"report", "-o", file});
    ASSERT_EQ(0, r.code) << r.err;
    struct stat st {};
    ASSERT_EQ(0, stat(file.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    std::vector<uint8_t> bytes = readFileBytes(file);
    std::string text(bytes.begin(), bytes.end());
    EXPECT_EQ(std::string::npos, text.find("old text"));
    EXPECT_NE(std::string::npos, text.find(kLivingPassword)) << text;

    std::string target = h.dir.file("elsewhere.txt");
    writeFileText(target, "keep me");
    std::string link = h.dir.file("link.txt");
    ASSERT_EQ(0, symlink(target.c_str(), link.c_str()));
    r = run({"report", "-o", link});
    EXPECT_EQ(2, r.code);
    EXPECT_NE(std::string::npos, r.err.find("cannot write the report to " + link)) << r.err;
    bytes = readFileBytes(target);
    EXPECT_EQ("keep me", std::string(bytes.begin(), bytes.end()));
}

// ---- no adapter
// ------------------------------------------------------------------------------------

TEST(HalyardctlNoAdapter, NoAdapterAndNoCaptureRightsGiveExit3) {
    for (bool denied : {false, true}) {
        EmulatedHalyard h;
        h.writePreferences(EmulatedHalyard::defaultPreferences());
        h.attachEmptyPort(denied);
        h.wire.setPermissionAdvice("Add yourself with:\n    sudo usermod -aG halyard $USER");
        halyardctl::Environment env;
        env.driver = &h.wire;
        env.clock = &h.clock;
        env.setup = h.setup();
        std::ostringstream out, err;
        EXPECT_EQ(3, halyardctl::run({"list"}, out, err, env));
        EXPECT_NE(std::string::npos, err.str().find("The Powerline device was not detected."));
        if (denied) {
            // The reason and the driver's way out, once each; never sudo with the
            // whole environment kept.
            const std::string text = err.str();
            EXPECT_NE(std::string::npos, text.find("eth0: ")) << text;
            const size_t advice = text.find("sudo usermod -aG halyard $USER");
            EXPECT_NE(std::string::npos, advice) << text;
            EXPECT_EQ(std::string::npos, text.find("sudo usermod", advice + 1)) << text;
            EXPECT_EQ(std::string::npos, text.find(kWholeEnvironmentSudo)) << text;
        }
        std::ostringstream out2, err2;
        EXPECT_EQ(3, halyardctl::run({"--interface", "wlan7", "list"}, out2, err2, env));
        EXPECT_NE(std::string::npos, err2.str().find("wlan7"));
    }
}

// ---- bad input: exit 2 or 3, a message, nothing sent
// ------------------------------------------------

class HalyardctlBadInput : public HalyardctlSim {
  protected:
    void expectRefused(const std::vector<std::string>& args, int code, const std::string& text) {
        SCOPED_TRACE(::testing::PrintToString(args));
        Result r = run(args);
        EXPECT_EQ(code, r.code);
        EXPECT_NE(std::string::npos, r.err.find(text)) << r.err;
        EXPECT_TRUE(h.wire.sent.empty()) << h.wire.sent.size() << " frames sent";
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
};

TEST_F(HalyardctlBadInput, UnknownCommand) {
    expectRefused({"frobnicate"}, 2, "unknown command \"frobnicate\"");
    expectRefused({"list", "--frob"}, 2, "unknown option");
    expectRefused({}, 2, "no command given");
}

TEST_F(HalyardctlBadInput, BadMac) {
    expectRefused({"reset", "00:B0:52:00:00", "--yes"}, 2, "bad MAC address");
    expectRefused({"reset", "00:B0:52:00:00:1G", "--yes"}, 2, "bad MAC address");
    expectRefused({"set-key", "--network-password", "Harbour Net", "00:B0:52:00:00:11:22"}, 2,
                  "bad MAC address");
    expectRefused({"rename", "FF:FF:FF:FF:FF:FF", "All"}, 2, "bad MAC address");
}

TEST_F(HalyardctlBadInput, NetworkPasswordsOf3And25Characters) {
    expectRefused({"set-key", "--network-password", "abc", "--local"}, 2,
                  "The encryption key entered is invalid.");
    expectRefused({"set-key", "--network-password", std::string(25, 'k'), "--local"}, 2,
                  "The encryption key entered is invalid.");
}

TEST_F(HalyardctlBadInput, DevicePasswordsOf3And25Characters) {
    expectRefused({"set-key", "--network-password", "Harbour Net", std::string(kLiving) + "=abc"},
                  2, "The Device Password entered is invalid.");
    expectRefused({"add", "--password", std::string(25, 'D')}, 2,
                  "The Device Password entered is invalid.");
}

TEST_F(HalyardctlBadInput, TabInAPassword) {
    expectRefused({"set-key", "--network-password", "Harbour\tNet", "--local"}, 2,
                  "The encryption key entered is invalid.");
}

TEST_F(HalyardctlBadInput, DeviceWithoutAStoredPassword) {
    expectRefused({"set-key", "--network-password", "Harbour Net", kLiving}, 2,
                  "has no stored device password");
    expectRefused({"set-key", "--network-password", "Harbour Net"}, 2, "needs --local");
}

TEST_F(HalyardctlBadInput, MissingOrTruncatedPib) {
    std::string nvm = h.dir.file("fw.nvm");
    std::string pib = h.dir.file("params.pib");
    writeFileBytes(nvm, makeNvmImage({{0x00200000, patternBytes(600, 1), 0, 0}}));
    expectRefused({"upgrade", "--pib", pib, "--nvm", nvm}, 2, "Error in PIB file opening...");
    std::vector<uint8_t> block = makeValidPib33();
    block.resize(4000);
    writeFileBytes(pib, block);
    expectRefused({"upgrade", "--pib", pib, "--nvm", nvm}, 2, "Error in PIB file Operation");
    expectRefused({"upgrade", "--pib", pib}, 2, "needs --pib FILE and --nvm FILE");
    expectRefused({"upgrade", "--image", h.dir.file("absent.img")}, 2, "cannot read the image");
}

TEST_F(HalyardctlBadInput, PasswordLeftOutWithoutATerminalOrFromABadFile) {
    expectRefused({"set-key", "--local"}, 2, "--network-password-file FILE or a terminal");
    expectRefused({"add", "--name", "Shed"}, 2, "--password-file FILE or a terminal");
    expectRefused({"password", kLiving}, 2, "--password-file FILE or a terminal");
    expectRefused({"set-key", "--network-password-file", h.dir.file("absent"), "--local"}, 2,
                  "cannot read " + h.dir.file("absent"));
    const std::string empty = h.dir.file("empty.pw");
    writeFileText(empty, "\n");
    expectRefused({"add", "--password-file", empty}, 2, "holds no password");
    const std::string big = h.dir.file("big.pw");
    writeFileText(big, std::string(5000, 'x'));
    expectRefused({"password", kLiving, "--password-file", big}, 2, "not a password file");
    expectRefused({"set-key", "--network-password", "Harbour Net", "--network-password-file", empty,
                   "--local"},
                  2, "not both");
    // The rules apply to a password from a file as to one typed.
    const std::string shortPw = h.dir.file("short.pw");
    writeFileText(shortPw, "abc\n");
    expectRefused({"set-key", "--network-password-file", shortPw, "--local"}, 2,
                  "The encryption key entered is invalid.");
}

TEST_F(HalyardctlBadInput, HalyardAlreadyRunning) {
    // The window holds the single-instance lock (another open file description).
    std::string path = singleInstanceLockPath(kInstanceLockName);
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, flock(fd, LOCK_EX | LOCK_NB));
    expectRefused({"list"}, 3, "is already running.");
    expectRefused({"set-key", "--network-password", "Harbour Net", "--local"}, 3,
                  "must not drive the adapters at once");
    ::close(fd);
    Result r = run({"list"});
    EXPECT_EQ(0, r.code) << r.err;
}

} // namespace
