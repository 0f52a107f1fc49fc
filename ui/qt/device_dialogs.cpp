#include "ui/qt/device_dialogs.h"

#include <QDialog>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#include "maintenance/av_maintenance.h"
#include "network/auto_scan.h"
#include "platform/main_window.h"
#include "security/key_operations.h"
#include "ui/device_dialogs_logic.h"
#include "ui/qt/bitmap_painter.h"
#include "ui/qt/text_codec.h"
#include "ui/qt/ui_seams.h"
#include "ui/qt/upgrade_worker.h"

namespace {

OpenFileChooser fileChooser;

FileChooserResult chooseWithFileDialog(QWidget* parent, const QString& filter,
                                       const QString& defaultSuffix, QString& path) {
    QFileDialog dialog(parent);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    // Qt's own dialog, whose filter matching can ignore case: firmware files
    // come named "*.PIB" as well as "*.pib".
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFilter(dialog.filter() & ~QDir::CaseSensitive);
    dialog.setNameFilter(filter);
    dialog.setDefaultSuffix(defaultSuffix);
    if (execModal(dialog) != QDialog::Accepted)
        return FileChooserResult::Cancelled;
    QStringList files = dialog.selectedFiles();
    if (files.isEmpty())
        return FileChooserResult::Failed;
    path = files.first();
    return FileChooserResult::Chosen;
}

// Runs the open-file dialog of `choice` and puts the path into `edit`.
void browseInto(QWidget* parent, QLineEdit* edit, const FileChoice& choice) {
    QString path;
    const OpenFileChooser& chooser =
        fileChooser ? fileChooser : OpenFileChooser(chooseWithFileDialog);
    FileChooserResult result = chooser(parent, QString::fromUtf8(choice.filterName),
                                       QString::fromUtf8(choice.defaultExtension), path);
    if (result == FileChooserResult::Cancelled)
        return;
    std::string chosen =
        result == FileChooserResult::Chosen ? chosenPath(path.toStdString(), choice) : "";
    if (chosen.empty()) {
        reportFileDialogFailure(parent);
        return;
    }
    edit->setText(QString::fromStdString(chosen));
}

QLineEdit* pathEdit(const char* name, bool readOnly) {
    auto* edit = new QLineEdit;
    edit->setObjectName(name);
    edit->setMaxLength(static_cast<int>(kUpgradePathMax));
    edit->setReadOnly(readOnly);
    edit->setMinimumWidth(320);
    return edit;
}

QPushButton* button(const char* text, const char* name) {
    auto* b = new QPushButton(QString::fromUtf8(text));
    b->setObjectName(name);
    b->setAutoDefault(false);
    return b;
}

QHBoxLayout* okCancelRow(QPushButton* ok, QPushButton* cancel) {
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    row->addWidget(ok);
    row->addWidget(cancel);
    ok->setDefault(true);
    return row;
}

QLabel* wrappedLabel(const std::string& text, const char* name) {
    auto* label = new QLabel(QString::fromStdString(text));
    // Help and status texts carry branding, device names and versions: plain text.
    label->setTextFormat(Qt::PlainText);
    label->setObjectName(name);
    label->setWordWrap(true);
    return label;
}

void scanNowAfterClose() {
    scanNow(mainWindowHandle);
}

// ---- "Set Device Password" ---------------------------------------------------------------
class SetDevicePasswordDialog : public QDialog {
  public:
    SetDevicePasswordDialog(QWidget* parent, int entryIndex1, const QString& deviceText)
        : QDialog(parent), entryIndex1_(entryIndex1), deviceText_(deviceText.toStdString()) {
        setObjectName("setDevicePasswordDialog");
        setWindowTitle("Set Device Password");
        auto* grid = new QGridLayout;
        grid->addWidget(new QLabel("Device:"), 0, 0);
        auto* device = new QLabel(deviceText);
        device->setTextFormat(Qt::PlainText); // a name from the network or the database
        device->setObjectName("deviceLabel");
        grid->addWidget(device, 0, 1);
        grid->addWidget(new QLabel("Password:"), 1, 0);
        password_ = new QLineEdit;
        password_->setObjectName("passwordEdit");
        grid->addWidget(password_, 1, 1);
        auto* status = new QLabel;
        status->setTextFormat(Qt::PlainText);
        status->setObjectName("statusLabel");
        auto* ok = button("OK", "okButton");
        auto* cancel = button("Cancel", "cancelButton");
        auto* layout = new QVBoxLayout(this);
        layout->addLayout(grid);
        layout->addWidget(status);
        layout->addWidget(wrappedLabel(setPasswordHelpText(), "helpLabel"));
        layout->addLayout(okCancelRow(ok, cancel));
        connect(ok, &QPushButton::clicked, this, [this] { okPressed(); });
        connect(cancel, &QPushButton::clicked, this, [this] { done(0); });
        password_->setText(QString::fromStdString(cleanStoredPassword(entryIndex1_)));
        password_->selectAll();
        password_->setFocus();
    }
    bool scanAfterClose() const { return scanAfterClose_; }

  private:
    void okPressed() {
        switch (acceptDevicePassword(this, entryIndex1_, deviceText_,
                                     password_->text().toStdString())) {
        case DialogAction::StayOpen:
            return;
        case DialogAction::Close:
            done(1);
            return;
        case DialogAction::CloseAndScan:
            scanAfterClose_ = true;
            done(0);
            return;
        default:
            done(0);
            return;
        }
    }

    int entryIndex1_;
    std::string deviceText_;
    QLineEdit* password_;
    bool scanAfterClose_ = false;
};

// ---- "Add Device to Network" -------------------------------------------------------------
class AddDeviceDialog : public QDialog {
  public:
    explicit AddDeviceDialog(QWidget* parent) : QDialog(parent) {
        setObjectName("addDeviceDialog");
        setWindowTitle("Add Device to Network");
        buildControls();
        previousScan_ = beginAddDevice();
        AddDeviceDialogHooks hooks;
        hooks.showStatus = [this](const std::string& text) {
            status_->setText(QString::fromStdString(text));
        };
        // Closed by the refresh that named the new device. The automatic scan
        // goes back to how it was before the dialog opened (the addition
        // restored it already; this covers a close before OK was pressed).
        hooks.close = [this] {
            cancelAddDevice(previousScan_);
            done(1);
        };
        setAddDeviceDialogHooks(std::move(hooks));
    }
    ~AddDeviceDialog() override { setAddDeviceDialogHooks({}); }
    bool added() const { return added_; }
    bool scanAfterClose() const { return scanAfterClose_; }

  protected:
    void paintEvent(QPaintEvent* event) override {
        QDialog::paintEvent(event);
        QPainter painter(this);
        drawPicture(painter, *this, addDevicePictureFile(), kAddDevicePictureX, kAddDevicePictureY);
    }
    void reject() override {
        if (busy_)
            return; // the addition is running; it ends by itself
        cancelAddDevice(previousScan_);
        done(0);
    }

  private:
    void buildControls() {
        auto* grid = new QGridLayout;
        // The left column leaves room for the device picture drawn at (10, 70).
        grid->setColumnMinimumWidth(0, 100);
        grid->addWidget(new QLabel("Device Name:"), 0, 1);
        name_ = new QLineEdit(kAddDeviceNamePlaceholder);
        name_->setObjectName("nameEdit");
        grid->addWidget(name_, 0, 2);
        grid->addWidget(new QLabel("Password:"), 1, 1);
        password_ = new QLineEdit(kAddDevicePasswordPlaceholder);
        password_->setObjectName("passwordEdit");
        grid->addWidget(password_, 1, 2);
        grid->addWidget(wrappedLabel(addDeviceHelpText(), "helpLabel"), 2, 1, 1, 2);
        status_ = wrappedLabel("", "statusLabel");
        grid->addWidget(status_, 3, 1, 1, 2);
        grid->setRowMinimumHeight(2, 60);
        ok_ = button("OK", "okButton");
        cancel_ = button("Cancel", "cancelButton");
        auto* layout = new QVBoxLayout(this);
        layout->addLayout(grid);
        layout->addStretch(1);
        layout->addLayout(okCancelRow(ok_, cancel_));
        setMinimumSize(460, 230);
        connect(ok_, &QPushButton::clicked, this, [this] { okPressed(); });
        connect(cancel_, &QPushButton::clicked, this, [this] { reject(); });
        password_->selectAll();
        name_->selectAll();
        name_->setFocus();
    }

    void okPressed() {
        busy_ = true;
        ok_->setEnabled(false);
        cancel_->setEnabled(false);
        DialogAction action = acceptAddDevice(this, previousScan_, name_->text().toStdString(),
                                              password_->text().toStdString());
        busy_ = false;
        ok_->setEnabled(true);
        cancel_->setEnabled(true);
        switch (action) {
        case DialogAction::StayOpen:
            return;
        case DialogAction::WaitForDevice:
            added_ = true; // the refresh that finds the device closes the dialog
            return;
        case DialogAction::CloseAndScan:
            scanAfterClose_ = true;
            done(0);
            return;
        default:
            done(0);
            return;
        }
    }

    QLineEdit* name_ = nullptr;
    QLineEdit* password_ = nullptr;
    QLabel* status_ = nullptr;
    QPushButton* ok_ = nullptr;
    QPushButton* cancel_ = nullptr;
    int previousScan_ = 1;
    bool busy_ = false;
    bool added_ = false;
    bool scanAfterClose_ = false;
};

// ---- "Upgrading Local Device" --------------------------------------------------------------
class UpgradeProgressDialog : public QDialog {
  public:
    UpgradeProgressDialog(QWidget* parent, UpgradeWorker& worker)
        : QDialog(parent), worker_(worker) {
        setObjectName("upgradeProgressDialog");
        setWindowTitle("Upgrading Local Device");
        auto* layout = new QVBoxLayout(this);
        auto* title = new QLabel(".....Upgrading firmware.....");
        title->setObjectName("progressTitle");
        layout->addWidget(title);
        wait_ = new QLabel("Please wait for few seconds.");
        wait_->setTextFormat(Qt::PlainText);
        wait_->setObjectName("progressText");
        layout->addWidget(wait_);
        cancel_ = button("Cancel", "cancelButton");
        auto* row = new QHBoxLayout;
        row->addStretch(1);
        row->addWidget(cancel_);
        layout->addLayout(row);
        connect(cancel_, &QPushButton::clicked, this, [this] { reject(); });
        connect(&worker_, &UpgradeWorker::closeProgress, this, [this] { accept(); });
        // After a cancel the dialog stays until the worker stopped at its next
        // block boundary, so nothing else touches the interface meanwhile.
        connect(&worker_, &UpgradeWorker::finished, this, [this] {
            if (isVisible())
                done(0);
        });
    }

  protected:
    void reject() override {
        if (cancelling_ || !confirmUpgradeCancel(this))
            return;
        cancelling_ = true;
        cancel_->setEnabled(false);
        if (!worker_.running())
            done(0);
    }

  private:
    UpgradeWorker& worker_;
    QLabel* wait_;
    QPushButton* cancel_;
    bool cancelling_ = false;
};

// ---- The two upgrade dialogs: a pair of file paths, each with its browse button ---------------
// Both suspend the automatic scan while they are open and restore it when cancelled.
class FilePairDialog : public QDialog {
  public:
    struct Row {
        const char* label;
        const char* editName;
        const char* browseName;
        const FileChoice& choice;
    };

  protected:
    FilePairDialog(QWidget* parent, const char* objectName, const char* title,
                   const char* browseText, bool readOnly, const Row& first, const Row& second)
        : QDialog(parent) {
        setObjectName(objectName);
        setWindowTitle(title);
        layout_ = new QVBoxLayout(this);
        auto* grid = new QGridLayout;
        first_ = addRow(grid, 0, first, browseText, readOnly);
        second_ = addRow(grid, 1, second, browseText, readOnly);
        layout_->addLayout(grid);
        auto* ok = button("OK", "okButton");
        auto* cancel = button("Cancel", "cancelButton");
        layout_->addLayout(okCancelRow(ok, cancel));
        connect(ok, &QPushButton::clicked, this, [this] { okPressed(); });
        connect(cancel, &QPushButton::clicked, this, [this] { reject(); });
        previousScan_ = suspendAutoScan(0);
    }

    void reject() override {
        suspendAutoScan(previousScan_);
        done(0);
    }
    virtual void okPressed() = 0;

    QVBoxLayout* layout_;
    QLineEdit* first_;
    QLineEdit* second_;
    int previousScan_ = 1;

  private:
    QLineEdit* addRow(QGridLayout* grid, int row, const Row& r, const char* browseText,
                      bool readOnly) {
        QLineEdit* edit = pathEdit(r.editName, readOnly);
        auto* browse = button(browseText, r.browseName);
        grid->addWidget(new QLabel(r.label), row, 0);
        grid->addWidget(edit, row, 1);
        grid->addWidget(browse, row, 2);
        const FileChoice* choice = &r.choice;
        connect(browse, &QPushButton::clicked, this,
                [this, edit, choice] { browseInto(this, edit, *choice); });
        return edit;
    }
};

// ---- "Enter PIB & NVM files" ----------------------------------------------------------------
class AvUpgradeDialog : public FilePairDialog {
  public:
    explicit AvUpgradeDialog(QWidget* parent)
        : FilePairDialog(parent, "avUpgradeDialog", "Enter PIB & NVM files", "Browse...", false,
                         {"PIB", "pibEdit", "pibBrowse", kPibChoice},
                         {"NVM", "nvmEdit", "nvmBrowse", kNvmChoice}) {
        auto* title = new QLabel("Please select appropriate PIB and NVM files.");
        title->setObjectName("titleLabel");
        title->setStyleSheet("QLabel { color: blue; background: transparent; }");
        layout_->insertWidget(0, title);
    }

  private:
    void okPressed() override {
        std::string pib = first_->text().toStdString();
        std::string nvm = second_->text().toStdString();
        if (!confirmAvUpgradeFiles(this, pib, nvm))
            return;
        // The automatic scan stays suspended: the rescan after the upgrade re-arms it.
        UpgradeWorker worker(nvm, pib);
        connect(&worker, &UpgradeWorker::hideFileDialog, this, [this] { hide(); });
        connect(&worker, &UpgradeWorker::afterUpgrade, this, [] { runAfterUpgradeCommand(); });
        if (worker.start()) {
            UpgradeProgressDialog progress(parentWidget(), worker);
            execModal(progress);
            worker.waitUntilFinished();
        } else {
            suspendAutoScan(previousScan_); // nothing runs, so no rescan re-arms it
        }
        done(1);
    }
};

// ---- "Config & Image" -----------------------------------------------------------------------
class Hp10UpgradeDialog : public FilePairDialog {
  public:
    explicit Hp10UpgradeDialog(QWidget* parent)
        : FilePairDialog(parent, "hp10UpgradeDialog", "Config & Image", "Browse....", true,
                         {"Config", "configEdit", "configBrowse", kCfgChoice},
                         {"Image", "imageEdit", "imageBrowse", kImgChoice}) {}
    bool upgradeRan() const { return ran_; }

  private:
    void okPressed() override {
        runHp10Upgrade(second_->text().toStdString(), first_->text().toStdString());
        ran_ = true;
        done(1);
    }

    bool ran_ = false;
};

} // namespace

void setOpenFileChooser(OpenFileChooser chooser) {
    fileChooser = std::move(chooser);
}

bool runSetDevicePasswordDialog(QWidget* parent, int deviceEntryIndex1, const QString& deviceText) {
    if (!openSetDevicePassword(parent, deviceText.toStdString()))
        return false;
    SetDevicePasswordDialog dialog(parent, deviceEntryIndex1, deviceText);
    bool stored = execModal(dialog) == 1;
    if (dialog.scanAfterClose())
        scanNowAfterClose();
    return stored;
}

bool runAddDeviceDialog(QWidget* parent) {
    AddDeviceDialog dialog(parent);
    // Busy until OK succeeds; the addition then lets the automatic scan run
    // again while the dialog stays open, because the refresh that finds the
    // new device is what closes it. It refers to no row of the lists.
    execModal(dialog, false);
    if (dialog.scanAfterClose())
        scanNowAfterClose();
    return dialog.added();
}

void runFirmwareUpgrade(QWidget* parent) {
    switch (chooseUpgradeDialog()) {
    case UpgradeDialogKind::Av: {
        AvUpgradeDialog dialog(parent); // suspends the automatic scan itself
        execModal(dialog, false);
        return;
    }
    case UpgradeDialogKind::Hp10: {
        Hp10UpgradeDialog dialog(parent); // suspends the automatic scan itself
        execModal(dialog, false);
        // The device restarted with its new image: rescan, which also re-arms
        // the automatic scan the dialog suspended.
        if (dialog.upgradeRan())
            runAfterUpgradeCommand();
        return;
    }
    default:
        return;
    }
}
