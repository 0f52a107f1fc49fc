#pragma once
// What the decoder needs from the transfer sequence engine.
#include <cstdint>

#include "plcapi/bytes.h"
#include "plcapi/plcapi.h"

namespace plcapi_detail {

// Zeroes plcSequence, freeing the cursors it owns; returns the kind it had.
uint32_t clearSequence();
// Confirmation handlers of a running transfer: 0xA021 / 0xA005 and 0xA025.
// The frame has at least the minimum length of its type.
int handleWriteConfirmation(const FrameView& frame, PlcReply* reply);
int handleReadConfirmation(const FrameView& frame, PlcReply* reply);
// Replaces the pending frame with a host action response carrying `result`.
void pendHostActionResponse(const uint8_t* destination, const uint8_t* source, uint8_t result);

} // namespace plcapi_detail
