#include "harness.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "diagnostics/scan_log.h"
#include "network/model.h"
#include "packet/packet.h"
#include "support/core_bench.h"
#include "ui/outcome_boxes.h"

void fuzzFail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "fuzz invariant violated: %s (%s:%d)\n", what, file, line);
    std::fflush(stderr);
    std::abort();
}

uint8_t FuzzInput::byte() {
    return pos_ < size_ ? data_[pos_++] : 0;
}

uint16_t FuzzInput::le16() {
    uint16_t low = byte();
    return static_cast<uint16_t>(low | (byte() << 8));
}

uint32_t FuzzInput::le32() {
    uint32_t low = le16();
    return low | (uint32_t{le16()} << 16);
}

std::vector<uint8_t> FuzzInput::take(size_t count) {
    size_t n = count < remaining() ? count : remaining();
    std::vector<uint8_t> out(data_ + pos_, data_ + pos_ + n);
    pos_ += n;
    return out;
}

bool FuzzInput::record(std::vector<uint8_t>& out, size_t max) {
    if (empty()) {
        return false;
    }
    size_t length = le16();
    out = take(length < max ? length : max);
    return true;
}

ExactBytes::ExactBytes(const std::vector<uint8_t>& bytes)
    : ExactBytes(bytes.data(), bytes.size()) {}

ExactBytes::ExactBytes(const uint8_t* data, size_t size)
    : bytes_(new uint8_t[size == 0 ? 1 : size]), size_(size) {
    if (size != 0) {
        std::memcpy(bytes_.get(), data, size);
    }
}

namespace {

void checkRemote(const RemoteDevice& slot) {
    FUZZ_CHECK(terminated(slot.vendor) && terminated(slot.product) && terminated(slot.version) &&
               terminated(slot.keyLabel));
    FUZZ_CHECK(!slot.active || macIsSet(slot.mac));
}

} // namespace

void checkModelInvariants() {
    FUZZ_CHECK(terminated(turboVendor) && terminated(turboProduct) && terminated(turboVersion) &&
               terminated(turboFirmware));
    FUZZ_CHECK(terminated(avKeyLabel) && terminated(hp10KeyLabel) && terminated(matchedKeyLabel));
    FUZZ_CHECK(currentInterface >= 0 && currentInterface < kMaxInterfaces);
    FUZZ_CHECK(interfaceCount >= 0 && interfaceCount <= kMaxInterfaces);
    FUZZ_CHECK(deviceCount >= 0 && deviceCount <= kMaxDeviceEntries);
    for (const InterfaceEntry& entry : interfaceTable) {
        FUZZ_CHECK(terminated(entry.description));
    }
    for (const NetworkRecord& record : networkRecords) {
        FUZZ_CHECK(terminated(record.keyLabel));
        for (const RemoteDevice& slot : record.remotes) {
            checkRemote(slot);
        }
    }
    for (const DeviceEntry& entry : deviceTable) {
        FUZZ_CHECK(terminated(entry.name) && terminated(entry.password) &&
                   terminated(entry.keyLabel));
    }
}

namespace {

struct FuzzDirectory {
    // In memory when the machine has a tmpfs at /dev/shm: a target rewrites its
    // files for every input, and a disk file system flushes each rewrite.
    FuzzDirectory() {
        std::error_code ec;
        std::filesystem::path base = std::filesystem::is_directory("/dev/shm", ec)
                                         ? std::filesystem::path("/dev/shm")
                                         : std::filesystem::temp_directory_path();
        std::string pattern = (base / "halyard-fuzz-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        path = pattern;
    }
    ~FuzzDirectory() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string path;
};

} // namespace

const std::string& fuzzDirectory() {
    static FuzzDirectory directory;
    return directory.path;
}

std::string fuzzFile(const char* name) {
    return fuzzDirectory() + "/" + name;
}

void writeFuzzFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    FUZZ_CHECK(out.good());
}

FuzzBench::FuzzBench() {
    resetCore();
    setSystemClock(&clock);
    setPacketDriver(&wire);
    setMessageSink(&messages);
    installOutcomeSinks();
    setScanTimer(&timer);
    setLogDirectory(fuzzDirectory());
    MemoryWire::Port eth0;
    eth0.name = "eth0";
    eth0.description = "eth0";
    std::memcpy(eth0.mac, kFuzzHostMac, 6);
    port = wire.addPort(eth0);
    openAllInterfaces();
    currentInterface = 0;
}

FuzzBench::~FuzzBench() {
    closeAllInterfaces();
    setLocalDeviceObserver(nullptr);
    resetCore();
    setScanTimer(nullptr);
    setPacketDriver(nullptr);
    removeOutcomeSinks();
    setMessageSink(nullptr);
    setSystemClock(nullptr);
}
