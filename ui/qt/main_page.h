#pragma once
// The Main page: the powerline devices of the current network in a list, the
// count, network type and scan status labels, and the buttons "Rename",
// "Factory Reset", "Firmware Upgrade" and "Scan". Rows, texts and the
// buttons' messages are ui/main_page_logic.h; this widget shows them, hands
// the clicks in there and keeps the list's column layout in the device
// database's layout record.
#include <QIcon>
#include <QPointer>
#include <QWidget>
#include <functional>
#include <optional>
#include <vector>

#include "ui/main_page_logic.h"

class QHeaderView;
class QLabel;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;
class NetworkMapWindow;

// Line height of the font the described column widths were made for.
inline constexpr double kDescribedFontHeight = 13.0;
// A column's width for the list's font: the described width, scaled when the
// font is larger, and at least wide enough for the header's text.
int columnWidth(const QHeaderView& header, int section, int describedWidth);
// The width a header section needs to show its text untruncated.
int headerTextWidth(const QHeaderView& header, int section);

class MainPage : public QWidget {
    Q_OBJECT
  public:
    explicit MainPage(QWidget* parent = nullptr);
    ~MainPage() override;

    // Where the page finds its files (working folder, data directory); the
    // program uses the defaults, tests set temporary folders before the
    // sheet is created.
    static void setSetup(const MainPageSetup& setup);

    // The sheet made this page current / is leaving it (always allowed).
    void pageActivated();
    bool pageDeactivating();

    // The first selected row, or -1.
    int selectedRow() const;

    // How the page opens its dialogs; the defaults are the window's dialogs
    // (ui/qt/device_dialogs.h). Tests may replace them.
    struct Dialogs {
        std::function<bool(QWidget*, int, const QString&)> setPassword;
        std::function<bool(QWidget*)> addDevice;
        std::function<void(QWidget*)> firmwareUpgrade;
    };
    void setDialogs(Dialogs dialogs);

    // Commands besides the buttons.
    void addDeviceCommand();
    void setDevicePasswordCommand();
    // Sent by the upgrade worker when it ends: recompute and scan now.
    Q_INVOKABLE void afterUpgradeCommand();

    QTreeWidget* deviceList() const { return list_; }
    QLabel* countLabel() const { return count_; }
    QLabel* networkLabel() const { return network_; }
    QLabel* statusLabel() const { return status_; }
    QPushButton* renameButton() const { return rename_; }
    QPushButton* factoryResetButton() const { return reset_; }
    QPushButton* firmwareUpgradeButton() const { return upgrade_; }
    QPushButton* scanButton() const { return scan_; }
    QPushButton* historyButton() const { return history_; }
    QPushButton* networkMapButton() const { return map_; }
    // Opens the "Network Map" window, or brings the open one to the front.
    void openNetworkMap();
    NetworkMapWindow* networkMapWindow() const;

    // Rebuilds the list from the page state (every refresh ends here).
    void syncFromState();

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    friend class RenameDelegate;
    void buildControls();
    void setUpList();
    void loadIcons();
    void applySavedLayout();
    void recordLayout();
    void setActionsEnabled(bool enabled);
    void onRename();
    void onFactoryReset();
    void onFirmwareUpgrade();
    void onScan();
    // The history view, for the selected adapter (the button, a double-click).
    void onHistory();
    void onSelectionChanged();
    void onHeaderClicked(int logicalIndex);
    void showContextMenu(const QPoint& at);
    // In-place rename of the first cell, driven by the list's editor: it
    // began on `row`, the user committed `text`, the editor closed.
    void renameStarted(int row);
    void renameTyped(const QString& text);
    void renameClosed();

    QTreeWidget* list_ = nullptr;
    QLabel* count_ = nullptr;
    QLabel* network_ = nullptr;
    QLabel* status_ = nullptr;
    QPushButton* rename_ = nullptr;
    QPushButton* reset_ = nullptr;
    QPushButton* upgrade_ = nullptr;
    QPushButton* scan_ = nullptr;
    QPushButton* history_ = nullptr;
    QPushButton* map_ = nullptr;
    QPointer<QWidget> mapWindow_; // the NetworkMapWindow while it is open
    std::vector<QIcon> icons_;
    std::vector<MainColumnSpec> columns_;
    Dialogs dialogs_;
    bool syncing_ = false;
    bool syncPending_ = false;     // a rebuild waits for the editor or the cycle to end
    bool actionsEnabled_ = true;   // false while an automatic cycle runs
    bool emptyingPosted_ = false;  // an emptied list is looked at again after the tick
    bool emptyingSettled_ = false; // that look: the emptying is applied now
    std::optional<QString> renameText_;
    std::string renameShown_; // the row's name (stored bytes) when the edit began
    bool layoutReady_ = false;
};
