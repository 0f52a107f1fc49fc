// The packet interface over the in-memory wire: padding, size limits, the
// eight-interface cap, unreadable MACs, reopening, counters and the observer.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "network/model.h"
#include "packet/driver.h"
#include "packet/memory_wire.h"
#include "packet/packet.h"
#include "platform/messages.h"
#include "ui/outcome_boxes.h"

namespace {

class PacketTest : public ::testing::Test {
  protected:
    VirtualClock clock;
    MemoryWire wire{clock};
    RecordingMessages messages;

    void SetUp() override {
        resetDeviceModel();
        setSystemClock(&clock);
        setPacketDriver(&wire);
        setMessageSink(&messages);
        installOutcomeSinks();
    }
    void TearDown() override {
        closeAllInterfaces();
        setLocalDeviceObserver(nullptr);
        setPacketDriver(nullptr);
        removeOutcomeSinks();
        setMessageSink(nullptr);
        setSystemClock(nullptr);
        resetDeviceModel();
    }
    int addPort(const char* name, uint8_t last, bool macReadable = true) {
        MemoryWire::Port p;
        p.name = name;
        p.mac[0] = 0x02;
        p.mac[5] = last;
        p.macReadable = macReadable;
        return wire.addPort(p);
    }
    static std::vector<uint8_t> frame(uint16_t etherType, size_t length, uint8_t fill = 0xA5) {
        std::vector<uint8_t> f(length, fill);
        f[12] = static_cast<uint8_t>(etherType >> 8);
        f[13] = static_cast<uint8_t>(etherType);
        return f;
    }
};

TEST_F(PacketTest, ShortFrameLeavesAsSixtyBytesFromTheCallersBuffer) {
    addPort("eth0", 1);
    openAllInterfaces();
    uint8_t buffer[60] = {};
    for (int i = 0; i < 14; ++i)
        buffer[i] = static_cast<uint8_t>(i + 1);
    ASSERT_TRUE(sendFrame(0, buffer, 14));
    ASSERT_EQ(1u, wire.sent.size());
    ASSERT_EQ(60u, wire.sent[0].frame.size());
    EXPECT_EQ(0, std::memcmp(buffer, wire.sent[0].frame.data(), 60));
    EXPECT_EQ(1, scanStates[0].writes);
    EXPECT_EQ(60, scanStates[0].bytesWritten);
}

TEST_F(PacketTest, LargestFrameIsSentAndOneMoreIsRefused) {
    addPort("eth0", 1);
    openAllInterfaces();
    std::vector<uint8_t> big(1515, 0x11);
    EXPECT_TRUE(sendFrame(0, big.data(), 1514));
    EXPECT_FALSE(sendFrame(0, big.data(), 1515));
    // A length that wraps to a small 16-bit value is refused too, never sent as 60 bytes.
    std::vector<uint8_t> huge(65536 + 20, 0);
    EXPECT_FALSE(sendFrame(0, huge.data(), huge.size()));
    ASSERT_EQ(1u, wire.sent.size());
    EXPECT_EQ(1514u, wire.sent[0].frame.size());
}

TEST_F(PacketTest, SendOnAClosedInterfaceFails) {
    addPort("eth0", 1);
    uint8_t buffer[60] = {};
    EXPECT_FALSE(sendFrame(0, buffer, 60));
    EXPECT_FALSE(sendFrame(-1, buffer, 60));
    EXPECT_FALSE(sendFrame(8, buffer, 60));
    EXPECT_EQ(nullptr, receiveFrame(0));
}

TEST_F(PacketTest, NineInterfacesListEight) {
    for (int i = 0; i < 9; ++i)
        addPort(("eth" + std::to_string(i)).c_str(), static_cast<uint8_t>(i + 1));
    EXPECT_TRUE(openAllInterfaces());
    EXPECT_EQ(8, interfaceCount);
    EXPECT_EQ(8, wire.openCount);
    for (int i = 0; i < 8; ++i)
        EXPECT_NE(nullptr, interfaceTable[i].handle) << i;
    EXPECT_EQ(8, interfaceTable[7].mac[5]);
}

TEST_F(PacketTest, InterfaceWithUnreadableMacIsListedWithZeroMac) {
    addPort("eth0", 1, false);
    addPort("eth1", 2);
    openAllInterfaces();
    EXPECT_EQ(2, interfaceCount);
    EXPECT_FALSE(macIsSet(interfaceTable[0].mac));
    EXPECT_NE(nullptr, interfaceTable[0].handle);
    EXPECT_EQ(2, interfaceTable[1].mac[5]);
    EXPECT_STREQ("eth1", interfaceTable[1].description);
}

TEST_F(PacketTest, SecondOpenDoesNotReopen) {
    addPort("eth0", 1);
    openAllInterfaces();
    void* handle = interfaceTable[0].handle;
    EXPECT_TRUE(openInterface(0));
    EXPECT_EQ(handle, interfaceTable[0].handle);
    EXPECT_EQ(1, wire.openCount);
    EXPECT_FALSE(openInterface(1)); // no such list entry
}

TEST_F(PacketTest, EnumerationFailureLeavesTheTableEmpty) {
    addPort("eth0", 1);
    wire.setEnumerateFails(true);
    EXPECT_TRUE(openAllInterfaces());
    EXPECT_EQ(0, interfaceCount);
    EXPECT_EQ(nullptr, interfaceTable[0].handle);
}

TEST_F(PacketTest, PermissionFailureKeepsTheInterfaceClosedAndTheReason) {
    MemoryWire::Port p;
    p.name = "eth0";
    p.permissionDenied = true;
    wire.addPort(p);
    openAllInterfaces();
    EXPECT_EQ(nullptr, interfaceTable[0].handle);
    EXPECT_NE(std::string::npos, capturePermissionProblem().find("eth0"));
}

TEST(CaptureAdvice, PathsAreQuotedAsOneShellWord) {
    EXPECT_EQ("/home/ann/src/halyard/build/halyard-capture",
              shellWord("/home/ann/src/halyard/build/halyard-capture"));
    EXPECT_EQ("'/home/o'\\''neil/my tools/halyard-capture'",
              shellWord("/home/o'neil/my tools/halyard-capture"));
    EXPECT_EQ("'$(reboot)'", shellWord("$(reboot)"));
}

TEST_F(PacketTest, ReceiveAnyFramePollsInOrderAndCountsReads) {
    addPort("eth0", 1);
    addPort("eth1", 2);
    openAllInterfaces();
    wire.deliver(1, frame(kEtherTypeAv, 80));
    uint8_t out[1514];
    uint32_t length = 0;
    ASSERT_TRUE(receiveAnyFrame(out, &length));
    EXPECT_EQ(80u, length);
    EXPECT_EQ(1, lastRxInterface);
    EXPECT_EQ(0xE1, out[13]);
    EXPECT_EQ(1, scanStates[1].reads);
    EXPECT_EQ(80, scanStates[1].bytesRead);
    EXPECT_FALSE(receiveAnyFrame(out, &length));
}

TEST_F(PacketTest, FrameDueLaterArrivesOnlyWhenVirtualTimeReachesIt) {
    addPort("eth0", 1);
    openAllInterfaces();
    wire.deliver(0, frame(kEtherTypeHp10, 60), clock.now() + 5);
    uint8_t out[1514];
    uint32_t length = 0;
    int polls = 0;
    while (!receiveAnyFrame(out, &length))
        ++polls;
    EXPECT_EQ(5, polls); // each empty poll waits the 1 ms read time-out
    EXPECT_EQ(0x7B, out[13]);
}

TEST_F(PacketTest, WaitForLocalReplySeesTheObserversSelfAddressedFlag) {
    addPort("eth0", 1);
    openAllInterfaces();
    int observed = 0;
    setLocalDeviceObserver([&](int index, const uint8_t* f, uint32_t n) {
        ++observed;
        EXPECT_EQ(0, index);
        return n >= 12 && std::memcmp(f, f + 6, 6) == 0;
    });
    auto other = frame(kEtherTypeHp10, 60);
    other[6] = 0x01; // source differs from destination
    auto self = frame(kEtherTypeHp10, 60, 0x33);
    wire.deliver(0, other, clock.now() + 10);
    wire.deliver(0, self, clock.now() + 20);
    uint64_t start = clock.now();
    EXPECT_TRUE(waitForLocalReply(0, 100));
    EXPECT_EQ(2, observed);
    EXPECT_LT(clock.now() - start, 30u);
    // Nothing self-addressed: the wait ends at its deadline.
    start = clock.now();
    EXPECT_FALSE(waitForLocalReply(0, 50));
    EXPECT_GE(clock.now() - start, 50u);
}

TEST_F(PacketTest, FaultWhileReadingThroughTheObserverIsReported) {
    addPort("eth0", 1);
    openAllInterfaces();
    setLocalDeviceObserver(
        [](int, const uint8_t*, uint32_t) -> bool { throw std::runtime_error("broken frame"); });
    wire.deliver(0, frame(kEtherTypeAv, 60));
    uint8_t out[1514];
    uint32_t length = 0;
    EXPECT_FALSE(receiveAnyFrame(out, &length));
    ASSERT_EQ(1u, messages.shown.size());
    EXPECT_EQ("Error occured while reading the frame. Please try after sometime.",
              messages.shown[0].text);
    EXPECT_EQ("Reading Error", messages.shown[0].caption);
}

TEST_F(PacketTest, CloseAllForgetsHandlesAndTheFrameBuffer) {
    addPort("eth0", 1);
    openAllInterfaces();
    wire.deliver(0, frame(kEtherTypeAv, 64));
    ASSERT_NE(nullptr, receiveFrame(0));
    EXPECT_EQ(64u, ReceivedFrame.length);
    closeAllInterfaces();
    EXPECT_EQ(nullptr, ReceivedFrame.data);
    EXPECT_EQ(nullptr, interfaceTable[0].handle);
    EXPECT_FALSE(openInterface(0)); // the list is gone until the next enumeration
}

} // namespace
