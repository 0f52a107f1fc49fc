#include "ui/diagnostics_page_logic.h"

#include "platform/messages.h"
#include "ui/outcome_boxes.h"

namespace {

// The report as the page builds it: a fill that stopped part way is told
// before the (partial) report goes on.
std::string reportShowingFailure(void* owner) {
    DiagnosticsReport report = diagnosticsReport();
    if (!report.complete)
        showOutcome(DiagnosticsMessage::FillFailed, owner);
    return report.text;
}

} // namespace

DiagnosticsLists fillDiagnosticsLists(void* owner) {
    DiagnosticsLists lists = fillDiagnosticsLists();
    if (!lists.complete)
        showOutcome(DiagnosticsMessage::FillFailed, owner);
    return lists;
}

bool fillDiagnosticsShowingFailure(DiagnosticsTarget& target, void* owner) {
    if (fillDiagnostics(target))
        return true;
    showOutcome(DiagnosticsMessage::FillFailed, owner);
    return false;
}

bool deleteHistoryDevice(const std::string& selectedMacText, void* owner) {
    auto confirm = [owner] {
        return showMessage(kDeletePasswordQuestion, "Attention", MessageIcon::Question,
                           MessageButtons::YesNo, messageOwner(owner)) != MessageResult::No;
    };
    const HistoryDeletion deletion = deleteHistoryEntry(selectedMacText, confirm);
    if (deletion == HistoryDeletion::NothingSelected)
        showOutcome(DiagnosticsMessage::SelectDeviceFirst, owner);
    return deletion == HistoryDeletion::Deleted;
}

bool saveDiagnosticsReport(const std::string& path, void* owner) {
    const ReportSaving saving = saveReportText(path, reportShowingFailure(owner));
    if (!saving.saved)
        showOutcome(saving, owner);
    return saving.saved;
}

bool mayPrintReport(DefaultPrinter printer, void* owner) {
    const DiagnosticsMessage message = printerMessage(printer);
    showOutcome(message, owner);
    return printer == DefaultPrinter::Present;
}

bool printDiagnosticsReport(DefaultPrinter printer,
                            const std::function<bool(const std::string& text)>& print,
                            void* owner) {
    const std::string text = reportShowingFailure(owner);
    const bool written = writePrintedReportText(text);
    const bool printed = mayPrintReport(printer, owner) && print && print(text);
    // Only the file written here is removed: a name that could not be opened
    // privately (a link, another user's file) is left as it was.
    if (written)
        removePrintedReport();
    return printed;
}
