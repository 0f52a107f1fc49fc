#include "ui/qt/property_sheet.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include "storage/preferences.h"
#include "ui/qt/about_page.h"
#include "ui/qt/diagnostics_page.h"
#include "ui/qt/main_page.h"
#include "ui/qt/security_page.h"

PropertySheet::PropertySheet(QWidget* parent) : QDialog(parent) {
    setWindowFlags(windowFlags() | Qt::WindowMinimizeButtonHint);
    tabs_ = new QTabWidget(this);
    closeButton_ = new QPushButton(tr("Close"), this);
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
}

PropertySheet::~PropertySheet() = default;

void PropertySheet::addPage(QWidget* page, const QString& title) {
    tabs_->addTab(page, title);
}
