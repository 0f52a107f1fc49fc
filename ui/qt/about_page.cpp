#include "ui/qt/about_page.h"

#include <QDesktopServices>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpacerItem>
#include <QUrl>
#include <QVBoxLayout>

#include "ui/about_logic.h"
#include "ui/bitmap.h"
#include "ui/qt/bitmap_painter.h"

namespace {
QString fromLatin1(const std::string& text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}
} // namespace

AboutPage::AboutPage(QWidget* parent) : QWidget(parent) {
    // The page paints its own background so white parts of the logos can be
    // replaced by exactly that colour.
    setAutoFillBackground(true);
    const AboutTexts texts = aboutTexts();

    versionLabel_ = new QLabel(fromLatin1(texts.versionLabel + " " + texts.version), this);
    appNameLabel_ = new QLabel(fromLatin1(texts.appName), this);
    appNameLabel_->setObjectName(QStringLiteral("appName"));
    QFont nameFont = appNameLabel_->font();
    nameFont.setBold(true);
    nameFont.setPointSizeF(nameFont.pointSizeF() * 1.4);
    appNameLabel_->setFont(nameFont);
    copyrightLabel_ = new QLabel(fromLatin1(texts.copyright), this);
    // The branding file's texts are shown as the characters they are: a
    // label would otherwise render markup in them, links and pictures included.
    for (QLabel* label : {versionLabel_, appNameLabel_, copyrightLabel_})
        label->setTextFormat(Qt::PlainText);
    copyrightLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);

    // Only a web address is a button that opens it; anything else the
    // branding file holds there (a file: or program address, a path) is text.
    const bool openable = !webAddressToOpen(texts.webAddress).empty();
    webAddressButton_ = new QPushButton(fromLatin1(texts.webAddress), this);
    webAddressButton_->setFlat(true);
    webAddressButton_->setCursor(Qt::PointingHandCursor);
    webAddressButton_->setVisible(openable);
    connect(webAddressButton_, &QPushButton::clicked, this, &AboutPage::openWebAddress);
    webAddressText_ = new QLabel(fromLatin1(texts.webAddress), this);
    webAddressText_->setObjectName(QStringLiteral("webAddressText"));
    webAddressText_->setTextFormat(Qt::PlainText);
    webAddressText_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    webAddressText_->setVisible(!openable && !texts.webAddress.empty());

    auto* licenceLabel = new QLabel(QStringLiteral("License Copyrights :"), this);
    licenceText_ = new QPlainTextEdit(this);
    licenceText_->setReadOnly(true);
    licenceText_->setPlainText(QString::fromUtf8(readmeText()));

    layout_ = new QVBoxLayout(this);
    layout_->setContentsMargins(20, 0, 20, 12);
    topSpace_ = new QSpacerItem(0, 0, QSizePolicy::Minimum, QSizePolicy::Fixed);
    layout_->addSpacerItem(topSpace_);
    layout_->addWidget(appNameLabel_);
    layout_->addWidget(versionLabel_);
    layout_->addWidget(copyrightLabel_);
    auto* web = new QHBoxLayout;
    web->addWidget(webAddressButton_);
    web->addWidget(webAddressText_);
    web->addStretch(1);
    layout_->addLayout(web);
    layout_->addWidget(licenceLabel);
    layout_->addWidget(licenceText_, 1);
    placeTexts();
}

QSize AboutPage::sizeHint() const {
    return QSize(825, 420);
}

void AboutPage::pageActivated() {
    placeTexts();
    update();
}

void AboutPage::showEvent(QShowEvent* event) {
    placeTexts();
    QWidget::showEvent(event);
}

void AboutPage::placeTexts() {
    const std::pair<int, int> big = pictureSize(picturePath(kBigLogoFile));
    const std::pair<int, int> cert = pictureSize(picturePath(kCertLogoFile));
    const int top = aboutTextTop(big, cert);
    if (top == textTop_)
        return;
    textTop_ = top;
    topSpace_->changeSize(0, top, QSizePolicy::Minimum, QSizePolicy::Fixed);
    layout_->invalidate();
}

void AboutPage::paintEvent(QPaintEvent* event) {
    QWidget::paintEvent(event);
    QPainter painter(this);
    for (const PicturePlacement& picture : aboutPictures())
        drawPicture(painter, *this, picture.file, picture.x, picture.y);
}

void AboutPage::openWebAddress() {
    const QByteArray text = webAddressButton_->text().toLatin1();
    const std::string address = webAddressToOpen(std::string(text.constData(), text.size()));
    if (address.empty())
        return;
    const QUrl url(QString::fromLatin1(address.data(), static_cast<qsizetype>(address.size())),
                   QUrl::StrictMode);
    // Checked once more as Qt reads it: only a valid http or https address leaves.
    if (url.isValid() &&
        (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https")))
        QDesktopServices::openUrl(url);
}
