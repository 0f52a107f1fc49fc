#include "ui/qt/security_page.h"

#include <QApplication>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <iterator>
#include <utility>

#include "platform/main_window.h"
#include "platform/working_folder.h"
#include "security/key_operations.h"
#include "storage/preferences.h"
#include "ui/bitmap.h"
#include "ui/main_page_logic.h"
#include "ui/qt/bitmap_painter.h"
#include "ui/qt/device_dialogs.h"
#include "ui/qt/list_sync.h"
#include "ui/qt/main_page.h"
#include "ui/qt/text_codec.h"
#include "ui/qt/ui_seams.h"
#include "ui/security_page_logic.h"

namespace {

// The row pictures by icon number, as on the Main page: HomePlug 1.0,
// HomePlug Turbo, HomePlug AV.
const char* const kIconFiles[] = {"oemDeviceIconLS.bmp", "oemDeviceIconHS.bmp", "oemDevice.bmp"};

QIcon rowIcon(int index, int size, const QWidget& page) {
    if (index < 0 || index >= static_cast<int>(std::size(kIconFiles)))
        index = 0;
    return devicePicture(kIconFiles[index], size, page);
}

QString fromText(const std::string& text) {
    return textFromBytes(text);
}

} // namespace

SecurityPage::SecurityPage(QWidget* parent)
    : QWidget(parent), passwordDialog_(runSetDevicePasswordDialog),
      addDeviceDialog_(runAddDeviceDialog) {
    buildControls();
    // Creation: the network's password in the key edit, selected; the
    // columns; the list.
    keyEdit_->setText(fromText(keyTextOnCreate()));
    keyEdit_->selectAll();
    setUpColumns();
    setSecurityPageHooks({[this] { syncList(); },
                          [this](const std::string& text) { status_->setText(fromText(text)); },
                          [this](bool enabled) {
                              applyEnabled();
                              // The cycle has ended: the rows it deferred.
                              if (enabled && syncPending_)
                                  syncList();
                          }});
    status_->setText(fromText(securityStatusText));
    fillSecurityList();
    syncList();
    applyEnabled();
}

SecurityPage::~SecurityPage() {
    setSecurityPageHooks({});
}

void SecurityPage::buildControls() {
    status_ = new QLabel(this);
    status_->setTextFormat(Qt::PlainText);
    status_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    status_->setObjectName(QStringLiteral("securityStatus"));

    list_ = new QTreeWidget(this);
    list_->setRootIsDecorated(false);
    list_->setItemsExpandable(false);
    list_->setUniformRowHeights(true);
    list_->setAllColumnsShowFocus(true);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->header()->setSectionsMovable(true);
    list_->header()->setStretchLastSection(true);
    connect(list_, &QTreeWidget::itemChanged, this, &SecurityPage::onItemChanged);

    keyGroup_ = new QGroupBox(QString::fromLatin1(kSecurityGroupText), this);
    keyCaption_ = new QLabel(QString::fromLatin1(kSecurityKeyCaption), keyGroup_);
    keyCaption_->setTextFormat(Qt::PlainText);
    keyEdit_ = new QLineEdit(keyGroup_);
    keyCaption_->setBuddy(keyEdit_);
    useDefault_ = new QPushButton(QString::fromLatin1(kUseDefaultText), keyGroup_);
    setSelected_ = new QPushButton(QString::fromLatin1(kSetSelectedText), keyGroup_);
    setSelected_->setAutoDefault(false);
    useDefault_->setAutoDefault(false);
    connect(useDefault_, &QPushButton::clicked, this, &SecurityPage::onUseDefault);
    connect(setSelected_, &QPushButton::clicked, this, &SecurityPage::onSetSelected);

    addDevice_ = new QPushButton(tr("Add Device..."), this);
    addDevice_->setAutoDefault(false);
    connect(addDevice_, &QPushButton::clicked, this, &SecurityPage::onAddDevice);

    auto* keyRow = new QHBoxLayout;
    keyRow->addWidget(keyEdit_, 1);
    keyRow->addWidget(useDefault_);
    keyRow->addWidget(setSelected_);
    auto* group = new QVBoxLayout(keyGroup_);
    group->addWidget(keyCaption_);
    group->addLayout(keyRow);

    auto* top = new QHBoxLayout;
    top->addWidget(addDevice_);
    top->addStretch(1);
    top->addWidget(status_, 1);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(list_, 1);
    layout->addWidget(keyGroup_);
}

void SecurityPage::setUpColumns() {
    list_->setColumnCount(kSecurityColumnCount);
    QStringList headers;
    for (const SecurityColumnSpec& column : kSecurityColumns)
        headers << QString::fromLatin1(column.header);
    list_->setHeaderLabels(headers);
    const int iconSize = rowIconSize(preferences.iconSize);
    if (iconSize > 0)
        list_->setIconSize(QSize(iconSize, iconSize));
    for (int column = 0; column < kSecurityColumnCount; ++column) {
        int width = kSecurityColumns[column].width;
        // The first column carries the check box and, with icons, the icon.
        if (column == kSecCheckColumn && iconSize > 0)
            width += iconSize + 4;
        list_->setColumnWidth(column, columnWidth(*list_->header(), column, width));
    }
    std::array<int, kSecurityColumnCount> order = securityDisplayOrder();
    for (int position = 0; position < kSecurityColumnCount; ++position) {
        int from = list_->header()->visualIndex(order[position]);
        if (from != position)
            list_->header()->moveSection(from, position);
    }
    uint32_t rgb = listTextColor(preferences.color);
    QPalette palette = list_->palette();
    palette.setColor(QPalette::Text, QColor::fromRgb(rgb));
    list_->setPalette(palette);
}

void SecurityPage::syncList() {
    // Never rebuilt while the password dialog for one of its rows is open.
    // Nor while an automatic cycle runs: it empties the list at its start and
    // refills it by its end; the rows shown stay (items, checks, a screen
    // reader's place) and take the cycle's outcome once it is complete.
    if (dialogOpen_ || (!securityActionsEnabled && list_->topLevelItemCount() > 0)) {
        syncPending_ = true;
        return;
    }
    // The list emptied: at an interval the cycle that refills it starts in
    // the same tick. Whether it did is known once the tick is over.
    if (securityList.empty() && list_->topLevelItemCount() > 0 && !emptyingSettled_) {
        syncPending_ = true;
        if (!emptyingPosted_) {
            emptyingPosted_ = true;
            QTimer::singleShot(0, this, [this] {
                emptyingPosted_ = false;
                if (!syncPending_)
                    return;
                emptyingSettled_ = true;
                syncList();
                emptyingSettled_ = false;
            });
        }
        return;
    }
    syncPending_ = false;
    syncing_ = true;
    std::vector<QString> keys;
    keys.reserve(securityList.size());
    for (const SecurityListRow& row : securityList)
        keys.push_back(fromText(row.cells[kSecMacColumn]));
    const std::vector<QTreeWidgetItem*> items = syncRowsByKey(*list_, keys, [] {
        auto* item = new QTreeWidgetItem;
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        return item;
    });
    for (size_t row = 0; row < items.size(); ++row)
        syncItem(items[row], static_cast<int>(row));
    syncing_ = false;
}

void SecurityPage::syncItem(QTreeWidgetItem* item, int row) {
    const SecurityListRow& model = securityList[static_cast<size_t>(row)];
    item->setCheckState(kSecCheckColumn, model.checked ? Qt::Checked : Qt::Unchecked);
    for (int column = 1; column < kSecurityColumnCount; ++column)
        item->setText(column, fromText(model.cells[static_cast<size_t>(column)]));
    // A screen reader reads the check box cell by this text: the device and
    // whether it is checked.
    QString device = fromText(model.cells[kSecNameColumn]);
    item->setData(kSecCheckColumn, Qt::AccessibleTextRole,
                  model.checked ? device + QStringLiteral(": checked")
                                : device + QStringLiteral(": not checked"));
    item->setData(kSecCheckColumn, Qt::AccessibleDescriptionRole,
                  QStringLiteral("Check box: apply the encryption key to this device"));
    if (const int size = rowIconSize(preferences.iconSize); size > 0)
        item->setIcon(kSecCheckColumn, rowIcon(model.icon, size, *this));
}

void SecurityPage::applyEnabled() {
    bool usable = securityActionsEnabled && !keying_;
    keyEdit_->setEnabled(!keying_);
    useDefault_->setEnabled(usable);
    setSelected_->setEnabled(usable);
}

void SecurityPage::pageActivated() {
    keyEdit_->setText(fromText(keyTextOnActivate()));
    keyEdit_->setFocus();
}

void SecurityPage::setPasswordDialog(PasswordDialog dialog) {
    passwordDialog_ = std::move(dialog);
}

void SecurityPage::setAddDeviceDialog(AddDeviceDialog dialog) {
    addDeviceDialog_ = std::move(dialog);
}

void SecurityPage::onItemChanged(QTreeWidgetItem* item, int column) {
    if (syncing_ || column != kSecCheckColumn)
        return;
    // The device is the one the row shows, by its MAC: the model may not list
    // it at this moment (a cycle that has emptied it runs), and a row number
    // could name another device there.
    const QString key = rowKey(*item);
    if (key.isEmpty())
        return;
    const std::string mac = key.toLatin1().toStdString();
    bool checked = item->checkState(kSecCheckColumn) == Qt::Checked;
    // Only a change of the check box itself counts; text updates do not.
    if (checked == securityDeviceChecked(mac))
        return;
    if (securityCheckChangedByMac(mac, checked) == CheckAction::OpenPasswordDialog) {
        // Not inside Qt's item-changed signal: the dialog's event loop would
        // run with the list in the middle of changing the item. From the
        // event loop instead, for the device the row shows (by MAC).
        runWhenIdle(this, [this] { openPasswordDialog(); });
    }
}

void SecurityPage::openPasswordDialog() {
    int entryIndex = 0;
    std::string deviceText;
    rememberedSecurityDevice(entryIndex, deviceText);
    {
        ModalScope modal; // the dialog and its boxes: no cycle, no rebuild
        dialogOpen_ = true;
        if (passwordDialog_)
            passwordDialog_(this, entryIndex, fromText(deviceText));
        dialogOpen_ = false;
    }
    fillSecurityList();
    if (syncPending_)
        syncList();
}

void SecurityPage::onUseDefault() {
    keyEdit_->setText(fromText(publicNetworkPassword()));
    keyEdit_->selectAll();
    keyEdit_->setFocus();
}

void SecurityPage::onSetSelected() {
    // UTF-8 keeps every non-ASCII character as bytes of 128 and above, which
    // the password rules refuse, instead of turning it into a "?" that would pass.
    std::string text = keyEdit_->text().toUtf8().toStdString();
    runSetSelectedDevices(this, text, [this](bool enabled) {
        keying_ = !enabled;
        applyEnabled();
    });
}

void SecurityPage::onAddDevice() {
    if (addDeviceDialog_)
        addDeviceDialog_(this);
    if (!preferences.autoScan)
        scanNowMain(mainWindowHandle);
}
