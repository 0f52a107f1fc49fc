#pragma once
// The automatic scan: a 50 ms timer that drains the HomePlug 1.0 and Turbo
// answers on every tick and, once per scan interval, walks a seven-step cycle
// of queries that ends with ageing the remote slots and a full scan.
//
// The timer itself is a seam (ScanTimer): the Qt layer drives timerTick from
// a 50 ms QTimer, tests call timerTick directly. The device list of the user
// interface is reached through DeviceListHooks, empty until the UI fills it.
#include <cstdint>
#include <functional>

// ---- Timer state ---------------------------------------------------------------
extern unsigned timerId;  // identifier of the running timer, 0 when none
extern int scanTickCount; // 50 ms ticks since the last cycle began
extern int cycleStep;     // next step of the cycle: 1..7; 8 and above = idle
extern int waitTicks;     // tick counter of step 6
// Ticks per cycle (scan interval in seconds x 20). 0 or less means no
// automatic cycles: the timer then only drains answers.
extern int intervalTicks;

constexpr int kTimerPeriodMs = 50;
constexpr int kCycleIdle = 8;

// ---- Seams ---------------------------------------------------------------------
// Between two cycles most ticks only count towards the next one. A timer may
// let such ticks pass in one wake-up instead of waking every period: `ahead`
// says how many of the coming ticks would only count (0: tick every period),
// `pass(n)` counts n of them at once, and the timer then runs the routine for
// the last tick of the batch as usual.
struct IdleTicks {
    std::function<int()> ahead;
    std::function<void(int)> pass;
};
class ScanTimer {
  public:
    virtual ~ScanTimer() = default;
    // Starts a periodic timer that calls `routine` every `periodMs` (or, while
    // `idle` says the coming ticks only count, once per batch of them);
    // returns a non-zero identifier.
    virtual unsigned start(unsigned periodMs, std::function<void()> routine,
                           IdleTicks idle = {}) = 0;
    virtual void stop(unsigned id) = 0;
};
// A timer that never fires by itself; tests (and benchmarks) call timerTick.
class ManualScanTimer : public ScanTimer {
  public:
    unsigned start(unsigned periodMs, std::function<void()> routine, IdleTicks idle = {}) override;
    void stop(unsigned id) override;
    unsigned running = 0; // id of the running timer, 0 when stopped
    unsigned periodMs = 0;
    int starts = 0;
    std::function<void()> routine;
    IdleTicks idle;
};
// The most ticks a timer lets pass in one wake-up (one second): answers that
// arrive between cycles wait at most this long to be drained.
constexpr int kMaxIdleBatch = 20;
void setScanTimer(ScanTimer* timer); // not owned; nullptr restores the manual default
ScanTimer& scanTimer();

// The device list of the Main and Security pages.
struct DeviceListHooks {
    std::function<void(int stage)> refresh;       // rebuild the Main page's list
    std::function<void(bool enabled)> setActions; // enable/disable the action buttons
    std::function<void()> deleteRows;             // delete all rows of both lists
};
void setDeviceListHooks(DeviceListHooks hooks);
void refreshDeviceList(int stage);
void setActionButtonsEnabled(bool enabled);

// ---- Operations ------------------------------------------------------------------
// Runs the first scan, sets the interval, dropAfterMisses (clamped to 1..10)
// and busyFlag (= not enabled); starts the timer when a device was found.
bool startAutoScan(uint16_t intervalTicks, uint16_t misses, bool enabled);
unsigned startTimer();
void stopTimer();
void timerTick();
// The coming ticks that would only count towards the next cycle: none while
// a cycle runs, a tick runs or an operation holds the busy flag; with no
// automatic cycles, kMaxIdleBatch.
int idleTicksAhead();
// Counts `n` such ticks at once (at most idleTicksAhead()).
void passIdleTicks(int n);
// True while timerTick runs (its drain, its step and the step's scan).
bool timerTickRunning();
// Sets busyFlag to !flag; returns !previous busyFlag. Pass 0 to suspend and
// the returned value later to restore.
int suspendAutoScan(int flag);
void clearRemotes();
void ageRemotes();
// Runs step `cycleStep` of the cycle (exposed for tests).
void runCycleStep();
// One whole cycle now, at the timer's pace (a tick's sleep, drain and step),
// with the timer's own ticks kept out: how Scan finds the remote devices
// when AutoScan is off. Ends idle with the action buttons enabled.
void runCycleAtTimerPace();
// Stops the timer and leaves the cycle idle (a caller that lets the adapters
// go, such as the exporter pausing for the window).
void stopCycles();

// Returns the timer state, the hooks and the timer seam to their start values.
void resetAutoScan();

// The preferences' automatic-scan switch and interval, applied by the shell
// after it read them: intervalTicks = `ticks`, busyFlag set when AutoScan is off.
void applyAutoScanPreference(bool autoScan, int ticks);
// Ticks of 50 ms between automatic cycles (0: none), for a caller that runs
// cycles of its own (halyardctl).
void setScanInterval(int ticks);

// Keeps busyFlag set for the life of the object and restores the previous value.
class BusyScope {
  public:
    BusyScope();
    ~BusyScope();
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

  private:
    int previous_;
};
