// The device database file: exact layout, round trips, recovery of short and
// corrupt files, files that cannot be read or are of another layout version,
// atomic replacement, the temporary files of killed saves, file mode and
// planted links, and deleting the last entry.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <future>
#include <limits>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "ui/diagnostics_page_logic.h"

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
#include "support/unprivileged.h"
#include "ui/outcome_boxes.h"

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

// Temporary files of atomic saves in `dir`.
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
        installOutcomeSinks();
        MemoryWire::Port port;
        port.name = "eth0";
        port.mac[0] = 0x02;
        port.mac[5] = 0x01;
        wire.addPort(port);
        copyText(preferences.appName, "Plexora");
        ASSERT_TRUE(chooseDataDirectory({dir.file("tollbeam"), dir.file("fallback")}).ready);
        dbPath = dir.file("tollbeam/Plexora.data");
        ASSERT_EQ(dbPath, deviceDatabasePath());
    }
    void TearDown() override {
        closeAllInterfaces();
        setPacketDriver(nullptr);
        removeOutcomeSinks();
        setMessageSink(nullptr);
        setSystemClock(nullptr);
        resetDeviceDatabaseState();
        resetPreferences();
        resetDeviceModel();
    }

    // Fills every byte of the network records with a pattern (text fields end
    // in a terminator and rates are in range, as the model keeps them) and
    // adds `n` device entries.
    void fillTables(int n) {
        auto* raw = reinterpret_cast<uint8_t*>(networkRecords);
        for (size_t i = 0; i < sizeof networkRecords; ++i) {
            raw[i] = static_cast<uint8_t>(i * 31 + 7);
        }
        // Link statistics hold rates as the model keeps them: whole numbers
        // in the families' range (loading cleans any other value to 0).
        int rated = 0;
        auto rate = [&rated](LinkStats& s) {
            ++rated;
            s.rate = rated % 200;
            s.lowest = rated % 50;
            s.highest = 200 + rated;
            s.changed = static_cast<uint8_t>(rated & 1);
        };
        for (NetworkRecord& r : networkRecords) {
            r.keyLabel[sizeof r.keyLabel - 1] = 0;
            rate(r.localStats);
            for (RemoteDevice& d : r.remotes) {
                rate(d.stats);
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
    EXPECT_TRUE(temporaryFilesIn(dir.file("tollbeam")).empty());
}

TEST_F(DeviceDatabaseTest, PlantedLinkIsReplacedNotFollowed) {
    const std::string victim = dir.file("victim");
    writeFileText(victim, "root:x:0:0::/root:/bin/sh\n");
    ASSERT_EQ(0, symlink(victim.c_str(), dbPath.c_str()));
    mode_t old = umask(0);
    fillTables(1);
    bool saved = saveDeviceDatabase();
    umask(old);
    ASSERT_TRUE(saved);
    struct stat st {};
    ASSERT_EQ(0, lstat(dbPath.c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(0600u, st.st_mode & 07777);
    EXPECT_EQ(databaseFileSize(1), static_cast<size_t>(st.st_size));
    const std::vector<uint8_t> victimBytes = readFileBytes(victim);
    EXPECT_EQ("root:x:0:0::/root:/bin/sh\n", std::string(victimBytes.begin(), victimBytes.end()));
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

TEST_F(DeviceDatabaseTest, OldVersionIsMovedAsideBeforeAnythingIsWritten) {
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
    EXPECT_FALSE(exists(dbPath));
    EXPECT_TRUE(file == readFileBytes(dbPath + ".old"));

    // The first save writes a new database; the old one stays aside.
    fillTables(1);
    ASSERT_TRUE(saveDeviceDatabase());
    EXPECT_TRUE(file == readFileBytes(dbPath + ".old"));
    EXPECT_EQ(DatabaseLoad::Loaded, loadDeviceDatabase());
}

TEST_F(DeviceDatabaseTest, NewerVersionIsRefusedWithAMessageAndKept) {
    fillTables(2);
    ASSERT_TRUE(saveDeviceDatabase());
    std::vector<uint8_t> file = readFileBytes(dbPath);
    putInt(file, 0, 307);
    writeFileBytes(dbPath, file);

    clearTables();
    EXPECT_EQ(DatabaseLoad::NewerVersion, loadDeviceDatabase());
    ASSERT_EQ(1u, messages.shown.size());
    EXPECT_EQ("Attention", messages.shown[0].caption);
    EXPECT_EQ(MessageIcon::Warning, messages.shown[0].icon);
    EXPECT_NE(std::string::npos, messages.shown[0].text.find(dbPath));
    EXPECT_NE(std::string::npos, messages.shown[0].text.find("newer version"));
    EXPECT_NE(std::string::npos, messages.shown[0].text.find("kept as it is"));
    EXPECT_EQ(0, deviceCount);
    EXPECT_STREQ("HomePlugAV", networkRecords[0].keyLabel);

    // Whatever the user does in this run is not saved over it.
    fillTables(1);
    EXPECT_FALSE(saveDeviceDatabase());
    EXPECT_TRUE(file == readFileBytes(dbPath));
    // Loading again (the About page's icon switch) neither asks again nor
    // throws away what the user did.
    EXPECT_EQ(DatabaseLoad::NewerVersion, loadDeviceDatabase());
    EXPECT_EQ(1u, messages.shown.size());
    EXPECT_EQ(1, deviceCount);
}

TEST_F(DeviceDatabaseTest, FileWithoutReadPermissionIsKeptAndNeverSavedOver) {
    fillTables(2);
    ASSERT_TRUE(saveDeviceDatabase());
    const std::vector<uint8_t> file = readFileBytes(dbPath);
    // The folder lets anyone write, so only the refusal keeps a save away.
    chmod(dir.path().c_str(), 0755);
    chmod(dir.file("tollbeam").c_str(), 0777);
    if (geteuid() != 0)
        chmod(dbPath.c_str(), 0000);
    clearTables();
    EXPECT_EQ(0, runUnprivileged([&] {
                  if (loadDeviceDatabase() != DatabaseLoad::Unreadable || deviceCount != 0 ||
                      messages.shown.size() != 1 ||
                      messages.shown[0].caption != "Problem Occurred" ||
                      messages.shown[0].text.find("cannot be read (Permission denied)") ==
                          std::string::npos)
                      return false;
                  fillTables(1);
                  return !saveDeviceDatabase() && temporaryFilesIn(dir.file("tollbeam")).empty();
              }));
    chmod(dbPath.c_str(), 0600);
    EXPECT_TRUE(file == readFileBytes(dbPath));
    EXPECT_FALSE(exists(dbPath + ".bad"));
}

TEST_F(DeviceDatabaseTest, SomethingOtherThanAFileIsKeptAndNeverSavedOver) {
    ASSERT_EQ(0, mkdir(dbPath.c_str(), 0700));
    EXPECT_EQ(DatabaseLoad::Unreadable, loadDeviceDatabase());
    ASSERT_EQ(1u, messages.shown.size());
    EXPECT_NE(std::string::npos, messages.shown[0].text.find("(not a regular file)"));
    fillTables(1);
    EXPECT_FALSE(saveDeviceDatabase());
    struct stat st {};
    ASSERT_EQ(0, lstat(dbPath.c_str(), &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST_F(DeviceDatabaseTest, FifoAtThePathDoesNotHangTheStart) {
    ASSERT_EQ(0, mkfifo(dbPath.c_str(), 0600));
    auto loading = std::async(std::launch::async, [] { return loadDeviceDatabase(); });
    if (loading.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        const int writer = open(dbPath.c_str(), O_WRONLY | O_NONBLOCK);
        loading.wait();
        close(writer);
        FAIL() << "loading the database blocked on a FIFO";
    }
    EXPECT_EQ(DatabaseLoad::Unreadable, loading.get());
    EXPECT_EQ(1u, messages.shown.size());
    EXPECT_EQ(0, deviceCount);
    fillTables(1);
    EXPECT_FALSE(saveDeviceDatabase());
    struct stat st {};
    ASSERT_EQ(0, lstat(dbPath.c_str(), &st));
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST_F(DeviceDatabaseTest, TruncationInsideTheNetworkRecordsIsMovedAside) {
    fillTables(2);
    ASSERT_TRUE(saveDeviceDatabase());
    std::vector<uint8_t> file = readFileBytes(dbPath);
    file.resize(8 + 3 * sizeof(NetworkRecord) + 100); // inside the fourth record
    writeFileBytes(dbPath, file);

    clearTables();
    EXPECT_EQ(DatabaseLoad::Recovered, loadDeviceDatabase());
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_EQ(3, currentInterface); // read before the short read
    EXPECT_EQ(0, deviceCount);
    EXPECT_FALSE(exists(dbPath));
    EXPECT_TRUE(file == readFileBytes(dbPath + ".bad"));

    // The next save starts a whole new file, which loads.
    fillTables(1);
    Snapshot saved = snapshot();
    ASSERT_TRUE(saveDeviceDatabase());
    clearTables();
    ASSERT_EQ(DatabaseLoad::Loaded, loadDeviceDatabase());
    expectTablesEqual(saved, snapshot());
    EXPECT_TRUE(file == readFileBytes(dbPath + ".bad"));
}

// A file cut inside the network records changes no record in memory: the
// records are taken whole or not at all, as the entries are.
TEST_F(DeviceDatabaseTest, TruncationInsideTheNetworkRecordsChangesNoRecord) {
    fillTables(2);
    ASSERT_TRUE(saveDeviceDatabase());
    std::vector<uint8_t> file = readFileBytes(dbPath);
    file.resize(8 + 3 * sizeof(NetworkRecord) + 100);
    writeFileBytes(dbPath, file);

    clearTables();
    copyText(networkRecords[0].keyLabel, "Blue Harbour 42");
    networkRecords[5].localPresent = 1;
    const Snapshot before = snapshot();
    EXPECT_EQ(DatabaseLoad::Recovered, loadDeviceDatabase());
    EXPECT_TRUE(before.records == snapshot().records);
    EXPECT_STREQ("Blue Harbour 42", networkRecords[0].keyLabel);
}

TEST_F(DeviceDatabaseTest, DeletingTheLastEntryIsSavedAndSurvivesARestart) {
    fillTables(2);
    ASSERT_TRUE(saveDeviceDatabase());
    const std::string first = formatMac(deviceTable[0].mac);
    const std::string second = formatMac(deviceTable[1].mac);

    messages.answerNext(MessageResult::Yes); // it has a password
    ASSERT_TRUE(deleteHistoryDevice(first));
    clearTables();
    ASSERT_EQ(DatabaseLoad::Loaded, loadDeviceDatabase());
    ASSERT_EQ(1, deviceCount);
    EXPECT_EQ(second, formatMac(deviceTable[0].mac));

    messages.answerNext(MessageResult::Yes);
    ASSERT_TRUE(deleteHistoryDevice(second));
    EXPECT_EQ(0, deviceCount);
    EXPECT_FALSE(exists(dbPath));

    // The next start: neither the device nor its password comes back.
    resetDeviceModel();
    EXPECT_EQ(DatabaseLoad::Missing, loadDeviceDatabase());
    EXPECT_EQ(0, deviceCount);
    EXPECT_EQ(2u, messages.shown.size()); // the two password questions only
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

// Found by fuzzing: a file with a remote slot that is active with no MAC was
// loaded as it stood, and the list showed a device 00:00:00:00:00:00. The reproducer as
// the fuzzer wrote it: the bytes that are not zero (offset, value) of a
// 131864-byte file.
TEST_F(DeviceDatabaseTest, SlotWithoutMacIsLoadedInactive) {
    static const std::pair<size_t, uint8_t> kReproducer[] = {
        {0, 50},       {1, 1},        {53, 1},       {58, 80},      {59, 194},     {62, 17},
        {118, 77},     {119, 111},    {120, 114},    {121, 118},    {122, 97},     {123, 110},
        {124, 116},    {125, 97},     {89806, 53},   {89809, 32},   {89810, 49},   {89811, 250},
        {89812, 255},  {89813, 255},  {89814, 255},  {89815, 255},  {89816, 255},  {89817, 255},
        {89820, 255},  {131416, 2},   {131420, 79},  {131421, 102}, {131422, 102}, {131423, 105},
        {131424, 99},  {131425, 101}, {131456, 80},  {131457, 194}, {131460, 32},  {131461, 65},
        {131462, 66},  {131463, 67},  {131464, 68},  {131465, 45},  {131466, 69},  {131467, 70},
        {131468, 71},  {131469, 72},  {131470, 45},  {131471, 73},  {131472, 74},  {131473, 75},
        {131474, 76},  {131475, 45},  {131476, 77},  {131477, 78},  {131478, 79},  {131479, 80},
        {131618, 75},  {131619, 105}, {131620, 116}, {131621, 99},  {131622, 104}, {131623, 101},
        {131624, 110}, {131654, 80},  {131655, 194}, {131658, 33},  {131659, 65},  {131660, 66},
        {131661, 67},  {131662, 68},  {131663, 45},  {131664, 69},  {131665, 70},  {131666, 71},
        {131667, 72},  {131668, 45},  {131669, 73},  {131670, 74},  {131671, 75},  {131672, 76},
        {131673, 45},  {131674, 77},  {131675, 78},  {131676, 79},  {131677, 80},  {131816, 4},
        {131820, 3},   {131824, 2},   {131828, 1},   {131836, 140}, {131840, 54},  {131841, 1},
        {131844, 120}, {131848, 70},  {131852, 80},  {131856, 1},   {131860, 1}};
    std::vector<uint8_t> file(131864, 0);
    for (const auto& [offset, value] : kReproducer)
        file[offset] = value;
    writeFileBytes(dbPath, file);
    ASSERT_EQ(DatabaseLoad::Loaded, loadDeviceDatabase());
    // Interface 5, slot 15: active (bytes 89818..89821) with no MAC.
    EXPECT_EQ(0, +networkRecords[5].remotes[15].active);
    // Interface 0, slot 0 has its MAC 00:50:C2:00:00:11 and stays as stored.
    const RemoteDevice& first = networkRecords[0].remotes[0];
    EXPECT_EQ(1, +first.active);
    EXPECT_EQ(0x11, +first.mac[5]);
    EXPECT_STREQ("Morvanta", first.vendor);
    EXPECT_EQ(2, deviceCount);
}

// Link statistics are stored as raw doubles: a file may hold NaN, an
// infinity or a rate no adapter reports. Loading makes each of them 0.
TEST_F(DeviceDatabaseTest, LoadedLinkStatisticsAreCleaned) {
    fillTables(2);
    networkRecords[0].localStats.rate = std::nan("");
    networkRecords[0].localStats.lowest = -0.0;
    networkRecords[0].remotes[1].stats.highest = 1e300;
    networkRecords[0].remotes[1].stats.rate = std::numeric_limits<double>::infinity();
    networkRecords[0].remotes[1].stats.lowest = 42.0;
    ASSERT_TRUE(saveDeviceDatabase());
    std::memset(networkRecords, 0xFF, sizeof networkRecords);
    ASSERT_EQ(DatabaseLoad::Loaded, loadDeviceDatabase());
    const LinkStats& local = networkRecords[0].localStats;
    EXPECT_EQ(0.0, local.rate);
    EXPECT_FALSE(std::signbit(local.lowest));
    const LinkStats& remote = networkRecords[0].remotes[1].stats;
    EXPECT_EQ(0.0, remote.rate);
    EXPECT_EQ(0.0, remote.highest);
    EXPECT_EQ(42.0, remote.lowest); // a rate in range is kept
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
    // What the dead process left behind, with the passwords in it.
    EXPECT_EQ(1u, temporaryFilesIn(dir.file("tollbeam")).size());
    EXPECT_TRUE(firstFile == readFileBytes(dbPath));

    // The next start removes it and loads the previous database.
    clearTables();
    ASSERT_EQ(DatabaseLoad::Loaded, loadDeviceDatabase());
    expectTablesEqual(first, snapshot());
    EXPECT_TRUE(temporaryFilesIn(dir.file("tollbeam")).empty());

    copyText(deviceTable[0].name, "Renamed");
    ASSERT_TRUE(saveDeviceDatabase());
    clearTables();
    ASSERT_EQ(DatabaseLoad::Loaded, loadDeviceDatabase());
    EXPECT_STREQ("Renamed", deviceTable[0].name);
}

TEST_F(DeviceDatabaseTest, StaleTemporaryFilesGoAtStartButNotOneBeingWritten) {
    const std::string stale = dbPath + ".tmp.q1W2e3";
    writeFileText(stale, "every device password");
    const std::string busy = dbPath + ".tmp.r4T5y6";
    writeFileText(busy, "a save in progress");
    const int held = open(busy.c_str(), O_RDONLY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(0, flock(held, LOCK_EX));
    EXPECT_EQ(DatabaseLoad::Missing, loadDeviceDatabase());
    EXPECT_FALSE(exists(stale));
    EXPECT_TRUE(exists(busy));
    close(held);
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
    EXPECT_TRUE(temporaryFilesIn(dir.file("tollbeam")).empty());
    EXPECT_TRUE(saveDeviceDatabase()); // the fault was for one save only
}

TEST_F(DeviceDatabaseTest, SaveIntoAMissingDirectoryFailsSilently) {
    ASSERT_TRUE(chooseDataDirectory({dir.file("tollbeam"), dir.file("fallback")}).ready);
    resetDataDirectory();
    fillTables(1);
    EXPECT_FALSE(saveDeviceDatabase()); // no data directory chosen

    ASSERT_TRUE(chooseDataDirectory({dir.file("gone"), dir.file("fallback")}).ready);
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
