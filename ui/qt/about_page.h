#pragma once
// The About page: the large logo (oemBig.bmp) and the certification logo
// (cert.bmp) drawn on every paint, the version, the application name, the
// copyright line, the web address and the licence text.
#include <QWidget>

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QSpacerItem;
class QVBoxLayout;

class AboutPage : public QWidget {
    Q_OBJECT
  public:
    explicit AboutPage(QWidget* parent = nullptr);

    // Re-reads the pictures' sizes (they may have been replaced) and places
    // the texts below them.
    void pageActivated();

    QLabel* versionLabel() const { return versionLabel_; }
    QLabel* appNameLabel() const { return appNameLabel_; }
    QLabel* copyrightLabel() const { return copyrightLabel_; }
    QPushButton* webAddressButton() const { return webAddressButton_; }
    // The web address as text, when it is not an http or https address.
    QLabel* webAddressText() const { return webAddressText_; }
    QPlainTextEdit* licenceText() const { return licenceText_; }
    // Distance of the text block from the top of the page, in pixels.
    int textTop() const { return textTop_; }

    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    void openWebAddress();
    void placeTexts();

    QVBoxLayout* layout_ = nullptr;
    QSpacerItem* topSpace_ = nullptr;
    QLabel* versionLabel_ = nullptr;
    QLabel* appNameLabel_ = nullptr;
    QLabel* copyrightLabel_ = nullptr;
    QPushButton* webAddressButton_ = nullptr;
    QLabel* webAddressText_ = nullptr;
    QPlainTextEdit* licenceText_ = nullptr;
    int textTop_ = 0;
};
