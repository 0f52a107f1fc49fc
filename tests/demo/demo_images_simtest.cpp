// The demo images halyard-demo puts into its folder upgrade the emulated local
// adapter through halyard's own flows: the AV upgrade worker's steps with the
// PIB and NVM of the built-in scenario, and the HomePlug 1.0 loader upgrade
// with the IMG and CFG of a HomePlug 1.0 scenario.
#include <gtest/gtest.h>

#include <cstring>

#include "demo/demo_folder.h"
#include "maintenance/hp10_upgrade.h"
#include "network/model.h"
#include "support/emulated_halyard.h"
#include "ui/device_dialogs_logic.h"
#include "ui/main_page_logic.h"
#include "ui/outcome_boxes.h"
#include "ui/shell.h"

namespace {

// The upgrade as the window runs it: its messages shown as boxes, 1 when upgraded.
int upgradeShown(const char* image, const char* config) {
    const Hp10UpgradeOutcome outcome = upgradeHp10(image, config);
    showOutcome(outcome);
    return outcome.upgraded ? 1 : 0;
}

struct DemoImagesSim : ::testing::Test {
    EmulatedHalyard h;
    std::string folder() const { return h.dir.file("demo"); }
    std::string in(const char* name) const { return folder() + "/" + name; }
    sim::Station& start(sim::Network net) {
        std::string error;
        EXPECT_TRUE(prepareDemoFolder(folder(), net, error)) << error;
        h.attach(std::make_unique<sim::Network>(std::move(net)));
        EXPECT_TRUE(startShell(folder(), demoLockName(folder())));
        EXPECT_TRUE(createMainPage(demoPageSetup(folder()), nullptr));
        return h.net->local();
    }
    std::vector<std::string> texts() const {
        std::vector<std::string> t;
        for (const RecordedMessage& m : h.messages.shown)
            t.push_back(m.text);
        return t;
    }
};

TEST_F(DemoImagesSim, AvUpgradeWorkerTakesTheDemoImages) {
    sim::Station& local = start(loadDemoScenario(""));
    std::vector<uint8_t> nvm = readFileBytes(in(kDemoAvFirmwareFile));
    bool afterUpgrade = false;
    UpgradeWorkerHooks hooks;
    hooks.afterUpgrade = [&] { afterUpgrade = true; };
    ASSERT_TRUE(runUpgradeWorker(in(kDemoAvFirmwareFile), in(kDemoAvParametersFile), hooks))
        << ::testing::PrintToString(texts());
    EXPECT_TRUE(afterUpgrade);
    // The local adapter of the built-in scenario (second chip, configuration
    // block mode 0) takes the image by memory writes and a start: it runs the
    // demo image's last block and names its new version.
    ASSERT_TRUE(local.started.has_value());
    EXPECT_EQ(1u, local.starts);
    EXPECT_EQ(0u, local.commits);
    std::string image(local.started->image.begin(), local.started->image.end());
    EXPECT_NE(std::string::npos, std::string(nvm.begin(), nvm.end()).find(image));
    EXPECT_EQ("KARSA01-MAC-3-2", local.firmware);
    // The block kept the adapter's identity and network.
    EXPECT_EQ(0, std::memcmp(local.pib.data() + 12, local.mac.data(), 6));
    EXPECT_EQ(sim::defaultNmk(), local.nmk);
    EXPECT_EQ((std::vector<std::string>{"Device firmware has been upgraded successfully."}),
              texts());
}

TEST_F(DemoImagesSim, HomePlug10UpgradeTakesTheDemoImages) {
    sim::Station& local = start(sim::Network::fromFile(sim::scenarioPath("hp10.json")));
    std::vector<uint8_t> image = readFileBytes(in(kDemoHp10ImageFile));
    std::vector<uint8_t> config = readFileBytes(in(kDemoHp10ConfigFile));
    ASSERT_EQ(1, upgradeShown(in(kDemoHp10ImageFile).c_str(), in(kDemoHp10ConfigFile).c_str()))
        << ::testing::PrintToString(texts());
    EXPECT_EQ(image, local.loaderModules[0x100]);
    EXPECT_EQ(std::vector<uint8_t>(config.begin(), config.begin() + 128),
              local.loaderModules[0x10]);
    EXPECT_EQ(std::vector<uint8_t>(config.begin() + 448, config.end()), local.loaderModules[0x80]);
    EXPECT_FALSE(local.inLoader);
    EXPECT_EQ((std::vector<std::string>{"Device firmware has been upgraded successfully."}),
              texts());
}

} // namespace
