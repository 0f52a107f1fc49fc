#include "storage/history_recorder.h"

#include <algorithm>

#include "diagnostics/scan_log.h"
#include "maintenance/av_maintenance.h"
#include "network/auto_scan.h"
#include "network/cycle_consumers.h"
#include "network/model.h"
#include "network/network_map.h"
#include "packet/packet.h"
#include "platform/clock.h"

namespace {

HistoryStore store;
HistoryRecorderStatus status;
int consumerId = 0;
void (*recordedHook)() = nullptr;
bool newerSchema = false; // never retried: a newer halyard owns the file
// The map gathering each interface's pairs were last recorded from: a cycle
// records the pairs only when the map was gathered again since.
uint32_t pairGeneration[kMaxInterfaces] = {};

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

std::vector<PairSample> collectPairSamples(const NetworkMap& map) {
    std::vector<PairSample> pairs;
    const int n = std::min(map.nodeCount, kMapMaxNodes);
    // Row 0 is the local adapter: its rates are the list's, recorded as its links.
    for (int from = 1; from < n; ++from)
        for (int to = 0; to < n; ++to) {
            const int32_t rate = map.rate[from][to];
            if (from == to || rate == kMapRateUnknown || rate <= 0)
                continue;
            PairSample pair;
            std::copy(map.nodes[from].mac, map.nodes[from].mac + 6, pair.fromMac);
            std::copy(map.nodes[to].mac, map.nodes[to].mac + 6, pair.toMac);
            pair.family = map.nodes[from].family;
            pair.rate = rate;
            pair.quality = linkQuality(rate, pair.family);
            pairs.push_back(pair);
        }
    return pairs;
}

void recordHistoryCycle(int interfaceIndex) {
    if (!status.started)
        return;
    if (ensureOpen()) {
        const int64_t now = utcNowMs() / 1000;
        CycleRecord record = collectCycleRecord(interfaceIndex, now);
        // While something wants the map, its Gather consumer has just asked
        // every remote adapter: the pairs it learned go in beside the links.
        if (interfaceIndex >= 0 && interfaceIndex < kMaxInterfaces && networkMapWants() > 0 &&
            networkMaps[interfaceIndex].generation != pairGeneration[interfaceIndex]) {
            pairGeneration[interfaceIndex] = networkMaps[interfaceIndex].generation;
            record.pairs = collectPairSamples(networkMaps[interfaceIndex]);
        }
        HistoryResult r = store.recordCycle(record);
        if (r == HistoryResult::Corrupt) {
            store.close();
            const std::string movedTo = moveHistoryAside(status.path);
            appendScanLogLine("history: " + status.path + " is damaged; moved to " +
                              (movedTo.empty() ? std::string("(could not be moved)") : movedTo) +
                              ", a new one started");
            if (!movedTo.empty() && ensureOpen())
                r = store.recordCycle(record);
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
    for (uint32_t& g : pairGeneration)
        g = 0;
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
