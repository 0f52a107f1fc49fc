// The HomePlug 1.0 firmware upgrade against the emulator's secondary loader.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "maintenance/av_maintenance.h"
#include "maintenance/hp10_upgrade.h"
#include "network/model.h"
#include "packet/driver.h"
#include "packet/memory_wire.h"
#include "packet/packet.h"
#include "platform/messages.h"
#include "sim/network.h"
#include "support/core_bench.h"
#include "support/image_builders.h"
#include "support/temp_dir.h"
#include "ui/outcome_boxes.h"

namespace {

// The upgrade as the window runs it: its messages shown as boxes, 1 when upgraded.
int upgradeShown(const char* image, const char* config) {
    const Hp10UpgradeOutcome outcome = upgradeHp10(image, config);
    showOutcome(outcome);
    return outcome.upgraded ? 1 : 0;
}

const uint8_t kHost[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
const char kDevice[] = "00:04:87:00:00:20";

uint32_t be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

std::vector<uint8_t> slice(const std::vector<uint8_t>& v, size_t from, size_t length) {
    return {v.begin() + static_cast<long>(from), v.begin() + static_cast<long>(from + length)};
}

class Hp10UpgradeSim : public ::testing::Test {
  protected:
    CoreBench bench;
    VirtualClock& clock = bench.clock;
    MemoryWire& wire = bench.wire;
    RecordingMessages& messages = bench.messages;
    sim::Network net;
    TempDir dir;
    std::map<uint32_t, sim::Bytes> before;

    void SetUp() override {
        sim::Station local = sim::Station::hp10(kDevice);
        local.local = true;
        net.addStation(std::move(local));
        net.attach(wire, bench.addPort("eth0", kHost));
        openAllInterfaces();
        currentInterface = 0;
        std::memcpy(scanStates[0].localMac, device().mac.data(), 6);
        before = device().loaderModules;
    }
    void TearDown() override { net.detach(); }
    sim::Station& device() { return net.local(); }
    std::string file(const char* name, const std::vector<uint8_t>& bytes) {
        std::string path = dir.file(name);
        writeFileBytes(path, bytes);
        return path;
    }
    std::vector<std::string> texts() const {
        std::vector<std::string> t;
        for (auto& m : messages.shown)
            t.push_back(m.text);
        return t;
    }
    // The loader requests of one code, in order.
    std::vector<const std::vector<uint8_t>*> requests(uint8_t code) const {
        std::vector<const std::vector<uint8_t>*> out;
        for (auto& s : wire.sent)
            if (s.frame[15] == 0x10 && s.frame[17] == code)
                out.push_back(&s.frame);
        return out;
    }
    void expectSuccess() {
        EXPECT_EQ((std::vector<std::string>{"Device firmware has been upgraded successfully."}),
                  texts());
        EXPECT_EQ("Information", messages.shown.at(0).caption);
        EXPECT_FALSE(device().inLoader);
        EXPECT_EQ(1u, device().restarts);
    }
};

TEST_F(Hp10UpgradeSim, ImageOfTwoFullChunksWithoutConfiguration) {
    auto image = patternBytes(2048, 1);
    std::string path = file("fw.img", image);
    ASSERT_EQ(1, upgradeShown(path.c_str(), nullptr));
    expectSuccess();
    EXPECT_EQ(image, device().loaderModules[0x100]);
    auto chunks = requests(0x81);
    ASSERT_EQ(2u, chunks.size());
    EXPECT_EQ(0u, be32(chunks[0]->data() + 24));
    EXPECT_EQ(1024u, be32(chunks[1]->data() + 24));
    ASSERT_EQ(1u, requests(0x82).size());
    EXPECT_EQ(0x100u, be32(requests(0x82)[0]->data() + 20));
    ASSERT_EQ(1u, requests(0x83).size());
    EXPECT_EQ(2048u, be32(requests(0x83)[0]->data() + 24));
    // The configuration modules were left as they were.
    EXPECT_EQ(before[0x10], device().loaderModules[0x10]);
    EXPECT_EQ(before[0x80], device().loaderModules[0x80]);
}

// An image file far larger than any firmware (4 GiB, sparse) is refused from
// its size before the device is sent to its loader: nothing is sent and the
// device keeps running its own firmware.
TEST_F(Hp10UpgradeSim, HugeImageIsRefusedBeforeTheLoaderStarts) {
    const std::string path = dir.file("huge.img");
    writeFileBytes(path, {});
    ASSERT_EQ(0, truncate(path.c_str(), off_t{4} << 30));
    EXPECT_EQ(0, upgradeShown(path.c_str(), nullptr));
    EXPECT_EQ((std::vector<std::string>{
                  "The image file is too large: 4294967296 bytes (at most 16777216)"}),
              texts());
    EXPECT_TRUE(wire.sent.empty());
    EXPECT_FALSE(device().inLoader);
    EXPECT_EQ(before, device().loaderModules);
}

TEST_F(Hp10UpgradeSim, ConfigurationOf960BytesWritesAllThreeSections) {
    auto image = patternBytes(3000, 2);
    auto config = patternBytes(960, 3);
    std::string img = file("fw.img", image);
    std::string cfg = file("c.cfg", config);
    ASSERT_EQ(1, upgradeShown(img.c_str(), cfg.c_str()));
    expectSuccess();
    EXPECT_EQ(image, device().loaderModules[0x100]);
    EXPECT_EQ(slice(config, 0, 128), device().loaderModules[0x10]);
    EXPECT_EQ(slice(config, 128, 256), device().loaderModules[0x20]);
    EXPECT_EQ(slice(config, 448, 512), device().loaderModules[0x80]);
    EXPECT_EQ(0x1B0u, be32(requests(0x82)[0]->data() + 20));
    // Image, identity, option and parameter checksums, in that order.
    auto sums = requests(0x83);
    ASSERT_EQ(4u, sums.size());
    EXPECT_EQ(0x100u, be32(sums[0]->data() + 20));
    EXPECT_EQ(0x10u, be32(sums[1]->data() + 20));
    EXPECT_EQ(0x80u, be32(sums[2]->data() + 20));
    EXPECT_EQ(0x20u, be32(sums[3]->data() + 20));
}

TEST_F(Hp10UpgradeSim, ConfigurationOf959Or961BytesHasNoOptionSection) {
    for (size_t size : {959u, 961u}) {
        SCOPED_TRACE(size);
        messages.shown.clear();
        wire.sent.clear();
        device().restarts = 0;
        auto config = patternBytes(size, static_cast<uint8_t>(size));
        std::string img = file("fw.img", patternBytes(1500, 4));
        std::string cfg = file("c.cfg", config);
        ASSERT_EQ(1, upgradeShown(img.c_str(), cfg.c_str())) << ::testing::PrintToString(texts());
        expectSuccess();
        EXPECT_EQ(slice(config, 0, 128), device().loaderModules[0x10]);
        EXPECT_EQ(slice(config, 128, 256), device().loaderModules[0x20]);
        EXPECT_EQ(before[0x80], device().loaderModules[0x80]);
        EXPECT_EQ(0x130u, be32(requests(0x82)[0]->data() + 20));
        EXPECT_EQ(3u, requests(0x83).size());
    }
}

TEST_F(Hp10UpgradeSim, EmptyConfigurationPathMeansNone) {
    std::string img = file("fw.img", patternBytes(1024, 5));
    ASSERT_EQ(1, upgradeShown(img.c_str(), ""));
    expectSuccess();
    EXPECT_EQ(1u, requests(0x81).size());
    EXPECT_EQ(0x100u, be32(requests(0x82)[0]->data() + 20));
    ASSERT_EQ(1u, requests(0x83).size());
    EXPECT_EQ(0x100u, be32(requests(0x83)[0]->data() + 20));
}

TEST_F(Hp10UpgradeSim, DeviceAnsweringOnlyAtTheLoaderAddress) {
    device().loaderAddress = sim::LoaderAddress::Loader;
    auto image = patternBytes(2500, 6);
    std::string img = file("fw.img", image);
    ASSERT_EQ(1, upgradeShown(img.c_str(), nullptr)) << ::testing::PrintToString(texts());
    expectSuccess();
    EXPECT_EQ(image, device().loaderModules[0x100]);
    EXPECT_EQ(0, std::memcmp(scanStates[0].localMac, kSecondaryLoaderMac, 6));
    // The first chunk went to the device, then once more to the loader, and
    // everything after it to the loader.
    auto chunks = requests(0x81);
    ASSERT_EQ(4u, chunks.size());
    EXPECT_EQ(0, std::memcmp(chunks[0]->data(), device().mac.data(), 6));
    for (size_t i = 1; i < chunks.size(); ++i)
        EXPECT_EQ(0, std::memcmp(chunks[i]->data(), kSecondaryLoaderMac, 6)) << i;
    EXPECT_EQ(0, std::memcmp(wire.sent.back().frame.data(), kSecondaryLoaderMac, 6));
}

TEST_F(Hp10UpgradeSim, ChecksumMismatchStopsBeforeTheRestart) {
    sim::Fault corrupt;
    corrupt.kind = sim::Fault::Kind::Corrupt;
    corrupt.match = 0x20083;
    device().faults.push_back(corrupt);
    std::string img = file("fw.img", patternBytes(2048, 7));
    EXPECT_EQ(0, upgradeShown(img.c_str(), nullptr));
    EXPECT_EQ((std::vector<std::string>{"Mac Image Verification Failed", "Hardware Reset Failed"}),
              texts());
    for (auto& m : messages.shown) {
        EXPECT_EQ("Error", m.caption);
        EXPECT_EQ(MessageIcon::Error, m.icon);
    }
    EXPECT_TRUE(requests(0x7F).empty());
    EXPECT_EQ(0u, device().restarts);
    EXPECT_TRUE(device().inLoader); // left in its loader; the user repeats the upgrade
}

TEST_F(Hp10UpgradeSim, CommitRefusedByTheLoader) {
    sim::Fault status;
    status.kind = sim::Fault::Kind::Status;
    status.match = 0x20082;
    device().faults.push_back(status);
    std::string img = file("fw.img", patternBytes(100, 8));
    EXPECT_EQ(0, upgradeShown(img.c_str(), nullptr));
    EXPECT_EQ((std::vector<std::string>{"Packet sent but no response", "Commit Module Failed"}),
              texts());
    EXPECT_EQ(before[0x100], device().loaderModules[0x100]);
}

TEST_F(Hp10UpgradeSim, SilentDeviceFailsTheImageWrite) {
    net.detach();
    std::string img = file("fw.img", patternBytes(3000, 9));
    EXPECT_EQ(0, upgradeShown(img.c_str(), nullptr));
    EXPECT_EQ((std::vector<std::string>{"Packet sent but no response", "MAC Image Sending Failed"}),
              texts());
}

TEST_F(Hp10UpgradeSim, FloodBeforeAChunkReplyIsNotTakenForTheReply) {
    sim::Fault flood;
    flood.kind = sim::Fault::Kind::Flood;
    flood.match = 0x20081;
    flood.frames = 500;
    flood.count = 1;
    device().faults.push_back(flood);
    auto image = patternBytes(2048, 10);
    std::string img = file("fw.img", image);
    ASSERT_EQ(1, upgradeShown(img.c_str(), nullptr)) << ::testing::PrintToString(texts());
    expectSuccess();
    EXPECT_EQ(image, device().loaderModules[0x100]);
}

TEST_F(Hp10UpgradeSim, CancelStopsBeforeTheNextChunkAndRestartsWithTheOldFirmware) {
    // The cancel comes while the second of three chunks is acknowledged.
    int chunksAnswered = 0;
    net.onLog = [&](const std::string& line) {
        if (line.find("loader 0x81") != std::string::npos && ++chunksAnswered == 2)
            upgradeCancelRequested.store(true);
    };
    std::string img = file("fw.img", patternBytes(3000, 11));
    EXPECT_EQ(0, upgradeShown(img.c_str(), nullptr));
    net.onLog = nullptr;
    upgradeCancelRequested.store(false);
    EXPECT_EQ(2u, requests(0x81).size()); // the chunk in flight finished; no third one
    EXPECT_TRUE(requests(0x82).empty());  // nothing committed
    ASSERT_EQ(1u, requests(0x7F).size()); // the device was restarted out of the loader
    EXPECT_FALSE(device().inLoader);
    EXPECT_TRUE(device().loaderStaged.empty());
    EXPECT_EQ(before, device().loaderModules);
    EXPECT_EQ(1u, device().restarts);
    EXPECT_TRUE(texts().empty()) << ::testing::PrintToString(texts()); // the caller tells
}

TEST_F(Hp10UpgradeSim, CancelBeforeTheConfigurationSectionsCommitsNothing) {
    net.onLog = [&](const std::string& line) {
        if (line.find("loader 0x81") != std::string::npos)
            upgradeCancelRequested.store(true);
    };
    std::string img = file("fw.img", patternBytes(1024, 12));
    std::string cfg = file("fw.cfg", patternBytes(960, 13));
    EXPECT_EQ(0, upgradeShown(img.c_str(), cfg.c_str()));
    net.onLog = nullptr;
    upgradeCancelRequested.store(false);
    EXPECT_EQ(1u, requests(0x81).size()); // the image's only chunk; no section followed
    EXPECT_TRUE(requests(0x82).empty());
    EXPECT_EQ(before, device().loaderModules);
    EXPECT_FALSE(device().inLoader);
}

TEST_F(Hp10UpgradeSim, ACancelLeftFromAnEarlierUpgradeIsDropped) {
    upgradeCancelRequested.store(true);
    auto image = patternBytes(2048, 14);
    std::string img = file("fw.img", image);
    ASSERT_EQ(1, upgradeShown(img.c_str(), nullptr)) << ::testing::PrintToString(texts());
    expectSuccess();
    EXPECT_EQ(image, device().loaderModules[0x100]);
}

} // namespace
