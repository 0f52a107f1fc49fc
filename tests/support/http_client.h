#pragma once
// A bare HTTP/1.1 client for the exporter's tests and benchmark: raw bytes in,
// raw bytes out, so tests can send malformed requests, and a parser of the
// Prometheus text exposition that compares samples by name, labels and value.
#include <map>
#include <string>
#include <vector>

struct HttpResponse {
    int status = 0;     // 0: no answer (refused, closed, timed out)
    std::string raw;    // everything received
    std::string body;   // after the blank line
    std::string header; // status line and headers
};

// Connects to 127.0.0.1:port; -1 on failure.
int connectLoopback(int port, int timeoutMs = 5000);
// Reads what the server sends until it closes or `timeoutMs` passes.
std::string readUntilClosed(int fd, int timeoutMs);
// Sends `request` as it stands and reads the answer.
HttpResponse httpExchange(int port, const std::string& request, int timeoutMs = 10000);
// "GET path HTTP/1.1" with Host and "Connection: close".
HttpResponse httpGet(int port, const std::string& path, const std::string& method = "GET");
HttpResponse parseHttpResponse(const std::string& raw);

struct MetricSample {
    std::string name;
    std::map<std::string, std::string> labels;
    double value = 0;
};
// Parses the sample lines (comments skipped). False with the line on a syntax error.
bool parseExposition(const std::string& text, std::vector<MetricSample>& out, std::string& error);
// The samples named `name` whose labels include every pair of `labels`.
std::vector<MetricSample> findSamples(const std::vector<MetricSample>& samples,
                                      const std::string& name,
                                      const std::map<std::string, std::string>& labels = {});
