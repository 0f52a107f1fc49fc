// Known-answer tests of the key derivations and the random network key rule.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cstring>
#include <vector>

#include "network/model.h"
#include "security/keys.h"

namespace {

template <size_t N> std::array<uint8_t, N> bytes(std::initializer_list<int> list) {
    std::array<uint8_t, N> out{};
    size_t i = 0;
    for (int v : list) {
        out[i++] = static_cast<uint8_t>(v);
    }
    return out;
}

template <size_t N, size_t M> std::array<uint8_t, N> head(const std::array<uint8_t, M>& digest) {
    std::array<uint8_t, N> out{};
    std::memcpy(out.data(), digest.data(), N);
    return out;
}

class KeysTest : public ::testing::Test {
  protected:
    void SetUp() override {
        resetDeviceModel();
        resetSecurityState();
    }
    void TearDown() override {
        resetSecurityState();
        resetDeviceModel();
    }
};

TEST_F(KeysTest, SaltsAreTheStandardOnes) {
    const uint8_t dak[8] = {0x08, 0x85, 0x6D, 0xAF, 0x7C, 0xF5, 0x81, 0x85};
    const uint8_t nmk[8] = {0x08, 0x85, 0x6D, 0xAF, 0x7C, 0xF5, 0x81, 0x86};
    EXPECT_EQ(0, std::memcmp(kDakSalt, dak, 8));
    EXPECT_EQ(0, std::memcmp(kNmkSalt, nmk, 8));
    EXPECT_EQ(0, std::memcmp(kHp10Salt, dak, 8));
    EXPECT_STREQ("HomePlugAV", kDefaultNetworkPassword);
    EXPECT_STREQ("HomePlug", kHp10DefaultNetworkPassword);
}

TEST_F(KeysTest, DefaultPasswordYieldsTheFactoryNmk) {
    auto expected = bytes<16>({0x50, 0xD3, 0xE4, 0x93, 0x3F, 0x85, 0x5B, 0x70, 0x40, 0x78, 0x4D,
                               0xF8, 0x15, 0xAA, 0x8D, 0xB7});
    EXPECT_EQ(expected, head<16>(deriveNMK("HomePlugAV")));
    EXPECT_EQ(expected, nmkFromPassword(kDefaultNetworkPassword));
    EXPECT_EQ(expected, defaultNmk());
}

TEST_F(KeysTest, Hp10DefaultPasswordYieldsThePublicNek) {
    auto expected = bytes<8>({0x46, 0xD6, 0x13, 0xE0, 0xF8, 0x4A, 0x76, 0x4C});
    EXPECT_EQ(expected, head<8>(deriveHP10Key("HomePlug")));
    EXPECT_EQ(expected, hp10KeyFromPassword(kHp10DefaultNetworkPassword));
    EXPECT_EQ(expected, defaultNek());
}

// Reference values computed with an independent PBKDF1 implementation.
TEST_F(KeysTest, DerivationsMatchIndependentReferenceValues) {
    EXPECT_EQ(bytes<16>({0x68, 0x9F, 0x07, 0x4B, 0x8B, 0x02, 0x75, 0xA2, 0x71, 0x0B, 0x0B, 0x57,
                         0x79, 0xAD, 0x16, 0x30}),
              dakFromPassword("HomePlugAV"));
    EXPECT_EQ(bytes<16>({0x31, 0x50, 0xC3, 0x64, 0xEC, 0x09, 0xA8, 0xF7, 0x3C, 0xD5, 0x3A, 0x2D,
                         0xA1, 0xC7, 0x3F, 0xE6}),
              dakFromPassword("ABCDEFGHIJKLMNOP"));
    EXPECT_EQ(bytes<8>({0x91, 0xB3, 0xFB, 0x6B, 0x58, 0x80, 0x26, 0xBC}),
              hp10KeyFromPassword("HomePlugAV"));
    EXPECT_EQ(bytes<8>({0x3D, 0x32, 0xFB, 0xA1, 0x67, 0x1F, 0x97, 0x15}),
              hp10KeyFromPassword("ABCD-EFGH-IJKL-MNOP"));
}

TEST_F(KeysTest, DakAndNmkOfOnePasswordDiffer) {
    for (const char* password : {"HomePlugAV", "abcd", "secret-network-24-chars!"}) {
        EXPECT_NE(head<16>(deriveDAK(password)), head<16>(deriveNMK(password))) << password;
    }
    EXPECT_NE(nmkFromPassword("abcd"), nmkFromPassword("abce"));
}

TEST_F(KeysTest, EveryHp10KeyByteHasOddParity) {
    for (const char* password : {"HomePlug", "HomePlugAV", "abcd", "0123456789012345678901234",
                                 "ABCD-EFGH-IJKL-MNOP", "x y\x7f"}) {
        Hp10Digest digest = deriveHP10Key(password);
        for (size_t i = 0; i < kHp10KeyLength; ++i) {
            EXPECT_EQ(1, std::popcount(digest[i]) % 2) << password << " byte " << i;
        }
    }
}

TEST_F(KeysTest, OverlongPasswordsAreCutNotOverrun) {
    std::string av(200, 'a');
    std::string av64(64, 'a');
    EXPECT_EQ(nmkFromPassword(av64.c_str()), nmkFromPassword(av.c_str()));
    std::string hp59(59, 'b');
    std::string hp(120, 'b');
    EXPECT_EQ(hp10KeyFromPassword(hp59.c_str()), hp10KeyFromPassword(hp.c_str()));
    EXPECT_NE(hp10KeyFromPassword(hp59.c_str()), hp10KeyFromPassword(std::string(58, 'b').c_str()));
}

TEST_F(KeysTest, CopyKeyCopiesTheFamilyWidth) {
    AvDigest nmk = deriveNMK("HomePlugAV");
    uint8_t dest[16];
    std::memset(dest, 0xEE, sizeof dest);
    localIsAv = 1;
    EXPECT_EQ(16u, keyWidth());
    copyKey(dest, nmk.data());
    EXPECT_EQ(0, std::memcmp(dest, nmk.data(), 16));

    std::memset(dest, 0xEE, sizeof dest);
    localIsAv = 0;
    EXPECT_EQ(8u, keyWidth());
    copyKey(dest, nmk.data());
    EXPECT_EQ(0, std::memcmp(dest, nmk.data(), 8));
    EXPECT_EQ(0xEE, dest[8]);
    EXPECT_EQ(0xEE, dest[15]);
}

// A scripted source that first hands out the default key, then other bytes.
struct ScriptedRandom {
    std::vector<std::vector<uint8_t>> draws;
    size_t next = 0;
    std::vector<size_t> lengths;
    bool operator()(uint8_t* out, size_t length) {
        lengths.push_back(length);
        const auto& d = draws[std::min(next++, draws.size() - 1)];
        for (size_t i = 0; i < length; ++i) {
            out[i] = d[i % d.size()];
        }
        return true;
    }
};

TEST_F(KeysTest, RandomKeyAvoidsTheAvDefaultKey) {
    localIsAv = 1;
    auto script = std::make_shared<ScriptedRandom>();
    std::vector<uint8_t> fake(defaultNmk().begin(), defaultNmk().end());
    fake[15] ^= 0xFF; // equal in the first 8 bytes is enough to be refused
    script->draws = {fake, {0x11, 0x22, 0x33}};
    setRandomSource([script](uint8_t* out, size_t n) { return (*script)(out, n); });
    uint8_t key[16] = {};
    ASSERT_TRUE(makeRandomNetworkKey(key));
    EXPECT_EQ(2u, script->next);
    EXPECT_EQ(16u, script->lengths.at(0));
    EXPECT_EQ(0x11, key[0]);
    EXPECT_EQ(0x11, key[15]);
}

TEST_F(KeysTest, RandomKeyAvoidsTheHp10DefaultKeyAndTurboWritesEightBytes) {
    localIsAv = 0;
    localIsTurbo = 1;
    auto script = std::make_shared<ScriptedRandom>();
    script->draws = {std::vector<uint8_t>(defaultNek().begin(), defaultNek().end()), {0x5A}};
    setRandomSource([script](uint8_t* out, size_t n) { return (*script)(out, n); });
    uint8_t key[16];
    std::memset(key, 0xEE, sizeof key);
    ASSERT_TRUE(makeRandomNetworkKey(key));
    EXPECT_EQ(2u, script->next);
    EXPECT_EQ(8u, script->lengths.at(1));
    EXPECT_EQ(0x5A, key[7]);
    EXPECT_EQ(0xEE, key[8]);
}

TEST_F(KeysTest, RandomKeyForHp10IsSixteenBytes) {
    localIsAv = 0;
    localIsTurbo = 0;
    auto script = std::make_shared<ScriptedRandom>();
    script->draws = {{0x01}};
    setRandomSource([script](uint8_t* out, size_t n) { return (*script)(out, n); });
    uint8_t key[16] = {};
    ASSERT_TRUE(makeRandomNetworkKey(key));
    EXPECT_EQ(16u, script->lengths.at(0));
}

TEST_F(KeysTest, RandomSourceFailureIsReportedAndLeavesNoStaleKey) {
    localIsAv = 1;
    setRandomSource([](uint8_t*, size_t) { return false; });
    uint8_t key[16];
    std::memset(key, 0xEE, sizeof key);
    EXPECT_FALSE(makeRandomNetworkKey(key));
    for (uint8_t b : key) {
        EXPECT_EQ(0, b);
    }
}

TEST_F(KeysTest, KernelRandomKeysDifferFromCallToCall) {
    localIsAv = 1;
    uint8_t a[16] = {}, b[16] = {};
    ASSERT_TRUE(makeRandomNetworkKey(a));
    ASSERT_TRUE(makeRandomNetworkKey(b));
    EXPECT_NE(0, std::memcmp(a, b, 16));
    EXPECT_NE(0, std::memcmp(a, defaultNmk().data(), 8));
}

} // namespace
