#pragma once
// What the Diagnostics page's buttons and header clicks do, apart from the
// widgets: deleting a device from the history, the print hand-off, and the
// sort order of the history list.
#include <functional>
#include <string>
#include <vector>

#include "diagnostics/diagnostics_report.h"

// The printed report is written here, in the log folder, before printing.
inline constexpr const char* kPrintedReportName = "diagnostics.txt";

// How "Delete" on the history list ended.
enum class HistoryDeletion {
    Deleted,         // the entry is gone and the database written
    NothingSelected, // no row selected: DiagnosticsMessage::SelectDeviceFirst
    NotListed,       // the text names no device entry
    Kept,            // the user would not delete a device whose password was entered
};

// "Delete" with the "MAC Address" text of the selected history row (empty:
// no row selected). Before deleting a device whose password was entered it
// asks `confirmPasswordDelete` (no question: kept); deletes its database
// entry (which frees its remote slot) and writes the device database;
// deleting the last entry removes the database file, so the device does not
// come back at the next start.
HistoryDeletion deleteHistoryEntry(const std::string& selectedMacText,
                                   const std::function<bool()>& confirmPasswordDelete);

// How asking for the default printer went.
enum class DefaultPrinter { Present, Absent, QueryFailed };

// How saving the report to a chosen file went: saved, or
// DiagnosticsMessage::ReportNotSaved with the path and the reason (errno).
struct ReportSaving {
    bool saved = false;
    std::string path;
    int error = 0;
};
// Writes `text` to `path` as a private file (mode 0600, never through a link).
ReportSaving saveReportText(const std::string& path, const std::string& text);

// "Print Report", first half: writes `text` into diagnostics.txt of the log
// folder (mode 0600, never through a link). False when it could not be written.
bool writePrintedReportText(const std::string& text);
// The same with the report built now; returns the text that was written
// (empty when the file could not be written).
std::string writePrintedReport();
// Removes diagnostics.txt once the job was handed over (or refused), so no
// copy of the device passwords stays in the log folder.
void removePrintedReport();
// Whether a report may go to the printer; without a default printer the user
// is to be told to install one (DiagnosticsMessage::InstallPrinter), a failed
// query stops silently.
DiagnosticsMessage printerMessage(DefaultPrinter printer);

// Sort state of a list: the last sorted column, one direction flag and a
// saved flag per column, updated by a header click.
struct ListSortState {
    int lastColumn = 1;
    int direction = 1;
    std::vector<int> saved = std::vector<int>(32, 0);
    // Applies a click on `column`: the same column again flips the direction;
    // another column takes its saved flag as the direction and flips the saved one.
    void click(int column);
};

// Sorts the history rows by `column` (stable). Text columns compare byte-wise,
// ascending while `direction` is set and descending otherwise; the numeric
// columns (rate, counters, rates) put the higher value first while it is
// set; "Last Seen" compares the times themselves.
void sortHistoryRows(std::vector<DiagnosticsRow>& rows, int column, int direction);

// Returns the diagnostics subsystem (scan log, log folder) to its start state.
void resetDiagnostics();
