#include "demo/emulated_network.h"

#include <cstring>

#include "packet/driver.h"

EmulatedNetwork::EmulatedNetwork(sim::Network network)
    : network_(std::make_unique<sim::Network>(std::move(network))) {
    MemoryWire::Port port;
    port.name = kDemoInterfaceName;
    port.description = kDemoInterfaceName;
    std::memcpy(port.mac, kDemoHostMac, sizeof port.mac);
    network_->attach(wire_, wire_.addPort(port));
    setPacketDriver(&wire_);
}

EmulatedNetwork::~EmulatedNetwork() {
    setPacketDriver(nullptr);
    network_->detach();
}
