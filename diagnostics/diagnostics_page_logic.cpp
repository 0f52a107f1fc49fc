#include "diagnostics/diagnostics_page_logic.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "diagnostics/scan_log.h"
#include "network/model.h"
#include "platform/file_io.h"
#include "storage/device_database.h"

namespace {
constexpr int kRateColumn = 3;
constexpr int kLastSeenColumn = 5;
constexpr int kFirstCounterColumn = 8;

bool numericColumn(int column) {
    return column == kRateColumn || column >= kFirstCounterColumn;
}

double numericValue(const std::string& text) {
    // "?" (no rate measured) and anything else that is not a number count as 0.
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    return end == text.c_str() ? 0.0 : value;
}

const std::string& cell(const DiagnosticsRow& row, int column) {
    static const std::string empty;
    if (column < 0 || static_cast<size_t>(column) >= row.cells.size())
        return empty;
    return row.cells[static_cast<size_t>(column)];
}
} // namespace

HistoryDeletion deleteHistoryEntry(const std::string& selectedMacText,
                                   const std::function<bool()>& confirmPasswordDelete) {
    if (selectedMacText.empty())
        return HistoryDeletion::NothingSelected;
    uint8_t mac[6] = {};
    if (!parseMac(selectedMacText.c_str(), mac))
        return HistoryDeletion::NotListed;
    const int entry = findDeviceEntry(mac);
    if (entry <= 0)
        return HistoryDeletion::NotListed;
    const DeviceEntry& e = deviceTable[entry - 1];
    if (strnlen(e.password, sizeof e.password) != 0 &&
        !(confirmPasswordDelete && confirmPasswordDelete()))
        return HistoryDeletion::Kept;
    deleteDeviceEntry(entry);
    saveDeviceDatabaseAfterDelete();
    return HistoryDeletion::Deleted;
}

ReportSaving saveReportText(const std::string& path, const std::string& text) {
    ReportSaving saving;
    saving.path = path;
    errno = 0;
    // The report lists every device password: a private file, never written
    // through a link.
    saving.saved = writeReportText(openPrivateStream(path), text);
    if (!saving.saved)
        saving.error = errno ? errno : EIO;
    return saving;
}

bool writePrintedReportText(const std::string& text) {
    return writeReportText(openPrivateStream(inLogDirectory(kPrintedReportName)), text);
}

std::string writePrintedReport() {
    std::string text = diagnosticsReportText();
    return writePrintedReportText(text) ? text : "";
}

void removePrintedReport() {
    unlink(inLogDirectory(kPrintedReportName).c_str());
}

DiagnosticsMessage printerMessage(DefaultPrinter printer) {
    return printer == DefaultPrinter::Absent ? DiagnosticsMessage::InstallPrinter
                                             : DiagnosticsMessage::None;
}

void ListSortState::click(int column) {
    if (column < 0)
        return;
    if (static_cast<size_t>(column) >= saved.size())
        saved.resize(static_cast<size_t>(column) + 1, 0);
    if (column == lastColumn) {
        direction = !direction;
        return;
    }
    lastColumn = column;
    direction = saved[static_cast<size_t>(column)];
    saved[static_cast<size_t>(column)] = !saved[static_cast<size_t>(column)];
}

void sortHistoryRows(std::vector<DiagnosticsRow>& rows, int column, int direction) {
    auto before = [column, direction](const DiagnosticsRow& a, const DiagnosticsRow& b) {
        if (column == kLastSeenColumn)
            return direction ? a.lastSeen < b.lastSeen : a.lastSeen > b.lastSeen;
        if (numericColumn(column)) {
            const double x = numericValue(cell(a, column));
            const double y = numericValue(cell(b, column));
            return direction ? x > y : x < y;
        }
        const int order = std::strcmp(cell(a, column).c_str(), cell(b, column).c_str());
        return direction ? order < 0 : order > 0;
    };
    if (column >= 0)
        std::stable_sort(rows.begin(), rows.end(), before);
}

void resetDiagnostics() {
    resetScanLog();
}
