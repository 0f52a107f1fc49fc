#pragma once
// The history view's logic, without the window: which links it shows, what
// one span of time reads from the history file, where a curve breaks (a
// drop-out, or a time nobody recorded), the rows of its table, its CSV
// export and its quiet note. ui/qt/history_view.* draws it with Qt Charts.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "storage/link_history.h"

enum class HistorySpan { Hour, Day, Week, Month, Year };
constexpr int kHistorySpanCount = 5;

// "Last hour", "Last day", ... as the span chooser shows them.
const char* historySpanName(HistorySpan span);
int64_t historySpanSeconds(HistorySpan span);
// A week and more is drawn one point per hour (mean, with min and max in the table).
bool historySpanIsHourly(HistorySpan span);

struct PlotPoint {
    int64_t time = 0; // UTC seconds
    double value = 0; // Mbit/s
};

struct HistoryCurve {
    HistoryLink link;
    std::string label; // the device database's name, else the MAC
    // Stretches drawn as one line each: a drop-out or a stretch nobody
    // recorded (the program was not running) is a gap between them.
    std::vector<std::vector<PlotPoint>> runs;
    std::vector<HistoryPoint> points;
    std::vector<int64_t> dropOuts;
};

// Splits points into runs: a drop-out between two points, or two points
// further apart than 2.5 of the first one's interval (an hour for hourly
// points), starts a new run.
std::vector<std::vector<PlotPoint>> splitIntoRuns(const std::vector<HistoryPoint>& points,
                                                  const std::vector<int64_t>& dropOuts);

// A CSV field, quoted when it holds a separator, a quote or a line break
// (the view's export and halyardctl history --csv).
std::string csvField(const std::string& text);

// Name of the remote adapter from the device database, else its MAC; for a
// pair, both: "Lounge → Kitchen".
std::string historyLinkLabel(const HistoryLink& link);

// Both directions between adapters `a` and `b`, as the view shows a pair: the
// map's pair rows and the local adapter's link when one of them is local,
// each marked as a pair (labelled by both ends), a to b first.
HistoryResult pairHistoryLinks(HistoryStore& store, const uint8_t* a, const uint8_t* b,
                               std::vector<HistoryLink>& out);

// The links the view opens with: the selected row's adapter when it is a
// remote one; otherwise (the local adapter, or nothing selected) every link of
// the local adapter `localMac`, or every link when that has none.
std::vector<int64_t> initialHistoryLinks(const std::vector<HistoryLink>& links,
                                         const std::string& selectedMac,
                                         const std::string& localMac);

// Reads the curves of `linkIds` over the span ending at `now`.
HistoryResult loadHistoryCurves(HistoryStore& store, const std::vector<HistoryLink>& links,
                                const std::vector<int64_t>& linkIds, HistorySpan span, int64_t now,
                                std::vector<HistoryCurve>& out);

// One table row per point and per drop-out, in time order per curve:
// time (local time), adapter, value text.
struct HistoryTableRow {
    std::string time, adapter, value;
};
std::vector<HistoryTableRow> historyTableRows(const std::vector<HistoryCurve>& curves);

// The curves as CSV with a header row (the columns of `halyardctl history --csv`).
std::string historyCsv(const std::vector<HistoryCurve>& curves);

// "14:05:30" / "Mon 14:05" / "2026-03-01": a time for the table and the hover text.
std::string historyTimeText(int64_t utcSeconds, bool withDate);

// The view's quiet note: empty while recording, else why it pauses.
std::string historyNoteText();
