// The process-wide transfer sequence: its state, its reset and the pending
// frames that do not belong to a block (host action response).
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

void resetPlcapi() {
    plcapi_detail::clearSequence();
    replyReceived = false;
}
