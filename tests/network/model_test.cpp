// Device model: layouts, slot handling, device table packing, rate conversions.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <string>

#include "network/model.h"

namespace {

class ModelTest : public ::testing::Test {
  protected:
    void SetUp() override { resetDeviceModel(); }
    void TearDown() override { resetDeviceModel(); }
    static void mac(uint8_t out[6], uint8_t last, uint8_t fifth = 0) {
        const uint8_t m[6] = {0x00, 0x11, 0x22, 0x33, fifth, last};
        std::memcpy(out, m, 6);
    }
};

TEST_F(ModelTest, FileLayoutsHaveTheirByteSizes) {
    // A record written raw must put the key label at offset 16386 of each network record.
    NetworkRecord record{};
    copyText(record.keyLabel, "HomePlugAV");
    const auto* bytes = reinterpret_cast<const uint8_t*>(&record);
    EXPECT_EQ(0, std::memcmp(bytes + 16386, "HomePlugAV", 10));
    record.remotes[31].stats.changed = 1;
    EXPECT_EQ(1, bytes[45 + 31 * 509 + 420 + 32]);
    DeviceEntry entry{};
    entry.lastSeen = 0x0102030405060708LL;
    const auto* e = reinterpret_cast<const uint8_t*>(&entry);
    EXPECT_EQ(0x08, e[190]); // little-endian
    EXPECT_EQ(0x01, e[197]);
    EXPECT_EQ(131408u, sizeof networkRecords);
}

TEST_F(ModelTest, MacHelpers) {
    uint8_t a[6];
    mac(a, 0xAB);
    EXPECT_EQ("00:11:22:33:00:AB", formatMac(a));
    uint8_t parsed[6];
    EXPECT_TRUE(parseMac("00:11:22:33:00:ab", parsed));
    EXPECT_TRUE(macEqual(a, parsed));
    EXPECT_FALSE(parseMac("00:11:22", parsed));
    EXPECT_FALSE(parseMac("zz:11:22:33:44:55", parsed));
    const uint8_t zero[6] = {};
    EXPECT_FALSE(macIsSet(zero));
    EXPECT_TRUE(macIsSet(a));
}

TEST_F(ModelTest, ZeroMacNeverMatchesARemote) {
    // Free slots hold a zero MAC; looking up zero must not return one of them.
    const uint8_t zero[6] = {};
    EXPECT_EQ(nullptr, findRemote(zero));
}

TEST_F(ModelTest, RecordRemoteFillsSlotsInOrderAndStampsTheKey) {
    localIsAv = 1;
    std::memset(avNetworkKey, 0x5A, 16);
    copyText(avKeyLabel, "garden shed");
    uint8_t a[6], b[6];
    mac(a, 1);
    mac(b, 2);
    recordRemote(a);
    recordRemote(b);
    recordRemote(a);
    NetworkRecord& rec = networkRecords[0];
    EXPECT_TRUE(macEqual(rec.remotes[0].mac, a));
    EXPECT_TRUE(macEqual(rec.remotes[1].mac, b));
    EXPECT_EQ(2, +rec.remotes[0].seenCount);
    EXPECT_EQ(1, +rec.remotes[0].active);
    EXPECT_EQ(kTypeAv, +rec.remotes[0].deviceType);
    EXPECT_EQ(3, +rec.remotes[0].missesTillDrop);
    EXPECT_STREQ("garden shed", rec.remotes[1].keyLabel);
    EXPECT_EQ(0x5A, rec.remotes[1].networkKey[15]);
}

TEST_F(ModelTest, RecordRemoteIgnoresTheLocalDevice) {
    uint8_t local[6];
    mac(local, 9);
    std::memcpy(scanStates[0].localMac, local, 6);
    recordRemote(local);
    EXPECT_FALSE(macIsSet(networkRecords[0].remotes[0].mac));
}

TEST_F(ModelTest, HomePlug10RemoteKeepsUpperKeyBytes) {
    uint8_t a[6];
    mac(a, 1);
    std::memset(hp10NetworkKey, 0x11, 8);
    networkRecords[0].remotes[0].networkKey[12] = 0x77; // left from an earlier sighting
    recordRemote(a);
    EXPECT_EQ(kTypeHp10, +networkRecords[0].remotes[0].deviceType);
    EXPECT_EQ(0x11, networkRecords[0].remotes[0].networkKey[7]);
    EXPECT_EQ(0x77, networkRecords[0].remotes[0].networkKey[12]);
}

TEST_F(ModelTest, ReturningDeviceGetsItsOldSlotAndCounters) {
    uint8_t a[6], b[6];
    mac(a, 1);
    mac(b, 2);
    recordRemote(a);
    recordRemote(b);
    RemoteDevice& slot = networkRecords[0].remotes[0];
    slot.active = 0; // dropped by ageing
    slot.missTotal = 3;
    slot.stats.highest = 42;
    recordRemote(a);
    EXPECT_EQ(&slot, findRemote(a));
    EXPECT_EQ(1, +slot.active);
    EXPECT_EQ(2, +slot.seenCount);
    EXPECT_EQ(3, +slot.missTotal);
    EXPECT_EQ(42, +slot.stats.highest);
}

TEST_F(ModelTest, ThirtyThirdRemoteReplacesSlot31) {
    uint8_t m[6];
    for (int i = 0; i < 32; ++i) {
        mac(m, static_cast<uint8_t>(i + 1));
        recordRemote(m);
    }
    networkRecords[0].remotes[31].seenCount = 7;
    mac(m, 200);
    recordRemote(m);
    RemoteDevice& last = networkRecords[0].remotes[31];
    EXPECT_TRUE(macEqual(last.mac, m));
    EXPECT_EQ(8, +last.seenCount); // the slot's other fields keep their values
    mac(m, 32);
    EXPECT_EQ(nullptr, findRemote(m));
    mac(m, 31);
    EXPECT_NE(nullptr, findRemote(m));
}

TEST_F(ModelTest, DeleteEntryPacksTableAndRemoteSlots) {
    uint8_t a[6], b[6], c[6];
    mac(a, 1);
    mac(b, 2);
    mac(c, 3);
    ASSERT_EQ(1, appendDeviceEntry(a, "Device 1"));
    ASSERT_EQ(2, appendDeviceEntry(b, "Device 2"));
    ASSERT_EQ(3, appendDeviceEntry(c, "Device 3"));
    recordRemote(a);
    recordRemote(b);
    recordRemote(c);
    networkRecords[0].remotes[2].seenCount = 5;

    deleteDeviceEntry(2);
    EXPECT_EQ(2, deviceCount);
    EXPECT_STREQ("Device 3", deviceTable[1].name);
    EXPECT_EQ(0, deviceTable[2].name[0]);
    EXPECT_TRUE(macEqual(networkRecords[0].remotes[1].mac, c));
    EXPECT_EQ(5, +networkRecords[0].remotes[1].seenCount);
    EXPECT_FALSE(macIsSet(networkRecords[0].remotes[2].mac));
    EXPECT_EQ(0, findDeviceEntry(b));
    EXPECT_EQ(2, findDeviceEntry(c));
    EXPECT_EQ(2, findDeviceEntryByName("Device 3"));
    EXPECT_EQ(0, findDeviceEntryByName("device 3"));
}

TEST_F(ModelTest, DeletingTheOnlyEntryLeavesAZeroTable) {
    uint8_t a[6];
    mac(a, 1);
    appendDeviceEntry(a, "Device 1");
    deleteDeviceEntry(1);
    EXPECT_EQ(0, deviceCount);
    DeviceEntry zero{};
    EXPECT_EQ(0, std::memcmp(&zero, &deviceTable[0], sizeof zero));
    deleteDeviceEntry(1); // nothing left to delete
    EXPECT_EQ(0, deviceCount);
}

// Entries are reached by 1-based index only where one is; stamping an entry
// as seen gives it the current interface's key label (a label that fills its
// field whole included) and the present time, and touches nothing else.
TEST_F(ModelTest, EntryByIndexAndItsSeenStamp) {
    uint8_t a[6], b[6], unknown[6];
    mac(a, 1);
    mac(b, 2);
    mac(unknown, 9);
    ASSERT_EQ(1, appendDeviceEntry(a, "Device 1"));
    ASSERT_EQ(2, appendDeviceEntry(b, "Device 2"));
    EXPECT_EQ(nullptr, deviceEntryAt(0));
    EXPECT_EQ(nullptr, deviceEntryAt(3));
    EXPECT_EQ(nullptr, deviceEntryAt(-1));
    EXPECT_EQ(nullptr, deviceEntryAt(kMaxDeviceEntries + 1));
    ASSERT_NE(nullptr, deviceEntryAt(2));
    EXPECT_STREQ("Device 2", deviceEntryAt(2)->name);

    currentInterface = 1;
    std::memset(networkRecords[1].keyLabel, 'K', sizeof networkRecords[1].keyLabel);
    const DeviceEntry before = deviceTable[0];
    const int64_t start = static_cast<int64_t>(std::time(nullptr));
    const DeviceEntry* stamped = stampDeviceEntry(b);
    ASSERT_EQ(deviceEntryAt(2), stamped);
    EXPECT_EQ(std::string(sizeof networkRecords[1].keyLabel, 'K'), stamped->keyLabel);
    EXPECT_GE(stamped->lastSeen, start);
    EXPECT_LE(stamped->lastSeen, static_cast<int64_t>(std::time(nullptr)));
    EXPECT_EQ(0, std::memcmp(&before, &deviceTable[0], sizeof before)) << "the other entry";

    const DeviceEntry tableBefore = deviceTable[1];
    EXPECT_EQ(nullptr, stampDeviceEntry(unknown));
    currentInterface = -1;
    EXPECT_EQ(deviceEntryAt(2), stampDeviceEntry(b)) << "no interface: found, not stamped";
    EXPECT_EQ(0, std::memcmp(&tableBefore, &deviceTable[1], sizeof tableBefore));
}

TEST_F(ModelTest, HundredFirstEntryIsRefused) {
    uint8_t m[6];
    for (int i = 0; i < kMaxDeviceEntries; ++i) {
        mac(m, static_cast<uint8_t>(i), 1);
        ASSERT_EQ(i + 1, appendDeviceEntry(m, "x"));
    }
    mac(m, 0xEE, 2);
    EXPECT_EQ(0, appendDeviceEntry(m, "one too many"));
    EXPECT_EQ(kMaxDeviceEntries, deviceCount);
    EXPECT_EQ(0, findDeviceEntry(m));
}

TEST_F(ModelTest, AvKeyLookupComparesEightBytesAndCopiesTheLabel) {
    uint8_t a[6];
    mac(a, 1);
    appendDeviceEntry(a, "Device 1");
    std::memset(deviceTable[0].networkKey, 0x42, 16);
    copyText(deviceTable[0].keyLabel, "my network");
    uint8_t key[16];
    std::memset(key, 0x42, 16);
    key[12] = 0; // differs only beyond the first 8 bytes
    EXPECT_EQ(1, findDeviceEntryByAvKey(key));
    EXPECT_STREQ("my network", matchedKeyLabel);
    key[3] = 0;
    EXPECT_EQ(0, findDeviceEntryByAvKey(key));
}

TEST_F(ModelTest, OverlongNamesAreCutInsideTheField) {
    uint8_t a[6];
    mac(a, 1);
    appendDeviceEntry(a, "a name far longer than the thirty-five bytes of the field");
    EXPECT_EQ(34u, std::strlen(deviceTable[0].name));
}

TEST_F(ModelTest, ClassNames) {
    scanStates[2].deviceClass = kClassAv;
    EXPECT_STREQ("HomePlug AV Device", className(2));
    scanStates[2].deviceClass = 3;
    EXPECT_STREQ("HomePlug 1.0 Device", className(2));
    scanStates[2].deviceClass = 99;
    EXPECT_STREQ("Adapter", className(2));
    EXPECT_DOUBLE_EQ(85.0, nominalRateForType(kTypeTurbo));
    EXPECT_DOUBLE_EQ(14.0, nominalRateForClass(kClassHp10));
    EXPECT_DOUBLE_EQ(200.0, nominalRateForClass(kClassAv));
}

TEST(LinkStatsTest, Hp10RawZeroGivesZeroAndSetsLowest) {
    LinkStats s{};
    s.lowest = 0.5;
    const uint16_t raw[3] = {0, 4, 5};
    updateLinkStats(s, raw, kRateHp10);
    EXPECT_EQ(0.0, +s.rate);
    EXPECT_EQ(0.0, +s.lowest);
    EXPECT_EQ(1, +s.changed); // the unrounded -0.13 differs from 0 by more than 0.02
    EXPECT_EQ(4u, +s.fails);
    EXPECT_EQ(5u, +s.drops);
}

TEST(LinkStatsTest, FirstMeasurementReplacesLowestBelowOne) {
    LinkStats s{};
    const uint16_t raw[3] = {151, 0, 0};
    updateLinkStats(s, raw, kRateAv);
    EXPECT_EQ(200.0, +s.rate);
    EXPECT_EQ(200.0, +s.lowest);
    EXPECT_EQ(200.0, +s.highest);
    EXPECT_EQ(1, +s.changed);
    const uint16_t lower[3] = {100, 0, 0};
    s.changed = 0;
    updateLinkStats(s, lower, kRateAv);
    EXPECT_EQ(132.0, +s.rate); // 100 * 200 / 151 = 132.4 in integer arithmetic
    EXPECT_EQ(132.0, +s.lowest);
    EXPECT_EQ(200.0, +s.highest);
    EXPECT_EQ(1, +s.changed);
}

TEST(LinkStatsTest, RateConversionsByKind) {
    // Worked out by hand, not by the formula: HomePlug 1.0 raw 420 is 11.3047 Mbit/s.
    EXPECT_NEAR(11.3047, convertRate(420, kRateHp10), 5e-5);
    EXPECT_NEAR(-0.1298, convertRate(0, kRateHp10), 5e-5); // a quiet link, before clamping
    // Turbo, three segments: raw 252 ends the first, 378 and 840 lie in the others.
    EXPECT_NEAR(6.0, convertRate(252, kRateTurbo), 1e-12);
    EXPECT_NEAR(9.7753, convertRate(378, kRateTurbo), 5e-5);
    EXPECT_NEAR(23.9394, convertRate(840, kRateTurbo), 5e-5);
    EXPECT_EQ(1324.0, convertRate(1000, kRateAv));
    EXPECT_EQ(kHighestRate, convertRate(65535, kRateAv));
    LinkStats s{};
    const uint16_t raw[3] = {378, 9, 9};
    updateLinkStats(s, raw, kRateTurbo);
    EXPECT_EQ(9.0, +s.rate); // 9.775... truncated
}

// A quiet HomePlug 1.0 link (raw 0) is +0.0 Mbit/s: the report printed
// "Lowest = -0.00 Mbps" from the -0.0 that truncating -0.13 gives.
TEST(LinkStatsTest, QuietHp10LinkIsPositiveZero) {
    LinkStats s{};
    const uint16_t quiet[3] = {0, 0, 0};
    updateLinkStats(s, quiet, kRateHp10);
    EXPECT_EQ(0.0, s.rate);
    EXPECT_FALSE(std::signbit(s.rate));
    EXPECT_FALSE(std::signbit(s.lowest));
    EXPECT_FALSE(std::signbit(s.highest));
    char text[32];
    std::snprintf(text, sizeof text, "Lowest = %.2f Mbps", s.lowest);
    EXPECT_STREQ("Lowest = 0.00 Mbps", text);
}

// Statistics read from a file may hold any bytes.
TEST(LinkStatsTest, LoadedStatisticsAreCleaned) {
    LinkStats s{};
    s.rate = std::nan("");
    s.lowest = -std::numeric_limits<double>::infinity();
    s.highest = 1e300; // would overflow any integer it is converted to
    s.changed = 0x7F;
    cleanLinkStats(s);
    EXPECT_EQ(0.0, s.rate);
    EXPECT_EQ(0.0, s.lowest);
    EXPECT_EQ(0.0, s.highest);
    EXPECT_EQ(1, +s.changed);
    s.rate = -0.0;
    s.lowest = 11.0;
    s.highest = kHighestRate;
    cleanLinkStats(s);
    EXPECT_FALSE(std::signbit(s.rate));
    EXPECT_EQ(11.0, s.lowest);
    EXPECT_EQ(kHighestRate, s.highest); // the family's range is kept
}

} // namespace
