#include "storage/history_recorder.h"

#include "diagnostics/scan_log.h"
#include "maintenance/av_maintenance.h"
#include "network/auto_scan.h"
#include "network/cycle_consumers.h"
#include "network/model.h"
#include "packet/packet.h"
#include "platform/clock.h"

namespace {

HistoryStore store;
HistoryRecorderStatus status;
int consumerId = 0;
void (*recordedHook)() = nullptr;
bool newerSchema = false; // never retried: a newer halyard owns the file

// A paused recorder says so once, not every cycle.
void pause(const std::string& note) {
    if (status.note != note)
        appendScanLogLine("history: recording paused: " + note);
    status.recording = false;
    status.note = note;
}

void resumed() {
    if (!status.recording && !status.note.empty())
        appendScanLogLine("history: recording resumed");
    status.recording = true;
    status.note.clear();
}

std::string describe(HistoryResult r, const HistoryStore& s) {
    std::string text = historyResultText(r);
    if (r == HistoryResult::Failed && !s.lastError().empty())
        text += " (" + s.lastError() + ")";
    return text;
}

bool ensureOpen() {
    if (store.isOpen())
        return true;
    if (newerSchema)
        return false;
    std::string movedTo;
    HistoryResult r = openHistoryForWriting(store, status.path, kRecorderBusyTimeoutMs, movedTo);
    if (!movedTo.empty())
        appendScanLogLine("history: " + status.path + " was damaged; moved to " + movedTo +
                          ", a new one started");
    if (r == HistoryResult::Ok)
        return true;
    newerSchema = r == HistoryResult::NewerSchema;
    pause(status.path + ": " + describe(r, store));
    return false;
}

std::string localFirmware(int i) {
    switch (scanStates[i].deviceClass) {
    case kClassAv:
        return localFirmwareVersion;
    case kClassTurbo:
        return turboVersion;
    default:
        return {}; // a HomePlug 1.0 adapter tells no version
    }
}

} // namespace

CycleRecord collectCycleRecord(int i, int64_t utcSeconds) {
    CycleRecord record;
    if (i < 0 || i >= kMaxInterfaces)
        return record;
    const ScanState& state = scanStates[i];
    record.time = utcSeconds;
    record.interfaceName = interfaceName(i);
    std::copy(state.localMac, state.localMac + 6, record.localMac);
    record.localFirmware = state.localPresent ? localFirmware(i) : std::string();
    record.spanSeconds = intervalTicks > 0 ? std::max(1, intervalTicks / 20) : 0;
    if (!state.localPresent)
        return record;
    for (const RemoteDevice& slot : networkRecords[i].remotes) {
        // What the device list shows: an active remote with a measured rate.
        if (!slot.active || !macIsSet(slot.mac) || macEqual(slot.mac, state.localMac))
            continue;
        const double rate = slot.stats.rate;
        if (!(rate > 0))
            continue;
        CycleSample sample;
        std::copy(slot.mac, slot.mac + 6, sample.remoteMac);
        sample.family = slot.deviceType;
        sample.rate = rate;
        sample.quality = linkQuality(rate, slot.deviceType);
        record.samples.push_back(sample);
    }
    return record;
}

void recordHistoryCycle(int interfaceIndex) {
    if (!status.started)
        return;
    if (ensureOpen()) {
        const int64_t now = utcNowMs() / 1000;
        HistoryResult r = store.recordCycle(collectCycleRecord(interfaceIndex, now));
        if (r == HistoryResult::Corrupt) {
            store.close();
            const std::string movedTo = moveHistoryAside(status.path);
            appendScanLogLine("history: " + status.path + " is damaged; moved to " +
                              (movedTo.empty() ? std::string("(could not be moved)") : movedTo) +
                              ", a new one started");
            if (!movedTo.empty() && ensureOpen())
                r = store.recordCycle(collectCycleRecord(interfaceIndex, now));
        }
        if (r == HistoryResult::Ok) {
            resumed();
            ++status.cyclesRecorded;
            status.lastRecordedAt = now;
        } else {
            pause(describe(r, store));
        }
    }
    if (recordedHook)
        recordedHook();
}

void startHistoryRecording(const std::string& path) {
    stopHistoryRecording();
    status = HistoryRecorderStatus{};
    status.started = true;
    status.path = path.empty() ? defaultHistoryPath() : path;
    newerSchema = false;
    if (ensureOpen())
        status.recording = true;
    consumerId = addCycleConsumer(
        CyclePhase::Record, [](const CycleEnd& end) { recordHistoryCycle(end.interfaceIndex); });
}

void stopHistoryRecording() {
    if (consumerId)
        removeCycleConsumer(consumerId);
    consumerId = 0;
    store.close();
    status.started = false;
    status.recording = false;
}

const HistoryRecorderStatus& historyRecorderStatus() {
    return status;
}

void setHistoryRecordedHook(void (*hook)()) {
    recordedHook = hook;
}

HistoryStore* historyRecorderStore() {
    return store.isOpen() ? &store : nullptr;
}
