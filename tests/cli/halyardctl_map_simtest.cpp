// halyardctl map against the emulator on the in-memory wire: the JSON
// document equals the scenario's matrix, the table has one row per pair, the
// Graphviz graph renders, and bad arguments are refused before anything is sent.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "cli/halyardctl.h"
#include "cli/map_command.h"
#include "sim/network.h"
#include "support/emulated_halyard.h"
#include "support/halyardctl_in_process.h"
#include "support/home_scenario.h"

namespace {

using nlohmann::json;

using namespace map_json;
using Result = CtlRun;
const auto& kMatrix = matrix();

class HalyardctlMap : public ::testing::Test {
  protected:
    void SetUp() override {
        h.writePreferences(EmulatedHalyard::defaultPreferences());
        net = &h.attachScenario("map.json");
    }
    Result run(const std::vector<std::string>& args) { return runHalyardctl(h, args); }
    // The links of a map document as (from, to) -> rate_mbps (-1 for null).
    static std::map<std::pair<std::string, std::string>, int> links(const json& doc) {
        std::map<std::pair<std::string, std::string>, int> out;
        for (const json& l : doc.at("links"))
            out[{l.at("from").get<std::string>(), l.at("to").get<std::string>()}] =
                l.at("rate_mbps").is_null() ? -1 : l.at("rate_mbps").get<int>();
        return out;
    }
    EmulatedHalyard h;
    sim::Network* net = nullptr;
};

} // namespace

TEST_F(HalyardctlMap, JsonEqualsTheScenariosMatrix) {
    Result r = run({"map", "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    json doc = json::parse(r.out);
    EXPECT_EQ(doc.at("interface"), "eth0");
    ASSERT_EQ(doc.at("nodes").size(), 4u);
    int locals = 0;
    for (const json& n : doc.at("nodes")) {
        EXPECT_EQ(n.at("family"), "HomePlug AV");
        EXPECT_FALSE(n.at("name").get<std::string>().empty());
        bool local = n.at("local").get<bool>();
        locals += local;
        EXPECT_EQ(local, n.at("mac") == kStudy);
        EXPECT_EQ(n.at("location"), local ? "local" : "remote");
    }
    EXPECT_EQ(locals, 1);
    EXPECT_EQ(links(doc), kMatrix);
    for (const json& l : doc.at("links")) {
        int rate = l.at("rate_mbps").get<int>();
        // The list's words for HomePlug AV: from 150 "Excellent", from 90 "Very Good".
        EXPECT_EQ(l.at("quality"), rate >= 150  ? "Excellent"
                                   : rate >= 90 ? "Very Good"
                                                : "Good")
            << l.dump();
    }
}

TEST_F(HalyardctlMap, ASilentAdapterGivesNullRatesNeverZero) {
    sim::Fault ignore;
    ignore.kind = sim::Fault::Kind::Ignore;
    ignore.match = 0xA038;
    net->station(kGarage).faults.push_back(ignore);
    Result r = run({"--json", "map"});
    ASSERT_EQ(r.code, 0) << r.err;
    json doc = json::parse(r.out);
    auto got = links(doc);
    for (const auto& [pair, rate] : kMatrix)
        EXPECT_EQ(got.at(pair), pair.first == kGarage ? -1 : rate);
    for (const json& l : doc.at("links")) {
        if (l.at("from") == kGarage) {
            EXPECT_TRUE(l.at("quality").is_null());
        }
    }
}

TEST_F(HalyardctlMap, TableHasOneRowPerPair) {
    Result r = run({"map"});
    ASSERT_EQ(r.code, 0) << r.err;
    std::istringstream lines(r.out);
    std::string line;
    std::vector<std::string> rows;
    while (std::getline(lines, line))
        rows.push_back(line);
    ASSERT_EQ(rows.size(), 2u + 6u) << r.out;
    EXPECT_NE(rows[0].find("4 adapters, 6 pairs"), std::string::npos) << rows[0];
    EXPECT_EQ(rows[1].rfind("FROM", 0), 0u);
    // The study-lounge pair: 150 one way, 120 back.
    bool found = false;
    for (const std::string& row : rows)
        if (row.find(kStudy) != std::string::npos && row.find(kLounge) != std::string::npos) {
            found = true;
            EXPECT_NE(row.find("    150      120  Excellent / Very Good"), std::string::npos)
                << row;
        }
    EXPECT_TRUE(found) << r.out;
}

TEST_F(HalyardctlMap, DotIsAGraphThatGraphvizRenders) {
    Result r = run({"map", "--dot"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out.rfind("graph powerline {", 0), 0u);
    size_t edges = 0, at = 0;
    while ((at = r.out.find(" -- ", at)) != std::string::npos) {
        ++edges;
        at += 4;
    }
    EXPECT_EQ(edges, 6u);
    EXPECT_EQ(r.out.find("peripheries=2"), r.out.rfind("peripheries=2")) << "one local adapter";
    EXPECT_NE(r.out.find(": 150\\n"), std::string::npos);
    if (std::system("command -v dot >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "Graphviz (dot) is not installed";
    std::string path = h.dir.file("map.dot");
    std::ofstream(path) << r.out;
    std::string svg = h.dir.file("map.svg");
    ASSERT_EQ(std::system(("dot -Tsvg '" + path + "' -o '" + svg + "' 2>&1").c_str()), 0);
    std::ifstream in(svg);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("<svg"), std::string::npos);
}

TEST(HalyardctlMapDot, QuotesNamesSafely) {
    EXPECT_EQ(halyardctl::dotQuoted("a \"b\" \\c\nd\r"), "\"a \\\"b\\\" \\\\c\\nd\"");
}

TEST_F(HalyardctlMap, BadArgumentsAreRefusedWithAReason) {
    struct Case {
        std::vector<std::string> args;
        std::string reason;
    };
    for (const Case& c : std::vector<Case>{
             {{"map", "--json", "--dot"}, "either --json or --dot"},
             {{"map", "--dot=yes"}, "option --dot takes no value"},
             {{"map", "00:B0:52:00:00:41"}, "map takes only its options"},
             {{"map", "--matrix"}, "unknown option \"--matrix\" for map"},
         }) {
        Result r = run(c.args);
        EXPECT_EQ(r.code, 2) << c.reason;
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
        EXPECT_TRUE(r.out.empty());
    }
    EXPECT_TRUE(h.wire.sent.empty());
}
