// Scrape latency of the exporter's HTTP side under 100 concurrent scrapers:
// the metrics of a home with one local and fifteen remote adapters (and the
// map's 240 pair rates), served by the real exposer on loopback; every
// scraper connects, asks for /metrics and reads the whole answer, again and
// again, while a cycle records new values every 50 ms. Prints the median and
// the 99th percentile of the scrape time, and scrapes per second.
//
// Usage: bench_exporter_scrape [scrapers=100] [scrapes-per-scraper=50]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_runner.h"
#include "exporter/metrics.h"
#include "exporter/server.h"
#include "support/http_client.h"

namespace {

std::string mac(int n) {
    char text[18];
    std::snprintf(text, sizeof text, "00:B0:52:00:01:%02X", n);
    return text;
}

exporter::CycleSample home(double rateShift) {
    exporter::CycleSample c;
    c.interfaceName = "eth0";
    c.localMac = mac(0);
    c.finishedAt = 1.765e9;
    c.durationSeconds = 1.4;
    for (int i = 0; i < 16; ++i)
        c.adapters.push_back({mac(i), "Adapter " + std::to_string(i), "KARSA02-MAC-3-1",
                              "HomePlug AV", "Maker", i == 0, 80 + i * 5 + rateShift});
    return c;
}

} // namespace

int main(int argc, char** argv) {
    const int scrapers = bench::countArgument(argc, argv, 1, 100);
    const int perScraper = bench::countArgument(argc, argv, 2, 50);
    exporter::ExporterMetrics metrics;
    metrics.recordCycle(home(0));
    std::vector<exporter::PairRate> pairs;
    for (int a = 0; a < 16; ++a)
        for (int b = 0; b < 16; ++b)
            if (a != b)
                pairs.push_back({"eth0", mac(a), mac(b), 1e7 + a * 1e5 + b});
    metrics.recordPairRates(pairs);
    metrics.setHoldingAdapters(true);

    exporter::MetricsServer server;
    std::string error;
    if (!server.start("127.0.0.1", 0, metrics, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    const int port = server.port();
    size_t bytes = httpGet(port, "/metrics").body.size();

    std::atomic<bool> done{false};
    std::thread cycles([&] {
        for (int n = 0; !done; ++n) {
            metrics.recordCycle(home(n % 7));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    std::mutex lock;
    std::vector<double> latencies;
    std::atomic<int> failures{0};
    auto begin = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < scrapers; ++t)
        threads.emplace_back([&] {
            std::vector<double> mine;
            for (int i = 0; i < perScraper; ++i) {
                auto start = std::chrono::steady_clock::now();
                HttpResponse r = httpGet(port, "/metrics");
                auto end = std::chrono::steady_clock::now();
                if (r.status != 200)
                    ++failures;
                mine.push_back(std::chrono::duration<double, std::milli>(end - start).count());
            }
            std::lock_guard<std::mutex> g(lock);
            latencies.insert(latencies.end(), mine.begin(), mine.end());
        });
    for (std::thread& t : threads)
        t.join();
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    done = true;
    cycles.join();

    const bench::Spread latency = bench::spreadOf(latencies);
    std::printf("exposition: %zu bytes (16 adapters, 240 pair rates)\n", bytes);
    std::printf("%d concurrent scrapers x %d scrapes, a cycle recorded every 50 ms\n", scrapers,
                perScraper);
    std::printf("scrape latency: median %.2f ms, p99 %.2f ms, max %.2f ms\n", latency.median,
                latency.p99, latency.max);
    std::printf("throughput: %.0f scrapes/s; failed scrapes: %d\n", latencies.size() / seconds,
                failures.load());
    return failures == 0 ? 0 : 1;
}
