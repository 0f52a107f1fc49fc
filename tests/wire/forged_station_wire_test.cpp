// A second station on the powerline that pretends to be the local adapter,
// over a real veth pair with plcsim on the far side and real time. halyard
// first meets the network without it; then plcsim serves the same network with
// a neighbour's adapter that forges the local adapter's answers (the Turbo key
// and firmware answers among them) from its own MAC, sends local-device markers
// and self-addressed statistics. A cycle and a scan later, what halyard shows
// and what it stores in the device database are what they were.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "diagnostics/scan_log.h"
#include "network/auto_scan.h"
#include "network/hp10_frames.h"
#include "network/model.h"
#include "network/scan.h"
#include "packet/packet.h"
#include "platform/clock.h"
#include "storage/data_directory.h"
#include "storage/device_database.h"
#include "support/core_bench.h"
#include "support/netns.h"
#include "support/network_snapshot.h"
#include "support/temp_dir.h"

namespace {

const char* const kHostMac = "02:48:59:00:00:41";

std::string scenario(const std::string& neighbourExtra) {
    return R"({"name": "forged", "stations": [
  {"family": "turbo", "mac": "00:04:87:00:01:10", "local": true, "vendor": "Eastfield",
   "product": "Turbo Ethernet Adapter", "firmware": "TURBO-MAC-0001-3-1"},
  {"family": "turbo", "mac": "00:04:87:00:01:11", "vendor": "Eastfield", "product": "Wall Plug"},
  {"family": "turbo", "mac": "00:04:87:00:09:99", "networkPassword": "NeighbourNet",
   "vendor": "Forgery Inc", "product": "Lookalike", "firmware": "INT5500MAC-0-01.5.0")" +
           neighbourExtra + R"(}
]})";
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The stored device entries: the database file from its entry count on.
std::string storedEntries() {
    if (!saveDeviceDatabase())
        return "(not saved)";
    std::string file = readFile(deviceDatabasePath());
    return file.size() > kDbDeviceCountOffset ? file.substr(kDbDeviceCountOffset) : file;
}

// One cycle at the window timer's pace (it ends with a full scan), then a scan.
void cycleAndScan() {
    for (int n = 0; n < 10; ++n) {
        timerTick();
        sleepMs(kTimerPeriodMs);
    }
    EXPECT_TRUE(scanNetwork());
}

TEST(ForgedStationWire, ForgedTurboAnswersAndLocalMarkersChangeNothingShownOrStored) {
    HALYARD_REQUIRE_NETNS();
    NetnsPair::Options options;
    options.hostMac = kHostMac;
    NetnsPair net(options);
    ASSERT_TRUE(net.ok()) << net.error();
    TempDir dir;
    const std::string plain = dir.file("plain.json");
    const std::string forged = dir.file("forged.json");
    writeFile(plain, scenario(""));
    writeFile(forged, scenario(R"(, "forges": ["answers", "markers", "selfAddressed"])"));
    auto serve = [&](const std::string& file, const char* log) {
        return net.spawn(NetnsPair::Plc,
                         {PLCSIM_PATH, "--verbose", "--interface", net.ifName(NetnsPair::Plc),
                          "--scenario", file},
                         dir.file(log));
    };

    ManualScanTimer timer;
    NetworkSnapshot before;
    std::string storedBefore;
    {
        NetnsProcess emulator = serve(plain, "plain.log");
        ASSERT_TRUE(emulator.running());
        net.runIn(NetnsPair::Host, [&] {
            resetCore();
            setLogDirectory(dir.path());
            DataDirectoryPlaces places{dir.path(), dir.path()};
            ASSERT_TRUE(chooseDataDirectory(places).ready);
            setScanTimer(&timer);
            bool found = false;
            for (int attempt = 0; attempt < 10 && !found; ++attempt) {
                found = startAutoScan(20, 3, true);
                if (!found)
                    sleepMs(500);
            }
            ASSERT_TRUE(found);
            cycleAndScan();
            before = networkSnapshot();
            storedBefore = storedEntries();
            closeAllInterfaces();
        });
        emulator.stop();
    }
    ASSERT_EQ("00:04:87:00:01:10", before.localMac);
    ASSERT_EQ("HomePlug", before.keyLabel);

    NetnsProcess emulator = serve(forged, "forged.log");
    ASSERT_TRUE(emulator.running());
    NetworkSnapshot after;
    std::string storedAfter;
    net.runIn(NetnsPair::Host, [&] {
        // plcsim may still be opening its interface.
        for (int attempt = 0; attempt < 10 && !scanNetwork(); ++attempt)
            sleepMs(500);
        cycleAndScan();
        cycleAndScan();
        after = networkSnapshot();
        storedAfter = storedEntries();
        setScanTimer(nullptr);
        resetAutoScan();
        closeAllInterfaces();
        setLocalDeviceObserver(nullptr);
    });
    emulator.stop();

    const std::string log = readFile(dir.file("forged.log"));
    EXPECT_NE(std::string::npos, log.find("forging station 00:04:87:00:09:99 sent entry 0x13"))
        << "the neighbour forged the Turbo read answers:\n"
        << log;
    EXPECT_NE(std::string::npos, log.find("forging station 00:04:87:00:09:99 sent entry 0x1E"))
        << log;
    EXPECT_EQ(before, after);
    EXPECT_EQ(storedBefore, storedAfter) << "the stored device entries are the same";
}

} // namespace
