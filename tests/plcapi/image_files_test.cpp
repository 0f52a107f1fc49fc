// Parameter blocks (PibImage) and the firmware header walk.
#include <gtest/gtest.h>

#include "mme_frames.h"

namespace {

class Pib : public ::testing::Test {
  protected:
    void SetUp() override { block = makeValidPib33(); }
    int validateCopy(std::vector<uint8_t> b) {
        PibImage image;
        return image.attach(b.data(), static_cast<uint32_t>(b.size()));
    }
    std::vector<uint8_t> block;
};

TEST_F(Pib, AFullyPopulatedVersion33BlockValidates) {
    PibImage image;
    EXPECT_EQ(image.attach(block.data(), static_cast<uint32_t>(block.size())), 0);
    EXPECT_EQ(image.validated(), 1);
    EXPECT_EQ(testChecksum32(block.data(), 7992 / 4), 0u) << "the builder's checksum verifies";
}

// Each rule of the section checks, broken on its own in an otherwise valid block.
struct Breakage {
    const char* rule;
    void (*apply)(std::vector<uint8_t>&);
};

const size_t kE0 = 784; // first table entry
const size_t kE1 = 884; // second table entry (byte 76 = 2)

const Breakage kBreakages[] = {
    {"MAC is a group address", [](auto& b) { b[12] |= 0x01; }},
    {"byte 244 below 4", [](auto& b) { b[244] = 4; }},
    {"byte 245 below 3", [](auto& b) { b[245] = 3; }},
    {"byte 246 below 3", [](auto& b) { b[246] = 3; }},
    {"byte 254 bit 5", [](auto& b) { b[254] |= 0x20; }},
    {"byte 254 bit 7", [](auto& b) { b[254] |= 0x80; }},
    {"byte 257 when 256 is 1", [](auto& b) { b[257] = 2; }},
    {"list: byte 269 zero", [](auto& b) { b[269] = 0; }},
    {"list: byte 269 0xFF", [](auto& b) { b[269] = 0xFF; }},
    {"list: byte 270 bit 0", [](auto& b) { b[270] |= 0x01; }},
    {"list entry: byte 0 zero", [](auto& b) { b[278 + 14] = 0; }},
    {"list entry: byte 0 0xFF", [](auto& b) { b[278 + 7] = 0xFF; }},
    {"list entry: byte 1 bit 0", [](auto& b) { b[278 + 1] |= 0x01; }},
    {"entry byte 1 below 2", [](auto& b) { b[kE0 + 1] = 2; }},
    {"sub-entry b below 2", [](auto& b) { putLe32At(b, kE0 + 4 + 4, 2); }},
    {"sub-entry a 0xE0", [](auto& b) { putLe32At(b, kE0 + 4, 0xE0); }},
    {"sub-entry a 0xE1", [](auto& b) { putLe32At(b, kE0 + 28, 0xE1); }},
    {"sub-entry a 0x10", [](auto& b) { putLe32At(b, kE1 + 4, 0x10); }},
    {"entry byte 76 below 4", [](auto& b) { b[kE0 + 76] = 4; }},
    {"entry byte 77 when 76 set", [](auto& b) { b[kE0 + 77] = 4; }},
    {"entry byte 78", [](auto& b) { b[kE0 + 78] = 2; }},
    {"entry byte 79", [](auto& b) { b[kE1 + 79] = 2; }},
    {"entry u32 80 low", [](auto& b) { putLe32At(b, kE0 + 80, 9999); }},
    {"entry u32 80 high", [](auto& b) { putLe32At(b, kE1 + 80, 2000001); }},
    {"entry u16 88 zero", [](auto& b) { putLe16At(b, kE0 + 88, 0); }},
    {"entry u16 88 high", [](auto& b) { putLe16At(b, kE1 + 88, 10001); }},
    {"entry byte 90", [](auto& b) { b[kE0 + 90] = 2; }},
    {"entry byte 91 when 76 is not 2", [](auto& b) { b[kE0 + 91] = 3; }},
    {"table count reaches a bad entry", [](auto& b) { putLe32At(b, 556, 3); }},
    {"table count past the block", [](auto& b) { putLe32At(b, 556, 73); }},
    {"huge table count", [](auto& b) { putLe32At(b, 556, 0xFFFFFFFF); }},
    {"sub-entry count past the block", [](auto& b) { putLe16At(b, kE1 + 2, 0xFFFF); }},
    {"byte 2384 at most 8", [](auto& b) { b[2384] = 9; }},
    {"u32 2572 below 2", [](auto& b) { putLe32At(b, 2572, 2); }},
    {"u32 7824 below 20", [](auto& b) { putLe32At(b, 7824, 19); }},
    {"u32 7824 above 180", [](auto& b) { putLe32At(b, 7824, 181); }},
    {"byte 7829 above 7830", [](auto& b) { b[7829] = 6; }},
};

TEST_F(Pib, EachSectionRuleFailsOnItsOwn) {
    for (const Breakage& breakage : kBreakages) {
        std::vector<uint8_t> b = block;
        breakage.apply(b);
        EXPECT_EQ(validateCopy(b), 2) << breakage.rule;
    }
}

TEST_F(Pib, ConditionalRulesOnlyApplyWhenTheirConditionHolds) {
    std::vector<uint8_t> b = block;
    b[256] = 0;
    b[257] = 0xFF;
    EXPECT_EQ(validateCopy(b), 0) << "257 unchecked when 256 is not 1";
    b = block;
    b[268] = 2;
    b[269] = 0;
    EXPECT_EQ(validateCopy(b), 0) << "the list is skipped unless 268 is 1";
    b = block;
    b[kE0 + 76] = 0;
    b[kE0 + 77] = 0xFF;
    EXPECT_EQ(validateCopy(b), 0) << "77 unchecked when 76 is 0";
    b = block;
    b[kE1 + 91] = 0;
    EXPECT_EQ(validateCopy(b), 0) << "91 unchecked when 76 is 2";
    b = block;
    b[7828] = 0;
    b[7829] = 9;
    EXPECT_EQ(validateCopy(b), 0);
    b = block;
    putLe32At(b, 7824, 20);
    putLe32At(b, kE0 + 80, 2000000);
    putLe16At(b, kE0 + 88, 10000);
    EXPECT_EQ(validateCopy(b), 0) << "inclusive bounds";
}

TEST_F(Pib, ZeroBlockFailsOnlyAtTheLastRange) {
    std::vector<uint8_t> b(7992, 0);
    b[0] = 3;
    b[1] = 3;
    putLe16At(b, 4, 7992);
    EXPECT_EQ(validateCopy(b), 2);
    putLe32At(b, 7824, 20);
    EXPECT_EQ(validateCopy(b), 0) << "every other check passes on zeros";
}

TEST_F(Pib, VersionAndLength) {
    std::vector<uint8_t> b = block;
    b[1] = 2;
    EXPECT_EQ(validateCopy(b), 3);
    b = block;
    putLe16At(b, 4, 8000);
    EXPECT_EQ(validateCopy(b), 7);
    b = block;
    b.resize(7000); // length field says 7992, fewer bytes arrived
    EXPECT_EQ(validateCopy(b), 7);
    PibImage image;
    EXPECT_EQ(image.validate(), 5);
    EXPECT_EQ(image.setMac(kHostMac), 5);
    uint8_t nmk[16];
    EXPECT_EQ(image.getNmk(nmk), 5);
}

TEST_F(Pib, OtherVersionsAreUsableWithoutChecks) {
    std::vector<uint8_t> b(200, 0);
    b[0] = 2;
    b[1] = 0;
    for (int i = 0; i < 16; ++i) {
        b[100 + i] = static_cast<uint8_t>(i + 1);
    }
    PibImage image;
    EXPECT_EQ(image.attach(b.data(), 200), 3);
    EXPECT_EQ(image.validated(), 0);
    EXPECT_EQ(image.setMac(kHostMac), 0);
    EXPECT_EQ(std::memcmp(&b[12], kHostMac, 6), 0);
    uint8_t nmk[16] = {};
    EXPECT_EQ(image.getNmk(nmk), 0);
    EXPECT_EQ(std::memcmp(nmk, &b[100], 16), 0);

    b[0] = 1;
    b[1] = 3;
    EXPECT_EQ(image.attach(b.data(), 200), 3);
    EXPECT_EQ(image.setMac(kDeviceMac), 6);
    EXPECT_EQ(image.getNmk(nmk), 6);
    b[1] = 4;
    EXPECT_EQ(image.setMac(kDeviceMac), 0) << "1.4 is new enough";
    b[0] = 0;
    b[1] = 9;
    EXPECT_EQ(image.getNmk(nmk), 6);
}

TEST_F(Pib, SetMacRefusesGroupAndReservedAddresses) {
    PibImage image;
    ASSERT_EQ(image.attach(block.data(), 7992), 0);
    const uint8_t multicast[6] = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};
    EXPECT_EQ(image.setMac(multicast), 8);
    for (uint8_t last : {1, 2, 3}) {
        const uint8_t reserved[6] = {0x00, 0xB0, 0x52, 0x00, 0x00, last};
        EXPECT_EQ(image.setMac(reserved), 8);
    }
    const uint8_t fourth[6] = {0x00, 0xB0, 0x52, 0x00, 0x00, 0x04};
    EXPECT_EQ(image.setMac(fourth), 0);
    EXPECT_EQ(std::memcmp(&block[12], fourth, 6), 0);
}

TEST_F(Pib, GetNmkCopiesOffset100) {
    const uint8_t nmk[16] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6};
    block = makeValidPib33(nullptr, nmk);
    PibImage image;
    ASSERT_EQ(image.attach(block.data(), 7992), 0);
    uint8_t out[16] = {};
    EXPECT_EQ(image.getNmk(out), 0);
    EXPECT_EQ(std::memcmp(out, nmk, 16), 0);
}

TEST_F(Pib, RechecksumAfterPersonalisationVerifies) {
    PibImage image;
    ASSERT_EQ(image.attach(block.data(), 7992), 0);
    ASSERT_EQ(image.setMac(kDeviceMac), 0);
    EXPECT_NE(testChecksum32(block.data(), 7992 / 4), 0u) << "the MAC change broke the checksum";
    EXPECT_EQ(image.rechecksum(block.data(), 7992), 0);
    EXPECT_EQ(testChecksum32(block.data(), 7992 / 4), 0u);
    EXPECT_EQ(Checksum32(7992 / 4, block.data(), 0), 0u);
}

TEST_F(Pib, RechecksumOfFailingAndOtherVersions) {
    std::vector<uint8_t> b = block;
    b[244] = 9;
    PibImage image;
    EXPECT_EQ(image.rechecksum(b.data(), 7992), 2) << "section failures are re-checksummed";
    EXPECT_EQ(testChecksum32(b.data(), 7992 / 4), 0u);

    std::vector<uint8_t> old(20000, 0x5A);
    old[0] = 2;
    old[1] = 0;
    putLe16At(old, 4, 16388);
    EXPECT_EQ(image.rechecksum(old.data(), 20000), 7);
    EXPECT_EQ(getLe32At(old, 8), 0u);

    old.assign(1000, 0x33);
    old[0] = 2;
    old[1] = 0;
    putLe16At(old, 4, 1000);
    EXPECT_EQ(image.rechecksum(old.data(), 1000), 3);
    EXPECT_EQ(testChecksum32(old.data(), 250), 0u);

    putLe16At(old, 4, 4000); // declares more than was handed over
    EXPECT_EQ(image.rechecksum(old.data(), 1000), 7);

    b = block;
    putLe16At(b, 4, 8000);
    std::vector<uint8_t> before = b;
    EXPECT_EQ(image.rechecksum(b.data(), 7992), 7);
    EXPECT_EQ(b, before) << "a 3.3 block of the wrong length is left untouched";
    EXPECT_EQ(image.rechecksum(nullptr, 0), 5);
}

TEST_F(Pib, ReleaseForgetsTheBlockButKeepsIt) {
    PibImage image;
    ASSERT_EQ(image.attach(block.data(), 7992), 0);
    image.release();
    EXPECT_EQ(image.block(), nullptr);
    EXPECT_EQ(image.validated(), 0);
    EXPECT_EQ(image.validate(), 5);
    EXPECT_EQ(block[0], 3);
}

// ---- Firmware header walk ------------------------------------------------------------

TEST(NvmWalk, ReturnsTheLastHeaderOfTheChain) {
    auto file =
        makeNvmImage({{0x100, patternBytes(500, 1), 0, 0}, {0x200, patternBytes(300, 2), 0, 0}});
    const uint8_t* last = plcapi_WalkNvmHeaders(file.data(), static_cast<uint32_t>(file.size()));
    EXPECT_EQ(last, file.data() + 544);
    auto single = makeNvmImage({{0x100, patternBytes(10, 3), 0, 0}});
    EXPECT_EQ(plcapi_WalkNvmHeaders(single.data(), static_cast<uint32_t>(single.size())),
              single.data());
}

TEST(NvmWalk, BadChecksumIsEinval) {
    auto file =
        makeNvmImage({{0x100, patternBytes(500, 1), 0, 0}, {0x200, patternBytes(300, 2), 0, 0}});
    file[544 + 9] ^= 0x01;
    errno = 0;
    EXPECT_EQ(plcapi_WalkNvmHeaders(file.data(), static_cast<uint32_t>(file.size())), nullptr);
    EXPECT_EQ(errno, EINVAL);
}

TEST(NvmWalk, RefusesChainsThatPointBackOrLeaveTheImage) {
    auto file =
        makeNvmImage({{0x100, patternBytes(500, 1), 0, 0}, {0x200, patternBytes(300, 2), 0, 0}});
    struct Link {
        size_t header;
        uint32_t next;
    };
    // The second header naming itself or an earlier offset; the first naming
    // an offset inside its own header.
    for (Link link : {Link{544, 544}, Link{544, 100}, Link{544, 0 + 1}, Link{0, 10}}) {
        auto f = file;
        uint32_t image = link.header == 0 ? 500 : 300;
        putNvmHeader(f, link.header, 0x200, image, 0, 0, link.next);
        errno = 0;
        EXPECT_EQ(plcapi_WalkNvmHeaders(f.data(), static_cast<uint32_t>(f.size())), nullptr)
            << link.header << " -> " << link.next;
        EXPECT_EQ(errno, EINVAL);
    }
    auto f = file;
    putNvmHeader(f, 544, 0x200, 300, 0, 0, 100000);
    errno = 0;
    EXPECT_EQ(plcapi_WalkNvmHeaders(f.data(), static_cast<uint32_t>(f.size())), nullptr);
    EXPECT_EQ(errno, EFAULT);
    errno = 0;
    EXPECT_EQ(plcapi_WalkNvmHeaders(file.data(), 4), nullptr) << "a header cut short";
    EXPECT_EQ(errno, EFAULT);
    errno = 0;
    EXPECT_EQ(plcapi_WalkNvmHeaders(file.data(), 560), nullptr)
        << "the second header lies past the end";
    EXPECT_EQ(errno, EFAULT);
    EXPECT_EQ(plcapi_WalkNvmHeaders(nullptr, 100), nullptr);
}

} // namespace
