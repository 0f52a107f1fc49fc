#include "platform/clock.h"

#include <sys/prctl.h>

#include <cerrno>
#include <ctime>

uint32_t RealClock::tickCount() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u +
                                 static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

void RealClock::sleepMs(uint32_t ms) {
    // The kernel may end a sleep up to the thread's timer slack late (50 us by
    // default). The waits are 1 ms steps in loops that run a thousand times
    // (a firmware upgrade sends a block, waits 1 ms, takes the confirmation,
    // waits 1 ms), so that slack alone would add a tenth to them: ask for none.
    thread_local bool slackSet = false;
    if (!slackSet) {
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        slackSet = true;
    }
    // An absolute end, so that a signal that interrupts the sleep does not
    // lengthen it.
    timespec end{};
    clock_gettime(CLOCK_MONOTONIC, &end);
    end.tv_sec += static_cast<time_t>(ms / 1000);
    end.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (end.tv_nsec >= 1000000000L) {
        end.tv_sec += 1;
        end.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &end, nullptr) == EINTR) {
    }
}

int64_t Clock::utcMs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
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
