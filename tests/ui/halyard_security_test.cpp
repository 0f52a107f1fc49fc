// The Security page widget against the emulator over the in-memory wire: the
// list after the first scan and one automatic cycle, a check box that opens
// the password dialog, a network password typed into the key edit and
// applied with "Set Selected Devices" to the emulated adapters, the refusals,
// "Use Default (Public Network)", and the screenshot.
#include <QApplication>
#include <QGroupBox>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "maintenance/av_maintenance.h"
#include "network/auto_scan.h"
#include "network/hp10_frames.h"
#include "network/model.h"
#include "network/scan.h"
#include "packet/memory_wire.h"
#include "packet/packet.h"
#include "platform/main_window.h"
#include "platform/messages.h"
#include "platform/working_folder.h"
#include "security/key_operations.h"
#include "security/keys.h"
#include "sim/network.h"
#include "storage/device_database.h"
#include "storage/preferences.h"
#include "support/emulated_halyard.h"
#include "support/temp_dir.h"
#include "ui/main_page_logic.h"
#include "ui/qt/device_dialogs.h"
#include "ui/qt/security_page.h"
#include "ui/security_page_logic.h"

namespace {

const uint8_t kHost[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
const char* const kLocal = "00:B0:52:00:00:10";
const char* const kRemote1 = "00:B0:52:00:00:11";
const char* const kRemote2 = "00:B0:52:00:00:12";
const char* const kPassword1 = "FIRS-TDEV-ICEP-ASS1";
const char* const kPassword2 = "SECO-NDDE-VICE-PAS2";
const char* const kUserNetwork = "Blue Harbour 42";

int mainWindow = 0;

struct DialogCall {
    int entry;
    QString text;
};

class SecurityPageUi : public ::testing::Test {
  protected:
    VirtualClock clock;
    MemoryWire wire{clock};
    RecordingMessages messages;
    ManualScanTimer timer;
    TempDir dir;
    sim::Network net;
    std::unique_ptr<SecurityPage> page;
    std::vector<DialogCall> dialogs;
    // What the stand-in password dialog stores for the next device.
    std::vector<std::string> typedPasswords;

    void SetUp() override {
        resetAllHalyardState();
        setSystemClock(&clock);
        setPacketDriver(&wire);
        setMessageSink(&messages);
        setScanTimer(&timer);
        mainWindowHandle = messageOwner(&mainWindow);
        copyText(preferences.appName, "Tollbeam");
        preferences.autoScan = 1;
        preferences.scanInterval = 30;
        preferences.iconSize = 24;
        preferences.color = 2; // blue text
        writeIcons();

        MemoryWire::Port p;
        p.name = "eth0";
        p.description = "eth0";
        std::memcpy(p.mac, kHost, 6);
        int port = wire.addPort(p);
        sim::Station local = sim::Station::av(kLocal);
        local.local = true;
        net.addStation(std::move(local));
        sim::Station one = sim::Station::av(kRemote1);
        one.setDevicePassword(kPassword1);
        net.addStation(std::move(one));
        sim::Station two = sim::Station::av(kRemote2);
        two.setDevicePassword(kPassword2);
        net.addStation(std::move(two));
        net.attach(wire, port);

        MainPageSetup setup;
        setup.workingFolder = dir.path();
        setup.useDataPlaces = true;
        setup.machineDataDirectory = dir.file("tollbeam");
        setup.fallbackDataDirectory = dir.file("fallback");
        ASSERT_TRUE(createMainPage(setup, &mainWindow));
        setWorkingFolder(dir.path());
        runCycle();

        page = std::make_unique<SecurityPage>();
        page->setPasswordDialog([this](QWidget* parent, int entry, const QString& text) {
            EXPECT_EQ(page.get(), parent);
            dialogs.push_back({entry, text});
            if (entry == 0 || typedPasswords.empty())
                return false;
            copyText(deviceTable[entry - 1].password, typedPasswords.front().c_str());
            typedPasswords.erase(typedPasswords.begin());
            return true;
        });
        page->resize(900, 420);
        page->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(page.get()));
    }
    void TearDown() override {
        page.reset();
        closeAllInterfaces();
        net.detach();
        setLocalDeviceObserver(nullptr);
        mainWindowHandle = nullptr;
        setWorkingFolder("");
        resetAllHalyardState();
        setScanTimer(nullptr);
        setPacketDriver(nullptr);
        setMessageSink(nullptr);
        setSystemClock(nullptr);
        resetDeviceModel();
    }

    // The two row pictures, 24-bit, in the working folder.
    void writeIcons() {
        for (auto [name, colour] : {std::pair{"oemDeviceIconLS.bmp", Qt::darkGreen},
                                    std::pair{"oemDeviceIconHS.bmp", Qt::darkRed}}) {
            QImage icon(24, 24, QImage::Format_RGB888);
            icon.fill(Qt::white);
            for (int y = 4; y < 20; ++y)
                for (int x = 6; x < 18; ++x)
                    icon.setPixelColor(x, y, QColor(colour));
            ASSERT_TRUE(icon.save(QString::fromStdString(dir.file(name)), "BMP"));
        }
    }

    void runCycle() {
        scanTickCount = intervalTicks - 1;
        for (int k = 0; k < 10; ++k) {
            timerTick();
            clock.advance(kTimerPeriodMs);
        }
    }

    QTreeWidget* list() const { return page->deviceList(); }

    QTreeWidgetItem* rowOf(const char* mac) const {
        for (int i = 0; i < list()->topLevelItemCount(); ++i)
            if (list()->topLevelItem(i)->text(kSecMacColumn) == QLatin1String(mac))
                return list()->topLevelItem(i);
        return nullptr;
    }

    // Clicks the check box of `item` as the user does.
    void clickCheckBox(QTreeWidgetItem* item) {
        ASSERT_NE(nullptr, item);
        QRect cell = list()->visualItemRect(item);
        QStyleOptionViewItem option;
        option.initFrom(list()->viewport());
        option.rect = QRect(list()->header()->sectionViewportPosition(kSecCheckColumn), cell.top(),
                            list()->columnWidth(kSecCheckColumn), cell.height());
        option.features |= QStyleOptionViewItem::HasCheckIndicator;
        option.features |= QStyleOptionViewItem::HasDecoration;
        option.decorationSize = list()->iconSize();
        QRect box =
            list()->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, list());
        QTest::mouseClick(list()->viewport(), Qt::LeftButton, {}, box.center());
        // The password dialog opens from the event loop, not inside the
        // list's item-changed signal.
        QApplication::processEvents();
    }

    void typeKey(const QString& text) {
        page->keyEdit()->clear();
        // The test library types ASCII only; other text arrives as input.
        bool ascii = true;
        for (QChar c : text)
            ascii = ascii && c.unicode() < 128;
        if (ascii)
            QTest::keyClicks(page->keyEdit(), text);
        else
            page->keyEdit()->insert(text);
    }

    std::vector<std::string> boxTexts() const {
        std::vector<std::string> texts;
        for (const RecordedMessage& m : messages.shown)
            texts.push_back(m.text);
        return texts;
    }
};

TEST_F(SecurityPageUi, ListsTheLocalDeviceFirstAndTheColumnsInTheirOrder) {
    ASSERT_EQ(3, list()->topLevelItemCount());
    QTreeWidgetItem* first = list()->topLevelItem(0);
    EXPECT_EQ(QLatin1String(kLocal), first->text(kSecMacColumn));
    EXPECT_EQ(QStringLiteral("Local"), first->text(kSecLocationColumn));
    EXPECT_EQ(QStringLiteral("Remote"), rowOf(kRemote1)->text(kSecLocationColumn));
    // An entry without a device password shows it empty.
    EXPECT_EQ(QString(), rowOf(kRemote1)->text(kSecPasswordColumn));
    EXPECT_EQ(Qt::Unchecked, first->checkState(0));
    EXPECT_FALSE(first->icon(0).isNull());
    // Left to right: check box, Device Name, Location, Device Password, MAC
    // Address, Firmware Version.
    QStringList shown;
    for (int visual = 0; visual < list()->columnCount(); ++visual)
        shown << list()->headerItem()->text(list()->header()->logicalIndex(visual));
    EXPECT_EQ((QStringList{"", "Device Name", "Location", "Device Password", "MAC Address",
                           "Firmware Version"}),
              shown);
    EXPECT_GE(list()->columnWidth(kSecFirmwareColumn), 310); // grows with the font
    EXPECT_EQ(QColor(0, 0, 255), list()->palette().color(QPalette::Text));
    // The controls of the key setting.
    EXPECT_EQ(QStringLiteral("Encryption Key Setting"), page->findChild<QGroupBox*>()->title());
    EXPECT_EQ(QStringLiteral("Use Default (Public Network)"), page->useDefaultButton()->text());
    EXPECT_EQ(QStringLiteral("Set Selected Devices"), page->setSelectedButton()->text());
    // Created with the network's password in the key edit.
    EXPECT_EQ(QStringLiteral("HomePlugAV"), page->keyEdit()->text());
}

TEST_F(SecurityPageUi, CheckingARemoteRowOpensThePasswordDialog) {
    typedPasswords = {kPassword1};
    clickCheckBox(rowOf(kLocal));
    EXPECT_EQ(Qt::Checked, rowOf(kLocal)->checkState(0));
    EXPECT_TRUE(dialogs.empty()); // the local device needs no password

    clickCheckBox(rowOf(kRemote1));
    ASSERT_EQ(1u, dialogs.size());
    int entry = findDeviceEntry(sim::parseMac(kRemote1).data());
    EXPECT_EQ(entry, dialogs[0].entry);
    EXPECT_EQ(
        QString::fromStdString(std::string(deviceTable[entry - 1].name) + "  (" + kRemote1 + ")"),
        dialogs[0].text);
    // The list was refilled: the password shows, the check stays.
    EXPECT_EQ(QLatin1String(kPassword1), rowOf(kRemote1)->text(kSecPasswordColumn));
    EXPECT_EQ(Qt::Checked, rowOf(kRemote1)->checkState(0));

    // Unchecking opens nothing.
    clickCheckBox(rowOf(kRemote1));
    EXPECT_EQ(Qt::Unchecked, rowOf(kRemote1)->checkState(0));
    EXPECT_EQ(1u, dialogs.size());
}

TEST_F(SecurityPageUi, TypedPasswordReachesTheCheckedAdapters) {
    typedPasswords = {kPassword1, kPassword2};
    clickCheckBox(rowOf(kLocal));
    clickCheckBox(rowOf(kRemote1));
    clickCheckBox(rowOf(kRemote2));
    ASSERT_EQ(2u, dialogs.size());
    typeKey(QString::fromLatin1(kUserNetwork));

    QTest::mouseClick(page->setSelectedButton(), Qt::LeftButton);

    EXPECT_EQ((std::vector<std::string>{kConfirmKeyText,
                                        "Encryption key has been changed successfully."}),
              boxTexts());
    EXPECT_EQ(sim::nmkOf(kUserNetwork), net.local().nmk);
    EXPECT_EQ(sim::nmkOf(kUserNetwork), net.station(kRemote1).nmk);
    EXPECT_EQ(sim::nmkOf(kUserNetwork), net.station(kRemote2).nmk);
    EXPECT_STREQ(kUserNetwork, networkRecords[currentInterface].keyLabel);
    EXPECT_EQ("Network Type : Private", mainPageState.networkText);
    // The key controls are usable again.
    EXPECT_TRUE(page->keyEdit()->isEnabled());
    EXPECT_TRUE(page->setSelectedButton()->isEnabled());
    EXPECT_TRUE(page->useDefaultButton()->isEnabled());

    // The next cycle lists the adapters on their new network; the screenshot.
    runCycle();
    EXPECT_EQ(3, list()->topLevelItemCount());
    page->pageActivated();
    EXPECT_EQ(QLatin1String(kUserNetwork), page->keyEdit()->text());
    setStatusText(" Scanning...");
    EXPECT_EQ(QStringLiteral(" Scanning..."), page->statusLabel()->text());
    clickCheckBox(rowOf(kLocal));
    QImage shot = page->grab().toImage();
    ASSERT_FALSE(shot.isNull());
    EXPECT_TRUE(shot.save(QStringLiteral(UI_SCREENSHOT_DIR "/halyard-security.png")));
}

TEST_F(SecurityPageUi, RefusalsShowTheirMessagesAndChangeNothing) {
    QTest::mouseClick(page->setSelectedButton(), Qt::LeftButton);
    ASSERT_EQ(1u, messages.shown.size());
    EXPECT_EQ("There is no device been selected.", messages.shown[0].text);
    EXPECT_EQ("Attention", messages.shown[0].caption);
    EXPECT_EQ(MessageIcon::Warning, messages.shown[0].icon);

    clickCheckBox(rowOf(kLocal));
    for (const char* key : {"abc", "abcdefghijklmnopqrstuvwxy", "Caf\xC3\xA9 au lait"}) {
        messages.shown.clear();
        typeKey(QString::fromUtf8(key));
        QTest::mouseClick(page->setSelectedButton(), Qt::LeftButton);
        ASSERT_EQ(1u, messages.shown.size()) << key;
        EXPECT_EQ(kInvalidKeyText, messages.shown[0].text);
        EXPECT_EQ("Invalid Entry", messages.shown[0].caption);
        EXPECT_EQ(MessageIcon::Error, messages.shown[0].icon);
    }
    messages.shown.clear();
    typeKey(QString::fromLatin1(kUserNetwork));
    messages.answerNext(MessageResult::Cancel);
    QTest::mouseClick(page->setSelectedButton(), Qt::LeftButton);
    EXPECT_EQ((std::vector<std::string>{kConfirmKeyText}), boxTexts());
    EXPECT_EQ(sim::defaultNmk(), net.local().nmk);
    EXPECT_STREQ("HomePlugAV", networkRecords[currentInterface].keyLabel);
    EXPECT_EQ(0, +keyChangedMark);
}

TEST_F(SecurityPageUi, UseDefaultPutsThePublicPasswordBack) {
    // The user first moves the local adapter onto a private network...
    clickCheckBox(rowOf(kLocal));
    typeKey(QStringLiteral("Old Private Net"));
    QTest::mouseClick(page->setSelectedButton(), Qt::LeftButton);
    EXPECT_EQ("Network Type : Private", mainPageState.networkText);
    // ... then back to the public one.
    messages.shown.clear();
    typeKey(QStringLiteral("something else"));
    QTest::mouseClick(page->useDefaultButton(), Qt::LeftButton);
    EXPECT_EQ(QStringLiteral("HomePlugAV"), page->keyEdit()->text());
    EXPECT_EQ(page->keyEdit()->text(), page->keyEdit()->selectedText());
    EXPECT_TRUE(messages.shown.empty()); // nothing is applied yet
    EXPECT_EQ(sim::nmkOf("Old Private Net"), net.local().nmk);
    ASSERT_NE(nullptr, rowOf(kLocal));
    if (rowOf(kLocal)->checkState(0) != Qt::Checked)
        clickCheckBox(rowOf(kLocal));
    QTest::mouseClick(page->setSelectedButton(), Qt::LeftButton);
    EXPECT_EQ(sim::defaultNmk(), net.local().nmk);
    EXPECT_EQ("Network Type : Public", mainPageState.networkText);
}

TEST_F(SecurityPageUi, TheRealPasswordDialogStoresWhatTheUserTypes) {
    page->setPasswordDialog(runSetDevicePasswordDialog);
    bool answered = false;
    QString label;
    QTimer::singleShot(50, [&] {
        QWidget* dialog = QApplication::activeModalWidget();
        ASSERT_NE(nullptr, dialog);
        for (QLabel* l : dialog->findChildren<QLabel*>())
            if (l->text().contains(QLatin1String(kRemote1)))
                label = l->text();
        QLineEdit* edit = dialog->findChild<QLineEdit*>();
        ASSERT_NE(nullptr, edit);
        edit->clear();
        QTest::keyClicks(edit, QString::fromLatin1(kPassword1));
        for (QPushButton* b : dialog->findChildren<QPushButton*>())
            if (b->text() == QStringLiteral("OK"))
                QTest::mouseClick(b, Qt::LeftButton);
        answered = true;
    });
    clickCheckBox(rowOf(kRemote1));
    EXPECT_TRUE(answered);
    int entry = findDeviceEntry(sim::parseMac(kRemote1).data());
    EXPECT_EQ(
        QString::fromStdString(std::string(deviceTable[entry - 1].name) + "  (" + kRemote1 + ")"),
        label);
    EXPECT_STREQ(kPassword1, deviceTable[entry - 1].password);
    EXPECT_EQ(QLatin1String(kPassword1), rowOf(kRemote1)->text(kSecPasswordColumn));
}

TEST_F(SecurityPageUi, AddDeviceOpensTheDialogAndScansWithoutAutoScan) {
    std::vector<QWidget*> parents;
    page->setAddDeviceDialog([&](QWidget* parent) {
        parents.push_back(parent);
        return false;
    });
    preferences.autoScan = 0;
    size_t sent = wire.sent.size();
    QTest::mouseClick(page->addDeviceButton(), Qt::LeftButton);
    ASSERT_EQ(1u, parents.size());
    EXPECT_EQ(page.get(), parents[0]);
    EXPECT_GT(wire.sent.size(), sent); // scanned now
    // Without AutoScan the Scan runs one whole cycle: the remotes are listed.
    EXPECT_EQ(3, list()->topLevelItemCount());
}

// Every interval empties the lists and the cycle refills them. The rows on
// screen stay through it: the same items (a screen reader's objects), in the
// same order with the same texts; Qt reports no removed or inserted rows.
TEST_F(SecurityPageUi, AnIntervalKeepsEveryRowsItemInPlace) {
    std::vector<QTreeWidgetItem*> before;
    QStringList texts;
    for (int i = 0; i < list()->topLevelItemCount(); ++i) {
        before.push_back(list()->topLevelItem(i));
        for (int c = 0; c < kSecurityColumnCount; ++c)
            texts << list()->topLevelItem(i)->text(c);
    }
    ASSERT_EQ(3u, before.size());
    int removed = 0;
    int inserted = 0;
    QObject::connect(list()->model(), &QAbstractItemModel::rowsRemoved, [&] { ++removed; });
    QObject::connect(list()->model(), &QAbstractItemModel::rowsInserted, [&] { ++inserted; });
    for (int cycle = 0; cycle < 3; ++cycle)
        runCycle();
    ASSERT_EQ(3, list()->topLevelItemCount());
    QStringList after;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(before[static_cast<size_t>(i)], list()->topLevelItem(i)) << "row " << i;
        for (int c = 0; c < kSecurityColumnCount; ++c)
            after << list()->topLevelItem(i)->text(c);
    }
    EXPECT_EQ(texts, after);
    EXPECT_EQ(0, removed);
    EXPECT_EQ(0, inserted);
}

// A check given while a cycle has emptied the model but the row is still on
// screen is the check of that row's device, by its MAC, and is kept: the
// password dialog opens for that device and "Set Selected Devices" keys it.
TEST_F(SecurityPageUi, ACheckGivenWhileTheCycleRefillsTheListIsKept) {
    typedPasswords = {kPassword1};
    // The interval's first tick: the model is emptied, the cycle begins.
    scanTickCount = intervalTicks - 1;
    timerTick();
    ASSERT_FALSE(securityActionsEnabled);
    ASSERT_EQ(-1, [] {
        for (size_t i = 0; i < securityList.size(); ++i)
            if (securityList[i].cells[kSecMacColumn] == kRemote1)
                return static_cast<int>(i);
        return -1;
    }());
    ASSERT_NE(nullptr, rowOf(kRemote1)) << "the row stays on screen during the cycle";
    clickCheckBox(rowOf(kRemote1));
    ASSERT_EQ(1u, dialogs.size());
    EXPECT_NE(-1, dialogs[0].text.indexOf(QLatin1String(kRemote1)));
    EXPECT_TRUE(securityDeviceChecked(kRemote1));
    // The rest of the cycle, then the next interval's.
    for (int k = 0; k < 10; ++k) {
        clock.advance(kTimerPeriodMs);
        timerTick();
    }
    runCycle();
    ASSERT_NE(nullptr, rowOf(kRemote1));
    EXPECT_EQ(Qt::Checked, rowOf(kRemote1)->checkState(0));
    std::vector<SecurityRow> rows = securityRowsForKeys();
    int checked = 0;
    for (const SecurityRow& row : rows)
        checked += row.checked && row.cells[kSecMacColumn] == kRemote1 ? 1 : 0;
    EXPECT_EQ(1, checked);
}

TEST_F(SecurityPageUi, AutomaticCycleDisablesTheActionButtons) {
    setSecurityActionsEnabled(false);
    EXPECT_FALSE(page->setSelectedButton()->isEnabled());
    EXPECT_FALSE(page->useDefaultButton()->isEnabled());
    EXPECT_TRUE(page->keyEdit()->isEnabled());
    setSecurityActionsEnabled(true);
    EXPECT_TRUE(page->setSelectedButton()->isEnabled());
}

} // namespace
