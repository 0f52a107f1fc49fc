#pragma once
// The in-memory wire on the real clock: the emulator in the process, its
// answers delivered at real times. Every call first brings the wire's
// virtual clock up to the monotonic clock's milliseconds, so an answer the
// emulator schedules "1 ms later" arrives 1 ms of real time later, while the
// core waits, sleeps and runs its timers on the real clock. Taking a frame
// when none is due waits about 1 ms, like the real driver's read time-out.
//
// For the live tests: the real window, the real QTimer, the emulator behind
// the same MemoryWire the sim tests use.
#include <cstdint>

#include "packet/driver.h"
#include "packet/memory_wire.h"

class RealTimeWire : public PacketDriver {
  public:
    explicit RealTimeWire(MemoryWire& wire);

    bool enumerate(std::vector<DriverInterface>& out) override;
    bool readMac(const std::string& name, uint8_t mac[6]) override;
    void* open(const std::string& name, std::string& error, bool& permissionDenied) override;
    void close(void* handle) override;
    bool send(void* handle, const uint8_t* bytes, size_t length) override;
    TakeResult takeOne(void* handle, std::vector<uint8_t>& frame) override;

  private:
    // Advances the wire's clock to real time (never backwards).
    void catchUp();
    MemoryWire& wire_;
    uint64_t realStartMs_;
    uint64_t virtualStartMs_;
};
