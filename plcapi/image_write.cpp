// Image writes: the firmware image (module 1) and the parameter block
// (module 2) in 1024-byte blocks, by write module requests at module offsets
// or by write memory requests at device addresses, ended by a commit or a
// start request.
#include <cerrno>
#include <cstring>

#include "plcapi/sequence_internal.h"

using namespace plcapi_detail;

namespace {

constexpr uint32_t kHeaderSize = sizeof(NvmBlockHeader);

bool writeModuleMode() {
    uint32_t f = plcSequence.flags;
    return (f & kSeqOptionBit5) != 0 ||
           (f & (kSeqEndWithCommit | kSeqOptionBit1 | kSeqOptionBit4)) ==
               (kSeqEndWithCommit | kSeqOptionBit1 | kSeqOptionBit4);
}

bool writeRunning() {
    return plcSequence.kind == ReplyKindImageWrite && plcSequence.currentCursor != nullptr;
}

// Makes the block in flight (the current block of currentCursor) the pending frame.
void pendWriteBlock() {
    PendingFrame& p = plcSequence.pending;
    const uint32_t length = plcSequence.blockLength;
    const uint8_t* block = plcSequence.currentCursor->current;
    std::memset(p.fixed, 0, sizeof p.fixed);
    if (writeModuleMode()) {
        p.mmtype = kMmtypeWriteModule;
        p.fixed[0] = plcSequence.blockModule;
        putLe16(p.fixed + 2, static_cast<uint16_t>(length));
        putLe32(p.fixed + 4, plcSequence.blockPosition);
        putLe32(p.fixed + 8, Checksum32(length / 4, block, 0));
        p.fixedLength = 12;
    } else {
        p.mmtype = kMmtypeWriteMemory;
        putLe32(p.fixed, plcSequence.blockPosition);
        putLe32(p.fixed + 4, length);
        p.fixedLength = 8;
    }
    p.data = block;
    p.dataLength = length;
    p.trailerLength = 0;
    addressPendingToPeer();
    p.pending = 1;
}

// Starts transferring block 0 of `cursor` as module `module` (module offset 0,
// or device address `address` in write memory mode).
void firstBlock(BlockCursor* cursor, uint8_t module, uint32_t address) {
    const uint8_t* start = nullptr;
    plcSequence.currentCursor = cursor;
    plcSequence.blockModule = module;
    plcSequence.blockLength = blockCursorSeek(cursor, 0, &start);
    plcSequence.blockPosition = writeModuleMode() ? 0 : address;
    pendWriteBlock();
}

void nextBlock() {
    const uint8_t* start = nullptr;
    uint32_t previousEnd = plcSequence.blockPosition + plcSequence.blockLength;
    plcSequence.blockLength = blockCursorNext(plcSequence.currentCursor, &start);
    plcSequence.blockPosition =
        writeModuleMode() ? blockCursorOffset(plcSequence.currentCursor) : previousEnd;
    pendWriteBlock();
}

// Ends the write with the commit or the start request and lets the cursors go.
void finishingRequest() {
    PendingFrame& p = plcSequence.pending;
    plcSequence.flags &= ~kSeqModule2;
    if (plcSequence.flags & kSeqEndWithCommit) {
        p.mmtype = kMmtypeCommitModules;
        p.fixed[0] = static_cast<uint8_t>(plcSequence.moduleMask | (plcSequence.flags & 0x10));
        p.fixedLength = 1;
    } else {
        p.mmtype = kMmtypeStartFirmware;
        p.fixed[0] = 0x01;
        for (int i = 0; i < 4; ++i) {
            putLe32(p.fixed + 4 + 4 * i, plcSequence.startWords[i]);
        }
        p.fixedLength = 20;
    }
    blockCursorFree(plcSequence.firmwareCursor);
    blockCursorFree(plcSequence.parameterCursor);
    plcSequence.firmwareCursor = nullptr;
    plcSequence.parameterCursor = nullptr;
    plcSequence.currentCursor = nullptr;
    plcSequence.finishing = 1;
    addressPendingToPeer();
    p.pending = 1;
}

// The block just confirmed was the last of its module.
void moduleDone() {
    plcSequence.pending = PendingFrame{};
    if (plcSequence.flags & kSeqModule1) {
        plcSequence.flags &= ~kSeqModule1;
        firstBlock(plcSequence.parameterCursor, 2, kParameterBlockAddress);
    } else {
        finishingRequest();
    }
}

void copyStartWords(const uint8_t* header) {
    for (int i = 0; i < 4; ++i) {
        plcSequence.startWords[i] = getLe32(header + 8 + 4 * i);
    }
}

int failStart(int code) {
    clearSequence();
    errno = code;
    return -1;
}

// Write memory mode: only the image of the firmware's last block goes out, to
// its load address.
int startMemoryWrite(uint32_t firmwareLength, const uint8_t* firmware) {
    if (firmware == nullptr) {
        return failStart(EFAULT);
    }
    const uint8_t* header = plcapi_WalkNvmHeaders(firmware, firmwareLength);
    if (header == nullptr) {
        return failStart(errno);
    }
    uint32_t imageLength = getLe32(header + offsetof(NvmBlockHeader, imageLength));
    uint32_t headerOffset = static_cast<uint32_t>(header - firmware);
    if (imageLength > firmwareLength - headerOffset - kHeaderSize) {
        return failStart(ERANGE); // the image runs past the end of the file
    }
    plcSequence.firmwareCursor =
        blockCursorCreate(header + kHeaderSize, imageLength, kMmeBlockSize);
    if (plcSequence.firmwareCursor == nullptr) {
        return failStart(errno);
    }
    copyStartWords(header);
    plcSequence.flags |= kSeqModule1;
    plcSequence.moduleMask |= 1;
    firstBlock(plcSequence.firmwareCursor, 1,
               getLe32(header + offsetof(NvmBlockHeader, loadAddress)));
    return 0;
}

// Write module mode: the whole firmware file (headers included) as module 1.
// A write that ends with the start request takes the start words from the
// file's first header, so it needs a firmware image holding one.
int startModuleWrite(uint32_t firmwareLength, const uint8_t* firmware) {
    bool endsWithStart = (plcSequence.flags & kSeqEndWithCommit) == 0;
    if (firmware == nullptr) {
        if (endsWithStart) {
            return failStart(EFAULT);
        }
        firstBlock(plcSequence.parameterCursor, 2, 0);
        return 0;
    }
    if (endsWithStart && firmwareLength < kHeaderSize) {
        return failStart(EFAULT);
    }
    plcSequence.firmwareCursor = blockCursorCreate(firmware, firmwareLength, kMmeBlockSize);
    if (plcSequence.firmwareCursor == nullptr) {
        return failStart(errno);
    }
    if (endsWithStart) {
        copyStartWords(firmware);
    }
    plcSequence.flags |= kSeqModule1;
    plcSequence.moduleMask |= 1;
    firstBlock(plcSequence.firmwareCursor, 1, 0);
    return 0;
}

} // namespace

int plcapi_StartImageWrite(const uint8_t* source, const uint8_t* destination,
                           uint32_t firmwareLength, const uint8_t* firmware,
                           uint32_t parameterLength, const uint8_t* parameters, uint32_t options) {
    plcSequence.pending.pending = 0;
    if (parameters == nullptr || source == nullptr || destination == nullptr) {
        errno = EFAULT;
        return -1;
    }
    clearSequence();
    plcSequence.flags = (options & 0x33) | kSeqModule2;
    plcSequence.kind = ReplyKindImageWrite;
    setTransferPeer(destination, source);
    plcSequence.parameterCursor = blockCursorCreate(parameters, parameterLength, kMmeBlockSize);
    if (plcSequence.parameterCursor == nullptr) {
        return failStart(errno);
    }
    plcSequence.moduleMask = 2;
    return writeModuleMode() ? startModuleWrite(firmwareLength, firmware)
                             : startMemoryWrite(firmwareLength, firmware);
}

namespace plcapi_detail {

// True when the confirmation names the block in flight: the module and
// module offset of a write module request, the address of a write memory
// request, and with `length` also the block length.
bool namesBlockInFlight(const FrameView& frame, bool memoryConfirmation, bool length) {
    if (memoryConfirmation) {
        return !writeModuleMode() && frame.u32(21) == plcSequence.blockPosition &&
               (!length || frame.u32(25) == plcSequence.blockLength);
    }
    return writeModuleMode() && frame.u8(21) == plcSequence.blockModule &&
           frame.u32(25) == plcSequence.blockPosition &&
           (!length || frame.u16(23) == plcSequence.blockLength);
}

int handleWriteConfirmation(const FrameView& frame, PlcReply* reply) {
    const bool memoryConfirmation = frame.u16(15) == (kMmtypeWriteMemory | 1);
    reply->kind = ReplyKindImageWrite;
    reply->state = kReplyStateComplete;
    reply->status = frame.u8(20);
    if (!writeRunning()) {
        return refuseForeign(reply); // no write of ours is waiting for it
    }
    // A confirmation of another block or from another station (stale,
    // duplicated, a third station's) changes nothing, a failure status
    // included: it must not use up the resends of the block in flight.
    if (!fromTransferPeer(reply) || !namesBlockInFlight(frame, memoryConfirmation, false)) {
        return refuseForeign(reply);
    }
    if (reply->status != 0) {
        if (plcSequence.retries == 0) {
            errno = EINVAL;
            return -1;
        }
        --plcSequence.retries;
        pendWriteBlock();
        reply->state = kReplyStatePending;
        return 0;
    }
    if (!namesBlockInFlight(frame, memoryConfirmation, true)) {
        return refuseForeign(reply);
    }
    learnTransferPeer(reply);
    reply->state = kReplyStatePending;
    reply->valid = 0;
    plcSequence.retries = 3;
    if (blockCursorAtEnd(plcSequence.currentCursor, plcSequence.blockLength)) {
        moduleDone();
    } else {
        nextBlock();
    }
    return 0;
}

} // namespace plcapi_detail
