#pragma once
// The in-memory wire: a packet driver for tests that connects the core to the
// emulator. Frames the core sends go to the peer handler at once; frames the
// peer delivers arrive at a virtual time on the VirtualClock. Taking a frame
// when none is due advances virtual time by 1 ms, as the real 1 ms read
// time-out would.
#include <deque>
#include <functional>
#include <vector>

#include "packet/driver.h"
#include "platform/clock.h"

class MemoryWire : public PacketDriver {
  public:
    struct Port {
        std::string name;
        std::string description;
        uint8_t mac[6] = {};
        bool macReadable = true;
        bool openFails = false;
        bool permissionDenied = false;
    };
    // Called with every frame the core sends: port index, bytes as sent (after padding).
    using SendHandler = std::function<void(int port, const std::vector<uint8_t>& frame)>;

    explicit MemoryWire(VirtualClock& clock) : clock_(clock) {}

    int addPort(const Port& port); // returns the port index
    void setSendHandler(SendHandler handler) { onSend_ = std::move(handler); }
    // Queues a frame towards the core on `port`, arriving at virtual time `atMs`
    // (now when 0 or in the past). Frames on a closed port are still queued.
    void deliver(int port, std::vector<uint8_t> frame, uint64_t atMs = 0);
    void setEnumerateFails(bool fails) { enumerateFails_ = fails; }

    // Everything the core sent, in order.
    struct Sent {
        int port;
        uint64_t atMs;
        std::vector<uint8_t> frame;
    };
    std::vector<Sent> sent;
    int openCount = 0; // how many times open() succeeded

    // PacketDriver
    bool enumerate(std::vector<DriverInterface>& out) override;
    bool readMac(const std::string& name, uint8_t mac[6]) override;
    void* open(const std::string& name, std::string& error, bool& permissionDenied) override;
    void close(void* handle) override;
    bool send(void* handle, const uint8_t* bytes, size_t length) override;
    TakeResult takeOne(void* handle, std::vector<uint8_t>& frame) override;

    VirtualClock& clock() { return clock_; }

  private:
    struct Queued {
        uint64_t atMs;
        std::vector<uint8_t> frame;
    };
    int portIndex(const std::string& name) const;
    VirtualClock& clock_;
    std::vector<Port> ports_;
    std::vector<std::deque<Queued>> queues_;
    std::vector<int> handles_; // one int per port, addressed by handle
    SendHandler onSend_;
    bool enumerateFails_ = false;
};
