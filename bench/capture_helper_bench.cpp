// The capture helper's cost per frame: the round trip of one HomePlug frame
// over a veth pair to a reflector on the far end and back, through the helper
// and through libpcap in this process, in the same run on the same veth,
// alternating the two drivers so that both see the same machine. Prints the
// median and 99th percentile of each and the median difference.
//
// Usage (as root): bench_capture_helper [round trips per driver]
#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_runner.h"
#include "packet/helper_driver.h"
#include "packet/pcap_driver.h"
#include "support/netns.h"

namespace {

using Clock = std::chrono::steady_clock;
const uint8_t kHostMac[6] = {0x02, 0x48, 0x59, 0x00, 0x02, 0x01};
const uint8_t kFarMac[6] = {0x02, 0x48, 0x59, 0x00, 0x02, 0x02};

// Sends every HomePlug AV frame that arrives on `ifname` back, addressed to
// its sender and from the far end (so the helper has heard the "adapter").
void reflect(const std::string& ifname, std::atomic<bool>& stop, std::atomic<bool>& ready) {
    int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(0x88E1));
    sockaddr_ll addr{};
    addr.sll_family = AF_PACKET;
    addr.sll_protocol = htons(0x88E1);
    addr.sll_ifindex = static_cast<int>(if_nametoindex(ifname.c_str()));
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::fprintf(stderr, "bench_capture_helper: reflector cannot open %s\n", ifname.c_str());
        std::exit(1);
    }
    ready = true;
    uint8_t frame[1600];
    while (!stop) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0)
            continue;
        sockaddr_ll from{};
        socklen_t fromLength = sizeof from;
        ssize_t n =
            recvfrom(fd, frame, sizeof frame, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 60 || from.sll_pkttype == PACKET_OUTGOING)
            continue;
        std::memcpy(frame, frame + 6, 6);
        std::memcpy(frame + 6, kFarMac, 6);
        sockaddr_ll to = addr;
        to.sll_halen = 6;
        std::memcpy(to.sll_addr, frame, 6);
        sendto(fd, frame, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    close(fd);
}

struct Driver {
    const char* name;
    std::unique_ptr<PacketDriver> driver;
    void* handle = nullptr;
    std::vector<double> microseconds;
};

// One round trip: send a numbered frame, take frames until it comes back.
bool roundTrip(Driver& d, uint32_t number) {
    std::vector<uint8_t> frame(60, 0);
    std::memcpy(frame.data(), kFarMac, 6);
    std::memcpy(frame.data() + 6, kHostMac, 6);
    frame[12] = 0x88;
    frame[13] = 0xE1;
    std::memcpy(frame.data() + 20, &number, 4);
    const auto start = Clock::now();
    if (!d.driver->send(d.handle, frame.data(), frame.size()))
        return false;
    const auto deadline = start + std::chrono::seconds(1);
    std::vector<uint8_t> got;
    while (Clock::now() < deadline) {
        if (d.driver->takeOne(d.handle, got) != TakeResult::Frame)
            continue;
        uint32_t echoed = 0;
        if (got.size() >= 24)
            std::memcpy(&echoed, got.data() + 20, 4);
        if (echoed == number) {
            d.microseconds.push_back(
                std::chrono::duration<double, std::micro>(Clock::now() - start).count());
            return true;
        }
    }
    return false;
}

} // namespace

int main(int argc, char** argv) {
    const int count = bench::countArgument(argc, argv, 1, 2000, 10);
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", kHostMac[0], kHostMac[1],
                  kHostMac[2], kHostMac[3], kHostMac[4], kHostMac[5]);
    int exitCode = 0;
    const std::unique_ptr<NetnsPair> veth = bench::openVeth("bench_capture_helper", text, exitCode);
    if (!veth)
        return exitCode;
    NetnsPair& net = *veth;
    std::atomic<bool> stop{false}, ready{false};
    std::thread reflector = net.threadIn(
        NetnsPair::Plc, [&, ifname = net.ifName(NetnsPair::Plc)] { reflect(ifname, stop, ready); });
    while (!ready)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));

    Driver drivers[2] = {{"helper", std::make_unique<HelperDriver>(), nullptr, {}},
                         {"libpcap", std::make_unique<PcapDriver>(), nullptr, {}}};
    // Blocks of 100 round trips, the drivers in turn. Only the running
    // driver's handle is open (both would capture every echo): closing parks
    // a handle, and opening it again drops what arrived meanwhile.
    auto open = [&](Driver& d) {
        return net.runIn(NetnsPair::Host, [&]() -> bool {
            std::vector<DriverInterface> listed;
            d.driver->enumerate(listed);
            std::string error;
            bool denied = false;
            d.handle = d.driver->open(net.ifName(NetnsPair::Host), error, denied);
            if (d.handle == nullptr)
                std::fprintf(stderr, "bench_capture_helper: %s: %s\n", d.name, error.c_str());
            return d.handle != nullptr;
        });
    };
    constexpr int kBlock = 100;
    int status = 0;
    uint32_t number = 0;
    for (int block = 0; status == 0 && block < 2 * (count / kBlock + 1); ++block) {
        Driver& d = drivers[block % 2];
        if (!open(d)) {
            status = 1;
            break;
        }
        for (int i = 0; i < kBlock && status == 0; ++i) {
            if (!roundTrip(d, ++number)) {
                std::fprintf(stderr, "bench_capture_helper: %s: frame %u did not come back\n",
                             d.name, number);
                status = 1;
            }
        }
        d.driver->close(d.handle);
        d.handle = nullptr;
        if (block < 2) // the first block of each warms up
            d.microseconds.clear();
    }
    for (Driver& d : drivers)
        if (d.handle)
            d.driver->close(d.handle);
    stop = true;
    reflector.join();
    if (status != 0)
        return status;
    for (Driver& d : drivers)
        std::printf("%-8s %zu round trips: median %.1f us, p99 %.1f us\n", d.name,
                    d.microseconds.size(), bench::spreadOf(d.microseconds).median,
                    bench::spreadOf(d.microseconds).p99);
    std::printf("the helper's extra round-trip latency: median %.1f us (goal <= 30 us)\n",
                bench::spreadOf(drivers[0].microseconds).median -
                    bench::spreadOf(drivers[1].microseconds).median);
    return 0;
}
