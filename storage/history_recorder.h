#pragma once
// The link history's consumer of the automatic cycle: at the end of every
// cycle it records the selected interface's remote adapters (those the device
// list shows: active, with a measured rate) into the history file, and, while
// something wants the network map, the rate of every pair the map learned.
//
// A history that cannot be written never stops the cycle: recording pauses,
// one line goes to the scan log, and the note below says why (the window's
// history view shows it). Each later cycle tries again, so recording resumes
// by itself once the disk has room or the lock is free. A damaged file is
// moved aside (".bad") and a new one started.
#include <cstdint>
#include <string>
#include <vector>

#include "storage/link_history.h"

// How long a cycle waits for another writer (the exporter, `halyardctl
// watch`) before it gives up that cycle's samples.
constexpr int kRecorderBusyTimeoutMs = 250;

struct HistoryRecorderStatus {
    bool started = false;   // startHistoryRecording was called
    bool recording = false; // the last attempt succeeded
    std::string path;
    std::string note; // why recording pauses; empty while it records
    int64_t cyclesRecorded = 0;
    int64_t lastRecordedAt = 0; // UTC seconds of the last recorded cycle
};

// Opens the history at `path` (defaultHistoryPath() when empty) and registers
// the cycle consumer. A file that cannot be opened pauses recording at once.
void startHistoryRecording(const std::string& path = {});
// Unregisters the consumer and closes the file.
void stopHistoryRecording();
const HistoryRecorderStatus& historyRecorderStatus();

// The record of the cycle that just ended on `interfaceIndex`, from the tables.
CycleRecord collectCycleRecord(int interfaceIndex, int64_t utcSeconds);
// The pairs of a gathered map whose rate is known, from every remote adapter
// to every other adapter (the local adapter's own rates are its links).
struct NetworkMap;
std::vector<PairSample> collectPairSamples(const NetworkMap& map);
// Records one cycle (the consumer calls it; tests may too).
void recordHistoryCycle(int interfaceIndex);
// Called after each cycle was recorded or failed (the window's view follows it).
void setHistoryRecordedHook(void (*hook)());
// Tests: the recorder's open store (null while paused without a file).
HistoryStore* historyRecorderStore();
