// ReceiveReply and AwaitReply: how every exchange waits for the confirmation
// of the request it has just sent. Both keep their deadline while frames that
// are not the awaited reply keep arriving.
#include <cstring>

#include "packet/packet.h"
#include "platform/clock.h"
#include "plcapi/plcapi.h"

namespace {

// Pause after a frame that was not the awaited reply. Short, so that a burst
// of unrelated frames queued ahead of the confirmation (other stations'
// traffic, indications) is worked through well within the reply time-out:
// twenty of them cost about 20 ms, not the 400 ms a longer pause would.
constexpr uint32_t kNoMatchSleepMs = 1;
constexpr uint16_t kCommitConfirmation = kMmtypeCommitModules | 1;

bool acceptable(uint16_t requestType, const PlcReply& reply, const uint8_t* from) {
    bool content = reply.valid == 1 || reply.status == 0;
    // A commit confirmation answers any wait only when it ended a transfer of
    // ours (the decoder refuses every other one during a transfer).
    bool endedTransfer = reply.mmtype == kCommitConfirmation && reply.kind != ReplyKindNone;
    bool type = reply.mmtype == (requestType | 1) || endedTransfer;
    bool station = from == nullptr || plcapi_AnswersRequestTo(from, reply.source);
    return content && type && station;
}

// Takes frames until the awaited reply is decoded, no frame is available, or
// `deadline` has passed after a frame that did not match, and pauses
// `pauseMs` after the accepted one. With `kept` the accepted frame is copied
// there (1514 bytes of room) and its length into `keptLength`.
bool receiveReplyUntil(uint16_t requestType, PlcReply* reply, const uint8_t* from,
                       uint32_t deadline, uint32_t pauseMs, uint8_t* kept = nullptr,
                       uint32_t* keptLength = nullptr) {
    uint8_t frame[1514];
    for (;;) {
        uint32_t length = 0;
        if (!receiveAnyFrame(frame, &length)) {
            return false;
        }
        if (plcapi_DecodeFrame(length, frame, reply) == 0 &&
            acceptable(requestType, *reply, from)) {
            if (kept != nullptr && keptLength != nullptr) {
                const uint32_t n = length < sizeof frame ? length : sizeof frame;
                std::memcpy(kept, frame, n);
                *keptLength = n;
            }
            sleepMs(pauseMs);
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

bool ReceiveReply(uint16_t requestType, PlcReply* reply, const uint8_t* from, uint32_t pauseMs) {
    if (reply == nullptr) {
        return false;
    }
    return receiveReplyUntil(requestType, reply, from, tickCount() + kReplyTimeoutMs, pauseMs);
}

bool AwaitReply(uint16_t requestType, PlcReply* reply, const uint8_t* from) {
    return AwaitReplyFrame(requestType, reply, from, nullptr, nullptr);
}

bool AwaitReplyFrame(uint16_t requestType, PlcReply* reply, const uint8_t* from, uint8_t* frame,
                     uint32_t* frameLength) {
    if (reply == nullptr) {
        return false;
    }
    if (frameLength != nullptr) {
        *frameLength = 0;
    }
    uint32_t deadline = tickCount() + kReplyTimeoutMs;
    do {
        sleepMs(1);
        if (receiveReplyUntil(requestType, reply, from, deadline, 1, frame, frameLength)) {
            return true;
        }
    } while (!tickReached(deadline));
    return false;
}
