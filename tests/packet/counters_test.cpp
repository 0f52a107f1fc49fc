// The diagnostics counters of an interface are 32-bit signed numbers; a long
// run of traffic wraps them round instead of overflowing.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "network/model.h"
#include "packet/driver.h"
#include "packet/memory_wire.h"
#include "packet/packet.h"

namespace {

class CounterWrap : public ::testing::Test {
  protected:
    VirtualClock clock;
    MemoryWire wire{clock};

    void SetUp() override {
        resetDeviceModel();
        setSystemClock(&clock);
        setPacketDriver(&wire);
        MemoryWire::Port p;
        p.name = "eth0";
        p.mac[0] = 0x02;
        p.mac[5] = 1;
        wire.addPort(p);
        openAllInterfaces();
    }
    void TearDown() override {
        closeAllInterfaces();
        setPacketDriver(nullptr);
        setSystemClock(nullptr);
        resetDeviceModel();
    }
};

constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
constexpr int32_t kMin = std::numeric_limits<int32_t>::min();

TEST_F(CounterWrap, SendingPastTheLargestCountWraps) {
    scanStates[0].bytesWritten = kMax - 9;
    scanStates[0].writes = kMax;
    uint8_t buffer[60] = {};
    buffer[12] = 0x88;
    buffer[13] = 0xE1;
    ASSERT_TRUE(sendFrame(0, buffer, 60));
    EXPECT_EQ(kMin + 50, scanStates[0].bytesWritten);
    EXPECT_EQ(kMin, scanStates[0].writes);
}

TEST_F(CounterWrap, ReceivingPastTheLargestCountWraps) {
    scanStates[0].bytesRead = kMax - 9;
    scanStates[0].reads = kMax;
    std::vector<uint8_t> f(60, 0);
    f[12] = 0x88;
    f[13] = 0xE1;
    wire.deliver(0, f);
    uint8_t out[kMaxFrame];
    uint32_t length = 0;
    ASSERT_TRUE(receiveAnyFrame(out, &length));
    EXPECT_EQ(60u, length);
    EXPECT_EQ(kMin + 50, scanStates[0].bytesRead);
    EXPECT_EQ(kMin, scanStates[0].reads);
}

} // namespace
