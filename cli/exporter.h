#pragma once
// `halyardctl exporter`: the automatic cycle run as `watch` runs it, its
// results published for Prometheus (exporter/), and the adapters handed over
// to the window or another command whenever one starts
// (platform/adapter_share.h). The run loop takes its steps from the command
// (the scan, one tick, the rows of the device list) so that it runs the same
// code as `watch`, and tests drive it over the in-memory wire.
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "exporter/metrics.h"

struct NetworkMap;

namespace halyardctl {

struct ExporterSteps {
    std::function<bool()> scan;                    // the Main page's scan; false: no adapter
    std::function<void()> tick;                    // one 50 ms tick of the automatic scan
    std::function<exporter::CycleSample()> sample; // the device list as the cycle left it
    // The rate of every pair of adapters, once the network map's Gather
    // consumer has measured them this cycle; empty while no map runs.
    std::function<std::vector<exporter::PairRate>()> pairRates;
    std::function<void(uint32_t ms)> sleep; // a wait on the clock seam
    std::function<bool()> stopRequested;    // SIGINT or SIGTERM came
    // Called once the server listens, with its port (tests learn it here).
    std::function<void(int port)> listening;
    // Called after each cycle is recorded, with the count so far (tests).
    std::function<void(long cycles)> cycleRecorded;
    // Called when the exporter takes the adapters (true) or lets go (false).
    std::function<void(bool holding)> holdingChanged;
};

struct ExporterSettings {
    std::string host;
    int port = 0;
    int intervalSeconds = 30;
    // Ends the run after this many completed cycles (tests); 0: until stopped.
    long cycles = 0;
};

// Every pair of a gathered network map whose rate is known, in bytes per
// second, for the metrics; a pair the map did not learn is left out.
std::vector<exporter::PairRate> pairRatesOf(const NetworkMap& map,
                                            const std::string& interfaceName);

// Runs until stopped. Returns an exit code (kExitUsage when the address
// cannot be bound).
int runExporter(const ExporterSettings& settings, const ExporterSteps& steps,
                exporter::ExporterMetrics& metrics, std::ostream& err);

} // namespace halyardctl
