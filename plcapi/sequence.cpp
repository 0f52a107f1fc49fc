// The process-wide transfer sequence: its state, its reset and the pending
// frames that do not belong to a block (host action response).
#include <cerrno>
#include <cstring>

#include "plcapi/sequence_internal.h"

PlcSequence plcSequence;
bool replyReceived = false;

namespace plcapi_detail {

uint32_t clearSequence() {
    uint32_t kind = plcSequence.kind;
    blockCursorFree(plcSequence.firmwareCursor);
    if (plcSequence.parameterCursor != plcSequence.firmwareCursor) {
        blockCursorFree(plcSequence.parameterCursor);
    }
    plcSequence = PlcSequence{};
    return kind;
}

namespace {

constexpr uint8_t kLocalManagementAddress[6] = {0x00, 0xB0, 0x52, 0x00, 0x00, 0x01};

bool isWildcard(const uint8_t* mac) {
    return (mac[0] & 1) != 0 || std::memcmp(mac, kLocalManagementAddress, 6) == 0;
}

} // namespace

void setTransferPeer(const uint8_t* destination, const uint8_t* source) {
    std::memcpy(plcSequence.peer, destination, 6);
    std::memcpy(plcSequence.self, source, 6);
}

void addressPendingToPeer() {
    std::memcpy(plcSequence.pending.destination, plcSequence.peer, 6);
    std::memcpy(plcSequence.pending.source, plcSequence.self, 6);
}

bool fromTransferPeer(const PlcReply* reply) {
    return plcapi_AnswersRequestTo(plcSequence.peer, reply->source);
}

void learnTransferPeer(const PlcReply* reply) {
    if (isWildcard(plcSequence.peer) && (reply->source[0] & 1) == 0) {
        std::memcpy(plcSequence.peer, reply->source, 6);
    }
}

int refuseForeign(PlcReply* reply) {
    reply->valid = 0;
    reply->status = EINVAL;
    errno = EINVAL;
    return -1;
}

void pendHostActionResponse(const uint8_t* destination, const uint8_t* source, uint8_t result) {
    PendingFrame& p = plcSequence.pending;
    p = PendingFrame{};
    std::memcpy(p.destination, destination, 6);
    std::memcpy(p.source, source, 6);
    p.mmtype = kMmtypeHostActionResponse;
    p.fixedLength = 1;
    p.fixed[0] = result;
    p.pending = 1;
}

} // namespace plcapi_detail

bool plcapi_AnswersRequestTo(const uint8_t* destination, const uint8_t* source) {
    if (destination == nullptr || source == nullptr) {
        return false;
    }
    if ((source[0] & 1) != 0) {
        return false; // a group address never answers
    }
    return plcapi_detail::isWildcard(destination) || std::memcmp(destination, source, 6) == 0;
}

void clearReplyReceived() {
    replyReceived = false;
}

void resetPlcapi() {
    plcapi_detail::clearSequence();
    replyReceived = false;
}
