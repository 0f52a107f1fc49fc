// plcsim on a real interface: the emulator in one namespace at one end of a
// veth pair, a raw AF_PACKET socket at the other. Real time, real frames.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/network.h"
#include "support/netns.h"
#include "support/temp_dir.h"

namespace {

using Bytes = std::vector<uint8_t>;
const uint8_t kHostMac[6] = {0x02, 0x48, 0x59, 0x00, 0x00, 0x41};
const uint8_t kManagement[6] = {0x00, 0xB0, 0x52, 0x00, 0x00, 0x01};

// A raw socket on one interface that sends whole frames and takes every frame
// of the two HomePlug EtherTypes addressed anywhere.
class RawSocket {
  public:
    explicit RawSocket(const std::string& ifname) {
        fd_ = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
        if (fd_ < 0)
            return;
        sockaddr_ll address{};
        address.sll_family = AF_PACKET;
        address.sll_protocol = htons(ETH_P_ALL);
        address.sll_ifindex = static_cast<int>(if_nametoindex(ifname.c_str()));
        if (address.sll_ifindex == 0 ||
            bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
        ifindex_ = address.sll_ifindex;
    }
    ~RawSocket() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }

    bool send(const Bytes& frame) {
        sockaddr_ll to{};
        to.sll_family = AF_PACKET;
        to.sll_ifindex = ifindex_;
        to.sll_halen = 6;
        std::memcpy(to.sll_addr, frame.data(), 6);
        return sendto(fd_, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&to),
                      sizeof to) == static_cast<ssize_t>(frame.size());
    }

    // The next incoming frame of `etherType` within `timeoutMs`; empty when none.
    Bytes receive(uint16_t etherType, int timeoutMs) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (true) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
            if (left <= 0)
                return {};
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0)
                continue;
            Bytes frame(2048);
            sockaddr_ll from{};
            socklen_t fromLength = sizeof from;
            ssize_t n = recvfrom(fd_, frame.data(), frame.size(), 0,
                                 reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (n < 14 || from.sll_pkttype == PACKET_OUTGOING)
                continue;
            frame.resize(static_cast<size_t>(n));
            if (((frame[12] << 8) | frame[13]) == etherType)
                return frame;
        }
    }

  private:
    int fd_ = -1;
    int ifindex_ = 0;
};

Bytes frameTo(const uint8_t* dst, uint16_t etherType, size_t length) {
    Bytes f(length, 0);
    std::memcpy(f.data(), dst, 6);
    std::memcpy(f.data() + 6, kHostMac, 6);
    f[12] = static_cast<uint8_t>(etherType >> 8);
    f[13] = static_cast<uint8_t>(etherType);
    return f;
}

Bytes versionRequest() {
    Bytes f = frameTo(kManagement, 0x88E1, 64);
    f[14] = 0x00;
    f[15] = 0x00;
    f[16] = 0xA0;
    f[17] = 0x00;
    f[18] = 0xB0;
    f[19] = 0x52;
    return f;
}

// Sends the version request until a confirmation comes (plcsim may still be
// opening its interface), for at most `attempts` × 250 ms.
Bytes askVersion(RawSocket& sock, int attempts) {
    for (int i = 0; i < attempts; ++i) {
        EXPECT_TRUE(sock.send(versionRequest()));
        // Answers to earlier requests may still be on their way: take the
        // version confirmation only.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(250);
        while (std::chrono::steady_clock::now() < deadline) {
            Bytes answer = sock.receive(0x88E1, 50);
            if (answer.size() >= 17 && answer[15] == 0x01 && answer[16] == 0xA0)
                return answer;
        }
    }
    return {};
}

std::string fileText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace

TEST(PlcsimWire, AnswersTheVersionRequestAndSurvivesMalformedFrames) {
    HALYARD_REQUIRE_NETNS();
    NetnsPair::Options options;
    options.hostMac = "02:48:59:00:00:41";
    NetnsPair net(options);
    ASSERT_TRUE(net.ok()) << net.error();
    TempDir dir;
    NetnsProcess emulator =
        net.spawn(NetnsPair::Plc,
                  {sim::programPath(), "--interface", net.ifName(NetnsPair::Plc), "--scenario",
                   sim::scenarioPath("home.json"), "--verbose"},
                  dir.file("plcsim.log"));
    ASSERT_TRUE(emulator.running());

    net.runIn(NetnsPair::Host, [&] {
        RawSocket sock(net.ifName(NetnsPair::Host));
        ASSERT_TRUE(sock.ok()) << std::strerror(errno);
        Bytes answer = askVersion(sock, 20);
        ASSERT_GE(answer.size(), 88u) << "no version confirmation; plcsim log:\n"
                                      << fileText(dir.file("plcsim.log"));
        EXPECT_EQ(Bytes(answer.begin(), answer.begin() + 6), Bytes(kHostMac, kHostMac + 6));
        EXPECT_EQ(Bytes(answer.begin() + 6, answer.begin() + 12),
                  (Bytes{0x00, 0xB0, 0x52, 0x00, 0x00, 0x10}));
        EXPECT_EQ(Bytes(answer.begin() + 14, answer.begin() + 20),
                  (Bytes{0x00, 0x01, 0xA0, 0x00, 0xB0, 0x52}));
        EXPECT_EQ(answer[22], 15);
        EXPECT_EQ(std::string(answer.begin() + 23, answer.begin() + 38), "KARSA01-MAC-3-1");

        // Short frames, a foreign EtherType, counts and lengths far past the
        // frame, and junk of every length: none of it stops the emulator.
        std::vector<Bytes> junk;
        junk.push_back(frameTo(kManagement, 0x88E1, 15));
        junk.push_back(frameTo(kManagement, 0x887B, 16));
        junk.push_back(frameTo(kManagement, 0x0800, 64));
        Bytes counts = frameTo(kManagement, 0x887B, 60);
        counts[14] = 0xFF, counts[15] = 0x14, counts[16] = 0xFF;
        junk.push_back(counts);
        Bytes read = versionRequest();
        read[15] = 0x24, read[20] = 0x02, read[22] = 0xFF, read[23] = 0xFF;
        read[24] = read[25] = read[26] = read[27] = 0xFF;
        junk.push_back(read);
        for (size_t length = 14; length < 1514; length += 7) {
            Bytes f = frameTo(kManagement, length % 2 ? 0x88E1 : 0x887B, length);
            for (size_t i = 14; i < length; ++i)
                f[i] = static_cast<uint8_t>(i * 37 + length);
            junk.push_back(f);
        }
        for (const Bytes& f : junk)
            sock.send(f);
        Bytes again = askVersion(sock, 8);
        ASSERT_GE(again.size(), 88u) << "plcsim stopped answering";
        EXPECT_EQ(std::string(again.begin() + 23, again.begin() + 38), "KARSA01-MAC-3-1");
    });
    EXPECT_TRUE(emulator.running());
    EXPECT_EQ(emulator.stop(), 0) << "plcsim ends cleanly on SIGTERM";
    std::string log = fileText(dir.file("plcsim.log"));
    EXPECT_NE(log.find("plcsim: serving 4 stations on " + net.ifName(NetnsPair::Plc)),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("av 0xA000 from 02:48:59:00:00:41 to 00:B0:52:00:00:01: 00:B0:52:00:00:10 "
                       "answered 0xA001 (88 bytes)"),
              std::string::npos)
        << log;
}
