#pragma once
// The halyard window: a modal property sheet with the pages Main, Security,
// Diagnostics (only when the preferences enable it) and About, and one
// "Close" button. Its caption is the application name of the preferences; it
// opens on Main. Leaving a page tells it (pageDeactivating, which may refuse),
// the new page is told it became current (pageActivated).
#include <QDialog>

class QTabWidget;
class QPushButton;
class MainPage;

class PropertySheet : public QDialog {
    Q_OBJECT
  public:
    explicit PropertySheet(QWidget* parent = nullptr);
    ~PropertySheet() override;

    QTabWidget* tabs() const { return tabs_; }
    MainPage* mainPage() const { return mainPage_; }
    QPushButton* closeButton() const { return closeButton_; }
    // The page titled `title`, or null.
    QWidget* page(const QString& title) const;

    void done(int result) override;

  protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    // Adds one page as a tab; pages are added in the order they appear.
    void addPage(QWidget* page, const QString& title);
    void onCurrentChanged(int index);
    // Widens the sheet, once, by what the Main page's columns need beyond it.
    void fitListColumns();

    QTabWidget* tabs_ = nullptr;
    QPushButton* closeButton_ = nullptr;
    MainPage* mainPage_ = nullptr;
    int currentIndex_ = -1;
    bool switching_ = false;
    bool shown_ = false;
};
