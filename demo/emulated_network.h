#pragma once
// An emulated powerline network inside the process, as halyard's packet
// driver: the real-time in-memory wire with one port, "eth0" with a locally
// administered MAC, whose powerline network is a sim::Network. While the
// object lives it is the process-wide packet driver, so halyard's core finds
// the emulated adapters where it would find real ones, with no interface,
// capture rights or root.
#include <memory>

#include "packet/realtime_wire.h"
#include "sim/network.h"

// The host's MAC on the emulated port (locally administered).
inline constexpr uint8_t kDemoHostMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
inline constexpr const char* kDemoInterfaceName = "eth0";

class EmulatedNetwork {
  public:
    explicit EmulatedNetwork(sim::Network network);
    ~EmulatedNetwork(); // detaches and restores the libpcap driver
    EmulatedNetwork(const EmulatedNetwork&) = delete;
    EmulatedNetwork& operator=(const EmulatedNetwork&) = delete;

    // The emulator's model. Another thread than the core's looks at it only
    // while holding wire().holdPeer().
    sim::Network& network() { return *network_; }
    RealTimeWire& wire() { return wire_; }

  private:
    RealTimeWire wire_;
    std::unique_ptr<sim::Network> network_;
};
