// HomePlug 1.0 and Turbo frames: byte-exact request frames, the handling of
// every answer type (with frames cut short), the local-device observer, and
// the waits with their deadlines.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "diagnostics/scan_log.h"
#include "network/auto_scan.h"
#include "network/hp10_frames.h"
#include "network/model.h"
#include "packet/memory_wire.h"
#include "packet/packet.h"
#include "platform/clock.h"
#include "storage/preferences.h"
#include "support/temp_dir.h"

namespace {

using Bytes = std::vector<uint8_t>;

const uint8_t kHost[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
const uint8_t kLocal[6] = {0x00, 0x50, 0xC2, 0x00, 0x00, 0x10};
const uint8_t kRemoteA[6] = {0x00, 0x50, 0xC2, 0x00, 0x00, 0x11};
const uint8_t kRemoteB[6] = {0x00, 0x50, 0xC2, 0x00, 0x00, 0x12};
const uint8_t kBcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const uint8_t kKey[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
const uint8_t kDevKey[8] = {0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8};

Bytes header(const uint8_t* dst, const uint8_t* src) {
    Bytes f(dst, dst + 6);
    f.insert(f.end(), src, src + 6);
    f.push_back(0x88);
    f.push_back(0x7B);
    return f;
}

// An answer frame: header, entry count 1, type, length, data.
Bytes answer(const uint8_t* dst, const uint8_t* src, uint8_t type, uint8_t length,
             const Bytes& data) {
    Bytes f = header(dst, src);
    f.push_back(1);
    f.push_back(type);
    f.push_back(length);
    f.insert(f.end(), data.begin(), data.end());
    return f;
}

Bytes zeros(size_t n) {
    return Bytes(n, 0);
}

Bytes built(size_t (*fn)(uint8_t*, const uint8_t*, const uint8_t*)) {
    uint8_t frame[kHp10BufferSize];
    size_t n = fn(frame, kHost, kBcast);
    return Bytes(frame, frame + n);
}

// A network statistics answer: class, local fails/drops, up to 15 station entries.
Bytes statsAnswer(uint8_t deviceClass, uint16_t fails, uint16_t drops,
                  const std::vector<std::pair<const uint8_t*, uint16_t>>& entries) {
    Bytes data = zeros(187);
    data[0] = deviceClass;
    data[3] = fails & 0xFF;
    data[4] = fails >> 8;
    data[5] = drops & 0xFF;
    data[6] = drops >> 8;
    for (size_t j = 0; j < entries.size(); ++j) {
        size_t off = 7 + 12 * j;
        std::memcpy(&data[off], entries[j].first, 6);
        data[off + 6] = entries[j].second & 0xFF;
        data[off + 7] = entries[j].second >> 8;
        data[off + 8] = 3;  // fails
        data[off + 10] = 4; // drops
    }
    return answer(kHost, kLocal, kEntryNetworkStats, 187, data);
}

Bytes localParamsAnswer(const uint8_t* dst, const uint8_t* src, uint8_t kind, uint8_t fill) {
    Bytes data(51, 0);
    data[0] = kind;
    for (int n = 0; n < 50; ++n)
        data[1 + n] = static_cast<uint8_t>(fill + n);
    return answer(dst, src, kEntryLocalParams, 51, data);
}

Bytes turboVersionAnswer(const uint8_t* src, bool remote, uint8_t fixed, uint8_t major,
                         uint8_t minor, const std::string& vendor, const std::string& product) {
    Bytes data = {0x00, 0x04,  0x87,  0x90, static_cast<uint8_t>(remote ? 1 : 0),
                  0,    fixed, major, minor};
    data.push_back(static_cast<uint8_t>(vendor.size()));
    data.insert(data.end(), vendor.begin(), vendor.end());
    data.push_back(static_cast<uint8_t>(product.size()));
    data.insert(data.end(), product.begin(), product.end());
    return answer(kHost, src, kEntryTurboVendor, static_cast<uint8_t>(data.size()), data);
}

bool handle(const Bytes& f) {
    return handleHp10Frame(f.data(), static_cast<uint32_t>(f.size()));
}

class Hp10Test : public ::testing::Test {
  protected:
    VirtualClock clock;
    MemoryWire wire{clock};
    TempDir dir;

    void SetUp() override {
        resetDeviceModel();
        resetHp10Frames();
        resetAutoScan();
        resetScanLog();
        resetPreferences();
        setSystemClock(&clock);
        setPacketDriver(&wire);
        setLogDirectory(dir.path());
        MemoryWire::Port port;
        port.name = "eth0";
        std::memcpy(port.mac, kHost, 6);
        wire.addPort(port);
        openAllInterfaces();
        currentInterface = 0;
    }
    void TearDown() override {
        closeAllInterfaces();
        setLocalDeviceObserver(nullptr);
        setPacketDriver(nullptr);
        setSystemClock(nullptr);
        resetScanLog();
        resetAutoScan();
        resetDeviceModel();
    }
    RemoteDevice& addRemote(int slot, const uint8_t* mac, int32_t type, bool active = true) {
        RemoteDevice& r = networkRecords[0].remotes[slot];
        std::memcpy(r.mac, mac, 6);
        r.deviceType = type;
        r.active = active ? 1 : 0;
        return r;
    }
    std::string readLog() {
        std::ifstream in(parametersLogPath());
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
};

// ---- Builders ----------------------------------------------------------------------

TEST(Hp10Builders, ParametersAndLocalParametersRequests) {
    Bytes expect = header(kBcast, kHost);
    expect.insert(expect.end(), {0x01, 0x07, 0x00});
    EXPECT_EQ(expect, built(buildParametersRequest));

    uint8_t frame[kHp10BufferSize];
    std::memset(frame, 0xEE, sizeof frame);
    size_t n = buildLocalParametersRequest(frame, kHost, kBcast, 16);
    expect = header(kBcast, kHost);
    expect.insert(expect.end(), {0x01, 0x19, 0x0F, 0x10});
    expect.resize(32, 0);
    EXPECT_EQ(expect, Bytes(frame, frame + n));
    // The whole buffer is zero-filled, so the padding to 60 bytes is zeros.
    EXPECT_EQ(0, frame[59]);
}

TEST(Hp10Builders, NetworkStatsRequestSaysItsEntryIs187BytesButIs38Long) {
    Bytes expect = header(kBcast, kHost);
    expect.insert(expect.end(), {0x01, 0x1A, 0xBB, 0x80});
    expect.resize(38, 0);
    EXPECT_EQ(expect, built(buildNetworkStatsRequest));
}

TEST(Hp10Builders, SettingsTurboAndTurboReadFrames) {
    uint8_t frame[kHp10BufferSize];
    const uint8_t settings[3] = {0x41, 0x03, 0x01};
    size_t n = buildVendorSettings(frame, kHost, kBcast, settings);
    Bytes expect = header(kBcast, kHost);
    expect.insert(expect.end(), {0x01, 0x1F, 0x03, 0x41, 0x03, 0x01});
    EXPECT_EQ(expect, Bytes(frame, frame + n));

    const uint8_t zero = 0;
    n = buildTurboRequest(frame, kHost, kBcast, kTurboCodeVersion, &zero, 1);
    expect = header(kBcast, kHost);
    expect.insert(expect.end(), {0x01, 0x02, 0x05, 0x00, 0x04, 0x87, 0x10, 0x00});
    expect.resize(35, 0);
    EXPECT_EQ(expect, Bytes(frame, frame + n));

    n = buildTurboRead(frame, kHost, kLocal, kTurboReadKey);
    expect = header(kLocal, kHost);
    expect.insert(expect.end(), {0x01, 0x12, 0x01, 0x21});
    expect.resize(272, 0);
    EXPECT_EQ(expect, Bytes(frame, frame + n));
}

TEST(Hp10Builders, SetKeyFramesWithAndWithoutSettings) {
    uint8_t frame[kHp10BufferSize];
    const uint8_t settings[3] = {0x40, 0x01, 0x01};
    size_t n = buildSetKeyFrame(frame, kHost, kBcast, 1, kKey, settings, true);
    Bytes expect = header(kBcast, kHost);
    expect.insert(expect.end(), {0x02, 0x04, 0x09, 0x01});
    expect.insert(expect.end(), kKey, kKey + 8);
    expect.insert(expect.end(), {0x1F, 0x03, 0x40, 0x01, 0x01});
    EXPECT_EQ(expect, Bytes(frame, frame + n));

    n = buildSetKeyFrame(frame, kHost, kRemoteA, 0, kKey, settings, false);
    expect = header(kRemoteA, kHost);
    expect.insert(expect.end(), {0x01, 0x04, 0x09, 0x00});
    expect.insert(expect.end(), kKey, kKey + 8);
    expect.resize(31, 0);
    EXPECT_EQ(expect, Bytes(frame, frame + n));
}

TEST(Hp10Builders, EncryptedKeyAndTurboSetKey) {
    uint8_t frame[kHp10BufferSize];
    size_t n = buildEncryptedKey(frame, kHost, kBcast, kDevKey, kKey);
    Bytes expect = header(kBcast, kHost);
    expect.insert(expect.end(), {0x01, 0x14, 0x0A, 0x01, 0x00});
    expect.insert(expect.end(), kDevKey, kDevKey + 8);
    expect.insert(expect.end(), {0x88, 0x7B, 0x01, 0x04, 0x09, 0x01});
    expect.insert(expect.end(), kKey, kKey + 8);
    ASSERT_EQ(41u, expect.size());
    EXPECT_EQ(expect, Bytes(frame, frame + n));

    n = buildTurboSetKey(frame, kHost, kLocal, kKey);
    expect = header(kLocal, kHost);
    expect.insert(expect.end(), {0x01, 0x04, 0x09, 0x01});
    expect.insert(expect.end(), kKey, kKey + 8);
    expect.resize(35, 0);
    EXPECT_EQ(expect, Bytes(frame, frame + n));
}

// ---- Requests on the wire ----------------------------------------------------------

TEST_F(Hp10Test, RequestsLeaveAsSixtyByteFrames) {
    ASSERT_TRUE(requestParameters(0, kHost, kRemoteA));
    ASSERT_EQ(1u, wire.sent.size());
    Bytes expect = header(kRemoteA, kHost);
    expect.insert(expect.end(), {0x01, 0x07, 0x00});
    expect.resize(60, 0);
    EXPECT_EQ(expect, wire.sent[0].frame);

    std::memcpy(scanStates[0].localMac, kLocal, 6);
    ASSERT_TRUE(readTurboKey());
    ASSERT_EQ(2u, wire.sent.size());
    EXPECT_EQ(272u, wire.sent[1].frame.size());
    EXPECT_EQ(0, std::memcmp(wire.sent[1].frame.data(), kLocal, 6));
}

TEST_F(Hp10Test, NetworkStatsSourceIsGivenMacElseLocalMacElseInterfaceMac) {
    const uint8_t given[6] = {0x02, 0, 0, 0, 0, 0x77};
    requestNetworkStats(0, given, kBcast);
    requestNetworkStats(0, nullptr, kBcast); // no local MAC yet: the interface's own
    std::memcpy(scanStates[0].localMac, kLocal, 6);
    requestNetworkStats(0, nullptr, kBcast);
    ASSERT_EQ(3u, wire.sent.size());
    EXPECT_EQ(0, std::memcmp(wire.sent[0].frame.data() + 6, given, 6));
    EXPECT_EQ(0, std::memcmp(wire.sent[1].frame.data() + 6, kHost, 6));
    EXPECT_EQ(0, std::memcmp(wire.sent[2].frame.data() + 6, kLocal, 6));
    for (const auto& s : wire.sent)
        EXPECT_EQ(0, std::memcmp(s.frame.data(), kBcast, 6));

    // Nothing known at all: nothing is sent.
    std::memset(scanStates[0].localMac, 0, 6);
    std::memset(interfaceTable[0].mac, 0, 6);
    EXPECT_FALSE(requestNetworkStats(0, nullptr, kBcast));
    EXPECT_EQ(3u, wire.sent.size());
}

TEST_F(Hp10Test, TurboLocalDeviceSkipsSettingsAndTurboNeedsAHostMac) {
    localIsTurbo = 1;
    const uint8_t settings[3] = {1, 2, 3};
    EXPECT_TRUE(sendVendorSettings(0, kHost, kBcast, settings));
    EXPECT_EQ(0, setNetworkKey(0, kHost, kBcast, 1, kKey, 1, true, false));
    EXPECT_TRUE(wire.sent.empty());

    std::memset(interfaceTable[0].mac, 0, 6);
    EXPECT_FALSE(requestTurboVersion());
    EXPECT_TRUE(wire.sent.empty());
}

// ---- Answer handling ---------------------------------------------------------------

TEST_F(Hp10Test, StatsAnswerWithoutActiveRemotesLeavesLocalRateZero) {
    EXPECT_TRUE(handle(statsAnswer(3, 7, 9, {{kRemoteA, 400}})));
    EXPECT_EQ(0.0, +networkRecords[0].localStats.rate);
    EXPECT_EQ(0.0, +networkRecords[0].localStats.lowest);
    EXPECT_EQ(7u, +networkRecords[0].localStats.fails);
    EXPECT_EQ(9u, +networkRecords[0].localStats.drops);
}

TEST_F(Hp10Test, StatsAnswerRatesRemotesScalesTurboAndAveragesTheLocalLink) {
    int refreshedStage = -1;
    setDeviceListHooks({[&](int stage) { refreshedStage = stage; }, nullptr, nullptr});
    cycleStep = 4;
    RemoteDevice& hp = addRemote(0, kRemoteA, kTypeHp10);
    RemoteDevice& turbo = addRemote(1, kRemoteB, kTypeTurbo);
    // The first MAC byte's bit 0 is cleared before comparing.
    uint8_t flagged[6];
    std::memcpy(flagged, kRemoteA, 6);
    flagged[0] |= 1;
    handle(statsAnswer(3, 0, 0, {{flagged, 500}, {kRemoteB, 600}}));
    EXPECT_EQ(13.0, +hp.stats.rate); // 500/42*1.1434... - 0.1297... = 13.48
    EXPECT_EQ(3u, +hp.stats.fails);
    EXPECT_EQ(4u, +hp.stats.drops);
    EXPECT_EQ(85.0, +turbo.stats.rate);                  // 600 -> 519 -> 3151 -> 85.66
    EXPECT_EQ(55.0, +networkRecords[0].localStats.rate); // raw 98*42/2 = 2058
    EXPECT_EQ(4, refreshedStage);

    // The echo of our own request (byte 17 = 0x80) changes nothing.
    Bytes echo = statsAnswer(0x80, 0, 0, {{kRemoteA, 100}});
    handle(echo);
    EXPECT_EQ(13.0, +hp.stats.rate);
}

TEST_F(Hp10Test, AverageStopsAtTheFirstUnratedSlot) {
    addRemote(0, kRemoteA, kTypeHp10);
    addRemote(1, kRemoteB, kTypeHp10);
    handle(statsAnswer(3, 0, 0, {{kRemoteB, 500}})); // slot 0 stays unrated
    EXPECT_EQ(13.0, +networkRecords[0].remotes[1].stats.rate);
    EXPECT_EQ(0.0, +networkRecords[0].localStats.rate);
}

TEST_F(Hp10Test, CutStatsAnswerReadsOnlyWhatArrived) {
    RemoteDevice& r = addRemote(0, kRemoteA, kTypeHp10);
    Bytes f = statsAnswer(3, 0, 0, {{kLocal, 100}, {kRemoteA, 500}});
    f.resize(24 + 12 + 6); // second entry cut in the middle of its MAC
    handle(f);
    EXPECT_EQ(0.0, +r.stats.rate);
}

TEST_F(Hp10Test, ParametersAnswerRecordsTheRemote) {
    EXPECT_TRUE(handle(answer(kHost, kRemoteA, kEntryParamsResponse, 0, zeros(40))));
    RemoteDevice* r = findRemote(kRemoteA);
    ASSERT_NE(nullptr, r);
    EXPECT_EQ(1, +r->active);
    EXPECT_EQ(1, +r->seenCount);
    EXPECT_EQ(kTypeHp10, +r->deviceType);
}

// Found by fuzzing: a parameters response from source 00:00:00:00:00:00 made
// an active remote slot without a MAC (the frame as the fuzzer sent it).
TEST_F(Hp10Test, ParametersAnswerFromAnUnsetOrGroupSourceRecordsNoRemote) {
    const Bytes zeroSource = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00,
                              0x00, 0x00, 0x88, 0x7B, 0x01, 0x08, 0x00, 0x00, 0x00, 0x00};
    EXPECT_TRUE(handle(zeroSource));
    const uint8_t group[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_TRUE(handle(answer(kHost, group, kEntryParamsResponse, 0, zeros(40))));
    const uint8_t multicast[6] = {0x01, 0x50, 0xC2, 0x00, 0x00, 0x11};
    EXPECT_TRUE(handle(answer(kHost, multicast, kEntryParamsResponse, 0, zeros(40))));
    for (const RemoteDevice& slot : networkRecords[0].remotes)
        EXPECT_EQ(0, +slot.active);
    // A station's own address is still recorded.
    EXPECT_TRUE(handle(answer(kHost, kRemoteA, kEntryParamsResponse, 0, zeros(40))));
    EXPECT_EQ(1, +networkRecords[0].remotes[0].active);
}

TEST_F(Hp10Test, LocalParamsKindDependsOnParamsValid) {
    // paramsValid clear: only a running copy (kind 2) is taken.
    handle(localParamsAnswer(kHost, kLocal, 1, 0x10));
    EXPECT_EQ(0, localParamsCaptured);
    handle(localParamsAnswer(kHost, kLocal, 2, 0x20));
    EXPECT_EQ(1, localParamsCaptured);
    EXPECT_EQ(0x20, localParamsBlock[0]);
    scanStates[0].paramsValid = 1;
    handle(localParamsAnswer(kHost, kLocal, 2, 0x30));
    EXPECT_EQ(0x20, localParamsBlock[0]);
    handle(localParamsAnswer(kHost, kLocal, 1, 0x40));
    EXPECT_EQ(0x40, localParamsBlock[0]);
    EXPECT_EQ(0x40 + 49, localParamsBlock[49]);
}

TEST_F(Hp10Test, BlockOfSevenEqualBytesIsLoggedNeverStored) {
    copyText(preferences.appName, "Tollbeam");
    Bytes f = localParamsAnswer(kHost, kLocal, 2, 0x20);
    for (int n = 1; n <= 7; ++n)
        f[17 + n] = 0xFF;
    EXPECT_TRUE(handle(f));
    EXPECT_EQ(0, localParamsCaptured);
    EXPECT_EQ(0, localParamsBlock[0]);
    std::string log = readLog();
    EXPECT_NE(std::string::npos, log.find("** RAM  ** ff ff ff ff ff ff ff 27 28")) << log;
    EXPECT_EQ(0u, log.find("Time "));
}

TEST_F(Hp10Test, TurboVersionAnswers) {
    // A remote Turbo device without a slot changes nothing.
    EXPECT_TRUE(handle(turboVersionAnswer(kRemoteA, true, 0, 2, 3, "Acme", "Box")));
    EXPECT_EQ(nullptr, findRemote(kRemoteA));
    for (const RemoteDevice& r : networkRecords[0].remotes)
        EXPECT_FALSE(macIsSet(r.mac));

    RemoteDevice& r = addRemote(0, kRemoteA, kTypeHp10, false);
    dropAfterMisses = 3;
    handle(turboVersionAnswer(kRemoteA, true, 0, 2, 3, "Acme", "Box"));
    EXPECT_EQ(1, +r.active);
    EXPECT_EQ(3, +r.missesTillDrop);
    EXPECT_EQ(kTypeTurbo, +r.deviceType);
    EXPECT_EQ(1, +r.typeChanged);
    EXPECT_STREQ("Version 2.3", r.version);
    EXPECT_STREQ("Acme", r.vendor);
    EXPECT_STREQ("Box", r.product);
    r.typeChanged = 0;
    handle(turboVersionAnswer(kRemoteA, true, 1, 0, 0x15, "", "Box"));
    EXPECT_EQ(0, +r.typeChanged);
    EXPECT_STREQ("Version 1.2", r.version);
    EXPECT_STREQ(" ", r.vendor);

    handle(turboVersionAnswer(kLocal, false, 1, 0, 0x02, "Morvanta", "Turbo Adapter"));
    EXPECT_EQ(1, turboLocalAnswered);
    EXPECT_TRUE(macEqual(kLocal, scanStates[0].localMac));
    EXPECT_STREQ("Version 1.4", turboVersion);
    EXPECT_STREQ("Morvanta", turboVendor);
    EXPECT_STREQ("Turbo Adapter", turboProduct);
}

// Turbo answers belong to the interface they arrived on, whichever interface
// is current: a version answer names that interface's local device (and only
// an answer on the current interface counts as the probed device's), a remote
// answer and station statistics fill that interface's slots.
TEST_F(Hp10Test, TurboAnswersAreCreditedToTheInterfaceTheyArrivedOn) {
    const uint8_t other[6] = {0x00, 0x50, 0xC2, 0x00, 0x00, 0x20};
    std::memcpy(scanStates[0].localMac, kLocal, 6);
    copyText(turboVendor, "Current");
    lastRxInterface = 1; // the frames below arrived on interface 1
    ASSERT_EQ(0, currentInterface);

    EXPECT_TRUE(handle(turboVersionAnswer(other, false, 0, 1, 4, "Elsewhere", "Box")));
    EXPECT_TRUE(macEqual(other, scanStates[1].localMac));
    EXPECT_TRUE(macEqual(kLocal, scanStates[0].localMac));
    EXPECT_EQ(0, turboLocalAnswered);
    EXPECT_STREQ("Current", turboVendor);

    RemoteDevice& here = addRemote(0, kRemoteA, kTypeHp10);
    RemoteDevice& there = networkRecords[1].remotes[0];
    std::memcpy(there.mac, kRemoteA, 6);
    there.deviceType = kTypeHp10;
    handle(turboVersionAnswer(kRemoteA, true, 0, 2, 3, "Acme", "Box"));
    EXPECT_EQ(kTypeTurbo, +there.deviceType);
    EXPECT_STREQ("Acme", there.vendor);
    EXPECT_EQ(kTypeHp10, +here.deviceType);
    EXPECT_STREQ("", here.vendor);

    Bytes data = {0x00, 0x04, 0x87, 0x98};
    data.insert(data.end(), kRemoteA, kRemoteA + 6);
    data.insert(data.end(), {0x00, 0xFC, 0, 0, 0, 0, 0, 0}); // raw 252: 6 Mbit/s
    handle(answer(kHost, other, kEntryTurboVendor, 3 + 14, data));
    EXPECT_EQ(6.0, +there.stats.rate);
    EXPECT_EQ(0.0, +here.stats.rate);

    // On the current interface the answer is the probed device's.
    lastRxInterface = 0;
    handle(turboVersionAnswer(kLocal, false, 0, 1, 4, "Morvanta", "Plug"));
    EXPECT_EQ(1, turboLocalAnswered);
    EXPECT_STREQ("Morvanta", turboVendor);
}

TEST_F(Hp10Test, TurboTextsAreCutAtTheFrameEndAnd79Characters) {
    std::string longText(120, 'x');
    Bytes f = turboVersionAnswer(kLocal, false, 0, 1, 1, longText, "P");
    handle(f);
    EXPECT_EQ(79u, std::strlen(turboVendor));
    Bytes cut = turboVersionAnswer(kLocal, false, 0, 1, 1, "Vendor", "Product");
    cut.resize(27 + 3); // vendor length byte says 6, three characters arrived
    handle(cut);
    EXPECT_STREQ("Ven", turboVendor);
    EXPECT_STREQ(" ", turboProduct);
    // A vendor answer without the answer bit is ignored.
    Bytes request = turboVersionAnswer(kLocal, false, 0, 9, 9, "Z", "Z");
    request[20] = 0x10;
    EXPECT_FALSE(handle(request));
    EXPECT_STREQ("Ven", turboVendor);
}

TEST_F(Hp10Test, TurboStationStatsAreBigEndianAndCountedFromTheEntryLength) {
    RemoteDevice& r = addRemote(0, kRemoteA, kTypeTurbo);
    Bytes data = {0x00, 0x04, 0x87, 0x98};
    Bytes entry(kRemoteA, kRemoteA + 6);
    entry.insert(entry.end(), {0x00, 0xFC, 1, 2, 3, 4, 5, 6}); // raw 252 -> x = 6
    data.insert(data.end(), entry.begin(), entry.end());
    EXPECT_TRUE(handle(answer(kHost, kLocal, kEntryTurboVendor, 3 + 14, data)));
    EXPECT_EQ(6.0, +r.stats.rate);
    EXPECT_EQ(0u, +r.stats.fails);
    // An entry length below 3 names no entries.
    r.stats.rate = 0;
    EXPECT_TRUE(handle(answer(kHost, kLocal, kEntryTurboVendor, 2, data)));
    EXPECT_EQ(0.0, +r.stats.rate);
}

TEST_F(Hp10Test, TurboReadAnswersFillFirmwareAndKey) {
    // Character 14 is '1' and character 16 is '5': an old firmware.
    std::string text = "INT5500MAC-0-01.5.0";
    Bytes data = {kTurboReadFirmware};
    data.insert(data.end(), text.begin(), text.end());
    EXPECT_TRUE(handle(
        answer(kHost, kLocal, kEntryTurboReadAnswer, static_cast<uint8_t>(data.size()), data)));
    EXPECT_EQ(0, std::strncmp(turboFirmware, text.c_str(), text.size()));
    EXPECT_EQ(1, oldFirmware);
    oldFirmware = 0;
    std::string newer = "INT5500MAC-0-01.7.0";
    data = {kTurboReadFirmware};
    data.insert(data.end(), newer.begin(), newer.end());
    handle(answer(kHost, kLocal, kEntryTurboReadAnswer, static_cast<uint8_t>(data.size()), data));
    EXPECT_EQ(0, oldFirmware);

    Bytes key = {kTurboReadKey, 0x01};
    key.insert(key.end(), kKey, kKey + 8);
    handle(answer(kHost, kLocal, kEntryTurboReadAnswer, 10, key));
    EXPECT_EQ(0, std::memcmp(hp10NetworkKey, kKey, 8));
    // A key answer cut short leaves the key alone.
    Bytes shortKey = answer(kHost, kLocal, kEntryTurboReadAnswer, 10, {kTurboReadKey, 1, 9, 9});
    handle(shortKey);
    EXPECT_EQ(0, std::memcmp(hp10NetworkKey, kKey, 8));
}

// Each answer the HomePlug 1.0 and Turbo handling reads, at exactly the
// length its fields need (in a buffer of that size), and one byte shorter:
// what arrived is used, nothing past it is read.
TEST_F(Hp10Test, AnswersAtTheirExactMinimumLengthAndOneByteShorter) {
    auto cut = [](Bytes f, size_t n) {
        f.resize(n);
        return f;
    };
    // Parameters response (0x08): the 17-byte header is all it needs.
    EXPECT_FALSE(handle(cut(answer(kHost, kRemoteA, kEntryParamsResponse, 0, {}), 16)));
    EXPECT_EQ(nullptr, findRemote(kRemoteA));
    EXPECT_TRUE(handle(cut(answer(kHost, kRemoteA, kEntryParamsResponse, 0, {}), 17)));
    EXPECT_NE(nullptr, findRemote(kRemoteA));
    // Key confirmation (0x06) and the Turbo read echo (0x12).
    EXPECT_TRUE(handle(cut(answer(kHost, kRemoteA, kEntryKeyConfirm, 1, {0}), 17)));
    EXPECT_TRUE(handle(cut(answer(kHost, kLocal, kEntryTurboRead, 1, {0x20}), 17)));

    // Local parameters answer (0x19): kind at 17, the 50-byte block to byte 67.
    scanStates[0].paramsValid = 1;
    Bytes params = localParamsAnswer(kHost, kLocal, 1, 0x40);
    ASSERT_EQ(68u, params.size());
    handle(cut(params, 67));
    EXPECT_EQ(0, localParamsCaptured);
    handle(params);
    EXPECT_EQ(1, localParamsCaptured);
    EXPECT_EQ(0x40 + 49, localParamsBlock[49]);

    // Turbo key answer (0x13, code 0x21): the key ends at byte 26.
    Bytes key = {kTurboReadKey, 0x01};
    key.insert(key.end(), kKey, kKey + 8);
    Bytes keyAnswer = answer(kHost, kLocal, kEntryTurboReadAnswer, 10, key);
    ASSERT_EQ(27u, keyAnswer.size());
    handle(cut(keyAnswer, 26));
    EXPECT_NE(0, std::memcmp(hp10NetworkKey, kKey, 8));
    handle(keyAnswer);
    EXPECT_EQ(0, std::memcmp(hp10NetworkKey, kKey, 8));

    // Turbo version answer (0x02, code 0x10): needs the vendor length at 26.
    // At 27 bytes the texts announced did not arrive and read as empty.
    Bytes version = turboVersionAnswer(kLocal, false, 0, 3, 1, "Vendor", "Product");
    EXPECT_FALSE(handle(cut(version, 26)));
    EXPECT_EQ(0, turboLocalAnswered);
    EXPECT_TRUE(handle(cut(version, 27)));
    EXPECT_EQ(1, turboLocalAnswered);
    EXPECT_STREQ("Version 3.1", turboVersion);
    EXPECT_STREQ("", turboVendor);
    EXPECT_STREQ(" ", turboProduct);

    // Network statistics answer (0x1A): the class at 17; the local counters at
    // 20-23 only when they arrived; a station entry only when all 12 bytes did.
    RemoteDevice& r = addRemote(0, kRemoteA, kTypeHp10);
    Bytes stats = statsAnswer(3, 0x0102, 0x0304, {{kRemoteA, 500}});
    networkRecords[0].localStats.fails = 77;
    EXPECT_TRUE(handle(cut(stats, 17))); // recognised, but no class byte: nothing read
    EXPECT_EQ(77u, networkRecords[0].localStats.fails);
    EXPECT_TRUE(handle(cut(stats, 23)));
    EXPECT_EQ(0x0102u, networkRecords[0].localStats.fails);
    EXPECT_EQ(0u, networkRecords[0].localStats.drops) << "byte 23 of the drops did not arrive";
    handle(cut(stats, 24 + 12 - 1));
    EXPECT_EQ(0.0, +r.stats.rate);
    EXPECT_EQ(0x0304u, networkRecords[0].localStats.drops);
    handle(cut(stats, 24 + 12));
    EXPECT_EQ(13.0, +r.stats.rate);
    EXPECT_EQ(4u, +r.stats.drops);
}

TEST_F(Hp10Test, UnknownAndTruncatedFramesAreNotRecognised) {
    EXPECT_FALSE(handle(answer(kHost, kLocal, 0x33, 0, {})));
    Bytes tiny = header(kHost, kLocal);
    EXPECT_FALSE(handle(tiny));
    EXPECT_FALSE(handle(Bytes(5, 0x88)));
}

// ---- Observer ------------------------------------------------------------------------

TEST_F(Hp10Test, ObserverRecognisesTheLocalDevice) {
    Bytes self = answer(kLocal, kLocal, kEntryKeyConfirm, 0, zeros(40));
    EXPECT_TRUE(observeLocalDevice(0, self.data(), static_cast<uint32_t>(self.size())));
    EXPECT_TRUE(macEqual(kLocal, scanStates[0].localMac));
    EXPECT_EQ(1, +scanStates[0].localPresent);

    // A broadcast frame whose source is broadcast is not self-addressed.
    Bytes bc = answer(kBcast, kBcast, kEntryKeyConfirm, 0, zeros(40));
    EXPECT_FALSE(observeLocalDevice(1, bc.data(), static_cast<uint32_t>(bc.size())));
    EXPECT_EQ(0, +scanStates[1].localPresent);

    // 0x1E marks its source; 0x1A with a class outside 1..3 clears presence again.
    Bytes marker = answer(kHost, kLocal, kEntryLocalMarker, 1, {0x00});
    observeLocalDevice(2, marker.data(), static_cast<uint32_t>(marker.size()));
    EXPECT_EQ(1, +scanStates[2].localPresent);
    Bytes avClass = statsAnswer(4, 0, 0, {});
    observeLocalDevice(2, avClass.data(), static_cast<uint32_t>(avClass.size()));
    EXPECT_EQ(0, +scanStates[2].localPresent);
    EXPECT_EQ(4, +scanStates[2].deviceClass);

    Bytes params = localParamsAnswer(kHost, kLocal, 1, 0x50);
    observeLocalDevice(3, params.data(), static_cast<uint32_t>(params.size()));
    EXPECT_EQ(1, scanStates[3].paramsValid);
    EXPECT_EQ(0x50, scanStates[3].localParams[0]);
}

TEST_F(Hp10Test, ObserverProbeKeepsTheFrameTheReceiveTook) {
    // A statistics answer of a HomePlug 1.0 device makes the observer probe the
    // local parameters; the probe's own receives must not replace the frame
    // that receiveAnyFrame hands back.
    Bytes stats = statsAnswer(3, 0, 0, {});
    wire.deliver(0, stats);
    wire.deliver(0, localParamsAnswer(kHost, kLocal, 1, 0x60), clock.now() + 5);
    uint8_t out[kMaxFrame];
    uint32_t length = 0;
    ASSERT_TRUE(receiveAnyFrame(out, &length));
    ASSERT_EQ(stats.size(), length);
    EXPECT_EQ(0, std::memcmp(out, stats.data(), length));
    EXPECT_EQ(3, +scanStates[0].deviceClass);
    EXPECT_EQ(1, scanStates[0].paramsValid); // taken by the nested probe
    EXPECT_EQ(0x60, scanStates[0].localParams[0]);
    // Three local parameters requests from the interface's MAC (none self-addressed).
    int probes = 0;
    for (const auto& s : wire.sent)
        if (s.frame[15] == kEntryLocalParams && std::memcmp(&s.frame[6], kHost, 6) == 0)
            ++probes;
    EXPECT_EQ(3, probes);
}

// ---- Waits -------------------------------------------------------------------------------

TEST_F(Hp10Test, KeyConfirmationFromBroadcastIgnoresTheLocalDevice) {
    std::memcpy(scanStates[0].localMac, kLocal, 6);
    wire.deliver(0, answer(kHost, kLocal, kEntryKeyConfirm, 0, zeros(40)));
    wire.deliver(0, answer(kHost, kRemoteB, kEntryKeyConfirm, 0, zeros(40)), clock.now() + 30);
    uint8_t target[6];
    std::memcpy(target, kBcast, 6);
    EXPECT_EQ(2, waitForKeyConfirmation(target));
    EXPECT_TRUE(macEqual(kRemoteB, target));
}

TEST_F(Hp10Test, KeyConfirmationTimesOutAfter3700MsEvenUnderAFlood) {
    for (int n = 0; n < 6000; ++n)
        wire.deliver(0, answer(kHost, kRemoteA, kEntryParamsResponse, 0, zeros(40)),
                     clock.now() + n);
    uint8_t target[6];
    std::memcpy(target, kRemoteB, 6);
    uint64_t start = clock.now();
    EXPECT_EQ(0, waitForKeyConfirmation(target));
    EXPECT_GE(clock.now() - start, 3700u);
    EXPECT_LT(clock.now() - start, 3800u);
}

TEST_F(Hp10Test, DrainEndsAtItsDeadlineDuringAFlood) {
    for (int n = 0; n < 1000; ++n)
        wire.deliver(0, answer(kHost, kRemoteA, kEntryParamsResponse, 0, zeros(40)));
    uint64_t start = clock.now();
    drainResponses();
    EXPECT_LE(clock.now() - start, 110u);
    EXPECT_EQ(1, findRemote(kRemoteA) != nullptr);
}

TEST_F(Hp10Test, DrainStopsAtAnAvFrame) {
    Bytes av = header(kHost, kLocal);
    av[12] = 0x88;
    av[13] = 0xE1;
    av.resize(64, 0);
    wire.deliver(0, av);
    wire.deliver(0, answer(kHost, kRemoteA, kEntryParamsResponse, 0, zeros(40)));
    drainResponses();
    EXPECT_EQ(nullptr, findRemote(kRemoteA));
    drainResponses();
    EXPECT_NE(nullptr, findRemote(kRemoteA));
}

TEST_F(Hp10Test, ParametersResponseWaitsForTheNamedDeviceOrAnyOther) {
    std::memcpy(scanStates[0].localMac, kLocal, 6);
    wire.deliver(0, answer(kHost, kLocal, kEntryParamsResponse, 0, zeros(40)));
    wire.deliver(0, answer(kHost, kRemoteA, kEntryParamsResponse, 0, zeros(40)), clock.now() + 20);
    uint8_t mac[6];
    std::memcpy(mac, kBcast, 6);
    EXPECT_TRUE(probeDevice(mac, true));
    EXPECT_TRUE(macEqual(kRemoteA, mac));
    // The parameters request went to the named address (HomePlug 1.0 local device).
    EXPECT_EQ(0, std::memcmp(wire.sent.back().frame.data(), kBcast, 6));

    std::memcpy(mac, kRemoteB, 6);
    uint64_t start = clock.now();
    EXPECT_FALSE(probeDevice(mac, false));
    EXPECT_GE(clock.now() - start, 200u);
}

TEST_F(Hp10Test, SetNetworkKeyToOneDeviceNeverVerifies) {
    scanStates[0].paramsValid = 1;
    localParamsBlock[23] = 0x02;
    localParamsBlock[24] = 0x04;
    int before = busyFlag;
    EXPECT_EQ(0, setNetworkKey(0, kHost, kRemoteA, 1, kKey, 1, false, true));
    EXPECT_EQ(before, busyFlag);
    ASSERT_EQ(1u, wire.sent.size()); // no local parameters request followed
    const Bytes& f = wire.sent[0].frame;
    EXPECT_EQ(1, f[14]);
    EXPECT_EQ(0, std::memcmp(&f[18], kKey, 8));
    // Settings not stored, key not stored (not a broadcast).
    EXPECT_EQ(0x02, localParamsBlock[23]);
    EXPECT_EQ(0, localParamsBlock[15]);
}

TEST_F(Hp10Test, SetNetworkKeyBroadcastStoresSettingsAndKey) {
    localParamsBlock[23] = 0x02;
    localParamsBlock[24] = 0x04;
    EXPECT_EQ(0, setNetworkKey(0, kHost, kBcast, 1, kKey, 7, true, false));
    const Bytes& f = wire.sent[0].frame;
    EXPECT_EQ(2, f[14]);
    EXPECT_EQ(0x42, f[28]);
    EXPECT_EQ(0x04, f[29]);
    EXPECT_EQ(7, f[30]);
    EXPECT_EQ(0x42, localParamsBlock[23]);
    EXPECT_EQ(7, localParamsBlock[25]);
    EXPECT_EQ(1, localParamsBlock[14]);
    EXPECT_EQ(0, std::memcmp(localParamsBlock + 15, kKey, 8));
    EXPECT_EQ(1u, wire.sent.size()); // paramsValid clear: no verification
}

// ---- Answers only from the adapter that was asked ----------------------------------------

// The Turbo key and firmware answers count only from the adapter the read
// request went to; a neighbour's answer (another source, or the right source
// on another interface) sets nothing that halyard shows or stores.
TEST_F(Hp10Test, TurboReadAnswersCountOnlyFromTheAdapterAsked) {
    std::memcpy(scanStates[0].localMac, kLocal, 6);
    ASSERT_TRUE(readTurboKey());
    const uint8_t forgedKey[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    Bytes forged = {kTurboReadKey, 0x01};
    forged.insert(forged.end(), forgedKey, forgedKey + 8);
    EXPECT_TRUE(handle(answer(kHost, kRemoteA, kEntryTurboReadAnswer, 10, forged)));
    EXPECT_NE(0, std::memcmp(hp10NetworkKey, forgedKey, 8));
    lastRxInterface = 1;
    handle(answer(kHost, kLocal, kEntryTurboReadAnswer, 10, forged));
    EXPECT_NE(0, std::memcmp(hp10NetworkKey, forgedKey, 8)) << "another interface's answer";
    lastRxInterface = 0;
    Bytes real = {kTurboReadKey, 0x01};
    real.insert(real.end(), kKey, kKey + 8);
    handle(answer(kHost, kLocal, kEntryTurboReadAnswer, 10, real));
    EXPECT_EQ(0, std::memcmp(hp10NetworkKey, kKey, 8));

    ASSERT_TRUE(readTurboFirmwareText());
    std::string old = "INT5500MAC-0-01.5.0";
    Bytes text = {kTurboReadFirmware};
    text.insert(text.end(), old.begin(), old.end());
    handle(answer(kHost, kRemoteB, kEntryTurboReadAnswer, static_cast<uint8_t>(text.size()), text));
    EXPECT_EQ(0, oldFirmware);
    EXPECT_EQ(std::string::npos, std::string(turboFirmware).find("INT5500"));
}

// Statistics and local parameters answer the local device's requests: from
// another station they change neither the rates nor the parameters block.
TEST_F(Hp10Test, StatisticsAndParametersCountOnlyFromTheLocalDevice) {
    std::memcpy(scanStates[0].localMac, kLocal, 6);
    RemoteDevice& r = addRemote(0, kRemoteA, kTypeHp10);
    Bytes stats = statsAnswer(3, 7, 8, {{kRemoteA, 100}});
    std::memcpy(stats.data() + 6, kRemoteB, 6);
    EXPECT_TRUE(handle(stats));
    EXPECT_EQ(0.0, +r.stats.rate);
    EXPECT_EQ(0.0, +networkRecords[0].localStats.fails);
    std::memcpy(stats.data() + 6, kLocal, 6);
    handle(stats);
    EXPECT_GT(+r.stats.rate, 0.0);

    scanStates[0].paramsValid = 1;
    handle(localParamsAnswer(kHost, kRemoteB, 1, 0x40));
    EXPECT_EQ(0, localParamsCaptured);
    Bytes foreign = localParamsAnswer(kHost, kRemoteB, 1, 0x70);
    observeLocalDevice(0, foreign.data(), static_cast<uint32_t>(foreign.size()));
    EXPECT_NE(0x70, scanStates[0].localParams[0]);
    handle(localParamsAnswer(kHost, kLocal, 1, 0x40));
    EXPECT_EQ(1, localParamsCaptured);

    // Turbo station statistics likewise.
    localIsTurbo = 1;
    r.stats = LinkStats{};
    Bytes entry(kRemoteA, kRemoteA + 6);
    entry.insert(entry.end(), {0x00, 0xFC, 0, 0, 0, 0, 0, 0}); // raw 252: 6 Mbit/s
    Bytes data = {0x00, 0x04, 0x87, 0x98};
    data.insert(data.end(), entry.begin(), entry.end());
    EXPECT_TRUE(handle(answer(kHost, kRemoteB, kEntryTurboVendor, 3 + 14, data)));
    EXPECT_EQ(0.0, +r.stats.rate);
    EXPECT_TRUE(handle(answer(kHost, kLocal, kEntryTurboVendor, 3 + 14, data)));
    EXPECT_GT(+r.stats.rate, 0.0);
}

// A marker, a self-addressed frame or a local Turbo version answer from
// another station does not move a known local device; it is remembered, and
// handed the role only when a discovery finds the current device silent.
TEST_F(Hp10Test, AClaimOfAnotherStationWaitsForTheCurrentLocalDeviceToFallSilent) {
    std::memcpy(scanStates[0].localMac, kLocal, 6);
    openLocalWatch(0);
    Bytes marker = answer(kHost, kRemoteA, kEntryLocalMarker, 1, {0x03});
    EXPECT_FALSE(observeLocalDevice(0, marker.data(), static_cast<uint32_t>(marker.size())));
    Bytes self = answer(kRemoteA, kRemoteA, kEntryKeyConfirm, 0, zeros(40));
    EXPECT_FALSE(observeLocalDevice(0, self.data(), static_cast<uint32_t>(self.size())))
        << "not the local device's self-addressed frame";
    Bytes stats = statsAnswer(3, 0, 0, {});
    std::memcpy(stats.data() + 6, kRemoteA, 6);
    observeLocalDevice(0, stats.data(), static_cast<uint32_t>(stats.size()));
    EXPECT_TRUE(handle(turboVersionAnswer(kRemoteA, false, 0, 9, 9, "Forged", "Box")));
    EXPECT_TRUE(macEqual(kLocal, scanStates[0].localMac));
    EXPECT_EQ(0, +scanStates[0].localPresent);
    EXPECT_EQ(0, turboLocalAnswered);
    EXPECT_STRNE("Forged", turboVendor);

    // The local device answers: the claim is never granted.
    Bytes own = answer(kLocal, kLocal, kEntryKeyConfirm, 0, zeros(40));
    EXPECT_TRUE(observeLocalDevice(0, own.data(), static_cast<uint32_t>(own.size())));
    EXPECT_FALSE(adoptLocalChallenger(0));
    EXPECT_TRUE(macEqual(kLocal, scanStates[0].localMac));

    // A new discovery in which only the other station answers hands it the role.
    openLocalWatch(0);
    observeLocalDevice(0, marker.data(), static_cast<uint32_t>(marker.size()));
    EXPECT_TRUE(adoptLocalChallenger(0));
    EXPECT_TRUE(macEqual(kRemoteA, scanStates[0].localMac));
    EXPECT_FALSE(adoptLocalChallenger(0)) << "granted once";
}

// ---- Logs ----------------------------------------------------------------------------------

TEST_F(Hp10Test, ParametersLogKeepsTheNewestSevenEntries) {
    copyText(preferences.appName, "Tollbeam");
    uint8_t block[50];
    for (int n = 0; n < 10; ++n) {
        std::memset(block, n, sizeof block);
        appendParametersLog(n % 3, block);
    }
    std::ifstream in(dir.file("Tollbeam.log"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    ASSERT_EQ(21u, lines.size());
    EXPECT_EQ(0u, lines[0].find("Time "));
    EXPECT_EQ("", lines[1]);
    // Entries 3..9 remain; kind n % 3.
    EXPECT_EQ(0u, lines[2].find("**EEPROM** 03 03"));
    EXPECT_EQ(0u, lines[5].find("** RAM  ** 04 04"));
    EXPECT_EQ(0u, lines[8].find("**SETNEK** 05 05"));
    EXPECT_EQ(10u + 50 * 3, lines[20].size());
}

} // namespace
