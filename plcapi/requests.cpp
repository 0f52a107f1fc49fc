// The single-frame requests (version, network information, factory defaults,
// configuration block, set key) and the emission of the pending frame.
#include <cerrno>
#include <cstring>

#include "plcapi/plcapi.h"

namespace {

// Writes both headers and zeroes the payload up to byte 63. Returns 64, or 0
// with errno set by the header writers or ERANGE for a capacity below 64.
uint32_t putRequestFrame(const uint8_t* source, const uint8_t* destination, uint32_t capacity,
                         uint8_t* buffer, uint16_t mmtype) {
    if (plcapi_PutEthernetHeader(buffer, capacity, destination, source) == 0) {
        return 0;
    }
    if (plcapi_PutMmeHeader(buffer + 14, capacity - 14, mmtype) == 0) {
        return 0;
    }
    if (capacity < kMmeMinFrameLength) {
        errno = ERANGE;
        return 0;
    }
    std::memset(buffer + kMmeHeaderEnd, 0, kMmeMinFrameLength - kMmeHeaderEnd);
    return kMmeMinFrameLength;
}

} // namespace

uint32_t plcapi_RequestVersion(const uint8_t* source, const uint8_t* destination, uint32_t capacity,
                               uint8_t* buffer) {
    return putRequestFrame(source, destination, capacity, buffer, kMmtypeVersion);
}

uint32_t plcapi_RequestNetworkInfo(const uint8_t* source, const uint8_t* destination,
                                   uint32_t capacity, uint8_t* buffer) {
    return putRequestFrame(source, destination, capacity, buffer, kMmtypeNetworkInfo);
}

uint32_t plcapi_RequestFactoryDefaults(const uint8_t* source, const uint8_t* destination,
                                       uint32_t capacity, uint8_t* buffer) {
    return putRequestFrame(source, destination, capacity, buffer, kMmtypeFactoryDefaults);
}

uint32_t plcapi_ReadConfigurationBlock(const uint8_t* source, const uint8_t* destination,
                                       uint32_t capacity, uint8_t* buffer) {
    return putRequestFrame(source, destination, capacity, buffer, kMmtypeConfigurationBlock);
}

uint32_t plcapi_RequestSetKey(const uint8_t* source, const uint8_t* destination, uint32_t capacity,
                              uint8_t* buffer, const SetKeyInput* input) {
    if (input == nullptr) {
        errno = EFAULT;
        return 0;
    }
    uint32_t length = putRequestFrame(source, destination, capacity, buffer, kMmtypeSetKey);
    if (length == 0) {
        return 0;
    }
    buffer[20] = 0x01;
    if (input->selector != kSetKeySelectorLocal && input->selector != kSetKeySelectorRemote) {
        errno = EINVAL;
        return 0;
    }
    buffer[37] = input->selector;
    std::memcpy(buffer + 21, input->nmk, 16);
    std::memcpy(buffer + 38, input->remoteMac, 6);
    std::memcpy(buffer + 44, input->remoteDak, 16);
    return length;
}

uint32_t plcapi_NextFrame(uint32_t capacity, uint8_t* buffer) {
    PendingFrame& p = plcSequence.pending;
    if (buffer == nullptr) {
        errno = EFAULT;
        return 0;
    }
    if (p.pending == 0) {
        return 0;
    }
    if (p.fixedLength > sizeof p.fixed || p.trailerLength > sizeof p.trailer ||
        (p.dataLength != 0 && p.data == nullptr)) {
        errno = EFAULT;
        return 0;
    }
    uint64_t content =
        uint64_t{kMmeHeaderEnd} + p.fixedLength + uint64_t{p.dataLength} + p.trailerLength;
    uint64_t total = content < kMmeMinFrameLength ? kMmeMinFrameLength : content;
    if (total > capacity) {
        errno = ERANGE; // the frame stays pending for a larger buffer
        return 0;
    }
    p.pending = 0;
    plcapi_PutEthernetHeader(buffer, capacity, p.destination, p.source);
    plcapi_PutMmeHeader(buffer + 14, capacity - 14, p.mmtype);
    uint8_t* out = buffer + kMmeHeaderEnd;
    std::memcpy(out, p.fixed, p.fixedLength);
    out += p.fixedLength;
    if (p.dataLength != 0) {
        std::memcpy(out, p.data, p.dataLength);
        out += p.dataLength;
    }
    std::memcpy(out, p.trailer, p.trailerLength);
    if (content < total) {
        std::memset(buffer + content, 0, total - content);
    }
    return static_cast<uint32_t>(total);
}
