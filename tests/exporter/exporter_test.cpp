// The exporter's metrics without a network: series replaced cycle by cycle,
// label values escaped, the exposition clean for promtool, and the listening
// address parsed.
#include <gtest/gtest.h>

#include <cstdio>
#include <sys/wait.h>

#include "cli/exporter.h"
#include "exporter/metrics.h"
#include "exporter/server.h"
#include "network/network_map.h"
#include "support/http_client.h"
#include "support/temp_dir.h"

namespace {

using exporter::AdapterSample;
using exporter::CycleSample;
using exporter::ExporterMetrics;

CycleSample twoAdapterCycle(double at) {
    CycleSample c;
    c.interfaceName = "eth0";
    c.localMac = "00:B0:52:00:00:10";
    c.finishedAt = at;
    c.durationSeconds = 1.5;
    AdapterSample local{"00:B0:52:00:00:10", "Hall", "FW-1", "HomePlug AV", "Maker", true, 0};
    AdapterSample remote{
        "00:B0:52:00:00:11", "Desk \"north\"\\n", "FW-2", "HomePlug AV", "Maker", false, 120};
    c.adapters = {local, remote};
    return c;
}

std::vector<MetricSample> parsed(const ExporterMetrics& m) {
    std::vector<MetricSample> samples;
    std::string error;
    EXPECT_TRUE(parseExposition(m.exposition(), samples, error)) << error;
    return samples;
}

TEST(ExporterMetrics, ANewCycleReplacesTheSeriesOfItsInterfaceAndKeepsTheAgeOfTheGone) {
    double now = 1000;
    ExporterMetrics m([&] { return now; });
    m.recordCycle(twoAdapterCycle(1000));
    CycleSample other = twoAdapterCycle(1000);
    other.interfaceName = "eth1";
    m.recordCycle(other);
    CycleSample alone = twoAdapterCycle(1030);
    alone.adapters.pop_back(); // the remote is gone
    now = 1030;
    m.recordCycle(alone);
    now = 1100;
    auto s = parsed(m);
    EXPECT_TRUE(
        findSamples(s, "halyard_link_rate_bytes_per_second", {{"interface", "eth0"}}).empty());
    EXPECT_EQ(1u,
              findSamples(s, "halyard_link_rate_bytes_per_second", {{"interface", "eth1"}}).size());
    EXPECT_EQ(1u, findSamples(s, "halyard_adapter_info", {{"interface", "eth0"}}).size());
    auto count = findSamples(s, "halyard_adapters", {{"interface", "eth0"}});
    ASSERT_EQ(1u, count.size());
    EXPECT_EQ(1.0, count[0].value);
    // The remote of eth0 stays with its age, for the "adapter gone" alert.
    auto age = findSamples(s, "halyard_adapter_last_seen_age_seconds", {{"interface", "eth0"}});
    ASSERT_EQ(1u, age.size());
    EXPECT_EQ(100.0, age[0].value);
    auto cycles = findSamples(s, "halyard_cycles_total");
    ASSERT_EQ(1u, cycles.size());
    EXPECT_EQ(3.0, cycles[0].value);
}

TEST(ExporterMetrics, LabelValuesAreEscapedAndACycleWithoutLocalAdapterCountsAsFailed) {
    ExporterMetrics m([] { return 5.0; });
    m.recordCycle(twoAdapterCycle(5));
    CycleSample none;
    none.interfaceName = "eth0";
    none.finishedAt = 6;
    m.recordCycle(none);
    m.recordFailedCycle();
    auto s = parsed(m);
    // The name's quote, backslash and "n" came back as they were stored.
    EXPECT_TRUE(findSamples(s, "halyard_adapter_info").empty()); // the last cycle found none
    m.recordCycle(twoAdapterCycle(7));
    s = parsed(m);
    EXPECT_EQ(1u, findSamples(s, "halyard_adapter_info", {{"name", "Desk \"north\"\\n"}}).size());
    auto failed = findSamples(s, "halyard_cycles_failed_total");
    ASSERT_EQ(1u, failed.size());
    EXPECT_EQ(2.0, failed[0].value);
}

TEST(ExporterMetrics, PairRatesOfTheMapAreReplacedWhole) {
    ExporterMetrics m;
    m.recordPairRates({{"eth0", "00:B0:52:00:00:10", "00:B0:52:00:00:11", 15e6},
                       {"eth0", "00:B0:52:00:00:11", "00:B0:52:00:00:10", 14e6}});
    m.recordPairRates({{"eth0", "00:B0:52:00:00:11", "00:B0:52:00:00:12", 9e6}});
    auto s = parsed(m);
    auto pairs = findSamples(s, "halyard_pair_rate_bytes_per_second");
    ASSERT_EQ(1u, pairs.size());
    EXPECT_EQ("00:B0:52:00:00:11", pairs[0].labels["from"]);
    EXPECT_EQ("00:B0:52:00:00:12", pairs[0].labels["to"]);
    EXPECT_EQ(9e6, pairs[0].value);
}

// The cycle's pairs go in with its adapters, in the same update; a cycle that
// brings none (the map not gathered) clears them, one without the map at all
// leaves them alone.
TEST(ExporterMetrics, ACycleCarriesItsPairsAndUnknownPairsAreAbsent) {
    NetworkMap map{};
    map.nodeCount = 3;
    for (int k = 0; k < 3; ++k) {
        const uint8_t mac[6] = {0x00, 0xB0, 0x52, 0x00, 0x00, static_cast<uint8_t>(0x10 + k)};
        std::copy(mac, mac + 6, map.nodes[k].mac);
        for (int j = 0; j < kMapMaxNodes; ++j)
            map.rate[k][j] = kMapRateUnknown;
    }
    map.rate[0][1] = 120;
    map.rate[1][0] = 100;
    map.rate[1][2] = 0;  // measured as nothing: a rate, shown as it is
    map.rate[2][2] = 50; // never a pair of an adapter with itself
    auto pairs = halyardctl::pairRatesOf(map, "eth0");
    ASSERT_EQ(3u, pairs.size());
    EXPECT_EQ("00:B0:52:00:00:10", pairs[0].fromMac);
    EXPECT_EQ("00:B0:52:00:00:11", pairs[0].toMac);
    EXPECT_EQ(15e6, pairs[0].bytesPerSecond);
    EXPECT_EQ("eth0", pairs[0].interfaceName);
    EXPECT_EQ(12.5e6, pairs[1].bytesPerSecond);
    EXPECT_EQ(0.0, pairs[2].bytesPerSecond);

    ExporterMetrics m;
    CycleSample c = twoAdapterCycle(1000);
    c.pairs = pairs;
    m.recordCycle(c);
    EXPECT_EQ(3u, findSamples(parsed(m), "halyard_pair_rate_bytes_per_second").size());
    c.pairs.reset();
    m.recordCycle(c);
    EXPECT_EQ(3u, findSamples(parsed(m), "halyard_pair_rate_bytes_per_second").size());
    c.pairs = std::vector<exporter::PairRate>{};
    m.recordCycle(c);
    EXPECT_TRUE(findSamples(parsed(m), "halyard_pair_rate_bytes_per_second").empty());
}

// promtool's lint of the whole exposition, paused and running, with every
// kind of series present. Skipped only when promtool is not installed.
TEST(ExporterMetrics, PromtoolFindsNothingToSay) {
    if (system("command -v promtool >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "promtool is not installed (Debian package prometheus)";
    ExporterMetrics m([] { return 2000.0; });
    CycleSample cycle = twoAdapterCycle(1990);
    cycle.pairs = {{{"eth0", "00:B0:52:00:00:10", "00:B0:52:00:00:11", 15e6},
                    {"eth0", "00:B0:52:00:00:11", "00:B0:52:00:00:10", 0}}};
    m.recordCycle(cycle);
    m.recordFailedCycle();
    for (bool holding : {true, false}) {
        m.setHoldingAdapters(holding);
        TempDir dir;
        std::string file = dir.file("metrics.txt");
        FILE* f = fopen(file.c_str(), "w");
        ASSERT_NE(nullptr, f);
        std::string text = m.exposition();
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
        std::string command =
            "promtool check metrics < " + file + " > " + dir.file("out") + " 2>&1";
        int status = system(command.c_str());
        FILE* o = fopen(dir.file("out").c_str(), "r");
        std::string said;
        char buf[512];
        size_t n;
        while (o && (n = fread(buf, 1, sizeof buf, o)) > 0)
            said.append(buf, n);
        if (o)
            fclose(o);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << said << text;
        EXPECT_EQ("", said) << text;
    }
}

TEST(ListenAddress, HostsPortsAndTheirMistakes) {
    std::string host, error;
    int port = -1;
    ASSERT_TRUE(exporter::parseListenAddress("0.0.0.0:9000", host, port, error)) << error;
    EXPECT_EQ("0.0.0.0", host);
    EXPECT_EQ(9000, port);
    ASSERT_TRUE(exporter::parseListenAddress("[::1]:8847", host, port, error)) << error;
    EXPECT_EQ("[::1]", host);
    ASSERT_TRUE(exporter::parseListenAddress(":8000", host, port, error));
    EXPECT_EQ("127.0.0.1", host); // a bare port stays on loopback
    ASSERT_TRUE(exporter::parseListenAddress("8001", host, port, error));
    EXPECT_EQ("127.0.0.1", host);
    EXPECT_EQ(8001, port);
    for (const char* bad : {"", "127.0.0.1:", "127.0.0.1:65536", "::1:80", "[::1]", "[]:80",
                            "a b:80", "127.0.0.1:-1", "127.0.0.1:123456", "x,y:80"}) {
        error.clear();
        EXPECT_FALSE(exporter::parseListenAddress(bad, host, port, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
    EXPECT_TRUE(exporter::kDefaultPort < 9100 || exporter::kDefaultPort > 9999);
    EXPECT_STREQ("127.0.0.1", exporter::kDefaultListenHost);
}

} // namespace
