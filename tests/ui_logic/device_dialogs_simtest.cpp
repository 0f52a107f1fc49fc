// The device dialogs' flows against the emulator over the in-memory wire: the
// HomePlug AV upgrade through the worker's steps on a thread of its own (and
// cancelled), and adding a device by its password from the Main page, up to
// the refresh that names it and closes the dialog.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "maintenance/av_maintenance.h"
#include "network/auto_scan.h"
#include "network/model.h"
#include "packet/packet.h"
#include "platform/main_window.h"
#include "plcapi/plcapi.h"
#include "security/key_operations.h"
#include "sim/network.h"
#include "storage/device_database.h"
#include "storage/preferences.h"
#include "support/core_bench.h"
#include "support/image_builders.h"
#include "ui/device_dialogs_logic.h"
#include "ui/main_page_logic.h"

namespace {

const uint8_t kHost[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
const char* const kLocal = "00:B0:52:00:00:10";
const char* const kRemote = "00:B0:52:00:00:11";
const char* const kNew = "00:B0:52:00:00:20";
const char* const kUserNetwork = "Blue Harbour 42";
const char* const kNewPassword = "NEWD-EVIC-EPAS-SWRD";
const char* const kUpgraded = "Device firmware has been upgraded successfully.";
int mainWindow = 0;
int dialogWindow = 0;

class DialogFlows : public ::testing::Test {
  protected:
    CoreBench bench;
    VirtualClock& clock = bench.clock;
    RecordingMessages& messages = bench.messages;
    sim::Network net;

    void SetUp() override {
        resetMainPage();
        resetDeviceDialogs();
        mainWindowHandle = messageOwner(&mainWindow);
        copyText(preferences.appName, "Tollbeam");
        preferences.autoScan = 1;
        preferences.scanInterval = 30;
        net.attach(bench.wire, bench.addPort("eth0", kHost));
    }
    void TearDown() override {
        closeAllInterfaces();
        net.detach();
        mainWindowHandle = nullptr;
        upgradeCancelRequested.store(false);
        resetDeviceDialogs();
        resetMainPage();
    }

    sim::Station& avStation(const char* mac, const char* devicePassword,
                            const char* networkPassword, bool local = false) {
        sim::Station s = sim::Station::av(mac);
        s.local = local;
        if (devicePassword != nullptr)
            s.setDevicePassword(devicePassword);
        if (networkPassword != nullptr)
            s.setNetworkPassword(networkPassword);
        return net.addStation(std::move(s));
    }

    // Creates the Main page (first scan) and runs one automatic cycle.
    void openWindow() {
        MainPageSetup setup;
        setup.workingFolder = bench.dir.path();
        setup.useDataPlaces = true;
        setup.machineDataDirectory = bench.dir.file("tollbeam");
        setup.fallbackDataDirectory = bench.dir.file("fallback");
        ASSERT_TRUE(createMainPage(setup, &mainWindow));
        runCycle();
    }
    void runCycle() {
        scanTickCount = intervalTicks - 1;
        for (int k = 0; k < 10; ++k) {
            timerTick();
            clock.advance(kTimerPeriodMs);
        }
    }
    std::vector<std::string> texts() const {
        std::vector<std::string> t;
        for (const RecordedMessage& m : messages.shown)
            t.push_back(m.text);
        return t;
    }
};

// ---- The upgrade worker --------------------------------------------------------------------

class UpgradeWorkerFlow : public DialogFlows {
  protected:
    std::string nvmPath, pibPath;
    std::vector<uint8_t> firmware, parameters;
    std::vector<std::string> steps;

    void SetUp() override {
        DialogFlows::SetUp();
        avStation(kLocal, nullptr, nullptr, true);
        openAllInterfaces();
        currentInterface = 0;
        ASSERT_TRUE(discoverLocalAv());
        copyText(chipModel, "KARSA02");
        commitAfterWrite = 1;
        NvmBlockSpec first, last;
        first.loadAddress = 0x00100000;
        first.image = patternBytes(3000, 4);
        last.loadAddress = 0x00200000;
        last.image = patternBytes(2600, 7);
        firmware = makeNvmImage({first, last});
        const uint8_t nmk[16] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6};
        parameters = makeValidPib33(nullptr, nmk);
        nvmPath = bench.dir.file("NEW.NVM");
        pibPath = bench.dir.file("NEW.PIB");
        writeFileBytes(nvmPath, firmware);
        writeFileBytes(pibPath, parameters);
    }

    UpgradeWorkerHooks recordingHooks() {
        UpgradeWorkerHooks hooks;
        hooks.hideFileDialog = [this] { steps.push_back("hide"); };
        hooks.closeProgress = [this] {
            steps.push_back("close at " + std::to_string(clock.now()));
        };
        hooks.afterUpgrade = [this] { steps.push_back("after"); };
        return hooks;
    }

    // Runs the worker's steps on a thread of their own, as the window does; the
    // test thread only waits (nothing else touches the clock or the wire).
    bool runOnWorkerThread() {
        bool result = false;
        UpgradeWorkerHooks hooks = recordingHooks();
        std::thread worker([&] { result = runUpgradeWorker(nvmPath, pibPath, hooks); });
        worker.join();
        return result;
    }
};

TEST_F(UpgradeWorkerFlow, UpgradeOnTheWorkerThreadWritesTheDeviceAndReportsSuccess) {
    const sim::Station& local = net.local();
    uint64_t start = clock.now();
    ASSERT_TRUE(runOnWorkerThread()) << ::testing::PrintToString(texts());
    EXPECT_EQ(firmware, local.nvm);
    ASSERT_EQ(parameters.size(), local.pib.size());
    // The block is personalised with the device's MAC, the rest is the file's.
    EXPECT_EQ(0, std::memcmp(local.pib.data() + 12, local.mac.data(), 6));
    EXPECT_EQ(0, std::memcmp(local.pib.data() + 100, parameters.data() + 100, 16));
    EXPECT_EQ(1u, local.commits);
    ASSERT_EQ(3u, steps.size());
    EXPECT_EQ("hide", steps[0]);
    // The progress dialog closes only after the 15 s the device takes to restart.
    uint64_t closedAt = std::stoull(steps[1].substr(9));
    EXPECT_GE(closedAt - start, 15000u);
    EXPECT_EQ("after", steps[2]);
    ASSERT_EQ(1u, messages.shown.size());
    EXPECT_EQ(kUpgraded, messages.shown[0].text);
    EXPECT_EQ("Information", messages.shown[0].caption);
}

TEST_F(UpgradeWorkerFlow, CancelStopsAtTheNextBlockAndStillRescans) {
    const sim::Station& local = net.local();
    std::vector<uint8_t> oldNvm = local.nvm;
    size_t before = bench.wire.sent.size();
    clock.atTime(clock.now() + 4, [] { upgradeCancelRequested.store(true); });
    EXPECT_FALSE(runOnWorkerThread());
    size_t frames = bench.wire.sent.size() - before;
    EXPECT_GE(frames, 1u);
    EXPECT_LT(frames, 5u); // a full upgrade of these images sends dozens
    EXPECT_EQ(oldNvm, local.nvm);
    EXPECT_EQ(0u, local.commits);
    // No success and no failure box: the user is told it was cancelled.
    ASSERT_EQ(1u, messages.shown.size());
    EXPECT_EQ(kUpgradeCancelledText, messages.shown[0].text);
    ASSERT_EQ(3u, steps.size());
    EXPECT_EQ("hide", steps[0]);
    EXPECT_EQ("after", steps[2]);
}

TEST_F(UpgradeWorkerFlow, FailedUpgradeClosesTheProgressWithoutSuccess) {
    nvmPath = bench.dir.file("missing.nvm");
    EXPECT_FALSE(runOnWorkerThread());
    ASSERT_EQ(1u, messages.shown.size());
    EXPECT_EQ("Error", messages.shown[0].caption);
    EXPECT_EQ(3u, steps.size());
    EXPECT_TRUE(net.local().commits == 0);
}

// ---- Add Device ------------------------------------------------------------------------------

class AddDeviceFlow : public DialogFlows {
  protected:
    std::vector<std::string> status;
    int closes = 0;

    void SetUp() override {
        DialogFlows::SetUp();
        avStation(kLocal, nullptr, kUserNetwork, true);
        avStation(kRemote, "REMO-TEPA-SSWO-RD01", kUserNetwork);
        avStation(kNew, kNewPassword, nullptr); // still on the default network
        setAddDeviceDialogHooks(
            {[this](const std::string& t) { status.push_back(t); }, [this] { ++closes; }});
    }
    // The refreshes of the first scan and cycle advance the progress and
    // close an open dialog too (they created entries); start afresh.
    void forgetDialogEvents() {
        status.clear();
        closes = 0;
        messages.shown.clear();
    }
    void TearDown() override {
        setAddDeviceDialogHooks({});
        DialogFlows::TearDown();
    }
};

TEST_F(AddDeviceFlow, DeviceAddedByPasswordIsNamedByTheNextRefresh) {
    openWindow();
    ASSERT_EQ(1, localIsAv);
    ASSERT_EQ(0, findDeviceEntry(sim::parseMac(kNew).data()));
    forgetDialogEvents();
    int resume = beginAddDevice();
    EXPECT_EQ(1, busyFlag);
    DialogAction action = acceptAddDevice(&dialogWindow, resume, "Den", kNewPassword);
    ASSERT_EQ(DialogAction::WaitForDevice, action) << ::testing::PrintToString(texts());
    EXPECT_EQ(sim::nmkOf(kUserNetwork), net.station(kNew).nmk);
    EXPECT_EQ(sim::nmkOf(kUserNetwork), net.local().nmk);
    EXPECT_EQ(1, addingDevice);
    EXPECT_EQ(0, busyFlag);
    ASSERT_GE(status.size(), 4u);
    EXPECT_EQ(addDeviceProgressText(0), status[0]);
    EXPECT_EQ("Devices will reboot while this operation...", status[1]);
    EXPECT_EQ("Trying to add device to the Network...", status[2]);
    EXPECT_EQ("Proceeding...", status[3]);
    EXPECT_EQ(0, closes);

    runCycle(); // the automatic scan finds the new device
    int index = findDeviceEntry(sim::parseMac(kNew).data());
    ASSERT_GT(index, 0);
    char name[36] = {};
    std::memcpy(name, deviceTable[index - 1].name, 35);
    EXPECT_STREQ("Den", name);
    char password[57] = {};
    std::memcpy(password, deviceTable[index - 1].password, 56);
    EXPECT_STREQ(kNewPassword, password);
    EXPECT_EQ(0, addingDevice);
    EXPECT_GE(closes, 1);
    // The next cycle writes the named entry into the database file.
    runCycle();
    resetDeviceModel();
    ASSERT_EQ(DatabaseLoad::Loaded, loadDeviceDatabase());
    EXPECT_EQ(index, findDeviceEntryByName("Den"));
}

TEST_F(AddDeviceFlow, PasswordOfAListedDeviceIsRefused) {
    openWindow();
    int remote = findDeviceEntry(sim::parseMac(kRemote).data());
    ASSERT_GT(remote, 0);
    copyText(deviceTable[remote - 1].password, "REMO-TEPA-SSWO-RD01");
    runCycle(); // the refresh copies the rows' passwords
    messages.shown.clear();
    int resume = beginAddDevice();
    EXPECT_EQ(DialogAction::StayOpen,
              acceptAddDevice(&dialogWindow, resume, "Den", "REMO-TEPA-SSWO-RD01"));
    EXPECT_EQ((std::vector<std::string>{"Device is already added in the network"}), texts());
    EXPECT_EQ(0, addingDevice);
}

TEST_F(AddDeviceFlow, FailedAdditionPutsTheKeptKeyBackOnTheLocalDevice) {
    openWindow();
    forgetDialogEvents();
    unsigned changesBefore = net.local().keyChanges;
    int resume = beginAddDevice();
    DialogAction action = acceptAddDevice(&dialogWindow, resume, "Den", "WRON-GPAS-SWOR-DXXX");
    EXPECT_EQ(DialogAction::Close, action);
    ASSERT_FALSE(messages.shown.empty());
    EXPECT_EQ("Unable to set the NMK of remote device!!!", messages.shown[0].text);
    // The addition left the local device on a random network; the key read
    // before the attempt went back onto it.
    EXPECT_EQ(changesBefore + 2, net.local().keyChanges);
    EXPECT_EQ(sim::nmkOf(kUserNetwork), net.local().nmk);
    EXPECT_EQ(sim::defaultNmk(), net.station(kNew).nmk);
    EXPECT_EQ(0, addingDevice);
    EXPECT_EQ(0, closes);
}

} // namespace
