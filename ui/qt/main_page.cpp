#include "ui/qt/main_page.h"
#include "ui/qt/history_view.h"

#include <algorithm>

#include <QApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "network/auto_scan.h"
#include "platform/main_window.h"
#include "platform/wait_cursor.h"
#include "platform/working_folder.h"
#include "storage/device_database.h"
#include "storage/preferences.h"
#include "ui/bitmap.h"
#include "ui/device_dialogs_logic.h"
#include "ui/qt/bitmap_painter.h"
#include "ui/qt/device_dialogs.h"
#include "ui/qt/list_sync.h"
#include "ui/qt/network_map_view.h"
#include "ui/qt/text_codec.h"
#include "ui/qt/ui_seams.h"
#include "ui/security_page_logic.h"

namespace {

MainPageSetup pageSetup;

// The row icons in image-list order: HomePlug 1.0, Turbo, AV.
const char* const kIconFiles[] = {"oemDeviceIconLS.bmp", "oemDeviceIconHS.bmp", "oemDevice.bmp"};

} // namespace

// A column's width in pixels: the described width at the described font,
// grown with the font in use and never narrower than the header's own text.
int columnWidth(const QHeaderView& header, int section, int describedWidth) {
    const double scale = std::max(1.0, header.fontMetrics().height() / kDescribedFontHeight);
    const int scaled = static_cast<int>(describedWidth * scale + 0.5);
    return std::max(scaled, headerTextWidth(header, section));
}

int headerTextWidth(const QHeaderView& header, int section) {
    const QString text =
        header.model() ? header.model()->headerData(section, Qt::Horizontal).toString() : QString();
    const QStyle* style = header.style();
    // The text, the margins on both sides and room for the sort indicator.
    return header.fontMetrics().horizontalAdvance(text) +
           2 * style->pixelMetric(QStyle::PM_HeaderMargin, nullptr, &header) +
           style->pixelMetric(QStyle::PM_HeaderMarkSize, nullptr, &header) + 8;
}

namespace {

QString qs(const std::string& text) {
    return textFromBytes(text);
}

} // namespace

// Edits the first cell in place ("Device Name"); every other cell is read-only.
// The delegate writes nothing into the list: it hands the typed text to the
// page, which applies the rename rules once the editor has closed, by the
// device's MAC. A box shown by the rules thus never opens inside the editor,
// and no model index outlives it.
class RenameDelegate : public QStyledItemDelegate {
  public:
    RenameDelegate(MainPage* page) : QStyledItemDelegate(page), page_(page) {
        connect(this, &QAbstractItemDelegate::closeEditor, page_, &MainPage::renameClosed);
    }
    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override {
        if (index.column() != 0 || rowRenameOpen())
            return nullptr;
        page_->renameStarted(index.row());
        auto* editor = new QLineEdit(parent);
        editor->setMaxLength(static_cast<int>(kNameReadMax));
        (void)option;
        return editor;
    }
    void setModelData(QWidget* editor, QAbstractItemModel*, const QModelIndex&) const override {
        if (auto* line = qobject_cast<QLineEdit*>(editor))
            page_->renameTyped(line->text());
    }

  private:
    MainPage* page_;
};

void MainPage::setSetup(const MainPageSetup& setup) {
    pageSetup = setup;
}

MainPage::MainPage(QWidget* parent) : QWidget(parent) {
    dialogs_.setPassword = runSetDevicePasswordDialog;
    dialogs_.addDevice = runAddDeviceDialog;
    dialogs_.firmwareUpgrade = runFirmwareUpgrade;
    buildControls();
    setUpList();
    setMainViewHooks({[this] { syncFromState(); }, [this](bool on) { setActionsEnabled(on); }});
    {
        WaitCursorScope waiting;
        createMainPage(pageSetup, this);
    }
    // The after-upgrade command reaches this page on the window's thread.
    MainPageLinks links;
    links.listedPasswords = [] { return mainPageState.rowPasswords; };
    links.clearList = [] { clearMainRows(); };
    links.afterUpgrade = [this] {
        QMetaObject::invokeMethod(this, "afterUpgradeCommand", Qt::QueuedConnection);
    };
    setMainPageLinks(std::move(links));
    loadIcons();
    applySavedLayout();
    syncFromState();
}

MainPage::~MainPage() {
    setMainViewHooks({});
    DeviceListHooks none;
    setDeviceListHooks(none);
}

void MainPage::setDialogs(Dialogs dialogs) {
    dialogs_ = std::move(dialogs);
}

void MainPage::buildControls() {
    count_ = new QLabel(QStringLiteral("Powerline Devices :"), this);
    network_ = new QLabel(QStringLiteral("Network Type : Private"), this);
    status_ = new QLabel(this);
    // Texts from the network and the branding file: never markup.
    for (QLabel* label : {count_, network_, status_})
        label->setTextFormat(Qt::PlainText);
    status_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    status_->setMinimumWidth(180);
    list_ = new QTreeWidget(this);
    rename_ = new QPushButton(QStringLiteral("Rename"), this);
    reset_ = new QPushButton(QStringLiteral("Factory Reset"), this);
    upgrade_ = new QPushButton(QStringLiteral("Firmware Upgrade"), this);
    scan_ = new QPushButton(QStringLiteral("Scan"), this);
    scan_->setDefault(true);
    history_ = new QPushButton(QStringLiteral("History"), this);
    history_->setAutoDefault(false);
    map_ = new QPushButton(QStringLiteral("Network &Map"), this); // Alt+M

    auto* labels = new QHBoxLayout;
    labels->addWidget(count_);
    labels->addStretch(1);
    labels->addWidget(network_);
    labels->addStretch(1);
    labels->addWidget(status_);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(rename_);
    buttons->addWidget(reset_);
    buttons->addWidget(upgrade_);
    buttons->addWidget(history_);
    buttons->addWidget(map_);
    buttons->addStretch(1);
    buttons->addWidget(scan_);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(labels);
    // The certification logo, top right above the list, in a widget of its
    // own: the list never paints over it and its white takes the page colour.
    auto* logoRow = new QHBoxLayout;
    logoRow->addStretch(1);
    logoRow->addWidget(new PictureBox("cert.bmp", this));
    layout->addLayout(logoRow);
    layout->addWidget(list_, 1);
    layout->addLayout(buttons);

    connect(rename_, &QPushButton::clicked, this, &MainPage::onRename);
    connect(reset_, &QPushButton::clicked, this, &MainPage::onFactoryReset);
    connect(upgrade_, &QPushButton::clicked, this, &MainPage::onFirmwareUpgrade);
    connect(scan_, &QPushButton::clicked, this, &MainPage::onScan);
    connect(history_, &QPushButton::clicked, this, &MainPage::onHistory);
    connect(map_, &QPushButton::clicked, this, &MainPage::openNetworkMap);
}

NetworkMapWindow* MainPage::networkMapWindow() const {
    return qobject_cast<NetworkMapWindow*>(mapWindow_.data());
}

// Not modal: the map is meant to be watched while the automatic scan runs.
// The window owns its want of the map and goes when it is closed.
void MainPage::openNetworkMap() {
    if (!mapWindow_) {
        auto* map = new NetworkMapWindow(window());
        map->setWindowFlag(Qt::Window);
        mapWindow_ = map;
    }
    mapWindow_->show();
    mapWindow_->raise();
    mapWindow_->activateWindow();
}

void MainPage::setUpList() {
    columns_ = mainColumns();
    list_->setRootIsDecorated(false);
    list_->setUniformRowHeights(true);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setAllColumnsShowFocus(true);
    list_->setEditTriggers(QAbstractItemView::SelectedClicked | QAbstractItemView::EditKeyPressed);
    list_->setItemDelegate(new RenameDelegate(this));
    list_->setContextMenuPolicy(Qt::CustomContextMenu);
    list_->setColumnCount(static_cast<int>(columns_.size()));
    QStringList headers;
    for (const MainColumnSpec& column : columns_)
        headers << QString::fromUtf8(column.header);
    list_->setHeaderLabels(headers);

    QHeaderView* header = list_->header();
    header->setSectionsMovable(true);
    header->setSectionsClickable(true);
    header->setStretchLastSection(true);
    std::vector<int> order = initialDisplayOrder(static_cast<int>(columns_.size()));
    for (int position = 0; position < static_cast<int>(order.size()); ++position)
        header->moveSection(header->visualIndex(order[static_cast<size_t>(position)]), position);
    for (size_t c = 0; c < columns_.size(); ++c)
        header->resizeSection(static_cast<int>(c),
                              columnWidth(*header, static_cast<int>(c), columns_[c].width));

    QPalette palette = list_->palette();
    palette.setColor(QPalette::Text, QColor::fromRgb(listTextColor(preferences.color)));
    list_->setPalette(palette);
    if (const int size = rowIconSize(preferences.iconSize); size > 0)
        list_->setIconSize(QSize(size, size));
    layoutReady_ = true;
    recordLayout(); // the database may replace it when it is read
    layoutReady_ = false;

    connect(header, &QHeaderView::sectionMoved, this, [this] { recordLayout(); });
    connect(header, &QHeaderView::sectionResized, this, [this] { recordLayout(); });
    connect(header, &QHeaderView::sectionClicked, this, &MainPage::onHeaderClicked);
    connect(list_, &QTreeWidget::itemSelectionChanged, this, &MainPage::onSelectionChanged);
    connect(list_, &QWidget::customContextMenuRequested, this, &MainPage::showContextMenu);
    connect(list_, &QTreeWidget::itemDoubleClicked, this, [this] { onHistory(); });
}

void MainPage::onHistory() {
    HistoryView::openFor(window(), mainPageState.selectedMac,
                         formatMac(currentScanState().localMac));
}

void MainPage::loadIcons() {
    icons_.clear();
    const int size = rowIconSize(preferences.iconSize);
    if (size <= 0)
        return;
    for (const char* file : kIconFiles)
        icons_.push_back(devicePicture(file, size, *this));
}

void MainPage::applySavedLayout() {
    QHeaderView* header = list_->header();
    int count = static_cast<int>(columns_.size());
    // Taken before anything moves: every move and resize below would record
    // the half-applied layout.
    std::vector<int> order = savedDisplayOrder(count);
    std::vector<int> widths;
    for (int c = 0; c < count; ++c)
        widths.push_back(savedColumnWidth(c));
    layoutReady_ = false;
    for (int position = 0; position < count; ++position)
        header->moveSection(header->visualIndex(order[static_cast<size_t>(position)]), position);
    for (int c = 0; c < count; ++c)
        header->resizeSection(
            c, std::max(widths[static_cast<size_t>(c)], headerTextWidth(*header, c)));
    layoutReady_ = true;
    recordLayout();
}

void MainPage::recordLayout() {
    if (!layoutReady_)
        return;
    QHeaderView* header = list_->header();
    std::vector<int> order;
    std::vector<int> widths;
    for (int v = 0; v < header->count(); ++v)
        order.push_back(header->logicalIndex(v));
    for (int c = 0; c < header->count(); ++c)
        widths.push_back(header->sectionSize(c));
    recordListLayout(order, widths);
}

void MainPage::syncFromState() {
    // Never rebuilt under an open editor: its row would be deleted or reused
    // under it. The rename's end brings the list up to date.
    // Nor while an automatic cycle runs: it empties the list at its start and
    // refills it by its end. The rows shown stay, with their items (and a
    // screen reader's place on them), and take the cycle's outcome at its end;
    // the labels follow at once.
    const bool emptied =
        mainPageState.rows.empty() && list_->topLevelItemCount() > 0 && !emptyingSettled_;
    if (rowRenameOpen() || (!actionsEnabled_ && list_->topLevelItemCount() > 0) || emptied) {
        syncPending_ = true;
        count_->setText(qs(mainPageState.countText));
        network_->setText(qs(mainPageState.networkText));
        status_->setText(qs(mainPageState.statusText));
        // The list emptied: at an interval the cycle that refills it starts
        // in the same tick. Whether it did is known once the tick is over.
        if (emptied && !emptyingPosted_) {
            emptyingPosted_ = true;
            QTimer::singleShot(0, this, [this] {
                emptyingPosted_ = false;
                if (!syncPending_ || rowRenameOpen() || !actionsEnabled_)
                    return;
                emptyingSettled_ = true;
                syncFromState();
                emptyingSettled_ = false;
            });
        }
        return;
    }
    syncPending_ = false;
    syncing_ = true;
    const std::vector<MainRow>& rows = mainPageState.rows;

    std::vector<QString> keys;
    keys.reserve(rows.size());
    for (const MainRow& row : rows)
        keys.push_back(qs(row.mac));
    const std::vector<QTreeWidgetItem*> items = syncRowsByKey(*list_, keys, [] {
        auto* item = new QTreeWidgetItem;
        item->setFlags(item->flags() | Qt::ItemIsEditable);
        return item;
    });
    for (size_t r = 0; r < rows.size(); ++r) {
        QTreeWidgetItem* item = items[r];
        for (size_t c = 0; c < columns_.size(); ++c)
            item->setText(static_cast<int>(c), textFromBytes(rowCell(rows[r], columns_[c].kind)));
        // The picture only when the family changed: a new icon is a change
        // the view reports, an unchanged one is not.
        const int icon = rows[r].icon;
        const QVariant shownIcon = item->data(0, kRowIconRole);
        if (!shownIcon.isValid() || shownIcon.toInt() != icon) {
            item->setData(0, kRowIconRole, icon);
            item->setIcon(0, icon >= 0 && icon < static_cast<int>(icons_.size())
                                 ? icons_[static_cast<size_t>(icon)]
                                 : QIcon());
        }
    }
    // The selection follows the device, not the row number, across every
    // rebuild and every interval's clearing of the list.
    int reselect = selectedRowByMac();
    if (reselect >= 0) {
        list_->setCurrentItem(list_->topLevelItem(reselect));
        mainRowSelected(reselect);
    } else {
        list_->clearSelection();
    }
    count_->setText(qs(mainPageState.countText));
    network_->setText(qs(mainPageState.networkText));
    status_->setText(qs(mainPageState.statusText));
    syncing_ = false;
}

void MainPage::setActionsEnabled(bool enabled) {
    actionsEnabled_ = enabled;
    for (QPushButton* button : {rename_, reset_, upgrade_, scan_})
        button->setEnabled(enabled);
    // The cycle has ended: the rows it deferred.
    if (enabled && syncPending_ && !rowRenameOpen())
        syncFromState();
}

int MainPage::selectedRow() const {
    QList<QTreeWidgetItem*> selected = list_->selectedItems();
    if (selected.isEmpty())
        return -1;
    return list_->indexOfTopLevelItem(selected.first());
}

void MainPage::pageActivated() {
    mainPageActivated(this);
}

bool MainPage::pageDeactivating() {
    mainPageDeactivated();
    return true;
}

void MainPage::onSelectionChanged() {
    if (syncing_)
        return;
    int row = selectedRow();
    if (row >= 0)
        mainRowSelected(row);
    else
        mainSelectionCleared();
}

void MainPage::onHeaderClicked(int logicalIndex) {
    sortMainRows(logicalIndex);
}

void MainPage::onRename() {
    int row = selectedRow();
    if (!renameRequested(row))
        return;
    int target = mainPageState.renameRow;
    if (target < 0 || target >= list_->topLevelItemCount())
        target = row;
    list_->setFocus();
    list_->editItem(list_->topLevelItem(target), 0);
}

void MainPage::renameStarted(int row) {
    renameText_.reset();
    renameShown_.clear();
    if (row >= 0 && row < static_cast<int>(mainPageState.rows.size()))
        renameShown_ = mainPageState.rows[static_cast<size_t>(row)].name;
    beginRowRename(row);
}

void MainPage::renameTyped(const QString& text) {
    renameText_ = text;
}

void MainPage::renameClosed() {
    // The editor is being destroyed; the rules run from the event loop once
    // it is gone, inside the rename's own suspension of the automatic scan.
    std::optional<QString> typed = std::move(renameText_);
    renameText_.reset();
    runWhenIdle(this, [this, typed, shown = renameShown_] {
        std::string bytes = typed ? bytesFromText(*typed, shown) : std::string();
        endRowRename(-1, typed ? &bytes : nullptr, this);
        if (syncPending_)
            syncFromState();
    });
}

void MainPage::onFactoryReset() {
    WaitCursorScope waiting;
    factoryResetRequested(selectedRow(), this);
}

void MainPage::onFirmwareUpgrade() {
    if (firmwareUpgradeAllowed(selectedRow(), this) && dialogs_.firmwareUpgrade)
        dialogs_.firmwareUpgrade(this);
}

void MainPage::onScan() {
    WaitCursorScope waiting;
    scanNowMain(this);
}

void MainPage::addDeviceCommand() {
    if (dialogs_.addDevice)
        dialogs_.addDevice(this);
    if (!preferences.autoScan)
        scanNowMain(this);
}

void MainPage::setDevicePasswordCommand() {
    // The dialog's device is the Security page's remembered row (the row last
    // checked there), whichever page sends the command.
    int entry = 0;
    std::string text;
    rememberedSecurityDevice(entry, text);
    if (dialogs_.setPassword)
        dialogs_.setPassword(this, entry, textFromBytes(text));
    fillSecurityList();
}

void MainPage::afterUpgradeCommand() {
    // Never inside another operation's wait: try again once it is done.
    if (UiClock::insideWait()) {
        QTimer::singleShot(kTimerPeriodMs, this, &MainPage::afterUpgradeCommand);
        return;
    }
    afterUpgrade(this);
}

void MainPage::showContextMenu(const QPoint& at) {
    QMenu menu(this);
    QAction* add = menu.addAction(QStringLiteral("Add Device to Network..."));
    QAction* password = menu.addAction(QStringLiteral("Set Device Password..."));
    password->setEnabled(rememberedSecurityRow >= 0);
    QAction* chosen = nullptr;
    {
        ModalScope modal; // the menu runs its own event loop over the list
        chosen = menu.exec(list_->viewport()->mapToGlobal(at));
    }
    if (chosen == add)
        addDeviceCommand();
    else if (chosen == password)
        setDevicePasswordCommand();
}

void MainPage::paintEvent(QPaintEvent* event) {
    QWidget::paintEvent(event);
}
