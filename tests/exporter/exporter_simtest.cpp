// halyardctl exporter against the emulator on the in-memory wire, in virtual
// time, its HTTP side real: what a scrape of the "home" scenario returns
// (compared sample by sample: names, labels, values), that scrapes send no
// frame, the paths and methods it answers, and how it steps aside for another
// halyard program and comes back.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "cli/halyardctl.h"
#include "platform/adapter_share.h"
#include "support/emulated_halyard.h"
#include "support/home_scenario.h"
#include "support/http_client.h"

namespace {

using home_json::kBedroom;
using home_json::kLiving;
using home_json::kLocal;
constexpr double kNow = 1765000000.0; // the Unix time the metrics are stamped with

using Labels = std::map<std::string, std::string>;

class ExporterSim : public ::testing::Test {
  protected:
    void SetUp() override {
        h.writePreferences(EmulatedHalyard::defaultPreferences());
        h.attachScenario("home.json");
    }

    // Runs the exporter for `cycles` cycles on any free port.
    int runExporter(long cycles, halyardctl::Environment env = {}) {
        env.driver = &h.wire;
        env.clock = &h.clock;
        env.setup = h.setup();
        env.exporterNow = [this] { return now; };
        env.exporterListening = [this](int p) { port = p; };
        std::ostringstream out;
        int code = halyardctl::run(
            {"exporter", "--listen", "127.0.0.1:0", "--count", std::to_string(cycles)}, out, err,
            env);
        return code;
    }

    std::vector<MetricSample> scrape() {
        HttpResponse r = httpGet(port, "/metrics");
        EXPECT_EQ(200, r.status) << r.raw;
        std::vector<MetricSample> samples;
        std::string error;
        EXPECT_TRUE(parseExposition(r.body, samples, error)) << error;
        return samples;
    }

    static double value(const std::vector<MetricSample>& samples, const std::string& name,
                        const Labels& labels = {}) {
        auto found = findSamples(samples, name, labels);
        EXPECT_EQ(1u, found.size()) << name;
        return found.empty() ? -1 : found.front().value;
    }

    EmulatedHalyard h;
    double now = kNow;
    int port = 0;
    std::ostringstream err;
};

TEST_F(ExporterSim, ScrapeOfTheHomeHoldsItsRatesAdaptersAndCycle) {
    std::vector<MetricSample> samples;
    halyardctl::Environment env;
    env.exporterCycleRecorded = [&](long cycles) {
        if (cycles == 2)
            samples = scrape();
    };
    ASSERT_EQ(0, runExporter(2, env)) << err.str();
    ASSERT_FALSE(samples.empty()) << err.str();

    // Every sample of halyard's own, by name: nothing more, nothing less.
    // (The exposer adds its own exposer_* metrics about the scrapes.)
    std::multiset<std::string> names;
    for (const MetricSample& s : samples)
        if (s.name.rfind("halyard_", 0) == 0)
            names.insert(s.name);
    EXPECT_EQ(1u, findSamples(samples, "exposer_scrapes_total").size());
    std::multiset<std::string> expected = {"halyard_link_rate_bytes_per_second",
                                           "halyard_link_rate_bytes_per_second",
                                           "halyard_adapter_info",
                                           "halyard_adapter_info",
                                           "halyard_adapter_info",
                                           "halyard_adapters",
                                           "halyard_adapter_last_seen_age_seconds",
                                           "halyard_adapter_last_seen_age_seconds",
                                           "halyard_last_cycle_timestamp_seconds",
                                           "halyard_last_cycle_duration_seconds",
                                           "halyard_cycles_total",
                                           "halyard_cycles_failed_total",
                                           "halyard_exporter_holds_adapters",
                                           "halyard_exporter_paused"};
    // The exporter wants the network map: every pair of the three adapters.
    for (int k = 0; k < 6; ++k)
        expected.insert("halyard_pair_rate_bytes_per_second");
    EXPECT_EQ(expected, names);
    // Each way between every two adapters (the scenario rates the Living
    // room - Bedroom link at 60 Mbit/s, the others at the lower station rate).
    const std::map<std::pair<std::string, std::string>, double> pairs = {
        {{kLocal, kLiving}, 120},  {{kLocal, kBedroom}, 90}, {{kLiving, kLocal}, 120},
        {{kLiving, kBedroom}, 60}, {{kBedroom, kLocal}, 90}, {{kBedroom, kLiving}, 60}};
    for (const auto& [pair, mbps] : pairs)
        EXPECT_DOUBLE_EQ(mbps * 1e6 / 8,
                         value(samples, "halyard_pair_rate_bytes_per_second",
                               {{"interface", "eth0"}, {"from", pair.first}, {"to", pair.second}}))
            << pair.first << " -> " << pair.second;
    for (const MetricSample& s : findSamples(samples, "halyard_pair_rate_bytes_per_second"))
        EXPECT_EQ(3u, s.labels.size()); // interface, from, to: no more

    const Labels av = {{"interface", "eth0"}, {"local_mac", kLocal}, {"family", "HomePlug AV"}};
    Labels living = av, bedroom = av;
    living["remote_mac"] = kLiving;
    bedroom["remote_mac"] = kBedroom;
    EXPECT_DOUBLE_EQ(120e6 / 8, value(samples, "halyard_link_rate_bytes_per_second", living));
    EXPECT_DOUBLE_EQ(90e6 / 8, value(samples, "halyard_link_rate_bytes_per_second", bedroom));
    for (const MetricSample& s : findSamples(samples, "halyard_link_rate_bytes_per_second"))
        EXPECT_EQ(4u, s.labels.size()); // interface, local and remote MAC, family: no more

    auto local = findSamples(samples, "halyard_adapter_info", {{"mac", kLocal}});
    ASSERT_EQ(1u, local.size());
    EXPECT_EQ((Labels{{"interface", "eth0"},
                      {"mac", kLocal},
                      {"name", local[0].labels["name"]},
                      {"firmware", "KARSA02-MAC-3-1"},
                      {"location", "local"},
                      {"family", "HomePlug AV"},
                      {"vendor", local[0].labels["vendor"]}}),
              local[0].labels);
    EXPECT_EQ(1.0, local[0].value);
    auto bed = findSamples(samples, "halyard_adapter_info", {{"mac", kBedroom}});
    ASSERT_EQ(1u, bed.size());
    EXPECT_EQ("KARSA01-MAC-3-0", bed[0].labels["firmware"]);
    EXPECT_EQ("remote", bed[0].labels["location"]);
    EXPECT_EQ(1.0, bed[0].value);

    EXPECT_EQ(3.0, value(samples, "halyard_adapters", {{"interface", "eth0"}}));
    EXPECT_EQ(0.0,
              value(samples, "halyard_adapter_last_seen_age_seconds", {{"remote_mac", kLiving}}));
    EXPECT_EQ(kNow, value(samples, "halyard_last_cycle_timestamp_seconds"));
    double duration = value(samples, "halyard_last_cycle_duration_seconds");
    EXPECT_GT(duration, 0.0);
    EXPECT_LT(duration, 30.0);
    EXPECT_EQ(2.0, value(samples, "halyard_cycles_total"));
    EXPECT_EQ(0.0, value(samples, "halyard_cycles_failed_total"));
    EXPECT_EQ(1.0, value(samples, "halyard_exporter_holds_adapters"));
    EXPECT_EQ(0.0, value(samples, "halyard_exporter_paused"));
}

// The four adapters of the map scenario, each with its own view: every pair's
// gauge is the scenario's matrix; an adapter that stops answering the map's
// request loses its row (absent, never 0) while its link from the local
// adapter stays; the next scrape after it answers again has the row back.
class ExporterMapSim : public ExporterSim {
  protected:
    void SetUp() override {
        h.writePreferences(EmulatedHalyard::defaultPreferences());
        net = &h.attachScenario("map.json");
    }
    sim::Network* net = nullptr;
};

TEST_F(ExporterMapSim, EveryPairOfTheMapIsAGaugeAndASilentAdaptersRowIsAbsent) {
    const std::map<std::pair<std::string, std::string>, double> matrix = {
        {{"00:B0:52:00:00:40", "00:B0:52:00:00:41"}, 150},
        {{"00:B0:52:00:00:40", "00:B0:52:00:00:42"}, 90},
        {{"00:B0:52:00:00:40", "00:B0:52:00:00:43"}, 45},
        {{"00:B0:52:00:00:41", "00:B0:52:00:00:40"}, 120},
        {{"00:B0:52:00:00:41", "00:B0:52:00:00:42"}, 200},
        {{"00:B0:52:00:00:41", "00:B0:52:00:00:43"}, 60},
        {{"00:B0:52:00:00:42", "00:B0:52:00:00:40"}, 100},
        {{"00:B0:52:00:00:42", "00:B0:52:00:00:41"}, 180},
        {{"00:B0:52:00:00:42", "00:B0:52:00:00:43"}, 30},
        {{"00:B0:52:00:00:43", "00:B0:52:00:00:40"}, 50},
        {{"00:B0:52:00:00:43", "00:B0:52:00:00:41"}, 75},
        {{"00:B0:52:00:00:43", "00:B0:52:00:00:42"}, 25}};
    const std::string kitchen = "00:B0:52:00:00:42";
    sim::Fault ignore;
    ignore.kind = sim::Fault::Kind::Ignore;
    ignore.match = 0xA038;
    std::vector<MetricSample> whole, silent, back;
    halyardctl::Environment env;
    env.exporterCycleRecorded = [&](long cycles) {
        if (cycles == 1) {
            whole = scrape();
            net->station(kitchen).faults.push_back(ignore);
        } else if (cycles == 2) {
            silent = scrape();
            net->station(kitchen).faults.clear();
        } else if (cycles == 3) {
            back = scrape();
        }
    };
    ASSERT_EQ(0, runExporter(3, env)) << err.str();
    auto pairsOf = [](const std::vector<MetricSample>& samples) {
        std::map<std::pair<std::string, std::string>, double> out;
        for (const MetricSample& s : findSamples(samples, "halyard_pair_rate_bytes_per_second")) {
            EXPECT_EQ("eth0", s.labels.at("interface"));
            out[{s.labels.at("from"), s.labels.at("to")}] = s.value * 8 / 1e6;
        }
        return out;
    };
    EXPECT_EQ(matrix, pairsOf(whole));
    auto withoutKitchen = matrix;
    std::erase_if(withoutKitchen, [&](const auto& p) { return p.first.first == kitchen; });
    EXPECT_EQ(withoutKitchen, pairsOf(silent));
    EXPECT_EQ(9u, withoutKitchen.size());
    EXPECT_EQ(90e6 / 8,
              value(silent, "halyard_link_rate_bytes_per_second", {{"remote_mac", kitchen}}));
    EXPECT_EQ(matrix, pairsOf(back));
}

TEST_F(ExporterSim, AgeOfARemoteGrowsBetweenCyclesWithoutAFrame) {
    std::vector<MetricSample> later;
    size_t sentBefore = 0, sentAfter = 0;
    halyardctl::Environment env;
    env.exporterCycleRecorded = [&](long) {
        sentBefore = h.wire.sent.size();
        now += 42; // the scrape comes 42 s after the cycle ended
        for (int i = 0; i < 20; ++i)
            later = scrape();
        sentAfter = h.wire.sent.size();
    };
    ASSERT_EQ(0, runExporter(1, env)) << err.str();
    EXPECT_EQ(42.0,
              value(later, "halyard_adapter_last_seen_age_seconds", {{"remote_mac", kBedroom}}));
    EXPECT_EQ(sentBefore, sentAfter); // twenty scrapes, not one frame
}

TEST_F(ExporterSim, RootLinksToMetricsAndOtherPathsAndMethodsAreRefused) {
    std::vector<HttpResponse> answers;
    halyardctl::Environment env;
    env.exporterCycleRecorded = [&](long) {
        answers.push_back(httpGet(port, "/"));
        answers.push_back(httpGet(port, "/nothing-here"));
        answers.push_back(httpGet(port, "/metrics/x"));
        answers.push_back(httpGet(port, "/metrics", "POST"));
        answers.push_back(httpGet(port, "/", "DELETE"));
        answers.push_back(httpGet(port, "/metrics", "HEAD"));
        answers.push_back(httpGet(port, "/", "HEAD"));
    };
    ASSERT_EQ(0, runExporter(1, env)) << err.str();
    ASSERT_EQ(7u, answers.size());
    EXPECT_EQ(200, answers[0].status);
    EXPECT_NE(std::string::npos, answers[0].body.find("<a href=\"/metrics\">")) << answers[0].raw;
    EXPECT_EQ(404, answers[1].status) << answers[1].raw;
    EXPECT_EQ(404, answers[2].status) << answers[2].raw;
    EXPECT_EQ(405, answers[3].status) << answers[3].raw;
    EXPECT_EQ(405, answers[4].status) << answers[4].raw;
    EXPECT_NE(std::string::npos, answers[3].header.find("Allow: GET\r\n")) << answers[3].raw;
    EXPECT_NE(std::string::npos, answers[4].header.find("Allow: GET, HEAD")) << answers[4].raw;
    EXPECT_EQ(405, answers[5].status) << answers[5].raw; // the exposer serves GET alone
    EXPECT_EQ(200, answers[6].status) << answers[6].raw;
    EXPECT_EQ("", answers[6].body); // HEAD: headers only
}

// Another halyard program claims the adapters after the first cycle: the
// exporter closes its interfaces, says it is paused, keeps the first cycle's
// values, sends nothing while paused, and cycles again once the claim is gone.
TEST_F(ExporterSim, StepsAsideForAnotherProgramAndComesBack) {
    std::vector<MetricSample> whilePaused, afterwards;
    std::vector<bool> changes;
    size_t sentAtPause = 0;
    halyardctl::Environment env;
    env.exporterCycleRecorded = [&](long cycles) {
        if (cycles == 1) {
            // The window starts: its claim cannot wait for the exporter here
            // (this is the exporter's own thread), so it is taken at once.
            EXPECT_FALSE(claimAdaptersFromExporter(0));
            EXPECT_TRUE(holdsAdapterClaim());
        } else {
            afterwards = scrape();
        }
    };
    env.exporterHoldingChanged = [&](bool holding) {
        changes.push_back(holding);
        if (holding || changes.size() != 2)
            return;
        sentAtPause = h.wire.sent.size();
        now += 100;
        whilePaused = scrape();
        EXPECT_TRUE(claimAdaptersFromExporter(0)); // the exporter let go
        h.tick(200);                               // ten seconds pass; nothing is sent
        EXPECT_EQ(sentAtPause, h.wire.sent.size());
        releaseAdapterClaim(); // the window ends
    };
    ASSERT_EQ(0, runExporter(2, env)) << err.str();
    EXPECT_EQ((std::vector<bool>{true, false, true, false}), changes); // the last: its end
    ASSERT_FALSE(whilePaused.empty());
    EXPECT_EQ(1.0, value(whilePaused, "halyard_exporter_paused"));
    EXPECT_EQ(0.0, value(whilePaused, "halyard_exporter_holds_adapters"));
    EXPECT_EQ(1.0, value(whilePaused, "halyard_cycles_total"));
    EXPECT_EQ(kNow, value(whilePaused, "halyard_last_cycle_timestamp_seconds"));
    EXPECT_DOUBLE_EQ(120e6 / 8, value(whilePaused, "halyard_link_rate_bytes_per_second",
                                      {{"remote_mac", kLiving}}));
    EXPECT_EQ(100.0, value(whilePaused, "halyard_adapter_last_seen_age_seconds",
                           {{"remote_mac", kLiving}}));
    EXPECT_NE(std::string::npos, err.str().find("exporter paused")) << err.str();
    EXPECT_NE(std::string::npos, err.str().find("exporter resumed")) << err.str();
    ASSERT_FALSE(afterwards.empty());
    EXPECT_EQ(0.0, value(afterwards, "halyard_exporter_paused"));
    EXPECT_EQ(2.0, value(afterwards, "halyard_cycles_total"));
    EXPECT_EQ(kNow + 100, value(afterwards, "halyard_last_cycle_timestamp_seconds"));
}

TEST_F(ExporterSim, NoAdapterCountsAFailedCycleAndKeepsServing) {
    EmulatedHalyard empty;
    empty.writePreferences(EmulatedHalyard::defaultPreferences());
    empty.attachEmptyPort();
    halyardctl::Environment env;
    env.driver = &empty.wire;
    env.clock = &empty.clock;
    env.setup = empty.setup();
    env.exporterListening = [this](int p) { port = p; };
    std::vector<MetricSample> samples;
    int scans = 0;
    std::ostringstream out;
    env.exporterCycleRecorded = [&](long) { ++scans; };
    // The run ends on SIGTERM; raise it once two failed looks were counted.
    std::atomic<bool> done{false};
    std::thread watcher([&] {
        for (int i = 0; i < 600 && !done; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (port == 0)
                continue;
            std::vector<MetricSample> s;
            std::string error;
            HttpResponse r = httpGet(port, "/metrics");
            if (r.status == 200 && parseExposition(r.body, s, error) &&
                !findSamples(s, "halyard_cycles_failed_total").empty() &&
                findSamples(s, "halyard_cycles_failed_total")[0].value >= 2) {
                samples = s;
                kill(getpid(), SIGTERM);
                return;
            }
        }
    });
    int code = halyardctl::run({"exporter", "--listen", "127.0.0.1:0"}, out, err, env);
    done = true;
    watcher.join();
    EXPECT_EQ(0, code) << err.str();
    ASSERT_FALSE(samples.empty()) << err.str();
    EXPECT_EQ(0, scans);
    EXPECT_EQ(0.0, value(samples, "halyard_cycles_total"));
    EXPECT_EQ(0.0, value(samples, "halyard_exporter_holds_adapters"));
    EXPECT_TRUE(findSamples(samples, "halyard_link_rate_bytes_per_second").empty());
    EXPECT_NE(std::string::npos, err.str().find("no powerline adapter found")) << err.str();
    EXPECT_NE(std::string::npos, err.str().find("exporter stopped; device database saved"));
}

TEST_F(ExporterSim, BadListenAddressesAreRefusedBeforeAnythingIsSent) {
    for (const char* bad : {"127.0.0.1:99999", "127.0.0.1:", "::1:8847", "[::1]8847", "host name:1",
                            "127.0.0.1:80a"}) {
        std::ostringstream out, e;
        halyardctl::Environment env;
        env.driver = &h.wire;
        env.clock = &h.clock;
        env.setup = h.setup();
        EXPECT_EQ(2, halyardctl::run({"exporter", "--listen", bad}, out, e, env)) << bad;
        EXPECT_FALSE(e.str().empty()) << bad;
    }
    EXPECT_TRUE(h.wire.sent.empty());
}

} // namespace
