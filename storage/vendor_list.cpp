#include "storage/vendor_list.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <sstream>

#include "network/model.h"
#include "platform/file_io.h"
#include "storage/preferences.h"

std::vector<VendorEntry> vendorTable;

namespace {

// A list of every registered OUI is a few megabytes; what lies beyond this is
// not read.
constexpr size_t kVendorListMaxBytes = 16u << 20;

uint32_t ouiKey(const uint8_t* oui) {
    return (uint32_t(oui[0]) << 16) | (uint32_t(oui[1]) << 8) | oui[2];
}

bool isSpace(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// One or two hexadecimal digits after optional blanks, like "%2X".
bool readHexByte(const std::string& s, size_t& pos, uint8_t& out) {
    while (pos < s.size() && isSpace(s[pos]))
        ++pos;
    int value = 0;
    int digits = 0;
    while (digits < 2 && pos < s.size() && hexDigitValue(s[pos]) >= 0) {
        value = value * 16 + hexDigitValue(s[pos]);
        ++pos;
        ++digits;
    }
    out = static_cast<uint8_t>(value);
    return digits > 0;
}

bool isBlank(const std::string& line) {
    return std::all_of(line.begin(), line.end(), isSpace);
}

} // namespace

bool parseVendorLine(const std::string& line, VendorEntry& out) {
    VendorEntry entry{};
    size_t pos = 0;
    for (uint8_t& b : entry.oui)
        if (!readHexByte(line, pos, b))
            return false;
    while (pos < line.size() && isSpace(line[pos]))
        ++pos;
    // The name is one word: it ends at a blank, and at a NUL byte, which no
    // text file holds and which would cut the name short when it is shown.
    size_t end = pos;
    while (end < line.size() && !isSpace(line[end]) && line[end] != '\0')
        ++end;
    if (end == pos)
        return false;
    size_t length = std::min(end - pos, sizeof entry.name - 1);
    std::memcpy(entry.name, line.data() + pos, length);
    std::replace(entry.name, entry.name + length, '_', ' ');
    out = entry;
    return true;
}

size_t loadVendorListFile(const std::string& path) {
    vendorTable.clear();
    // Read without blocking, so a FIFO at the path cannot hold the start-up.
    std::vector<uint8_t> bytes;
    if (readFileLimited(path, kVendorListMaxBytes, bytes).status != FileRead::Ok)
        return 0;
    std::istringstream in(std::string(bytes.begin(), bytes.end()));
    std::string line;
    while (std::getline(in, line)) {
        if (isBlank(line))
            continue;
        VendorEntry entry;
        if (!parseVendorLine(line, entry))
            break;
        vendorTable.push_back(entry);
    }
    std::stable_sort(
        vendorTable.begin(), vendorTable.end(),
        [](const VendorEntry& a, const VendorEntry& b) { return ouiKey(a.oui) < ouiKey(b.oui); });
    return vendorTable.size();
}

void loadVendorList() {
    loadVendorListFile(kVendorListFileName);
}

std::string vendorName(const uint8_t* mac) {
    if (std::memcmp(mac, preferences.oui, sizeof preferences.oui) == 0)
        return prefVendorName();
    uint32_t key = ouiKey(mac);
    auto it = std::lower_bound(vendorTable.begin(), vendorTable.end(), key,
                               [](const VendorEntry& e, uint32_t k) { return ouiKey(e.oui) < k; });
    if (it == vendorTable.end() || ouiKey(it->oui) != key)
        return kFallbackVendor;
    return std::string(it->name, strnlen(it->name, sizeof it->name));
}
