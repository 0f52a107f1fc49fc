// The device database file: loadDeviceDatabase on a file holding the input.
//
// Invariants: the load ends in one of its outcomes; the model's texts are
// terminated and its counts and indexes inside their tables afterwards; the
// list layout's column order is a permutation of the five columns; a short or
// corrupt file is moved aside, never left in place or emptied, and a file that
// loaded stays as it was.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "harness.h"
#include "network/model.h"
#include "storage/data_directory.h"
#include "storage/device_database.h"

namespace {

std::vector<uint8_t> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool isPermutation(const int32_t (&order)[kListColumns]) {
    bool seen[kListColumns] = {};
    for (int32_t c : order) {
        if (c < 0 || c >= kListColumns || seen[c])
            return false;
        seen[c] = true;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzBench bench;
    std::string folder = fuzzFile("data");
    std::filesystem::create_directories(folder);
    FUZZ_CHECK(chooseDataDirectory({folder, folder}).ready);
    std::string path = deviceDatabasePath();
    FUZZ_CHECK(!path.empty());
    std::filesystem::remove(path + ".bad");
    std::filesystem::remove(path + ".old");
    std::vector<uint8_t> file(data, data + size);
    writeFuzzFile(path, file);

    DatabaseLoad outcome = loadDeviceDatabase();
    checkModelInvariants();
    FUZZ_CHECK(isPermutation(deviceListLayout.columnOrder));
    switch (outcome) {
    case DatabaseLoad::Loaded:
        FUZZ_CHECK(deviceCount >= 1 && readBytes(path) == file);
        break;
    case DatabaseLoad::Recovered:
        FUZZ_CHECK(!std::filesystem::exists(path) && readBytes(path + ".bad") == file);
        break;
    case DatabaseLoad::OldVersion:
        FUZZ_CHECK(deviceCount == 0 && !std::filesystem::exists(path) &&
                   readBytes(path + ".old") == file);
        break;
    case DatabaseLoad::NewerVersion:
        FUZZ_CHECK(deviceCount == 0 && readBytes(path) == file);
        break;
    case DatabaseLoad::Unreadable:
        FUZZ_CHECK(false); // a regular file of this user can be read
        break;
    case DatabaseLoad::Missing:
        FUZZ_CHECK(false); // the file is there
        break;
    }
    return 0;
}
