// The real halyard window in real use: the property sheet with its pages, the
// real QTimer driving the automatic scan every two seconds, the real clock in
// every fixed wait, the emulator behind the in-memory wire on the real clock.
// Message boxes and dialogs are real and stay open across scan intervals; a
// "user" answers them later from a timer, by finding the active modal widget,
// the way a person at the keyboard would. Each scenario must leave halyard
// running and the user's data intact.
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>

#include "live/live_window.h"
#include "network/auto_scan.h"
#include "network/model.h"
#include "security/key_operations.h"
#include "sim/network.h"
#include "storage/preferences.h"
#include "support/emulated_halyard.h"
#include "support/home_scenario.h"
#include "ui/main_page_logic.h"
#include "ui/qt/main_page.h"
#include "ui/qt/property_sheet.h"
#include "ui/qt/security_page.h"
#include "ui/qt/ui_seams.h"
#include "ui/security_page_logic.h"
#include "ui/shell.h"

namespace {

constexpr int kIntervalSeconds = 2;
constexpr int kIntervalMs = kIntervalSeconds * 1000;
// The scenario home.json: a local AV adapter, two remotes on its network and
// "Garage" on a network of its own.
const QString kRemote1 = QString::fromLatin1(home_json::kLiving);
const QString kRemote2 = QString::fromLatin1(home_json::kBedroom);
const QString kGarage = QString::fromLatin1(home_json::kGarage);
constexpr const char* kRemote1Password = home_json::kLivingPassword;
constexpr const char* kGaragePassword = home_json::kGaragePassword;

// Answers modal boxes and dialogs later, in the order expected. A box that no
// step expects is answered with its first button after half a second (the
// outcome boxes of the key operations).
class User : public QObject {
  public:
    struct Step {
        std::function<bool(QWidget*)> matches;
        int afterMs;
        std::function<void(QWidget*)> act;
    };

    User() {
        connect(&timer_, &QTimer::timeout, this, [this] { look(); });
        timer_.start(25);
    }
    void expect(Step step) { steps_.push_back(std::move(step)); }
    bool done() const { return steps_.empty(); }

    std::vector<QString> boxes; // the text of every box that opened, in order
    std::vector<qint64> openMs; // how long each expected modal was open when answered

  private:
    void look() {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal != current_.data()) {
            current_ = modal;
            since_.restart();
            if (auto* box = qobject_cast<QMessageBox*>(modal))
                boxes.push_back(box->text());
        }
        if (!modal || !modal->isVisible())
            return;
        if (!steps_.empty() && steps_.front().matches(modal)) {
            if (since_.elapsed() < steps_.front().afterMs)
                return;
            Step step = std::move(steps_.front());
            steps_.pop_front();
            openMs.push_back(since_.elapsed());
            step.act(modal);
            return;
        }
        auto* box = qobject_cast<QMessageBox*>(modal);
        if (box && since_.elapsed() > 500 && !box->buttons().isEmpty())
            box->buttons().first()->click();
    }

    QTimer timer_;
    std::deque<Step> steps_;
    QPointer<QWidget> current_;
    QElapsedTimer since_;
};

std::function<bool(QWidget*)> box(const QString& text) {
    return [text](QWidget* w) {
        auto* b = qobject_cast<QMessageBox*>(w);
        return b && b->text() == text;
    };
}

std::function<bool(QWidget*)> dialog(const char* name) {
    return [name](QWidget* w) { return w->objectName() == QLatin1String(name); };
}

std::function<void(QWidget*)> press(QMessageBox::StandardButton which) {
    return [which](QWidget* w) { qobject_cast<QMessageBox*>(w)->button(which)->click(); };
}

void typeInto(QWidget* dialog, const char* edit, const QString& text) {
    auto* line = dialog->findChild<QLineEdit*>(edit);
    ASSERT_NE(nullptr, line) << edit;
    line->selectAll();
    QTest::keyClicks(line, text);
}

void click(QWidget* dialog, const char* button) {
    auto* b = dialog->findChild<QPushButton*>(button);
    ASSERT_NE(nullptr, b) << button;
    b->click();
}

class HalyardLive : public LiveWindow {
  protected:
    User user;

    void open(bool autoScan = true) {
        Opening opening;
        opening.intervalSeconds = kIntervalSeconds;
        opening.autoScan = autoScan;
        openWindow(opening);
        ASSERT_TRUE(waitFor([&] { return mainRow(kRemote1) >= 0 && mainRow(kRemote2) >= 0; },
                            3 * kIntervalMs))
            << "the remote adapters were never listed";
    }

    SecurityPage* securityPage() const {
        return qobject_cast<SecurityPage*>(sheet->page(QStringLiteral("Security")));
    }
    QString mainName(const QString& mac) const {
        int row = mainRow(mac);
        return row < 0 ? QString() : mainList()->topLevelItem(row)->text(0);
    }
    // The name in `mac`'s row once the list holds it again: every interval
    // empties the lists and the cycle refills them after its fixed waits, so a
    // look taken at a random moment may fall between the two.
    QString listedName(const QString& mac) const {
        waitFor([&] { return mainRow(mac) >= 0; }, 2 * kIntervalMs + 1000);
        return mainName(mac);
    }
    QTreeWidgetItem* securityItem(const QString& mac) const {
        QTreeWidget* list = securityPage()->deviceList();
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            if (list->topLevelItem(i)->text(kSecMacColumn) == mac)
                return list->topLevelItem(i);
        return nullptr;
    }
    static std::string entryName(const QString& mac) {
        int index = findDeviceEntry(sim::parseMac(mac.toStdString()).data());
        return index > 0 ? std::string(deviceTable[index - 1].name) : std::string();
    }
    // Starts the in-place rename of `mac`'s row and types `text` with Enter.
    void renameTo(const QString& mac, const QString& text) {
        // Between the cycle's first and last step the action buttons are off.
        ASSERT_TRUE(waitFor(
            [&] { return sheet->mainPage()->renameButton()->isEnabled() && mainRow(mac) >= 0; },
            2 * kIntervalMs + 1000));
        int row = mainRow(mac);
        ASSERT_GE(row, 0);
        mainList()->setCurrentItem(mainList()->topLevelItem(row));
        ASSERT_FALSE(rowRenameOpen());
        QTest::mouseClick(sheet->mainPage()->renameButton(), Qt::LeftButton);
        // The editor in the list (after a box the offscreen platform may not
        // give the sheet the focus back, so it is found, not taken from focus).
        QLineEdit* editor = nullptr;
        ASSERT_TRUE(waitFor(
            [&] { return (editor = mainList()->viewport()->findChild<QLineEdit*>()) != nullptr; },
            1000));
        editor->selectAll();
        QTest::keyClicks(editor, text);
        QTest::keyClick(editor, Qt::Key_Return);
    }
};

TEST_F(HalyardLive, RenameRefusalLeftOpenAcrossTwoIntervals) {
    open();
    const QString own = mainName(kRemote1);
    const QString other = mainName(kRemote2);
    ASSERT_FALSE(own.isEmpty());
    ASSERT_NE(own, other);

    // The name of another device: refused, and the box stays open for more
    // than two scan intervals before the user presses OK.
    user.expect({box(QStringLiteral("Please enter another name.")), 2 * kIntervalMs + 500,
                 press(QMessageBox::Ok)});
    renameTo(kRemote1, other);
    ASSERT_TRUE(waitFor([&] { return user.done(); }, 4 * kIntervalMs));
    EXPECT_GE(user.openMs.at(0), 2 * kIntervalMs);

    // halyard runs on: the automatic scan is back and lists the devices again
    // with the names they had.
    EXPECT_EQ(0, busyFlag);
    ASSERT_TRUE(waitFor([&] { return mainRow(kRemote1) >= 0 && mainRow(kRemote2) >= 0; },
                        2 * kIntervalMs + 1000));
    EXPECT_EQ(own, mainName(kRemote1));
    EXPECT_EQ(other, mainName(kRemote2));
    EXPECT_EQ(own.toStdString(), entryName(kRemote1));
    EXPECT_EQ(other.toStdString(), entryName(kRemote2));

    // Committing the unchanged name is a cancel: no box at all.
    size_t shown = user.boxes.size();
    renameTo(kRemote1, own);
    QTest::qWait(kIntervalMs);
    EXPECT_EQ(shown, user.boxes.size());
    EXPECT_EQ(own, listedName(kRemote1));

    // A fresh name is stored and survives the next interval's rebuild.
    renameTo(kRemote1, QStringLiteral("Hallway"));
    ASSERT_TRUE(waitFor([&] { return entryName(kRemote1) == "Hallway"; }, kIntervalMs));
    QTest::qWait(kIntervalMs + 500);
    EXPECT_EQ(QStringLiteral("Hallway"), listedName(kRemote1));
    EXPECT_TRUE(sheet->isVisible());
}

TEST_F(HalyardLive, PasswordDialogLeftOpenAcrossTwoIntervalsKeepsTheCheckAndKeysTheDevice) {
    open();
    sheet->tabs()->setCurrentWidget(securityPage());
    ASSERT_TRUE(waitFor([&] { return securityItem(kRemote1) != nullptr; }, 2 * kIntervalMs));

    user.expect({dialog("setDevicePasswordDialog"), 2 * kIntervalMs + 500, [](QWidget* d) {
                     typeInto(d, "passwordEdit", QString::fromLatin1(kRemote1Password));
                     click(d, "okButton");
                 }});
    // The user ticks the row's check box (the list's own signal path).
    securityItem(kRemote1)->setCheckState(kSecCheckColumn, Qt::Checked);
    ASSERT_TRUE(waitFor([&] { return user.done(); }, 4 * kIntervalMs));
    EXPECT_GE(user.openMs.at(0), 2 * kIntervalMs);

    // Checked still, across the intervals that cleared and rebuilt the list.
    QTest::qWait(kIntervalMs + 500);
    ASSERT_TRUE(waitFor([&] { return securityItem(kRemote1) != nullptr; }, 2 * kIntervalMs));
    EXPECT_EQ(Qt::Checked, securityItem(kRemote1)->checkState(kSecCheckColumn));
    EXPECT_TRUE(securityDeviceChecked(kRemote1.toStdString()));
    EXPECT_EQ(QLatin1String(kRemote1Password), securityItem(kRemote1)->text(kSecPasswordColumn));
    // A screen reader is told so.
    EXPECT_TRUE(securityItem(kRemote1)
                    ->data(kSecCheckColumn, Qt::AccessibleTextRole)
                    .toString()
                    .endsWith(QStringLiteral(": checked")));

    // "Set Selected Devices" keys that device, and the local one (checked too),
    // with the new network password.
    const QString local = QString::fromStdString(formatMac(net->local().mac.data()));
    securityItem(local)->setCheckState(kSecCheckColumn, Qt::Checked);
    securityPage()->keyEdit()->setText(QStringLiteral("NewNetKey1"));
    user.expect({box(QString::fromLatin1(kConfirmKeyText)), 700, press(QMessageBox::Ok)});
    QTest::mouseClick(securityPage()->setSelectedButton(), Qt::LeftButton);
    ASSERT_TRUE(
        waitFor([&] { return user.done() && !QApplication::activeModalWidget(); }, 30 * 1000));
    EXPECT_EQ(sim::nmkOf("NewNetKey1"), net->station(kRemote1.toStdString()).nmk);
    EXPECT_EQ(sim::nmkOf("NewNetKey1"), net->local().nmk)
        << "boxes: " << user.boxes.size() << " last: " << user.boxes.back().toStdString();
    EXPECT_NE(sim::nmkOf("NewNetKey1"), net->station(kRemote2.toStdString()).nmk);
    EXPECT_TRUE(sheet->isVisible());
}

// The flow a new user tries: check a remote row, type its device password in
// the dialog, wait one interval, press "Set Selected Devices". The answer must
// always be the confirmation, never that no device is selected: the check is
// the user's choice of a device, and neither the dialog's end, nor the
// interval's clearing and refilling of the lists, nor the moment of the press
// within the cycle may lose it. Fifty times, each press at another moment of
// the cycle; the confirmation is cancelled so nothing is keyed.
TEST_F(HalyardLive, CheckPasswordThenSetSelectedNeverLosesTheCheckInFiftyRuns) {
    open();
    sheet->tabs()->setCurrentWidget(securityPage());
    securityPage()->keyEdit()->setText(QStringLiteral("NewNetKey1"));
    const QString confirm = QString::fromLatin1(kConfirmKeyText);
    const QString noneSelected = QStringLiteral("There is no device been selected.");
    QPushButton* setSelected = securityPage()->setSelectedButton();
    constexpr int kRuns = 50;
    for (int run = 0; run < kRuns; ++run) {
        SCOPED_TRACE(run);
        ASSERT_TRUE(waitFor([&] { return securityItem(kRemote1) != nullptr; }, 3 * kIntervalMs));
        if (securityItem(kRemote1)->checkState(kSecCheckColumn) == Qt::Checked)
            securityItem(kRemote1)->setCheckState(kSecCheckColumn, Qt::Unchecked);
        ASSERT_FALSE(securityDeviceChecked(kRemote1.toStdString()));

        user.expect({dialog("setDevicePasswordDialog"), 150, [](QWidget* d) {
                         typeInto(d, "passwordEdit", QString::fromLatin1(kRemote1Password));
                         click(d, "okButton");
                     }});
        securityItem(kRemote1)->setCheckState(kSecCheckColumn, Qt::Checked);
        ASSERT_TRUE(waitFor([&] { return user.done() && !QApplication::activeModalWidget(); },
                            3 * kIntervalMs));

        // One interval, ending at another moment of the cycle in every run.
        QTest::qWait(kIntervalMs + run * kIntervalMs / kRuns);
        ASSERT_TRUE(waitFor([&] { return setSelected->isEnabled(); }, 2 * kIntervalMs));
        const size_t before = user.boxes.size();
        user.expect({box(confirm), 100, press(QMessageBox::Cancel)});
        QTest::mouseClick(setSelected, Qt::LeftButton);
        const bool answered = waitFor(
            [&] { return user.done() && !QApplication::activeModalWidget(); }, 2 * kIntervalMs);
        const std::vector<QString> shown(user.boxes.begin() + static_cast<long>(before),
                                         user.boxes.end());
        EXPECT_EQ(0, std::count(shown.begin(), shown.end(), noneSelected))
            << "the check was lost in run " << run;
        ASSERT_TRUE(answered) << "no confirmation in run " << run;
        EXPECT_TRUE(securityDeviceChecked(kRemote1.toStdString()));
    }
    EXPECT_TRUE(sheet->isVisible());
}

TEST_F(HalyardLive, AddDeviceCancelledAfterOk) {
    open();
    sheet->tabs()->setCurrentWidget(securityPage());
    bool cancelledWhileWaiting = false;
    user.expect({dialog("addDeviceDialog"), 700, [&](QWidget* d) {
                     typeInto(d, "nameEdit", QStringLiteral("Workshop"));
                     typeInto(d, "passwordEdit", QString::fromLatin1(kGaragePassword));
                     click(d, "okButton"); // the addition runs (its fixed waits included)
                     // The dialog now waits for the device; the user gives up.
                     if (d->isVisible()) {
                         cancelledWhileWaiting = addingDevice != 0;
                         click(d, "cancelButton");
                     }
                 }});
    QTest::mouseClick(securityPage()->addDeviceButton(), Qt::LeftButton);
    ASSERT_TRUE(
        waitFor([&] { return user.done() && !QApplication::activeModalWidget(); }, 60 * 1000));
    if (!cancelledWhileWaiting)
        GTEST_SKIP() << "the refresh closed the dialog before Cancel could be pressed";
    // Nothing waits for the device any more.
    EXPECT_EQ(0, addingDevice);
    uint8_t zero[6] = {};
    EXPECT_EQ(0, std::memcmp(zero, addedDeviceMac, 6));
    // Two intervals later halyard runs and no other device took the name.
    QTest::qWait(2 * kIntervalMs + 500);
    for (int k = 0; k < deviceCount; ++k) {
        if (std::string(deviceTable[k].name) == "Workshop") {
            EXPECT_EQ(kGarage.toStdString(), formatMac(deviceTable[k].mac));
        }
    }
    EXPECT_EQ(entryName(kRemote1), listedName(kRemote1).toStdString());
    EXPECT_TRUE(sheet->isVisible());
}

TEST_F(HalyardLive, ClicksDuringTheFixedWaitsOfSetSelectedDevicesAreDiscarded) {
    open();
    sheet->tabs()->setCurrentWidget(securityPage());
    ASSERT_TRUE(waitFor([&] { return securityItem(kRemote1) != nullptr; }, 2 * kIntervalMs));
    // The local device only: no password dialog.
    const QString local = QString::fromStdString(formatMac(net->local().mac.data()));
    ASSERT_NE(nullptr, securityItem(local));
    securityItem(local)->setCheckState(kSecCheckColumn, Qt::Checked);
    securityPage()->keyEdit()->setText(QStringLiteral("OtherKey22"));

    // While the operation sleeps in its fixed waits the user keeps clicking
    // "Set Selected Devices" and the sheet's Close button.
    int clicksInWaits = 0;
    QTimer clicker;
    QObject::connect(&clicker, &QTimer::timeout, [&] {
        if (!UiClock::insideWait() || QApplication::activeModalWidget() != nullptr)
            return;
        ++clicksInWaits;
        QTest::mouseClick(securityPage()->setSelectedButton(), Qt::LeftButton);
        QTest::mouseClick(sheet->closeButton(), Qt::LeftButton);
        QTest::keyClick(securityPage()->keyEdit(), Qt::Key_X);
    });
    clicker.start(40);

    const QString confirm = QString::fromLatin1(kConfirmKeyText);
    user.expect({box(confirm), 300, press(QMessageBox::Ok)});
    QTest::mouseClick(securityPage()->setSelectedButton(), Qt::LeftButton);
    ASSERT_TRUE(
        waitFor([&] { return user.done() && !QApplication::activeModalWidget(); }, 30 * 1000));
    // Whatever was clicked meanwhile is gone, not replayed now.
    QTest::qWait(kIntervalMs);
    clicker.stop();
    EXPECT_GT(clicksInWaits, 0);
    EXPECT_EQ(1, std::count(user.boxes.begin(), user.boxes.end(), confirm));
    EXPECT_EQ(QStringLiteral("OtherKey22"), securityPage()->keyEdit()->text());
    EXPECT_EQ(sim::nmkOf("OtherKey22"), net->local().nmk);
    EXPECT_TRUE(sheet->isVisible());
}

TEST_F(HalyardLive, ScanWithAutoScanOffListsTheRemoteAdapters) {
    open(false);
    // No automatic cycle runs: two intervals later the list is as the first
    // scan left it, and Scan itself finds the remotes again.
    QTest::qWait(2 * kIntervalMs);
    EXPECT_GE(mainRow(kRemote1), 0);
    QTest::mouseClick(sheet->mainPage()->scanButton(), Qt::LeftButton);
    ASSERT_TRUE(
        waitFor([&] { return mainRow(kRemote1) >= 0 && mainRow(kRemote2) >= 0; }, kIntervalMs));
    EXPECT_LT(mainRow(kGarage), 0); // on another network
    EXPECT_EQ(QStringLiteral("Powerline Devices : 3"), sheet->mainPage()->countLabel()->text());
    EXPECT_TRUE(sheet->mainPage()->scanButton()->isEnabled());
    ASSERT_GE(securityPage()->deviceList()->topLevelItemCount(), 3);
}

} // namespace
