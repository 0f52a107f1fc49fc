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
// Fixes the transfer's own station and source address (at its start).
void setTransferPeer(const uint8_t* destination, const uint8_t* source);
// Addresses the pending frame from the transfer's own source to its station.
void addressPendingToPeer();
// True when `reply` comes from the station the transfer talks to.
bool fromTransferPeer(const PlcReply* reply);
// A confirmation from `reply`'s source moved the transfer on: a transfer that
// was started towards a group or the local management address keeps talking
// to that station from now on.
void learnTransferPeer(const PlcReply* reply);
// Refuses a confirmation that does not belong to the block in flight (stale,
// duplicated or from a third station): -1, EINVAL, and nothing of the
// transfer changes.
int refuseForeign(PlcReply* reply);
// Replaces the pending frame with a host action response carrying `result`.
void pendHostActionResponse(const uint8_t* destination, const uint8_t* source, uint8_t result);

} // namespace plcapi_detail
