#pragma once
// The halyard window: a modal property sheet with the pages Main, Security,
// Diagnostics (only when the preferences enable it) and About, and one
// "Close" button. Its caption is the application name of the preferences.
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

  private:
    // Adds one page as a tab; pages are added in the order they appear.
    void addPage(QWidget* page, const QString& title);

    QTabWidget* tabs_ = nullptr;
    QPushButton* closeButton_ = nullptr;
    MainPage* mainPage_ = nullptr;
};
