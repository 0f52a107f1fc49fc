// The client's reading of the capture helper's messages
// (parseHelperMessage): a helper of another version, or one that misbehaves,
// must not crash halyard.
//
// Invariants: an accepted message is of a known type; a frame lies inside the
// message and holds 1..1514 bytes; an interface list holds at most eight
// entries, each named by 1..15 bytes, with a description of at most 255; an
// error's text is at most 200 bytes.
#include <vector>

#include "capture/protocol.h"
#include "harness.h"
#include "packet/helper_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> message(data, data + size);
    HelperMessage m;
    if (!parseHelperMessage(message.data(), message.size(), m))
        return 0;
    FUZZ_CHECK(size >= HC_HEADER_SIZE);
    switch (m.type) {
    case HC_FRAME:
        FUZZ_CHECK(m.frame == message.data() + HC_HEADER_SIZE);
        FUZZ_CHECK(m.frameLength >= 1 && m.frameLength <= HC_MAX_CAPTURE);
        FUZZ_CHECK(m.frameLength == size - HC_HEADER_SIZE);
        break;
    case HC_INTERFACES:
        FUZZ_CHECK(m.interfaces.size() <= HC_MAX_INTERFACES);
        for (const HelperMessage::Interface& i : m.interfaces) {
            FUZZ_CHECK(!i.name.empty() && i.name.size() <= HC_MAX_NAME);
            FUZZ_CHECK(i.description.size() <= HC_MAX_DESCRIPTION);
        }
        break;
    case HC_ERROR:
        FUZZ_CHECK(m.errorText.size() <= HC_MAX_ERROR_TEXT);
        break;
    case HC_HELLO:
    case HC_OPENED:
    case HC_CLOSED:
    case HC_FAULT:
        FUZZ_CHECK(size == HC_HEADER_SIZE);
        break;
    default:
        FUZZ_CHECK(false);
    }
    return 0;
}
