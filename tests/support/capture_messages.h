#pragma once
// One message of the capture helper's protocol, as a test builds it: the
// 4-byte header (type, zero, handle in the machine's order) and the body.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "capture/protocol.h"

inline std::vector<uint8_t> captureMessage(uint8_t type, uint16_t handle,
                                           const std::vector<uint8_t>& body = {}) {
    std::vector<uint8_t> m(HC_HEADER_SIZE + body.size(), 0);
    m[0] = type;
    std::memcpy(m.data() + 2, &handle, 2);
    std::copy(body.begin(), body.end(), m.begin() + HC_HEADER_SIZE);
    return m;
}
