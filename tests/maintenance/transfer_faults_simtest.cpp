// Module transfers and single exchanges on a network that does what real
// networks do: a short last chunk, a third station that sends indications and
// confirmations of its own, a confirmation that arrives late or twice, and
// unrelated traffic queued ahead of the answer. The core against the emulator
// over the in-memory wire, in virtual time.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "maintenance/av_maintenance.h"
#include "network/model.h"
#include "packet/memory_wire.h"
#include "packet/packet.h"
#include "platform/messages.h"
#include "plcapi/plcapi.h"
#include "security/key_operations.h"
#include "sim/network.h"
#include "support/core_bench.h"
#include "support/image_builders.h"
#include "support/temp_dir.h"

namespace {

const uint8_t kHost[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
const char kLocal[] = "00:B0:52:00:00:10";

std::vector<uint8_t> bytesOf(const sim::AvKey& k) {
    return {k.begin(), k.end()};
}

sim::Fault fault(sim::Fault::Kind kind, uint32_t match, uint32_t skip = 0, int64_t count = -1) {
    sim::Fault f;
    f.kind = kind;
    f.match = match;
    f.skip = skip;
    f.count = count;
    return f;
}

sim::Fault stray(const char* how, uint32_t match, uint32_t skip = 0, int64_t count = -1) {
    sim::Fault f = fault(sim::Fault::Kind::Stray, match, skip, count);
    f.how = how;
    return f;
}

uint16_t mmtypeOf(const std::vector<uint8_t>& frame) {
    return static_cast<uint16_t>(frame[15] | (frame[16] << 8));
}

class TransferFaults : public ::testing::Test {
  protected:
    CoreBench bench;
    VirtualClock& clock = bench.clock;
    MemoryWire& wire = bench.wire;
    sim::Network net;
    TempDir dir;
    std::string nvmPath, pibPath;
    std::vector<uint8_t> firmware, parameters;

    void SetUp() override {
        sim::Station local = sim::Station::av(kLocal);
        local.local = true;
        net.addStation(local);
        net.attach(wire, bench.addPort("eth0", kHost));
        openAllInterfaces();
        currentInterface = 0;
        std::memcpy(scanStates[0].localMac, net.local().mac.data(), 6);
        scanStates[0].localPresent = 1;
        std::memcpy(networkRecords[0].localMac, net.local().mac.data(), 6);
        localIsAv = 1;

        NvmBlockSpec block;
        block.loadAddress = 0x00100000;
        block.image = patternBytes(3000, 7);
        firmware = makeNvmImage({block});
        const uint8_t nmk[16] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6};
        parameters = makeValidPib33(nullptr, nmk);
        writeUpgradeFiles();
    }
    void TearDown() override { net.detach(); }

    sim::Station& local() { return net.local(); }
    void writeUpgradeFiles() {
        nvmPath = dir.file("f.nvm");
        pibPath = dir.file("f.pib");
        writeFileBytes(nvmPath, firmware);
        writeFileBytes(pibPath, parameters);
    }
    // A write module upgrade that ends with a commit (a second-generation chip).
    void prepareCommitUpgrade() {
        copyText(chipModel, "KARSA02");
        commitAfterWrite = 1;
    }
    std::vector<std::string> texts() const {
        std::vector<std::string> t;
        for (auto& m : bench.messages.shown)
            t.push_back(m.text);
        return t;
    }
    // Every management frame the core sent of `mmtype`.
    std::vector<std::vector<uint8_t>> sentOf(uint16_t mmtype) const {
        std::vector<std::vector<uint8_t>> out;
        for (auto& s : wire.sent)
            if (s.frame.size() > 16 && s.frame[12] == 0x88 && s.frame[13] == 0xE1 &&
                mmtypeOf(s.frame) == mmtype)
                out.push_back(s.frame);
        return out;
    }
    // Checks that every frame of `mmtype` went from the host to the local device.
    void expectAllToLocal(uint16_t mmtype) const {
        auto frames = sentOf(mmtype);
        ASSERT_FALSE(frames.empty()) << std::hex << mmtype;
        for (auto& f : frames) {
            EXPECT_EQ(0, std::memcmp(f.data(), net.stations().front().mac.data(), 6))
                << "a frame of 0x" << std::hex << mmtype << " went elsewhere";
            EXPECT_EQ(0, std::memcmp(f.data() + 6, kHost, 6));
        }
    }
};

// ---- Module read ----------------------------------------------------------------------------

TEST_F(TransferFaults, ParameterBlockUnderOneBlockYieldsItsKey) {
    // A 600-byte parameter block of another layout version: the device answers
    // the first 1024-byte request with the whole block, which ends the module.
    std::vector<uint8_t> small(600, 0);
    small[0] = 4;
    small[1] = 1;
    putLe16At(small, 4, 600);
    for (size_t i = 0; i < 16; ++i)
        small[100 + i] = static_cast<uint8_t>(0xA0 + i);
    local().pib = small;
    local().nmk = {};
    uint8_t out[16] = {};
    ASSERT_TRUE(readLocalNmk(local().mac.data(), out));
    EXPECT_EQ(std::vector<uint8_t>(small.begin() + 100, small.begin() + 116),
              std::vector<uint8_t>(out, out + 16));
    auto reads = sentOf(kMmtypeReadModule);
    ASSERT_EQ(1u, reads.size()) << "one request covers the whole block";
    EXPECT_EQ(1024, reads[0][22] | (reads[0][23] << 8));
}

TEST_F(TransferFaults, TwentyUnrelatedFramesAheadOfEveryChunk) {
    sim::Fault flood = fault(sim::Fault::Kind::Flood, kMmtypeReadModule);
    flood.frames = 20;
    local().faults.push_back(flood);
    local().setNmk(sim::nmkOf("BusyMains"));
    uint8_t out[16] = {};
    ASSERT_TRUE(readLocalNmk(local().mac.data(), out));
    EXPECT_EQ(bytesOf(sim::nmkOf("BusyMains")), std::vector<uint8_t>(out, out + 16));
    EXPECT_EQ(8u, sentOf(kMmtypeReadModule).size()) << "no chunk needed a resend";
}

TEST_F(TransferFaults, ThirdStationsChunksAreNotTaken) {
    // A stray station answers every chunk request first with a copy of the
    // chunk carrying a failure status: it must neither end the read nor use
    // up its resends.
    local().faults.push_back(stray("failure", kMmtypeReadModule));
    local().setNmk(sim::nmkOf("OnlyMine"));
    uint8_t out[16] = {};
    ASSERT_TRUE(readLocalNmk(local().mac.data(), out));
    EXPECT_EQ(bytesOf(sim::nmkOf("OnlyMine")), std::vector<uint8_t>(out, out + 16));
    EXPECT_EQ(8u, sentOf(kMmtypeReadModule).size());
    expectAllToLocal(kMmtypeReadModule);
}

TEST_F(TransferFaults, ReadThatTimedOutLeavesNothingBehind) {
    // The second chunk answers only after the read gave up; the late chunk
    // must not restart the read inside the next exchange.
    sim::Fault late = fault(sim::Fault::Kind::Delay, kMmtypeReadModule, 1, 1);
    late.ms = 150;
    local().faults.push_back(late);
    uint8_t out[16] = {};
    EXPECT_FALSE(readLocalNmk(local().mac.data(), out));
    EXPECT_EQ(0u, plcSequence.kind) << "the read was ended";
    EXPECT_EQ(0, plcSequence.pending.pending);

    local().configMode = 0; // ends a write with a commit
    commitAfterWrite = 0;
    ASSERT_TRUE(readConfigurationBlock());
    EXPECT_EQ(1, commitAfterWrite);
    EXPECT_EQ(0, plcSequence.pending.pending);
}

// ---- Configuration block -------------------------------------------------------------------

TEST_F(TransferFaults, ConfigurationBlockReadWithAnIndicationsResponseStillPending) {
    // A broadcast host action indication from a third station earlier on left
    // its response pending in the library; the configuration block answer
    // comes 20 ms later.
    local().faults.push_back(stray("hostaction", kMmtypeVersion, 0, 1));
    sendAvRequest(local().mac.data(), kMmtypeVersion);
    PlcReply reply{};
    ASSERT_TRUE(AwaitReply(kMmtypeVersion, &reply));
    ASSERT_EQ(1, plcSequence.pending.pending) << "the indication's response is pending";

    sim::Fault slow = fault(sim::Fault::Kind::Delay, kMmtypeConfigurationBlock);
    slow.ms = 20;
    local().faults.push_back(slow);
    local().configMode = 0;
    commitAfterWrite = 0;
    ASSERT_TRUE(readConfigurationBlock());
    EXPECT_EQ(1, commitAfterWrite) << "the upgrade would run in the wrong write mode";
}

TEST_F(TransferFaults, ConfigurationBlockOfAThirdStationIsNotTaken) {
    local().faults.push_back(fault(sim::Fault::Kind::Drop, kMmtypeConfigurationBlock));
    local().faults.push_back(stray("echo", kMmtypeConfigurationBlock));
    EXPECT_FALSE(readConfigurationBlock());
}

// ---- Image write ----------------------------------------------------------------------------

TEST_F(TransferFaults, HostActionFromAThirdStationDoesNotRedirectTheUpgrade) {
    prepareCommitUpgrade();
    local().faults.push_back(stray("hostaction", kMmtypeWriteModule, 1, 1));
    ASSERT_TRUE(upgradeLocalAv(nvmPath.c_str(), pibPath.c_str()))
        << testing::PrintToString(texts());
    EXPECT_EQ(firmware, local().nvm);
    EXPECT_EQ(1u, local().commits);
    expectAllToLocal(kMmtypeWriteModule);
    expectAllToLocal(kMmtypeCommitModules);
}

TEST_F(TransferFaults, StrayCommitConfirmationDoesNotEndTheUpgrade) {
    prepareCommitUpgrade();
    local().faults.push_back(stray("commit", kMmtypeWriteModule, 0, 1));
    ASSERT_TRUE(upgradeLocalAv(nvmPath.c_str(), pibPath.c_str()))
        << testing::PrintToString(texts());
    EXPECT_EQ(firmware, local().nvm) << "every block was written";
    EXPECT_EQ(1u, local().commits);
    EXPECT_EQ(11u, sentOf(kMmtypeWriteModule).size()); // 3 firmware + 8 parameter blocks
}

TEST_F(TransferFaults, LateDuplicateCommitConfirmationDoesNotEndTheNextUpgrade) {
    // The first upgrade's commit is confirmed twice; the second copy is still
    // queued when the next upgrade starts.
    prepareCommitUpgrade();
    local().faults.push_back(fault(sim::Fault::Kind::Duplicate, kMmtypeCommitModules, 0, 1));
    ASSERT_TRUE(upgradeLocalAv(nvmPath.c_str(), pibPath.c_str()));
    ASSERT_EQ(1u, local().commits);

    NvmBlockSpec block;
    block.loadAddress = 0x00100000;
    block.image = patternBytes(2500, 11);
    firmware = makeNvmImage({block});
    writeUpgradeFiles();
    ASSERT_TRUE(upgradeLocalAv(nvmPath.c_str(), pibPath.c_str()))
        << testing::PrintToString(texts());
    EXPECT_EQ(firmware, local().nvm) << "the second upgrade wrote all its blocks";
    EXPECT_EQ(2u, local().commits);
}

TEST_F(TransferFaults, ThirdStationsFailuresDoNotUseUpTheResends) {
    // Every block is first "refused" by a stray station, and the device itself
    // refuses the second block three times, the whole resend budget: only the
    // device's refusals count.
    prepareCommitUpgrade();
    local().faults.push_back(stray("failure", kMmtypeWriteModule));
    local().faults.push_back(fault(sim::Fault::Kind::Status, kMmtypeWriteModule, 1, 3));
    ASSERT_TRUE(upgradeLocalAv(nvmPath.c_str(), pibPath.c_str()))
        << testing::PrintToString(texts());
    EXPECT_EQ(firmware, local().nvm);
    EXPECT_EQ(1u, local().commits);
    EXPECT_EQ(14u, sentOf(kMmtypeWriteModule).size()) << "11 blocks and 3 resends";
}

TEST_F(TransferFaults, TwentyUnrelatedFramesAheadOfEveryBlockConfirmation) {
    prepareCommitUpgrade();
    sim::Fault flood = fault(sim::Fault::Kind::Flood, kMmtypeWriteModule);
    flood.frames = 20;
    local().faults.push_back(flood);
    ASSERT_TRUE(upgradeLocalAv(nvmPath.c_str(), pibPath.c_str()))
        << testing::PrintToString(texts());
    EXPECT_EQ(firmware, local().nvm);
    EXPECT_EQ(11u, sentOf(kMmtypeWriteModule).size()) << "no block needed a resend";
}

// ---- Single exchanges -------------------------------------------------------------------------

TEST_F(TransferFaults, FactoryResetConfirmedOnlyByTheResetDevice) {
    local().faults.push_back(fault(sim::Fault::Kind::Drop, kMmtypeFactoryDefaults));
    local().faults.push_back(stray("echo", kMmtypeFactoryDefaults));
    EXPECT_EQ(0, resetToFactoryDefaults(local().mac.data()));
    local().faults.clear();
    local().faults.push_back(stray("echo", kMmtypeFactoryDefaults));
    EXPECT_EQ(4, resetToFactoryDefaults(local().mac.data()));
}

TEST_F(TransferFaults, LocalKeySetConfirmedOnlyByTheLocalDevice) {
    const sim::AvKey key = sim::nmkOf("NotReallySet");
    local().faults.push_back(fault(sim::Fault::Kind::Drop, kMmtypeSetKey));
    local().faults.push_back(stray("echo", kMmtypeSetKey));
    EXPECT_EQ(0, setLocalNEK(nullptr, key.data()));
    local().faults.clear();
    local().faults.push_back(stray("echo", kMmtypeSetKey));
    EXPECT_EQ(4, setLocalNEK(nullptr, key.data()));
    EXPECT_EQ(key, local().nmk);
}

} // namespace
