// A device that answers every management frame with a host action indication
// instead of the awaited confirmation. Each indication makes its response the
// library's pending frame; the exchanges send it and wait again, but a stream
// of indications must not keep the parameter-block read or the upgrade going
// for ever, while one that moves on only through such resends still completes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "maintenance/av_maintenance.h"
#include "network/model.h"
#include "packet/memory_wire.h"
#include "packet/packet.h"
#include "plcapi/mme_frames.h"
#include "plcapi/plcapi.h"
#include "sim/network.h"
#include "support/core_bench.h"
#include "support/image_builders.h"
#include "support/temp_dir.h"
#include "ui/device_dialogs_logic.h"

namespace {

const uint8_t kHost[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
const uint8_t kLocal[6] = {0x00, 0xB0, 0x52, 0x00, 0x00, 0x10};
// Far more indications than any bounded exchange takes; reaching it means the
// exchange followed the stream instead of giving up.
constexpr size_t kStreamLimit = 2000;

class HostActionFlood : public ::testing::Test {
  protected:
    CoreBench bench;
    size_t indications = 0;
    size_t managementFramesSent = 0;

    void SetUp() override {
        int port = bench.addPort("eth0", kHost);
        bench.wire.setSendHandler([this, port](int, const std::vector<uint8_t>& frame) {
            if (frame.size() < 14 || frame[12] != 0x88 || frame[13] != 0xE1)
                return;
            ++managementFramesSent;
            if (indications >= kStreamLimit)
                return;
            ++indications;
            std::vector<uint8_t> indication = mmeFrame(kMmtypeHostAction, 60, kHost, kLocal);
            bench.wire.deliver(port, indication, bench.clock.now() + 2);
        });
        openAllInterfaces();
        currentInterface = 0;
        std::memcpy(scanStates[0].localMac, kLocal, 6);
    }
};

TEST_F(HostActionFlood, ParameterBlockReadGivesUp) {
    uint8_t out[16];
    std::memset(out, 0x5A, sizeof out);
    EXPECT_FALSE(readLocalNmk(kLocal, out));
    EXPECT_LT(indications, kStreamLimit);
    EXPECT_EQ(std::vector<uint8_t>(16, 0x5A), std::vector<uint8_t>(out, out + 16));
    // Each indication was answered while the read was waiting.
    size_t responses = 0;
    for (const auto& s : bench.wire.sent)
        responses += s.frame[15] == 0x63 && s.frame[16] == 0xA0;
    EXPECT_GE(responses, 1u);
}

TEST_F(HostActionFlood, UpgradeGivesUpWithTheAbortMessage) {
    TempDir dir;
    NvmBlockSpec block;
    block.loadAddress = 0x00100000;
    block.image = patternBytes(3000, 5);
    std::string nvm = dir.file("f.nvm");
    std::string pib = dir.file("f.pib");
    writeFileBytes(nvm, makeNvmImage({block}));
    writeFileBytes(pib, makeValidPib33());
    copyText(chipModel, "KARSA02");
    commitAfterWrite = 1;

    EXPECT_FALSE(runAvUpgrade(nvm.c_str(), pib.c_str()));
    EXPECT_LT(indications, kStreamLimit);
    ASSERT_EQ(1u, bench.messages.shown.size());
    EXPECT_EQ("Upgrade failed. Operation aborted.", bench.messages.shown[0].text);
    EXPECT_EQ(0, plcSequence.pending.pending);
}

// A device that sends a host action indication before each confirmation, late
// enough that the wait sees the indication alone first: the transfer moves on
// only through resends, and must still complete.
class IndicationBeforeEveryAnswer : public ::testing::Test {
  protected:
    CoreBench bench;
    sim::Network net;

    void SetUp() override {
        sim::Station local = sim::Station::av("00:B0:52:00:00:10");
        local.local = true;
        net.addStation(local);
        int port = bench.addPort("eth0", kHost);
        bench.wire.setSendHandler([this, port](int, const std::vector<uint8_t>& frame) {
            if (frame.size() < 17 || frame[12] != 0x88 || frame[13] != 0xE1)
                return;
            bool hostActionResponse = frame[15] == 0x63 && frame[16] == 0xA0;
            if (!hostActionResponse)
                bench.wire.deliver(port, mmeFrame(kMmtypeHostAction, 60, kHost, kLocal),
                                   bench.clock.now() + 2);
            for (auto& answer : net.handle(frame.data(), frame.size()))
                bench.wire.deliver(port, answer.frame, bench.clock.now() + 40 + answer.delayMs);
        });
        openAllInterfaces();
        currentInterface = 0;
        std::memcpy(scanStates[0].localMac, kLocal, 6);
    }
};

TEST_F(IndicationBeforeEveryAnswer, UpgradeStillCompletes) {
    TempDir dir;
    NvmBlockSpec block;
    block.loadAddress = 0x00100000;
    block.image = patternBytes(6000, 5);
    std::vector<uint8_t> firmware = makeNvmImage({block});
    std::string nvm = dir.file("f.nvm");
    std::string pib = dir.file("f.pib");
    writeFileBytes(nvm, firmware);
    writeFileBytes(pib, makeValidPib33());
    copyText(chipModel, "KARSA02");
    commitAfterWrite = 1;

    EXPECT_TRUE(upgradeLocalAv(nvm.c_str(), pib.c_str()));
    EXPECT_TRUE(bench.messages.shown.empty());
    EXPECT_EQ(firmware, net.local().nvm);
    EXPECT_EQ(1u, net.local().commits);
}

TEST_F(IndicationBeforeEveryAnswer, ParameterBlockReadStillCompletes) {
    net.local().setNmk(sim::nmkOf("SlowButSteady"));
    uint8_t out[16] = {};
    EXPECT_TRUE(readLocalNmk(kLocal, out));
    const sim::AvKey expected = sim::nmkOf("SlowButSteady");
    EXPECT_EQ(std::vector<uint8_t>(expected.begin(), expected.end()),
              std::vector<uint8_t>(out, out + 16));
}

} // namespace
