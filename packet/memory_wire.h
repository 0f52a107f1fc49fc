#pragma once
// The in-memory wire: a packet driver that connects the core to the emulator.
// Frames the core sends go to the peer handler at once; frames the peer
// delivers arrive at their due time. Two kinds of time:
//   - MemoryWire (tests): virtual time on a VirtualClock. Taking a frame when
//     none is due advances virtual time by 1 ms, as the real 1 ms read time-out
//     would.
//   - RealTimeWire (packet/realtime_wire.h): the real monotonic clock; taking a
//     frame sleeps until one is due, at most the 1 ms read time-out.
// The wire is safe to use from several threads (the window and the upgrade
// worker); the peer handler runs for one sent frame at a time.
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
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

    explicit MemoryWire(VirtualClock& clock) : clock_(&clock) {}
    ~MemoryWire() override = default;

    int addPort(const Port& port); // returns the port index
    void setSendHandler(SendHandler handler) { onSend_ = std::move(handler); }
    // Queues a frame towards the core on `port`, arriving at time `atMs` of the
    // wire's time (now() + delay; now when 0 or in the past). Frames on a closed
    // port are still queued.
    void deliver(int port, std::vector<uint8_t> frame, uint64_t atMs = 0);
    void setEnumerateFails(bool fails) { enumerateFails_ = fails; }
    // What permissionAdvice says (a real driver knows the user's way out).
    void setPermissionAdvice(std::string advice) { advice_ = std::move(advice); }
    std::string permissionAdvice() override { return advice_; }

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

    // The wire's time in milliseconds: the virtual clock's, or the real
    // monotonic clock's for a RealTimeWire.
    uint64_t now() { return timeNow(); }
    // While the returned lock is held the peer handles no frame: a thread may
    // look at the emulator's state while the core runs on another.
    std::unique_lock<std::mutex> holdPeer() { return std::unique_lock(peerMutex_); }
    // The virtual clock (virtual-time wires only).
    VirtualClock& clock() { return *clock_; }

  protected:
    MemoryWire() = default; // for a wire on another time (RealTimeWire)
    virtual uint64_t timeNow() { return clock_->now(); }
    // Nothing is due on the port now; `dueMs` is when its next frame falls due
    // (UINT64_MAX: none queued). Passes the driver's read time-out, holding
    // `lock` (the wire's lock) only while waiting on `arrived`. Returns whether
    // a frame that fell due meanwhile may be taken by this same call.
    virtual bool readTimeout(std::unique_lock<std::mutex>& lock, std::condition_variable& arrived,
                             uint64_t dueMs);

  private:
    struct Queued {
        uint64_t atMs;
        std::vector<uint8_t> frame;
    };
    int portIndex(const std::string& name) const;
    VirtualClock* clock_ = nullptr;
    std::mutex mutex_;                // ports, queues, handles, `sent`, `openCount`
    std::mutex peerMutex_;            // one sent frame at a time through the peer
    std::condition_variable arrived_; // a frame was queued
    std::vector<Port> ports_;
    std::vector<std::deque<Queued>> queues_;
    std::vector<int> handles_; // one int per port, addressed by handle
    SendHandler onSend_;
    std::string advice_;
    bool enumerateFails_ = false;
};
