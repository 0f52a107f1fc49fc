#pragma once
// The exporter's metrics: what the last completed automatic cycle found, kept
// in a prometheus-cpp registry. The cycle's Record consumer fills it once per
// cycle; a scrape only reads it (ExporterMetrics::scrapeView), so a scrape
// never sends a frame and never waits for the network. Plain C++, headless.
//
// Every update happens under one lock that the scrape also takes, so a scrape
// sees one cycle whole, never half of the next.
#include <prometheus/collectable.h>
#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/registry.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace exporter {

// One adapter as the cycle left it (a row of the device list).
struct AdapterSample {
    std::string mac, name, firmware, family, vendor;
    bool local = false;
    double rateMbps = 0; // the PHY rate the local adapter sees (remote adapters)
};

// The rate of one pair of adapters, as the network map measures it.
struct PairRate {
    std::string interfaceName, fromMac, toMac;
    double bytesPerSecond = 0;
};

// What one completed cycle found on one interface.
struct CycleSample {
    std::string interfaceName;
    std::string localMac; // empty when the local adapter did not answer
    std::vector<AdapterSample> adapters;
    double finishedAt = 0;      // Unix time, seconds
    double durationSeconds = 0; // from the cycle's first step to its end
    // The network map's pairs measured this cycle, when the map runs: they
    // replace the previous ones in the same update as the adapters, so a
    // scrape never sees one cycle's adapters with another's pairs.
    std::optional<std::vector<PairRate>> pairs;
};

class ExporterMetrics {
  public:
    // `now` gives the Unix time in seconds; tests give a fixed one.
    explicit ExporterMetrics(std::function<double()> now = {});
    ~ExporterMetrics();
    ExporterMetrics(const ExporterMetrics&) = delete;
    ExporterMetrics& operator=(const ExporterMetrics&) = delete;

    // A completed cycle: replaces every per-adapter series of its interface.
    void recordCycle(const CycleSample& cycle);
    // A cycle (or the scan that starts one) that found no adapter to ask.
    void recordFailedCycle();
    // Pair rates of the network map, replacing the previous ones.
    void recordPairRates(const std::vector<PairRate>& pairs);
    // Whether the exporter drives the adapters now, or stepped aside.
    void setHoldingAdapters(bool holding);

    // What the HTTP exposer collects: the registry, read under the lock, with
    // the seconds since each remote was last seen brought up to now.
    std::shared_ptr<prometheus::Collectable> scrapeView() const { return view_; }
    // The exposition text of one scrape (tests, benchmarks).
    std::string exposition() const;

  private:
    class View;
    struct Remote {
        std::string interfaceName, localMac, mac;
        double lastSeen = 0;
        prometheus::Gauge* age = nullptr;
    };
    void refreshAges();
    void replacePairs(const std::vector<PairRate>& pairs); // under the lock
    void clearInterface(const std::string& interfaceName);

    std::function<double()> now_;
    mutable std::mutex mutex_;
    std::shared_ptr<prometheus::Registry> registry_;
    std::shared_ptr<prometheus::Collectable> view_;

    prometheus::Family<prometheus::Gauge>& linkRate_;
    prometheus::Family<prometheus::Gauge>& adapterInfo_;
    prometheus::Family<prometheus::Gauge>& adaptersSeen_;
    prometheus::Family<prometheus::Gauge>& lastSeenAge_;
    prometheus::Family<prometheus::Gauge>& pairRate_;
    prometheus::Gauge& cycleTime_;
    prometheus::Gauge& cycleDuration_;
    prometheus::Counter& cycles_;
    prometheus::Counter& failedCycles_;
    prometheus::Gauge& holding_;
    prometheus::Gauge& paused_;

    // Series per interface, removed when the next cycle of that interface ends.
    std::map<std::string, std::vector<prometheus::Gauge*>> rates_, infos_;
    std::map<std::string, prometheus::Gauge*> counts_;
    std::map<std::string, Remote> remotes_; // by interface + remote MAC
    std::vector<prometheus::Gauge*> pairs_;
};

// Megabits per second (the device list's unit) in bytes per second.
constexpr double bytesPerSecond(double mbps) {
    return mbps * 1e6 / 8.0;
}

} // namespace exporter
