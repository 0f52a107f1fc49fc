// The clock seam's sleeps never end before their time: on the real clock
// (whose short sleeps wake early on purpose and wait out the rest) and in
// virtual time. These are properties, not timings: nothing here bounds how
// late a sleep may end.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/time.h>

#include <ctime>
#include <vector>

#include "platform/clock.h"

namespace {

int64_t monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Every length the loops use: the 1 ms steps, the short pauses that end on the
// clock, the first that ends on the kernel's timer alone, and none.
const std::vector<uint32_t> kLengths = {0, 1, 2, 5, 10, 11, 25};

TEST(RealClock, SleepNeverEndsEarly) {
    RealClock clock;
    for (int round = 0; round < 20; ++round) {
        for (uint32_t ms : kLengths) {
            const int64_t start = monotonicNs();
            const uint32_t startTick = clock.tickCount();
            clock.sleepMs(ms);
            EXPECT_GE(monotonicNs() - start, static_cast<int64_t>(ms) * 1000000) << ms << " ms";
            // What the waiting loops check: a deadline of now + ms has been reached.
            EXPECT_GE(static_cast<int32_t>(clock.tickCount() - startTick), static_cast<int32_t>(ms))
                << ms << " ms";
        }
    }
}

volatile sig_atomic_t alarms = 0;
void countAlarm(int) {
    alarms = alarms + 1;
}

TEST(RealClock, SignalsDoNotEndASleepEarly) {
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = countAlarm;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(0, sigaction(SIGALRM, &action, &previous));
    // A signal every 300 us, so that both the kernel's part and the part
    // waited out on the clock are interrupted.
    itimerval every{{0, 300}, {0, 300}};
    ASSERT_EQ(0, setitimer(ITIMER_REAL, &every, nullptr));
    RealClock clock;
    for (uint32_t ms : kLengths) {
        const int64_t start = monotonicNs();
        clock.sleepMs(ms);
        EXPECT_GE(monotonicNs() - start, static_cast<int64_t>(ms) * 1000000) << ms << " ms";
    }
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    EXPECT_GT(alarms, 0) << "the sleeps were interrupted";
}

TEST(VirtualClock, SleepAdvancesExactlyAndRunsWhatFallsDue) {
    VirtualClock clock(5000);
    std::vector<uint64_t> ranAt;
    clock.atTime(5001, [&] { ranAt.push_back(clock.now()); });
    clock.atTime(5003, [&] { ranAt.push_back(clock.now()); });
    for (uint32_t ms : kLengths) {
        const uint64_t before = clock.now();
        clock.sleepMs(ms);
        EXPECT_EQ(before + ms, clock.now()) << ms << " ms";
    }
    EXPECT_EQ((std::vector<uint64_t>{5001, 5003}), ranAt)
        << "listeners run at their moment, never before";
}

} // namespace
