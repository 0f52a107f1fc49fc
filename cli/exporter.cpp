#include "cli/exporter.h"

#include <algorithm>
#include <ostream>

#include "cli/halyardctl.h"
#include "exporter/server.h"
#include "network/auto_scan.h"
#include "network/cycle_consumers.h"
#include "network/network_map.h"
#include "packet/packet.h"
#include "platform/adapter_share.h"
#include "platform/clock.h"

namespace halyardctl {

namespace {

// While paused (or without an adapter) the exporter looks again this often.
constexpr uint32_t kPausedPollMs = 500;

class ExporterLoop {
  public:
    ExporterLoop(const ExporterSettings& s, const ExporterSteps& steps,
                 exporter::ExporterMetrics& metrics, std::ostream& err)
        : s_(s), steps_(steps), metrics_(metrics), err_(err) {}

    void run() {
        consumer_ = addCycleConsumer(CyclePhase::Record, [this](const CycleEnd& end) {
            exporter::CycleSample sample = steps_.sample();
            sample.durationSeconds = (end.finishedAtTick - cycleStartTick_) / 1000.0;
            if (steps_.pairRates)
                sample.pairs = steps_.pairRates();
            metrics_.recordCycle(sample);
            ++completed_;
            if (steps_.cycleRecorded)
                steps_.cycleRecorded(completed_);
        });
        metrics_.setHoldingAdapters(false);
        while (!steps_.stopRequested() && (s_.cycles == 0 || completed_ < s_.cycles)) {
            if (!holding_) {
                if (!resume())
                    waitPaused();
                continue;
            }
            if (adaptersWanted()) {
                pause();
                continue;
            }
            int before = cycleStep;
            steps_.tick();
            if (before >= kCycleIdle && cycleStep < kCycleIdle)
                cycleStartTick_ = tickCount() - kTimerPeriodMs;
        }
        if (holding_)
            letGo();
        removeCycleConsumer(consumer_);
    }

  private:
    // Takes the adapters back: a fresh scan, then the timer's cycles.
    bool resume() {
        if (!takeAdaptersForExporter()) {
            announce("another halyard program uses the adapters; serving the last values");
            return false;
        }
        if (!steps_.scan()) {
            metrics_.recordFailedCycle();
            letGo();
            announce("no powerline adapter found; looking again every " +
                     std::to_string(s_.intervalSeconds) + " s");
            waitFor(static_cast<uint32_t>(s_.intervalSeconds) * 1000);
            return true; // waited already
        }
        setScanInterval(s_.intervalSeconds * 20);
        startTimer();
        suspendAutoScan(1);
        holding_ = true;
        metrics_.setHoldingAdapters(true);
        if (steps_.holdingChanged)
            steps_.holdingChanged(true);
        announce(paused_ ? "resumed" : "running");
        paused_ = false;
        return true;
    }

    void pause() {
        letGo();
        paused_ = true;
        announce("paused: another halyard program wants the adapters");
    }

    // Stops the cycle, closes the interfaces and drops the exporter's lock.
    void letGo() {
        stopCycles();
        closeAllInterfaces();
        yieldAdaptersFromExporter();
        holding_ = false;
        metrics_.setHoldingAdapters(false);
        if (steps_.holdingChanged)
            steps_.holdingChanged(false);
    }

    void waitPaused() { waitFor(kPausedPollMs); }

    void waitFor(uint32_t ms) {
        for (uint32_t waited = 0; waited < ms && !steps_.stopRequested(); waited += kTimerPeriodMs)
            steps_.sleep(kTimerPeriodMs);
    }

    // Says each change of state once.
    void announce(const std::string& state) {
        if (state == lastAnnounced_)
            return;
        lastAnnounced_ = state;
        err_ << "halyardctl: exporter " << state << "\n";
        err_.flush();
    }

    const ExporterSettings& s_;
    const ExporterSteps& steps_;
    exporter::ExporterMetrics& metrics_;
    std::ostream& err_;
    int consumer_ = 0;
    bool holding_ = false;
    bool paused_ = false;
    long completed_ = 0;
    uint32_t cycleStartTick_ = 0;
    std::string lastAnnounced_;
};

} // namespace

std::vector<exporter::PairRate> pairRatesOf(const NetworkMap& map,
                                            const std::string& interfaceName) {
    std::vector<exporter::PairRate> out;
    const int n = std::min(map.nodeCount, kMapMaxNodes);
    for (int from = 0; from < n; ++from)
        for (int to = 0; to < n; ++to) {
            const int32_t mbps = map.rate[from][to];
            if (from == to || mbps == kMapRateUnknown)
                continue; // unknown is absent, never a 0
            out.push_back({interfaceName, formatMac(map.nodes[from].mac),
                           formatMac(map.nodes[to].mac), exporter::bytesPerSecond(mbps)});
        }
    return out;
}

int runExporter(const ExporterSettings& settings, const ExporterSteps& steps,
                exporter::ExporterMetrics& metrics, std::ostream& err) {
    exporter::MetricsServer server;
    std::string error;
    if (!server.start(settings.host, settings.port, metrics, error)) {
        err << "halyardctl: " << error << "\n";
        return kExitUsage;
    }
    err << "halyardctl: exporter listening on http://" << settings.host << ":" << server.port()
        << "/metrics\n";
    err.flush();
    if (steps.listening)
        steps.listening(server.port());
    ExporterLoop(settings, steps, metrics, err).run();
    return kExitOk;
}

} // namespace halyardctl
