#include "ui/qt/property_sheet.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QPushButton>
#include <QStyle>
#include <QTabWidget>
#include <QVBoxLayout>

#include "platform/main_window.h"
#include "storage/preferences.h"
#include "ui/main_page_logic.h"
#include "ui/qt/about_page.h"
#include "ui/qt/diagnostics_page.h"
#include "ui/qt/main_page.h"
#include "ui/qt/security_page.h"
#include "ui/qt/ui_seams.h"

namespace {

// The pages are different classes; each may react to becoming current and to
// being left.
void activatePage(QWidget* page) {
    if (auto* p = qobject_cast<MainPage*>(page))
        p->pageActivated();
    else if (auto* s = qobject_cast<SecurityPage*>(page))
        s->pageActivated();
    else if (auto* d = qobject_cast<DiagnosticsPage*>(page))
        d->pageActivated();
    else if (auto* a = qobject_cast<AboutPage*>(page))
        a->pageActivated();
}

bool deactivatePage(QWidget* page) {
    if (auto* p = qobject_cast<MainPage*>(page))
        return p->pageDeactivating();
    if (auto* d = qobject_cast<DiagnosticsPage*>(page))
        return d->pageDeactivating();
    return true;
}

} // namespace

PropertySheet::PropertySheet(QWidget* parent) : QDialog(parent) {
    setWindowFlags(windowFlags() | Qt::WindowMinimizeButtonHint);
    setWindowTitle(QString::fromLatin1(prefAppName().c_str()));
    setWindowIcon(style()->standardIcon(QStyle::SP_ComputerIcon));
    mainWindowHandle = this;
    tabs_ = new QTabWidget(this);
    closeButton_ = new QPushButton(tr("Close"), this);
    closeButton_->setAutoDefault(false);
    connect(closeButton_, &QPushButton::clicked, this, &QDialog::accept);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(closeButton_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs_);
    layout->addLayout(buttons);

    // Pages, in the order the tabs show them.
    mainPage_ = new MainPage(this);
    addPage(mainPage_, QStringLiteral("Main"));
    addPage(new SecurityPage(this), QStringLiteral("Security"));
    if (preferences.diagnosticsLevel != 0)
        addPage(new DiagnosticsPage(this), QStringLiteral("Diagnostics"));
    addPage(new AboutPage(this), QStringLiteral("About"));

    tabs_->setCurrentIndex(0);
    currentIndex_ = 0;
    connect(tabs_, &QTabWidget::currentChanged, this, &PropertySheet::onCurrentChanged);
    resize(860, 440);
}

PropertySheet::~PropertySheet() {
    if (mainWindowHandle == this)
        mainWindowHandle = nullptr;
}

QWidget* PropertySheet::page(const QString& title) const {
    for (int i = 0; i < tabs_->count(); ++i)
        if (tabs_->tabText(i) == title)
            return tabs_->widget(i);
    return nullptr;
}

void PropertySheet::addPage(QWidget* page, const QString& title) {
    tabs_->addTab(page, title);
}

void PropertySheet::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // The start page becomes current when the sheet first appears.
    if (!shown_) {
        shown_ = true;
        activatePage(tabs_->currentWidget());
    }
}

void PropertySheet::closeEvent(QCloseEvent* event) {
    // The window's close box is not user input to the event loop, so it
    // arrives while an operation waits in the window's clock (a scan, a key
    // operation, the automatic cycle). Closing then would write the database
    // in the middle of the operation and hide the window while it goes on;
    // the close is refused until the operation is done.
    if (UiClock::insideWait()) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void PropertySheet::onCurrentChanged(int index) {
    if (switching_)
        return;
    QWidget* leaving = currentIndex_ >= 0 ? tabs_->widget(currentIndex_) : nullptr;
    if (leaving && !deactivatePage(leaving)) {
        switching_ = true;
        tabs_->setCurrentIndex(currentIndex_);
        switching_ = false;
        return;
    }
    currentIndex_ = index;
    activatePage(tabs_->widget(index));
}

void PropertySheet::done(int result) {
    // Closing the sheet writes the device database.
    mainPageDeactivated();
    QDialog::done(result);
}
