#include "support/http_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <sstream>

int connectLoopback(int port, int timeoutMs) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string readUntilClosed(int fd, int timeoutMs) {
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buffer[16384];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        int rc = poll(&p, 1, static_cast<int>(left));
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc <= 0)
            break;
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got.append(buffer, static_cast<size_t>(n));
    }
    return got;
}

HttpResponse parseHttpResponse(const std::string& raw) {
    HttpResponse r;
    r.raw = raw;
    if (raw.rfind("HTTP/1.", 0) == 0 && raw.size() >= 12)
        r.status = std::atoi(raw.c_str() + 9);
    size_t blank = raw.find("\r\n\r\n");
    if (blank != std::string::npos) {
        r.header = raw.substr(0, blank);
        r.body = raw.substr(blank + 4);
    } else {
        r.header = raw;
    }
    return r;
}

HttpResponse httpExchange(int port, const std::string& request, int timeoutMs) {
    int fd = connectLoopback(port, timeoutMs);
    if (fd < 0)
        return {};
    size_t sent = 0;
    while (sent < request.size()) {
        ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        sent += static_cast<size_t>(n);
    }
    std::string raw = readUntilClosed(fd, timeoutMs);
    close(fd);
    return parseHttpResponse(raw);
}

HttpResponse httpGet(int port, const std::string& path, const std::string& method) {
    return httpExchange(port, method + " " + path +
                                  " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
}

namespace {
// Reads a label value in double quotes with the format's three escapes.
bool readQuoted(const std::string& line, size_t& i, std::string& out) {
    if (i >= line.size() || line[i] != '"')
        return false;
    for (++i; i < line.size(); ++i) {
        char c = line[i];
        if (c == '"') {
            ++i;
            return true;
        }
        if (c == '\\' && i + 1 < line.size()) {
            char e = line[++i];
            out += e == 'n' ? '\n' : e;
        } else {
            out += c;
        }
    }
    return false;
}
} // namespace

bool parseExposition(const std::string& text, std::vector<MetricSample>& out, std::string& error) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        MetricSample s;
        size_t i = 0;
        while (i < line.size() && line[i] != '{' && line[i] != ' ')
            s.name += line[i++];
        if (i < line.size() && line[i] == '{') {
            ++i;
            while (i < line.size() && line[i] != '}') {
                size_t eq = line.find('=', i);
                if (eq == std::string::npos) {
                    error = line;
                    return false;
                }
                std::string key = line.substr(i, eq - i), value;
                i = eq + 1;
                if (!readQuoted(line, i, value)) {
                    error = line;
                    return false;
                }
                s.labels[key] = value;
                if (i < line.size() && line[i] == ',')
                    ++i;
            }
            if (i >= line.size()) {
                error = line;
                return false;
            }
            ++i;
        }
        if (i >= line.size() || line[i] != ' ') {
            error = line;
            return false;
        }
        char* end = nullptr;
        s.value = std::strtod(line.c_str() + i + 1, &end);
        if (end == line.c_str() + i + 1) {
            error = line;
            return false;
        }
        out.push_back(std::move(s));
    }
    return true;
}

std::vector<MetricSample> findSamples(const std::vector<MetricSample>& samples,
                                      const std::string& name,
                                      const std::map<std::string, std::string>& labels) {
    std::vector<MetricSample> found;
    for (const MetricSample& s : samples) {
        if (s.name != name)
            continue;
        bool all = true;
        for (const auto& [k, v] : labels) {
            auto it = s.labels.find(k);
            all = all && it != s.labels.end() && it->second == v;
        }
        if (all)
            found.push_back(s);
    }
    return found;
}
