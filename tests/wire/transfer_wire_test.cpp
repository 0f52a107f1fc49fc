// Module transfers over a real veth pair with a third station on the wire:
// plcsim serves one AV adapter whose answers a stray station interleaves with
// indications, failures and a commit confirmation of its own. The core with the
// libpcap driver in the other namespace reads the parameter block, learns the
// write mode and upgrades the adapter, in real time.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "maintenance/av_maintenance.h"
#include "network/model.h"
#include "packet/packet.h"
#include "platform/clock.h"
#include "platform/messages.h"
#include "plcapi/plcapi.h"
#include "sim/network.h"
#include "support/core_bench.h"
#include "support/image_builders.h"
#include "support/netns.h"
#include "support/temp_dir.h"
#include "ui/outcome_boxes.h"

namespace {

const char* const kHostMac = "02:48:59:00:00:51";
const uint8_t kLocal[6] = {0x00, 0xB0, 0x52, 0x00, 0x00, 0x10};

// One AV adapter (chip 2, committing writes, a 600-byte parameter block of
// another layout version) and a stray station: a host action indication in
// the middle of the upgrade, a commit confirmation after its first block, a
// failing copy of every chunk and every block confirmation.
std::string strayScenario(const std::string& pibFile) {
    return R"({"name": "stray", "stations": [
      {"family": "av", "mac": "00:B0:52:00:00:10", "local": true, "chip": 2,
       "configBlock": {"mode": 0}, "pibFile": ")" +
           pibFile + R"(",
       "faults": [
         {"kind": "stray", "how": "failure", "match": "0xA024"},
         {"kind": "stray", "how": "commit", "match": "0xA020", "count": 1},
         {"kind": "stray", "how": "hostaction", "match": "0xA020", "skip": 2, "count": 1},
         {"kind": "stray", "how": "failure", "match": "0xA020"},
         {"kind": "stray", "how": "echo", "match": "0xA058"}
       ]}
    ]})";
}

std::vector<uint8_t> smallPib(uint8_t fill) {
    std::vector<uint8_t> block(600, 0);
    block[0] = 4;
    block[1] = 1;
    putLe16At(block, 4, 600);
    for (size_t i = 0; i < 16; ++i)
        block[100 + i] = static_cast<uint8_t>(fill + i);
    return block;
}

} // namespace

TEST(TransferWire, ReadAndUpgradeThroughAStrayStationsTraffic) {
    HALYARD_REQUIRE_NETNS();
    NetnsPair::Options options;
    options.hostMac = kHostMac;
    NetnsPair net(options);
    ASSERT_TRUE(net.ok()) << net.error();
    TempDir dir;
    const std::vector<uint8_t> original = smallPib(0x40);
    writeFileBytes(dir.file("small.pib"), original);
    {
        std::ofstream scenario(dir.file("stray.json"));
        scenario << strayScenario(dir.file("small.pib"));
    }
    NetnsProcess emulator = net.spawn(NetnsPair::Plc,
                                      {PLCSIM_PATH, "--interface", net.ifName(NetnsPair::Plc),
                                       "--scenario", dir.file("stray.json")},
                                      dir.file("plcsim.log"));
    ASSERT_TRUE(emulator.running());

    // The upgrade: a one-block firmware image and a parameter block with a new key.
    NvmBlockSpec block;
    block.loadAddress = 0x00100000;
    block.image = patternBytes(2000, 3);
    writeFileBytes(dir.file("f.nvm"), makeNvmImage({block}));
    const std::vector<uint8_t> upgraded = smallPib(0x70);
    writeFileBytes(dir.file("f.pib"), upgraded);

    net.runIn(NetnsPair::Host, [&] {
        resetCore();
        RecordingMessages messages;
        setMessageSink(&messages);
        installOutcomeSinks();
        ASSERT_TRUE(openAllInterfaces());
        currentInterface = 0;
        // plcsim may still be opening its interface.
        bool found = false;
        for (int attempt = 0; attempt < 20 && !found; ++attempt) {
            found = discoverLocalAv();
            if (!found)
                sleepMs(250);
        }
        ASSERT_TRUE(found);
        ASSERT_EQ(0, std::memcmp(scanStates[0].localMac, kLocal, 6));
        EXPECT_STREQ("KARSA02", chipModel);

        // The parameter block in one short chunk, past the stray failures.
        uint8_t nmk[16] = {};
        ASSERT_TRUE(readLocalNmk(kLocal, nmk));
        EXPECT_EQ(std::vector<uint8_t>(original.begin() + 100, original.begin() + 116),
                  std::vector<uint8_t>(nmk, nmk + 16));

        // The write mode from the device itself, not from the stray copy.
        commitAfterWrite = 0;
        ASSERT_TRUE(readConfigurationBlock());
        EXPECT_EQ(1, commitAfterWrite);

        ASSERT_TRUE(upgradeLocalAv(dir.file("f.nvm").c_str(), dir.file("f.pib").c_str()))
            << (messages.shown.empty() ? "" : messages.shown[0].text);
        EXPECT_TRUE(messages.shown.empty());

        // The device took the new parameter block: every block was written
        // and committed, none went to the stray station.
        ASSERT_TRUE(readLocalNmk(kLocal, nmk));
        EXPECT_EQ(std::vector<uint8_t>(upgraded.begin() + 100, upgraded.begin() + 116),
                  std::vector<uint8_t>(nmk, nmk + 16));
        closeAllInterfaces();
        removeOutcomeSinks();
        setMessageSink(nullptr);
    });
    emulator.stop();
}
