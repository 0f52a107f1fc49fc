// Filing a device password and naming a device by MAC alone, as halyardctl
// does without the dialogs: what each call returns, and what the entries and
// the database file hold afterwards, also when the table is full.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "network/model.h"
#include "packet/frame_bytes.h"
#include "security/device_password.h"
#include "storage/data_directory.h"
#include "storage/device_database.h"
#include "storage/device_naming.h"
#include "storage/preferences.h"
#include "support/core_bench.h"
#include "support/temp_dir.h"

namespace {

const uint8_t kKitchen[6] = {0x00, 0xB0, 0x52, 0x00, 0x00, 0x11};
const uint8_t kNew1[6] = {0x00, 0xB0, 0x52, 0x00, 0x00, 0x21};
const uint8_t kNew2[6] = {0x00, 0xB0, 0x52, 0x00, 0x00, 0x22};
const char* const kGood = "ZXCV-BNMA-SDFG-HJKL";

class DevicePasswordTest : public ::testing::Test {
  protected:
    CoreBench bench;

    void SetUp() override {
        copyText(preferences.appName, "Tollbeam");
        ASSERT_TRUE(chooseDataDirectory({bench.dir.file("data"), bench.dir.file("fb")}).ready);
        appendDeviceEntry(kKitchen, "Kitchen");
    }
    // The tables as the database file holds them.
    void reload() {
        resetDeviceModel();
        ASSERT_EQ(DatabaseLoad::Loaded, loadDeviceDatabase());
    }
    static std::string nameOf(const uint8_t* mac) {
        const int i = findDeviceEntry(mac);
        return i > 0 ? fieldText(deviceTable[i - 1].name) : "<no entry>";
    }
    static std::string passwordOf(const uint8_t* mac) {
        const int i = findDeviceEntry(mac);
        return i > 0 ? fieldText(deviceTable[i - 1].password) : "<no entry>";
    }
};

TEST_F(DevicePasswordTest, ByMacTheEntryKeepsItsNameAndANewOneIsNamedOnce) {
    EXPECT_EQ(DevicePasswordResult::Stored, fileDevicePassword(kKitchen, kGood));
    EXPECT_EQ(DevicePasswordResult::Stored, fileDevicePassword(kNew1, "POIU-YTRE-WQLK-JHGF"));
    // "No Name" is taken now: a second new device's entry stays unnamed.
    EXPECT_EQ(DevicePasswordResult::Stored, fileDevicePassword(kNew2, "MNBV-CXZL-KJHG-FDSA"));
    reload();
    EXPECT_EQ("Kitchen", nameOf(kKitchen));
    EXPECT_EQ(kGood, passwordOf(kKitchen));
    EXPECT_EQ("No Name", nameOf(kNew1));
    EXPECT_EQ("POIU-YTRE-WQLK-JHGF", passwordOf(kNew1));
    EXPECT_EQ("", nameOf(kNew2));
    EXPECT_EQ("MNBV-CXZL-KJHG-FDSA", passwordOf(kNew2));
}

TEST_F(DevicePasswordTest, RefusalsStoreNothing) {
    EXPECT_EQ(DevicePasswordResult::Invalid, fileDevicePassword(kKitchen, "ABC"));
    EXPECT_EQ(DevicePasswordResult::Invalid, fileDevicePassword(kNew1, std::string(30, 'A')));
    EXPECT_EQ("", passwordOf(kKitchen));
    EXPECT_EQ(0, findDeviceEntry(kNew1)) << "a refused password makes no entry";
    // A local device with an old firmware takes no device password; the mark
    // is used up by the refusal.
    oldFirmware = 1;
    EXPECT_EQ(DevicePasswordResult::OldFirmware, fileDevicePassword(kKitchen, kGood));
    EXPECT_EQ("", passwordOf(kKitchen));
    EXPECT_EQ(DevicePasswordResult::Stored, fileDevicePassword(kKitchen, kGood));
}

TEST_F(DevicePasswordTest, AFullTableTakesNoNewDeviceAndTheFileStaysAsItWas) {
    for (int i = 2; i <= kMaxDeviceEntries; ++i) {
        uint8_t mac[6] = {
            0x02, 0x00, 0x00, 0x00, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
        ASSERT_EQ(i, appendDeviceEntry(mac, ("Device " + std::to_string(i)).c_str()));
    }
    ASSERT_TRUE(saveDeviceDatabase());
    const std::vector<uint8_t> before = readFileBytes(deviceDatabasePath());

    EXPECT_EQ(DevicePasswordResult::NoEntry, fileDevicePassword(kNew1, kGood));
    const DeviceRename rename = renameDevice(0, kNew1, "Shed");
    EXPECT_EQ(RenameResult::NotStored, rename.result);
    EXPECT_EQ("", rename.storedName);
    EXPECT_EQ(kMaxDeviceEntries, deviceCount);
    EXPECT_EQ(before, readFileBytes(deviceDatabasePath()));

    // A device that has its entry is still renamed and given its password.
    EXPECT_EQ(RenameResult::Renamed, renameDevice(0, kKitchen, "Scullery").result);
    EXPECT_EQ(DevicePasswordResult::Stored, fileDevicePassword(kKitchen, kGood));
    reload();
    EXPECT_EQ("Scullery", nameOf(kKitchen));
    EXPECT_EQ(kGood, passwordOf(kKitchen));
}

} // namespace
