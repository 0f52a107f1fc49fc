// OEMPrefs.dat: readPreferencesFile on a file holding the input, then the
// values other parts take from it.
//
// Invariants: the file is read, never rewritten; the scan interval is at least
// 1 s and the automatic scan's tick count positive and matching it; the texts
// come back no longer than their fields; the database file named after the
// application name lies directly in the data folder; the vendor name of the
// brand's own OUI is the preferences' vendor name.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "harness.h"
#include "network/auto_scan.h"
#include "network/model.h"
#include "storage/data_directory.h"
#include "storage/preferences.h"
#include "storage/vendor_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzBench bench;
    std::string path = fuzzFile(kPrefsFileName);
    std::vector<uint8_t> file(data, data + size);
    writeFuzzFile(path, file);

    PreferencesRead read = readPreferencesFile(path);
    FUZZ_CHECK(read);
    {
        std::ifstream in(path, std::ios::binary);
        std::vector<uint8_t> after{std::istreambuf_iterator<char>(in),
                                   std::istreambuf_iterator<char>()};
        FUZZ_CHECK(after == file);
    }
    FUZZ_CHECK(preferences.scanInterval >= 1);
    FUZZ_CHECK(preferenceIntervalTicks() > 0 && read.intervalTicks == preferenceIntervalTicks());
    FUZZ_CHECK(read.autoScan == (preferences.autoScan != 0));
    FUZZ_CHECK(prefAppName().size() <= sizeof preferences.appName);
    FUZZ_CHECK(prefWebAddress().size() <= sizeof preferences.webAddress);
    FUZZ_CHECK(prefCopyright().size() <= sizeof preferences.copyright);
    FUZZ_CHECK(prefVendorName().size() <= sizeof preferences.vendorName);

    std::string folder = fuzzFile("data");
    std::filesystem::create_directories(folder);
    FUZZ_CHECK(chooseDataDirectory({folder, folder}).ready);
    std::string database = deviceDatabasePath();
    FUZZ_CHECK(database.size() > folder.size() + 1 &&
               database.compare(0, folder.size(), folder) == 0);
    FUZZ_CHECK(database[folder.size()] == '/');
    FUZZ_CHECK(database.find('/', folder.size() + 1) == std::string::npos);
    FUZZ_CHECK(database.find('\0') == std::string::npos);

    uint8_t mac[6] = {preferences.oui[0], preferences.oui[1], preferences.oui[2], 0, 0, 1};
    FUZZ_CHECK(vendorName(mac) == prefVendorName());
    return 0;
}
