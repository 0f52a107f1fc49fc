#pragma once
// The Main page: the device list of the current network and its buttons.
#include <QWidget>

class MainPage : public QWidget {
    Q_OBJECT
  public:
    explicit MainPage(QWidget* parent = nullptr);
    void pageActivated();
    bool pageDeactivating();
};
