// Random HomePlug 1.0 / Turbo frames through the answer handling and the
// local-device observer, a few thousand with a fixed seed. Each frame lies in a
// heap buffer of exactly its length, so a read past the bytes that arrived is
// caught by the address sanitizer; the texts taken from frames must stay
// terminated inside their fields.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "network/hp10_frames.h"
#include "network/model.h"
#include "packet/packet.h"
#include "support/core_bench.h"

namespace {

const uint8_t kHost[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
const uint8_t kRemote[6] = {0x00, 0x50, 0xC2, 0x00, 0x00, 0x11};
const uint8_t kEntryTypes[] = {0x02, 0x04, 0x06, 0x07, 0x08, 0x12, 0x13,
                               0x14, 0x19, 0x1A, 0x1E, 0x1F, 0x00, 0xFF};

template <size_t N> bool terminated(const char (&text)[N]) {
    return std::memchr(text, 0, N) != nullptr;
}

std::vector<uint8_t> randomFrame(std::mt19937& rng) {
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> pick(0, 99);
    size_t length = pick(rng) < 80 ? std::uniform_int_distribution<size_t>(0, 90)(rng)
                                   : std::uniform_int_distribution<size_t>(0, 1514)(rng);
    std::vector<uint8_t> f(length < 24 ? 24 : length);
    for (auto& b : f)
        b = static_cast<uint8_t>(byte(rng));
    // Mostly from the known remote or self-addressed, to reach the slot updates.
    int who = pick(rng);
    if (who < 40)
        std::memcpy(&f[6], kRemote, 6);
    else if (who < 60)
        std::memcpy(&f[6], &f[0], 6);
    f[12] = 0x88;
    f[13] = pick(rng) < 95 ? 0x7B : 0xE1;
    f[15] = kEntryTypes[std::uniform_int_distribution<size_t>(0, std::size(kEntryTypes) - 1)(rng)];
    if (pick(rng) < 50)
        f[20] = static_cast<uint8_t>(0x80 | (pick(rng) < 50 ? 0x10 : 0x18));
    if (pick(rng) < 30)
        f[17] = static_cast<uint8_t>(pick(rng) < 50 ? 0x20 : 0x21);
    if (pick(rng) < 20)
        f[16] = 51;
    f.resize(length);
    return f;
}

TEST(Hp10Fuzz, RandomFramesStayInsideTheirBytes) {
    CoreBench bench;
    bench.addPort("eth0", kHost);
    openAllInterfaces();
    installNetworkHooks();
    currentInterface = 0;
    recordRemote(kRemote);
    std::mt19937 rng(1207);
    int recognised = 0;
    for (int i = 0; i < 4000; ++i) {
        std::vector<uint8_t> f = randomFrame(rng);
        std::unique_ptr<uint8_t[]> exact(new uint8_t[f.size() ? f.size() : 1]);
        if (!f.empty())
            std::memcpy(exact.get(), f.data(), f.size());
        const auto length = static_cast<uint32_t>(f.size());
        if (i % 4 == 0)
            observeLocalDevice(0, exact.get(), length);
        recognised += handleHp10Frame(exact.get(), length) ? 1 : 0;
        currentInterface = 0;
        localIsTurbo = i % 7 == 0;
        ASSERT_TRUE(terminated(turboVendor) && terminated(turboProduct) &&
                    terminated(turboVersion) && terminated(turboFirmware));
        for (const RemoteDevice& slot : networkRecords[0].remotes)
            ASSERT_TRUE(terminated(slot.vendor) && terminated(slot.product) &&
                        terminated(slot.version));
    }
    EXPECT_GT(recognised, 1000);
    // The remote's slot was reached and still holds its address.
    EXPECT_NE(nullptr, findRemote(kRemote));
}

} // namespace
