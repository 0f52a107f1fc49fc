// The in-memory wire on the real clock: frames fall due at their real due
// time, a take with nothing due sleeps the 1 ms read time-out (never spins),
// a frame queued by another thread wakes a waiting take, and what the core
// sends reaches the peer with the real time it was sent at.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "packet/realtime_wire.h"

namespace {

struct RealTimeWireTest : ::testing::Test {
    RealTimeWire wire;
    void* handle = nullptr;
    void SetUp() override {
        MemoryWire::Port port;
        port.name = "eth0";
        wire.addPort(port);
        std::string error;
        bool denied = false;
        handle = wire.open("eth0", error, denied);
        ASSERT_NE(nullptr, handle) << error;
    }
    // Takes until a frame comes or `limitMs` of real time passed; counts the calls.
    TakeResult takeWithin(uint64_t limitMs, std::vector<uint8_t>& frame, int* calls = nullptr) {
        uint64_t end = RealTimeWire::monotonicMs() + limitMs;
        TakeResult r = TakeResult::None;
        while (RealTimeWire::monotonicMs() < end) {
            if (calls)
                ++*calls;
            r = wire.takeOne(handle, frame);
            if (r != TakeResult::None)
                break;
        }
        return r;
    }
};

TEST_F(RealTimeWireTest, FrameFallsDueAtItsRealTime) {
    uint64_t start = wire.now();
    EXPECT_GE(start, RealTimeWire::monotonicMs() - 1);
    wire.deliver(0, {1, 2, 3}, start + 40);
    std::vector<uint8_t> frame;
    // Before its due time the frame is not there.
    EXPECT_EQ(TakeResult::None, wire.takeOne(handle, frame));
    ASSERT_EQ(TakeResult::Frame, takeWithin(5000, frame));
    EXPECT_GE(RealTimeWire::monotonicMs(), start + 40);
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3}), frame);
    // A frame due in the past or now is taken at once, in due order.
    wire.deliver(0, {9}, wire.now() + 20);
    wire.deliver(0, {8}, 0);
    ASSERT_EQ(TakeResult::Frame, wire.takeOne(handle, frame));
    EXPECT_EQ((std::vector<uint8_t>{8}), frame);
    ASSERT_EQ(TakeResult::Frame, takeWithin(5000, frame));
    EXPECT_EQ((std::vector<uint8_t>{9}), frame);
}

TEST_F(RealTimeWireTest, TakeWithNothingDueSleepsTheReadTimeOut) {
    std::vector<uint8_t> frame;
    int calls = 0;
    uint64_t start = RealTimeWire::monotonicMs();
    EXPECT_EQ(TakeResult::None, takeWithin(60, frame, &calls));
    uint64_t elapsed = RealTimeWire::monotonicMs() - start;
    // Every empty take waited about 1 ms: a spinning take would make
    // thousands of calls in this time. (A slow machine only makes fewer.)
    EXPECT_LE(calls, static_cast<int>(elapsed) + 2);
    EXPECT_GE(calls, 1);
}

TEST_F(RealTimeWireTest, FrameFromAnotherThreadWakesAWaitingTake) {
    std::atomic<bool> delivered{false};
    std::thread peer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        wire.deliver(0, {0xAA, 0xBB});
        delivered = true;
    });
    std::vector<uint8_t> frame;
    TakeResult r = takeWithin(5000, frame);
    peer.join();
    ASSERT_EQ(TakeResult::Frame, r);
    EXPECT_TRUE(delivered.load());
    EXPECT_EQ((std::vector<uint8_t>{0xAA, 0xBB}), frame);
}

TEST_F(RealTimeWireTest, SentFramesReachThePeerWhichAnswersLater) {
    std::vector<std::vector<uint8_t>> heard;
    wire.setSendHandler([&](int port, const std::vector<uint8_t>& f) {
        heard.push_back(f);
        wire.deliver(port, {static_cast<uint8_t>(f[0] + 1)}, wire.now() + 5);
    });
    const uint8_t request[] = {0x41, 0x42};
    uint64_t before = RealTimeWire::monotonicMs();
    ASSERT_TRUE(wire.send(handle, request, sizeof request));
    ASSERT_EQ(1u, heard.size());
    EXPECT_EQ((std::vector<uint8_t>{0x41, 0x42}), heard[0]);
    ASSERT_EQ(1u, wire.sent.size());
    EXPECT_GE(wire.sent[0].atMs, before);
    std::vector<uint8_t> frame;
    ASSERT_EQ(TakeResult::Frame, takeWithin(5000, frame));
    EXPECT_EQ((std::vector<uint8_t>{0x42}), frame);

    // A closed handle neither sends nor takes.
    wire.close(handle);
    EXPECT_FALSE(wire.send(handle, request, sizeof request));
    EXPECT_EQ(TakeResult::Fault, wire.takeOne(handle, frame));
    EXPECT_EQ(1u, heard.size());
}

} // namespace
