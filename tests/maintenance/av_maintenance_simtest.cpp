// HomePlug AV maintenance flows against the emulator over the in-memory wire:
// discovery, chip-model texts, the station list, factory reset, the NMK and
// configuration-block reads and the local firmware upgrade in every mode.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "maintenance/av_maintenance.h"
#include "network/model.h"
#include "packet/driver.h"
#include "packet/memory_wire.h"
#include "packet/packet.h"
#include "platform/messages.h"
#include "plcapi/plcapi.h"
#include "sim/network.h"
#include "support/core_bench.h"
#include "support/image_builders.h"
#include "support/temp_dir.h"
#include "ui/device_dialogs_logic.h"

namespace {

const uint8_t kHost0[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
const uint8_t kHost1[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x02};
const char kLocal[] = "00:B0:52:00:00:10";
const char kRemoteA[] = "00:B0:52:00:00:11";
const char kRemoteB[] = "00:B0:52:00:00:12";

sim::Mac macOf(const uint8_t* p) {
    sim::Mac m;
    std::memcpy(m.data(), p, 6);
    return m;
}

std::vector<uint8_t> bytesOf(const sim::AvKey& k) {
    return {k.begin(), k.end()};
}

class AvMaintenanceSim : public ::testing::Test {
  protected:
    CoreBench bench;
    VirtualClock& clock = bench.clock;
    MemoryWire& wire = bench.wire;
    RecordingMessages& messages = bench.messages;
    sim::Network net;
    TempDir dir;

    void SetUp() override {
        bench.addPort("eth0", kHost0);
        net.addStation(localStation());
        net.attach(wire, bench.addPort("eth1", kHost1));
        openAllInterfaces();
        currentInterface = 1;
    }
    void TearDown() override { net.detach(); }
    static sim::Station localStation() {
        sim::Station local = sim::Station::av(kLocal);
        local.local = true;
        return local;
    }
    sim::Station& local() { return net.local(); }
    void learnLocalMac() { std::memcpy(scanStates[1].localMac, local().mac.data(), 6); }
    std::vector<std::string> texts() const {
        std::vector<std::string> t;
        for (auto& m : messages.shown)
            t.push_back(m.text);
        return t;
    }
};

// ---- Discovery ------------------------------------------------------------------

TEST_F(AvMaintenanceSim, DiscoveryFindsTheDeviceOnTheSecondInterface) {
    currentInterface = 0;
    EXPECT_TRUE(discoverLocalAv());
    EXPECT_EQ(0, currentInterface);
    EXPECT_EQ(0, localIsAv); // found, but not on the current interface
    EXPECT_EQ(macOf(scanStates[1].localMac), local().mac);
    EXPECT_EQ(1, scanStates[1].paramsValid);
    EXPECT_EQ(1, scanStates[1].localPresent);
    EXPECT_EQ(kClassAv, scanStates[1].deviceClass);
    EXPECT_FALSE(macIsSet(scanStates[0].localMac));
    EXPECT_EQ(0, scanStates[0].localPresent);
    EXPECT_EQ(0, scanStates[0].deviceClass);

    currentInterface = 1;
    EXPECT_TRUE(discoverLocalAv());
    EXPECT_EQ(1, currentInterface);
    EXPECT_EQ(1, localIsAv);
}

TEST_F(AvMaintenanceSim, NoAvDeviceAnywhere) {
    net.detach();
    EXPECT_FALSE(discoverLocalAv());
    EXPECT_EQ(0, localIsAv);
    EXPECT_EQ(0, scanStates[1].localPresent);
    EXPECT_STREQ("", localFirmwareVersion);
}

TEST_F(AvMaintenanceSim, LocalVersionTextNamesTheChipModel) {
    local().chip = 2;
    local().firmware = "KARSA01-MAC-3-1";
    EXPECT_TRUE(discoverLocalAv());
    EXPECT_STREQ("KARSA02", chipModel);
    EXPECT_STREQ("KARSA02-MAC-3-1", localFirmwareVersion);

    // The local text keeps what precedes the marker.
    local().chip = 3;
    local().firmware = "XY KARSA01-1.2";
    EXPECT_TRUE(discoverLocalAv());
    EXPECT_STREQ("KARSA03", chipModel);
    EXPECT_STREQ("XY KARSA03-1.2", localFirmwareVersion);

    // An unknown device id leaves the chip model as it was.
    local().chip = 7;
    local().firmware = "KARSA01-9";
    EXPECT_TRUE(discoverLocalAv());
    EXPECT_STREQ("KARSA03", chipModel);
    EXPECT_STREQ("KARSA03-9", localFirmwareVersion);
}

// ---- Station list -----------------------------------------------------------------

TEST_F(AvMaintenanceSim, StationListRecordsRemotesWithVersionAndRate) {
    sim::Station a = sim::Station::av(kRemoteA);
    a.chip = 1;
    a.firmware = "XY KARSA01-1.2";
    net.addStation(std::move(a));
    sim::Station b = sim::Station::av(kRemoteB);
    b.chip = 3;
    b.firmware = "KARSA01-2.0";
    net.addStation(std::move(b));
    ASSERT_TRUE(discoverLocalAv());
    localIsAv = 1;

    EXPECT_TRUE(refreshStations(scanStates[1].localMac));
    RemoteDevice* ra = findRemote(net.station(kRemoteA).mac.data());
    RemoteDevice* rb = findRemote(net.station(kRemoteB).mac.data());
    ASSERT_NE(nullptr, ra);
    ASSERT_NE(nullptr, rb);
    EXPECT_STREQ("KARSA01-1.2", ra->version);
    EXPECT_STREQ("KARSA03-2.0", rb->version);
    const int32_t type = ra->deviceType;
    EXPECT_EQ(kTypeAv, type);
    // Packed fields: read them into aligned copies.
    const double rate = ra->stats.rate, highest = ra->stats.highest;
    EXPECT_GT(rate, 0.0);
    EXPECT_EQ(rate, highest);
    // The local device is never recorded as a remote, and the chip model of a
    // remote station does not become the local one (the local chip is id 2).
    EXPECT_EQ(nullptr, findRemote(local().mac.data()));
    const int32_t active =
        networkRecords[1].remotes[1].active + networkRecords[1].remotes[0].active;
    EXPECT_EQ(2, active);
    EXPECT_STREQ("KARSA02", chipModel);
}

// A network information confirmation naming the local device, the broadcast
// address and one remote station with raw rate 151.
std::vector<uint8_t> networkInfoFrame(const uint8_t* dst, const sim::Mac& src,
                                      const std::vector<sim::Mac>& stations, uint8_t rate) {
    std::vector<uint8_t> f(60 + 15 * stations.size(), 0);
    std::memcpy(f.data(), dst, 6);
    std::memcpy(f.data() + 6, src.data(), 6);
    f[12] = 0x88;
    f[13] = 0xE1;
    f[15] = 0x39;
    f[16] = 0xA0;
    f[17] = 0x00;
    f[18] = 0xB0;
    f[19] = 0x52;
    f[38] = static_cast<uint8_t>(stations.size());
    for (size_t j = 0; j < stations.size(); ++j) {
        std::memcpy(&f[39 + 15 * j], stations[j].data(), 6);
        f[39 + 15 * j + 13] = rate;
    }
    return f;
}

TEST_F(AvMaintenanceSim, StationListSkipsTheLocalDeviceAndBroadcast) {
    sim::Station a = sim::Station::av(kRemoteA);
    a.chip = 2;
    a.firmware = "AB KARSA01-7";
    net.addStation(std::move(a));
    ASSERT_TRUE(discoverLocalAv());
    localIsAv = 1;
    auto frame = networkInfoFrame(kHost1, local().mac,
                                  {local().mac, sim::kBroadcast, net.station(kRemoteA).mac}, 151);
    PlcReply reply{};
    ASSERT_EQ(0, plcapi_DecodeFrame(static_cast<uint32_t>(frame.size()), frame.data(), &reply));
    size_t before = wire.sent.size();
    processStationList(reply);

    // Exactly one version request went out, to the remote station.
    ASSERT_EQ(before + 1, wire.sent.size());
    EXPECT_EQ(macOf(wire.sent.back().frame.data()), net.station(kRemoteA).mac);
    EXPECT_EQ(0x00, wire.sent.back().frame[15]);
    EXPECT_EQ(0xA0, wire.sent.back().frame[16]);
    EXPECT_EQ(nullptr, findRemote(local().mac.data()));
    EXPECT_EQ(nullptr, findRemote(sim::kBroadcast.data()));
    RemoteDevice* ra = findRemote(net.station(kRemoteA).mac.data());
    ASSERT_NE(nullptr, ra);
    EXPECT_STREQ("KARSA02-7", ra->version);
    const double rate = ra->stats.rate, lowest = ra->stats.lowest;
    EXPECT_EQ(200.0, rate); // trunc(151 * 200 / 151)
    EXPECT_EQ(200.0, lowest);
}

TEST_F(AvMaintenanceSim, StationListCountBeyondTheFrameIsBounded) {
    ASSERT_TRUE(discoverLocalAv());
    auto frame = networkInfoFrame(kHost1, local().mac, {net.local().mac}, 10);
    frame[38] = 255; // claims far more entries than the frame holds
    PlcReply reply{};
    ASSERT_EQ(0, plcapi_DecodeFrame(static_cast<uint32_t>(frame.size()), frame.data(), &reply));
    processStationList(reply);
    for (auto& slot : networkRecords[1].remotes) {
        const int32_t active = slot.active;
        EXPECT_EQ(0, active);
    }
}

// ---- Factory reset ------------------------------------------------------------------

TEST_F(AvMaintenanceSim, FactoryResetConfirmedAndNotConfirmed) {
    learnLocalMac();
    local().setNmk(sim::nmkOf("PrivateNet1"));
    EXPECT_EQ(4, resetToFactoryDefaults(local().mac.data()));
    EXPECT_EQ(1u, local().factoryResets);
    EXPECT_EQ(local().nmk, sim::defaultNmk());

    sim::Fault ignore;
    ignore.kind = sim::Fault::Kind::Ignore;
    ignore.match = 0xA07C;
    local().faults.push_back(ignore);
    EXPECT_EQ(0, resetToFactoryDefaults(local().mac.data()));
    EXPECT_EQ(1u, local().factoryResets);

    // A failure status is no confirmation.
    local().faults.clear();
    sim::Fault status;
    status.kind = sim::Fault::Kind::Status;
    status.match = 0xA07C;
    local().faults.push_back(status);
    EXPECT_EQ(0, resetToFactoryDefaults(local().mac.data()));
}

// ---- NMK read -------------------------------------------------------------------------

TEST_F(AvMaintenanceSim, NmkIsReadOutOfTheParameterBlock) {
    learnLocalMac();
    local().setNmk(sim::nmkOf("MyPrivateNetwork"));
    uint8_t out[16] = {};
    ASSERT_TRUE(readLocalNmk(local().mac.data(), out));
    EXPECT_EQ(std::vector<uint8_t>(out, out + 16), bytesOf(sim::nmkOf("MyPrivateNetwork")));
    // 7992 bytes in 1024-byte chunks: eight read requests.
    size_t reads = 0;
    for (auto& s : wire.sent)
        reads += s.frame[15] == 0x24 && s.frame[16] == 0xA0;
    EXPECT_EQ(8u, reads);
}

TEST_F(AvMaintenanceSim, NmkReadFailuresLeaveTheDestination) {
    learnLocalMac();
    uint8_t out[16];
    std::memset(out, 0x5A, sizeof out);
    const std::vector<uint8_t> untouched(16, 0x5A);

    // No host MAC.
    currentInterface = 0;
    std::memset(interfaceTable[0].mac, 0, 6);
    EXPECT_FALSE(readLocalNmk(local().mac.data(), out));
    currentInterface = 1;

    // A device that stops answering half-way.
    sim::Fault drop;
    drop.kind = sim::Fault::Kind::Drop;
    drop.match = 0xA024;
    drop.skip = 3;
    local().faults.push_back(drop);
    EXPECT_FALSE(readLocalNmk(local().mac.data(), out));
    EXPECT_EQ(std::vector<uint8_t>(out, out + 16), untouched);
    local().faults.clear();

    // A block that does not validate gives no key.
    local().pib[244] = 9;
    setPibChecksum(local().pib);
    EXPECT_FALSE(readLocalNmk(local().mac.data(), out));
    EXPECT_EQ(std::vector<uint8_t>(out, out + 16), untouched);
}

TEST_F(AvMaintenanceSim, NmkReadRefusesABlockLongerThanItsBuffer) {
    learnLocalMac();
    // A block of another version whose declared length runs past 16 KB.
    std::vector<uint8_t> big(20000, 0);
    big[0] = 2;
    big[1] = 0;
    putLe16At(big, 4, 20000);
    std::memset(big.data() + 100, 0x77, 16);
    setPibChecksum(big);
    local().pib = big;
    uint8_t out[16] = {};
    EXPECT_FALSE(readLocalNmk(local().mac.data(), out));
    EXPECT_EQ(std::vector<uint8_t>(16, 0), std::vector<uint8_t>(out, out + 16));
}

// ---- Configuration block ----------------------------------------------------------------

TEST_F(AvMaintenanceSim, ConfigurationBlockAnswers) {
    learnLocalMac();
    local().configMode = 0;
    EXPECT_TRUE(readConfigurationBlock());
    EXPECT_EQ(1, commitAfterWrite);

    local().configMode = 1;
    EXPECT_FALSE(readConfigurationBlock());
    EXPECT_EQ(1, commitAfterWrite);

    local().configMode = 2;
    EXPECT_TRUE(readConfigurationBlock());
    EXPECT_EQ(0, commitAfterWrite);

    local().configMode = 1;
    EXPECT_FALSE(readConfigurationBlock());
    EXPECT_EQ(0, commitAfterWrite);

    net.detach();
    EXPECT_FALSE(readConfigurationBlock());
    EXPECT_TRUE(messages.shown.empty());
}

// ---- Firmware upgrade -----------------------------------------------------------------------

struct UpgradeFiles {
    std::string nvm;
    std::string pib;
    std::vector<uint8_t> firmware;
    std::vector<uint8_t> parameters;
    NvmBlockSpec last;
};

class AvUpgradeSim : public AvMaintenanceSim {
  protected:
    UpgradeFiles files;
    std::vector<uint8_t> oldNvm;
    std::vector<uint8_t> oldPib;

    void SetUp() override {
        AvMaintenanceSim::SetUp();
        NvmBlockSpec first;
        first.loadAddress = 0x00100000;
        first.image = patternBytes(1500, 3);
        files.last.loadAddress = 0x00200000;
        files.last.image = patternBytes(2600, 9);
        files.last.word16 = 0x11223344;
        files.last.word20 = 0x55667788;
        files.firmware = makeNvmImage({first, files.last});
        const uint8_t otherMac[6] = {0x00, 0xB0, 0x52, 0x00, 0x0A, 0x0B};
        const uint8_t nmk[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
        files.parameters = makeValidPib33(otherMac, nmk);
        files.nvm = dir.file("new.nvm");
        files.pib = dir.file("new.pib");
        writeFileBytes(files.nvm, files.firmware);
        writeFileBytes(files.pib, files.parameters);
        oldNvm = local().nvm;
        oldPib = local().pib;
    }
    // The parameter block the device should hold afterwards: the file's, with
    // the device's MAC and a checksum that verifies.
    std::vector<uint8_t> personalised() const {
        std::vector<uint8_t> expected = files.parameters;
        std::memcpy(expected.data() + 12, net.stations().front().mac.data(), 6);
        setPibChecksum(expected);
        return expected;
    }
    void prepare(const char* chip, int commit) {
        ASSERT_TRUE(discoverLocalAv());
        copyText(chipModel, chip);
        commitAfterWrite = commit;
    }
    uint8_t commitMask() const {
        for (auto& s : wire.sent)
            if (s.frame[15] == 0x28 && s.frame[16] == 0xA0)
                return s.frame[20];
        return 0;
    }
    void expectDeviceUntouched() {
        EXPECT_EQ(oldNvm, local().nvm);
        EXPECT_EQ(oldPib, local().pib);
        EXPECT_EQ(0u, local().commits);
        EXPECT_EQ(0u, local().starts);
    }
};

TEST_F(AvUpgradeSim, FirstChipWithCommitWritesModulesAndCommitsMask03) {
    prepare("KARSA01", 1);
    EXPECT_EQ(0x23, upgradeOptions());
    ASSERT_TRUE(runAvUpgrade(files.nvm.c_str(), files.pib.c_str()))
        << ::testing::PrintToString(texts());
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_EQ(files.firmware, local().nvm);
    EXPECT_EQ(personalised(), local().pib);
    EXPECT_EQ(0u, testChecksum32(local().pib.data(), local().pib.size() / 4));
    EXPECT_EQ(0x03, commitMask());
    EXPECT_EQ(1u, local().commits);
}

TEST_F(AvUpgradeSim, FirstChipWithoutCommitEndsWithTheStartRequest) {
    prepare("KARSA01", 0);
    EXPECT_EQ(0x22, upgradeOptions());
    ASSERT_TRUE(runAvUpgrade(files.nvm.c_str(), files.pib.c_str()))
        << ::testing::PrintToString(texts());
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_EQ(files.firmware, local().nvm);
    EXPECT_EQ(personalised(), local().pib);
    EXPECT_EQ(1u, local().starts);
    EXPECT_EQ(0u, local().commits);
}

TEST_F(AvUpgradeSim, OtherChipWithCommitCommitsMask13) {
    prepare("KARSA02", 1);
    EXPECT_EQ(0x13, upgradeOptions());
    ASSERT_TRUE(runAvUpgrade(files.nvm.c_str(), files.pib.c_str()))
        << ::testing::PrintToString(texts());
    EXPECT_EQ(files.firmware, local().nvm);
    EXPECT_EQ(personalised(), local().pib);
    EXPECT_EQ(0x13, commitMask());
    EXPECT_EQ(1u, local().commits);
}

TEST_F(AvUpgradeSim, OtherChipWithoutCommitWritesMemoryAndStarts) {
    prepare("KARSA02", 0);
    EXPECT_EQ(0x00, upgradeOptions());
    ASSERT_TRUE(runAvUpgrade(files.nvm.c_str(), files.pib.c_str()))
        << ::testing::PrintToString(texts());
    EXPECT_TRUE(messages.shown.empty());
    ASSERT_TRUE(local().started.has_value());
    EXPECT_EQ(files.last.loadAddress, local().started->loadAddress);
    EXPECT_EQ(files.last.image.size(), local().started->length);
    EXPECT_EQ(files.last.word16, local().started->word3);
    EXPECT_EQ(files.last.word20, local().started->word4);
    EXPECT_EQ(files.last.image, local().started->image);
    EXPECT_EQ(personalised(), local().pib);
    EXPECT_EQ(1u, local().starts);
}

// Each block follows the confirmation of the one before after exactly the
// prescribed 2 ms (1 ms after the confirmation, 1 ms before the next block):
// never sooner, which the device relies on, and never later, which would
// lengthen every upgrade by the same share. The emulator answers 1 ms after a
// request, so consecutive blocks go out 3 ms apart.
TEST_F(AvUpgradeSim, BlocksFollowTheirConfirmationAfterTwoMilliseconds) {
    for (const char* chip : {"KARSA01", "KARSA02"}) {
        SCOPED_TRACE(chip);
        wire.sent.clear();
        prepare(chip, 0);
        ASSERT_TRUE(runAvUpgrade(files.nvm.c_str(), files.pib.c_str()));
        std::vector<uint64_t> blocksAt;
        for (auto& s : wire.sent) {
            const uint16_t type = static_cast<uint16_t>(s.frame[15] | (s.frame[16] << 8));
            if (type == kMmtypeWriteModule || type == kMmtypeWriteMemory)
                blocksAt.push_back(s.atMs);
        }
        ASSERT_GT(blocksAt.size(), 4u);
        for (size_t i = 1; i < blocksAt.size(); ++i)
            EXPECT_EQ(blocksAt[i - 1] + net.latencyMs + 2, blocksAt[i]) << "block " << i;
    }
}

// The upgrade itself shows nothing: it names its message (and the too-large
// file's values), and the window's box is built from that.
TEST_F(AvUpgradeSim, TheUpgradeReturnsItsMessageWithoutShowingIt) {
    prepare("KARSA02", 1);
    size_t sent = wire.sent.size();
    AvUpgradeOutcome missing = upgradeLocalAv(dir.file("absent.nvm").c_str(), files.pib.c_str());
    EXPECT_FALSE(missing.upgraded);
    EXPECT_EQ(AvUpgradeMessage::FirmwareUnreadable, missing.message);
    AvUpgradeOutcome noPib = checkAvUpgradeFiles(files.nvm.c_str(), dir.file("none").c_str());
    EXPECT_EQ(AvUpgradeMessage::PibUnreadable, noPib.message);
    EXPECT_TRUE(checkAvUpgradeFiles(files.nvm.c_str(), files.pib.c_str()).upgraded);

    const std::string huge = dir.file("huge.bin");
    writeFileBytes(huge, {});
    ASSERT_EQ(0, truncate(huge.c_str(), off_t{1} << 20));
    AvUpgradeOutcome tooLarge = upgradeLocalAv(files.nvm.c_str(), huge.c_str());
    EXPECT_EQ(AvUpgradeMessage::FileTooLarge, tooLarge.message);
    EXPECT_STREQ("parameter", tooLarge.tooLargeFile);
    EXPECT_EQ(uint64_t{1} << 20, tooLarge.tooLargeSize);
    EXPECT_EQ(kMaxParameterBlock, tooLarge.tooLargeLimit);
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_EQ(sent, wire.sent.size());

    AvUpgradeOutcome done = upgradeLocalAv(files.nvm.c_str(), files.pib.c_str());
    EXPECT_TRUE(done.upgraded);
    EXPECT_EQ(AvUpgradeMessage::None, done.message);
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(AvUpgradeSim, MissingFirmwareFile) {
    prepare("KARSA02", 1);
    size_t sent = wire.sent.size();
    EXPECT_FALSE(runAvUpgrade(dir.file("absent.nvm").c_str(), files.pib.c_str()));
    EXPECT_EQ((std::vector<std::string>{"Unable to open firmware file"}), texts());
    EXPECT_EQ("Error", messages.shown[0].caption);
    EXPECT_EQ(MessageIcon::Error, messages.shown[0].icon);
    EXPECT_EQ(sent, wire.sent.size());
    expectDeviceUntouched();
}

// Files far larger than any image (4 GiB, sparse) are refused from their
// size: nothing is read into memory, nothing is sent.
TEST_F(AvUpgradeSim, HugeFirmwareOrParameterFileIsRefusedFromItsSize) {
    prepare("KARSA02", 1);
    size_t sent = wire.sent.size();
    const std::string huge = dir.file("huge.bin");
    writeFileBytes(huge, {});
    ASSERT_EQ(0, truncate(huge.c_str(), off_t{4} << 30));
    EXPECT_FALSE(runAvUpgrade(huge.c_str(), files.pib.c_str()));
    EXPECT_FALSE(runAvUpgrade(files.nvm.c_str(), huge.c_str()));
    EXPECT_EQ((std::vector<std::string>{
                  "The firmware file is too large: 4294967296 bytes (at most 16777216)",
                  "The parameter file is too large: 4294967296 bytes (at most 16384)"}),
              texts());
    EXPECT_EQ(sent, wire.sent.size());
    expectDeviceUntouched();
}

TEST_F(AvUpgradeSim, BadNvmHeaders) {
    prepare("KARSA02", 1);
    size_t sent = wire.sent.size();
    // A header whose checksum fails.
    std::vector<uint8_t> bad = files.firmware;
    bad[40] ^= 1;
    writeFileBytes(files.nvm, bad);
    EXPECT_FALSE(runAvUpgrade(files.nvm.c_str(), files.pib.c_str()));
    // A last block whose image runs past the end of the file.
    std::vector<uint8_t> cut(files.firmware.begin(), files.firmware.end() - 100);
    writeFileBytes(files.nvm, cut);
    EXPECT_FALSE(runAvUpgrade(files.nvm.c_str(), files.pib.c_str()));
    // A file too short to hold one header.
    writeFileBytes(files.nvm, std::vector<uint8_t>(20, 0));
    EXPECT_FALSE(runAvUpgrade(files.nvm.c_str(), files.pib.c_str()));
    // A chain that points back at itself.
    std::vector<uint8_t> loop = files.firmware;
    putNvmHeader(loop, 0, 0x00100000, 1500, 0, 0, 0x10);
    writeFileBytes(files.nvm, loop);
    EXPECT_FALSE(runAvUpgrade(files.nvm.c_str(), files.pib.c_str()));
    EXPECT_EQ(std::vector<std::string>(4, "Wrong NVM Block Header"), texts());
    EXPECT_EQ(sent, wire.sent.size());
    expectDeviceUntouched();
}

TEST_F(AvUpgradeSim, SingleBlockFirmwareIsAccepted) {
    prepare("KARSA02", 1);
    NvmBlockSpec only;
    only.loadAddress = 0x00300000;
    only.image = patternBytes(3000, 4);
    std::vector<uint8_t> single = makeNvmImage({only});
    writeFileBytes(files.nvm, single);
    ASSERT_TRUE(runAvUpgrade(files.nvm.c_str(), files.pib.c_str()))
        << ::testing::PrintToString(texts());
    EXPECT_EQ(single, local().nvm);
}

TEST_F(AvUpgradeSim, MissingParameterFileAfterTheFirmwareWasChecked) {
    prepare("KARSA02", 1);
    EXPECT_FALSE(runAvUpgrade(files.nvm.c_str(), dir.file("absent.pib").c_str()));
    EXPECT_EQ((std::vector<std::string>{"Error in PIB file opening..."}), texts());
    expectDeviceUntouched();
}

TEST_F(AvUpgradeSim, BadParameterBlock) {
    prepare("KARSA02", 1);
    std::vector<uint8_t> bad = files.parameters;
    bad[244] = 9; // section check fails
    setPibChecksum(bad);
    writeFileBytes(files.pib, bad);
    EXPECT_FALSE(runAvUpgrade(files.nvm.c_str(), files.pib.c_str()));
    std::vector<uint8_t> shortBlock(files.parameters.begin(), files.parameters.begin() + 4000);
    writeFileBytes(files.pib, shortBlock);
    EXPECT_FALSE(runAvUpgrade(files.nvm.c_str(), files.pib.c_str()));
    EXPECT_EQ(std::vector<std::string>(2, "Error in PIB file Operation"), texts());
    expectDeviceUntouched();
}

TEST_F(AvUpgradeSim, ParameterBlockThatCannotBeRechecksummedStopsTheUpgrade) {
    prepare("KARSA02", 1);
    // Another version (not range-checked) whose length field exceeds the file.
    std::vector<uint8_t> other(7992, 0);
    other[0] = 2;
    other[1] = 0;
    putLe16At(other, 4, 9000);
    writeFileBytes(files.pib, other);
    EXPECT_FALSE(runAvUpgrade(files.nvm.c_str(), files.pib.c_str()));
    EXPECT_EQ((std::vector<std::string>{"Error in PIB file checksum. Operation aborted"}), texts());
    expectDeviceUntouched();
}

TEST_F(AvUpgradeSim, UnknownLocalMacRefusesToPersonalise) {
    prepare("KARSA02", 1);
    std::memset(scanStates[1].localMac, 0, 6);
    EXPECT_FALSE(runAvUpgrade(files.nvm.c_str(), files.pib.c_str()));
    EXPECT_EQ((std::vector<std::string>{"Upgrade failed. Operation aborted"}), texts());
    expectDeviceUntouched();
}

TEST_F(AvUpgradeSim, SilentDeviceAbortsTheUpgrade) {
    prepare("KARSA02", 1);
    sim::Fault drop;
    drop.kind = sim::Fault::Kind::Ignore;
    drop.match = 0xA020;
    drop.skip = 2;
    local().faults.push_back(drop);
    EXPECT_FALSE(runAvUpgrade(files.nvm.c_str(), files.pib.c_str()));
    EXPECT_EQ((std::vector<std::string>{"Upgrade failed. Operation aborted."}), texts());
    EXPECT_EQ(0u, local().commits);
    EXPECT_EQ(oldNvm, local().nvm);
}

TEST_F(AvUpgradeSim, FailureStatusIsResentWithinTheBudget) {
    prepare("KARSA02", 1);
    sim::Fault status;
    status.kind = sim::Fault::Kind::Status;
    status.match = 0xA020;
    status.skip = 3;
    status.count = 2;
    local().faults.push_back(status);
    ASSERT_TRUE(runAvUpgrade(files.nvm.c_str(), files.pib.c_str()))
        << ::testing::PrintToString(texts());
    EXPECT_EQ(files.firmware, local().nvm);
    EXPECT_EQ(personalised(), local().pib);
}

TEST_F(AvUpgradeSim, CancelStopsAtTheNextBlock) {
    prepare("KARSA02", 1);
    clock.atTime(clock.now() + 4, [] { upgradeCancelRequested.store(true); });
    size_t before = wire.sent.size();
    EXPECT_FALSE(runAvUpgrade(files.nvm.c_str(), files.pib.c_str()));
    EXPECT_TRUE(messages.shown.empty());
    size_t blocks = wire.sent.size() - before;
    EXPECT_GE(blocks, 1u);
    EXPECT_LT(blocks, 5u);
    expectDeviceUntouched();
    // The sequence was ended: nothing is pending for a later exchange.
    EXPECT_EQ(0, plcSequence.pending.pending);
    upgradeCancelRequested.store(false);
}

} // namespace
