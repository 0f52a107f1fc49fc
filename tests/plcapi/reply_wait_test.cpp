// ReceiveReply and AwaitReply over the in-memory wire in virtual time.
#include <gtest/gtest.h>

#include "mme_frames.h"
#include "network/model.h"
#include "packet/driver.h"
#include "packet/memory_wire.h"
#include "packet/packet.h"

namespace {

class ReplyWait : public ::testing::Test {
  protected:
    VirtualClock clock;
    MemoryWire wire{clock};
    PlcReply reply{};

    void SetUp() override {
        resetDeviceModel();
        resetPlcapi();
        setSystemClock(&clock);
        setPacketDriver(&wire);
        MemoryWire::Port port;
        port.name = "eth0";
        std::memcpy(port.mac, kHostMac, 6);
        wire.addPort(port);
        ASSERT_TRUE(openAllInterfaces());
    }
    void TearDown() override {
        closeAllInterfaces();
        setPacketDriver(nullptr);
        setSystemClock(nullptr);
        resetPlcapi();
        resetDeviceModel();
    }
    // Queues a frame arriving `afterMs` from now.
    void arrive(std::vector<uint8_t> frame, uint64_t afterMs) {
        wire.deliver(0, std::move(frame), clock.now() + afterMs);
    }
    // Frames that are not the awaited reply, one every millisecond for 10 s.
    void flood(uint16_t mmtype) {
        for (uint64_t ms = 0; ms < 10000; ++ms) {
            arrive(mmeFrame(mmtype, 64), ms);
        }
    }
};

TEST_F(ReplyWait, AwaitReplyGivesUpAfterAHundredMilliseconds) {
    uint64_t start = clock.now();
    EXPECT_FALSE(AwaitReply(0xA000, &reply));
    EXPECT_GE(clock.now() - start, 100u);
    EXPECT_LE(clock.now() - start, 105u);
    EXPECT_FALSE(replyReceived);
}

TEST_F(ReplyWait, AwaitReplyTakesTheConfirmation) {
    auto confirmation = mmeFrame(0xA001, 88);
    confirmation[21] = 2;
    arrive(confirmation, 30);
    uint64_t start = clock.now();
    ASSERT_TRUE(AwaitReply(0xA000, &reply));
    EXPECT_LT(clock.now() - start, 40u);
    EXPECT_TRUE(replyReceived);
    EXPECT_EQ(reply.mmtype, 0xA001);
    EXPECT_EQ(reply.data[0], 2);
    EXPECT_EQ(std::memcmp(reply.source, kDeviceMac, 6), 0);
    EXPECT_EQ(lastRxInterface, 0);
    resetPlcapi();
    EXPECT_FALSE(replyReceived);
}

TEST_F(ReplyWait, ReceiveReplyWithNothingWaitingReturnsAtOnce) {
    uint64_t start = clock.now();
    EXPECT_FALSE(ReceiveReply(0xA058, &reply));
    EXPECT_LE(clock.now() - start, 2u);
}

TEST_F(ReplyWait, FailureStatusWithoutDataIsNotAccepted) {
    auto refused = mmeFrame(0xA051, 64);
    refused[20] = 0x01;
    arrive(refused, 5);
    EXPECT_FALSE(AwaitReply(0xA050, &reply));
    EXPECT_FALSE(replyReceived);

    arrive(refused, 5);
    arrive(mmeFrame(0xA051, 64), 50);
    ASSERT_TRUE(AwaitReply(0xA050, &reply));
    EXPECT_EQ(reply.status, 0);
    EXPECT_EQ(reply.kind, 8u);
}

TEST_F(ReplyWait, OtherRepliesAreDroppedUntilTheAwaitedOneArrives) {
    arrive(mmeFrame(0xA001, 88), 0);
    auto hp10 = mmeFrame(0xA051, 64);
    hp10[13] = 0x7B;
    arrive(hp10, 0);
    arrive(mmeFrame(0xA051, 64), 0);
    ASSERT_TRUE(ReceiveReply(0xA050, &reply)) << "takes the frames already there";
    EXPECT_EQ(reply.mmtype, 0xA051);
}

TEST_F(ReplyWait, ADecodingFailureIsNeverAccepted) {
    arrive(mmeFrame(0xA051, 20), 1); // cut short: no status byte
    EXPECT_FALSE(AwaitReply(0xA050, &reply));
    EXPECT_FALSE(replyReceived);
}

TEST_F(ReplyWait, CommitConfirmationIsAcceptedOnlyWhenItEndsOurWrite) {
    // No transfer: a commit confirmation answers nothing but a commit.
    arrive(mmeFrame(0xA029, 64), 2);
    EXPECT_FALSE(AwaitReply(0xA050, &reply));
    // During a read it is refused, and the read goes on.
    ASSERT_EQ(plcapi_StartModuleRead(kHostMac, kDeviceMac, 2), 0);
    arrive(mmeFrame(0xA029, 64), 2);
    EXPECT_FALSE(AwaitReply(0xA024, &reply));
    EXPECT_EQ(plcSequence.kind, 9u);
}

TEST_F(ReplyWait, OnlyTheNamedStationsConfirmationIsTaken) {
    const uint8_t stranger[6] = {0x02, 0x00, 0x00, 0x5A, 0x5A, 0x01};
    arrive(mmeFrame(0xA051, 64, kHostMac, stranger), 2);
    arrive(mmeFrame(0xA051, 64, kHostMac, kDeviceMac), 10);
    ASSERT_TRUE(AwaitReply(0xA050, &reply, kDeviceMac));
    EXPECT_EQ(0, std::memcmp(reply.source, kDeviceMac, 6));
    // Addressed to the local management address, any station may answer.
    arrive(mmeFrame(0xA051, 64, kHostMac, stranger), 2);
    ASSERT_TRUE(AwaitReply(0xA050, &reply, kLocalMgmtMac));
    EXPECT_EQ(0, std::memcmp(reply.source, stranger, 6));
}

TEST_F(ReplyWait, TwentyUnrelatedFramesAheadOfTheConfirmation) {
    // Other stations' traffic, indications nobody asked for and frames of the
    // other family, all queued before the confirmation: the wait works
    // through them and still takes it within its time-out.
    const uint8_t stranger[6] = {0x02, 0x00, 0x00, 0x5A, 0x5A, 0x01};
    for (int i = 0; i < 20; ++i) {
        auto f = mmeFrame(i % 2 ? 0xA0FE : 0xA001, 90, kDeviceMac, stranger);
        if (i % 5 == 0) {
            f[12] = 0x88;
            f[13] = 0x7B;
        }
        arrive(f, 1);
    }
    arrive(mmeFrame(0xA051, 64), 1);
    uint64_t start = clock.now();
    ASSERT_TRUE(AwaitReply(0xA050, &reply, kDeviceMac));
    EXPECT_EQ(reply.mmtype, 0xA051);
    EXPECT_LE(clock.now() - start, 100u);
}

TEST_F(ReplyWait, AFloodDoesNotExtendAwaitReply) {
    flood(0xA001);
    uint64_t start = clock.now();
    EXPECT_FALSE(AwaitReply(0xA050, &reply));
    EXPECT_LE(clock.now() - start, 100u + 25u);
}

TEST_F(ReplyWait, AFloodOfOtherEtherTypesDoesNotExtendAwaitReply) {
    for (uint64_t ms = 0; ms < 10000; ++ms) {
        auto f = mmeFrame(0xA051, 64);
        f[13] = 0x7B;
        arrive(f, ms);
    }
    uint64_t start = clock.now();
    EXPECT_FALSE(AwaitReply(0xA050, &reply));
    EXPECT_LE(clock.now() - start, 125u);
}

TEST_F(ReplyWait, AFloodDoesNotHangReceiveReply) {
    flood(0xA039);
    uint64_t start = clock.now();
    EXPECT_FALSE(ReceiveReply(0xA000, &reply));
    EXPECT_LE(clock.now() - start, 125u);
}

TEST_F(ReplyWait, TheReplyStillCountsBehindOtherFrames) {
    // Each frame that is not the reply costs a 20 ms pause; the reply behind
    // three of them is taken, and the flood that follows does not matter.
    for (uint64_t ms = 0; ms < 3; ++ms) {
        arrive(mmeFrame(0xA039, 64), ms);
    }
    arrive(mmeFrame(0xA07D, 64), 10);
    for (uint64_t ms = 80; ms < 5000; ++ms) {
        arrive(mmeFrame(0xA039, 64), ms);
    }
    ASSERT_TRUE(AwaitReply(0xA07C, &reply));
    EXPECT_EQ(reply.kind, 13u);
}

} // namespace
