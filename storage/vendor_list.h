#pragma once
// The vendor list OUIList.txt: lines "HHHHHH<tab>Name", the first three bytes of
// a MAC address in hexadecimal and the vendor name as one word in which "_"
// stands for a blank. halyard reads it once when the Main page is created; the
// diagnostics report names each device's vendor through vendorName().
#include <cstdint>
#include <string>
#include <vector>

inline constexpr const char* kVendorListFileName = "OUIList.txt";
// The vendor named for an OUI that the list does not hold.
inline constexpr const char* kFallbackVendor = "Varnel";

#pragma pack(push, 1)
struct VendorEntry {
    uint8_t oui[3];
    char name[12]; // at most 11 characters; longer names are cut
};
#pragma pack(pop)
static_assert(sizeof(VendorEntry) == 15);

// Sorted by ascending OUI; emptied by resetPreferences().
extern std::vector<VendorEntry> vendorTable;

// Reads "OUIList.txt" of the current directory into vendorTable.
void loadVendorList();
// The same for the file at `path`. A missing file leaves the table empty.
// Every line is read up to the first one that is not "HHHHHH<whitespace>Name"
// (blank lines are skipped). The table is sorted afterwards, so a list that is
// not in order still finds every OUI. Returns the number of entries.
size_t loadVendorListFile(const std::string& path);

// Parses one line; false when it is not a vendor line.
bool parseVendorLine(const std::string& line, VendorEntry& out);

// The vendor of the first three bytes of `mac`: the preferences' own vendor
// name for the preferences' OUI, else the listed name, else "Varnel".
std::string vendorName(const uint8_t* mac);
