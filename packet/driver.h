#pragma once
// The packet driver seam under the packet interface: enumerate, read an
// interface's MAC, open with the HomePlug filter, send, take one frame, close.
// Drivers: the capture helper (helper_driver.h, what the programs use), libpcap
// directly (pcap_driver.h: the helper's own tests, benches and plcsim, which
// run as root) and the in-memory wire (memory_wire.h, realtime_wire.h).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct DriverInterface {
    std::string name;        // source name used to open the interface
    std::string description; // short text for interfaceTable (the libpcap driver derives it)
};

enum class TakeResult { Frame, None, Fault };

class PacketDriver {
  public:
    virtual ~PacketDriver() = default;
    // Lists the usable interfaces in list order; false when enumeration fails.
    virtual bool enumerate(std::vector<DriverInterface>& out) = 0;
    // Reads the interface's current MAC; false leaves it unknown (zero).
    virtual bool readMac(const std::string& name, uint8_t mac[6]) = 0;
    // Opens promiscuous with a 1 ms read time-out and installs the HomePlug
    // filter. Returns an opaque handle, or null (with the reason in `error`).
    // `permissionDenied` is set when the failure is a lack of capture rights.
    virtual void* open(const std::string& name, std::string& error, bool& permissionDenied) = 0;
    virtual void close(void* handle) = 0;
    // Raw send of exactly `length` bytes; false on failure.
    virtual bool send(void* handle, const uint8_t* bytes, size_t length) = 0;
    // Takes at most one frame, waiting about 1 ms when none is pending.
    virtual TakeResult takeOne(void* handle, std::vector<uint8_t>& frame) = 0;
    // What the user can do after an open failed for lack of capture rights:
    // the exact command. Empty when the driver has nothing to add.
    virtual std::string permissionAdvice() { return {}; }
};

// The process-wide driver (the capture helper unless a test installed another).
PacketDriver& packetDriver();
void setPacketDriver(PacketDriver* driver); // not owned; nullptr restores the helper

// The classic BPF filter installed on every interface: passes EtherType 0x887B
// and 0x88E1 only.
struct FilterInstruction {
    uint16_t code;
    uint8_t jt;
    uint8_t jf;
    uint32_t k;
};
extern const FilterInstruction kHomePlugFilter[7];
