#include "support/netns.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>

#include <gtest/gtest.h>

extern char** environ;

namespace {

// The `ip` program; root's PATH usually has it, a plain user's may not.
const std::string& ipPath() {
    static const std::string path = [] {
        for (const char* candidate : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
            if (access(candidate, X_OK) == 0)
                return std::string(candidate);
        return std::string("ip");
    }();
    return path;
}

std::vector<char*> cArgv(const std::vector<std::string>& argv) {
    std::vector<char*> out;
    for (const std::string& a : argv)
        out.push_back(const_cast<char*>(a.c_str()));
    out.push_back(nullptr);
    return out;
}

std::optional<int> decodeStatus(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return std::nullopt;
}

std::string errnoText(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

// Best effort: no IPv6 on new interfaces, so the links carry no router
// solicitations or multicast reports that tests would have to ignore.
void quietIpv6() {
    for (const char* path : {"/proc/sys/net/ipv6/conf/default/disable_ipv6",
                             "/proc/sys/net/ipv6/conf/all/disable_ipv6"}) {
        std::ofstream f(path);
        if (f)
            f << "1\n";
    }
}

} // namespace

int runProgram(const std::vector<std::string>& argv, std::string* output) {
    if (argv.empty())
        return -1;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    std::vector<char*> args = cArgv(argv);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        return -1;
    }
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            text.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (output)
        *output = text;
    return decodeStatus(status).value_or(-1);
}

bool haveNetnsPrivileges() {
    static const bool have = [] {
        if (geteuid() != 0)
            return false;
        std::string probe = "hyprobe" + std::to_string(getpid());
        if (runProgram({ipPath(), "netns", "add", probe}) != 0)
            return false;
        runProgram({ipPath(), "netns", "del", probe});
        return true;
    }();
    return have;
}

const char* netnsSkipMessage() {
    return "wire test skipped: creating network namespaces and veth pairs needs root "
           "(CAP_SYS_ADMIN and CAP_NET_ADMIN) and iproute2; run it as root, e.g. "
           "`sudo ctest -L wire`";
}

bool enterNetns(const std::string& ns, std::string* error) {
    auto fail = [&](const char* what) {
        if (error)
            *error = errnoText(what);
        return false;
    };
    int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return fail("open namespace");
    // The mount namespace change below needs a filesystem context of our own.
    if (unshare(CLONE_FS) != 0) {
        close(fd);
        return fail("unshare(CLONE_FS)");
    }
    int rc = setns(fd, CLONE_NEWNET);
    close(fd);
    if (rc != 0)
        return fail("setns(CLONE_NEWNET)");
    // /sys shows the interfaces of the namespace that mounted it: remount it
    // privately, so that /sys/class/net lists this namespace's interfaces.
    if (unshare(CLONE_NEWNS) != 0)
        return fail("unshare(CLONE_NEWNS)");
    if (mount("", "/", "none", MS_SLAVE | MS_REC, nullptr) != 0)
        return fail("make / a slave mount");
    umount2("/sys", MNT_DETACH);
    if (mount(ns.c_str(), "/sys", "sysfs", 0, nullptr) != 0)
        return fail("mount sysfs");
    return true;
}

// ---------------------------------------------------------------------------
// NetnsProcess

NetnsProcess::NetnsProcess(NetnsProcess&& other) noexcept
    : pid_(other.pid_), status_(other.status_) {
    other.pid_ = -1;
}

NetnsProcess& NetnsProcess::operator=(NetnsProcess&& other) noexcept {
    if (this != &other) {
        stop();
        pid_ = other.pid_;
        status_ = other.status_;
        other.pid_ = -1;
    }
    return *this;
}

bool NetnsProcess::running() {
    if (pid_ <= 0 || status_)
        return false;
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        status_ = decodeStatus(status).value_or(-1);
        return false;
    }
    return r == 0;
}

std::optional<int> NetnsProcess::waitExit(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (running()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        usleep(5000);
    }
    return status_;
}

std::optional<int> NetnsProcess::stop() {
    if (pid_ <= 0)
        return std::nullopt;
    if (running()) {
        kill(pid_, SIGTERM);
        if (!waitExit(2000)) {
            kill(pid_, SIGKILL);
            int status = 0;
            while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            status_ = decodeStatus(status).value_or(-1);
        }
    }
    pid_ = -1;
    return status_;
}

// ---------------------------------------------------------------------------
// NetnsPair

NetnsPair::NetnsPair(const Options& options) {
    static std::atomic<int> counter{0};
    std::string tag = std::to_string(getpid()) + "n" + std::to_string(counter++);
    ns_[Host] = "hyw" + tag + "h";
    ns_[Plc] = "hyw" + tag + "p";
    if_[Host] = options.hostIf;
    if_[Plc] = options.plcIf;

    for (Side side : {Host, Plc}) {
        if (!step({ipPath(), "netns", "add", ns_[side]}, "create namespace"))
            return;
        created_[side] = true;
        runOnThread(side, quietIpv6);
        if (ip(side, {"link", "set", "lo", "up"}) != 0) {
            error_ = "cannot set lo up in " + ns_[side];
            return;
        }
    }
    if (!step({ipPath(), "link", "add", if_[Host], "netns", ns_[Host], "type", "veth", "peer",
               "name", if_[Plc], "netns", ns_[Plc]},
              "create veth pair"))
        return;
    if (!options.hostMac.empty() && !setMac(Host, options.hostMac))
        return;
    if (!options.plcMac.empty() && !setMac(Plc, options.plcMac))
        return;
    for (Side side : {Host, Plc})
        if (!step({ipPath(), "-n", ns_[side], "link", "set", "dev", if_[side], "up"}, "link up"))
            return;
    ok_ = true;
}

NetnsPair::~NetnsPair() {
    // Deleting a namespace destroys the interfaces in it; a veth end takes its
    // peer along.
    for (Side side : {Host, Plc})
        if (created_[side])
            runProgram({ipPath(), "netns", "del", ns_[side]});
}

bool NetnsPair::step(const std::vector<std::string>& argv, const char* what) {
    std::string out;
    if (runProgram(argv, &out) == 0)
        return true;
    ok_ = false;
    error_ = std::string(what) + " failed: " + out;
    return false;
}

int NetnsPair::ip(Side side, const std::vector<std::string>& args, std::string* output) const {
    std::vector<std::string> argv = {ipPath(), "-n", ns_[side]};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProgram(argv, output);
}

bool NetnsPair::setMac(Side side, const std::string& mac) {
    std::string out;
    if (ip(side, {"link", "set", "dev", if_[side], "address", mac}, &out) == 0)
        return true;
    error_ = "set MAC " + mac + " on " + if_[side] + " failed: " + out;
    return false;
}

std::string NetnsPair::macOf(Side side, const std::string& ifname) const {
    std::string out;
    if (ip(side, {"-o", "link", "show", "dev", ifname.empty() ? if_[side] : ifname}, &out) != 0)
        return "";
    const std::string key = "link/ether ";
    size_t at = out.find(key);
    if (at == std::string::npos || at + key.size() + 17 > out.size())
        return "";
    return out.substr(at + key.size(), 17);
}

bool NetnsPair::addLocalVeth(Side side, const std::string& a, const std::string& b) {
    if (ip(side, {"link", "add", a, "type", "veth", "peer", "name", b}) != 0)
        return false;
    return ip(side, {"link", "set", "dev", a, "up"}) == 0 &&
           ip(side, {"link", "set", "dev", b, "up"}) == 0;
}

void NetnsPair::runOnThread(Side side, const std::function<void()>& fn) const {
    std::thread worker = threadIn(side, fn);
    worker.join();
}

std::thread NetnsPair::threadIn(Side side, std::function<void()> fn) const {
    return std::thread([ns = ns_[side], fn = std::move(fn)] {
        std::string error;
        if (!enterNetns(ns, &error)) {
            ADD_FAILURE() << "cannot enter namespace " << ns << ": " << error;
            return;
        }
        fn();
    });
}

NetnsProcess NetnsPair::spawn(Side side, const std::vector<std::string>& argv,
                              const std::string& logPath) const {
    if (argv.empty()) {
        ADD_FAILURE() << "spawn: no program given";
        return NetnsProcess();
    }
    // Everything the child needs is prepared here: after fork only plain
    // system calls run, as the test process may have other threads.
    std::vector<char*> args = cArgv(argv);
    int nsFd = open(("/run/netns/" + ns_[side]).c_str(), O_RDONLY | O_CLOEXEC);
    if (nsFd < 0) {
        ADD_FAILURE() << errnoText("open namespace");
        return NetnsProcess();
    }
    int logFd = -1;
    if (!logPath.empty())
        logFd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    // Closed by a successful exec; carries the errno of a failed step otherwise.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        close(nsFd);
        ADD_FAILURE() << errnoText("pipe");
        return NetnsProcess();
    }
    const char* sysfsName = ns_[side].c_str();
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        close(report[0]);
        // Dies with the test (the death signal follows the forking thread, so
        // spawn from the test's own thread, not from a runIn function).
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        int failed = 0;
        if (getppid() != parent)
            failed = ESRCH;
        else if (setns(nsFd, CLONE_NEWNET) != 0 || unshare(CLONE_NEWNS) != 0 ||
                 mount("", "/", "none", MS_SLAVE | MS_REC, nullptr) != 0)
            failed = errno;
        else {
            umount2("/sys", MNT_DETACH);
            if (mount(sysfsName, "/sys", "sysfs", 0, nullptr) != 0)
                failed = errno;
        }
        if (failed == 0) {
            if (logFd >= 0) {
                dup2(logFd, 1);
                dup2(logFd, 2);
            }
            execvp(args[0], args.data());
            failed = errno;
        }
        ssize_t ignored = write(report[1], &failed, sizeof failed);
        (void)ignored;
        _exit(127);
    }
    close(report[1]);
    close(nsFd);
    if (logFd >= 0)
        close(logFd);
    if (pid < 0) {
        close(report[0]);
        ADD_FAILURE() << errnoText("fork");
        return NetnsProcess();
    }
    // Returns once the program runs inside the namespace (or could not start).
    int childErrno = 0;
    ssize_t n;
    while ((n = read(report[0], &childErrno, sizeof childErrno)) < 0 && errno == EINTR) {
    }
    close(report[0]);
    NetnsProcess process(pid);
    if (n > 0) {
        process.stop();
        ADD_FAILURE() << "cannot start " << argv[0] << " in " << ns_[side] << ": "
                      << std::strerror(childErrno);
        return NetnsProcess();
    }
    return process;
}
