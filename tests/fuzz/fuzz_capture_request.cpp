// The capture helper's reading of a client's message (hc_parse_request) and
// its check of a frame to send (hc_check_send_frame): whatever a client of
// another version, or a hostile one, sends to the one program that holds a
// right.
//
// Invariants: an accepted request is one of the four types, its body lies
// inside the message, and its lengths are the protocol's (open: a name of
// 1..15 bytes without NUL or "/"; send: 60..1518 bytes and a handle; close:
// a handle; enumerate: nothing); a frame accepted for sending carries one of
// the two HomePlug EtherTypes.
#include <cstring>
#include <vector>

#include "capture/protocol.h"
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy of exactly the bytes that arrived, so that a read past them is caught.
    std::vector<uint8_t> message(data, data + size);
    hc_request r{};
    const char* refused = hc_parse_request(message.data(), message.size(), &r);
    if (refused != nullptr) {
        FUZZ_CHECK(std::strlen(refused) > 0);
        return 0;
    }
    FUZZ_CHECK(r.body == message.data() + HC_HEADER_SIZE);
    FUZZ_CHECK(r.body_length == size - HC_HEADER_SIZE);
    switch (r.type) {
    case HC_ENUMERATE:
        FUZZ_CHECK(r.body_length == 0);
        break;
    case HC_OPEN:
        FUZZ_CHECK(r.body_length >= 1 && r.body_length <= HC_MAX_NAME);
        FUZZ_CHECK(std::memchr(r.body, 0, r.body_length) == nullptr);
        break;
    case HC_SEND: {
        FUZZ_CHECK(r.handle != 0);
        FUZZ_CHECK(r.body_length >= HC_MIN_SEND && r.body_length <= HC_MAX_SEND);
        if (hc_check_send_frame(r.body, r.body_length) == nullptr) {
            const uint16_t type = static_cast<uint16_t>(r.body[12] << 8 | r.body[13]);
            FUZZ_CHECK(type == HC_ETHERTYPE_AV || type == HC_ETHERTYPE_HP10);
        }
        break;
    }
    case HC_CLOSE:
        FUZZ_CHECK(r.handle != 0 && r.body_length == 0);
        break;
    default:
        FUZZ_CHECK(false);
    }
    return 0;
}
