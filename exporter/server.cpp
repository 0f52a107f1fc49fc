#include "exporter/server.h"

#include <CivetServer.h>
#include <prometheus/exposer.h>

#include <cctype>
#include <cstring>
#include <stdexcept>

#include "exporter/metrics.h"

namespace exporter {

namespace {

constexpr const char* kIndexPage =
    "<!DOCTYPE html>\n<html><head><title>halyard exporter</title></head>\n"
    "<body><h1>halyard exporter</h1>\n"
    "<p>Powerline adapters and their link rates, as the last automatic cycle found them.</p>\n"
    "<p><a href=\"/metrics\">Metrics</a></p></body></html>\n";

// Runs before the exposer's own handlers: answers "/" itself, refuses other
// methods on "/" and "/metrics" with 405 and every other path with 404, and
// leaves GET /metrics to the exposer.
int beginRequest(struct mg_connection* conn) {
    const mg_request_info* info = mg_get_request_info(conn);
    if (info == nullptr || info->request_method == nullptr || info->local_uri == nullptr)
        return 0;
    const bool get = std::strcmp(info->request_method, "GET") == 0;
    const bool head = std::strcmp(info->request_method, "HEAD") == 0;
    const bool root = std::strcmp(info->local_uri, "/") == 0;
    const bool metrics = std::strcmp(info->local_uri, "/metrics") == 0;
    // The exposer's handler answers GET alone; the page here GET and HEAD.
    if ((metrics && !get) || (root && !get && !head)) {
        mg_printf(conn,
                  "HTTP/1.1 405 Method Not Allowed\r\nAllow: %s\r\n"
                  "Content-Type: text/plain\r\nContent-Length: 19\r\n"
                  "Connection: close\r\n\r\nMethod Not Allowed\n",
                  metrics ? "GET" : "GET, HEAD");
        return 405;
    }
    // CivetWeb hands "/metrics/anything" to the /metrics handler too.
    if (!root && !metrics) {
        mg_send_http_error(conn, 404, "Not Found\n");
        return 404;
    }
    if (metrics)
        return 0;
    const size_t length = std::strlen(kIndexPage);
    mg_send_http_ok(conn, "text/html; charset=utf-8", static_cast<long long>(length));
    if (get)
        mg_write(conn, kIndexPage, length);
    return 200;
}

// Keeps CivetWeb's own error lines (a refused oversized header, a timed out
// client) off the exporter's standard error; the client got its answer.
int quietLog(const struct mg_connection*, const char*) {
    return 1;
}

} // namespace

const char* indexPage() {
    return kIndexPage;
}

bool parseListenAddress(const std::string& text, std::string& host, int& port, std::string& error) {
    std::string portText;
    if (text.empty()) {
        error = "empty listening address";
        return false;
    }
    if (text.front() == '[') {
        size_t close = text.find("]:");
        if (close == std::string::npos || close == 1) {
            error = "\"" + text + "\" is not [IPv6-ADDRESS]:PORT";
            return false;
        }
        host = text.substr(0, close + 1);
        portText = text.substr(close + 2);
    } else {
        size_t colon = text.rfind(':');
        if (colon == std::string::npos) {
            host = kDefaultListenHost;
            portText = text;
        } else {
            host = colon == 0 ? std::string(kDefaultListenHost) : text.substr(0, colon);
            portText = text.substr(colon + 1);
        }
        if (host.find(':') != std::string::npos) {
            error = "write an IPv6 address in brackets: [" + host + "]:PORT";
            return false;
        }
        for (char c : host)
            if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-')) {
                error = "\"" + host + "\" is not an address";
                return false;
            }
    }
    if (portText.empty() || portText.size() > 5 ||
        portText.find_first_not_of("0123456789") != std::string::npos) {
        error = "\"" + portText + "\" is not a port number";
        return false;
    }
    port = std::stoi(portText);
    if (port > 65535) {
        error = "port " + portText + " is out of range (0 to 65535)";
        return false;
    }
    return true;
}

MetricsServer::MetricsServer() = default;

MetricsServer::~MetricsServer() {
    stop();
}

bool MetricsServer::start(const std::string& host, int port, const ExporterMetrics& metrics,
                          std::string& error) {
    static CivetCallbacks callbacks = [] {
        CivetCallbacks c{};
        c.begin_request = beginRequest;
        c.log_message = quietLog;
        return c;
    }();
    std::vector<std::string> options = {
        "listening_ports",
        host + ":" + std::to_string(port),
        "num_threads",
        std::to_string(kWorkerThreads),
        "request_timeout_ms",
        std::to_string(kRequestTimeoutMs),
        "max_request_size",
        std::to_string(kMaxRequestBytes),
        "enable_keep_alive",
        "yes",
        "keep_alive_timeout_ms",
        std::to_string(kRequestTimeoutMs),
        // A burst of connections (a fleet's scrapers, a reconnect storm) waits
        // in the kernel's queue instead of being refused.
        "listen_backlog",
        "4096",
        "connection_queue",
        "256",
    };
    try {
        exposer_ = std::make_unique<prometheus::Exposer>(options, &callbacks);
    } catch (const std::exception& e) {
        error = "cannot listen on " + host + ":" + std::to_string(port) + ": " + e.what();
        return false;
    }
    exposer_->RegisterCollectable(metrics.scrapeView(), "/metrics");
    return true;
}

int MetricsServer::port() const {
    if (!exposer_)
        return 0;
    std::vector<int> ports = exposer_->GetListeningPorts();
    return ports.empty() ? 0 : ports.front();
}

void MetricsServer::stop() {
    exposer_.reset();
}

} // namespace exporter
