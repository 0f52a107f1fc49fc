#pragma once
// The libpcap packet driver: lists the computer's Ethernet interfaces, reads
// their MACs from the kernel, opens them promiscuous with the HomePlug filter,
// sends raw frames and takes one received frame at a time.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "packet/driver.h"

// Closing a capture handle and opening one again each cost the kernel a
// network-wide synchronisation (tens of milliseconds), and every scan closes
// and reopens every interface. So `close` parks the handle instead, and the
// next `open` of the same interface (same name, same index, same network
// namespace) takes it back after discarding every frame that arrived while it
// was parked: to its caller it is a freshly opened interface. A scan opens
// again right after it closed, so a handle stays parked one second at most;
// `enumerate` closes the parked handles of interfaces that are gone or were
// replaced at once.
class PcapDriver : public PacketDriver {
  public:
    ~PcapDriver() override;
    // Interfaces of pcap_findalldevs in list order, keeping only Ethernet
    // interfaces (hardware type ARPHRD_ETHER, not loopback); pseudo-devices
    // such as "any", nflog, nfqueue, dbus, usbmon and bluetooth have no such
    // hardware address and drop out. The description is already derived
    // (deriveInterfaceDescription).
    bool enumerate(std::vector<DriverInterface>& out) override;
    // SIOCGIFHWADDR; false unless the interface has a 6-byte Ethernet address.
    bool readMac(const std::string& name, uint8_t mac[6]) override;
    // pcap_create, snapshot length 65536, promiscuous, 1 ms time-out, immediate
    // mode, pcap_activate, incoming frames only, then the HomePlug filter.
    void* open(const std::string& name, std::string& error, bool& permissionDenied) override;
    void close(void* handle) override;
    bool send(void* handle, const uint8_t* bytes, size_t length) override;
    // Takes a pending frame at once; with none pending waits up to 1 ms on the
    // capture descriptor for one.
    TakeResult takeOne(void* handle, std::vector<uint8_t>& frame) override;

    // Handles parked by `close` and not yet taken back (for tests).
    size_t parkedCount();

  private:
    struct Parked {
        void* handle; // knows its interface and namespace
        std::chrono::steady_clock::time_point since;
    };
    // A parked handle of `name` in the calling thread's namespace, drained of
    // its frames; null when there is none (or it no longer reads).
    void* takeBackParked(const std::string& name);
    // Closes the parked handles for which `stale` is true, and those parked
    // longer than a second.
    template <typename Stale> void closeParked(Stale stale);
    void closeExpiredParked();

    std::mutex parkedLock_;
    std::vector<Parked> parked_;
};

// The short description shown for an interface: the text between the first
// apostrophe of the library's description and the first "(" after it (or,
// when no "(" follows, the next apostrophe), at most 255 characters. When the
// description has no text in that form (no apostrophe, no end mark, or nothing
// between them), the interface name is used.
std::string deriveInterfaceDescription(const std::string& libraryDescription,
                                       const std::string& interfaceName);

// True when the interface is an Ethernet interface with a hardware address
// (SIOCGIFHWADDR reports ARPHRD_ETHER).
bool isEthernetInterface(const std::string& name);
