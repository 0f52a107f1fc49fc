// `halyardctl list` wall time against the prescribed waits it cannot avoid.
//
// The prescribed time is what the command waits when every answer comes at
// once: the same command run in this process against the same emulated network
// on the in-memory wire, in virtual time. There the clock moves only by the
// waits the code prescribes (time-outs that run out, fixed pauses, the 50 ms
// ticks of the automatic cycle) and by the emulator's 1 ms answer latency.
//
// The wall time is the real program started as a user starts it, in one
// namespace of a veth pair, against plcsim serving the same network (1 local
// and 3 remote HomePlug AV adapters) in the other. It includes the process
// start, libpcap's opening of the interface and every real frame. Each run is
// timed from its start to its exit; `true` through the same start-up path
// gives what the bench's way of starting a program in the namespace costs (a
// user pays none of it), and `halyardctl version` what starting the program
// itself costs.
//
// Where the rest goes: the same command once more in this process, in the
// host namespace on the real libpcap driver and the real clock, with the time
// spent in each driver call and in each kind of sleep summed.
//
// Goal: wall / prescribed <= 1.1. What the program adds to the prescribed
// waits beyond its own work is the kernel's: every packet socket it opens and
// the one it still holds at exit each cost network-wide synchronisations (the
// driver parks the handles a scan closes, so a scan's reopen costs nothing).
//
// Usage (as root): bench_halyardctl_list [runs, default 5]
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_runner.h"
#include "cli/halyardctl.h"
#include "packet/pcap_driver.h"
#include "platform/clock.h"
#include "storage/prefs_layout.h"
#include "support/emulated_halyard.h"
#include "support/netns.h"
#include "support/temp_dir.h"

namespace {

constexpr const char* kScenario = R"({"name": "bench", "stations": [
    {"family": "av", "mac": "00:B0:52:00:00:10", "local": true, "rate": 150},
    {"family": "av", "mac": "00:B0:52:00:00:11", "rate": 120},
    {"family": "av", "mac": "00:B0:52:00:00:12", "rate": 90},
    {"family": "av", "mac": "00:B0:52:00:00:13", "rate": 60}]})";

std::vector<uint8_t> preferenceBytes() {
    PrefsFile prefs = EmulatedHalyard::defaultPreferences();
    std::vector<uint8_t> bytes(sizeof prefs);
    std::memcpy(bytes.data(), &prefs, sizeof prefs);
    return bytes;
}

// `list` in virtual time: the milliseconds the clock moved, and the devices listed.
bool prescribedMs(double& ms, size_t& lines) {
    EmulatedHalyard h;
    h.writePreferences(EmulatedHalyard::defaultPreferences());
    h.attachNetwork(kScenario);
    halyardctl::Environment env;
    env.driver = &h.wire;
    env.clock = &h.clock;
    env.setup = h.setup();
    std::ostringstream out, err;
    uint64_t start = h.clock.now();
    int code = halyardctl::run({"list"}, out, err, env);
    ms = static_cast<double>(h.clock.now() - start);
    std::string text = out.str();
    lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
    if (code != 0)
        std::fprintf(stderr, "bench: list in virtual time failed (%d): %s\n", code,
                     err.str().c_str());
    return code == 0;
}

// Time summed per kind of call.
struct Spent {
    std::map<std::string, std::pair<int, double>> calls;
    void add(const std::string& what, std::chrono::steady_clock::time_point since) {
        auto& c = calls[what];
        ++c.first;
        c.second +=
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since)
                .count();
    }
};

class TimedClock : public Clock {
  public:
    explicit TimedClock(Spent& spent) : spent_(spent) {}
    uint32_t tickCount() override { return real_.tickCount(); }
    void sleepMs(uint32_t ms) override {
        auto start = std::chrono::steady_clock::now();
        real_.sleepMs(ms);
        spent_.add(ms == 1 ? "sleep 1 ms (polling)" : "sleep " + std::to_string(ms) + " ms", start);
    }

  private:
    RealClock real_;
    Spent& spent_;
};

class TimedDriver : public PacketDriver {
  public:
    explicit TimedDriver(Spent& spent) : spent_(spent) {}
    bool enumerate(std::vector<DriverInterface>& out) override {
        auto start = std::chrono::steady_clock::now();
        bool ok = pcap_.enumerate(out);
        spent_.add("driver enumerate", start);
        return ok;
    }
    bool readMac(const std::string& name, uint8_t mac[6]) override {
        return pcap_.readMac(name, mac);
    }
    void* open(const std::string& name, std::string& error, bool& permissionDenied) override {
        auto start = std::chrono::steady_clock::now();
        void* handle = pcap_.open(name, error, permissionDenied);
        spent_.add("driver open", start);
        return handle;
    }
    void close(void* handle) override {
        auto start = std::chrono::steady_clock::now();
        pcap_.close(handle);
        spent_.add("driver close", start);
    }
    bool send(void* handle, const uint8_t* bytes, size_t length) override {
        auto start = std::chrono::steady_clock::now();
        bool ok = pcap_.send(handle, bytes, length);
        spent_.add("driver send", start);
        return ok;
    }
    TakeResult takeOne(void* handle, std::vector<uint8_t>& frame) override {
        auto start = std::chrono::steady_clock::now();
        TakeResult r = pcap_.takeOne(handle, frame);
        spent_.add("driver takeOne", start);
        return r;
    }

  private:
    PcapDriver pcap_;
    Spent& spent_;
};

// CPU time (user and system) the calling thread has used so far.
double threadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

double median(const std::vector<double>& v) {
    return bench::spreadOf(v).median;
}

} // namespace

int main(int argc, char** argv) {
    const int runs = bench::countArgument(argc, argv, 1, 5);
    if (!haveNetnsPrivileges()) {
        std::printf("bench_halyardctl_list: skipped: %s\n", netnsSkipMessage());
        return 0;
    }
    double prescribed = 0;
    size_t prescribedLines = 0;
    if (!prescribedMs(prescribed, prescribedLines))
        return 1;

    int exitCode = 0;
    const std::unique_ptr<NetnsPair> veth =
        bench::openVeth("bench_halyardctl_list", "02:48:59:00:00:71", exitCode);
    if (!veth)
        return exitCode;
    NetnsPair& net = *veth;
    TempDir dir;
    const std::string work = dir.file("work"), varLib = dir.file("varlib");
    mkdir(work.c_str(), 0700);
    mkdir(varLib.c_str(), 0755);
    writeFileBytes(work + "/OEMPrefs.dat", preferenceBytes());
    writeFileText(dir.file("bench.json"), kScenario);
    NetnsProcess emulator = net.spawn(NetnsPair::Plc,
                                      {PLCSIM_PATH, "--interface", net.ifName(NetnsPair::Plc),
                                       "--scenario", dir.file("bench.json")},
                                      dir.file("plcsim.log"));
    if (!emulator.running()) {
        std::fprintf(stderr, "bench: plcsim did not start\n");
        return 1;
    }

    // One run of `program` in the host namespace, with a private /var/lib so
    // its device database stays in the bench's folder. Returns the wall time.
    auto timedProgram = [&](const char* program, const std::vector<std::string>& args, int& code) {
        std::vector<std::string> argv{"sh",
                                      "-c",
                                      "d=$1; w=$2; shift 2; mount --bind \"$d\" /var/lib && cd "
                                      "\"$w\" && XDG_RUNTIME_DIR=\"$w\" exec \"$@\" >\"$w/out\" "
                                      "2>\"$w/err\"",
                                      "sh",
                                      varLib,
                                      work,
                                      program};
        argv.insert(argv.end(), args.begin(), args.end());
        auto start = std::chrono::steady_clock::now();
        NetnsProcess p = net.spawn(NetnsPair::Host, argv, dir.file("spawn.log"));
        code = p.waitExit(120000).value_or(-1);
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count();
    };
    auto timed = [&](const std::vector<std::string>& args, int& code) {
        return timedProgram(HALYARDCTL_PATH, args, code);
    };
    auto outputLines = [&] {
        std::vector<uint8_t> out = readFileBytes(work + "/out");
        return static_cast<size_t>(std::count(out.begin(), out.end(), '\n'));
    };

    // plcsim may still be opening its interface: wait until a list finds all four.
    int code = -1;
    for (int attempt = 0; attempt < 20; ++attempt) {
        timed({"list"}, code);
        if (code == 0 && outputLines() == prescribedLines)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    if (code != 0 || outputLines() != prescribedLines) {
        std::vector<uint8_t> err = readFileBytes(work + "/err");
        std::fprintf(stderr, "bench: list against plcsim failed (%d): %s\n", code,
                     std::string(err.begin(), err.end()).c_str());
        return 1;
    }

    // A process that only opens one capture handle on the interface and
    // exits: what the kernel charges any program for setting up and tearing
    // down its packet socket (both wait for network-wide synchronisations).
    auto captureSocketMs = [&] {
        return net.runIn(NetnsPair::Host, [&] {
            auto begin = std::chrono::steady_clock::now();
            pid_t child = fork();
            if (child == 0) {
                PcapDriver driver;
                std::string error;
                bool denied = false;
                _exit(driver.open(net.ifName(NetnsPair::Host), error, denied) ? 0 : 1);
            }
            int status = 1;
            waitpid(child, &status, 0);
            double ms =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin)
                    .count();
            return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ms : 0.0;
        });
    };

    std::vector<double> harness, start, socketCost, list;
    for (int i = 0; i < runs; ++i) {
        int trueCode = -1;
        harness.push_back(timedProgram("true", {}, trueCode));
        start.push_back(timed({"version"}, code));
        socketCost.push_back(captureSocketMs());
        if (code != 0)
            return 1;
        double ms = timed({"list"}, code);
        if (code != 0 || outputLines() != prescribedLines) {
            std::fprintf(stderr, "bench: run %d: list failed or found other devices\n", i + 1);
            return 1;
        }
        list.push_back(ms);
        std::printf("run %d: list %.1f ms, ratio %.3f\n", i + 1, ms, ms / prescribed);
    }
    // What the bench's own way of starting a program costs (entering the
    // namespace, a mount namespace with its own /sys and /var/lib, a shell):
    // a user typing the command pays none of it.
    const double bench = median(harness), m = median(list);
    std::printf("halyardctl list, 1 local + 3 remote AV adapters over a veth against plcsim:\n"
                "  prescribed waits (virtual time, answers at once) %.1f ms\n"
                "  wall time median of %d runs %.1f ms (min %.1f, max %.1f)\n"
                "  of which the bench's start of a program in the namespace (the same way\n"
                "  running true) median %.1f ms\n"
                "  starting halyardctl (halyardctl version, less the above) median %.1f ms\n"
                "  the kernel's set-up and teardown of its capture socket (a process that\n"
                "  opens one handle and exits) median %.1f ms\n"
                "  ratio as a user runs it (wall less the bench's start) %.3f (goal <= 1.1)\n"
                "  ratio with the bench's start %.3f; without any of the three %.3f\n",
                prescribed, runs, m, *std::min_element(list.begin(), list.end()),
                *std::max_element(list.begin(), list.end()), bench, median(start) - bench,
                median(socketCost), (m - bench) / prescribed, m / prescribed,
                (m - median(start) - median(socketCost)) / prescribed);

    // Where the time goes, in this process.
    Spent spent;
    double inProcess = 0, cpu = 0;
    net.runIn(NetnsPair::Host, [&] {
        EmulatedHalyard h; // only its working folder, data directory and runtime folder
        h.writePreferences(EmulatedHalyard::defaultPreferences());
        TimedClock clock(spent);
        TimedDriver driver(spent);
        halyardctl::Environment env;
        env.driver = &driver;
        env.clock = &clock;
        env.setup = h.setup();
        std::ostringstream out, err;
        const double cpuBefore = threadCpuMs();
        auto begin = std::chrono::steady_clock::now();
        code = halyardctl::run({"list"}, out, err, env);
        inProcess =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin)
                .count();
        cpu = threadCpuMs() - cpuBefore;
    });
    std::printf("  in this process: list %.1f ms (exit %d), ratio %.3f, of which\n", inProcess,
                code, inProcess / prescribed);
    double accounted = 0;
    for (const auto& [what, c] : spent.calls) {
        std::printf("    %-24s %4d calls %8.1f ms\n", what.c_str(), c.first, c.second);
        accounted += c.second;
    }
    std::printf("    %-35s %8.1f ms (CPU time of the run %.1f ms)\n", "everything else",
                inProcess - accounted, cpu);
    emulator.stop();
    return 0;
}
