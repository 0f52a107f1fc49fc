// The common frame header of HomePlug AV management messages and the block
// checksum every transfer and image file uses.
#include <cerrno>
#include <cstring>

#include "plcapi/bytes.h"
#include "plcapi/plcapi.h"

using namespace plcapi_detail;

const char plcapiIdentification[] = "Morvanta HomePlug AV API Version 2.1.3.1";

uint32_t plcapi_PutEthernetHeader(uint8_t* buffer, uint32_t capacity, const uint8_t* destination,
                                  const uint8_t* source) {
    if (buffer == nullptr || destination == nullptr || source == nullptr) {
        errno = EFAULT;
        return 0;
    }
    if (capacity < 14) {
        std::memset(buffer, 0, capacity);
        errno = ERANGE;
        return 0;
    }
    std::memcpy(buffer, destination, 6);
    std::memcpy(buffer + 6, source, 6);
    buffer[12] = static_cast<uint8_t>(kMmeEtherType >> 8);
    buffer[13] = static_cast<uint8_t>(kMmeEtherType & 0xFF);
    return 14;
}

uint32_t plcapi_PutMmeHeader(uint8_t* buffer, uint32_t capacity, uint16_t mmtype) {
    if (buffer == nullptr) {
        errno = EFAULT;
        return 0;
    }
    if (capacity < 6) {
        std::memset(buffer, 0, capacity);
        errno = ERANGE;
        return 0;
    }
    buffer[0] = kMmeMmv;
    putLe16(buffer + 1, mmtype);
    std::memcpy(buffer + 3, kMmeVendorOui, 3);
    return 6;
}

uint32_t Checksum32(uint32_t count, const void* words, uint32_t initial) {
    const auto* p = static_cast<const uint8_t*>(words);
    uint32_t sum = initial;
    for (uint32_t i = 0; i < count; ++i) {
        sum ^= getLe32(p + 4 * static_cast<size_t>(i));
    }
    return ~sum;
}
