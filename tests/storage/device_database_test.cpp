// The device database file: exact layout, round trips, recovery of short and
// corrupt files, atomic replacement and file mode.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "network/model.h"
#include "packet/driver.h"
#include "packet/memory_wire.h"
#include "packet/packet.h"
#include "platform/clock.h"
#include "platform/messages.h"
#include "security/keys.h"
#include "storage/data_directory.h"
#include "storage/device_database.h"
#include "storage/preferences.h"
#include "support/temp_dir.h"

namespace {

constexpr const char* kReadProblem =
    "Unexpected condition reading database. Attempting to recover.";
constexpr const char* kWriteProblem =
    "Unexpected condition writing database. Attempting to recover.";

bool exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

int32_t intAt(const std::vector<uint8_t>& bytes, size_t offset) {
    int32_t v = 0;
    std::memcpy(&v, bytes.data() + offset, 4);
    return v;
}

void putInt(std::vector<uint8_t>& bytes, size_t offset, int32_t v) {
    std::memcpy(bytes.data() + offset, &v, 4);
}

class DeviceDatabaseTest : public ::testing::Test {
  protected:
    TempDir dir;
    VirtualClock clock;
    MemoryWire wire{clock};
    RecordingMessages messages;
    std::string dbPath;

    void SetUp() override {
        resetDeviceModel();
        resetPreferences();
        resetDeviceDatabaseState();
        setSystemClock(&clock);
        setPacketDriver(&wire);
        setMessageSink(&messages);
        MemoryWire::Port port;
        port.name = "eth0";
        port.mac[0] = 0x02;
        port.mac[5] = 0x01;
        wire.addPort(port);
        copyText(preferences.appName, "Plexora");
        ASSERT_TRUE(prepareDataDirectory(nullptr, {dir.file("tollbeam"), dir.file("fallback")}));
        dbPath = dir.file("tollbeam/Plexora.data");
        ASSERT_EQ(dbPath, deviceDatabasePath());
    }
    void TearDown() override {
        closeAllInterfaces();
        setPacketDriver(nullptr);
        setMessageSink(nullptr);
        setSystemClock(nullptr);
        resetDeviceDatabaseState();
        resetPreferences();
        resetDeviceModel();
    }

    // Fills every byte of the network records with a pattern (text fields end
    // in a terminator, as the model keeps them) and adds `n` device entries.
    void fillTables(int n) {
        auto* raw = reinterpret_cast<uint8_t*>(networkRecords);
        for (size_t i = 0; i < sizeof networkRecords; ++i) {
            raw[i] = static_cast<uint8_t>(i * 31 + 7);
        }
        for (NetworkRecord& r : networkRecords) {
            r.keyLabel[sizeof r.keyLabel - 1] = 0;
            for (RemoteDevice& d : r.remotes) {
                d.vendor[sizeof d.vendor - 1] = 0;
                d.product[sizeof d.product - 1] = 0;
                d.version[sizeof d.version - 1] = 0;
                d.keyLabel[sizeof d.keyLabel - 1] = 0;
            }
        }
        for (int i = 0; i < n; ++i) {
            uint8_t mac[6] = {
                0x00, 0xB0, 0x52, 0x00, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
            std::string name = "Device " + std::to_string(i + 1);
            ASSERT_EQ(i + 1, appendDeviceEntry(mac, name.c_str()));
            DeviceEntry& e = deviceTable[i];
            copyText(e.password, ("PASS-WORD-" + std::to_string(i)).c_str());
            copyText(e.keyLabel, "HomePlugAV");
            std::memcpy(e.networkKey, defaultNmk().data(), 16);
            e.lastSeen = 1700000000 + i;
        }
        currentInterface = 3;
        deviceListLayout = {{4, 0, 3, 1, 2}, {141, 311, 121, 71, 81}, 0, 2};
    }

    struct Snapshot {
        std::vector<uint8_t> records, entries;
        int32_t count, iface;
        DeviceListLayout layout;
    };
    static Snapshot snapshot() {
        Snapshot s;
        auto* r = reinterpret_cast<const uint8_t*>(networkRecords);
        s.records.assign(r, r + sizeof networkRecords);
        auto* e = reinterpret_cast<const uint8_t*>(deviceTable);
        s.entries.assign(e, e + sizeof deviceTable);
        s.count = deviceCount;
        s.iface = currentInterface;
        s.layout = deviceListLayout;
        return s;
    }
    static void expectTablesEqual(const Snapshot& a, const Snapshot& b) {
        EXPECT_EQ(a.count, b.count);
        EXPECT_EQ(a.iface, b.iface);
        EXPECT_TRUE(a.records == b.records);
        EXPECT_TRUE(a.entries == b.entries);
        EXPECT_EQ(0, std::memcmp(&a.layout, &b.layout, sizeof a.layout));
    }
    void clearTables() {
        resetDeviceModel();
        deviceListLayout = {};
    }

    void roundTrip(int n) {
        fillTables(n);
        Snapshot before = snapshot();
        ASSERT_TRUE(saveDeviceDatabase());
        std::vector<uint8_t> file = readFileBytes(dbPath);
        ASSERT_EQ(131468u + 198u * n, file.size());
        EXPECT_EQ(306, intAt(file, 0));
        EXPECT_EQ(3, intAt(file, 4));
        EXPECT_EQ(0, std::memcmp(file.data() + 8, networkRecords, 131408));
        EXPECT_EQ(n, intAt(file, 131416));
        EXPECT_EQ(0, std::memcmp(file.data() + 131420, deviceTable, 198u * n));
        size_t trailer = 131420 + 198u * n;
        EXPECT_EQ(4, intAt(file, trailer));        // column order[0]
        EXPECT_EQ(2, intAt(file, trailer + 16));   // column order[4]
        EXPECT_EQ(141, intAt(file, trailer + 20)); // width of column 0
        EXPECT_EQ(81, intAt(file, trailer + 36));  // width of column 4
        EXPECT_EQ(0, intAt(file, trailer + 40));   // sort direction
        EXPECT_EQ(2, intAt(file, trailer + 44));   // sort column

        clearTables();
        ASSERT_EQ(DatabaseLoad::Loaded, loadDeviceDatabase());
        expectTablesEqual(before, snapshot());
        ASSERT_TRUE(saveDeviceDatabase());
        EXPECT_TRUE(file == readFileBytes(dbPath));
        EXPECT_TRUE(messages.shown.empty());
    }
};

TEST_F(DeviceDatabaseTest, OneEntryRoundTripsByteForByte) {
    roundTrip(1);
}

TEST_F(DeviceDatabaseTest, HundredEntriesRoundTripByteForByte) {
    roundTrip(100);
}

TEST_F(DeviceDatabaseTest, NoEntriesWritesNothingAndLoadsAsReset) {
    fillTables(0);
    EXPECT_FALSE(saveDeviceDatabase());
    EXPECT_FALSE(exists(dbPath));
    int opensBefore = wire.openCount;
    EXPECT_EQ(DatabaseLoad::Missing, loadDeviceDatabase());
    EXPECT_GT(wire.openCount, opensBefore); // the reset reopened the interfaces
    EXPECT_EQ(0, currentInterface);
    EXPECT_EQ(0, deviceCount);
    for (const NetworkRecord& r : networkRecords) {
        EXPECT_STREQ("HomePlugAV", r.keyLabel);
        EXPECT_EQ(0, int32_t{r.activeRemoteCount});
        EXPECT_FALSE(macIsSet(r.remotes[0].mac));
    }
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(DeviceDatabaseTest, SavingWithoutEntriesLeavesAnExistingFileUntouched) {
    fillTables(2);
    ASSERT_TRUE(saveDeviceDatabase());
    std::vector<uint8_t> before = readFileBytes(dbPath);
    deleteDeviceEntry(2);
    deleteDeviceEntry(1);
    ASSERT_EQ(0, deviceCount);
    EXPECT_FALSE(saveDeviceDatabase());
    EXPECT_TRUE(before == readFileBytes(dbPath));
}

TEST_F(DeviceDatabaseTest, FileModeIsOwnerOnly) {
    writeFileBytes(dbPath, {1, 2, 3});
    chmod(dbPath.c_str(), 0666);
    mode_t old = umask(0);
    fillTables(1);
    bool saved = saveDeviceDatabase();
    umask(old);
    ASSERT_TRUE(saved);
    struct stat st {};
    ASSERT_EQ(0, stat(dbPath.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);
    EXPECT_FALSE(exists(dbPath + ".tmp"));
}

TEST_F(DeviceDatabaseTest, StoredInterfaceIsBroughtIntoRange) {
    fillTables(1);
    ASSERT_TRUE(saveDeviceDatabase());
    std::vector<uint8_t> file = readFileBytes(dbPath);
    putInt(file, 4, 9);
    writeFileBytes(dbPath, file);
    ASSERT_EQ(DatabaseLoad::Loaded, loadDeviceDatabase());
    EXPECT_EQ(7, currentInterface);
    putInt(file, 4, -3);
    writeFileBytes(dbPath, file);
    ASSERT_EQ(DatabaseLoad::Loaded, loadDeviceDatabase());
    EXPECT_EQ(0, currentInterface);
}

TEST_F(DeviceDatabaseTest, TooManyEntriesIsReportedAndTheFileKeptAside) {
    fillTables(100);
    ASSERT_TRUE(saveDeviceDatabase());
    std::vector<uint8_t> file = readFileBytes(dbPath);
    putInt(file, 131416, 101);
    file.insert(file.begin() + 131420 + 198 * 100, 198, 0x41);
    writeFileBytes(dbPath, file);

    EXPECT_EQ(DatabaseLoad::Recovered, loadDeviceDatabase());
    ASSERT_EQ(1u, messages.shown.size());
    EXPECT_EQ(kReadProblem, messages.shown[0].text);
    EXPECT_EQ("Problem Occurred", messages.shown[0].caption);
    EXPECT_EQ(MessageIcon::Warning, messages.shown[0].icon);
    EXPECT_EQ(0, deviceCount);
    EXPECT_EQ(0, deviceTable[0].name[0]);
    EXPECT_FALSE(exists(dbPath));
    EXPECT_TRUE(file == readFileBytes(dbPath + ".bad"));
}

TEST_F(DeviceDatabaseTest, ZeroOrNegativeCountIsReportedToo) {
    fillTables(1);
    ASSERT_TRUE(saveDeviceDatabase());
    std::vector<uint8_t> file = readFileBytes(dbPath);
    for (int32_t count : {0, -1}) {
        putInt(file, 131416, count);
        writeFileBytes(dbPath, file);
        messages.shown.clear();
        EXPECT_EQ(DatabaseLoad::Recovered, loadDeviceDatabase());
        ASSERT_EQ(1u, messages.shown.size());
        EXPECT_EQ("Problem Occurred", messages.shown[0].caption);
        EXPECT_EQ(0, deviceCount);
        EXPECT_TRUE(exists(dbPath + ".bad"));
    }
}

TEST_F(DeviceDatabaseTest, ShortFileIsMovedAsideSilentlyKeepingWhatWasRead) {
    fillTables(3);
    ASSERT_TRUE(saveDeviceDatabase());
    Snapshot saved = snapshot();
    std::vector<uint8_t> file = readFileBytes(dbPath);
    file.resize(131420 + 198 + 50); // cut inside the second entry
    writeFileBytes(dbPath, file);

    clearTables();
    uint8_t mac[6] = {2, 0, 0, 0, 0, 9};
    appendDeviceEntry(mac, "Kept");
    EXPECT_EQ(DatabaseLoad::Recovered, loadDeviceDatabase());
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_EQ(3, currentInterface);
    EXPECT_TRUE(saved.records == snapshot().records); // read before the short read
    EXPECT_EQ(1, deviceCount);                        // the entries were not
    EXPECT_STREQ("Kept", deviceTable[0].name);
    EXPECT_FALSE(exists(dbPath));
    EXPECT_TRUE(file == readFileBytes(dbPath + ".bad"));
}

TEST_F(DeviceDatabaseTest, EmptyFileLeavesTheTablesAsTheyWere) {
    writeFileBytes(dbPath, {});
    fillTables(2);
    Snapshot before = snapshot();
    EXPECT_EQ(DatabaseLoad::Recovered, loadDeviceDatabase());
    expectTablesEqual(before, snapshot());
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_TRUE(exists(dbPath + ".bad"));
}

TEST_F(DeviceDatabaseTest, MissingSortStateIsAShortRead) {
    fillTables(1);
    ASSERT_TRUE(saveDeviceDatabase());
    std::vector<uint8_t> file = readFileBytes(dbPath);
    file.resize(file.size() - 4);
    writeFileBytes(dbPath, file);
    EXPECT_EQ(DatabaseLoad::Recovered, loadDeviceDatabase());
    EXPECT_EQ(1, deviceCount);
    EXPECT_TRUE(exists(dbPath + ".bad"));
}

TEST_F(DeviceDatabaseTest, OldVersionResetsWithAttentionAndKeepsTheFile) {
    fillTables(1);
    ASSERT_TRUE(saveDeviceDatabase());
    std::vector<uint8_t> file = readFileBytes(dbPath);
    putInt(file, 0, 305);
    writeFileBytes(dbPath, file);
    deviceListLayout.sortColumn = 4;
    EXPECT_EQ(DatabaseLoad::OldVersion, loadDeviceDatabase());
    ASSERT_EQ(1u, messages.shown.size());
    EXPECT_EQ(kReadProblem, messages.shown[0].text);
    EXPECT_EQ("Attention", messages.shown[0].caption);
    EXPECT_EQ(MessageIcon::Warning, messages.shown[0].icon);
    EXPECT_EQ(0, deviceCount);
    EXPECT_EQ(0, currentInterface);
    EXPECT_STREQ("HomePlugAV", networkRecords[5].keyLabel);
    EXPECT_EQ(4, deviceListLayout.sortColumn); // the saved layout is not applied
    EXPECT_TRUE(file == readFileBytes(dbPath));
}

TEST_F(DeviceDatabaseTest, UnterminatedTextsAreCutAndBadColumnOrderIgnored) {
    fillTables(1);
    ASSERT_TRUE(saveDeviceDatabase());
    std::vector<uint8_t> file = readFileBytes(dbPath);
    std::memset(file.data() + 131420, 'N', 35);        // name without terminator
    std::memset(file.data() + 131420 + 41, 'P', 56);   // password without terminator
    std::memset(file.data() + 8 + 16386, 'L', 40);     // record 0 key label
    std::memset(file.data() + 8 + 45 + 225, 'V', 186); // slot 0 version text
    size_t trailer = 131420 + 198;
    putInt(file, trailer, 7); // column 7 does not exist
    putInt(file, trailer + 20, 222);
    writeFileBytes(dbPath, file);

    clearTables();
    deviceListLayout = {{0, 1, 2, 3, 4}, {1, 1, 1, 1, 1}, 1, 1};
    ASSERT_EQ(DatabaseLoad::Loaded, loadDeviceDatabase());
    EXPECT_EQ(34u, std::strlen(deviceTable[0].name));
    EXPECT_EQ(55u, std::strlen(deviceTable[0].password));
    EXPECT_EQ(39u, std::strlen(networkRecords[0].keyLabel));
    EXPECT_EQ(185u, std::strlen(networkRecords[0].remotes[0].version));
    EXPECT_EQ(0, deviceListLayout.columnOrder[0]); // kept
    EXPECT_EQ(4, deviceListLayout.columnOrder[4]);
    EXPECT_EQ(222, deviceListLayout.columnWidths[0]);
    EXPECT_EQ(2, deviceListLayout.sortColumn);
}

TEST_F(DeviceDatabaseTest, CrashDuringSaveLeavesThePreviousDatabase) {
    fillTables(2);
    ASSERT_TRUE(saveDeviceDatabase());
    Snapshot first = snapshot();
    std::vector<uint8_t> firstFile = readFileBytes(dbPath);

    copyText(deviceTable[0].name, "Renamed");
    injectSaveFault(SaveFault::Crash, 70000);
    EXPECT_FALSE(saveDeviceDatabase());
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_TRUE(exists(dbPath + ".tmp")); // what the dead process left behind
    EXPECT_TRUE(firstFile == readFileBytes(dbPath));

    clearTables();
    ASSERT_EQ(DatabaseLoad::Loaded, loadDeviceDatabase());
    expectTablesEqual(first, snapshot());

    // The next save replaces the leftover and succeeds.
    copyText(deviceTable[0].name, "Renamed");
    ASSERT_TRUE(saveDeviceDatabase());
    EXPECT_FALSE(exists(dbPath + ".tmp"));
    clearTables();
    ASSERT_EQ(DatabaseLoad::Loaded, loadDeviceDatabase());
    EXPECT_STREQ("Renamed", deviceTable[0].name);
}

TEST_F(DeviceDatabaseTest, WriteFailureIsReportedAndKeepsTheOldFile) {
    fillTables(1);
    ASSERT_TRUE(saveDeviceDatabase());
    std::vector<uint8_t> firstFile = readFileBytes(dbPath);
    copyText(deviceTable[0].name, "Changed");
    injectSaveFault(SaveFault::WriteError, 100);
    EXPECT_FALSE(saveDeviceDatabase());
    ASSERT_EQ(1u, messages.shown.size());
    EXPECT_EQ(kWriteProblem, messages.shown[0].text);
    EXPECT_EQ("Problem Occurred", messages.shown[0].caption);
    EXPECT_EQ(MessageIcon::Error, messages.shown[0].icon);
    EXPECT_TRUE(firstFile == readFileBytes(dbPath));
    EXPECT_FALSE(exists(dbPath + ".tmp"));
    EXPECT_TRUE(saveDeviceDatabase()); // the fault was for one save only
}

TEST_F(DeviceDatabaseTest, SaveIntoAMissingDirectoryFailsSilently) {
    ASSERT_TRUE(prepareDataDirectory(nullptr, {dir.file("tollbeam"), dir.file("fallback")}));
    resetDataDirectory();
    fillTables(1);
    EXPECT_FALSE(saveDeviceDatabase()); // no data directory chosen

    ASSERT_TRUE(prepareDataDirectory(nullptr, {dir.file("gone"), dir.file("fallback")}));
    rmdir(dir.file("gone").c_str());
    EXPECT_FALSE(saveDeviceDatabase());
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(DeviceDatabaseTest, FileNameFollowsTheApplicationName) {
    fillTables(1);
    ASSERT_TRUE(saveDeviceDatabase());
    copyText(preferences.appName, "Other");
    EXPECT_EQ(dir.file("tollbeam/Other.data"), deviceDatabasePath());
    EXPECT_EQ(DatabaseLoad::Missing, loadDeviceDatabase());
    copyText(preferences.appName, "../../etc/evil");
    EXPECT_EQ(dir.file("tollbeam/.._.._etc_evil.data"), deviceDatabasePath());
}

TEST_F(DeviceDatabaseTest, StateResetRestoresTheDefaultLayout) {
    deviceListLayout = {};
    resetDeviceDatabaseState();
    EXPECT_EQ(1, deviceListLayout.sortColumn);
    EXPECT_EQ(1, deviceListLayout.sortDirection);
    EXPECT_EQ(4, deviceListLayout.columnOrder[4]);
    EXPECT_EQ(140, deviceListLayout.columnWidths[0]);
    EXPECT_TRUE(dataDirectory().empty());
    EXPECT_TRUE(deviceDatabasePath().empty());
}

} // namespace
