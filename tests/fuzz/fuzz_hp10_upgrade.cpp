// HomePlug 1.0 image and configuration files: the whole firmware upgrade
// through the secondary loader (upgradeHp10) with files taken from the input,
// against the emulator's loader.
//
// Input: a flags byte (bit 0 a configuration file is given, bit 1 the loader
// answers only at its own address, bit 2 the image path names a folder, bit 3
// the configuration path names a file that does not exist), a 2-byte length
// and that many configuration bytes, then the image bytes (at most 12 KiB).
//
// Invariants: the upgrade ends with a message box either way; when it reports
// success the loader holds exactly the image and the configuration sections
// the files hold (the sections zero-filled past the file's end, the option
// section only for a 960-byte file), and no error box was shown.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "harness.h"
#include "maintenance/hp10_upgrade.h"
#include "network/model.h"
#include "sim/network.h"
#include "ui/outcome_boxes.h"

namespace {

// The upgrade as the window runs it: its messages shown as boxes, 1 when upgraded.
int upgradeShown(const char* image, const char* config) {
    const Hp10UpgradeOutcome outcome = upgradeHp10(image, config);
    showOutcome(outcome);
    return outcome.upgraded ? 1 : 0;
}

const char kDevice[] = "00:04:87:00:00:20";

std::vector<uint8_t> section(const std::vector<uint8_t>& config, size_t offset, size_t length) {
    std::vector<uint8_t> padded(config);
    padded.resize(std::max<size_t>(padded.size(), 1024), 0);
    return {padded.begin() + static_cast<long>(offset),
            padded.begin() + static_cast<long>(offset + length)};
}

bool holds(const sim::Station& st, uint32_t module, const std::vector<uint8_t>& bytes) {
    auto it = st.loaderModules.find(module);
    return it != st.loaderModules.end() && it->second == bytes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzBench bench;
    FuzzInput in(data, size);
    uint8_t flags = in.byte();
    std::vector<uint8_t> config = in.take(in.le16() % 1200);
    std::vector<uint8_t> image = in.take(12 * 1024);

    // The station is made once (its images take longer than an upgrade).
    static const sim::Station prototype = [] {
        sim::Network made;
        sim::Station local = sim::Station::hp10(kDevice);
        local.local = true;
        return made.addStation(std::move(local));
    }();
    sim::Network net;
    sim::Station local = prototype;
    if (flags & 0x02)
        local.loaderAddress = sim::LoaderAddress::Loader;
    net.addStation(std::move(local));
    net.attach(bench.wire, bench.port);
    std::memcpy(scanStates[0].localMac, net.local().mac.data(), 6);

    std::string imagePath = fuzzFile("image.bin");
    std::string configPath = fuzzFile("config.bin");
    std::filesystem::remove_all(imagePath);
    writeFuzzFile(configPath, config);
    if (flags & 0x04)
        std::filesystem::create_directory(imagePath);
    else
        writeFuzzFile(imagePath, image);
    std::string configArg = (flags & 0x01) ? configPath : "";
    if (flags & 0x08)
        configArg = fuzzFile("missing.bin");

    int result = upgradeShown(imagePath.c_str(), configArg.c_str());
    FUZZ_CHECK(result == 0 || result == 1);
    FUZZ_CHECK(!bench.messages.shown.empty());
    if (result == 1) {
        const sim::Station& st = net.local();
        for (const RecordedMessage& m : bench.messages.shown)
            FUZZ_CHECK(m.icon != MessageIcon::Error);
        FUZZ_CHECK(holds(st, 0x100, image));
        if (!configArg.empty()) {
            FUZZ_CHECK(holds(st, 0x10, section(config, 0, 128)));
            FUZZ_CHECK(holds(st, 0x20, section(config, 128, 256)));
            if (config.size() == 960)
                FUZZ_CHECK(holds(st, 0x80, section(config, 448, 512)));
        }
    }
    net.detach();
    checkModelInvariants();
    return 0;
}
