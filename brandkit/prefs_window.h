#pragma once
// brandkit's window: a property-sheet-like dialog titled with appName, one page
// holding the "Preferences: " group with every control, the static texts
// below it, and OK and Cancel. A thin layer over editor_logic.h.
#include <QDialog>
#include <QString>
#include <map>

#include "brandkit/editor_logic.h"

class QCheckBox;
class QLineEdit;
class QWidget;

class PrefsWindow : public QDialog, public PageControls {
    Q_OBJECT
  public:
    // Works on the preferences file at `prefsPath`; the block must have been
    // read already (the caption is its appName).
    explicit PrefsWindow(const QString& prefsPath = QString::fromLatin1(kPrefsFileName),
                         QWidget* parent = nullptr);

    // PageControls
    std::string text(int id) const override;
    void setText(int id, const std::string& text) override;
    void setChecked(int id, bool checked) override;

    // Save creates the file's folder (mode 0700, with missing parents) when it does
    // not exist: set for the user's config folder, which a first save makes.
    void setCreatesFolder(bool creates) { createsFolder_ = creates; }

    QLineEdit* edit(int id) const;
    QCheckBox* checkBox(int id) const;

  public slots:
    // OK: takes the edits back, writes the file and reads it again. A file that
    // cannot be written is reported and the window stays open.
    void accept() override;

  private:
    QWidget* buildPage();
    QWidget* buildPreferencesGroup();
    QWidget* buildControl(const PageControl& control);

    QString prefsPath_;
    bool createsFolder_ = false;
    std::map<int, QLineEdit*> edits_;
    std::map<int, QCheckBox*> checkBoxes_;
};

// brandkit's exit code once its sheet has closed, by OK or Cancel alike. A
// second copy ends with 0 before showing anything, so a script that starts
// brandkit can tell the two apart.
inline constexpr int kSheetClosedExitCode = 1;

// Shows the editor on the preferences file at `prefsPath` (the block must
// have been read) until the user closes it; returns kSheetClosedExitCode.
// `createsFolder`: OK creates the file's folder first (PrefsWindow::setCreatesFolder).
int runEditor(const QString& prefsPath = QString::fromLatin1(kPrefsFileName),
              bool createsFolder = false);
