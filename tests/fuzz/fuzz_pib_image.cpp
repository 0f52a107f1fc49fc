// Parameter blocks (.PIB): PibImage's validation, MAC and NMK access and the
// rechecksum, on a block of exactly the input's bytes (after a 6-byte MAC).
//
// Invariants: each operation returns one of its documented codes; a block that
// validates is a 7992-byte version 3.3 block; a successful rechecksum leaves a
// block whose checksum verifies over its declared length; setMac writes the
// MAC at 12 and nothing else.
#include <cstring>
#include <vector>

#include "harness.h"
#include "plcapi/bytes.h"
#include "plcapi/plcapi.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    std::vector<uint8_t> mac = in.take(6);
    mac.resize(6, 0);
    std::vector<uint8_t> bytes = in.rest();
    ExactBytes block(bytes);

    PibImage pib;
    int attached = pib.attach(block.data(), block.length());
    FUZZ_CHECK(attached == kPibOk || attached == kPibSectionFailed ||
               attached == kPibNotVersion33 || attached == kPibBadLength);
    FUZZ_CHECK((attached == kPibOk) == (pib.validated() == 1));
    if (attached == kPibOk) {
        FUZZ_CHECK(block.size() >= kPibLength33 && bytes[0] == 3 && bytes[1] == 3);
        FUZZ_CHECK(plcapi_detail::getLe16(block.data() + 4) == kPibLength33);
    }

    uint8_t nmk[16] = {};
    int got = pib.getNmk(nmk);
    FUZZ_CHECK(got == kPibOk || got == kPibVersionTooOld || got == kPibBadLength);
    if (got == kPibOk)
        FUZZ_CHECK(std::memcmp(nmk, block.data() + 100, 16) == 0);

    std::vector<uint8_t> before(block.data(), block.data() + block.size());
    int set = pib.setMac(mac.data());
    FUZZ_CHECK(set == kPibOk || set == kPibVersionTooOld || set == kPibMacRefused ||
               set == kPibBadLength);
    for (size_t i = 0; i < block.size(); ++i) {
        bool macByte = set == kPibOk && i >= 12 && i < 18;
        FUZZ_CHECK(block.data()[i] == (macByte ? mac[i - 12] : before[i]));
    }

    int re = pib.rechecksum(block.data(), block.length());
    FUZZ_CHECK(re == kPibOk || re == kPibSectionFailed || re == kPibNotVersion33 ||
               re == kPibBadLength);
    if (re < 4) {
        uint32_t length = plcapi_detail::getLe16(block.data() + 4);
        FUZZ_CHECK(length <= block.size() && length <= kPibMaxChecksumLength);
        if (length >= 12)
            FUZZ_CHECK(Checksum32(length / 4, block.data(), 0) == 0);
        // The rechecksummed block validates as it did before.
        FUZZ_CHECK(re == pib.validate());
    }
    pib.release();
    FUZZ_CHECK(pib.block() == nullptr && pib.validated() == 0);
    return 0;
}
