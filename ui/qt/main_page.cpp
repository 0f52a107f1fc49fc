#include "ui/qt/main_page.h"

MainPage::MainPage(QWidget* parent) : QWidget(parent) {}

void MainPage::pageActivated() {}

bool MainPage::pageDeactivating() {
    return true;
}
