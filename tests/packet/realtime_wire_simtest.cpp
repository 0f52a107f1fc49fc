// halyard's core against the emulator on the real clock (the set-up of
// halyard-demo and the live tests): start-up, the first scan and the first
// automatic cycle, driven by the 50 ms timer on real time as the window's
// QTimer drives it, list the three adapters of the home scenario; the adapter
// on the other network stays out of the list.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "network/auto_scan.h"
#include "support/emulated_halyard.h"
#include "ui/main_page_logic.h"
#include "ui/shell.h"

namespace {

TEST(RealTimeWireSim, ScanListsTheHomeAdaptersInRealTime) {
    EmulatedHalyard h{false}; // the real clock, the wire on it
    h.writePreferences(EmulatedHalyard::defaultPreferences());
    h.attachScenario("home.json");
    ASSERT_TRUE(startShell(h.workingFolder()));
    uint64_t start = RealTimeWire::monotonicMs();
    ASSERT_TRUE(createMainPage(h.setup(), nullptr));
    ASSERT_EQ(1u, mainPageState.rows.size()); // the first scan finds the local adapter
    // The timer's ticks every 50 ms of real time, until the cycle listed the
    // remotes (the window shows them within a second or two).
    while (mainPageState.rows.size() < 3 && RealTimeWire::monotonicMs() - start < 20000) {
        timerTick();
        std::this_thread::sleep_for(std::chrono::milliseconds(kTimerPeriodMs));
    }
    uint64_t end = RealTimeWire::monotonicMs();

    std::vector<std::string> macs;
    for (const MainRow& r : mainPageState.rows)
        macs.push_back(r.mac);
    EXPECT_EQ(
        (std::vector<std::string>{"00:B0:52:00:00:10", "00:B0:52:00:00:11", "00:B0:52:00:00:12"}),
        macs);
    EXPECT_EQ("Powerline Devices : 3", mainPageState.countText);
    EXPECT_TRUE(h.messages.shown.empty());
    // The frames went out on the real monotonic clock, in order.
    auto still = h.wire.holdPeer();
    EXPECT_GT(h.net->answered(), 3u);
    ASSERT_FALSE(h.wire.sent.empty());
    EXPECT_GE(h.wire.sent.front().atMs, start);
    EXPECT_LE(h.wire.sent.back().atMs, end);
    for (size_t i = 1; i < h.wire.sent.size(); ++i)
        EXPECT_LE(h.wire.sent[i - 1].atMs, h.wire.sent[i].atMs);
}

} // namespace
