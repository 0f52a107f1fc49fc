#pragma once
// What the Diagnostics page's buttons and header clicks do, apart from the
// widgets: deleting a device from the history, the print hand-off, and the
// sort order of the history list.
#include <functional>
#include <string>
#include <vector>

#include "diagnostics/diagnostics_report.h"

inline constexpr const char* kSelectDeviceFirstText =
    "Please select a device first by clicking on it.";
inline constexpr const char* kDeletePasswordQuestion =
    "A Password for this device has been entered. \nAre you sure you want to delete it?";
inline constexpr const char* kInstallPrinterText =
    "Before you can perform printer-related tasks such as page setup or printing a document, "
    "you need to install a printer.";
inline constexpr const char* kAttentionCaption = "Attention";
// The printed report is written here, in the log folder, before printing.
inline constexpr const char* kPrintedReportName = "diagnostics.txt";

// "Delete" with the "MAC Address" text of the selected history row (empty:
// no row selected). Asks before deleting a device whose password was entered;
// deletes its database entry (which frees its remote slot) and writes the
// device database; deleting the last entry removes the database file, so the
// device does not come back at the next start. Returns true when an entry
// was deleted.
bool deleteHistoryDevice(const std::string& selectedMacText, void* owner = nullptr);

// How asking for the default printer went.
enum class DefaultPrinter { Present, Absent, QueryFailed };

// "Save Report" once the user chose `path`: writes the report there as a
// private file. A file that cannot be written is reported ("Error": the path
// and the reason) instead of being skipped in silence, so the user does not
// take a missing report for a saved one.
bool saveDiagnosticsReport(const std::string& path, void* owner = nullptr);

// "Print Report", first half: writes the report into diagnostics.txt of the
// log folder (mode 0600, never through a link). Returns the report text
// that was written (empty when the file could not be written).
std::string writePrintedReport(void* owner = nullptr);
// "Print Report", second half: whether to hand the report to the printer.
// Without a default printer the user is told to install one; a failed query
// stops silently.
bool mayPrintReport(DefaultPrinter printer, void* owner = nullptr);
// "Print Report" as a whole: writes diagnostics.txt, hands the report text to
// `print` when `printer` allows it, and removes diagnostics.txt again once the
// job has been handed over (or refused), so no copy of the device passwords
// stays in the working folder. Returns what `print` returned (false when it
// was not called).
bool printDiagnosticsReport(DefaultPrinter printer,
                            const std::function<bool(const std::string& text)>& print,
                            void* owner = nullptr);

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
