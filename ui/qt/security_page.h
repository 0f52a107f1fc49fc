#pragma once
// The Security page: the devices whose passwords are known, with a check box
// each, and the network password (encryption key) to apply to the checked
// ones. The rows, texts and flows are ui/security_page_logic.h; this widget
// shows them and hands the user's clicks in there.
#include <QWidget>
#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;
class QGroupBox;

class SecurityPage : public QWidget {
    Q_OBJECT
  public:
    explicit SecurityPage(QWidget* parent = nullptr);
    ~SecurityPage() override;

    // The sheet made this page current: the key edit shows the network's
    // password (empty without a local device) and takes the focus.
    void pageActivated();

    // How the page opens its dialogs; the defaults are the window's dialogs
    // (ui/qt/device_dialogs.h). Tests may replace them.
    using PasswordDialog =
        std::function<bool(QWidget* parent, int deviceEntryIndex1, const QString& deviceText)>;
    using AddDeviceDialog = std::function<bool(QWidget* parent)>;
    void setPasswordDialog(PasswordDialog dialog);
    void setAddDeviceDialog(AddDeviceDialog dialog);

    QTreeWidget* deviceList() const { return list_; }
    QLineEdit* keyEdit() const { return keyEdit_; }
    QPushButton* useDefaultButton() const { return useDefault_; }
    QPushButton* setSelectedButton() const { return setSelected_; }
    QPushButton* addDeviceButton() const { return addDevice_; }
    QLabel* statusLabel() const { return status_; }

  private:
    void buildControls();
    void setUpColumns();
    void syncList();
    void syncItem(QTreeWidgetItem* item, int row);
    void applyEnabled();
    void onItemChanged(QTreeWidgetItem* item, int column);
    void onUseDefault();
    void onSetSelected();
    void onAddDevice();
    void openPasswordDialog();

    QTreeWidget* list_ = nullptr;
    QGroupBox* keyGroup_ = nullptr;
    QLabel* keyCaption_ = nullptr;
    QLineEdit* keyEdit_ = nullptr;
    QPushButton* useDefault_ = nullptr;
    QPushButton* setSelected_ = nullptr;
    QPushButton* addDevice_ = nullptr;
    QLabel* status_ = nullptr;
    bool keying_ = false;          // the devices are being keyed
    bool syncing_ = false;         // the list is being rewritten from the model
    bool dialogOpen_ = false;      // the password dialog of a row is open
    bool syncPending_ = false;     // a rebuild waits for that dialog or the cycle to end
    bool emptyingPosted_ = false;  // an emptied list is looked at again after the tick
    bool emptyingSettled_ = false; // that look: the emptying is applied now
    PasswordDialog passwordDialog_;
    AddDeviceDialog addDeviceDialog_;
};
