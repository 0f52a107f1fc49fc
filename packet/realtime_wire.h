#pragma once
// The in-memory wire on the real clock: the packet driver of halyard-demo and
// of the live tests, where halyard's window and core run against the emulator
// inside the process, in real time and with no interface or capture rights.
// Frames the peer delivers fall due on the real monotonic clock (now() + their
// delay); taking a frame when none is due sleeps until one falls due, at most
// the 1 ms read time-out of the libpcap driver, so the core's waiting loops
// cost what they cost on a real interface and never spin.
#include "packet/memory_wire.h"

class RealTimeWire : public MemoryWire {
  public:
    RealTimeWire() = default;
    // Milliseconds of CLOCK_MONOTONIC (the clock RealClock reads).
    static uint64_t monotonicMs();

  protected:
    uint64_t timeNow() override { return monotonicMs(); }
    bool readTimeout(std::unique_lock<std::mutex>& lock, std::condition_variable& arrived,
                     uint64_t dueMs) override;
};
