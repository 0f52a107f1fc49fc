#pragma once
// Serves a Network on a real interface through libpcap: promiscuous capture of
// the two HomePlug EtherTypes, answers injected after their delays.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "sim/network.h"

struct pcap;
struct pcap_pkthdr;

namespace sim {

class PcapServer {
  public:
    explicit PcapServer(Network& net) : net_(net) {}
    ~PcapServer() { close(); }
    PcapServer(const PcapServer&) = delete;
    PcapServer& operator=(const PcapServer&) = delete;

    // Opens the interface; false with the reason in `error`.
    bool open(const std::string& interfaceName, std::string& error);
    // Answers frames until `stop` is set (checked at least every 20 ms). False
    // with the reason in `error` when capturing fails.
    bool serve(const std::atomic<bool>& stop, std::string& error);
    void close();

    // The answers that wait for their delay are bounded: plcsim runs as root
    // and a flood of requests (or a scenario's long delays) must not grow its
    // memory without end. When the queue is full, answers due within 50 ms
    // are waited for and sent first (a flood behind the usual latency goes
    // out whole); otherwise the new answer is dropped (and counted). Answers
    // due at once with nothing queued are sent, never queued.
    static constexpr size_t kMaxPendingAnswers = 4096;

    // One received frame: the network's answers are sent or queued. Public
    // for tests, which take frames without an interface.
    void take(const uint8_t* frame, size_t length);
    size_t pendingAnswers() const { return pending_.size(); }
    uint64_t droppedAnswers() const { return dropped_; }

  private:
    using TimePoint = std::chrono::steady_clock::time_point;
    void inject(const Bytes& frame);
    void sendDue();
    static void onFrame(unsigned char* user, const struct pcap_pkthdr* header,
                        const unsigned char* bytes);

    Network& net_;
    struct pcap* pcap_ = nullptr;
    int fd_ = -1;
    std::multimap<TimePoint, Bytes> pending_;
    uint64_t dropped_ = 0;
};

} // namespace sim
