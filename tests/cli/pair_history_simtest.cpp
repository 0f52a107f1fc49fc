// Pair rates in the link history, against the emulator's four-adapter network
// with its asymmetric matrix (sim/scenarios/map.json), in virtual time: while
// the map is wanted every cycle records each pair the map learned beside the
// local adapter's links; a silent adapter gives no rows (never zeros); nothing
// wants the map, nothing is recorded for pairs; `halyardctl history --from
// --to` reads one direction back, with names from the device database.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <sqlite3.h>
#include <sstream>

#include "cli/halyardctl.h"
#include "network/cycle_consumers.h"
#include "network/network_map.h"
#include "sim/network.h"
#include "storage/device_database.h"
#include "storage/history_recorder.h"
#include "support/emulated_halyard.h"
#include "support/halyardctl_in_process.h"
#include "support/home_scenario.h"
#include "ui/main_page_logic.h"
#include "ui/shell.h"

namespace {

using nlohmann::json;

using namespace map_json;
constexpr int64_t kDay0 = 1772323200; // 2026-03-01T00:00:00Z
constexpr int kInterval = 30;         // seconds

const auto& kMatrix = matrix();

std::string macText(int64_t value) {
    uint8_t mac[6];
    integerToMac(value, mac);
    return formatMac(mac);
}

using Result = CtlRun;

class PairHistory : public ::testing::Test {
  protected:
    EmulatedHalyard h;
    sim::Network* net = nullptr;
    std::string path;
    int cycles = 0;
    int counter = 0;

    void SetUp() override {
        PrefsFile prefs = EmulatedHalyard::defaultPreferences();
        prefs.scanInterval = kInterval;
        h.writePreferences(prefs);
        net = &h.attachScenario("map.json");
        path = h.dir.file("state/halyard/history.sqlite3");
        h.clock.setUtcMs(kDay0 * 1000);
        ASSERT_TRUE(startShell(h.workingFolder()));
        ASSERT_TRUE(createMainPage(h.setup(), nullptr));
        startHistoryRecording(path);
        counter = addCycleConsumer(CyclePhase::Record, [this](const CycleEnd&) { ++cycles; });
    }
    void TearDown() override {
        stopHistoryRecording();
        removeCycleConsumer(counter);
    }
    void runCycle() {
        const int before = cycles;
        for (int n = 0; n < 2 * kInterval * 20 && cycles == before; ++n)
            h.tick(1);
        ASSERT_EQ(before + 1, cycles);
    }
    Result history(std::vector<std::string> args) {
        halyardctl::Environment env;
        env.historyPath = path;
        args.insert(args.begin(), "history");
        return runHalyardctl(h, args, env);
    }

    // Every recorded rate, (from, to, time) -> Mbit/s, links and pairs alike:
    // a link is the local adapter's rate to its remote.
    std::map<std::tuple<std::string, std::string, int64_t>, double> recorded() {
        std::map<std::tuple<std::string, std::string, int64_t>, double> out;
        sqlite3* db = nullptr;
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_stmt* s = nullptr;
        EXPECT_EQ(SQLITE_OK, sqlite3_prepare_v2(db,
                                                "SELECT l.local_mac, l.remote_mac, s.t, s.rate "
                                                "FROM samples s JOIN link l ON l.id = s.link",
                                                -1, &s, nullptr));
        while (sqlite3_step(s) == SQLITE_ROW)
            out[{macText(sqlite3_column_int64(s, 0)), macText(sqlite3_column_int64(s, 1)),
                 sqlite3_column_int64(s, 2)}] = sqlite3_column_double(s, 3);
        sqlite3_finalize(s);
        sqlite3_close(db);
        return out;
    }
    // The times of the recorded cycles.
    std::vector<int64_t> times() {
        std::vector<int64_t> out;
        for (const auto& [key, rate] : recorded())
            if (std::find(out.begin(), out.end(), std::get<2>(key)) == out.end())
                out.push_back(std::get<2>(key));
        std::sort(out.begin(), out.end());
        return out;
    }
};

} // namespace

TEST_F(PairHistory, WhileTheMapIsWantedEveryCycleRecordsTheMatrixBesideTheLinks) {
    runCycle(); // nothing wants the map: links only
    {
        NetworkMapWant want;
        runCycle();
        runCycle();
    }
    runCycle(); // nobody looks any more: links only again
    ASSERT_TRUE(historyRecorderStatus().recording) << historyRecorderStatus().note;

    const auto rates = recorded();
    const std::vector<int64_t> t = times();
    ASSERT_EQ(4u, t.size());
    for (size_t k = 0; k < t.size(); ++k) {
        const bool mapped = k == 1 || k == 2;
        for (const auto& [pair, mbps] : kMatrix) {
            auto at = rates.find({pair.first, pair.second, t[k]});
            // The local adapter's row is its links, recorded every cycle.
            if (mapped || pair.first == kStudy) {
                ASSERT_NE(at, rates.end()) << pair.first << " -> " << pair.second << " cycle " << k;
                EXPECT_EQ(mbps, at->second) << pair.first << " -> " << pair.second;
            } else {
                EXPECT_EQ(at, rates.end()) << pair.first << " -> " << pair.second << " cycle " << k;
            }
        }
    }
    // 3 links + 9 pairs, nothing else: no pair of an adapter with itself.
    EXPECT_EQ(3 * 4 + 9 * 2, static_cast<int>(rates.size()));
    EXPECT_EQ(0, std::count_if(rates.begin(), rates.end(), [](const auto& r) {
                  return std::get<0>(r.first) == std::get<1>(r.first) || r.second <= 0;
              }));
}

TEST_F(PairHistory, ASilentAdapterGivesNoRowsNotZerosAndNoDropOut) {
    NetworkMapWant want;
    runCycle();
    // Kitchen stops answering the map's request, but stays on the network and
    // in the list (it answers the local adapter's scan as before).
    sim::Fault ignore;
    ignore.kind = sim::Fault::Kind::Ignore;
    ignore.match = 0xA038;
    net->station(kKitchen).faults.push_back(ignore);
    runCycle();
    const auto rates = recorded();
    const std::vector<int64_t> t = times();
    ASSERT_EQ(2u, t.size());
    for (const auto& [pair, mbps] : kMatrix) {
        auto at = rates.find({pair.first, pair.second, t[1]});
        if (pair.first == kKitchen) {
            EXPECT_EQ(at, rates.end()) << "an unknown rate is not recorded";
        } else {
            ASSERT_NE(at, rates.end()) << pair.first << " -> " << pair.second;
            EXPECT_EQ(mbps, at->second);
        }
    }
    EXPECT_EQ(
        0, std::count_if(rates.begin(), rates.end(), [](const auto& r) { return r.second <= 0; }));
    // The gap is a gap: no drop-out is invented for a pair.
    Result r = history({"--from", kKitchen, "--to", kLounge, "--json", "--since",
                        "2026-03-01T00:00:00Z", "--until", "2026-03-02T00:00:00Z"});
    ASSERT_EQ(0, r.code) << r.err;
    const json doc = json::parse(r.out);
    ASSERT_EQ(1u, doc["links"].size());
    EXPECT_EQ(1u, doc["links"][0]["points"].size());
    EXPECT_TRUE(doc["links"][0]["drop_outs"].empty());
}

TEST_F(PairHistory, HistoryFromToReadsOneDirectionWithBothNames) {
    {
        NetworkMapWant want;
        for (int k = 0; k < 3; ++k)
            runCycle();
    }
    ASSERT_FALSE(HasFatalFailure());
    // Names live in the device database, never in the history: named now,
    // they show for samples recorded before.
    for (const auto& [mac, name] : std::map<std::string, std::string>{
             {kStudy, "Study"}, {kLounge, "Lounge"}, {kKitchen, "Kitchen"}, {kGarage, "Garage"}}) {
        uint8_t bytes[6];
        ASSERT_TRUE(parseMac(mac.c_str(), bytes));
        const int entry = findDeviceEntry(bytes);
        ASSERT_GT(entry, 0) << mac;
        DeviceEntry& e = deviceTable[entry - 1];
        std::memset(e.name, 0, sizeof e.name);
        std::memcpy(e.name, name.data(), name.size());
    }
    ASSERT_TRUE(saveDeviceDatabase());
    const std::vector<std::string> span = {"--since", "2026-03-01T00:00:00Z", "--until",
                                           "2026-03-02T00:00:00Z"};
    auto ask = [&](std::vector<std::string> args) {
        args.insert(args.end(), span.begin(), span.end());
        return history(args);
    };

    Result lounge = ask({"--from", kLounge, "--to", kKitchen, "--json"});
    ASSERT_EQ(0, lounge.code) << lounge.err;
    json doc = json::parse(lounge.out);
    ASSERT_EQ(1u, doc["links"].size()) << doc.dump(2);
    const json& row = doc["links"][0];
    EXPECT_EQ(kLounge, row["from"]);
    EXPECT_EQ(kKitchen, row["to"]);
    EXPECT_EQ("Lounge", row["from_name"]);
    EXPECT_EQ("Kitchen", row["to_name"]);
    EXPECT_EQ("eth0", row["interface"]);
    ASSERT_EQ(3u, row["points"].size());
    for (const json& p : row["points"])
        EXPECT_DOUBLE_EQ(200, p["mean_mbps"].get<double>());

    // The other direction is its own rate.
    Result back = ask({"--from", kKitchen, "--to", kLounge, "--summary", "--json"});
    ASSERT_EQ(0, back.code) << back.err;
    doc = json::parse(back.out);
    ASSERT_EQ(1u, doc["links"].size());
    EXPECT_EQ(3, doc["links"][0]["samples"]);
    EXPECT_DOUBLE_EQ(180, doc["links"][0]["median_mbps"].get<double>());

    // From the local adapter: its link, the list's rate.
    Result local = ask({"--from", kStudy, "--to", kGarage, "--summary", "--csv"});
    ASSERT_EQ(0, local.code) << local.err;
    EXPECT_EQ(0u, local.out.find("interface,from_mac,to_mac,from_name,to_name,family,samples,"
                                 "min_mbps,median_mbps,max_mbps,seen_s,drop_outs\n"))
        << local.out;
    EXPECT_NE(std::string::npos,
              local.out.find("eth0,00:B0:52:00:00:40,00:B0:52:00:00:43,Study,Garage,HomePlug AV,3,"
                             "45.00,45.00,45.00,90,0\n"))
        << local.out;

    // The plain text names both ends.
    Result plain = ask({"--from", kGarage, "--to", kLounge});
    ASSERT_EQ(0, plain.code) << plain.err;
    EXPECT_NE(std::string::npos,
              plain.out.find("eth0 00:B0:52:00:00:43 \"Garage\" -> 00:B0:52:00:00:41 \"Lounge\""))
        << plain.out;
    EXPECT_NE(std::string::npos, plain.out.find("75.00 Mbit/s"));

    // A pair nobody measured: an empty result, exit 0.
    Result none = ask({"--from", kLounge, "--to", "00:B0:52:00:00:99", "--json"});
    EXPECT_EQ(0, none.code);
    EXPECT_TRUE(json::parse(none.out)["links"].empty());

    // The plain history of the local adapter's links is as before: no pairs in it.
    Result all = ask({"--summary", "--json"});
    ASSERT_EQ(0, all.code);
    EXPECT_EQ(3u, json::parse(all.out)["links"].size());
}
