#pragma once
// Network-namespace harness for wire tests.
//
// NetnsPair creates two fresh network namespaces, "host" and "plc", joined by a
// veth pair: interface hy0 in the host namespace, hy1 in the plc namespace,
// both up. Namespace names carry the process id and a counter, so tests may run
// in parallel. The namespaces and the veth pair are removed when the NetnsPair
// is destroyed; a spawned process is killed when its NetnsProcess is.
//
// Creating namespaces needs root (CAP_SYS_ADMIN and CAP_NET_ADMIN). Start every
// wire test with HALYARD_REQUIRE_NETNS(), which skips the test with a message
// saying so when the privileges are missing.
//
// Code runs inside a namespace on a thread that joined it (its own network
// namespace, and a private mount namespace with /sys remounted so that
// /sys/class/net lists that namespace's interfaces, as `ip netns exec` does).
// The rest of the process stays where it was. Programs are started inside a
// namespace the same way `ip netns exec` starts them.
//
// Usage:
//
//   #include "support/netns.h"
//
//   TEST(ScanWire, FindsEmulatedDevice) {
//       HALYARD_REQUIRE_NETNS();
//       NetnsPair net;                                   // hy0 <-> hy1, links up
//       ASSERT_TRUE(net.ok()) << net.error();
//       ASSERT_TRUE(net.setMac(NetnsPair::Host, "02:00:00:00:00:01"));
//
//       // The emulator on the far end, killed when `sim` (or `net`) goes away:
//       NetnsProcess sim = net.spawn(NetnsPair::Plc,
//           {PLCSIM_PATH, "--interface", net.ifName(NetnsPair::Plc), "--scenario", file});
//       ASSERT_TRUE(sim.running());
//
//       // The core inside the host namespace; the result comes back to the test:
//       bool found = net.runIn(NetnsPair::Host, [] {
//           openAllInterfaces();
//           return scanNetwork();
//       });
//       EXPECT_TRUE(found);
//
//       // Or keep a thread in the namespace while the test does other work:
//       std::thread t = net.threadIn(NetnsPair::Host, [] { /* ... */ });
//       t.join();
//   }
//
// Assertions (EXPECT_*, ASSERT_*) work inside runIn/threadIn functions; an
// exception thrown by a runIn function is rethrown in the caller.
#include <sys/types.h>

#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

// True when this process may create network namespaces and veth pairs (checked
// once, by creating and deleting a probe namespace).
bool haveNetnsPrivileges();
// The reason given when a wire test skips.
const char* netnsSkipMessage();

// A shell step for a program a test spawns (in a mount namespace of its own):
// where the package made /run/halyard, the folder of the exporter's locks, the
// program's runtime folder "$w" is mounted over it, so the claims of the
// program and of its test meet there and never those of another test.
#define HALYARD_PRIVATE_SHARE_SH "{ [ ! -d /run/halyard ] || mount --bind \"$w\" /run/halyard; }"

#define HALYARD_REQUIRE_NETNS()                                                                    \
    do {                                                                                           \
        if (!haveNetnsPrivileges())                                                                \
            GTEST_SKIP() << netnsSkipMessage();                                                    \
    } while (0)

// Runs a program to completion with stdout and stderr captured (no shell).
// Returns its exit status, or -1 when it could not be started.
int runProgram(const std::vector<std::string>& argv, std::string* output = nullptr);

// Joins the calling thread to network namespace `ns` (a name under
// /run/netns) and gives it a private mount namespace with the namespace's
// /sys. Only for threads created for that purpose: the thread cannot leave.
bool enterNetns(const std::string& ns, std::string* error = nullptr);

// A process started inside a namespace. Killed (SIGTERM, then SIGKILL after a
// grace period) when stopped or destroyed. Move-only.
class NetnsProcess {
  public:
    NetnsProcess() = default;
    explicit NetnsProcess(pid_t pid) : pid_(pid) {}
    NetnsProcess(NetnsProcess&& other) noexcept;
    NetnsProcess& operator=(NetnsProcess&& other) noexcept;
    NetnsProcess(const NetnsProcess&) = delete;
    NetnsProcess& operator=(const NetnsProcess&) = delete;
    ~NetnsProcess() { stop(); }

    pid_t pid() const { return pid_; }
    // True while the process has not exited.
    bool running();
    // Waits up to `timeoutMs` for the process to exit on its own; returns its
    // exit status (128 + signal when killed by one), or nullopt if still running.
    std::optional<int> waitExit(int timeoutMs);
    // Terminates the process and reaps it; returns its exit status (as above).
    std::optional<int> stop();

  private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

class NetnsPair {
  public:
    enum Side { Host = 0, Plc = 1 };
    struct Options {
        std::string hostIf = "hy0";
        std::string plcIf = "hy1";
        std::string hostMac; // "xx:xx:xx:xx:xx:xx"; empty keeps the random one
        std::string plcMac;
    };

    NetnsPair() : NetnsPair(Options{}) {}
    explicit NetnsPair(const Options& options);
    ~NetnsPair();
    NetnsPair(const NetnsPair&) = delete;
    NetnsPair& operator=(const NetnsPair&) = delete;

    // False when setting up failed; error() says which step.
    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }

    const std::string& ns(Side side) const { return ns_[side]; }
    const std::string& ifName(Side side) const { return if_[side]; }

    // Sets the MAC of the side's veth end ("02:00:00:00:00:01").
    bool setMac(Side side, const std::string& mac);
    // The MAC `ip link` shows for an interface in the side's namespace
    // (lower-case "xx:xx:..."), empty when it cannot be read.
    std::string macOf(Side side, const std::string& ifname = "") const;
    // Adds another veth pair with both ends (`a`, `b`) inside the side's
    // namespace, links up: more Ethernet interfaces for enumeration tests.
    bool addLocalVeth(Side side, const std::string& a, const std::string& b);
    // Runs `ip -n <ns> args...`; returns its exit status.
    int ip(Side side, const std::vector<std::string>& args, std::string* output = nullptr) const;

    // Runs `fn` on a thread inside the side's namespace and returns its result.
    // When the thread cannot join the namespace, the test fails and `fn` does
    // not run (a default-constructed result is returned).
    template <class F> auto runIn(Side side, F&& fn) -> std::invoke_result_t<F> {
        using R = std::invoke_result_t<F>;
        std::exception_ptr failure;
        if constexpr (std::is_void_v<R>) {
            runOnThread(side, [&] {
                try {
                    fn();
                } catch (...) {
                    failure = std::current_exception();
                }
            });
            if (failure)
                std::rethrow_exception(failure);
        } else {
            std::optional<R> result;
            runOnThread(side, [&] {
                try {
                    result.emplace(fn());
                } catch (...) {
                    failure = std::current_exception();
                }
            });
            if (failure)
                std::rethrow_exception(failure);
            return result ? std::move(*result) : R{};
        }
    }

    // Starts a thread inside the side's namespace running `fn`; the caller joins it.
    std::thread threadIn(Side side, std::function<void()> fn) const;

    // Starts `argv` (the program is looked up in PATH) inside the side's
    // namespace and returns once it runs there; a program that cannot be
    // started fails the test and yields an empty NetnsProcess. Output goes to
    // `logPath` when given (appended), else to the test's own output. Call it
    // from the test's thread: the process is killed when the calling thread ends.
    NetnsProcess spawn(Side side, const std::vector<std::string>& argv,
                       const std::string& logPath = "") const;

  private:
    void runOnThread(Side side, const std::function<void()>& fn) const;
    bool step(const std::vector<std::string>& argv, const char* what);
    std::string ns_[2];
    std::string if_[2];
    bool created_[2] = {false, false};
    bool ok_ = false;
    std::string error_;
};
