#pragma once
// The Diagnostics page: the interfaces and local devices at the top, the
// remote device history below, and the buttons "Delete", "Save Report" and
// "Print Report". The lists are rebuilt whenever the page becomes active and
// after every change; the history list sorts by a click on a column header.
#include <QString>
#include <QWidget>
#include <functional>
#include <vector>

#include "ui/diagnostics_page_logic.h"

class QPushButton;
class QTreeWidget;

class DiagnosticsPage : public QWidget {
    Q_OBJECT
  public:
    explicit DiagnosticsPage(QWidget* parent = nullptr);
    ~DiagnosticsPage() override;

    // Suspends the automatic scan (keeping its state) and refills the lists.
    void pageActivated();
    // Restores the automatic scan; leaving is always allowed.
    bool pageDeactivating();
    // Rebuilds both lists from the tables.
    void refill();

    QTreeWidget* systemList() const { return systemList_; }
    QTreeWidget* historyList() const { return historyList_; }
    QPushButton* deleteButton() const { return deleteButton_; }
    QPushButton* saveReportButton() const { return saveButton_; }
    QPushButton* printReportButton() const { return printButton_; }

    // Seams for the dialogs and the printer (tests replace them; an empty
    // function restores the real one).
    // Asks for the report's file name; empty when the user cancelled.
    using ReportFileChooser = std::function<QString(QWidget* owner)>;
    static void setReportFileChooser(ReportFileChooser chooser);
    using PrinterQuery = std::function<DefaultPrinter()>;
    static void setPrinterQuery(PrinterQuery query);
    // Prints the report text; false when the user cancelled or printing failed.
    using ReportPrinter = std::function<bool(QWidget* owner, const QString& text)>;
    static void setReportPrinter(ReportPrinter printer);

  private:
    // The page as the owner of message boxes shown by the core.
    void* owner() { return static_cast<QWidget*>(this); }
    void setupDiagnosticsLists();
    void showHistory();
    void deleteClicked();
    void saveReportClicked();
    void printReportClicked();
    void historyHeaderClicked(int column);

    QTreeWidget* systemList_ = nullptr;
    QTreeWidget* historyList_ = nullptr;
    QPushButton* deleteButton_ = nullptr;
    QPushButton* saveButton_ = nullptr;
    QPushButton* printButton_ = nullptr;
    std::vector<DiagnosticsRow> historyRows_;
    ListSortState sort_;
    bool sorted_ = false;
    bool suspended_ = false;
    int previousScanState_ = 0;
};
