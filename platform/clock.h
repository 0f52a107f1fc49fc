#pragma once
// The clock seam: every wait in the core reads the millisecond tick count and
// sleeps through here, so tests run fixed waits in virtual time.
#include <cstdint>
#include <functional>
#include <map>

class Clock {
  public:
    virtual ~Clock() = default;
    // Milliseconds since an arbitrary start; wraps like a 32-bit tick count.
    virtual uint32_t tickCount() = 0;
    virtual void sleepMs(uint32_t ms) = 0;
    // Wall-clock time, UTC milliseconds since 1970, for records kept from one run
    // to the next (the link history). The tick count above is monotonic and
    // starts anywhere, so it cannot date them. The default reads CLOCK_REALTIME.
    virtual int64_t utcMs();
};

// CLOCK_MONOTONIC and clock_nanosleep. A sleep never ends before its time; a
// short one (at most 10 ms) ends within microseconds of it: the kernel wakes
// the thread a little early and the rest is waited out on the clock.
class RealClock : public Clock {
  public:
    uint32_t tickCount() override;
    void sleepMs(uint32_t ms) override;
};

// Virtual time for tests: sleeping advances time at once. Listeners registered
// with atTime() run when time reaches their moment (the in-memory wire uses this
// to deliver frames at their virtual arrival time).
class VirtualClock : public Clock {
  public:
    explicit VirtualClock(uint64_t startMs = 1000) : now_(startMs) {}
    uint32_t tickCount() override { return static_cast<uint32_t>(now_); }
    void sleepMs(uint32_t ms) override { advance(ms); }
    // Wall-clock time moves with virtual time from a fixed start, so a test
    // runs a day of dated cycles in virtual time.
    int64_t utcMs() override { return utcStartMs_ + static_cast<int64_t>(now_ - startMs_); }
    // The wall-clock time at this moment of virtual time.
    void setUtcMs(int64_t utcMs) {
        utcStartMs_ = utcMs;
        startMs_ = now_;
    }
    uint64_t now() const { return now_; }
    void advance(uint64_t ms);
    // Runs `fn` once virtual time reaches `atMs` (at once when it already has).
    void atTime(uint64_t atMs, std::function<void()> fn);

  private:
    uint64_t now_;
    uint64_t startMs_ = now_;
    int64_t utcStartMs_ = 1767225600000; // 2026-01-01T00:00:00Z
    std::multimap<uint64_t, std::function<void()>> pending_;
};

// The process-wide clock; a RealClock unless a test installed another.
Clock& systemClock();
// Installs `clock` (not owned) as the process-wide clock; nullptr restores the real one.
void setSystemClock(Clock* clock);

// Shorthands used by every waiting loop.
inline uint32_t tickCount() {
    return systemClock().tickCount();
}
inline void sleepMs(uint32_t ms) {
    systemClock().sleepMs(ms);
}
inline int64_t utcNowMs() {
    return systemClock().utcMs();
}
// True once `deadline` (a tickCount value) has passed; safe across wrap-around.
inline bool tickReached(uint32_t deadline) {
    return static_cast<int32_t>(tickCount() - deadline) >= 0;
}
