#include "exporter/metrics.h"

#include <prometheus/text_serializer.h>

#include <chrono>
#include <sstream>

namespace exporter {

using prometheus::BuildCounter;
using prometheus::BuildGauge;

// The exposer holds this; it reads the registry under the metrics' lock.
class ExporterMetrics::View : public prometheus::Collectable {
  public:
    explicit View(ExporterMetrics& owner) : owner_(owner) {}
    std::vector<prometheus::MetricFamily> Collect() const override {
        std::lock_guard<std::mutex> lock(owner_.mutex_);
        owner_.refreshAges();
        return owner_.registry_->Collect();
    }

  private:
    ExporterMetrics& owner_;
};

namespace {
double wallClockSeconds() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}
} // namespace

ExporterMetrics::ExporterMetrics(std::function<double()> now)
    : now_(now ? std::move(now) : wallClockSeconds),
      registry_(std::make_shared<prometheus::Registry>()),
      linkRate_(BuildGauge()
                    .Name("halyard_link_rate_bytes_per_second")
                    .Help("PHY rate of a remote adapter as the local adapter sees it")
                    .Register(*registry_)),
      adapterInfo_(
          BuildGauge()
              .Name("halyard_adapter_info")
              .Help("An adapter found by the last cycle (always 1; its details are labels)")
              .Register(*registry_)),
      adaptersSeen_(
          BuildGauge()
              .Name("halyard_adapters")
              .Help("Adapters the last cycle found on the interface, the local one included")
              .Register(*registry_)),
      lastSeenAge_(BuildGauge()
                       .Name("halyard_adapter_last_seen_age_seconds")
                       .Help("Seconds since a cycle last found the remote adapter")
                       .Register(*registry_)),
      pairRate_(BuildGauge()
                    .Name("halyard_pair_rate_bytes_per_second")
                    .Help("PHY rate from one adapter to another, as the network map measured it")
                    .Register(*registry_)),
      cycleTime_(BuildGauge()
                     .Name("halyard_last_cycle_timestamp_seconds")
                     .Help("Unix time at which the last completed cycle ended")
                     .Register(*registry_)
                     .Add({})),
      cycleDuration_(BuildGauge()
                         .Name("halyard_last_cycle_duration_seconds")
                         .Help("How long the last completed cycle took")
                         .Register(*registry_)
                         .Add({})),
      cycles_(BuildCounter()
                  .Name("halyard_cycles_total")
                  .Help("Automatic cycles completed")
                  .Register(*registry_)
                  .Add({})),
      failedCycles_(BuildCounter()
                        .Name("halyard_cycles_failed_total")
                        .Help("Cycles (and resuming scans) that found no adapter to ask")
                        .Register(*registry_)
                        .Add({})),
      holding_(BuildGauge()
                   .Name("halyard_exporter_holds_adapters")
                   .Help("1 while the exporter drives the adapters, 0 while it stepped aside")
                   .Register(*registry_)
                   .Add({})),
      paused_(BuildGauge()
                  .Name("halyard_exporter_paused")
                  .Help("1 while another halyard program uses the adapters and the values are "
                        "those of the last cycle before it started")
                  .Register(*registry_)
                  .Add({})) {
    view_ = std::make_shared<View>(*this);
}

ExporterMetrics::~ExporterMetrics() = default;

void ExporterMetrics::clearInterface(const std::string& interfaceName) {
    for (prometheus::Gauge* g : rates_[interfaceName])
        linkRate_.Remove(g);
    for (prometheus::Gauge* g : infos_[interfaceName])
        adapterInfo_.Remove(g);
    rates_[interfaceName].clear();
    infos_[interfaceName].clear();
}

void ExporterMetrics::recordCycle(const CycleSample& cycle) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string& ifName = cycle.interfaceName;
    clearInterface(ifName);
    for (const AdapterSample& a : cycle.adapters) {
        prometheus::Gauge& info = adapterInfo_.Add({{"interface", ifName},
                                                    {"mac", a.mac},
                                                    {"name", a.name},
                                                    {"firmware", a.firmware},
                                                    {"location", a.local ? "local" : "remote"},
                                                    {"family", a.family},
                                                    {"vendor", a.vendor}});
        info.Set(1);
        infos_[ifName].push_back(&info);
        if (a.local)
            continue;
        prometheus::Gauge& rate = linkRate_.Add({{"interface", ifName},
                                                 {"local_mac", cycle.localMac},
                                                 {"remote_mac", a.mac},
                                                 {"family", a.family}});
        rate.Set(bytesPerSecond(a.rateMbps));
        rates_[ifName].push_back(&rate);
        Remote& r = remotes_[ifName + "/" + a.mac];
        if (r.age != nullptr && r.localMac != cycle.localMac) {
            lastSeenAge_.Remove(r.age);
            r.age = nullptr;
        }
        if (r.age == nullptr)
            r.age = &lastSeenAge_.Add(
                {{"interface", ifName}, {"local_mac", cycle.localMac}, {"remote_mac", a.mac}});
        r.interfaceName = ifName;
        r.localMac = cycle.localMac;
        r.mac = a.mac;
        r.lastSeen = cycle.finishedAt;
    }
    prometheus::Gauge*& count = counts_[ifName];
    if (count == nullptr)
        count = &adaptersSeen_.Add({{"interface", ifName}});
    count->Set(static_cast<double>(cycle.adapters.size()));
    cycleTime_.Set(cycle.finishedAt);
    cycleDuration_.Set(cycle.durationSeconds);
    cycles_.Increment();
    if (cycle.localMac.empty())
        failedCycles_.Increment();
    if (cycle.pairs)
        replacePairs(*cycle.pairs);
}

void ExporterMetrics::recordFailedCycle() {
    std::lock_guard<std::mutex> lock(mutex_);
    failedCycles_.Increment();
}

void ExporterMetrics::recordPairRates(const std::vector<PairRate>& pairs) {
    std::lock_guard<std::mutex> lock(mutex_);
    replacePairs(pairs);
}

void ExporterMetrics::replacePairs(const std::vector<PairRate>& pairs) {
    for (prometheus::Gauge* g : pairs_)
        pairRate_.Remove(g);
    pairs_.clear();
    for (const PairRate& p : pairs) {
        prometheus::Gauge& g =
            pairRate_.Add({{"interface", p.interfaceName}, {"from", p.fromMac}, {"to", p.toMac}});
        g.Set(p.bytesPerSecond);
        pairs_.push_back(&g);
    }
}

void ExporterMetrics::setHoldingAdapters(bool holding) {
    std::lock_guard<std::mutex> lock(mutex_);
    holding_.Set(holding ? 1 : 0);
    paused_.Set(holding ? 0 : 1);
}

void ExporterMetrics::refreshAges() {
    double now = now_();
    for (auto& [key, r] : remotes_)
        if (r.age != nullptr)
            r.age->Set(std::max(0.0, now - r.lastSeen));
}

std::string ExporterMetrics::exposition() const {
    std::ostringstream out;
    prometheus::TextSerializer().Serialize(out, view_->Collect());
    return out.str();
}

} // namespace exporter
