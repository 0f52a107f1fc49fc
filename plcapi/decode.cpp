// plcapi_DecodeFrame: verifies the vendor header of a received frame and
// dispatches it by message type to the decoder of that confirmation or
// indication.
#include <cerrno>
#include <cstring>

#include "plcapi/sequence_internal.h"

using namespace plcapi_detail;

namespace {

using Decoder = int (*)(const FrameView& frame, PlcReply* reply);

constexpr int kNoCode = 0;

struct DispatchRow {
    uint16_t mmtype;
    uint32_t minLength; // 0: none
    int shortCode;      // errno for a shorter frame; kNoCode leaves errno untouched
    Decoder decode;
};

void complete(PlcReply* reply, uint32_t kind) {
    reply->kind = kind;
    reply->state = kReplyStateComplete;
}

// Status byte only; kind and state as given.
template <uint32_t Kind> int statusOnly(const FrameView& f, PlcReply* r) {
    complete(r, Kind);
    r->status = f.u8(20);
    return 0;
}

// Status byte; a factory-defaults (0xA07D) or 0xA01D confirmation from the
// station a transfer talks to ends that transfer (the device dropped it). The
// same confirmation from any other station leaves the transfer alone.
template <uint32_t Kind> int statusAndClear(const FrameView& f, PlcReply* r) {
    if (plcSequence.kind == ReplyKindNone || fromTransferPeer(r)) {
        clearSequence();
    }
    complete(r, Kind);
    r->status = f.u8(20);
    return 0;
}

// A commit (0xA029) or start (0xA00D) confirmation ends a write only when it
// answers the write's own finishing request and comes from the written
// device; it reports the kind the write had. One that arrives while blocks are
// still to go, during a read, or from a third station is refused and the
// transfer goes on: a stray or duplicated commit confirmation must never make
// an upgrade look complete. With no transfer running it is decoded and ends
// nothing.
template <uint16_t Mmtype> int transferEnd(const FrameView& f, PlcReply* r) {
    r->status = f.u8(20);
    if (plcSequence.kind == ReplyKindNone) {
        complete(r, ReplyKindNone);
        return 0;
    }
    const bool endsWithCommit = (plcSequence.flags & kSeqEndWithCommit) != 0;
    const bool answersFinishing = plcSequence.kind == ReplyKindImageWrite &&
                                  plcSequence.finishing != 0 &&
                                  endsWithCommit == (Mmtype == (kMmtypeCommitModules | 1));
    if (!answersFinishing || !fromTransferPeer(r)) {
        r->kind = plcSequence.kind;
        return refuseForeign(r);
    }
    uint8_t status = r->status;
    complete(r, clearSequence());
    r->status = status;
    return 0;
}

int firmwareVersion(const FrameView& f, PlcReply* r) {
    complete(r, ReplyKindFirmwareVersion);
    r->status = f.u8(20);
    r->data[0] = f.u8(21);       // device id
    r->data[1] = f.u8(22);       // length of the version text
    f.copy(r->data + 2, 23, 64); // version text, not terminated
    r->dataLength = 67;
    r->valid = 1;
    return 0;
}

int replyA031(const FrameView& f, PlcReply* r) {
    complete(r, ReplyKindA031);
    r->status = f.u8(20);
    f.copy(r->data, 21, 3);
    uint32_t count = 0;
    switch (f.u8(21)) {
    case 0:
        count = 40;
        break;
    case 1:
        count = 247;
        break;
    case 2:
        count = 287;
        break;
    default:
        break;
    }
    if (count != 0) {
        f.copy(r->data + 3, 24, count);
        r->dataLength = count + 3;
    }
    r->valid = 1;
    return 0;
}

int replyA035(const FrameView& f, PlcReply* r) {
    r->status = f.u8(20);
    f.copy(r->data, 21, 7);
    r->dataLength = 7;
    r->valid = 1;
    return 0;
}

int indicationA036(const FrameView& f, PlcReply* r) {
    uint8_t* d = r->data;
    f.copy(d, 21, 29); // data[0..28] := bytes 21..49
    d[165] = d[13] & 0x07;
    d[166] = d[13] & 0xF0;
    if (d[165] == 0) {
        f.copy(d + 29, 50, 136);
        d[167] = d[36];
    } else {
        d[167] = 0;
    }
    r->dataLength = 168;
    r->valid = 1;
    return 0;
}

int networkInfo(const FrameView& f, PlcReply* r) {
    complete(r, ReplyKindNetworkInfo);
    r->status = 0;
    r->data[0] = f.u8(20);
    f.copy(r->data + 1, 21, 1507);
    r->dataLength = 1505;
    r->valid = 1;
    return 0;
}

int replyA055(const FrameView& f, PlcReply* r) {
    complete(r, ReplyKindA055);
    r->status = f.u8(20);
    f.copy(r->data, 21, 65);
    r->dataLength = 65;
    r->valid = 1;
    return 0;
}

// The copy is bounded by the length byte, the bytes that arrived and the reply.
int configurationBlock(const FrameView& f, PlcReply* r) {
    complete(r, ReplyKindConfigurationBlock);
    r->status = 0;
    r->data[0] = f.u8(20);
    r->data[1] = f.u8(21);
    uint32_t count = r->data[1];
    if (count > sizeof r->data - 2) {
        count = sizeof r->data - 2;
    }
    f.copy(r->data + 2, 22, count);
    r->dataLength = 1506;
    r->valid = 1;
    return 0;
}

int hostAction(const FrameView& f, PlcReply* r) {
    r->kind = ReplyKindHostAction;
    r->state = kReplyStatePending;
    r->status = 0;
    putLe32(r->data, f.u8(20));
    r->dataLength = 1;
    r->valid = 1;
    pendHostActionResponse(r->source, r->destination, 0);
    return 0;
}

int replyA06D(const FrameView& f, PlcReply* r) {
    complete(r, ReplyKindA06D);
    r->status = f.u8(20);
    f.copy(r->data, 21, 2);
    r->valid = 1;
    return 0;
}

int replyA071(const FrameView& f, PlcReply* r) {
    complete(r, ReplyKindA071);
    r->status = f.u8(20);
    f.copy(r->data, 21, 582); // bytes 21..602
    return 0;
}

int replyA091(const FrameView& f, PlcReply* r) {
    complete(r, ReplyKindA091);
    r->status = f.u8(20);
    f.copy(r->data, 21, 585); // bytes 21..605
    return 0;
}

constexpr DispatchRow kDispatch[] = {
    {0xA001, 88, EFAULT, firmwareVersion},
    {0xA005, 29, ERANGE, handleWriteConfirmation},
    {0xA00D, 22, ERANGE, transferEnd<kMmtypeStartFirmware | 1>},
    {0xA01D, 21, EFAULT, statusAndClear<ReplyKindA01D>},
    {0xA021, 29, ERANGE, handleWriteConfirmation},
    {0xA025, 36, EFAULT, handleReadConfirmation},
    {0xA029, 22, kNoCode, transferEnd<kMmtypeCommitModules | 1>},
    {0xA031, 0, kNoCode, replyA031},
    {0xA035, 28, EFAULT, replyA035},
    {0xA036, 51, EFAULT, indicationA036},
    {0xA039, 33, EFAULT, networkInfo},
    {0xA051, 21, ERANGE, statusOnly<ReplyKindSetKey>},
    {0xA055, 86, kNoCode, replyA055},
    {0xA059, 22, EFAULT, configurationBlock},
    {0xA05D, 21, ERANGE, statusOnly<ReplyKindA05D>},
    {0xA062, 21, kNoCode, hostAction},
    {0xA06D, 0, kNoCode, replyA06D},
    {0xA071, 603, kNoCode, replyA071},
    {0xA07D, 21, ERANGE, statusAndClear<ReplyKindFactoryDefaults>},
    {0xA091, 606, kNoCode, replyA091},
    {0xA095, 21, EFAULT, statusOnly<ReplyKindA095>},
};

const DispatchRow* findRow(uint16_t mmtype) {
    for (const DispatchRow& row : kDispatch) {
        if (row.mmtype == mmtype) {
            return &row;
        }
    }
    return nullptr;
}

int headerFailure(PlcReply* reply, int code) {
    errno = code;
    reply->status = static_cast<uint8_t>(code);
    return -1;
}

} // namespace

int plcapi_DecodeFrame(uint32_t frameLength, const uint8_t* frame, PlcReply* reply) {
    if (reply == nullptr) {
        errno = EFAULT;
        return -1;
    }
    std::memset(reply, 0, sizeof *reply);
    reply->mmtype = kReplyMmtypeNone;
    if (frame == nullptr || frameLength < 14) {
        return headerFailure(reply, EFAULT);
    }
    FrameView view(frame, frameLength);
    if (etherTypeOf(frame, frameLength) != kMmeEtherType) {
        return headerFailure(reply, EPERM);
    }
    if (frameLength < kMmeHeaderEnd || view.u8(14) != kMmeMmv ||
        !view.equals(17, kMmeVendorOui, 3)) {
        return headerFailure(reply, EFAULT);
    }
    uint16_t mmtype = view.u16(15);
    reply->mmtype = mmtype;
    view.copy(reply->destination, 0, 6);
    view.copy(reply->source, 6, 6);
    const DispatchRow* row = findRow(mmtype);
    if (row == nullptr) {
        reply->mmtype = kReplyMmtypeNone;
        return headerFailure(reply, kPlcErrUnhandledType);
    }
    if (frameLength < row->minLength) {
        if (mmtype == kMmtypeHostAction) {
            pendHostActionResponse(reply->source, reply->destination, 1);
        }
        if (row->shortCode != kNoCode) {
            errno = row->shortCode;
        }
        return -1;
    }
    return row->decode(view, reply);
}
