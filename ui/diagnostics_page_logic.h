#pragma once
// The Diagnostics page's buttons as the window runs them: the operations of
// diagnostics/ with their outcomes shown as boxes owned by the page, and the
// delete question asked in a box.
#include <functional>
#include <string>

#include "diagnostics/diagnostics_page_logic.h"
#include "diagnostics/diagnostics_report.h"

inline constexpr const char* kDeletePasswordQuestion =
    "A Password for this device has been entered. \nAre you sure you want to delete it?";

// Both lists; a fill that stopped part way shows its box.
DiagnosticsLists fillDiagnosticsLists(void* owner);
// fillDiagnostics into `target`, showing the box of a fill that stopped part way.
bool fillDiagnosticsShowingFailure(DiagnosticsTarget& target, void* owner = nullptr);

// "Delete": deleteHistoryEntry, asking with a Yes/No box before a device whose
// password was entered goes. True when an entry was deleted.
bool deleteHistoryDevice(const std::string& selectedMacText, void* owner = nullptr);

// "Save Report" once the user chose `path`: writes the report there as a
// private file. A file that cannot be written is reported ("Error": the path
// and the reason) instead of being skipped in silence, so the user does not
// take a missing report for a saved one.
bool saveDiagnosticsReport(const std::string& path, void* owner = nullptr);

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
