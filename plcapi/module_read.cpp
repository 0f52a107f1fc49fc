// Module reads: the firmware image (module 1) as a chain of headers and images,
// the parameter block (module 2) in 1024-byte chunks.
#include <cerrno>
#include <cstring>

#include "plcapi/sequence_internal.h"

using namespace plcapi_detail;

namespace {

constexpr uint32_t kHeaderSize = sizeof(NvmBlockHeader);

bool readRunning() {
    return plcSequence.kind == ReplyKindModuleRead &&
           (plcSequence.flags & (kSeqModule1 | kSeqModule2)) != 0;
}

// Makes the read of the block in flight the pending frame.
void pendReadRequest() {
    PendingFrame& p = plcSequence.pending;
    p.mmtype = kMmtypeReadModule;
    std::memset(p.fixed, 0, sizeof p.fixed);
    p.fixed[0] = plcSequence.blockModule;
    putLe16(p.fixed + 2, static_cast<uint16_t>(plcSequence.blockLength));
    putLe32(p.fixed + 4, plcSequence.blockPosition);
    p.fixedLength = 8;
    p.data = nullptr;
    p.dataLength = 0;
    p.trailerLength = 0;
    addressPendingToPeer();
    p.pending = 1;
}

void requestBlock(uint8_t module, uint32_t offset, uint32_t length) {
    plcSequence.blockModule = module;
    plcSequence.blockPosition = offset;
    plcSequence.blockLength = length;
    pendReadRequest();
}

// A refused chunk: reported as a decoding failure that no reply wait accepts.
int refuseChunk(PlcReply* reply, int code) {
    reply->valid = 0;
    reply->status = static_cast<uint8_t>(code);
    errno = code;
    return -1;
}

// Fields of a read module confirmation (frame offsets 20 status, 24 module id,
// 26 length, 28 offset, 32 checksum, 36 data).
struct ReadChunk {
    uint8_t module;
    uint32_t length;
    uint32_t offset;
    const uint8_t* data;
};

// Copies the chunk into the reply; sets status 22 for a checksum mismatch and
// 34 for a length above 1024 or beyond the received frame.
void decodeChunk(const FrameView& frame, PlcReply* reply, ReadChunk& chunk) {
    reply->valid = 0;
    reply->status = frame.u8(20);
    chunk.module = frame.u8(24);
    chunk.length = frame.u16(26);
    chunk.offset = frame.u32(28);
    chunk.data = nullptr;
    putLe32(reply->data, chunk.module);
    if (reply->status != 0) {
        return;
    }
    if (chunk.length > kMmeBlockSize || !frame.holds(36, chunk.length)) {
        reply->status = ERANGE;
        return;
    }
    chunk.data = frame.at(36, chunk.length);
    if (Checksum32(chunk.length / 4, chunk.data, frame.u32(32)) != 0) {
        reply->status = EINVAL;
        return;
    }
    putLe32(reply->data + 5, chunk.length);
    std::memcpy(reply->data + 9, chunk.data, chunk.length);
    reply->valid = 1;
    reply->dataLength = chunk.length + 9;
}

// A firmware block header at the start of a module 1 chunk: it must verify,
// and the next header must begin exactly where this block's image ends.
int takeFirmwareHeader(const ReadChunk& chunk, PlcReply* reply) {
    if (chunk.length < kHeaderSize || Checksum32(11, chunk.data, 0) != 0) {
        return refuseChunk(reply, EFAULT);
    }
    uint32_t imageLength = getLe32(chunk.data + offsetof(NvmBlockHeader, imageLength));
    uint32_t next = getLe32(chunk.data + offsetof(NvmBlockHeader, nextHeader));
    uint64_t total = uint64_t{plcSequence.total} + imageLength + kHeaderSize;
    if (total > UINT32_MAX || (next != 0 && next != total)) {
        return refuseChunk(reply, EFAULT);
    }
    plcSequence.total = static_cast<uint32_t>(total);
    plcSequence.nextHeader = next;
    return 0;
}

// Learns the module size from the chunk; sets the last-chunk flag.
int trackModule(const ReadChunk& chunk, PlcReply* reply) {
    if (chunk.module == 2 && chunk.offset == 0) {
        plcSequence.total = chunk.length >= 6 ? getLe16(chunk.data + 4) : 0;
        plcSequence.nextHeader = 0;
    } else if (chunk.module == 1 && chunk.offset == plcSequence.nextHeader) {
        if (takeFirmwareHeader(chunk, reply) != 0) {
            return -1;
        }
    }
    bool last =
        plcSequence.nextHeader == 0 && uint64_t{chunk.offset} + chunk.length >= plcSequence.total;
    reply->data[4] = last ? 1 : 0;
    return 0;
}

void finishRead(PlcReply* reply) {
    plcSequence.flags &= ~(kSeqModule1 | kSeqModule2);
    reply->state = kReplyStateComplete;
}

// The chunk just confirmed was the last of its module.
int lastChunk(PlcReply* reply) {
    plcSequence.pending = PendingFrame{};
    switch (plcSequence.readType) {
    case 1:
    case 2:
        finishRead(reply);
        return 0;
    case 3:
        if (plcSequence.flags & kSeqModule1) {
            plcSequence.flags &= ~kSeqModule1;
            requestBlock(2, 0, kMmeBlockSize);
        } else {
            finishRead(reply);
        }
        return 0;
    default:
        finishRead(reply);
        reply->status = EINVAL;
        errno = EINVAL;
        return -1;
    }
}

// Requests what follows the chunk just confirmed.
void nextChunk() {
    uint32_t offset = plcSequence.blockPosition + plcSequence.blockLength;
    uint32_t length = kMmeBlockSize;
    if ((plcSequence.flags & kSeqModule1) && offset == plcSequence.nextHeader) {
        length = kHeaderSize;
    } else if (plcSequence.total > offset && plcSequence.total - offset < length) {
        length = plcSequence.total - offset;
    }
    requestBlock(plcSequence.blockModule, offset, length);
}

} // namespace

int plcapi_StartModuleRead(const uint8_t* source, const uint8_t* destination, uint32_t readType) {
    clearSequence();
    if (source == nullptr || destination == nullptr) {
        errno = EFAULT;
        return -1;
    }
    switch (readType) {
    case 1:
        plcSequence.flags = kSeqModule1;
        break;
    case 2:
        plcSequence.flags = kSeqModule2;
        break;
    case 3:
        plcSequence.flags = kSeqModule1 | kSeqModule2;
        break;
    default:
        errno = EINVAL;
        return -1;
    }
    plcSequence.flags |= kSeqEndWithCommit;
    plcSequence.kind = ReplyKindModuleRead;
    plcSequence.readType = readType;
    setTransferPeer(destination, source);
    if (readType == 2) {
        requestBlock(2, 0, kMmeBlockSize);
    } else {
        requestBlock(1, 0, kHeaderSize);
    }
    return 0;
}

namespace plcapi_detail {

int handleReadConfirmation(const FrameView& frame, PlcReply* reply) {
    reply->kind = ReplyKindModuleRead;
    reply->state = kReplyStateComplete;
    ReadChunk chunk{};
    decodeChunk(frame, reply, chunk);
    if (!readRunning()) {
        return refuseChunk(reply, EINVAL); // no read of ours asked for it
    }
    // Only the read device's answer to the chunk in flight counts, a failure
    // included: a stale or third-party failure must not use up the resends
    // of the current chunk.
    if (!fromTransferPeer(reply) || chunk.module != plcSequence.blockModule ||
        chunk.offset != plcSequence.blockPosition) {
        return refuseForeign(reply);
    }
    if (reply->status != 0) {
        if (plcSequence.retries != 0) {
            --plcSequence.retries;
            pendReadRequest();
            reply->state = kReplyStatePending;
        } else {
            finishRead(reply);
        }
        return 0;
    }
    // A device may answer fewer bytes than asked for: the last chunk of a
    // module (a parameter block under 1024 bytes, or one that ends short) or
    // any other. The read goes on from the end of what arrived.
    if (chunk.length == 0 || chunk.length > plcSequence.blockLength) {
        return refuseForeign(reply);
    }
    if (trackModule(chunk, reply) != 0) {
        return -1;
    }
    learnTransferPeer(reply);
    plcSequence.blockLength = chunk.length;
    reply->state = kReplyStatePending;
    plcSequence.retries = 3;
    if (reply->data[4] == 0) {
        nextChunk();
        return 0;
    }
    return lastChunk(reply);
}

} // namespace plcapi_detail
