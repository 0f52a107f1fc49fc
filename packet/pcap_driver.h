#pragma once
// The libpcap packet driver: lists the computer's Ethernet interfaces, reads
// their MACs from the kernel, opens them promiscuous with the HomePlug filter,
// sends raw frames and takes one received frame at a time.
#include <cstdint>
#include <string>

#include "packet/driver.h"

class PcapDriver : public PacketDriver {
  public:
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
