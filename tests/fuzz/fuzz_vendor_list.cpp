// OUIList.txt: loadVendorListFile on a file holding the input, and
// parseVendorLine on each of its lines.
//
// Invariants: the table holds no more entries than the file has lines, is
// sorted by OUI, and every name is terminated, non-empty, at most 11
// characters and free of "_" (which stands for a blank); every listed OUI
// finds a vendor name; a line that parses gives a terminated, non-empty name.
#include <cstring>
#include <string>
#include <vector>

#include "harness.h"
#include "storage/preferences.h"
#include "storage/vendor_list.h"

namespace {

uint32_t key(const uint8_t* oui) {
    return (uint32_t{oui[0]} << 16) | (uint32_t{oui[1]} << 8) | oui[2];
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzBench bench;
    std::string path = fuzzFile(kVendorListFileName);
    writeFuzzFile(path, std::vector<uint8_t>(data, data + size));

    size_t count = loadVendorListFile(path);
    FUZZ_CHECK(count == vendorTable.size());
    size_t lines = 1;
    for (size_t i = 0; i < size; ++i)
        lines += data[i] == '\n' ? 1 : 0;
    FUZZ_CHECK(count <= lines);
    for (size_t i = 0; i < vendorTable.size(); ++i) {
        const VendorEntry& e = vendorTable[i];
        FUZZ_CHECK(terminated(e.name));
        size_t n = std::strlen(e.name);
        FUZZ_CHECK(n >= 1 && n <= 11);
        FUZZ_CHECK(std::memchr(e.name, '_', n) == nullptr);
        if (i > 0)
            FUZZ_CHECK(key(vendorTable[i - 1].oui) <= key(e.oui));
        uint8_t mac[6] = {e.oui[0], e.oui[1], e.oui[2], 0x12, 0x34, 0x56};
        if (std::memcmp(e.oui, preferences.oui, 3) == 0)
            continue; // the brand's own OUI is named by the preferences
        std::string name = vendorName(mac);
        FUZZ_CHECK(!name.empty() && name.size() <= 11);
    }

    std::string text(reinterpret_cast<const char*>(data), size);
    size_t start = 0;
    for (int line = 0; line < 64 && start <= text.size(); ++line) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        VendorEntry entry{};
        if (parseVendorLine(text.substr(start, end - start), entry)) {
            FUZZ_CHECK(terminated(entry.name) && entry.name[0] != '\0');
        }
        start = end + 1;
    }
    return 0;
}
