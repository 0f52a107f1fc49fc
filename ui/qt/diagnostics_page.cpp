#include "ui/qt/diagnostics_page.h"

#include "ui/qt/ui_seams.h"

#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPrintDialog>
#include <QPrinter>
#include <QPrinterInfo>
#include <QPushButton>
#include <QTextDocument>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "network/auto_scan.h"
#include "storage/preferences.h"
#include "ui/qt/text_codec.h"

namespace {
DiagnosticsPage::ReportFileChooser fileChooser;
DiagnosticsPage::PrinterQuery printerQuery;
DiagnosticsPage::ReportPrinter reportPrinter;

// Names and passwords are UTF-8 as typed in the window, the application name
// Latin-1 as brandkit writes it.
QString cellText(const std::string& text) {
    return textFromBytes(text);
}

QString chooseReportFile(QWidget* owner) {
    QFileDialog dialog(owner);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters({QStringLiteral("Diagnostics (*.TXT)"), QStringLiteral("All (*.*)")});
    dialog.selectNameFilter(QStringLiteral("Diagnostics (*.TXT)"));
    dialog.setDefaultSuffix(QStringLiteral("TXT"));
    dialog.setOption(QFileDialog::DontConfirmOverwrite, false);
    dialog.setOption(QFileDialog::DontUseNativeDialog); // filter matching ignores case
    dialog.setFilter(dialog.filter() & ~QDir::CaseSensitive);
    if (execModal(dialog) != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().constFirst();
}

DefaultPrinter queryDefaultPrinter() {
    return QPrinterInfo::defaultPrinter().isNull() ? DefaultPrinter::Absent
                                                   : DefaultPrinter::Present;
}

bool printReport(QWidget* owner, const QString& text) {
    QPrinter printer(QPrinterInfo::defaultPrinter());
    printer.setDocName(QStringLiteral("diagnostics.txt"));
    QPrintDialog dialog(&printer, owner);
    if (execModal(dialog) != QDialog::Accepted)
        return false;
    QTextDocument document;
    QFont font(QStringLiteral("Monospace"));
    font.setStyleHint(QFont::TypeWriter);
    document.setDefaultFont(font);
    document.setPlainText(text);
    document.print(&printer);
    return printer.printerState() != QPrinter::Error;
}

void setColumns(QTreeWidget* list, const std::vector<DiagnosticsColumn>& columns) {
    QStringList titles;
    for (const DiagnosticsColumn& column : columns)
        titles << QString::fromLatin1(column.title);
    list->setColumnCount(static_cast<int>(columns.size()));
    list->setHeaderLabels(titles);
    for (size_t n = 0; n < columns.size(); ++n)
        list->setColumnWidth(static_cast<int>(n), columns[n].width);
}

// The columns keep their set widths and grow where a title or a cell needs
// more room in the font the desktop uses.
void widenToContents(QTreeWidget* list, const std::vector<DiagnosticsColumn>& columns) {
    for (size_t n = 0; n < columns.size(); ++n) {
        const int column = static_cast<int>(n);
        list->resizeColumnToContents(column);
        const int needed = list->columnWidth(column);
        list->setColumnWidth(column, std::max(columns[n].width, needed));
    }
}

QTreeWidgetItem* itemOf(const DiagnosticsRow& row) {
    auto* item = new QTreeWidgetItem;
    for (size_t n = 0; n < row.cells.size(); ++n)
        item->setText(static_cast<int>(n), cellText(row.cells[n]));
    item->setData(0, Qt::UserRole, row.reference);
    return item;
}
} // namespace

void DiagnosticsPage::setReportFileChooser(ReportFileChooser chooser) {
    fileChooser = std::move(chooser);
}

void DiagnosticsPage::setPrinterQuery(PrinterQuery query) {
    printerQuery = std::move(query);
}

void DiagnosticsPage::setReportPrinter(ReportPrinter printer) {
    reportPrinter = std::move(printer);
}

DiagnosticsPage::DiagnosticsPage(QWidget* parent) : QWidget(parent) {
    systemList_ = new QTreeWidget(this);
    systemList_->setObjectName(QStringLiteral("systemList"));
    historyList_ = new QTreeWidget(this);
    historyList_->setObjectName(QStringLiteral("historyList"));
    deleteButton_ = new QPushButton(QStringLiteral("Delete"), this);
    saveButton_ = new QPushButton(QStringLiteral("Save Report"), this);
    printButton_ = new QPushButton(QStringLiteral("Print Report"), this);
    setupDiagnosticsLists();

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(deleteButton_);
    buttons->addWidget(saveButton_);
    buttons->addWidget(printButton_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(systemList_, 1);
    layout->addWidget(new QLabel(QStringLiteral("Remote Device History (Log)"), this));
    layout->addWidget(historyList_, 1);
    layout->addLayout(buttons);

    connect(deleteButton_, &QPushButton::clicked, this, &DiagnosticsPage::deleteClicked);
    connect(saveButton_, &QPushButton::clicked, this, &DiagnosticsPage::saveReportClicked);
    connect(printButton_, &QPushButton::clicked, this, &DiagnosticsPage::printReportClicked);
    connect(historyList_->header(), &QHeaderView::sectionClicked, this,
            &DiagnosticsPage::historyHeaderClicked);
    refill();
}

DiagnosticsPage::~DiagnosticsPage() {
    pageDeactivating();
}

void DiagnosticsPage::setupDiagnosticsLists() {
    for (QTreeWidget* list : {systemList_, historyList_}) {
        list->setRootIsDecorated(false);
        list->setUniformRowHeights(true);
        list->setSelectionMode(QAbstractItemView::SingleSelection);
        list->setSelectionBehavior(QAbstractItemView::SelectRows);
        list->header()->setStretchLastSection(false);
    }
    setColumns(systemList_, systemInformationColumns());
    setColumns(historyList_, historyColumns(preferences.diagnosticsLevel));
    historyList_->header()->setSectionsClickable(true);
    historyList_->setAllColumnsShowFocus(true);
}

void DiagnosticsPage::pageActivated() {
    if (!suspended_) {
        previousScanState_ = suspendAutoScan(0);
        suspended_ = true;
    }
    refill();
}

bool DiagnosticsPage::pageDeactivating() {
    if (suspended_) {
        suspendAutoScan(previousScanState_);
        suspended_ = false;
    }
    return true;
}

void DiagnosticsPage::refill() {
    DiagnosticsLists lists = fillDiagnosticsLists(owner());
    systemList_->clear();
    QList<QTreeWidgetItem*> items;
    for (const DiagnosticsRow& row : lists.system)
        items << itemOf(row);
    systemList_->addTopLevelItems(items);
    widenToContents(systemList_, systemInformationColumns());
    historyRows_ = std::move(lists.history);
    if (sorted_)
        sortHistoryRows(historyRows_, sort_.lastColumn, sort_.direction);
    showHistory();
}

void DiagnosticsPage::showHistory() {
    historyList_->clear();
    QList<QTreeWidgetItem*> items;
    for (const DiagnosticsRow& row : historyRows_)
        items << itemOf(row);
    historyList_->addTopLevelItems(items);
    widenToContents(historyList_, historyColumns(preferences.diagnosticsLevel));
}

void DiagnosticsPage::historyHeaderClicked(int column) {
    sort_.click(column);
    sorted_ = true;
    sortHistoryRows(historyRows_, sort_.lastColumn, sort_.direction);
    showHistory();
}

void DiagnosticsPage::deleteClicked() {
    std::string mac;
    const QList<QTreeWidgetItem*> selected = historyList_->selectedItems();
    if (!selected.isEmpty())
        mac = selected.constFirst()->text(1).toStdString();
    if (deleteHistoryDevice(mac, owner()))
        refill();
}

void DiagnosticsPage::saveReportClicked() {
    const QString path = fileChooser ? fileChooser(this) : chooseReportFile(this);
    if (path.isEmpty())
        return;
    saveDiagnosticsReport(QFile::encodeName(path).toStdString(), owner());
}

void DiagnosticsPage::printReportClicked() {
    const DefaultPrinter printer = printerQuery ? printerQuery() : queryDefaultPrinter();
    printDiagnosticsReport(
        printer,
        [this](const std::string& text) {
            // Line by line: the report holds the Latin-1 application name and UTF-8 names.
            QStringList lines;
            size_t start = 0;
            for (;;) {
                const size_t end = text.find('\n', start);
                lines << cellText(text.substr(start, end == std::string::npos ? end : end - start));
                if (end == std::string::npos)
                    break;
                start = end + 1;
            }
            const QString report = lines.join(QLatin1Char('\n'));
            return reportPrinter ? reportPrinter(this, report) : printReport(this, report);
        },
        owner());
}
