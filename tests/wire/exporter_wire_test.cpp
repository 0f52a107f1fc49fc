// halyardctl exporter over a real veth pair, on the real clock: the program in
// one namespace, the emulator's libpcap server serving the "home" scenario in
// the other. A scrape's exposition passes promtool and holds the scenario's
// rates; bad requests and load (malformed request lines, an oversized header,
// a client sending one byte a second, a thousand connections at once, scrapes
// during cycles) leave it answering, its memory flat and the wire quiet; a
// real Prometheus server scrapes it; SIGTERM ends it with the database saved.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/adapter_share.h"
#include "sim/network.h"
#include "sim/pcap_server.h"
#include "storage/prefs_layout.h"
#include "support/emulated_halyard.h"
#include "support/far_end.h"
#include "support/home_scenario.h"
#include "support/http_client.h"
#include "support/netns.h"
#include "support/raw_socket.h"
#include "support/temp_dir.h"

namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr const char* kHostMac = "02:48:59:00:00:62";
using home_json::kBedroom;
using home_json::kLiving;
constexpr int kPort = 18847; // the namespace is the test's own: no other listener
constexpr int kPrometheusPort = 19090;

std::string readText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Resident memory of a process in KiB.
long residentKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

class ExporterWire : public ::testing::Test {
  protected:
    void SetUp() override {
        HALYARD_REQUIRE_NETNS();
        NetnsPair::Options options;
        options.hostMac = kHostMac;
        net = std::make_unique<NetnsPair>(options);
        ASSERT_TRUE(net->ok()) << net->error();
        PrefsFile prefs = EmulatedHalyard::defaultPreferences();
        std::vector<uint8_t> bytes(sizeof prefs);
        std::memcpy(bytes.data(), &prefs, sizeof prefs);
        ASSERT_EQ(0, mkdir(work.c_str(), 0700));
        ASSERT_EQ(0, mkdir(varLib.c_str(), 0755));
        writeFileBytes(work + "/OEMPrefs.dat", bytes);
        far = std::make_unique<FarEnd>(*net, "home.json");
        ASSERT_TRUE(far->ok()) << far->error();
        // More descriptors for the thousand connections.
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, std::min<rlim_t>(limit.rlim_max, 8192));
        setrlimit(RLIMIT_NOFILE, &limit);
        // The test's own claims meet the exporter's locks in its folder.
        setAdapterShareDirectory(work);
    }
    void TearDown() override {
        if (exporter.running())
            exporter.stop();
        releaseAdapterClaim();
        setAdapterShareDirectory("");
    }

    // Starts `halyardctl exporter` in the host namespace, as a user starts it.
    void startExporter(std::vector<std::string> extra = {}) {
        std::vector<std::string> argv{
            "sh",
            "-c",
            "d=$1; w=$2; shift 2; mount --bind \"$d\" /var/lib && " HALYARD_PRIVATE_SHARE_SH
            " && cd \"$w\" && "
            "XDG_RUNTIME_DIR=\"$w\" exec \"$@\" >\"$w/out\" 2>\"$w/err\"",
            "sh",
            varLib,
            work,
            HALYARDCTL_PATH,
            "exporter",
            "--listen",
            "127.0.0.1:" + std::to_string(kPort),
            "--interval",
            "2"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        exporter = net->spawn(NetnsPair::Host, argv, dir.file("spawn.log"));
    }
    std::string exporterErr() const {
        return readText(work + "/err") + readText(dir.file("spawn.log"));
    }

    HttpResponse inHost(const std::string& request, int timeoutMs = 10000) {
        return net->runIn(NetnsPair::Host, [&] { return httpExchange(kPort, request, timeoutMs); });
    }
    HttpResponse get(const std::string& path) {
        return inHost("GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    }
    std::vector<MetricSample> scrape() {
        HttpResponse r = get("/metrics");
        std::vector<MetricSample> samples;
        std::string error;
        if (r.status == 200) {
            EXPECT_TRUE(parseExposition(r.body, samples, error)) << error;
        }
        return samples;
    }
    double valueOf(const std::vector<MetricSample>& s, const std::string& name,
                   const std::map<std::string, std::string>& labels = {}) {
        auto found = findSamples(s, name, labels);
        return found.size() == 1 ? found[0].value : -1;
    }
    // Waits until the exporter has completed `n` cycles; returns the scrape.
    std::vector<MetricSample> waitForCycles(double n, int timeoutMs = 60000) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < end) {
            std::vector<MetricSample> s = scrape();
            if (valueOf(s, "halyard_cycles_total") >= n)
                return s;
            std::this_thread::sleep_for(200ms);
        }
        ADD_FAILURE() << "no cycle " << n << "; exporter said:\n" << exporterErr();
        return {};
    }
    void expectScenarioRates(const std::vector<MetricSample>& s) {
        EXPECT_DOUBLE_EQ(
            120e6 / 8, valueOf(s, "halyard_link_rate_bytes_per_second", {{"remote_mac", kLiving}}));
        EXPECT_DOUBLE_EQ(
            90e6 / 8, valueOf(s, "halyard_link_rate_bytes_per_second", {{"remote_mac", kBedroom}}));
    }

    TempDir dir;
    std::string work = dir.file("work");
    std::string varLib = dir.file("varlib");
    std::unique_ptr<NetnsPair> net;
    std::unique_ptr<FarEnd> far;
    NetnsProcess exporter;
};

TEST_F(ExporterWire, ScrapePassesPromtoolHoldsTheRatesAndSigtermSavesTheDatabase) {
    startExporter();
    std::vector<MetricSample> s = waitForCycles(1);
    ASSERT_FALSE(s.empty());
    expectScenarioRates(s);
    EXPECT_EQ(3.0, valueOf(s, "halyard_adapters", {{"interface", net->ifName(NetnsPair::Host)}}));
    EXPECT_EQ(1.0, valueOf(s, "halyard_exporter_holds_adapters"));

    HttpResponse r = get("/metrics");
    ASSERT_EQ(200, r.status);
    EXPECT_NE(std::string::npos, r.header.find("Content-Type: text/plain")) << r.header;
    writeFileBytes(dir.file("metrics.txt"), std::vector<uint8_t>(r.body.begin(), r.body.end()));
    int status = system(("promtool check metrics < " + dir.file("metrics.txt") + " > " +
                         dir.file("promtool.out") + " 2>&1")
                            .c_str());
    if (system("command -v promtool >/dev/null 2>&1") == 0) {
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << readText(dir.file("promtool.out"));
        EXPECT_EQ("", readText(dir.file("promtool.out")));
    } else {
        ADD_FAILURE()
            << "promtool is missing (Debian package prometheus; scripts/setup installs it)";
    }

    ASSERT_EQ(0, kill(exporter.pid(), SIGTERM));
    std::optional<int> code = exporter.waitExit(30000);
    ASSERT_TRUE(code.has_value()) << "SIGTERM did not end the exporter";
    EXPECT_EQ(0, *code) << exporterErr();
    EXPECT_NE(std::string::npos, exporterErr().find("exporter stopped; device database saved"))
        << exporterErr();
    struct stat st {};
    EXPECT_EQ(0, stat((varLib + "/tollbeam/Tollbeam.data").c_str(), &st));
}

// Every abuse goes on while the exporter has stepped aside for another
// program (this test takes the adapters as the window would), so any frame
// the far end sees would have been sent because of a request: there is none.
// Then the same load runs while it cycles: the cycles go on.
TEST_F(ExporterWire, BadRequestsAndLoadLeaveItAnsweringWithFlatMemoryAndAQuietWire) {
    startExporter();
    ASSERT_FALSE(waitForCycles(1).empty());
    ASSERT_EQ(0, setenv("XDG_RUNTIME_DIR", work.c_str(), 1));
    ASSERT_TRUE(claimAdaptersFromExporter(30000)) << exporterErr();
    std::vector<MetricSample> paused = scrape();
    EXPECT_EQ(1.0, valueOf(paused, "halyard_exporter_paused"));
    expectScenarioRates(paused); // the last values, still served

    RawSocket watch(*net, NetnsPair::Plc);
    ASSERT_TRUE(watch.ok());
    std::atomic<bool> loadDone{false};
    std::atomic<long> powerlineFrames{0};
    std::thread wireWatch([&] {
        while (!loadDone)
            for (const WireFrame& f : watch.receiveAll(200))
                if (etherTypeOf(f) == 0x88E1 || etherTypeOf(f) == 0x887B)
                    ++powerlineFrames;
    });

    auto load = [&](bool cycling) {
        // Malformed request lines: refused (4xx) or dropped, never a crash.
        for (const char* bad :
             {"GARBAGE\r\n\r\n", "GET\r\n\r\n", "GET /metrics HTTP/9.9\r\n\r\n",
              "GET /metrics\r\n\r\n", "\x01\x02\x03\xff\xfe\r\n\r\n", "GET  HTTP/1.1\r\n\r\n",
              "GET /../../etc/passwd HTTP/1.1\r\nHost: x\r\n\r\n",
              "GET /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: -5\r\n\r\n"}) {
            HttpResponse r = inHost(bad, 6000);
            EXPECT_TRUE(r.status == 0 || (r.status >= 400 && r.status < 500))
                << cycling << " " << bad << " -> " << r.raw.substr(0, 80);
        }
        // A header over 8 KiB.
        std::string big =
            "GET /metrics HTTP/1.1\r\nHost: x\r\nX-Filler: " + std::string(9000, 'a') +
            "\r\nConnection: close\r\n\r\n";
        HttpResponse r = inHost(big, 6000);
        EXPECT_NE(200, r.status) << r.raw.substr(0, 120);

        // A client sending one byte a second, while others scrape.
        std::atomic<bool> slowDone{false};
        std::thread slow = net->threadIn(NetnsPair::Host, [&] {
            int fd = connectLoopback(kPort);
            ASSERT_GE(fd, 0);
            std::string request = "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n";
            for (size_t i = 0; i < 8 && i < request.size(); ++i) {
                if (send(fd, &request[i], 1, MSG_NOSIGNAL) != 1)
                    break; // the server gave up on it: right
                std::this_thread::sleep_for(1s);
            }
            close(fd);
            slowDone = true;
        });
        int answered = 0;
        while (!slowDone) {
            auto started = std::chrono::steady_clock::now();
            if (get("/metrics").status == 200)
                ++answered;
            EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
            std::this_thread::sleep_for(100ms);
        }
        slow.join();
        EXPECT_GT(answered, 20);

        // A thousand connections at once, each asking for the metrics.
        long ok = net->runIn(NetnsPair::Host, [&] {
            std::vector<int> fds;
            for (int i = 0; i < 1000; ++i) {
                int fd = connectLoopback(kPort);
                if (fd < 0)
                    break;
                fds.push_back(fd);
            }
            EXPECT_EQ(1000u, fds.size());
            const std::string request =
                "GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
            for (int fd : fds)
                send(fd, request.data(), request.size(), MSG_NOSIGNAL);
            long good = 0;
            for (int fd : fds) {
                HttpResponse a = parseHttpResponse(readUntilClosed(fd, 60000));
                good += a.status == 200 && a.body.find("halyard_cycles_total") != std::string::npos;
                close(fd);
            }
            return good;
        });
        EXPECT_EQ(1000, ok);
    };

    load(false); // warms up every worker thread and buffer
    long before = residentKiB(exporter.pid());
    load(false);
    long after = residentKiB(exporter.pid());
    loadDone = true;
    wireWatch.join();
    EXPECT_EQ(0, powerlineFrames.load()) << "frames sent while paused, because of requests";
    EXPECT_GT(before, 0);
    EXPECT_LT(after - before, 2048) << before << " KiB -> " << after << " KiB";

    // The window ends; the exporter resumes and the same load runs during
    // its cycles: scrapes during cycles, cycles during scrapes.
    releaseAdapterClaim();
    std::vector<MetricSample> s = waitForCycles(2);
    double cyclesBefore = valueOf(s, "halyard_cycles_total");
    EXPECT_EQ(0.0, valueOf(s, "halyard_exporter_paused"));
    load(true);
    // A scrape that reads its answer slowly, across a cycle's end.
    HttpResponse slowRead = net->runIn(NetnsPair::Host, [&] {
        int fd = connectLoopback(kPort);
        std::string request = "GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
        send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        std::this_thread::sleep_for(2500ms);
        HttpResponse a = parseHttpResponse(readUntilClosed(fd, 10000));
        close(fd);
        return a;
    });
    ASSERT_EQ(200, slowRead.status);
    std::vector<MetricSample> whole;
    std::string error;
    ASSERT_TRUE(parseExposition(slowRead.body, whole, error)) << error;
    expectScenarioRates(whole);
    s = waitForCycles(cyclesBefore + 1);
    expectScenarioRates(s);
    EXPECT_EQ(0.0, valueOf(s, "halyard_cycles_failed_total"));
    EXPECT_TRUE(exporter.running());
}

// A real Prometheus server scrapes the exporter every second for a few
// cycles; its query API returns the scenario's rates and up == 1.
TEST_F(ExporterWire, PrometheusScrapesTheRatesAndSeesItUp) {
    if (system("command -v prometheus >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "the prometheus server is not installed (Debian package prometheus)";
    startExporter();
    ASSERT_FALSE(waitForCycles(1).empty());
    std::string config = dir.file("prometheus.yml");
    std::string data = dir.file("tsdb");
    ASSERT_EQ(0, mkdir(data.c_str(), 0700));
    std::string yml = "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                      "scrape_configs:\n  - job_name: halyard\n    static_configs:\n"
                      "      - targets: ['127.0.0.1:" +
                      std::to_string(kPort) + "']\n";
    writeFileBytes(config, std::vector<uint8_t>(yml.begin(), yml.end()));
    NetnsProcess prometheus = net->spawn(
        NetnsPair::Host,
        {"prometheus", "--config.file=" + config, "--storage.tsdb.path=" + data,
         "--web.listen-address=127.0.0.1:" + std::to_string(kPrometheusPort), "--log.level=warn"},
        dir.file("prometheus.log"));
    auto query = [&](const std::string& q) {
        std::string encoded;
        for (char c : q) {
            if (std::isalnum(static_cast<unsigned char>(c)) || c == '_')
                encoded += c;
            else {
                char hex[4];
                std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
                encoded += hex;
            }
        }
        HttpResponse r = net->runIn(NetnsPair::Host, [&] {
            return httpExchange(kPrometheusPort, "GET /api/v1/query?query=" + encoded +
                                                     " HTTP/1.1\r\nHost: x\r\nConnection: "
                                                     "close\r\n\r\n");
        });
        // The API may answer chunked; the JSON is the part between the braces.
        size_t open = r.body.find('{'), close = r.body.rfind('}');
        if (r.status != 200 || open == std::string::npos || close == std::string::npos)
            return json();
        return json::parse(r.body.substr(open, close - open + 1), nullptr, false);
    };
    // Up to 40 s for the server to start and scrape a few times.
    json up, rates;
    for (int i = 0; i < 80; ++i) {
        std::this_thread::sleep_for(500ms);
        up = query("up{job=\"halyard\"}");
        rates = query("halyard_link_rate_bytes_per_second");
        if (up.is_object() && rates.is_object() && rates["data"]["result"].size() == 2 &&
            query("count_over_time(up{job=\"halyard\"}[1m])")["data"]["result"].size() == 1 &&
            std::stoi(
                query("count_over_time(up{job=\"halyard\"}[1m])")["data"]["result"][0]["value"][1]
                    .get<std::string>()) >= 3)
            break;
    }
    prometheus.stop();
    ASSERT_TRUE(up.is_object()) << readText(dir.file("prometheus.log"));
    ASSERT_EQ(1u, up["data"]["result"].size()) << up.dump();
    EXPECT_EQ("1", up["data"]["result"][0]["value"][1]);
    ASSERT_EQ(2u, rates["data"]["result"].size()) << rates.dump();
    std::map<std::string, double> byRemote;
    for (const json& r : rates["data"]["result"])
        byRemote[r["metric"]["remote_mac"]] = std::stod(r["value"][1].get<std::string>());
    EXPECT_DOUBLE_EQ(120e6 / 8, byRemote[kLiving]);
    EXPECT_DOUBLE_EQ(90e6 / 8, byRemote[kBedroom]);
}

} // namespace
