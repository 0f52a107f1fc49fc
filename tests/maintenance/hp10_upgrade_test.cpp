// The HomePlug 1.0 loader upgrade over the in-memory wire with a scripted
// loader: byte-exact request frames, reply handling and the reply deadline.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "maintenance/hp10_upgrade.h"
#include "network/model.h"
#include "packet/driver.h"
#include "packet/memory_wire.h"
#include "packet/packet.h"
#include "platform/messages.h"
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
const uint8_t kDevice[6] = {0x00, 0x04, 0x87, 0x00, 0x00, 0x42};

uint32_t be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
uint16_t be16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t paddedChecksum(const std::vector<uint8_t>& d) {
    uint32_t x = 0;
    for (size_t i = 0; i < d.size(); i += 4) {
        uint32_t w = 0;
        for (size_t b = 0; b < 4 && i + b < d.size(); ++b)
            w |= uint32_t{d[i + b]} << (8 * b);
        x ^= w;
    }
    return ~x;
}

// Answers loader requests addressed to `address`: stores written chunks and
// reports checksums over what it stored.
struct ScriptedLoader {
    uint8_t address[6];
    uint8_t status = 0;
    uint32_t checksumError = 0; // XORed into every reported checksum
    std::map<uint32_t, std::vector<uint8_t>> modules;

    std::vector<uint8_t> reply(const std::vector<uint8_t>& req, uint8_t code) const {
        std::vector<uint8_t> r(60, 0);
        std::memcpy(r.data(), req.data() + 6, 6);
        std::memcpy(r.data() + 6, address, 6);
        r[12] = 0x88;
        r[13] = 0x7B;
        r[14] = 1;
        r[15] = 0x10;
        r[16] = 1;
        r[17] = code;
        r[20] = status;
        return r;
    }

    bool handle(const std::vector<uint8_t>& f, std::vector<uint8_t>& out) {
        if (f.size() < 21 || std::memcmp(f.data(), address, 6) != 0 || f[15] != 0x10)
            return false;
        uint8_t code = f[17];
        out = reply(f, code);
        if (code == 0x81) {
            uint32_t module = be32(&f[20]), offset = be32(&f[24]);
            uint16_t len = be16(&f[28]);
            auto& m = modules[module];
            if (m.size() < offset + len)
                m.resize(offset + len);
            std::memcpy(m.data() + offset, &f[30], len);
        } else if (code == 0x83) {
            auto& m = modules[be32(&f[20])];
            std::vector<uint8_t> part(m.begin(),
                                      m.begin() + std::min<size_t>(be32(&f[24]), m.size()));
            uint32_t c = paddedChecksum(part) ^ checksumError;
            out[29] = static_cast<uint8_t>(c >> 24);
            out[30] = static_cast<uint8_t>(c >> 16);
            out[31] = static_cast<uint8_t>(c >> 8);
            out[32] = static_cast<uint8_t>(c);
        } else if (code == 0x7F) {
            return false;
        }
        return true;
    }
};

class Hp10UpgradeTest : public ::testing::Test {
  protected:
    VirtualClock clock;
    MemoryWire wire{clock};
    RecordingMessages messages;
    ScriptedLoader loader{};
    bool answering = true;
    TempDir dir;

    void SetUp() override {
        resetDeviceModel();
        resetHp10Upgrade();
        setSystemClock(&clock);
        setPacketDriver(&wire);
        setMessageSink(&messages);
        installOutcomeSinks();
        MemoryWire::Port p;
        p.name = "eth0";
        std::memcpy(p.mac, kHost, 6);
        wire.addPort(p);
        openAllInterfaces();
        currentInterface = 0;
        std::memcpy(scanStates[0].localMac, kDevice, 6);
        std::memcpy(loader.address, kDevice, 6);
        wire.setSendHandler([this](int port, const std::vector<uint8_t>& f) {
            std::vector<uint8_t> r;
            if (answering && loader.handle(f, r))
                wire.deliver(port, r, clock.now() + 1);
        });
    }
    void TearDown() override {
        closeAllInterfaces();
        setPacketDriver(nullptr);
        removeOutcomeSinks();
        setMessageSink(nullptr);
        setSystemClock(nullptr);
        resetDeviceModel();
        resetHp10Upgrade();
    }
    std::string writeFile(const char* name, size_t size, uint8_t seed) {
        std::vector<uint8_t> bytes(size);
        for (size_t i = 0; i < size; ++i)
            bytes[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
        std::string path = dir.file(name);
        std::FILE* f = std::fopen(path.c_str(), "wb");
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
        return path;
    }
    std::vector<std::string> texts() const {
        std::vector<std::string> t;
        for (auto& m : messages.shown)
            t.push_back(m.text);
        return t;
    }
};

TEST_F(Hp10UpgradeTest, RequestFramesAreByteExact) {
    std::string image = writeFile("a.img", 1500, 3);
    uint64_t start = clock.now();
    ASSERT_EQ(1, upgradeShown(image.c_str(), ""));
    ASSERT_EQ(7u, wire.sent.size());
    for (auto& s : wire.sent) {
        EXPECT_EQ(0, std::memcmp(s.frame.data(), kDevice, 6));
        EXPECT_EQ(0, std::memcmp(s.frame.data() + 6, kHost, 6));
        EXPECT_EQ(0x88, s.frame[12]);
        EXPECT_EQ(0x7B, s.frame[13]);
        EXPECT_EQ(1, s.frame[14]);
    }
    // Loader start: one entry of type 0x12, length 1, data 0x67; zero after.
    const auto& st = wire.sent[0].frame;
    ASSERT_EQ(60u, st.size());
    EXPECT_EQ(0x12, st[15]);
    EXPECT_EQ(1, st[16]);
    EXPECT_EQ(0x67, st[17]);
    for (size_t i = 18; i < 60; ++i)
        EXPECT_EQ(0, st[i]) << i;
    // First chunk: full 1024 bytes.
    const auto& c0 = wire.sent[1].frame;
    ASSERT_EQ(1054u, c0.size());
    EXPECT_EQ(0x10, c0[15]);
    EXPECT_EQ(1, c0[16]);
    EXPECT_EQ(0x81, c0[17]);
    EXPECT_EQ(1034, be16(&c0[18]));
    EXPECT_EQ(0x100u, be32(&c0[20]));
    EXPECT_EQ(0u, be32(&c0[24]));
    EXPECT_EQ(1024, be16(&c0[28]));
    // Second chunk: 476 bytes at offset 1024, zero-filled after the chunk.
    const auto& c1 = wire.sent[2].frame;
    ASSERT_EQ(1054u, c1.size());
    EXPECT_EQ(486, be16(&c1[18]));
    EXPECT_EQ(1024u, be32(&c1[24]));
    EXPECT_EQ(476, be16(&c1[28]));
    for (size_t i = 30 + 476; i < 1054; ++i)
        ASSERT_EQ(0, c1[i]) << i;
    EXPECT_EQ(loader.modules[0x100].size(), 1500u);
    // Commit with the mask, then the module check with 64.
    const auto& commit = wire.sent[3].frame;
    EXPECT_EQ(0x82, commit[17]);
    EXPECT_EQ(4, be16(&commit[18]));
    EXPECT_EQ(0x100u, be32(&commit[20]));
    for (size_t i = 24; i < 60; ++i)
        EXPECT_EQ(0, commit[i]) << i;
    const auto& check = wire.sent[4].frame;
    EXPECT_EQ(0x84, check[17]);
    EXPECT_EQ(4, be16(&check[18]));
    EXPECT_EQ(64u, be32(&check[20]));
    // Checksum query over the whole image, then the restart.
    const auto& sum = wire.sent[5].frame;
    EXPECT_EQ(0x83, sum[17]);
    EXPECT_EQ(8, be16(&sum[18]));
    EXPECT_EQ(0x100u, be32(&sum[20]));
    EXPECT_EQ(1500u, be32(&sum[24]));
    const auto& restart = wire.sent[6].frame;
    EXPECT_EQ(0x7F, restart[17]);
    for (size_t i = 18; i < 60; ++i)
        EXPECT_EQ(0, restart[i]) << i;
    // The fixed waits: 1 s, two 4.2 s command replies, 0.5 s checksum, 0.5 s, 15 s.
    EXPECT_GE(clock.now() - start, 1000u + 2 * 4205 + 505 + 500 + 15000);
    ASSERT_EQ(1u, messages.shown.size());
    EXPECT_EQ("Device firmware has been upgraded successfully.", messages.shown[0].text);
    EXPECT_EQ("Information", messages.shown[0].caption);
    EXPECT_EQ(MessageIcon::Information, messages.shown[0].icon);
}

TEST_F(Hp10UpgradeTest, MissingFilesAreRefusedBeforeAnythingIsSent) {
    EXPECT_EQ(0, upgradeShown(nullptr, nullptr));
    EXPECT_EQ(0, upgradeShown("", ""));
    std::string config = writeFile("c.cfg", 960, 1);
    EXPECT_EQ(0, upgradeShown("", config.c_str()));
    EXPECT_EQ((std::vector<std::string>{"No File is selected", "No File is selected",
                                        "No Image File is selected"}),
              texts());
    for (auto& m : messages.shown) {
        EXPECT_EQ("Error", m.caption);
        EXPECT_EQ(MessageIcon::Error, m.icon);
    }
    EXPECT_TRUE(wire.sent.empty());
}

TEST_F(Hp10UpgradeTest, UnopenableFilesStopTheWrite) {
    std::string image = writeFile("a.img", 100, 3);
    EXPECT_EQ(0, upgradeShown(dir.file("absent.img").c_str(), nullptr));
    EXPECT_EQ(0, upgradeShown(image.c_str(), dir.file("absent.cfg").c_str()));
    EXPECT_EQ((std::vector<std::string>{"Can not open Image file", "MAC Image Sending Failed",
                                        "Can not open Config file", "MAC Image Sending Failed"}),
              texts());
    // Only the two loader-start frames went out.
    EXPECT_EQ(2u, wire.sent.size());
}

TEST_F(Hp10UpgradeTest, FailureStatusAndForeignRepliesAreNotPositive) {
    std::vector<uint8_t> req(60, 0);
    std::memcpy(req.data(), kDevice, 6);
    std::memcpy(req.data() + 6, kHost, 6);
    loader.status = 1;
    wire.deliver(0, loader.reply(req, 0x82));
    EXPECT_FALSE(awaitLoaderReply(5));
    // A reply addressed to another host, and an unrecognised code, count as nothing.
    loader.status = 0;
    auto other = loader.reply(req, 0x82);
    other[5] = 0x77;
    wire.deliver(0, other);
    wire.deliver(0, loader.reply(req, 0x85));
    EXPECT_FALSE(awaitLoaderReply(5));
    // Code 0x04 is accepted like the others; the last recognised reply decides.
    wire.deliver(0, loader.reply(req, 0x04));
    EXPECT_TRUE(awaitLoaderReply(5));
    loader.status = 1;
    auto bad = loader.reply(req, 0x84);
    loader.status = 0;
    wire.deliver(0, loader.reply(req, 0x84));
    wire.deliver(0, bad);
    EXPECT_FALSE(awaitLoaderReply(5));
}

TEST_F(Hp10UpgradeTest, ChecksumWaitNeedsAChecksumReply) {
    std::vector<uint8_t> req(60, 0);
    std::memcpy(req.data(), kDevice, 6);
    std::memcpy(req.data() + 6, kHost, 6);
    uint32_t sum = 0x12345678;
    wire.deliver(0, loader.reply(req, 0x81));
    EXPECT_FALSE(awaitLoaderReply(5, &sum));
    EXPECT_EQ(0x12345678u, sum);
    auto r = loader.reply(req, 0x83);
    r[29] = 0xDE;
    r[30] = 0xAD;
    r[31] = 0xBE;
    r[32] = 0xEF;
    wire.deliver(0, r);
    EXPECT_TRUE(awaitLoaderReply(5, &sum));
    EXPECT_EQ(0xDEADBEEFu, sum);
}

TEST_F(Hp10UpgradeTest, ReplyWaitEndsWhileFramesKeepArriving) {
    std::vector<uint8_t> req(60, 0);
    std::memcpy(req.data(), kDevice, 6);
    std::memcpy(req.data() + 6, kHost, 6);
    auto junk = loader.reply(req, 0x85);
    uint64_t start = clock.now();
    for (int i = 0; i < 30000; ++i)
        wire.deliver(0, junk, start + static_cast<uint64_t>(i));
    EXPECT_FALSE(awaitLoaderReply(5));
    EXPECT_LE(clock.now() - start, 5 + 5 + kLoaderDrainLimitMs + 2);
}

TEST_F(Hp10UpgradeTest, ChecksumCoversATrailingPartialWord) {
    std::string image = writeFile("odd.img", 1027, 9);
    ASSERT_EQ(1, upgradeShown(image.c_str(), nullptr));
    loader.checksumError = 1;
    resetHp10Upgrade();
    EXPECT_EQ(0, upgradeShown(image.c_str(), nullptr));
    EXPECT_EQ((std::vector<std::string>{"Device firmware has been upgraded successfully.",
                                        "Mac Image Verification Failed", "Hardware Reset Failed"}),
              texts());
}

TEST_F(Hp10UpgradeTest, SilentDeviceGetsOneTryAtTheLoaderAddress) {
    answering = false;
    std::string image = writeFile("a.img", 2048, 5);
    EXPECT_EQ(0, upgradeShown(image.c_str(), nullptr));
    // Start, first chunk to the device, the same chunk to the loader address.
    ASSERT_EQ(3u, wire.sent.size());
    EXPECT_EQ(0, std::memcmp(wire.sent[2].frame.data(), kSecondaryLoaderMac, 6));
    EXPECT_EQ(wire.sent[1].frame.size(), wire.sent[2].frame.size());
    EXPECT_EQ(0, std::memcmp(wire.sent[1].frame.data() + 6, wire.sent[2].frame.data() + 6,
                             wire.sent[1].frame.size() - 6));
    EXPECT_EQ(0, std::memcmp(scanStates[0].localMac, kSecondaryLoaderMac, 6));
    EXPECT_EQ((std::vector<std::string>{"Packet sent but no response", "MAC Image Sending Failed"}),
              texts());
}

} // namespace
