// ReceiveReply and AwaitReply: how every exchange waits for the confirmation
// of the request it has just sent. Both keep their deadline while frames that
// are not the awaited reply keep arriving.
#include "packet/packet.h"
#include "platform/clock.h"
#include "plcapi/plcapi.h"

namespace {

constexpr uint32_t kNoMatchSleepMs = 20;
constexpr uint16_t kCommitConfirmation = kMmtypeCommitModules | 1;

bool acceptable(uint16_t requestType, const PlcReply& reply) {
    bool content = reply.valid == 1 || reply.status == 0;
    bool type = reply.mmtype == (requestType | 1) || reply.mmtype == kCommitConfirmation;
    return content && type;
}

// Takes frames until the awaited reply is decoded, no frame is available, or
// `deadline` has passed after a frame that did not match.
bool receiveReplyUntil(uint16_t requestType, PlcReply* reply, uint32_t deadline) {
    uint8_t frame[1514];
    for (;;) {
        uint32_t length = 0;
        if (!receiveAnyFrame(frame, &length)) {
            return false;
        }
        if (plcapi_DecodeFrame(length, frame, reply) == 0 && acceptable(requestType, *reply)) {
            sleepMs(1);
            replyReceived = true;
            return true;
        }
        if (tickReached(deadline)) {
            return false;
        }
        sleepMs(kNoMatchSleepMs);
    }
}

} // namespace

bool ReceiveReply(uint16_t requestType, PlcReply* reply) {
    if (reply == nullptr) {
        return false;
    }
    return receiveReplyUntil(requestType, reply, tickCount() + kReplyTimeoutMs);
}

bool AwaitReply(uint16_t requestType, PlcReply* reply) {
    if (reply == nullptr) {
        return false;
    }
    uint32_t deadline = tickCount() + kReplyTimeoutMs;
    do {
        sleepMs(1);
        if (receiveReplyUntil(requestType, reply, deadline)) {
            return true;
        }
    } while (!tickReached(deadline));
    return false;
}
