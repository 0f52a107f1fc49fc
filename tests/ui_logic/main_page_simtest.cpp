// The Main page's flows against the emulator over the in-memory wire: start-up
// with the preferences and the single-instance lock, the first scan and the
// list after an automatic cycle, Scan, the not-detected messages (with the
// capture advice when capture was refused), factory reset, and a rename that
// survives into the database file.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "network/auto_scan.h"
#include "network/model.h"
#include "packet/packet.h"
#include "platform/single_instance.h"
#include "security/key_operations.h"
#include "storage/data_directory.h"
#include "storage/device_database.h"
#include "storage/preferences.h"
#include "support/emulated_halyard.h"
#include "ui/main_page_logic.h"
#include "ui/shell.h"

namespace {

class MainPageSim : public ::testing::Test {
  protected:
    EmulatedHalyard h;

    void SetUp() override { h.writePreferences(EmulatedHalyard::defaultPreferences()); }

    // Start-up as the program does it, then the Main page's creation.
    bool start() {
        EXPECT_TRUE(startShell(h.workingFolder()));
        return createMainPage(h.setup(), nullptr);
    }
    // One automatic cycle and the answers it provokes.
    void cycle() { h.tick(20); }

    std::vector<std::string> column(MainColumn kind) {
        std::vector<std::string> out;
        for (const MainRow& r : mainPageState.rows)
            out.push_back(rowCell(r, kind));
        return out;
    }
    int rowOf(const char* mac) { return findRowByMac(mac); }
};

TEST_F(MainPageSim, StartListsTheLocalAndTheReachableRemoteDevices) {
    h.attachScenario("home.json");
    ASSERT_TRUE(start());
    EXPECT_STREQ("Tollbeam", preferences.appName);
    EXPECT_EQ(600, intervalTicks); // 30 s of 50 ms ticks
    EXPECT_NE(0u, timerId);
    EXPECT_EQ(h.dataDirectory(), dataDirectory());
    ASSERT_FALSE(mainPageState.rows.empty());
    EXPECT_EQ("00:B0:52:00:00:10", mainPageState.rows[0].mac);
    EXPECT_EQ("Local", mainPageState.rows[0].location);
    EXPECT_EQ("KARSA02-MAC-3-1", mainPageState.rows[0].firmware); // chip 2 names itself

    cycle();
    // The two remotes on the default network; "Garage" uses another key.
    EXPECT_EQ(
        (std::vector<std::string>{"00:B0:52:00:00:10", "00:B0:52:00:00:11", "00:B0:52:00:00:12"}),
        column(MainColumn::Mac));
    EXPECT_EQ((std::vector<std::string>{"Local", "Remote", "Remote"}),
              column(MainColumn::Location));
    for (const std::string& name : column(MainColumn::Name))
        EXPECT_EQ(0u, name.rfind("Device ", 0)) << name;
    std::vector<std::string> rates = column(MainColumn::Rate);
    EXPECT_EQ("200.00", rates[0]);
    EXPECT_NE("?", rates[1]);
    EXPECT_NE("?", rates[2]);
    EXPECT_EQ("Powerline Devices : 3", mainPageState.countText);
    EXPECT_EQ("Network Type : Public", mainPageState.networkText);
    EXPECT_TRUE(h.messages.shown.empty());
}

TEST_F(MainPageSim, StartInstallsTheLocalDeviceObserverAHomePlug10ScanNeeds) {
    // A fresh process has no observer: the start-up must install it, or the
    // self-addressed statistics answer that marks a HomePlug 1.0 local
    // adapter is never seen.
    setLocalDeviceObserver(nullptr);
    h.attachScenario("hp10.json");
    ASSERT_TRUE(start());
    cycle();
    ASSERT_FALSE(mainPageState.rows.empty());
    EXPECT_EQ("00:04:87:00:00:10", mainPageState.rows[0].mac);
    EXPECT_EQ("Local", mainPageState.rows[0].location);
    EXPECT_EQ(kClassHp10, scanStates[currentInterface].deviceClass);
    // On the standard's default key: labelled with its password and called public.
    EXPECT_STREQ("HomePlug", networkRecords[currentInterface].keyLabel);
    EXPECT_EQ("Network Type : Public", mainPageState.networkText);
}

TEST_F(MainPageSim, SecondStartIsRefusedWithTheApplicationName) {
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    pid_t child = fork();
    if (child == 0) {
        // The copy that runs already.
        close(ready[0]);
        bool locked = acquireSingleInstance(kInstanceLockName);
        char c = locked ? '1' : '0';
        (void)!write(ready[1], &c, 1);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char c = 0;
    ASSERT_EQ(1, read(ready[0], &c, 1));
    close(ready[0]);
    ASSERT_EQ('1', c);

    EXPECT_FALSE(startShell(h.workingFolder()));
    ASSERT_EQ(1u, h.messages.shown.size());
    EXPECT_EQ("Tollbeam is already running.\nOnly one copy can run at a time.",
              h.messages.shown[0].text);
    EXPECT_EQ("Attention", h.messages.shown[0].caption);
    EXPECT_EQ(MessageIcon::Error, h.messages.shown[0].icon);
    kill(child, SIGTERM);
    waitpid(child, nullptr, 0);

    // Once the other copy has ended, the start goes on.
    EXPECT_TRUE(startShell(h.workingFolder()));
}

TEST_F(MainPageSim, NoAdapterShowsTheNotDetectedMessageAndAnEmptyList) {
    h.attachEmptyPort();
    EXPECT_FALSE(start());
    ASSERT_EQ(1u, h.messages.shown.size());
    EXPECT_EQ("The Powerline device was not detected.\nPlease check your computer cables.",
              h.messages.shown[0].text);
    EXPECT_EQ("Powerline Device Not Detected", h.messages.shown[0].caption);
    EXPECT_EQ(MessageIcon::Error, h.messages.shown[0].icon);
    EXPECT_TRUE(mainPageState.rows.empty());

    // Scan again: the same box, unless a key change asked for quiet.
    EXPECT_FALSE(scanNowMain(nullptr));
    EXPECT_EQ(2u, h.messages.shown.size());
    quietNotDetected = 1;
    EXPECT_FALSE(scanNowMain(nullptr));
    EXPECT_EQ(2u, h.messages.shown.size());
}

TEST_F(MainPageSim, RefusedCaptureAddsHowToGetThePermission) {
    h.attachEmptyPort(true);
    h.wire.setPermissionAdvice("Capturing frames is for members of the group halyard.");
    EXPECT_FALSE(start());
    ASSERT_EQ(2u, h.messages.shown.size());
    EXPECT_EQ("The Powerline device was not detected.\nPlease check your computer cables.",
              h.messages.shown[0].text);
    // The interface and why it could not be opened, then the driver's way out.
    const std::string& text = h.messages.shown[1].text;
    EXPECT_EQ(0u, text.find("eth0: ")) << text;
    EXPECT_NE(std::string::npos,
              text.find("\n\nCapturing frames is for members of the group halyard."))
        << text;
    EXPECT_EQ("Powerline Device Not Detected", h.messages.shown[1].caption);
}

TEST_F(MainPageSim, ScanRebuildsTheListAndFindsANewRemote) {
    sim::Network& net = h.attachScenario("home.json");
    ASSERT_TRUE(start());
    cycle();
    ASSERT_EQ(3u, mainPageState.rows.size());
    net.addStation(sim::Station::av("00:B0:52:00:00:13"));
    ASSERT_TRUE(scanNowMain(nullptr));
    cycle();
    EXPECT_GE(rowOf("00:B0:52:00:00:13"), 0);
    EXPECT_EQ("Powerline Devices : 4", mainPageState.countText);
}

TEST_F(MainPageSim, LosingTheAdapterWarnsOnceAndEmptiesTheList) {
    sim::Network& net = h.attachScenario("home.json");
    ASSERT_TRUE(start());
    cycle();
    ASSERT_EQ(3u, mainPageState.rows.size());
    // Every answer of every station is lost from now on.
    sim::Fault silent;
    silent.kind = sim::Fault::Kind::Ignore;
    net.faults().push_back(silent);
    h.messages.answerNext(MessageResult::Cancel); // the box stays "open"
    h.tick(600 + 20);                             // the next interval's cycle ends with a scan
    ASSERT_EQ(1u, h.messages.shown.size());
    EXPECT_EQ("Powerline Device Not Detected", h.messages.shown[0].text);
    EXPECT_EQ("Problem Occurred", h.messages.shown[0].caption);
    EXPECT_TRUE(mainPageState.rows.empty());
}

TEST_F(MainPageSim, FactoryResetOfARemoteAfterConfirmation) {
    sim::Network& net = h.attachScenario("home.json");
    ASSERT_TRUE(start());
    cycle();
    int row = rowOf("00:B0:52:00:00:11");
    ASSERT_GE(row, 0);
    factoryResetRequested(row, nullptr); // the script is empty: OK
    ASSERT_EQ(2u, h.messages.shown.size());
    EXPECT_EQ("Do you want to reset factory default ?", h.messages.shown[0].text);
    EXPECT_EQ("Device has been reset to factory default successfully.", h.messages.shown[1].text);
    EXPECT_EQ("Information", h.messages.shown[1].caption);
    EXPECT_EQ(1, net.station("00:B0:52:00:00:11").factoryResets);
    EXPECT_EQ(0, net.station("00:B0:52:00:00:12").factoryResets);

    // A device that does not answer is reported as such.
    sim::Fault silent;
    silent.kind = sim::Fault::Kind::Ignore;
    net.faults().push_back(silent);
    factoryResetRequested(row, nullptr);
    ASSERT_EQ(4u, h.messages.shown.size());
    EXPECT_EQ("Device can't found or not support yet.", h.messages.shown[3].text);
}

TEST_F(MainPageSim, RenamedDeviceKeepsItsNameInTheDatabaseFile) {
    h.attachScenario("home.json");
    ASSERT_TRUE(start());
    cycle();
    int row = rowOf("00:B0:52:00:00:12");
    ASSERT_GE(row, 0);
    beginRowRename(row);
    std::string name = "Bedroom";
    EXPECT_EQ("Bedroom", endRowRename(row, &name, nullptr));
    EXPECT_EQ("Bedroom", mainPageState.rows[static_cast<size_t>(row)].name);

    // The next run reads it back.
    resetDeviceModel();
    ASSERT_EQ(DatabaseLoad::Loaded, loadDeviceDatabase());
    const uint8_t mac[6] = {0x00, 0xB0, 0x52, 0x00, 0x00, 0x12};
    int index = findDeviceEntry(mac);
    ASSERT_GT(index, 0);
    EXPECT_STREQ("Bedroom", deviceTable[index - 1].name);
}

TEST_F(MainPageSim, ScanEnablesTheActionButtonsACycleDisabled) {
    h.attachScenario("home.json");
    ASSERT_TRUE(start());
    int lastState = -1;
    DeviceListHooks hooks;
    hooks.refresh = [](int stage) { refreshMainPage(stage); };
    hooks.setActions = [&](bool enabled) { lastState = enabled ? 1 : 0; };
    setDeviceListHooks(hooks);
    h.tick(1); // step 1 of the cycle
    ASSERT_EQ(0, lastState);
    // The adapter goes away before the cycle ends; the user scans.
    h.net->faults().push_back([] {
        sim::Fault f;
        f.kind = sim::Fault::Kind::Ignore;
        return f;
    }());
    EXPECT_FALSE(scanNowMain(nullptr));
    EXPECT_EQ(1, lastState);
}

TEST_F(MainPageSim, ActivationRestartsTheTimerAndScansOnReturn) {
    h.attachScenario("home.json");
    ASSERT_TRUE(start());
    int starts = h.timer.starts;
    mainPageActivated(nullptr); // the first activation only arms the flag
    EXPECT_EQ(starts + 1, h.timer.starts);
    EXPECT_TRUE(mainPageState.firstScanFlag);
    int sent = static_cast<int>(h.wire.sent.size());
    mainPageDeactivated();
    mainPageActivated(nullptr); // coming back scans now
    EXPECT_GT(static_cast<int>(h.wire.sent.size()), sent);
}

} // namespace
