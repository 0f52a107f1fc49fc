#include "brandkit/prefs_window.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QTabWidget>
#include <QVBoxLayout>
#include <cstring>

#include "platform/messages.h"
#include "platform/working_folder.h"

namespace {

// Controls shown in the left column, the right column, then across the page.
constexpr int kLeftColumnCount = 11;
constexpr int kRightColumnCount = 6;

QString fromBytes(const std::string& s) {
    return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
}

std::string toBytes(const QString& s) {
    QByteArray bytes = s.toLatin1();
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

QString controlName(int id) {
    return QStringLiteral("control%1").arg(id);
}

} // namespace

PrefsWindow::PrefsWindow(const QString& prefsPath, QWidget* parent)
    : QDialog(parent), prefsPath_(prefsPath) {
    setWindowTitle(fromBytes(
        std::string(prefsBlock.appName, strnlen(prefsBlock.appName, sizeof prefsBlock.appName))));
    auto* tabs = new QTabWidget;
    tabs->addTab(buildPage(), QStringLiteral("brandkit"));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &PrefsWindow::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &PrefsWindow::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs);
    layout->addWidget(buttons);
    fillControls(*this);
}

QWidget* PrefsWindow::buildPage() {
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(buildPreferencesGroup());

    auto* about = new QGridLayout;
    auto* name = new QLabel(QStringLiteral("brandkit"));
    name->setObjectName(controlName(1025));
    auto* version = new QLabel(QStringLiteral("3.0.1.0"));
    version->setObjectName(controlName(1024));
    auto* released = new QLabel(QStringLiteral("Released 10/28/09"));
    released->setObjectName(controlName(1027));
    auto* note = new QLabel(QStringLiteral("Edits OEMPrefs.dat in the current folder."));
    note->setObjectName(controlName(1026));
    about->addWidget(name, 0, 0);
    about->addWidget(new QLabel(QStringLiteral("Version:")), 0, 1);
    about->addWidget(version, 0, 2);
    about->addWidget(released, 1, 0, 1, 3);
    about->addWidget(note, 2, 0, 1, 3);
    about->setColumnStretch(3, 1);
    layout->addLayout(about);
    layout->addStretch(1);
    return page;
}

QWidget* PrefsWindow::buildPreferencesGroup() {
    auto* group = new QGroupBox(QStringLiteral("Preferences: "));
    auto* grid = new QGridLayout(group);
    int index = 0;
    for (const PageControl& c : kPageControls) {
        QWidget* widget = buildControl(c);
        int row;
        int column;
        int span = 1;
        if (index < kLeftColumnCount) {
            row = index;
            column = 0;
        } else if (index < kLeftColumnCount + kRightColumnCount) {
            row = index - kLeftColumnCount;
            column = 2;
        } else {
            row = kLeftColumnCount + index - kLeftColumnCount - kRightColumnCount;
            column = 0;
            span = 3;
        }
        if (c.kind == ControlKind::CheckBox) {
            grid->addWidget(widget, row, column, 1, 2);
        } else {
            auto* label = new QLabel(QString::fromLatin1(c.label));
            label->setBuddy(widget);
            grid->addWidget(label, row, column);
            grid->addWidget(widget, row, column + 1, 1, span);
        }
        ++index;
    }
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(3, 1);
    return group;
}

QWidget* PrefsWindow::buildControl(const PageControl& c) {
    if (c.kind == ControlKind::CheckBox) {
        auto* box = new QCheckBox(QString::fromLatin1(c.label));
        box->setObjectName(controlName(c.id));
        // Each click inverts the field; the check mark follows by itself.
        const int id = c.id;
        connect(box, &QCheckBox::clicked, this, [id] { toggleFlag(id); });
        checkBoxes_[c.id] = box;
        return box;
    }
    auto* edit = new QLineEdit;
    edit->setObjectName(controlName(c.id));
    edit->setAccessibleName(QString::fromLatin1(c.label));
    edit->setMaxLength(static_cast<int>(controlMaxLength(c.id)));
    edits_[c.id] = edit;
    return edit;
}

std::string PrefsWindow::text(int id) const {
    QLineEdit* e = edit(id);
    return e ? toBytes(e->text()) : std::string();
}

void PrefsWindow::setText(int id, const std::string& text) {
    if (QLineEdit* e = edit(id))
        e->setText(fromBytes(text));
}

void PrefsWindow::setChecked(int id, bool checked) {
    if (QCheckBox* box = checkBox(id))
        box->setChecked(checked);
}

QLineEdit* PrefsWindow::edit(int id) const {
    auto it = edits_.find(id);
    return it == edits_.end() ? nullptr : it->second;
}

QCheckBox* PrefsWindow::checkBox(int id) const {
    auto it = checkBoxes_.find(id);
    return it == checkBoxes_.end() ? nullptr : it->second;
}

void PrefsWindow::accept() {
    readControls(*this);
    const std::string path = prefsPath_.toStdString();
    std::string error;
    if (createsFolder_)
        makeFolders(folderOf(path), 0700);
    if (!writePrefsFile(path, &error)) {
        // Not in the original editor, which failed in silence: the user must
        // know that OK did not save, and that the file is as it was.
        showMessage("The preferences could not be saved to " + path + ": " + error +
                        ". Nothing was changed.",
                    "Error", MessageIcon::Error, MessageButtons::Ok,
                    messageOwner(static_cast<QWidget*>(this)));
        return;
    }
    readPrefsFile(path);
    QDialog::accept();
}

int runEditor(const QString& prefsPath, bool createsFolder) {
    PrefsWindow window(prefsPath);
    window.setCreatesFolder(createsFolder);
    window.exec();
    return kSheetClosedExitCode;
}
