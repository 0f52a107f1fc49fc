#include "network/auto_scan.h"

#include "diagnostics/scan_log.h"
#include "network/cycle_consumers.h"
#include "network/hp10_frames.h"
#include "network/model.h"
#include "network/scan.h"
#include "packet/frame_bytes.h"
#include "platform/clock.h"
#include "storage/device_database.h"
#include "storage/preferences.h"

unsigned timerId = 0;
int scanTickCount = 0;
int cycleStep = kCycleIdle;
int waitTicks = 0;
int intervalTicks = 0;
// Written only in this file: startAutoScan, suspendAutoScan, applyAutoScanPreference
// and BusyScope are the one busy mechanism.
int busyFlag = 0;

namespace {
constexpr int kScanLogLevel = 20;
constexpr int kStep6Ticks = 2;

bool inTick = false; // timerTick is running

ManualScanTimer defaultTimer;
ScanTimer* installedTimer = nullptr;
DeviceListHooks hooks;

// The local parameters request of the cycle, to the selected interface's local device.
void requestLocalParametersOfLocal(uint8_t selector) {
    const ScanState& state = currentScanState();
    if (localIsTurbo || !state.localPresent || state.deviceClass == kClassAdapter)
        return;
    if (!macIsSet(hostMac()))
        return;
    requestLocalParameters(currentInterface, hostMac(), kBroadcastMac, selector);
}

void stepQueryLocal() {
    setActionButtonsEnabled(false);
    if (!localIsTurbo)
        requestLocalParametersOfLocal(currentScanState().paramsValid ? 0 : 16);
    requestParameters(currentInterface, hostMac(), kBroadcastMac);
    refreshDeviceList(1);
}

void stepQueryRemotes() {
    for (const RemoteDevice& slot : networkRecords[currentInterface].remotes)
        if (macIsSet(slot.mac))
            requestParameters(currentInterface, hostMac(), slot.mac);
}

void stepNetworkStats() {
    if (macIsSet(hostMac()))
        requestNetworkStats(currentInterface, hostMac(), kBroadcastMac);
}

void stepTurboVersion() {
    requestTurboVersion();
    if (!localIsTurbo && currentScanState().paramsValid)
        requestLocalParametersOfLocal(0);
}

void stepFinish() {
    ageRemotes();
    scanNetwork();
    refreshDeviceList(7);
    setActionButtonsEnabled(true);
    notifyCycleConsumers({currentInterface, tickCount()});
}

// The local adapter was lost part way through a cycle (the observer refused
// its answer, or the interface went away): the remaining steps would query
// nothing, and step 1 has switched the action buttons off. Ends the cycle as
// its last step does, so Scan is usable again and the full scan looks for the
// adapter, instead of leaving the buttons off until the adapter comes back.
void endStalledCycle(bool interfaceValid) {
    cycleStep = kCycleIdle;
    if (interfaceValid) {
        stepFinish();
        return;
    }
    refreshDeviceList(7);
    setActionButtonsEnabled(true);
}

// Removes every device entry whose MAC is all zero; the remote slots stay.
void dropEntriesWithoutMac() {
    for (int k = deviceCount - 1; k >= 0; --k) {
        if (macIsSet(deviceTable[k].mac))
            continue;
        for (int j = k; j < deviceCount - 1 && j + 1 < kMaxDeviceEntries; ++j)
            deviceTable[j] = deviceTable[j + 1];
        deviceTable[deviceCount - 1] = DeviceEntry{};
        --deviceCount;
    }
}
} // namespace

// ---- Seams -----------------------------------------------------------------------

unsigned ManualScanTimer::start(unsigned period, std::function<void()> fn, IdleTicks idleTicks) {
    periodMs = period;
    routine = std::move(fn);
    idle = std::move(idleTicks);
    ++starts;
    running = static_cast<unsigned>(starts);
    return running;
}

void ManualScanTimer::stop(unsigned id) {
    if (id == running) {
        running = 0;
        routine = nullptr;
        idle = {};
    }
}

void setScanTimer(ScanTimer* timer) {
    installedTimer = timer;
}
ScanTimer& scanTimer() {
    return installedTimer ? *installedTimer : defaultTimer;
}

void setDeviceListHooks(DeviceListHooks h) {
    hooks = std::move(h);
}

void refreshDeviceList(int stage) {
    if (hooks.refresh)
        hooks.refresh(stage);
}

void setActionButtonsEnabled(bool enabled) {
    if (hooks.setActions)
        hooks.setActions(enabled);
}

// ---- Operations --------------------------------------------------------------------

bool startAutoScan(uint16_t interval, uint16_t misses, bool enabled) {
    bool found = scanNetwork();
    intervalTicks = interval;
    dropAfterMisses = static_cast<uint8_t>(misses < 2 ? 1 : misses > 10 ? 10 : misses);
    busyFlag = enabled ? 0 : 1;
    if (found)
        startTimer();
    return found;
}

unsigned startTimer() {
    scanTickCount = 0;
    waitTicks = 0;
    // An interval of 0 means no automatic cycles at all; the timer then only
    // handles the answers that arrive.
    cycleStep = intervalTicks > 0 ? 1 : kCycleIdle;
    stopTimer();
    timerId = scanTimer().start(kTimerPeriodMs, timerTick, {idleTicksAhead, passIdleTicks});
    return timerId;
}

void stopTimer() {
    if (timerId != 0)
        scanTimer().stop(timerId);
    timerId = 0;
}

void timerTick() {
    // A tick can open a message box (the Main page's refresh does), whose own
    // event loop keeps the window timer firing. A tick never runs inside
    // another: a nested scan would close and reopen the interfaces under the
    // outer tick's drain. The outer tick goes on when the box is closed.
    if (busyFlag || inTick)
        return;
    inTick = true;
    struct Leave {
        ~Leave() { inTick = false; }
    } leave;
    // The observer's local parameters probe may run once in this tick.
    armLocalParametersProbe();
    drainResponses();
    ++scanTickCount;
    if (intervalTicks > 0 && scanTickCount >= intervalTicks) {
        clearRemotes();
        scanTickCount = 0;
        cycleStep = 1;
    }
    runCycleStep();
}

bool timerTickRunning() {
    return inTick;
}

int idleTicksAhead() {
    if (busyFlag || inTick || cycleStep < kCycleIdle)
        return 0;
    if (intervalTicks <= 0)
        return kMaxIdleBatch;
    // The tick that reaches the interval starts the next cycle: it runs.
    int left = intervalTicks - scanTickCount - 1;
    return left > 0 ? left : 0;
}

void passIdleTicks(int n) {
    int ahead = idleTicksAhead();
    if (n > ahead)
        n = ahead;
    if (n > 0 && intervalTicks > 0)
        scanTickCount += n;
}

void runCycleStep() {
    bool interfaceValid = currentInterface >= 0 && currentInterface < kMaxInterfaces;
    if (!interfaceValid || !currentScanState().localPresent) {
        if (cycleStep >= 2 && cycleStep <= 7)
            endStalledCycle(interfaceValid);
        return;
    }
    switch (cycleStep) {
    case 1:
        stepQueryLocal();
        break;
    case 2:
        stepQueryRemotes();
        break;
    case 3:
        stepNetworkStats();
        break;
    case 4:
        stepTurboVersion();
        break;
    case 5:
        requestLocalParametersOfLocal(16);
        break;
    case 6:
        if (++waitTicks < kStep6Ticks)
            return;
        waitTicks = 0;
        break;
    case 7:
        stepFinish();
        break;
    default:
        return;
    }
    ++cycleStep;
}

void applyAutoScanPreference(bool autoScan, int ticks) {
    intervalTicks = ticks;
    busyFlag = autoScan ? 0 : 1;
}

void setScanInterval(int ticks) {
    intervalTicks = ticks;
}

int suspendAutoScan(int flag) {
    int previous = busyFlag;
    busyFlag = flag ? 0 : 1;
    return previous ? 0 : 1;
}

void clearRemotes() {
    NetworkRecord& record = networkRecords[currentInterface];
    record.activeRemoteCount = 0;
    for (RemoteDevice& slot : record.remotes) {
        slot.active = 0;
        slot.stats.rate = 0;
        slot.missesTillDrop = 0;
    }
    dropEntriesWithoutMac();
    saveDeviceDatabase();
    if (hooks.deleteRows)
        hooks.deleteRows();
}

void ageRemotes() {
    if (preferences.diagnosticsLevel >= kScanLogLevel)
        appendScanLog(true);
    NetworkRecord& record = networkRecords[currentInterface];
    int active = 0;
    for (RemoteDevice& slot : record.remotes) {
        if (!slot.active)
            continue;
        ++active;
        if (slot.missesTillDrop > 0)
            --slot.missesTillDrop;
        if (slot.missesTillDrop == 0) {
            slot.active = 0;
            slot.stats.rate = 0;
            // Counted in 32 bits as the file stores it; wraps rather than overflows.
            slot.missTotal =
                static_cast<int32_t>(static_cast<uint32_t>(slot.missTotal) + dropAfterMisses);
            if (active > 0)
                --active;
        }
    }
    record.activeRemoteCount = active;
}

void resetAutoScan() {
    stopTimer();
    inTick = false;
    timerId = 0;
    scanTickCount = 0;
    cycleStep = kCycleIdle;
    waitTicks = 0;
    intervalTicks = 0;
    busyFlag = 0;
    hooks = DeviceListHooks{};
    installedTimer = nullptr;
    defaultTimer = ManualScanTimer{};
}

BusyScope::BusyScope() : previous_(busyFlag) {
    busyFlag = 1;
}
BusyScope::~BusyScope() {
    busyFlag = previous_;
}

void runCycleAtTimerPace() {
    BusyScope busy; // the timer's own ticks stay out of it
    cycleStep = 1;
    waitTicks = 0;
    constexpr int kMostTicks = 4 * kCycleIdle; // a cycle that stalls still ends
    for (int tick = 0; tick < kMostTicks && cycleStep < kCycleIdle; ++tick) {
        sleepMs(kTimerPeriodMs);
        drainResponses();
        const int before = cycleStep;
        runCycleStep();
        if (cycleStep == before && cycleStep != 6)
            break; // no local device any more: the step cannot run
    }
    cycleStep = kCycleIdle;
    setActionButtonsEnabled(true);
}

void stopCycles() {
    stopTimer();
    cycleStep = kCycleIdle;
}
