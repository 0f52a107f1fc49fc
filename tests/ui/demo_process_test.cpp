// halyard-demo as its user meets it: a separate, ordinary process on the real
// clock and the real QTimer, under a virtual X server, driven only through
// its window with xdotool (keys and the window system, nothing inside the
// process). What it did is read back from the files it writes in its --keep
// folder: scan.log while it runs, the device database and emulator-state.json
// once its window is closed.
//
//   1. The Main page lists the three adapters within a few seconds.
//   2. On the Security page, a checked remote adapter gets a private network
//      password (its device password typed into the dialog checking opens).
//   3. Add Device brings the fourth adapter, on another network, into the
//      local network by its device password.
//
// A second test runs halyard-demo in a network namespace with nothing but
// "lo" (root only) and checks that it opens no packet socket there.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "demo/demo_folder.h"
#include "support/home_scenario.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool onPath(const char* program) {
    std::string cmd = std::string("command -v ") + program + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

// Waits until `done` holds or `seconds` passed; true when it held.
bool waitFor(double seconds, const std::function<bool()>& done) {
    auto end = Clock::now() + std::chrono::milliseconds(static_cast<int>(seconds * 1000));
    while (Clock::now() < end) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return done();
}

// A child process with its own environment additions and output file.
struct Child {
    pid_t pid = -1;
    int status = -1;

    void start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
               const std::string& output) {
        pid = fork();
        if (pid == 0) {
            for (auto& [k, v] : env)
                setenv(k.c_str(), v.c_str(), 1);
            int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
            }
            std::vector<char*> args;
            for (const std::string& a : argv)
                args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execvp(args[0], args.data());
            _exit(127);
        }
    }
    bool running() {
        if (pid <= 0)
            return false;
        int st = 0;
        pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid) {
            status = st;
            pid = -1;
            return false;
        }
        return r == 0;
    }
    // Waits for the end; kills it after `seconds`. Returns the exit code (-1: killed or signalled).
    int wait(double seconds) {
        if (pid > 0 && !waitFor(seconds, [&] { return !running(); })) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            pid = -1;
            return -1;
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    ~Child() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
};

// Xvfb on a free display number, found through -displayfd.
struct XServer {
    Child server;
    std::string display;

    bool start(const std::string& log) {
        int fds[2];
        if (pipe(fds) != 0)
            return false;
        server.pid = fork();
        if (server.pid == 0) {
            close(fds[0]);
            int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
            }
            std::string displayFd = std::to_string(fds[1]);
            execlp("Xvfb", "Xvfb", "-displayfd", displayFd.c_str(), "-screen", "0", "1280x800x24",
                   "-nolisten", "tcp", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        std::string number;
        char c;
        while (read(fds[0], &c, 1) == 1 && c != '\n')
            number.push_back(c);
        close(fds[0]);
        if (number.empty())
            return false;
        display = ":" + number;
        return true;
    }
};

// xdotool on the test's display: real key presses (XTEST) go to the window
// that has the input focus, as a user's keys do.
struct Xdo {
    std::string display;

    std::string run(const std::string& args) const {
        std::string cmd = "DISPLAY=" + display + " xdotool " + args + " 2>/dev/null";
        std::string out;
        if (FILE* p = popen(cmd.c_str(), "r")) {
            char buf[256];
            while (fgets(buf, sizeof buf, p))
                out += buf;
            pclose(p);
        }
        return out;
    }
    // Visible top-level windows whose name contains `name`.
    std::vector<std::string> windows(const std::string& name) const {
        std::vector<std::string> ids;
        std::istringstream in(run("search --onlyvisible --name '" + name + "'"));
        for (std::string id; in >> id;)
            ids.push_back(id);
        return ids;
    }
    std::string windowName(const std::string& id) const {
        std::string n = run("getwindowname " + id);
        while (!n.empty() && n.back() == '\n')
            n.pop_back();
        return n;
    }
    std::string waitWindow(const std::string& name, double seconds) const {
        std::string found;
        waitFor(seconds, [&] {
            auto ids = windows(name);
            if (!ids.empty())
                found = ids.front();
            return !found.empty();
        });
        return found;
    }
    bool gone(const std::string& id, double seconds) const {
        return waitFor(seconds, [&] {
            for (const std::string& w : windows(""))
                if (w == id)
                    return false;
            return true;
        });
    }
    void focus(const std::string& id) const { run("windowfocus --sync " + id); }
    void keys(const std::string& keys) const {
        run("key --delay 60 " + keys);
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    void type(const std::string& text) const {
        run("type --delay 30 '" + text + "'");
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    // A screenshot of the whole screen (xwd, turned into PNG when ImageMagick is there).
    void screenshot(const std::string& name) const {
        std::string base = std::string(UI_SCREENSHOT_DIR) + "/" + name;
        std::string cmd = "xwd -display " + display + " -root -silent > '" + base +
                          ".xwd' 2>/dev/null" + " && (command -v convert >/dev/null && convert '" +
                          base + ".xwd' '" + base + ".png' && rm -f '" + base + ".xwd' || true)";
        (void)std::system(cmd.c_str());
    }
};

struct Station {
    std::string nmk;
    std::string firmware;
};

std::map<std::string, Station> emulatorState(const std::string& path) {
    std::map<std::string, Station> out;
    std::string text = readText(path);
    if (text.empty())
        return out;
    nlohmann::json state = nlohmann::json::parse(text);
    for (const auto& s : state["stations"])
        out[s["mac"].get<std::string>()] = {s.value("nmk", ""), s.value("firmware", "")};
    return out;
}

std::string nmkHex(const std::string& password) {
    sim::AvKey key = sim::nmkOf(password);
    char hex[33];
    for (size_t i = 0; i < key.size(); ++i)
        std::snprintf(hex + 2 * i, 3, "%02X", key[i]);
    return hex;
}

// The environment of the demo: its own home and XDG folders inside the
// test's temporary folder, so that nothing it does could reach the user's.
std::map<std::string, std::string> demoEnvironment(const TempDir& dir) {
    for (const char* sub : {"home", "run"}) {
        fs::create_directories(dir.file(sub));
        ::chmod(dir.file(sub).c_str(), 0700);
    }
    return {{"HOME", dir.file("home")},
            {"XDG_CONFIG_HOME", dir.file("home/.config")},
            {"XDG_DATA_HOME", dir.file("home/.local/share")},
            {"XDG_STATE_HOME", dir.file("home/.local/state")},
            {"XDG_CACHE_HOME", dir.file("home/.cache")},
            {"XDG_RUNTIME_DIR", dir.file("run")}};
}

// No OEMPrefs.dat, database or log of halyard's own anywhere in the home folder.
std::vector<std::string> halyardFilesIn(const std::string& home) {
    std::vector<std::string> found;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(home, ec); !ec && it != fs::end(it);
         it.increment(ec)) {
        std::string name = it->path().filename().string();
        std::string path = it->path().string();
        if (name == "OEMPrefs.dat" || name.ends_with(".data") || name == "scan.log" ||
            path.find("halyard") != std::string::npos || path.find("tollbeam") != std::string::npos)
            found.push_back(path);
    }
    return found;
}

constexpr const char* kTitle = "demonstration on emulated adapters";
constexpr const char* kRemote = home_json::kLiving;
constexpr const char* kRemotePassword = home_json::kLivingPassword;
constexpr const char* kOther = home_json::kGarage;
constexpr const char* kOtherPassword = home_json::kGaragePassword;
constexpr const char* kPrivate = "DemoPrivate1";

TEST(DemoProcess, MainSecurityAndAddDeviceThroughTheWindow) {
    if (!onPath("Xvfb") || !onPath("xdotool"))
        GTEST_SKIP() << "needs Xvfb and xdotool (scripts/setup installs them)";
    TempDir dir;
    XServer x;
    ASSERT_TRUE(x.start(dir.file("xvfb.log"))) << readText(dir.file("xvfb.log"));
    Xdo xdo{x.display};
    const std::string keep = dir.file("demo");
    auto env = demoEnvironment(dir);
    env["DISPLAY"] = x.display;
    env["QT_QPA_PLATFORM"] = "xcb";
    Child demo;
    demo.start({HALYARD_DEMO_BINARY, "--keep", keep}, env, dir.file("demo.out"));
    const std::string log = keep + "/scan.log";
    auto output = [&] { return readText(dir.file("demo.out")); };

    // ---- 1. Main: the three adapters within a few seconds ----------------------------------
    auto start = Clock::now();
    std::string window = xdo.waitWindow(kTitle, 20);
    ASSERT_FALSE(window.empty()) << output();
    EXPECT_EQ("Halyard Demo - demonstration on emulated adapters", xdo.windowName(window));
    // The first automatic cycle writes its picture of the remote slots: both
    // remote adapters of the local network present, the fourth not there.
    ASSERT_TRUE(waitFor(10,
                        [&] {
                            std::string text = readText(log);
                            return text.find(std::string("\t") + kRemote + "\t1") !=
                                       std::string::npos &&
                                   text.find("\t00:B0:52:00:00:12\t1") != std::string::npos;
                        }))
        << readText(log) << output();
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_LT(seconds, 15.0);
    EXPECT_EQ(std::string::npos, readText(log).find(kOther));
    EXPECT_NE(std::string::npos, readText(log).find("Present=1"));
    xdo.screenshot("demo_main");

    // ---- 2. Security: a private network password on a checked remote -----------------------
    // Each automatic cycle (every 30 s) rebuilds the lists; the steps below
    // start right after one, as a user who just looked at the list would.
    // One interval is 30 s plus the cycle's own time; a loaded machine may
    // stretch it, so allow for two before calling the cycle stuck.
    size_t logSize = readText(log).size();
    if (!waitFor(75, [&] { return readText(log).size() > logSize; })) {
        xdo.screenshot("demo_no_cycle");
        FAIL() << "no automatic cycle within 75 s\n" << readText(log) << output();
    }
    xdo.focus(window);
    xdo.keys("ctrl+Tab");            // Security page; the key field has the focus
    xdo.keys("shift+Tab Home Down"); // the list, its second row: the first remote
    xdo.keys("space");               // check it: the password dialog opens
    std::string password = xdo.waitWindow("Set Device Password", 10);
    ASSERT_FALSE(password.empty()) << output();
    xdo.focus(password);
    xdo.type(kRemotePassword);
    xdo.keys("Return");
    ASSERT_TRUE(xdo.gone(password, 10));
    xdo.focus(window);
    xdo.keys("Tab ctrl+a"); // the key field
    xdo.type(kPrivate);
    xdo.keys("Tab Tab"); // "Set Selected Devices"
    xdo.screenshot("demo_security");
    xdo.keys("space");
    // The confirmation, then (after the fixed waits) the outcome.
    std::string confirm = xdo.waitWindow("Encryption Key Setting", 10);
    ASSERT_FALSE(confirm.empty()) << output();
    xdo.focus(confirm);
    xdo.keys("Return");
    std::string outcome;
    ASSERT_TRUE(waitFor(30, [&] {
        for (const std::string& w : xdo.windows("")) {
            std::string n = xdo.windowName(w);
            if (w != window && w != confirm &&
                (n == "Information" || n == "Error" || n == "Stop")) {
                outcome = w;
                return true;
            }
        }
        return false;
    })) << output();
    EXPECT_EQ("Information", xdo.windowName(outcome));
    xdo.focus(outcome);
    xdo.keys("Return");
    ASSERT_TRUE(xdo.gone(outcome, 10));

    // ---- 3. Add Device: the fourth adapter by its password ----------------------------------
    xdo.focus(window);
    xdo.keys("ctrl+shift+Tab");
    xdo.keys("ctrl+Tab");          // the Security page again, focus in the key field
    xdo.keys("Tab Tab Tab space"); // "Add Device..."
    std::string add = xdo.waitWindow("Add Device to Network", 10);
    ASSERT_FALSE(add.empty()) << output();
    xdo.focus(add);
    xdo.keys("ctrl+a");
    xdo.type("Garage");
    xdo.keys("Tab ctrl+a");
    xdo.type(kOtherPassword);
    xdo.screenshot("demo_add_device");
    xdo.keys("Return");
    // The dialog closes by itself once a scan named the new adapter.
    ASSERT_TRUE(xdo.gone(add, 90)) << output();
    ASSERT_TRUE(waitFor(40, [&] {
        return readText(log).find(std::string("\t") + kOther + "\t1") != std::string::npos;
    })) << readText(log);
    xdo.screenshot("demo_after_add");

    // ---- The end: the Close button, then what the demo left --------------------------------
    xdo.focus(window);
    xdo.keys("Escape");
    ASSERT_EQ(0, demo.wait(20)) << output();
    EXPECT_NE(std::string::npos, output().find("halyard-demo: kept " + keep));

    auto stations = emulatorState(keep + "/" + kEmulatorStateFile);
    ASSERT_EQ(4u, stations.size()) << readText(keep + "/" + kEmulatorStateFile);
    EXPECT_EQ(nmkHex(kPrivate), stations[kRemote].nmk);
    const std::string publicKey = nmkHex("HomePlugAV");
    EXPECT_EQ(publicKey, stations[home_json::kLocal].nmk); // the local was not checked
    EXPECT_EQ(publicKey, stations[home_json::kBedroom].nmk);
    EXPECT_EQ(publicKey, stations[kOther].nmk); // joined the local network
    // The database of the demo holds the adapters it listed, with the names and passwords typed.
    std::string database = readText(keep + "/data/Halyard Demo.data");
    EXPECT_FALSE(database.empty());
    EXPECT_NE(std::string::npos, database.find(kRemotePassword));
    EXPECT_NE(std::string::npos, database.find("Garage"));
    EXPECT_NE(std::string::npos, database.find(kOtherPassword));
    EXPECT_TRUE(halyardFilesIn(dir.file("home")).empty())
        << ::testing::PrintToString(halyardFilesIn(dir.file("home")));
}

// The packet sockets of the current network namespace that `pid` holds open.
std::vector<std::string> packetSocketsOf(pid_t pid) {
    std::set<std::string> inodes;
    std::istringstream table(readText("/proc/" + std::to_string(pid) + "/net/packet"));
    std::string line;
    std::getline(table, line); // header: sk RefCnt Type Proto Iface R Rmem User Inode
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::vector<std::string> f;
        for (std::string w; fields >> w;)
            f.push_back(w);
        if (!f.empty())
            inodes.insert(f.back());
    }
    std::vector<std::string> open;
    std::error_code ec;
    for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        std::string target = fs::read_symlink(fd.path(), ec).string();
        if (target.rfind("socket:[", 0) == 0 && inodes.count(target.substr(8, target.size() - 9)))
            open.push_back(target);
    }
    return open;
}

TEST(DemoProcess, OpensNoPacketSocketInANamespaceWithOnlyLoopback) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to make a network namespace (unshare --net); run as root";
    if (!onPath("unshare"))
        GTEST_SKIP() << "needs unshare (util-linux)";
    TempDir dir;
    const std::string keep = dir.file("demo");
    auto env = demoEnvironment(dir);
    // No display is needed for this check: Qt's offscreen platform.
    env["QT_QPA_PLATFORM"] = "offscreen";
    Child demo;
    demo.start({"unshare", "--net", "--", HALYARD_DEMO_BINARY, "--keep", keep}, env,
               dir.file("demo.out"));
    auto output = [&] { return readText(dir.file("demo.out")); };
    // halyard-demo is the process unshare turns into (exec): the same pid.
    ASSERT_TRUE(waitFor(20, [&] {
        return readText(keep + "/scan.log").find("\t00:B0:52:00:00:12\t1") != std::string::npos;
    })) << output();
    const std::string proc = "/proc/" + std::to_string(demo.pid);
    std::string exe = fs::read_symlink(proc + "/exe").string();
    ASSERT_NE(std::string::npos, exe.find("halyard-demo")) << exe;
    // Its namespace is not this one, and holds only the loopback interface.
    EXPECT_NE(fs::read_symlink(proc + "/ns/net"), fs::read_symlink("/proc/self/ns/net"));
    std::istringstream devices(readText(proc + "/net/dev"));
    std::vector<std::string> interfaces;
    std::string line;
    std::getline(devices, line);
    std::getline(devices, line);
    while (std::getline(devices, line)) {
        std::string name = line.substr(0, line.find(':'));
        name.erase(0, name.find_first_not_of(' '));
        interfaces.push_back(name);
    }
    EXPECT_EQ((std::vector<std::string>{"lo"}), interfaces);
    // It found the emulated adapters there, and opened no packet socket to do it.
    EXPECT_TRUE(packetSocketsOf(demo.pid).empty())
        << ::testing::PrintToString(packetSocketsOf(demo.pid));
    std::string packets = readText(proc + "/net/packet");
    EXPECT_EQ(1, std::count(packets.begin(), packets.end(), '\n')) << packets;
    kill(demo.pid, SIGTERM);
    EXPECT_EQ(0, demo.wait(20)) << output();
    EXPECT_TRUE(fs::exists(keep + "/" + kEmulatorStateFile));
}

} // namespace
