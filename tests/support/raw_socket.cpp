#include "support/raw_socket.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {
using Clock = std::chrono::steady_clock;
}

std::string macText(const uint8_t mac[6]) {
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2],
                  mac[3], mac[4], mac[5]);
    return text;
}

WireFrame makeFrame(const uint8_t dst[6], const uint8_t src[6], uint16_t etherType, size_t length,
                    uint8_t seed) {
    WireFrame f(std::max<size_t>(length, 14), 0); // at least the header
    std::copy(dst, dst + 6, f.begin());
    std::copy(src, src + 6, f.begin() + 6);
    f[12] = static_cast<uint8_t>(etherType >> 8);
    f[13] = static_cast<uint8_t>(etherType);
    for (size_t i = 14; i < length; ++i)
        f[i] = static_cast<uint8_t>(seed + i * 7);
    return f;
}

uint16_t etherTypeOf(const WireFrame& f) {
    return f.size() < 14 ? 0 : static_cast<uint16_t>(f[12] << 8 | f[13]);
}

RawSocket::RawSocket(NetnsPair& net, NetnsPair::Side side, const std::string& ifname) {
    net.runIn(side, [&] {
        fd_ = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
        const std::string name = ifname.empty() ? net.ifName(side) : ifname;
        ifindex_ = static_cast<int>(if_nametoindex(name.c_str()));
        if (fd_ < 0 || ifindex_ == 0)
            return;
        sockaddr_ll addr{};
        addr.sll_family = AF_PACKET;
        addr.sll_protocol = htons(ETH_P_ALL);
        addr.sll_ifindex = ifindex_;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    });
}

RawSocket::~RawSocket() {
    if (fd_ >= 0)
        ::close(fd_);
}

bool RawSocket::send(const WireFrame& f) {
    sockaddr_ll addr{};
    addr.sll_family = AF_PACKET;
    addr.sll_ifindex = ifindex_;
    addr.sll_halen = 6;
    std::memcpy(addr.sll_addr, f.data(), 6);
    return sendto(fd_, f.data(), f.size(), 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr) ==
           static_cast<ssize_t>(f.size());
}

std::optional<WireFrame> RawSocket::receiveUntil(std::chrono::steady_clock::time_point deadline) {
    while (Clock::now() < deadline) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p = {fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0)
            continue;
        WireFrame f(65536);
        sockaddr_ll from{};
        socklen_t fromLength = sizeof from;
        ssize_t n =
            recvfrom(fd_, f.data(), f.size(), 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n <= 0 || from.sll_pkttype == PACKET_OUTGOING)
            continue;
        f.resize(static_cast<size_t>(n));
        return f;
    }
    return std::nullopt;
}

std::vector<WireFrame> RawSocket::receiveAll(int timeoutMs) {
    std::vector<WireFrame> got;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::optional<WireFrame> f = receiveUntil(deadline))
        got.push_back(std::move(*f));
    return got;
}

std::optional<WireFrame> RawSocket::receive(uint16_t etherType, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::optional<WireFrame> f = receiveUntil(deadline))
        if (etherTypeOf(*f) == etherType)
            return f;
    return std::nullopt;
}
