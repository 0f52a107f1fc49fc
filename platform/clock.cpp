#include "platform/clock.h"

#include <ctime>

uint32_t RealClock::tickCount() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u +
                                 static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

void RealClock::sleepMs(uint32_t ms) {
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

void VirtualClock::advance(uint64_t ms) {
    uint64_t target = now_ + ms;
    // Run due listeners in time order; a listener may schedule further ones.
    while (!pending_.empty() && pending_.begin()->first <= target) {
        auto it = pending_.begin();
        if (it->first > now_)
            now_ = it->first;
        auto fn = std::move(it->second);
        pending_.erase(it);
        fn();
    }
    now_ = target;
}

void VirtualClock::atTime(uint64_t atMs, std::function<void()> fn) {
    if (atMs <= now_) {
        fn();
        return;
    }
    pending_.emplace(atMs, std::move(fn));
}

namespace {
RealClock realClock;
Clock* installed = nullptr;
} // namespace

Clock& systemClock() {
    return installed ? *installed : realClock;
}
void setSystemClock(Clock* clock) {
    installed = clock;
}
