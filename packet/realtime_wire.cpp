#include "packet/realtime_wire.h"

#include <chrono>

namespace {
// The read time-out the libpcap driver opens interfaces with.
constexpr uint64_t kReadTimeoutMs = 1;
} // namespace

uint64_t RealTimeWire::monotonicMs() {
    // steady_clock is CLOCK_MONOTONIC on Linux, the clock of RealClock.
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

bool RealTimeWire::readTimeout(std::unique_lock<std::mutex>& lock, std::condition_variable& arrived,
                               uint64_t dueMs) {
    using namespace std::chrono;
    // Wake at the earlier of the time-out and the next frame's due time, or
    // when a frame is queued meanwhile (an answer to a frame another thread
    // sent). The due time is in whole milliseconds: wake at its start.
    uint64_t wakeMs = monotonicMs() + kReadTimeoutMs;
    if (dueMs < wakeMs)
        wakeMs = dueMs;
    steady_clock::time_point wake{milliseconds(wakeMs)};
    arrived.wait_until(lock, wake);
    return true;
}
