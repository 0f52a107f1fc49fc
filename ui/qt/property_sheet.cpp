#include "ui/qt/property_sheet.h"

#include <algorithm>

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTabWidget>
#include <QTreeWidget>
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
    mainWindowHandle = messageOwner(static_cast<QWidget*>(this));
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
    // The described size at the described font, grown with the font in use.
    const double scale = std::max(1.0, fontMetrics().height() / kDescribedFontHeight);
    resize(static_cast<int>(860 * scale + 0.5), static_cast<int>(440 * scale + 0.5));
}

PropertySheet::~PropertySheet() {
    if (mainWindowHandle == messageOwner(static_cast<QWidget*>(this)))
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
        fitListColumns();
        activatePage(tabs_->currentWidget());
    }
}

void PropertySheet::fitListColumns() {
    // The column widths grow with the font; the sheet grows with them, so a
    // larger desktop font does not push the last column of a page's list out
    // of sight behind a horizontal scroll bar. Lists whose last column does
    // not stretch (the Diagnostics page's) scroll by design. Every page's
    // list spans the page, but only the start page is laid out yet, so its
    // list gives the room all of them have.
    QTreeWidget* shown = mainPage_->deviceList();
    const int room = shown->width() - 2 * shown->frameWidth();
    int overflow = 0;
    for (QTreeWidget* list : tabs_->findChildren<QTreeWidget*>()) {
        QHeaderView* header = list->header();
        if (!header->stretchLastSection() || header->count() == 0)
            continue;
        // The stretching column needs only room for its header: the width
        // saved for it may be what it stretched to in a maximised window.
        // Set to that, it stretches over whatever room the sheet leaves.
        const int last = header->logicalIndex(header->count() - 1);
        header->resizeSection(last, headerTextWidth(*header, last));
        const int needed = header->length();
        overflow = std::max(overflow, needed - room);
    }
    if (overflow <= 0)
        return;
    int wanted = width() + overflow;
    if (const QScreen* screen = this->screen())
        wanted = std::min(wanted, screen->availableGeometry().width());
    if (wanted > width())
        resize(wanted, height());
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
