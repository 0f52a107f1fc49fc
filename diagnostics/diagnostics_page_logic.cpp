#include "diagnostics/diagnostics_page_logic.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "diagnostics/scan_log.h"
#include "network/model.h"
#include "platform/file_io.h"
#include "platform/messages.h"
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

bool deleteHistoryDevice(const std::string& selectedMacText, void* owner) {
    if (selectedMacText.empty()) {
        showMessage(kSelectDeviceFirstText, kAttentionCaption, MessageIcon::Warning,
                    MessageButtons::Ok, owner);
        return false;
    }
    uint8_t mac[6] = {};
    if (!parseMac(selectedMacText.c_str(), mac))
        return false;
    const int entry = findDeviceEntry(mac);
    if (entry <= 0)
        return false;
    const DeviceEntry& e = deviceTable[entry - 1];
    if (strnlen(e.password, sizeof e.password) != 0 &&
        showMessage(kDeletePasswordQuestion, kAttentionCaption, MessageIcon::Question,
                    MessageButtons::YesNo, owner) == MessageResult::No)
        return false;
    deleteDeviceEntry(entry);
    saveDeviceDatabaseAfterDelete();
    return true;
}

bool saveDiagnosticsReport(const std::string& path, void* owner) {
    if (writeDiagnosticsReportFile(path, owner))
        return true;
    const int error = errno;
    showMessage("The report could not be saved to " + path + ": " +
                    std::strerror(error ? error : EIO) + ".",
                "Error", MessageIcon::Error, MessageButtons::Ok, owner);
    return false;
}

std::string writePrintedReport(void* owner) {
    std::FILE* file = openPrivateStream(inLogDirectory(kPrintedReportName));
    if (file == nullptr)
        return "";
    std::string text = diagnosticsReportText(owner);
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    if (std::fclose(file) != 0 || !written)
        return "";
    return text;
}

bool mayPrintReport(DefaultPrinter printer, void* owner) {
    switch (printer) {
    case DefaultPrinter::Absent:
        showMessage(kInstallPrinterText, kAttentionCaption, MessageIcon::Warning,
                    MessageButtons::Ok, owner);
        return false;
    case DefaultPrinter::QueryFailed:
        return false;
    case DefaultPrinter::Present:
        return true;
    }
    return false;
}

bool printDiagnosticsReport(DefaultPrinter printer,
                            const std::function<bool(const std::string& text)>& print,
                            void* owner) {
    std::string text = writePrintedReport(owner);
    const bool written = !text.empty();
    if (!written)
        text = diagnosticsReportText(owner);
    const bool printed = mayPrintReport(printer, owner) && print && print(text);
    // Only the file written here is removed: a name that could not be opened
    // privately (a link, another user's file) is left as it was.
    if (written)
        unlink(inLogDirectory(kPrintedReportName).c_str());
    return printed;
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
