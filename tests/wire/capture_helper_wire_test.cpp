// halyard-capture itself over a real veth pair, spoken to in its own protocol
// as a client of another version or a hostile one would: every request it
// must refuse is answered with an error while the session goes on, and
// nothing it refused reaches the wire (the far end captures everything).
// Also what it keeps of its rights, and that it ends with its client.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "capture/protocol.h"
#include "packet/helper_driver.h"
#include "support/capture_messages.h"
#include "support/netns.h"
#include "support/raw_socket.h"

namespace {

using Bytes = std::vector<uint8_t>;

const uint8_t kHostMac[6] = {0x02, 0x48, 0x59, 0x00, 0x01, 0x01};
const uint8_t kPlcMac[6] = {0x02, 0x48, 0x59, 0x00, 0x01, 0x02};
const uint8_t kAdapterMac[6] = {0x00, 0xB0, 0x52, 0x00, 0x00, 0x10};
const uint8_t kStrangerMac[6] = {0x00, 0xB0, 0x52, 0x66, 0x66, 0x66};
const uint8_t kBroadcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

Bytes message(uint8_t type, uint16_t handle, const Bytes& body = {}) {
    return captureMessage(type, handle, body);
}

Bytes nameBytes(const std::string& name) {
    return Bytes(name.begin(), name.end());
}

// The helper started by hand in the host namespace, as the driver starts it.
class Helper {
  public:
    explicit Helper(NetnsPair& net) {
        net.runIn(NetnsPair::Host, [&] {
            int pair[2];
            ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair));
            int childEnd = fcntl(pair[1], F_DUPFD_CLOEXEC, 10);
            ::close(pair[1]);
            posix_spawn_file_actions_t actions;
            posix_spawn_file_actions_init(&actions);
            posix_spawn_file_actions_adddup2(&actions, childEnd, HC_SOCKET_FD);
            char name[] = "halyard-capture";
            char* argv[] = {name, nullptr};
            char home[] = "HOME=/root", plugins[] = "QT_PLUGIN_PATH=/tmp/evil";
            char* envp[] = {home, plugins, nullptr}; // it must clear these itself
            const std::string path = findCaptureHelper();
            ASSERT_EQ(0, posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, envp)) << path;
            posix_spawn_file_actions_destroy(&actions);
            ::close(childEnd);
            fd = pair[0];
        });
    }
    ~Helper() {
        if (fd >= 0)
            ::close(fd);
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

    void send(const Bytes& m) {
        ASSERT_EQ(static_cast<ssize_t>(m.size()), ::send(fd, m.data(), m.size(), MSG_NOSIGNAL));
    }
    // The next message that is not a captured frame (frames are kept).
    std::optional<Bytes> next(int timeoutMs = 3000) {
        for (;;) {
            pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) <= 0)
                return std::nullopt;
            Bytes m(HC_MAX_MESSAGE + 1);
            ssize_t n = recv(fd, m.data(), m.size(), 0);
            if (n <= 0)
                return std::nullopt;
            m.resize(static_cast<size_t>(n));
            if (m[0] == HC_FRAME)
                frames.emplace_back(m.begin() + HC_HEADER_SIZE, m.end());
            else
                return m;
        }
    }
    // Sends a request and returns the reply's type (0 when none came).
    uint8_t ask(const Bytes& m, Bytes* reply = nullptr) {
        send(m);
        std::optional<Bytes> r = next();
        if (reply && r)
            *reply = *r;
        return r ? (*r)[0] : 0;
    }
    uint16_t open(const std::string& name) {
        Bytes reply;
        EXPECT_EQ(HC_OPENED, ask(message(HC_OPEN, 0, nameBytes(name)), &reply));
        uint16_t handle = 0;
        if (reply.size() >= 4)
            std::memcpy(&handle, reply.data() + 2, 2);
        return handle;
    }

    pid_t pid = 0;
    int fd = -1;
    std::vector<Bytes> frames;
};

std::string errorText(const Bytes& reply) {
    return reply.size() > 6 ? std::string(reply.begin() + 6, reply.end()) : "";
}

std::string procField(pid_t pid, const std::string& file, const std::string& key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key, 0) == 0)
            return line.substr(key.size());
    return {};
}

class CaptureHelperWire : public ::testing::Test {
  protected:
    void SetUp() override {
        HALYARD_REQUIRE_NETNS();
        NetnsPair::Options options;
        options.hostMac = macText(kHostMac);
        options.plcMac = macText(kPlcMac);
        net.emplace(options);
        ASSERT_TRUE(net->ok()) << net->error();
    }
    std::optional<NetnsPair> net;
};

TEST_F(CaptureHelperWire, RefusesWhatItMustAndSendsNothingItRefused) {
    RawSocket far(*net, NetnsPair::Plc);
    ASSERT_TRUE(far.ok());
    Helper helper(*net);
    ASSERT_FALSE(HasFatalFailure());
    std::optional<Bytes> hello = helper.next();
    ASSERT_TRUE(hello.has_value());
    EXPECT_EQ(message(HC_HELLO, HC_PROTOCOL_VERSION), *hello);

    Bytes reply;
    ASSERT_EQ(HC_INTERFACES, helper.ask(message(HC_ENUMERATE, 0), &reply));
    EXPECT_EQ(1, reply[4]) << "the veth end alone, no loopback";

    // Interfaces outside its own list: the loopback, one that does not exist,
    // a path.
    for (const char* name : {"lo", "nosuch0", "any"}) {
        ASSERT_EQ(HC_ERROR, helper.ask(message(HC_OPEN, 0, nameBytes(name)), &reply)) << name;
        EXPECT_EQ(HC_OPEN, reply[4]);
        EXPECT_EQ(HC_REFUSED, reply[5]);
        EXPECT_NE("", errorText(reply));
    }
    // A filter of the client's, or any message of a type it does not know.
    Bytes program = {0x06, 0, 0, 0, 0xFF, 0xFF, 0, 0}; // "ret #65535": everything
    ASSERT_EQ(HC_ERROR, helper.ask(message(5, 0, program), &reply));
    EXPECT_EQ("unknown message type", errorText(reply));
    // Known types at a wrong length.
    ASSERT_EQ(HC_ERROR, helper.ask(message(HC_ENUMERATE, 0, {0}), &reply));
    ASSERT_EQ(HC_ERROR, helper.ask(message(HC_CLOSE, 0), &reply));
    Bytes stub = {HC_SEND, 0};
    ASSERT_EQ(HC_ERROR, helper.ask(stub, &reply));

    const uint16_t handle = helper.open(net->ifName(NetnsPair::Host));
    ASSERT_NE(0, handle);

    // The far end's adapter is heard on the interface: from then on frames in
    // its name may be sent (the HomePlug 1.0 statistics request is).
    WireFrame heard = makeFrame(kHostMac, kAdapterMac, HC_ETHERTYPE_HP10, 60, 1);
    ASSERT_TRUE(far.send(heard));
    // Other traffic is never handed over: the filter is the helper's own.
    ASSERT_TRUE(far.send(makeFrame(kHostMac, kPlcMac, 0x0800, 98, 2)));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    struct Case {
        const char* what;
        WireFrame frame;
    };
    const std::vector<Case> refused = {
        {"IPv4", makeFrame(kBroadcast, kHostMac, 0x0800, 60, 10)},
        {"ARP", makeFrame(kBroadcast, kHostMac, 0x0806, 60, 11)},
        {"next to AV", makeFrame(kBroadcast, kHostMac, 0x88E0, 60, 12)},
        {"an adapter never heard", makeFrame(kBroadcast, kStrangerMac, HC_ETHERTYPE_AV, 60, 13)},
        {"a multicast source", makeFrame(kBroadcast, kBroadcast, HC_ETHERTYPE_AV, 60, 14)},
        {"59 bytes", makeFrame(kBroadcast, kHostMac, HC_ETHERTYPE_AV, 59, 15)},
        {"1519 bytes", makeFrame(kBroadcast, kHostMac, HC_ETHERTYPE_AV, 1519, 16)},
    };
    for (const Case& c : refused) {
        ASSERT_EQ(HC_ERROR, helper.ask(message(HC_SEND, handle, c.frame), &reply)) << c.what;
        EXPECT_EQ(HC_REFUSED, reply[5]) << c.what;
    }
    // A handle it never gave.
    WireFrame good = makeFrame(kBroadcast, kHostMac, HC_ETHERTYPE_AV, 60, 20);
    ASSERT_EQ(HC_ERROR, helper.ask(message(HC_SEND, handle + 1, good), &reply));

    // The session goes on: what is allowed is sent, exactly, and a frame that
    // went out gets no reply (the next message is the reply to what follows).
    WireFrame asAdapter = makeFrame(kBroadcast, kAdapterMac, HC_ETHERTYPE_HP10, 60, 21);
    // (1518 bytes pass the helper's checks, but need a VLAN tag on the wire.)
    WireFrame largest = makeFrame(kPlcMac, kHostMac, HC_ETHERTYPE_HP10, 1514, 22);
    for (const WireFrame& f : {good, asAdapter, largest})
        helper.send(message(HC_SEND, handle, f));
    ASSERT_EQ(HC_INTERFACES, helper.ask(message(HC_ENUMERATE, 0), &reply)) << errorText(reply);

    std::vector<WireFrame> onWire = far.receiveAll(500);
    EXPECT_EQ((std::vector<WireFrame>{good, asAdapter, largest}), onWire);
    ASSERT_EQ(1u, helper.frames.size());
    EXPECT_EQ(heard, helper.frames[0]);

    ASSERT_EQ(HC_CLOSED, helper.ask(message(HC_CLOSE, handle)));
    ASSERT_EQ(HC_ERROR, helper.ask(message(HC_CLOSE, handle)));
    ASSERT_EQ(HC_ERROR, helper.ask(message(HC_SEND, handle, good)));
}

TEST_F(CaptureHelperWire, KeepsOnlyTheCaptureRightNoEnvironmentAndEndsWithItsClient) {
    Helper helper(*net);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(helper.next().has_value()); // hello: set-up is done
    // Run as root here: everything but CAP_NET_RAW (bit 13) is gone, in every
    // set, and it can gain nothing by running another program.
    EXPECT_EQ("0000000000002000", procField(helper.pid, "status", "CapEff:\t"));
    EXPECT_EQ("0000000000002000", procField(helper.pid, "status", "CapPrm:\t"));
    EXPECT_EQ("0000000000000000", procField(helper.pid, "status", "CapInh:\t"));
    EXPECT_EQ("0000000000000000", procField(helper.pid, "status", "CapAmb:\t"));
    EXPECT_EQ("0000000000002000", procField(helper.pid, "status", "CapBnd:\t"));
    EXPECT_EQ("1", procField(helper.pid, "status", "NoNewPrivs:\t"));
    // Its environment was cleared, even the copy the kernel shows (it was
    // started with a plugin path).
    std::ifstream environ("/proc/" + std::to_string(helper.pid) + "/environ");
    std::stringstream text;
    text << environ.rdbuf();
    EXPECT_EQ(std::string::npos, text.str().find_first_not_of('\0')) << text.str();
    // Only the socket pair and the standard descriptors are open.
    int open = 0;
    for (int fd = 0; fd < 64; ++fd)
        open +=
            access(("/proc/" + std::to_string(helper.pid) + "/fd/" + std::to_string(fd)).c_str(),
                   F_OK) == 0;
    EXPECT_EQ(4, open);

    // The client closes its end: the helper ends at once, on its own.
    ::close(helper.fd);
    helper.fd = -1;
    int status = -1;
    pid_t ended = 0;
    for (int i = 0; i < 200 && ended == 0; ++i) {
        ended = waitpid(helper.pid, &status, WNOHANG);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(helper.pid, ended) << "the helper outlived its client";
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    helper.pid = 0;
}

// The processor time (user and system) a process has used, in clock ticks.
long cpuTicks(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t end = text.rfind(')'); // the name may hold spaces
    if (end == std::string::npos)
        return -1;
    std::istringstream fields(text.substr(end + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            utime = std::stol(field);
        if (i == 15)
            stime = std::stol(field);
    }
    return utime + stime;
}

// A transfer keeps the helper awake between its blocks; once the sends stop it
// sleeps again. A helper left polling would use the whole half second here.
TEST_F(CaptureHelperWire, SleepsOnceATransferStops) {
    RawSocket far(*net, NetnsPair::Plc);
    ASSERT_TRUE(far.ok());
    Helper helper(*net);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(helper.next().has_value()); // hello
    const uint16_t handle = helper.open(net->ifName(NetnsPair::Host));
    ASSERT_NE(0, handle);
    const long ticksPerSecond = sysconf(_SC_CLK_TCK);
    for (int block = 0; block < 200; ++block) {
        helper.send(message(
            HC_SEND, handle,
            makeFrame(kPlcMac, kHostMac, HC_ETHERTYPE_AV, 60, static_cast<uint8_t>(block))));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    Bytes reply;
    ASSERT_EQ(HC_INTERFACES, helper.ask(message(HC_ENUMERATE, 0), &reply)) << errorText(reply);
    EXPECT_EQ(200u, far.receiveAll(500).size()) << "every block went out";
    const long before = cpuTicks(helper.pid);
    ASSERT_GE(before, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const long used = cpuTicks(helper.pid) - before;
    EXPECT_LT(used, ticksPerSecond / 20)
        << "the helper kept polling after the transfer (" << used << " ticks in 0.5 s)";
    EXPECT_EQ("S", procField(helper.pid, "status", "State:\t").substr(0, 1));
}

// A client that dies without closing anything: the kernel closes its end.
TEST_F(CaptureHelperWire, EndsWhenTheClientProcessDies) {
    int report[2];
    ASSERT_EQ(0, pipe(report));
    pid_t client = fork();
    ASSERT_GE(client, 0);
    if (client == 0) {
        HelperDriver driver;
        std::vector<DriverInterface> listed;
        driver.enumerate(listed);
        pid_t helper = driver.helperPid();
        if (write(report[1], &helper, sizeof helper) != sizeof helper)
            _exit(1);
        pause();
        _exit(0);
    }
    ::close(report[1]);
    pid_t helper = 0;
    ASSERT_EQ(static_cast<ssize_t>(sizeof helper), read(report[0], &helper, sizeof helper));
    ::close(report[0]);
    ASSERT_GT(helper, 0);
    ASSERT_EQ(0, kill(helper, 0)) << "the helper runs";
    kill(client, SIGKILL);
    waitpid(client, nullptr, 0);
    // The helper was the client's child: it is reparented and must end by itself.
    bool gone = false;
    for (int i = 0; i < 200 && !gone; ++i) {
        std::string state = procField(helper, "status", "State:\t");
        gone = state.empty() || state[0] == 'Z';
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(gone) << "the helper outlived its dead client";
}

} // namespace
