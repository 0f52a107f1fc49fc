// Network key operations without an emulator: interface selection, the
// Security rows check, and the exact frames of the key exchanges as they go
// out on the in-memory wire (nobody answers, so every wait runs to its end).
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "network/auto_scan.h"
#include "network/hp10_frames.h"
#include "network/model.h"
#include "packet/memory_wire.h"
#include "packet/packet.h"
#include "platform/main_window.h"
#include "platform/messages.h"
#include "security/key_operations.h"
#include "security/keys.h"
#include "ui/outcome_boxes.h"

namespace {

const uint8_t kHost[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
const uint8_t kLocal[6] = {0x00, 0xB0, 0x52, 0x00, 0x00, 0x10};
const uint8_t kRemote[6] = {0x00, 0xB0, 0x52, 0x00, 0x00, 0x11};
const uint8_t kBcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

int mainWindow = 0;

class KeyOperationsTest : public ::testing::Test {
  protected:
    VirtualClock clock;
    MemoryWire wire{clock};
    RecordingMessages messages;

    void SetUp() override {
        resetDeviceModel();
        resetHp10Frames();
        resetAutoScan();
        resetSecurityState();
        resetKeyOperations();
        setSystemClock(&clock);
        setPacketDriver(&wire);
        setMessageSink(&messages);
        installOutcomeSinks();
        mainWindowHandle = messageOwner(&mainWindow);
        MemoryWire::Port p;
        p.name = "eth0";
        std::memcpy(p.mac, kHost, 6);
        wire.addPort(p);
        ASSERT_TRUE(enumerateInterfaces());
        ASSERT_TRUE(openAllInterfaces());
        currentInterface = 0;
        scanStates[0].localPresent = 1;
        std::memcpy(scanStates[0].localMac, kLocal, 6);
        std::memcpy(networkRecords[0].localMac, kLocal, 6);
    }
    void TearDown() override {
        closeAllInterfaces();
        setLocalDeviceObserver(nullptr);
        mainWindowHandle = nullptr;
        resetKeyOperations();
        resetAutoScan();
        setPacketDriver(nullptr);
        removeOutcomeSinks();
        setMessageSink(nullptr);
        setSystemClock(nullptr);
        resetDeviceModel();
    }

    void hp10Local() {
        localIsAv = 0;
        localIsTurbo = 0;
        scanStates[0].deviceClass = kClassHp10;
        scanStates[0].paramsValid = 1;
        networkRecords[0].deviceClass = kClassHp10;
        for (size_t i = 0; i < sizeof localParamsBlock; ++i)
            localParamsBlock[i] = static_cast<uint8_t>(0x20 + i);
        localParamsBlock[kParamsSettings] = 0x02;
        localParamsBlock[kParamsSettings + 1] = 0x10;
        localParamsCaptured = 1;
    }
    static bool same(const uint8_t* a, const uint8_t* b, size_t n) {
        return std::memcmp(a, b, n) == 0;
    }
};

TEST_F(KeyOperationsTest, SelectInterfaceByMac) {
    const uint8_t other[6] = {0x02, 0, 0, 0, 0, 0x09};
    std::memcpy(interfaceTable[3].mac, other, 6);
    networkRecords[3].deviceClass = kClassTurbo;

    // No MAC: nothing changes.
    EXPECT_TRUE(selectInterfaceByMac(nullptr));
    const uint8_t zero[6] = {};
    EXPECT_TRUE(selectInterfaceByMac(zero));
    EXPECT_EQ(0, currentInterface);

    // An interface without a local device is never chosen.
    EXPECT_FALSE(selectInterfaceByMac(other));
    EXPECT_EQ(0, currentInterface);
    scanStates[3].localPresent = 1;
    EXPECT_TRUE(selectInterfaceByMac(other));
    EXPECT_EQ(3, currentInterface);
    EXPECT_EQ(1, localIsTurbo);

    EXPECT_TRUE(selectInterfaceByMac(kHost));
    EXPECT_EQ(0, currentInterface);
    EXPECT_EQ(0, localIsTurbo);
}

TEST_F(KeyOperationsTest, AnyDeviceChecked) {
    std::vector<SecurityRow> rows = {{false, {}}, {false, {}}};
    EXPECT_FALSE(anyDeviceChecked(rows));
    EXPECT_FALSE(anyDeviceChecked({}));
    rows[1].checked = true;
    EXPECT_TRUE(anyDeviceChecked(rows));
    // The check shows nothing: the page shows KeyMessage::NoDeviceSelected.
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(KeyOperationsTest, SelectedDeviceRowCarriesTheMacWhereTheOperationReadsIt) {
    SecurityRow row = selectedDeviceRow(kHost);
    EXPECT_TRUE(row.checked);
    ASSERT_GT(row.cells.size(), static_cast<size_t>(kSecurityMacColumn));
    EXPECT_EQ(formatMac(kHost), row.cells[kSecurityMacColumn]);
}

TEST_F(KeyOperationsTest, LocalAvKeyRequestFrame) {
    localIsAv = 1;
    busyFlag = 0;
    auto nmk = deriveNMK("Blue Harbour 42");
    EXPECT_EQ(0, setLocalNEK(nullptr, nmk.data())); // nobody confirms
    EXPECT_EQ(0, busyFlag);
    ASSERT_EQ(1u, wire.sent.size());
    const std::vector<uint8_t>& f = wire.sent[0].frame;
    ASSERT_GE(f.size(), 60u);
    EXPECT_TRUE(same(f.data(), kLocal, 6));
    EXPECT_TRUE(same(f.data() + 6, kHost, 6));
    EXPECT_EQ(0x88, f[12]);
    EXPECT_EQ(0xE1, f[13]);
    EXPECT_EQ(0x50, f[15]); // 0xA050, little-endian
    EXPECT_EQ(0xA0, f[16]);
    EXPECT_TRUE(same(f.data() + 21, nmk.data(), 16));
    EXPECT_EQ(0x0F, f[37]);
    EXPECT_TRUE(same(f.data() + 38, kLocal, 6));
    const uint8_t zero[16] = {};
    EXPECT_TRUE(same(f.data() + 44, zero, 16));
}

TEST_F(KeyOperationsTest, RemoteHp10KeyFramesInOrder) {
    hp10Local();
    auto dek = deriveHP10Key("FIRS-TDEV-ICEP-ASS1");
    auto nek = deriveHP10Key("Blue Harbour 42");
    uint8_t target[6];
    std::memcpy(target, kRemote, 6);
    uint8_t block[50];
    std::memcpy(block, localParamsBlock, sizeof block);

    EXPECT_EQ(0, sendSetKeyToDevice(dek.data(), nek.data(), target, false));
    EXPECT_TRUE(same(target, kRemote, 6));
    // Keying a remote device leaves the stored copy of the local block alone.
    EXPECT_TRUE(same(localParamsBlock, block, sizeof block));

    ASSERT_EQ(4u, wire.sent.size());
    // (a) the remote's DEK as key select 0 on the local device, settings not stored
    const std::vector<uint8_t>& a = wire.sent[0].frame;
    EXPECT_TRUE(same(a.data(), kBcast, 6));
    EXPECT_TRUE(same(a.data() + 6, kHost, 6));
    EXPECT_EQ(2, a[14]);
    EXPECT_EQ(kEntrySetKey, a[15]);
    EXPECT_EQ(9, a[16]);
    EXPECT_EQ(0, a[17]);
    EXPECT_TRUE(same(a.data() + 18, dek.data(), 8));
    const uint8_t settingsA[5] = {kEntrySettings, 3, 0x42, 0x11, 0};
    EXPECT_TRUE(same(a.data() + 26, settingsA, 5));
    // (b) the new key to the remote device, no settings entry
    const std::vector<uint8_t>& b = wire.sent[1].frame;
    EXPECT_TRUE(same(b.data(), kRemote, 6));
    EXPECT_EQ(1, b[14]);
    EXPECT_EQ(kEntrySetKey, b[15]);
    EXPECT_EQ(1, b[17]);
    EXPECT_TRUE(same(b.data() + 18, nek.data(), 8));
    EXPECT_EQ(0, b[26]);
    // (c) the vendor settings
    const std::vector<uint8_t>& c = wire.sent[2].frame;
    EXPECT_TRUE(same(c.data(), kBcast, 6));
    const uint8_t settingsC[6] = {1, kEntrySettings, 3, 0x42, 0x11, 1};
    EXPECT_TRUE(same(c.data() + 14, settingsC, 6));
    // (e) the probe of the remote device after no confirmation came
    const std::vector<uint8_t>& e = wire.sent[3].frame;
    EXPECT_TRUE(same(e.data(), kRemote, 6));
    EXPECT_EQ(kEntryParamsRequest, e[15]);
}

TEST_F(KeyOperationsTest, RemoteKeyGivesUpAfterFiveAttemptsAndRestoresBusyFlag) {
    localIsAv = 1;
    busyFlag = 0;
    KeyTarget target{};
    copyText(target.password, "FIRS-TDEV-ICEP-ASS1");
    std::memcpy(target.mac, kRemote, 6);
    uint64_t start = clock.now();
    EXPECT_FALSE(setDeviceNetworkKey(target, "Blue Harbour 42", false));
    EXPECT_EQ(0, target.result);
    EXPECT_EQ(0, busyFlag);
    // Five set-key requests for the remote device, each followed by a
    // version probe, and 1000 ms after every failed attempt.
    int setKeys = 0;
    for (const MemoryWire::Sent& s : wire.sent) {
        if (s.frame[15] == 0x50 && s.frame[16] == 0xA0) {
            ++setKeys;
            EXPECT_EQ(0x00, s.frame[37]);
            EXPECT_TRUE(same(s.frame.data() + 38, kRemote, 6));
            EXPECT_TRUE(same(s.frame.data() + 44, deriveDAK("FIRS-TDEV-ICEP-ASS1").data(), 16));
        }
    }
    EXPECT_EQ(5, setKeys);
    EXPECT_GE(clock.now() - start, 5u * (3700 + 1000));
}

TEST_F(KeyOperationsTest, ResetClearsEveryValue) {
    addingDevice = 1;
    addedDeviceMac[2] = 7;
    copyText(addedDeviceName, "Den");
    copyText(addedDevicePassword, "ABCD");
    priorHp10Key[0] = 9;
    quietNotDetected = 1;
    resetKeyOperations();
    EXPECT_EQ(0, addingDevice);
    const uint8_t zero[8] = {};
    EXPECT_TRUE(same(addedDeviceMac, zero, 6));
    EXPECT_STREQ("", addedDeviceName);
    EXPECT_STREQ("", addedDevicePassword);
    EXPECT_TRUE(same(priorHp10Key, zero, 8));
    EXPECT_EQ(0, quietNotDetected);
}

// The network password's checks, as the Security page and halyardctl both
// refuse it: too short or too long, then control characters and NULs.
TEST(NetworkKeyText, RefusalsAndTheirKinds) {
    EXPECT_EQ(KeyTextProblem::None, checkNetworkKeyText("Blue Harbour 42"));
    EXPECT_EQ(KeyTextProblem::None, checkNetworkKeyText("abcd"));
    EXPECT_EQ(KeyTextProblem::None, checkNetworkKeyText(std::string(24, 'x')));
    EXPECT_EQ(KeyTextProblem::InvalidNetworkPassword, checkNetworkKeyText("abc"));
    EXPECT_EQ(KeyTextProblem::InvalidNetworkPassword, checkNetworkKeyText(std::string(25, 'x')));
    EXPECT_EQ(KeyTextProblem::InvalidNetworkPassword, checkNetworkKeyText(""));
    EXPECT_EQ(KeyTextProblem::BreaksRules, checkNetworkKeyText("Blue\tHarbour"));
    // A NUL would cut the text short for the length check: still refused.
    EXPECT_EQ(KeyTextProblem::BreaksRules, checkNetworkKeyText(std::string("Blue\0Harbour", 12)));
}

} // namespace
