#include "platform/clock.h"

#include <sys/prctl.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

namespace {

constexpr int64_t kNsPerMs = 1000000;
constexpr int64_t kNsPerSecond = 1000000000;
// Sleeps up to this long end on the clock rather than on the kernel's timer.
constexpr uint32_t kFinishedBySpinMaxMs = 10;
// Bounds of the part of such a sleep that is spun: the kernel's wake-up
// lateness on an idle machine is some tens of microseconds.
constexpr int64_t kMinSpinNs = 20000;
constexpr int64_t kMaxSpinNs = 200000;

int64_t monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kNsPerSecond + ts.tv_nsec;
}

} // namespace

uint32_t RealClock::tickCount() {
    return static_cast<uint32_t>(monotonicNs() / kNsPerMs);
}

namespace {

// Sleeps until `endNs` on CLOCK_MONOTONIC. An absolute end, so that a signal
// that interrupts the sleep does not lengthen it.
void sleepUntil(int64_t endNs) {
    timespec end{};
    end.tv_sec = static_cast<time_t>(endNs / kNsPerSecond);
    end.tv_nsec = static_cast<long>(endNs % kNsPerSecond);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &end, nullptr) == EINTR) {
    }
}

// How late the kernel wakes this thread after the time it asked for: a
// running average, in nanoseconds, updated by every short sleep.
thread_local int64_t wakeLatenessNs = 60000;

} // namespace

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
    const int64_t endNs = monotonicNs() + static_cast<int64_t>(ms) * kNsPerMs;
    if (ms == 0 || ms > kFinishedBySpinMaxMs) {
        sleepUntil(endNs);
        return;
    }
    // Even with no slack, waking a sleeping thread takes the kernel some tens
    // of microseconds, which would still add several hundredths to those
    // loops. A short sleep therefore asks the kernel to wake it that much
    // early (as late as it has lately been, and a little more) and waits out
    // the rest on the clock. The spun part is what the kernel's lateness
    // varies by, a few hundredths of the sleep; a long sleep does not bother.
    const int64_t spinNs = std::clamp(wakeLatenessNs + kMinSpinNs, kMinSpinNs, kMaxSpinNs);
    const int64_t wakeNs = endNs - spinNs;
    sleepUntil(wakeNs);
    int64_t now = monotonicNs();
    wakeLatenessNs += (now - wakeNs - wakeLatenessNs) / 8;
    while (now < endNs)
        now = monotonicNs();
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
