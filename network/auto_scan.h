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
class ScanTimer {
  public:
    virtual ~ScanTimer() = default;
    // Starts a periodic timer that calls `routine` every `periodMs`; returns a
    // non-zero identifier.
    virtual unsigned start(unsigned periodMs, std::function<void()> routine) = 0;
    virtual void stop(unsigned id) = 0;
};
// A timer that never fires by itself; tests (and benchmarks) call timerTick.
class ManualScanTimer : public ScanTimer {
  public:
    unsigned start(unsigned periodMs, std::function<void()> routine) override;
    void stop(unsigned id) override;
    unsigned running = 0; // id of the running timer, 0 when stopped
    unsigned periodMs = 0;
    int starts = 0;
    std::function<void()> routine;
};
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
// True while timerTick runs (its drain, its step and the step's scan).
bool timerTickRunning();
// Sets busyFlag to !flag; returns !previous busyFlag. Pass 0 to suspend and
// the returned value later to restore.
int suspendAutoScan(int flag);
void clearRemotes();
void ageRemotes();
// Runs step `cycleStep` of the cycle (exposed for tests).
void runCycleStep();

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
