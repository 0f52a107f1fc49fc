// The link history over a whole day of automatic cycles against the emulator,
// in virtual time (wall clock included): one link whose rate changes every
// eight hours, one adapter that drops out for half an hour and returns. Then
// the samples, the events, `halyardctl history --summary`, the hours folded
// into summaries once the raw samples are past their seven days (the same
// summary numbers from them), and the command's input checks and formats.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sqlite3.h>
#include <sstream>

#include "cli/halyardctl.h"
#include "network/cycle_consumers.h"
#include "sim/network.h"
#include "storage/history_recorder.h"
#include "support/emulated_halyard.h"
#include "support/halyardctl_in_process.h"
#include "support/home_scenario.h"
#include "ui/main_page_logic.h"
#include "ui/shell.h"

namespace {

using nlohmann::json;

using home_json::kBedroom;
using home_json::kLiving;
constexpr int64_t kDay0 = 1772323200; // 2026-03-01T00:00:00Z
constexpr int kInterval = 60;         // seconds
constexpr int kCyclesPerDay = 86400 / kInterval;

int64_t scalar(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* s = nullptr;
    int64_t v = -1;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) == SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW)
        v = sqlite3_column_int64(s, 0);
    sqlite3_finalize(s);
    sqlite3_close(db);
    return v;
}

using Result = CtlRun;

class HistoryDay : public ::testing::Test {
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
        net = &h.attachScenario("home.json");
        path = h.dir.file("state/halyard/history.sqlite3");
        h.clock.setUtcMs(kDay0 * 1000);
    }
    void TearDown() override {
        stopHistoryRecording();
        removeCycleConsumer(counter);
    }

    // The window's start: shell, Main page (first scan, timer), the recorder.
    void startWindow() {
        ASSERT_TRUE(startShell(h.workingFolder()));
        ASSERT_TRUE(createMainPage(h.setup(), nullptr));
        startHistoryRecording(path);
        counter = addCycleConsumer(CyclePhase::Record, [this](const CycleEnd&) { ++cycles; });
    }
    // Ticks the 50 ms timer until the next automatic cycle has ended.
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

    // The day: Living room at 120, 100, then 80 Mbit/s for eight hours each;
    // Bedroom (90 Mbit/s) off the network for the first half hour of hour 12.
    void runTheDay() {
        const sim::AvKey bedroomKey = net->station(kBedroom).nmk;
        sim::AvKey elsewhere = bedroomKey;
        elsewhere[0] ^= 0xFF;
        for (int k = 0; k < kCyclesPerDay; ++k) {
            net->station(kLiving).rate = k < 480 ? 120 : k < 960 ? 100 : 80;
            if (k == 720)
                net->station(kBedroom).setNmk(elsewhere);
            if (k == 750)
                net->station(kBedroom).setNmk(bedroomKey);
            runCycle();
            if (HasFatalFailure())
                return;
        }
    }

    json summaryOfDay0() {
        // Two calendar days: the cycles of the day drift past midnight (each
        // interval is counted in timer ticks, and the scan's waits add to it).
        Result r = history({"--summary", "--json", "--since", "2026-03-01T00:00:00Z", "--until",
                            "2026-03-03T00:00:00Z"});
        EXPECT_EQ(0, r.code) << r.err;
        return json::parse(r.out);
    }

    static const json* linkTo(const json& doc, const char* mac) {
        for (const json& l : doc["links"])
            if (l["remote_mac"] == mac)
                return &l;
        return nullptr;
    }

    void expectDaySummary(const json& doc) {
        ASSERT_EQ(2u, doc["links"].size()) << doc.dump(2);
        const json* living = linkTo(doc, kLiving);
        const json* bedroom = linkTo(doc, kBedroom);
        ASSERT_TRUE(living && bedroom);
        EXPECT_EQ(kCyclesPerDay, (*living)["samples"]);
        EXPECT_DOUBLE_EQ(80, (*living)["min_mbps"].get<double>());
        EXPECT_DOUBLE_EQ(100, (*living)["median_mbps"].get<double>());
        EXPECT_DOUBLE_EQ(120, (*living)["max_mbps"].get<double>());
        EXPECT_EQ(86400, (*living)["seen_s"]);
        EXPECT_EQ(0, (*living)["drop_outs"]);
        EXPECT_EQ(kCyclesPerDay - 30, (*bedroom)["samples"]);
        EXPECT_DOUBLE_EQ(90, (*bedroom)["min_mbps"].get<double>());
        EXPECT_DOUBLE_EQ(90, (*bedroom)["median_mbps"].get<double>());
        EXPECT_DOUBLE_EQ(90, (*bedroom)["max_mbps"].get<double>());
        EXPECT_EQ(86400 - 1800, (*bedroom)["seen_s"]);
        EXPECT_EQ(1, (*bedroom)["drop_outs"]);
        EXPECT_EQ("HomePlug AV", (*bedroom)["family"]);
        EXPECT_EQ("eth0", (*bedroom)["interface"]);
    }
};

TEST_F(HistoryDay, ADayOfCyclesThenSevenDaysLaterItsHoursAsSummaries) {
    startWindow();
    runTheDay();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(historyRecorderStatus().recording) << historyRecorderStatus().note;
    EXPECT_EQ(kCyclesPerDay, historyRecorderStatus().cyclesRecorded);

    // Samples: one per cycle per remote seen; the garage adapter (another
    // network) never; Bedroom not while it was away.
    EXPECT_EQ(2, scalar(path, "SELECT count(*) FROM link"));
    EXPECT_EQ(2 * kCyclesPerDay - 30, scalar(path, "SELECT count(*) FROM samples"));
    EXPECT_EQ(480, scalar(path, "SELECT count(*) FROM samples WHERE rate = 120"));
    EXPECT_EQ(480, scalar(path, "SELECT count(*) FROM samples WHERE rate = 100"));
    EXPECT_EQ(480, scalar(path, "SELECT count(*) FROM samples WHERE rate = 80"));
    EXPECT_EQ(kCyclesPerDay - 30, scalar(path, "SELECT count(*) FROM samples WHERE rate = 90"));
    EXPECT_EQ(0, scalar(path, "SELECT count(*) FROM samples WHERE span <> 60"));
    EXPECT_EQ(kDay0, scalar(path, "SELECT min(t) / 3600 * 3600 FROM samples"));

    // Events: the local firmware once, Bedroom's drop-out at the first cycle
    // it missed (the 721st: Living room's 721st sample has its time), and no
    // Bedroom sample until it returned at the 751st.
    EXPECT_EQ(1, scalar(path, "SELECT count(*) FROM event WHERE kind = 'firmware'"));
    EXPECT_EQ(1, scalar(path, "SELECT count(*) FROM event WHERE kind = 'dropout'"));
    const std::string living = "(SELECT id FROM link WHERE remote_mac = 0x00B052000011)";
    const std::string bedroom = "(SELECT id FROM link WHERE remote_mac = 0x00B052000012)";
    const int64_t dropAt = scalar(path, "SELECT t FROM event WHERE kind = 'dropout'");
    EXPECT_EQ(dropAt, scalar(path, "SELECT t FROM samples WHERE link = " + living +
                                       " ORDER BY t LIMIT 1 OFFSET 720"));
    const int64_t backAt = scalar(path, "SELECT t FROM samples WHERE link = " + living +
                                            " ORDER BY t LIMIT 1 OFFSET 750");
    EXPECT_EQ(backAt, scalar(path, "SELECT min(t) FROM samples WHERE link = " + bedroom +
                                       " AND t >= " + std::to_string(dropAt)));
    EXPECT_EQ(1, scalar(path, "SELECT count(*) FROM event WHERE link = " + bedroom));

    expectDaySummary(summaryOfDay0());
    const int64_t livingHours =
        scalar(path, "SELECT count(DISTINCT t / 3600) FROM samples WHERE link = " + living);
    const int64_t bedroomHours =
        scalar(path, "SELECT count(DISTINCT t / 3600) FROM samples WHERE link = " + bedroom);

    // Nine days on: the cycles fold the old hours (both links each step, one
    // hour each), until the first day is summaries only.
    h.clock.setUtcMs((kDay0 + 9 * 86400) * 1000);
    for (int k = 0; k < 30; ++k)
        runCycle();
    EXPECT_EQ(0, scalar(path, "SELECT count(*) FROM samples WHERE t < " +
                                  std::to_string(kDay0 + 2 * 86400)));
    EXPECT_EQ(livingHours, scalar(path, "SELECT count(*) FROM hourly WHERE link = " + living));
    EXPECT_EQ(bedroomHours, scalar(path, "SELECT count(*) FROM hourly WHERE link = " + bedroom));
    // Nothing lost in the folding: every sample counted, every second seen,
    // the extremes and the sum of the rates kept.
    EXPECT_EQ(kCyclesPerDay,
              scalar(path, "SELECT sum(samples) FROM hourly WHERE link = " + living));
    EXPECT_EQ(86400, scalar(path, "SELECT sum(seen) FROM hourly WHERE link = " + living));
    EXPECT_EQ(80, scalar(path, "SELECT min(rate_min) FROM hourly WHERE link = " + living));
    EXPECT_EQ(120, scalar(path, "SELECT max(rate_max) FROM hourly WHERE link = " + living));
    EXPECT_EQ(
        480 * (120 + 100 + 80),
        scalar(path, "SELECT round(sum(rate_mean * samples)) FROM hourly WHERE link = " + living));
    EXPECT_EQ(kCyclesPerDay - 30,
              scalar(path, "SELECT sum(samples) FROM hourly WHERE link = " + bedroom));
    EXPECT_EQ(86400 - 1800, scalar(path, "SELECT sum(seen) FROM hourly WHERE link = " + bedroom));
    EXPECT_EQ(90, scalar(path, "SELECT max(rate_max) FROM hourly WHERE link = " + bedroom));
    // The hour of the drop-out holds fewer samples than a whole one.
    EXPECT_EQ(1, scalar(path, "SELECT count(*) FROM hourly WHERE link = " + bedroom +
                                  " AND hour = " + std::to_string(dropAt / 3600 * 3600) +
                                  " AND samples < 59"));
    // The summaries give the same numbers as the samples did (the median
    // from the hours' means, which the rate changes do not reach).
    expectDaySummary(summaryOfDay0());

    // The plain and CSV forms of the same query.
    Result csv = history({"--summary", "--csv", "--since", "2026-03-01", "--until", "2026-03-03"});
    ASSERT_EQ(0, csv.code) << csv.err;
    EXPECT_EQ(0u, csv.out.find("interface,local_mac,remote_mac,name,family,samples,min_mbps,"
                               "median_mbps,max_mbps,seen_s,drop_outs\n"));
    EXPECT_NE(std::string::npos,
              csv.out.find(",00:B0:52:00:00:11,Device 2,HomePlug AV,1440,80.00,100.00,120.00,"
                           "86400,0\n"))
        << csv.out;
    Result plain = history({"--summary", kBedroom, "--since", "2026-03-01T00:00:00+00:00",
                            "--until", "2026-03-03T00:00Z"});
    ASSERT_EQ(0, plain.code) << plain.err;
    EXPECT_NE(std::string::npos, plain.out.find("23h 30m")) << plain.out;
    EXPECT_EQ(std::string::npos, plain.out.find(kLiving));
}

TEST_F(HistoryDay, PointsOfTheLastHourAndItsDropOut) {
    startWindow();
    const sim::AvKey key = net->station(kBedroom).nmk;
    sim::AvKey elsewhere = key;
    elsewhere[0] ^= 0xFF;
    for (int k = 0; k < 10; ++k) {
        if (k == 4)
            net->station(kBedroom).setNmk(elsewhere);
        if (k == 6)
            net->station(kBedroom).setNmk(key);
        runCycle();
    }
    Result r = history({kBedroom, "--since", "1h", "--json"});
    ASSERT_EQ(0, r.code) << r.err;
    json doc = json::parse(r.out);
    ASSERT_EQ(1u, doc["links"].size());
    const json& link = doc["links"][0];
    EXPECT_EQ(8u, link["points"].size());
    ASSERT_EQ(1u, link["drop_outs"].size());
    EXPECT_EQ(link["points"][3]["time"].get<std::string>() <
                  link["drop_outs"][0].get<std::string>(),
              true);
    EXPECT_EQ("sample", link["points"][0]["resolution"]);
    EXPECT_DOUBLE_EQ(90, link["points"][0]["mean_mbps"].get<double>());

    Result csv = history({kBedroom, "--since", "1h", "--csv"});
    ASSERT_EQ(0, csv.code);
    EXPECT_EQ(0u, csv.out.find("time,kind,interface,local_mac,remote_mac,name,family,min_mbps,"
                               "mean_mbps,max_mbps,samples,seen_s\n"));
    EXPECT_EQ(1 + 8 + 1, std::count(csv.out.begin(), csv.out.end(), '\n'));
    EXPECT_NE(std::string::npos, csv.out.find(",dropout,eth0,00:B0:52:00:00:10,"
                                              "00:B0:52:00:00:12,"));
}

TEST_F(HistoryDay, BadInputIsExitTwoWithTheReasonAndNoHistoryIsEmpty) {
    struct Case {
        std::vector<std::string> args;
        const char* reason;
    } cases[] = {
        {{"00:B0:52:00:11"}, "bad MAC address \"00:B0:52:00:11\""},
        {{"--since", "yesterday"}, "--since: unreadable time \"yesterday\""},
        {{"--since", "2026-02-30"}, "unreadable time"},
        {{"--since", "0h"}, "unreadable time"},
        {{"--since", "1h", "--until", "2h"}, "is not before --until"},
        {{"--since", "2026-03-02", "--until", "2026-03-01"}, "is not before --until"},
        {{"--json", "--csv"}, "not both"},
        {{"--since"}, "option --since needs a value"},
        {{"--summary=yes"}, "takes no value"},
        {{"--bogus"}, "unknown option"},
        {{"--from", "00:B0:52:00:00:11"}, "--to is missing"},
        {{"--to", "00:B0:52:00:00:11"}, "--from is missing"},
        {{"--from", "00:B0:52:00:00:1", "--to", "00:B0:52:00:00:11"},
         "bad MAC address \"00:B0:52:00:00:1\" for --from"},
        {{"--from", "00:B0:52:00:00:11", "--to", "00-b0-52-00-00-11"}, "the same adapter"},
        {{"00:B0:52:00:00:12", "--from", "00:B0:52:00:00:11", "--to", "00:B0:52:00:00:13"},
         "not both"},
        {{"--to"}, "option --to needs a value"},
    };
    for (const Case& c : cases) {
        Result r = history(c.args);
        EXPECT_EQ(2, r.code) << c.args[0];
        EXPECT_NE(std::string::npos, r.err.find(c.reason)) << r.err;
        EXPECT_TRUE(r.out.empty());
    }
    // No file yet: an empty result, and nothing created.
    Result r = history({"--json"});
    EXPECT_EQ(0, r.code) << r.err;
    EXPECT_TRUE(json::parse(r.out)["links"].empty());
    EXPECT_EQ(0, history({"--summary", "--csv"}).code);
    EXPECT_NE(0, access(path.c_str(), F_OK));
    r = history({});
    EXPECT_EQ(0, r.code);
    EXPECT_NE(std::string::npos, r.out.find("No history from"));
}

} // namespace
