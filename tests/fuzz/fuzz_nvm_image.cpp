// Firmware images (.NVM): the header walk, then the image write that a
// firmware file starts (write memory mode sends the last block's image to its
// load address, write module mode the whole file), carried to its end by a
// cooperating device.
//
// Input: an options byte (bit 0 write module mode, bit 1 it ends with the
// commit), then the firmware file.
//
// Invariants: a header the walk returns lies wholly inside the file, verifies
// and ends the chain; a write starts only from a file the walk accepts (write
// memory mode); every block sent lies inside the file or the parameter block;
// the blocks of each module add up to exactly the image (the last block's
// image, or the whole file) and the parameter block; the transfer ends with
// its commit or start request.
#include <cstring>
#include <vector>

#include "av_peer.h"
#include "harness.h"
#include "plcapi/plcapi.h"
#include "support/image_builders.h"

namespace {

const std::vector<uint8_t>& parameterBlock() {
    static const std::vector<uint8_t> pib = makeValidPib33();
    return pib;
}

struct Sent {
    uint64_t firmware = 0;
    uint64_t parameters = 0;
};

// Emits the pending frame and checks where its data comes from.
uint16_t emit(const ExactBytes& file, Sent& sent) {
    const PendingFrame& p = plcSequence.pending;
    if (!p.pending)
        return 0;
    const uint8_t* fw = const_cast<ExactBytes&>(file).data();
    const uint8_t* pib = parameterBlock().data();
    if (p.dataLength != 0) {
        bool inFirmware = p.data >= fw && p.data + p.dataLength <= fw + file.size();
        bool inParameters = p.data >= pib && p.data + p.dataLength <= pib + parameterBlock().size();
        FUZZ_CHECK(inFirmware || inParameters);
        FUZZ_CHECK(p.dataLength <= kMmeBlockSize);
        if (inFirmware)
            sent.firmware += p.dataLength;
        else
            sent.parameters += p.dataLength;
    }
    uint16_t mmtype = p.mmtype;
    uint8_t out[kMmeFrameCapacity];
    uint32_t n = plcapi_NextFrame(sizeof out, out);
    FUZZ_CHECK(n >= kMmeMinFrameLength && n <= sizeof out);
    return mmtype;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    resetPlcapi();
    FuzzInput in(data, size);
    uint8_t options = in.byte();
    std::vector<uint8_t> bytes = in.rest();
    ExactBytes file(bytes);

    const uint8_t* last = plcapi_WalkNvmHeaders(file.data(), file.length());
    uint32_t lastImage = 0;
    if (last != nullptr) {
        FUZZ_CHECK(last >= file.data() &&
                   last + sizeof(NvmBlockHeader) <= file.data() + file.size());
        FUZZ_CHECK(Checksum32(11, last, 0) == 0);
        FUZZ_CHECK(plcapi_detail::getLe32(last + offsetof(NvmBlockHeader, nextHeader)) == 0);
        lastImage = plcapi_detail::getLe32(last + offsetof(NvmBlockHeader, imageLength));
    }

    bool moduleMode = options & 0x01;
    uint32_t flags =
        (moduleMode ? 0x20u : 0u) | ((options & 0x02) ? uint32_t{kSeqEndWithCommit} : 0u);
    const std::vector<uint8_t>& pib = parameterBlock();
    int rc = plcapi_StartImageWrite(kAvHostMac, kAvDeviceMac, file.length(), file.data(),
                                    static_cast<uint32_t>(pib.size()), pib.data(), flags);
    if (!moduleMode && rc == 0)
        FUZZ_CHECK(last != nullptr);
    Sent sent;
    uint16_t finalRequest = 0;
    for (int step = 0; rc == 0 && step < 64 + 16; ++step) {
        uint16_t mmtype = emit(file, sent);
        if (mmtype == kMmtypeCommitModules || mmtype == kMmtypeStartFirmware) {
            finalRequest = mmtype;
            break;
        }
        FUZZ_CHECK(mmtype == kMmtypeWriteModule || mmtype == kMmtypeWriteMemory);
        std::vector<uint8_t> f(64, 0);
        avStampHeader(f);
        plcapi_detail::putLe16(&f[15], static_cast<uint16_t>(mmtype | 1));
        avEchoWrite(f, static_cast<uint16_t>(mmtype | 1));
        ExactBytes confirmation(f);
        PlcReply reply;
        FUZZ_CHECK(plcapi_DecodeFrame(confirmation.length(), confirmation.data(), &reply) == 0);
    }
    if (rc == 0) {
        // 12 KiB of firmware takes 12 blocks, the parameter block 8.
        if (bytes.size() <= 48 * 1024)
            FUZZ_CHECK(finalRequest != 0);
        if (finalRequest != 0) {
            FUZZ_CHECK(sent.parameters == pib.size());
            FUZZ_CHECK(sent.firmware == (moduleMode ? bytes.size() : lastImage));
        }
    }
    resetPlcapi();
    return 0;
}
