#pragma once
// The exporter's HTTP side: prometheus-cpp's pull exposer (CivetWeb beneath
// it) serving the metrics' scrape view on /metrics, a short page on /, and
// 404 or 405 for everything else. The server's own worker threads answer;
// they only read ExporterMetrics, never the network.
#include <memory>
#include <string>

namespace prometheus {
class Exposer;
}

namespace exporter {

class ExporterMetrics;

// The default listening address: loopback only, on a port outside the crowded
// 9100-9999 range where most exporters sit.
inline constexpr const char* kDefaultListenHost = "127.0.0.1";
inline constexpr int kDefaultPort = 8847;
// Bounds that keep a misbehaving client from holding a worker long.
inline constexpr int kWorkerThreads = 16;
inline constexpr int kRequestTimeoutMs = 5000;
inline constexpr int kMaxRequestBytes = 8192; // request line and headers

// "HOST:PORT", "[V6]:PORT", ":PORT" or "PORT" (loopback); port 0 takes any
// free port. False with the reason.
bool parseListenAddress(const std::string& text, std::string& host, int& port, std::string& error);

class MetricsServer {
  public:
    MetricsServer();
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // Starts listening (port 0: any free port). False with the reason when the
    // address cannot be bound.
    bool start(const std::string& host, int port, const ExporterMetrics& metrics,
               std::string& error);
    // The port really bound (after start).
    int port() const;
    void stop();

  private:
    std::unique_ptr<prometheus::Exposer> exposer_;
};

// The page served on "/".
const char* indexPage();

} // namespace exporter
