// The libpcap driver over a real veth pair between two network namespaces:
// which interfaces it lists, the MAC it reads, frames it sends and the frames
// its filter lets through. Frames on the far end are sent and received with a
// raw AF_PACKET socket, independent of the driver.
#include <arpa/inet.h>
#include <linux/capability.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "network/model.h"
#include "packet/driver.h"
#include "packet/helper_driver.h"
#include "packet/packet.h"
#include "packet/pcap_driver.h"
#include "support/netns.h"
#include "support/raw_socket.h"

namespace {

using Frame = WireFrame;
using Clock = std::chrono::steady_clock;

const uint8_t kHostMac[6] = {0x02, 0x48, 0x59, 0x00, 0x00, 0x01};
const uint8_t kPlcMac[6] = {0x02, 0x48, 0x59, 0x00, 0x00, 0x02};
const uint8_t kBroadcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const uint8_t kLldpMulticast[6] = {0x01, 0x80, 0xC2, 0x00, 0x00, 0x0E};
const uint8_t kForeignMac[6] = {0x02, 0x99, 0x99, 0x99, 0x99, 0x99};

// Drops CAP_NET_RAW and CAP_NET_ADMIN from the calling thread only (Linux
// capabilities are per thread), as an unprivileged user would run.
bool dropCaptureCapabilities() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    for (int cap : {CAP_NET_RAW, CAP_NET_ADMIN}) {
        data[cap / 32].effective &= ~(1u << (cap % 32));
        data[cap / 32].permitted &= ~(1u << (cap % 32));
    }
    return syscall(SYS_capset, &header, data) == 0;
}

// Each driver test runs on both drivers that reach a real interface: the
// capture helper (what halyard and halyardctl use) and libpcap in this process.
std::unique_ptr<PacketDriver> makeDriver(const std::string& kind) {
    if (kind == "helper")
        return std::make_unique<HelperDriver>();
    return std::make_unique<PcapDriver>();
}

class PacketWire : public ::testing::TestWithParam<std::string> {
  protected:
    std::optional<NetnsPair> net;
    std::unique_ptr<PacketDriver> owned = makeDriver(GetParam());
    PacketDriver& driver = *owned;
    bool throughHelper() const { return GetParam() == "helper"; }

    void SetUp() override {
        HALYARD_REQUIRE_NETNS();
        NetnsPair::Options options;
        options.hostMac = macText(kHostMac);
        options.plcMac = macText(kPlcMac);
        net.emplace(options);
        ASSERT_TRUE(net->ok()) << net->error();
    }

    // Opens the host end with the driver, inside the host namespace.
    void* openHost() {
        return net->runIn(NetnsPair::Host, [&]() -> void* {
            std::string error;
            bool denied = true;
            void* handle = driver.open(net->ifName(NetnsPair::Host), error, denied);
            EXPECT_NE(nullptr, handle) << error;
            EXPECT_FALSE(denied);
            return handle;
        });
    }

    // Takes frames until `deadline` passes; stops early `settleMs` after the
    // `want`-th frame so that late strays still show up.
    std::vector<Frame> takeFrames(void* handle, size_t want, int timeoutMs, int settleMs = 200) {
        std::vector<Frame> got;
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Clock::now() < deadline) {
            Frame f;
            TakeResult r = driver.takeOne(handle, f);
            EXPECT_NE(TakeResult::Fault, r);
            if (r != TakeResult::Frame)
                continue;
            got.push_back(f);
            if (got.size() == want)
                deadline = std::min(deadline, Clock::now() + std::chrono::milliseconds(settleMs));
        }
        return got;
    }
};

TEST_P(PacketWire, ListsOnlyTheEthernetInterfacesOfTheNamespace) {
    net->runIn(NetnsPair::Host, [&] {
        // The library itself lists pseudo-devices and the loopback here ...
        char errorText[PCAP_ERRBUF_SIZE];
        pcap_if_t* all = nullptr;
        ASSERT_EQ(0, pcap_findalldevs(&all, errorText)) << errorText;
        std::vector<std::string> libraryNames;
        for (pcap_if_t* d = all; d != nullptr; d = d->next)
            libraryNames.push_back(d->name);
        pcap_freealldevs(all);
        EXPECT_NE(libraryNames.end(), std::find(libraryNames.begin(), libraryNames.end(), "lo"));
        EXPECT_GT(libraryNames.size(), 2u);

        // ... the driver keeps the veth end alone, named and described by its name.
        std::vector<DriverInterface> listed;
        ASSERT_TRUE(driver.enumerate(listed));
        ASSERT_EQ(1u, listed.size());
        EXPECT_EQ("hy0", listed[0].name);
        EXPECT_EQ("hy0", listed[0].description);
        EXPECT_TRUE(isEthernetInterface("hy0"));
        EXPECT_FALSE(isEthernetInterface("lo"));
        EXPECT_FALSE(isEthernetInterface("any"));
        EXPECT_FALSE(isEthernetInterface("hy1")); // the far end lives elsewhere
    });
}

TEST_P(PacketWire, ListsEveryEthernetInterfaceAndTheTableKeepsTheFirstEight) {
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(net->addLocalVeth(NetnsPair::Host, "ex" + std::to_string(i) + "a",
                                      "ex" + std::to_string(i) + "b"));
    net->runIn(NetnsPair::Host, [&] {
        std::vector<DriverInterface> listed;
        ASSERT_TRUE(driver.enumerate(listed));
        // hy0 and both ends of four pairs: libpcap lists them all, the helper
        // the first eight (all the table holds).
        EXPECT_EQ(throughHelper() ? 8u : 9u, listed.size());

        resetDeviceModel();
        setPacketDriver(nullptr);
        ASSERT_TRUE(enumerateInterfaces());
        EXPECT_EQ(8, interfaceCount);
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(listed[static_cast<size_t>(i)].name, interfaceTable[i].description);
            EXPECT_NE(std::string(6, '\0'),
                      std::string(reinterpret_cast<const char*>(interfaceTable[i].mac), 6));
        }
        closeAllInterfaces();
        resetDeviceModel();
    });
}

TEST_P(PacketWire, ReadsTheMacThatIpLinkShows) {
    std::string shown = net->macOf(NetnsPair::Host);
    ASSERT_EQ(macText(kHostMac), shown);
    net->runIn(NetnsPair::Host, [&] {
        uint8_t mac[6] = {};
        ASSERT_TRUE(driver.readMac("hy0", mac));
        EXPECT_EQ(shown, macText(mac));
        EXPECT_FALSE(driver.readMac("lo", mac));
        EXPECT_FALSE(driver.readMac("nosuchif0", mac));
        EXPECT_FALSE(driver.readMac("a-name-longer-than-ifnamsiz", mac));
    });
    // A MAC changed after start is read afresh.
    const uint8_t changed[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    ASSERT_TRUE(net->setMac(NetnsPair::Host, macText(changed)));
    net->runIn(NetnsPair::Host, [&] {
        uint8_t mac[6] = {};
        ASSERT_TRUE(driver.readMac("hy0", mac));
        EXPECT_EQ(0, std::memcmp(mac, changed, 6));
    });
}

TEST_P(PacketWire, SendsBothHomePlugEtherTypesToTheFarEnd) {
    RawSocket far(*net, NetnsPair::Plc);
    ASSERT_TRUE(far.ok());
    void* handle = openHost();
    ASSERT_NE(nullptr, handle);

    Frame hp10 = makeFrame(kBroadcast, kHostMac, kEtherTypeHp10, 60, 1);
    Frame av = makeFrame(kPlcMac, kHostMac, kEtherTypeAv, 1514, 2);
    ASSERT_TRUE(driver.send(handle, hp10.data(), hp10.size()));
    ASSERT_TRUE(driver.send(handle, av.data(), av.size()));

    std::optional<Frame> got = far.receive(kEtherTypeHp10, 2000);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(hp10, *got);
    got = far.receive(kEtherTypeAv, 2000);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(av, *got);
    driver.close(handle);
}

TEST_P(PacketWire, DeliversHomePlugFramesOnlyIncludingOnesForOtherStations) {
    RawSocket far(*net, NetnsPair::Plc);
    ASSERT_TRUE(far.ok());
    void* handle = openHost();
    ASSERT_NE(nullptr, handle);

    std::vector<Frame> wanted = {
        makeFrame(kHostMac, kPlcMac, kEtherTypeHp10, 60, 10),
        makeFrame(kBroadcast, kPlcMac, kEtherTypeAv, 200, 11),
        // Promiscuous: a frame for another station is delivered too.
        makeFrame(kForeignMac, kPlcMac, kEtherTypeAv, 1514, 12),
    };
    std::vector<Frame> unwanted = {
        makeFrame(kHostMac, kPlcMac, 0x0800, 98, 20),       // IPv4
        makeFrame(kLldpMulticast, kPlcMac, 0x88CC, 60, 21), // LLDP
        makeFrame(kBroadcast, kPlcMac, 0x0806, 60, 22),     // ARP
        makeFrame(kHostMac, kPlcMac, 0x86DD, 80, 23),       // IPv6
        makeFrame(kHostMac, kPlcMac, 0x887C, 60, 24),       // one above HomePlug 1.0
        makeFrame(kHostMac, kPlcMac, 0x88E0, 60, 25),       // one below HomePlug AV
        makeFrame(kHostMac, kPlcMac, 0x7B88, 60, 26),       // HomePlug 1.0 byte-swapped
    };
    // Interleave: every wanted frame follows some unwanted ones.
    ASSERT_TRUE(far.send(unwanted[0]));
    ASSERT_TRUE(far.send(unwanted[1]));
    ASSERT_TRUE(far.send(wanted[0]));
    ASSERT_TRUE(far.send(unwanted[2]));
    ASSERT_TRUE(far.send(unwanted[3]));
    ASSERT_TRUE(far.send(wanted[1]));
    for (size_t i = 4; i < unwanted.size(); ++i)
        ASSERT_TRUE(far.send(unwanted[i]));
    ASSERT_TRUE(far.send(wanted[2]));

    EXPECT_EQ(wanted, takeFrames(handle, wanted.size(), 3000));
    driver.close(handle);
}

TEST_P(PacketWire, FramesThisComputerSendsAreNotTakenBack) {
    RawSocket far(*net, NetnsPair::Plc);
    RawSocket otherProgram(*net, NetnsPair::Host);
    ASSERT_TRUE(far.ok());
    ASSERT_TRUE(otherProgram.ok());
    void* handle = openHost();
    ASSERT_NE(nullptr, handle);

    // Addressed to this computer itself, as a request to the local device is:
    // sent through the driver, and by another program on the same interface.
    // Neither may come back as if a device had answered.
    Frame own = makeFrame(kHostMac, kHostMac, kEtherTypeHp10, 60, 30);
    ASSERT_TRUE(driver.send(handle, own.data(), own.size()));
    Frame other = makeFrame(kHostMac, kHostMac, kEtherTypeAv, 60, 31);
    ASSERT_TRUE(otherProgram.send(other));
    // Both did go out, in either order (the two programs do not wait for
    // each other).
    std::vector<Frame> out = far.receiveAll(500);
    EXPECT_EQ(1, std::count(out.begin(), out.end(), own));
    EXPECT_EQ(1, std::count(out.begin(), out.end(), other));
    Frame reply = makeFrame(kHostMac, kPlcMac, kEtherTypeHp10, 60, 32);
    ASSERT_TRUE(far.send(reply));

    std::vector<Frame> got = takeFrames(handle, 1, 2000);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(reply, got[0]);
    driver.close(handle);
}

TEST_P(PacketWire, IdleTakeWaitsForTheReadTimeOutWithoutBlocking) {
    void* handle = openHost();
    ASSERT_NE(nullptr, handle);
    // Not a speed check: 200 idle takes must each come back (a blocking read
    // would hang here) and must each have waited for the 1 ms time-out (a
    // take that returns at once turns the callers' polling loops into spins).
    constexpr int kTakes = 200;
    auto start = Clock::now();
    for (int i = 0; i < kTakes; ++i) {
        Frame f;
        ASSERT_EQ(TakeResult::None, driver.takeOne(handle, f));
        EXPECT_TRUE(f.empty());
    }
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    EXPECT_GE(elapsed.count(), kTakes * 9 / 10);
    EXPECT_LT(elapsed.count(), 20000);
    driver.close(handle);
}

// Every scan closes and reopens its interfaces; the driver keeps the handle
// for the reopen. It must still behave as a fresh open: nothing that arrived
// in between, and never a handle of an interface that was replaced.
TEST_P(PacketWire, AnInterfaceOpenedAgainRightAfterItsCloseIsAFreshOpen) {
    RawSocket far(*net, NetnsPair::Plc);
    ASSERT_TRUE(far.ok());
    void* first = openHost();
    ASSERT_NE(nullptr, first);
    driver.close(first);
    // The helper parks its handles the same way, out of this process's sight.
    auto* pcap = dynamic_cast<PcapDriver*>(&driver);
    auto parkedCount = [&] { return pcap ? pcap->parkedCount() : 0u; };
    if (pcap) {
        EXPECT_EQ(1u, parkedCount());
    }

    Frame whileClosed = makeFrame(kHostMac, kPlcMac, kEtherTypeAv, 60, 40);
    ASSERT_TRUE(far.send(whileClosed));
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // it has arrived
    void* again = openHost();
    ASSERT_NE(nullptr, again);
    if (pcap) {
        EXPECT_EQ(first, again) << "the parked handle is taken back";
    }
    EXPECT_EQ(0u, parkedCount());
    Frame afterOpen = makeFrame(kHostMac, kPlcMac, kEtherTypeAv, 60, 41);
    ASSERT_TRUE(far.send(afterOpen));
    EXPECT_EQ(std::vector<Frame>{afterOpen}, takeFrames(again, 1, 2000));
    driver.close(again);

    // The interface is renamed away and a new one takes its name: the parked
    // handle (bound to the old one) is closed and the open is a real one.
    const std::string name = net->ifName(NetnsPair::Host);
    ASSERT_EQ(0, net->ip(NetnsPair::Host, {"link", "set", "dev", name, "down"}));
    ASSERT_EQ(0, net->ip(NetnsPair::Host, {"link", "set", "dev", name, "name", "hyold"}));
    ASSERT_TRUE(net->addLocalVeth(NetnsPair::Host, name, "hynew"));
    RawSocket newPeer(*net, NetnsPair::Host, "hynew");
    ASSERT_TRUE(newPeer.ok());
    net->runIn(NetnsPair::Host, [&] {
        std::vector<DriverInterface> listed;
        ASSERT_TRUE(driver.enumerate(listed));
    });
    EXPECT_EQ(0u, parkedCount()) << "the replaced interface's handle is closed";
    void* fresh = openHost();
    ASSERT_NE(nullptr, fresh);
    Frame onNew = makeFrame(kHostMac, kPlcMac, kEtherTypeHp10, 60, 42);
    ASSERT_TRUE(newPeer.send(onNew));
    EXPECT_EQ(std::vector<Frame>{onNew}, takeFrames(fresh, 1, 2000));

    // A handle nobody opens again is closed after a second.
    driver.close(fresh);
    if (pcap) {
        EXPECT_EQ(1u, parkedCount());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    net->runIn(NetnsPair::Host, [&] {
        std::vector<DriverInterface> listed;
        ASSERT_TRUE(driver.enumerate(listed));
    });
    EXPECT_EQ(0u, parkedCount());
}

// Capabilities are per thread for libpcap in this process; the helper's own
// rights are tested with an ordinary user's halyardctl.
class PcapPacketWire : public PacketWire {};
INSTANTIATE_TEST_SUITE_P(Libpcap, PcapPacketWire, ::testing::Values("libpcap"),
                         [](const auto& info) { return info.param; });

TEST_P(PcapPacketWire, OpenWithoutCaptureRightsReportsPermission) {
    net->runIn(NetnsPair::Host, [&] {
        ASSERT_TRUE(dropCaptureCapabilities());
        std::string error;
        bool denied = false;
        void* handle = driver.open("hy0", error, denied);
        EXPECT_EQ(nullptr, handle);
        EXPECT_TRUE(denied) << error;
        EXPECT_FALSE(error.empty());
    });
    // An interface that does not exist is a failure, but not one of permission.
    net->runIn(NetnsPair::Host, [&] {
        std::string error;
        bool denied = true;
        EXPECT_EQ(nullptr, driver.open("nosuchif0", error, denied));
        EXPECT_FALSE(denied);
    });
}

INSTANTIATE_TEST_SUITE_P(Drivers, PacketWire, ::testing::Values("helper", "libpcap"),
                         [](const auto& info) { return info.param; });

// What only the helper does: a send gets no reply, so a refusal reaches the
// next send on the handle; and sending never waits on a helper that is itself
// waiting for room to hand over frames.
class HelperPacketWire : public PacketWire {
  protected:
    HelperDriver& helper() { return static_cast<HelperDriver&>(driver); }
};
INSTANTIATE_TEST_SUITE_P(Helper, HelperPacketWire, ::testing::Values("helper"),
                         [](const auto& info) { return info.param; });

TEST_P(HelperPacketWire, ARefusedSendIsReportedByTheNextSendAndNeverReachesTheWire) {
    RawSocket far(*net, NetnsPair::Plc);
    ASSERT_TRUE(far.ok());
    void* handle = openHost();
    ASSERT_NE(nullptr, handle);
    // The wrong EtherType is refused at once, without asking the helper.
    Frame ipv4 = makeFrame(kBroadcast, kHostMac, 0x0800, 60, 1);
    EXPECT_FALSE(driver.send(handle, ipv4.data(), ipv4.size()));
    EXPECT_EQ("EtherType is neither 0x88E1 nor 0x887B", helper().lastError());

    // A source never heard on the interface passes the client's checks; the
    // helper refuses it, and says so before its reply to the next request.
    Frame stranger = makeFrame(kBroadcast, kForeignMac, kEtherTypeAv, 60, 2);
    Frame good = makeFrame(kBroadcast, kHostMac, kEtherTypeAv, 60, 3);
    EXPECT_TRUE(driver.send(handle, stranger.data(), stranger.size()));
    net->runIn(NetnsPair::Host, [&] {
        std::vector<DriverInterface> listed;
        ASSERT_TRUE(driver.enumerate(listed));
    });
    EXPECT_FALSE(driver.send(handle, good.data(), good.size()));
    EXPECT_NE(std::string::npos, helper().lastError().find("source address"))
        << helper().lastError();
    // Reported once: the session goes on.
    EXPECT_TRUE(driver.send(handle, good.data(), good.size()));
    EXPECT_EQ(std::vector<Frame>{good}, far.receiveAll(500));
    driver.close(handle);
}

TEST_P(HelperPacketWire, SendsAndRefusalsDuringAFloodNeverDeadlock) {
    RawSocket far(*net, NetnsPair::Plc);
    ASSERT_TRUE(far.ok());
    void* handle = openHost();
    ASSERT_NE(nullptr, handle);
    // The far end floods the host while the host sends without taking a
    // frame: the client's socket fills with frames, the helper waits for room
    // to hand over more, and every third send is refused (an error the helper
    // must hand over too).
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        for (uint32_t i = 0; !stop && i < 20000; ++i)
            far.send(makeFrame(kHostMac, kPlcMac, kEtherTypeAv, 1514, static_cast<uint8_t>(i)));
    });
    Frame stranger = makeFrame(kBroadcast, kForeignMac, kEtherTypeAv, 60, 2);
    Frame good = makeFrame(kPlcMac, kHostMac, kEtherTypeHp10, 60, 3);
    int refusedReported = 0;
    for (int i = 0; i < 3000; ++i) {
        const Frame& f = i % 3 == 0 ? stranger : good;
        refusedReported += !driver.send(handle, f.data(), f.size());
    }
    stop = true;
    flood.join();
    net->runIn(NetnsPair::Host, [&] {
        EXPECT_GT(helper().helperPid(), 0) << "the session ended: " << helper().lastError();
    });
    EXPECT_GT(refusedReported, 0);
    EXPECT_LE(refusedReported, 1000);
    // Frames kept flowing: the driver still hands over what arrives.
    ASSERT_TRUE(far.send(makeFrame(kHostMac, kPlcMac, kEtherTypeHp10, 60, 99)));
    bool sawLast = false;
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!sawLast && Clock::now() < deadline) {
        Frame f;
        if (driver.takeOne(handle, f) == TakeResult::Frame)
            sawLast = etherTypeOf(f) == kEtherTypeHp10;
    }
    EXPECT_TRUE(sawLast);
    driver.close(handle);
}

// The same path through the packet interface operations, on the process-wide
// driver (the helper).
class PacketInterfaceWire : public PacketWire {
  protected:
    void SetUp() override {
        PacketWire::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        resetDeviceModel();
        setPacketDriver(nullptr);
        setLocalDeviceObserver(nullptr);
    }
    void TearDown() override {
        closeAllInterfaces();
        resetDeviceModel();
    }
};

TEST_P(PacketInterfaceWire, OpensSendsPaddedAndReceivesAny) {
    RawSocket far(*net, NetnsPair::Plc);
    ASSERT_TRUE(far.ok());
    net->runIn(NetnsPair::Host, [] { openAllInterfaces(); });
    ASSERT_EQ(1, interfaceCount);
    EXPECT_NE(nullptr, interfaceTable[0].handle);
    EXPECT_EQ(0, std::memcmp(interfaceTable[0].mac, kHostMac, 6));
    EXPECT_STREQ("hy0", interfaceTable[0].description);
    EXPECT_TRUE(capturePermissionProblem().empty());

    // 14 bytes of content leave as 60 bytes of the zero-filled buffer.
    uint8_t buffer[kMaxFrame] = {};
    Frame header = makeFrame(kBroadcast, interfaceTable[0].mac, kEtherTypeAv, 14, 0);
    std::memcpy(buffer, header.data(), header.size());
    ASSERT_TRUE(sendFrame(0, buffer, 14));
    std::optional<Frame> got = far.receive(kEtherTypeAv, 2000);
    ASSERT_TRUE(got.has_value());
    Frame expected(buffer, buffer + 60);
    EXPECT_EQ(expected, *got);

    // The largest frame goes out whole; one byte more is refused.
    Frame big = makeFrame(kBroadcast, kHostMac, kEtherTypeHp10, 1514, 40);
    ASSERT_TRUE(sendFrame(0, big.data(), big.size()));
    got = far.receive(kEtherTypeHp10, 2000);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(big, *got);
    EXPECT_FALSE(sendFrame(0, big.data(), 1515));

    ASSERT_TRUE(far.send(makeFrame(kHostMac, kPlcMac, 0x0800, 60, 41)));
    Frame reply = makeFrame(kHostMac, kPlcMac, kEtherTypeHp10, 60, 42);
    ASSERT_TRUE(far.send(reply));
    uint8_t out[kMaxFrame] = {};
    uint32_t length = 0;
    bool received = false;
    auto deadline = Clock::now() + std::chrono::seconds(2);
    while (!received && Clock::now() < deadline)
        received = receiveAnyFrame(out, &length);
    ASSERT_TRUE(received);
    EXPECT_EQ(reply, Frame(out, out + length));
    EXPECT_EQ(0, lastRxInterface);
}

INSTANTIATE_TEST_SUITE_P(Helper, PacketInterfaceWire, ::testing::Values("helper"),
                         [](const auto& info) { return info.param; });

} // namespace
