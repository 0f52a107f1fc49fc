// "Set Selected Devices" against the emulator over the in-memory wire: the
// Main page scans and lists the network, the user enters device passwords,
// checks rows and applies a network password; the emulated adapters end up
// on the new key, the rescan labels the network with the typed text and the
// Main page calls it "Private" (or "Public" after "Use Default").
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "maintenance/av_maintenance.h"
#include "network/auto_scan.h"
#include "network/hp10_frames.h"
#include "network/model.h"
#include "network/scan.h"
#include "packet/memory_wire.h"
#include "packet/packet.h"
#include "platform/main_window.h"
#include "platform/messages.h"
#include "security/key_operations.h"
#include "security/keys.h"
#include "sim/network.h"
#include "storage/data_directory.h"
#include "storage/device_database.h"
#include "storage/preferences.h"
#include "support/emulated_halyard.h"
#include "support/temp_dir.h"
#include "ui/main_page_logic.h"
#include "ui/outcome_boxes.h"
#include "ui/security_page_logic.h"

namespace {

const uint8_t kHost[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
const char* const kUserNetwork = "Blue Harbour 42";
const char* const kPassword1 = "FIRS-TDEV-ICEP-ASS1";
const char* const kPassword2 = "SECO-NDDE-VICE-PAS2";
const char* const kChanged = "Encryption key has been changed successfully.";
const char* const kSomeFailed =
    "One or more devices could not be added to your network due to invalid device password.";

int mainWindow = 0;
int page = 0;

struct Family {
    sim::Family family;
    const char* local;
    const char* remote1;
    const char* remote2;
    const char* name;
};
void PrintTo(const Family& f, std::ostream* os) {
    *os << f.name;
}

const Family kAv{sim::Family::Av, "00:B0:52:00:00:10", "00:B0:52:00:00:11", "00:B0:52:00:00:12",
                 "Av"};
const Family kHp10{sim::Family::Hp10, "00:04:87:00:00:10", "00:04:87:00:00:11", "00:04:87:00:00:12",
                   "Hp10"};
const Family kTurbo{sim::Family::Turbo, "00:02:72:00:00:10", "00:02:72:00:00:11",
                    "00:02:72:00:00:12", "Turbo"};

class SecurityPageSim : public ::testing::TestWithParam<Family> {
  protected:
    VirtualClock clock;
    MemoryWire wire{clock};
    RecordingMessages messages;
    ManualScanTimer timer;
    TempDir dir;
    sim::Network net;
    std::vector<bool> controls;

    void SetUp() override {
        resetAllHalyardState();
        setSystemClock(&clock);
        setPacketDriver(&wire);
        setMessageSink(&messages);
        installOutcomeSinks();
        setScanTimer(&timer);
        mainWindowHandle = messageOwner(&mainWindow);
        copyText(preferences.appName, "Tollbeam");
        preferences.autoScan = 1;
        preferences.scanInterval = 30;
        MemoryWire::Port p;
        p.name = "eth0";
        p.description = "eth0";
        std::memcpy(p.mac, kHost, 6);
        net.attach(wire, wire.addPort(p));
    }
    void TearDown() override {
        closeAllInterfaces();
        net.detach();
        setLocalDeviceObserver(nullptr);
        mainWindowHandle = nullptr;
        resetAllHalyardState();
        setScanTimer(nullptr);
        setPacketDriver(nullptr);
        removeOutcomeSinks();
        setMessageSink(nullptr);
        setSystemClock(nullptr);
        resetDeviceModel();
    }

    sim::Station& station(const char* mac, const char* devicePassword, const char* networkPassword,
                          bool local = false) {
        sim::Family family = GetParam().family;
        sim::Station s = family == sim::Family::Av     ? sim::Station::av(mac)
                         : family == sim::Family::Hp10 ? sim::Station::hp10(mac)
                                                       : sim::Station::turbo(mac);
        s.local = local;
        s.setDevicePassword(devicePassword);
        if (networkPassword != nullptr)
            s.setNetworkPassword(networkPassword);
        return net.addStation(std::move(s));
    }

    // A local adapter and two remote adapters, all on `networkPassword` (the
    // family's default when null).
    void threeAdapters(const char* networkPassword = nullptr) {
        station(GetParam().local, "LOCA-LDEV-ICEP-ASSW", networkPassword, true);
        station(GetParam().remote1, kPassword1, networkPassword);
        station(GetParam().remote2, kPassword2, networkPassword);
    }

    // Creates the Main page (first scan) and runs one automatic cycle, after
    // which the remote adapters are listed.
    void openWindow() {
        MainPageSetup setup;
        setup.workingFolder = dir.path();
        setup.useDataPlaces = true;
        setup.machineDataDirectory = dir.file("tollbeam");
        setup.fallbackDataDirectory = dir.file("fallback");
        ASSERT_TRUE(createMainPage(setup, &mainWindow));
        runCycle();
    }

    // One automatic cycle: the interval boundary, then the eight steps.
    void runCycle() {
        scanTickCount = intervalTicks - 1;
        for (int k = 0; k < 10; ++k) {
            timerTick();
            clock.advance(kTimerPeriodMs);
        }
    }

    // The user types `password` into "Set Device Password" of a device.
    void enterDevicePassword(const char* macText, const char* password) {
        int index = findDeviceEntry(sim::parseMac(macText).data());
        ASSERT_GT(index, 0) << macText;
        copyText(deviceTable[index - 1].password, password);
    }

    int rowOf(const char* macText) const {
        for (size_t i = 0; i < securityList.size(); ++i)
            if (securityList[i].cells[kSecMacColumn] == macText)
                return static_cast<int>(i);
        return -1;
    }

    void check(const char* macText) {
        int row = rowOf(macText);
        ASSERT_GE(row, 0) << macText;
        securityCheckChanged(row, true);
    }

    SetSelectedResult press(const std::string& key) {
        messages.shown.clear();
        return runSetSelectedDevices(&page, key, [this](bool on) { controls.push_back(on); });
    }

    // The network key a station holds, in the family's form.
    std::vector<uint8_t> keyOf(const char* macText) {
        const sim::Station& s = net.station(macText);
        if (GetParam().family == sim::Family::Av)
            return {s.nmk.begin(), s.nmk.end()};
        auto k = s.nek();
        return {k.begin(), k.end()};
    }
    std::vector<uint8_t> keyFor(const char* password) {
        if (GetParam().family == sim::Family::Av) {
            auto k = sim::nmkOf(password);
            return {k.begin(), k.end()};
        }
        auto k = sim::hp10KeyOf(password);
        return {k.begin(), k.end()};
    }

    void expectBoxes(const std::vector<std::string>& texts) {
        std::vector<std::string> shown;
        for (const RecordedMessage& m : messages.shown)
            shown.push_back(m.text);
        EXPECT_EQ(texts, shown);
    }
};

TEST_P(SecurityPageSim, PrivatePasswordOnLocalAndCheckedRemotes) {
    threeAdapters();
    openWindow();
    const Family f = GetParam();
    ASSERT_EQ(3u, securityList.size());
    EXPECT_EQ(kLocalText, securityList[0].cells[kSecLocationColumn]);
    EXPECT_EQ(f.local, securityList[0].cells[kSecMacColumn]);
    enterDevicePassword(f.remote1, kPassword1);
    enterDevicePassword(f.remote2, kPassword2);
    fillSecurityList();
    EXPECT_EQ(kPassword1, securityList[rowOf(f.remote1)].cells[kSecPasswordColumn]);
    check(f.local);
    check(f.remote1);
    check(f.remote2);
    uint32_t started = clock.tickCount();

    EXPECT_EQ(SetSelectedResult::Applied, press(kUserNetwork));
    ASSERT_EQ(2u, messages.shown.size());
    EXPECT_EQ(kConfirmKeyText, messages.shown[0].text);
    EXPECT_EQ(kChanged, messages.shown[1].text);
    EXPECT_EQ("Information", messages.shown[1].caption);
    EXPECT_EQ(MessageIcon::Information, messages.shown[1].icon);
    // 100 ms after the confirmation, 3 s per remote row, 6 s for the local row.
    EXPECT_GE(clock.tickCount() - started, 100u + 3000u * 2 + 6000u);

    EXPECT_EQ(keyFor(kUserNetwork), keyOf(f.local));
    EXPECT_EQ(keyFor(kUserNetwork), keyOf(f.remote1));
    EXPECT_EQ(keyFor(kUserNetwork), keyOf(f.remote2));
    EXPECT_EQ((std::vector<bool>{false, true}), controls);

    // The rescan filed the key under the typed text: "Private".
    EXPECT_STREQ(kUserNetwork, networkRecords[currentInterface].keyLabel);
    EXPECT_EQ(0, +keyChangedMark);
    EXPECT_EQ("Network Type : Private", mainPageState.networkText);
    int local = findDeviceEntry(sim::parseMac(f.local).data());
    ASSERT_GT(local, 0);
    EXPECT_STREQ(kUserNetwork, deviceTable[local - 1].keyLabel);
    int remote = findDeviceEntry(sim::parseMac(f.remote1).data());
    EXPECT_STREQ(kUserNetwork, deviceTable[remote - 1].keyLabel);
    EXPECT_EQ(0, busyFlag); // AutoScan on: the rescan runs the automatic scan again

    // The next cycle finds the remotes on the new network and lists them again.
    runCycle();
    EXPECT_EQ(3u, securityList.size());
    EXPECT_EQ(kUserNetwork, keyTextOnActivate());
}

TEST_P(SecurityPageSim, UseDefaultReturnsToThePublicNetwork) {
    threeAdapters("Old Private Net");
    openWindow();
    const Family f = GetParam();
    ASSERT_EQ(3u, securityList.size());
    enterDevicePassword(f.remote1, kPassword1);
    enterDevicePassword(f.remote2, kPassword2);
    fillSecurityList();
    check(f.local);
    check(f.remote1);
    check(f.remote2);

    EXPECT_EQ(SetSelectedResult::Applied, press(publicNetworkPassword()));
    expectBoxes({kConfirmKeyText, kChanged});
    // Every station is back on the key its family leaves the factory with
    // (the emulator's own factory key, not one derived here).
    std::vector<uint8_t> factory;
    if (f.family == sim::Family::Av)
        factory.assign(sim::defaultNmk().begin(), sim::defaultNmk().end());
    else
        factory.assign(sim::defaultNek().begin(), sim::defaultNek().end());
    EXPECT_EQ(factory, keyOf(f.local));
    EXPECT_EQ(factory, keyOf(f.remote1));
    EXPECT_EQ(factory, keyOf(f.remote2));
    EXPECT_STREQ(f.family == sim::Family::Av ? "HomePlugAV" : "HomePlug",
                 networkRecords[currentInterface].keyLabel);
    EXPECT_EQ("Network Type : Public", mainPageState.networkText);
}

TEST_P(SecurityPageSim, WrongDevicePasswordIsReportedAndThatDeviceKeepsItsKey) {
    threeAdapters();
    openWindow();
    const Family f = GetParam();
    std::vector<uint8_t> before = keyOf(f.remote2);
    enterDevicePassword(f.remote1, kPassword1);
    enterDevicePassword(f.remote2, "WRON-GPAS-SWOR-DXXX");
    fillSecurityList();
    check(f.local);
    check(f.remote1);
    check(f.remote2);

    EXPECT_EQ(SetSelectedResult::Applied, press(kUserNetwork));
    ASSERT_EQ(2u, messages.shown.size());
    EXPECT_EQ(kSomeFailed, messages.shown[1].text);
    EXPECT_EQ("Attention", messages.shown[1].caption);
    EXPECT_EQ(MessageIcon::Warning, messages.shown[1].icon);
    EXPECT_EQ(keyFor(kUserNetwork), keyOf(f.local));
    EXPECT_EQ(keyFor(kUserNetwork), keyOf(f.remote1));
    EXPECT_EQ(before, keyOf(f.remote2));
    int failed = findDeviceEntry(sim::parseMac(f.remote2).data());
    EXPECT_STRNE(kUserNetwork, deviceTable[failed - 1].keyLabel);
}

TEST_P(SecurityPageSim, ShortestAndLongestKeysReachTheLocalDevice) {
    threeAdapters();
    openWindow();
    const Family f = GetParam();
    check(f.local);
    for (const char* key : {"abcd", "abcdefghijklmnopqrstuvwx"}) {
        EXPECT_EQ(SetSelectedResult::Applied, press(key)) << key;
        expectBoxes({kConfirmKeyText, kChanged});
        EXPECT_EQ(keyFor(key), keyOf(f.local)) << key;
        EXPECT_STREQ(key, networkRecords[currentInterface].keyLabel);
        // The rescan rebuilt the list: the local row is back, check it again.
        ASSERT_GE(rowOf(f.local), 0);
        check(f.local);
    }
    // The remotes were not checked and stay on the default network.
    EXPECT_EQ(keyFor(GetParam().family == sim::Family::Av ? "HomePlugAV" : "HomePlug"),
              keyOf(f.remote1));
}

TEST_P(SecurityPageSim, RefusalsSendNothing) {
    threeAdapters();
    openWindow();
    size_t sent = wire.sent.size();
    EXPECT_EQ(SetSelectedResult::NoneChecked, press(kUserNetwork));
    expectBoxes({"There is no device been selected."});
    check(GetParam().remote1);
    EXPECT_EQ(SetSelectedResult::InvalidKey, press("abc"));
    EXPECT_EQ(SetSelectedResult::InvalidKey, press("abcdefghijklmnopqrstuvwxy"));
    messages.answerNext(MessageResult::Cancel);
    EXPECT_EQ(SetSelectedResult::Cancelled, press(kUserNetwork));
    EXPECT_EQ(sent, wire.sent.size());
    EXPECT_NE(std::string(kUserNetwork), networkRecords[currentInterface].keyLabel);
}

INSTANTIATE_TEST_SUITE_P(Families, SecurityPageSim, ::testing::Values(kAv, kHp10, kTurbo),
                         [](const ::testing::TestParamInfo<Family>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
