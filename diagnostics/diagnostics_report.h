#pragma once
// What halyard tells a technician about the computer, its interfaces and the
// powerline devices it has seen: the two lists of the Diagnostics page and the
// same content as a text report. One routine, fillDiagnostics, writes both
// through a line sink: "new line" starts a row (a list row, or "\n<text>" in
// the file), "next column" fills the next cell (or "\t<text>").
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "platform/host_info.h"

inline constexpr const char* kReleaseLine = "Released: February 25, 2010";
inline constexpr const char* kNotEntered = "--- not entered ---";
constexpr int kReportRuleLength = 142;

struct DiagnosticsColumn {
    const char* title;
    int width; // pixels
};

// "System Information" 520.
std::vector<DiagnosticsColumn> systemInformationColumns();
// The remote device history: 8 columns, 14 when the diagnostics level is above 1.
std::vector<DiagnosticsColumn> historyColumns(int diagnosticsLevel);

// Where fillDiagnostics writes.
class DiagnosticsTarget {
  public:
    virtual ~DiagnosticsTarget() = default;
    virtual void newLine(const std::string& text) = 0;
    virtual void nextColumn(const std::string& text) = 0;
    // The host part is done; the remote device history follows.
    virtual void startRemoteSection() = 0;
    // The row just started stands for remote slot `slot`.
    virtual void rowReference(int slot) = 0;
    // The remote row just written is complete.
    virtual void endRemoteRow() = 0;
};

// The messages the diagnostics operations end with; the window turns them into
// boxes (ui/outcome_boxes.h), halyardctl into its error output.
enum class DiagnosticsMessage {
    None,
    SelectDeviceFirst, // "Delete" without a selected history row
    FillFailed,        // the lists or the report stopped part way
    ReportNotSaved,    // "Save Report" could not write the chosen file
    InstallPrinter,    // "Print Report" without a usable default printer
};

// Writes the interface, host and remote sections into `target`. Returns false
// when a failure stopped it on the way (DiagnosticsMessage::FillFailed); what
// was written so far stays.
bool fillDiagnostics(DiagnosticsTarget& target);

// ---- The page's lists ------------------------------------------------------------
struct DiagnosticsRow {
    std::vector<std::string> cells;
    int reference = 0;    // remote slot (0..31) of a history row; 0 in the upper list
    int64_t lastSeen = 0; // the device's last-seen time (history rows), for sorting
};

struct DiagnosticsLists {
    std::vector<DiagnosticsRow> system;
    std::vector<DiagnosticsRow> history;
    bool complete = true; // false: fillDiagnostics stopped part way
};

// Both lists as rows of cells, built from the current tables.
DiagnosticsLists fillDiagnosticsLists();

// ---- The report --------------------------------------------------------------------
struct DiagnosticsReport {
    std::string text;
    bool complete = true; // false: fillDiagnostics stopped part way
};

// The whole report: title with the current time, release line, copyright,
// the host information and the remote device history.
DiagnosticsReport diagnosticsReport();
// Its text alone.
std::string diagnosticsReportText();
// Writes `text` into `file` and closes it. False when `file` is null or
// writing failed.
bool writeReportText(std::FILE* file, const std::string& text);
// Writes the whole report into `file` and closes it. False when `file` is
// null or writing failed.
bool writeDiagnosticsReport(std::FILE* file);
// Creates (or empties) the text file at `path`, mode 0600 and never through a
// link (see openPrivateFile), and writes the report into it. False when the
// file cannot be opened or written, with errno set.
bool writeDiagnosticsReportFile(const std::string& path);

// ---- Pieces, exposed for the tests -----------------------------------------------
// "OS Platform: %s   V%d.%d, Build %d".
std::string describeOs(const HostInfo& host);
// "V%d.%d, Build %d.%d" of the program's version, or "Not Present".
std::string fileVersionText(const HostInfo& host);
// The standard 24-character date text of `t` in local time, with its newline
// ("Wed Dec  6 18:32:05 2023\n"); "\n" alone when the time cannot be converted.
std::string standardDateText(std::time_t t);
// The Last Seen cell: "Dec  6 06:32PM" with `ampm` (12-hour time: 00:07 is
// "12:07AM", 12:30 "12:30PM"), "Dec  6 18:32:05 " without.
std::string lastSeenText(int64_t lastSeen, bool ampm);
// The Rate cell: "%.2d" of the whole Mbit/s, "?" when no rate was measured.
std::string rateText(double rate);
