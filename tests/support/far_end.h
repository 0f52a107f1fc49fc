#pragma once
// A wire test's far end: the emulator's libpcap server serving a scenario on
// the plc side of a NetnsPair, on a thread of the test, so the stations'
// state can be read directly once it stops.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "sim/network.h"
#include "sim/pcap_server.h"
#include "support/netns.h"

// The emulated network served on the far end of the pair until stop().
class FarEnd {
  public:
    FarEnd(NetnsPair& net, const std::string& scenario)
        : network(sim::Network::fromFile(sim::scenarioPath(scenario))) {
        std::atomic<bool> opened{false}, failed{false};
        thread_ = net.threadIn(NetnsPair::Plc, [&, ifname = net.ifName(NetnsPair::Plc)] {
            sim::PcapServer server(network);
            if (!server.open(ifname, error_)) {
                failed = true;
                return;
            }
            opened = true;
            if (!server.serve(stop_, error_))
                failed = true;
        });
        while (!opened && !failed)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ok_ = opened;
    }
    ~FarEnd() { stop(); }
    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }
    void stop() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    sim::Network network;

  private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::string error_;
    bool ok_ = false;
};
