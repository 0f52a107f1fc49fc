// The real halyard window against the emulator over the in-memory wire: the
// property sheet with its pages, caption and single Close button, the Main
// page's list after the first scan and one automatic cycle, Scan, rename in
// place kept in the database, factory reset with its confirmation, the
// firmware-upgrade refusal, sorting and the saved column layout, a second
// copy that ends without a window, the window's seams (repainting clock,
// timer) and the screenshot of the Main page.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "network/auto_scan.h"
#include "network/model.h"
#include "platform/single_instance.h"
#include "storage/device_database.h"
#include "storage/preferences.h"
#include "support/bmp_builder.h"
#include "support/emulated_halyard.h"
#include "ui/main_page_logic.h"
#include "ui/qt/main_page.h"
#include "ui/qt/property_sheet.h"
#include "ui/qt/security_page.h"
#include "ui/qt/ui_seams.h"
#include "ui/shell.h"

namespace {

constexpr uint32_t kAvBlue = 0x1F5FBF;
constexpr uint32_t kTurboOrange = 0xE07A1F;
constexpr uint32_t kHp10Grey = 0x707070;

// A 24 x 24 adapter: a body of `body` colour with a green light on white.
std::vector<uint8_t> adapterPicture(uint32_t body) {
    return bmp::trueColour(24, 24, [body](int x, int y) -> uint32_t {
        if (x >= 9 && x <= 11 && y >= 5 && y <= 7)
            return 0x30D040;
        if (x >= 5 && x <= 18 && y >= 2 && y <= 21)
            return body;
        return 0xFFFFFF;
    });
}

// The certification badge drawn on the Main page.
std::vector<uint8_t> certPicture() {
    return bmp::trueColour(64, 22, [](int x, int y) -> uint32_t {
        int dx = x < 11 ? 11 - x : x > 52 ? x - 52 : 0;
        int dy = y - 11;
        if (dx * dx + dy * dy > 110)
            return 0xFFFFFF;
        return (x / 4 + y / 4) % 2 ? 0x2E8B57 : 0x3CB371;
    });
}

class HalyardMain : public ::testing::Test {
  protected:
    EmulatedHalyard h;
    sim::Network* net = nullptr;

    void SetUp() override {
        h.writePreferences(EmulatedHalyard::defaultPreferences());
        writeFileBytes(h.dir.file("oemDevice.bmp"), adapterPicture(kAvBlue));
        writeFileBytes(h.dir.file("oemDeviceIconHS.bmp"), adapterPicture(kTurboOrange));
        writeFileBytes(h.dir.file("oemDeviceIconLS.bmp"), adapterPicture(kHp10Grey));
        writeFileBytes(h.dir.file("cert.bmp"), certPicture());
        net = &h.attachScenario("home.json");
    }

    // Start-up as the program does it, the sheet shown, one automatic cycle.
    std::unique_ptr<PropertySheet> openSheet() {
        EXPECT_TRUE(startShell(h.workingFolder()));
        MainPage::setSetup(h.setup());
        auto sheet = std::make_unique<PropertySheet>();
        sheet->show();
        h.tick(20);
        QApplication::processEvents();
        return sheet;
    }

    static QTreeWidget* list(PropertySheet& sheet) { return sheet.mainPage()->deviceList(); }
    static int column(MainColumn kind) { return mainColumnIndex(kind); }
    static QStringList columnTexts(PropertySheet& sheet, MainColumn kind) {
        QStringList out;
        QTreeWidget* l = list(sheet);
        for (int i = 0; i < l->topLevelItemCount(); ++i)
            out << l->topLevelItem(i)->text(column(kind));
        return out;
    }
    static int rowOf(PropertySheet& sheet, const QString& mac) {
        return columnTexts(sheet, MainColumn::Mac).indexOf(mac);
    }
    static void select(PropertySheet& sheet, int row) {
        QTreeWidget* l = list(sheet);
        l->setCurrentItem(l->topLevelItem(row));
    }
};

TEST_F(HalyardMain, SheetHasItsPagesCaptionAndOneCloseButton) {
    auto sheet = openSheet();
    EXPECT_EQ(QStringLiteral("Tollbeam"), sheet->windowTitle());
    QStringList titles;
    for (int i = 0; i < sheet->tabs()->count(); ++i)
        titles << sheet->tabs()->tabText(i);
    EXPECT_EQ((QStringList{"Main", "Security", "Diagnostics", "About"}), titles);
    EXPECT_EQ(0, sheet->tabs()->currentIndex());
    EXPECT_TRUE(sheet->windowFlags() & Qt::WindowMinimizeButtonHint);
    // Besides the pages' own buttons the sheet has one: "Close".
    int sheetButtons = 0;
    for (QPushButton* b : sheet->findChildren<QPushButton*>())
        if (!sheet->tabs()->isAncestorOf(b)) {
            ++sheetButtons;
            EXPECT_EQ(QStringLiteral("Close"), b->text());
        }
    EXPECT_EQ(1, sheetButtons);
    MainPage* page = sheet->mainPage();
    EXPECT_EQ(QStringLiteral("Rename"), page->renameButton()->text());
    EXPECT_EQ(QStringLiteral("Factory Reset"), page->factoryResetButton()->text());
    EXPECT_EQ(QStringLiteral("Firmware Upgrade"), page->firmwareUpgradeButton()->text());
    EXPECT_EQ(QStringLiteral("Scan"), page->scanButton()->text());
    EXPECT_TRUE(page->scanButton()->isDefault());
}

TEST_F(HalyardMain, WithoutDiagnosticsTheSheetHasThreePages) {
    PrefsFile prefs = EmulatedHalyard::defaultPreferences();
    prefs.diagnosticsLevel = 0;
    h.writePreferences(prefs);
    auto sheet = openSheet();
    QStringList titles;
    for (int i = 0; i < sheet->tabs()->count(); ++i)
        titles << sheet->tabs()->tabText(i);
    EXPECT_EQ((QStringList{"Main", "Security", "About"}), titles);
}

TEST_F(HalyardMain, ListShowsTheDevicesWithNamesMacsAndRates) {
    auto sheet = openSheet();
    QTreeWidget* l = list(*sheet);
    QStringList headers;
    for (int c = 0; c < l->columnCount(); ++c)
        headers << l->headerItem()->text(c);
    EXPECT_EQ((QStringList{"Device Name", "Firmware Version", "MAC Address", "Link Rate (Mbps)",
                           "Quality", "Location"}),
              headers);
    // Display order: every later column directly after "Device Name".
    QStringList shown;
    for (int v = 0; v < l->columnCount(); ++v)
        shown << l->headerItem()->text(l->header()->logicalIndex(v));
    EXPECT_EQ((QStringList{"Device Name", "Location", "Quality", "Link Rate (Mbps)", "MAC Address",
                           "Firmware Version"}),
              shown);
    EXPECT_TRUE(l->header()->sectionsMovable());

    EXPECT_EQ((QStringList{"00:B0:52:00:00:10", "00:B0:52:00:00:11", "00:B0:52:00:00:12"}),
              columnTexts(*sheet, MainColumn::Mac));
    EXPECT_EQ((QStringList{"Local", "Remote", "Remote"}),
              columnTexts(*sheet, MainColumn::Location));
    for (const QString& name : columnTexts(*sheet, MainColumn::Name))
        EXPECT_TRUE(name.startsWith("Device ")) << name.toStdString();
    QStringList rates = columnTexts(*sheet, MainColumn::Rate);
    EXPECT_EQ(QStringLiteral("200.00"), rates[0]);
    for (const QString& rate : rates) {
        bool ok = false;
        EXPECT_GT(rate.toDouble(&ok), 0.0) << rate.toStdString();
        EXPECT_TRUE(ok);
    }
    EXPECT_EQ(QStringLiteral("Excellent"), columnTexts(*sheet, MainColumn::Quality)[0]);
    EXPECT_EQ(QStringLiteral("Powerline Devices : 3"), sheet->mainPage()->countLabel()->text());
    EXPECT_EQ(QStringLiteral("Network Type : Public"), sheet->mainPage()->networkLabel()->text());
    EXPECT_TRUE(h.messages.shown.empty());

    // HomePlug AV rows carry the picture of oemDevice.bmp, at the icon size.
    EXPECT_EQ(QSize(24, 24), l->iconSize());
    QImage icon = l->topLevelItem(1)->icon(0).pixmap(24, 24).toImage();
    EXPECT_EQ(kAvBlue, icon.pixel(6, 20) & 0xFFFFFF);

    // The screenshot of the Main page, for the documentation.
    sheet->resize(900, 420);
    QApplication::processEvents();
    QImage shot = sheet->grab().toImage();
    EXPECT_FALSE(shot.isNull());
    EXPECT_TRUE(shot.save(QStringLiteral(UI_SCREENSHOT_DIR "/halyard-main.png")));
}

// An icon size far beyond a list row's from the branding file: the rows get
// icons of the largest allowed size, not pictures of gigabytes; a negative
// size means no icons, as 0 does.
TEST_F(HalyardMain, IconSizeFromTheBrandingIsClamped) {
    PrefsFile prefs = EmulatedHalyard::defaultPreferences();
    prefs.iconSize = 32767;
    h.writePreferences(prefs);
    auto sheet = openSheet();
    EXPECT_EQ(QSize(kMaxRowIconSize, kMaxRowIconSize), list(*sheet)->iconSize());
    auto* security = qobject_cast<SecurityPage*>(sheet->page(QStringLiteral("Security")));
    ASSERT_NE(nullptr, security);
    EXPECT_EQ(QSize(kMaxRowIconSize, kMaxRowIconSize), security->deviceList()->iconSize());
    ASSERT_GT(list(*sheet)->topLevelItemCount(), 0);
    const QList<QSize> sizes = list(*sheet)->topLevelItem(0)->icon(0).availableSizes();
    for (const QSize& size : sizes)
        EXPECT_LE(size.width(), kMaxRowIconSize);
}

TEST_F(HalyardMain, NegativeIconSizeMeansNoIcons) {
    PrefsFile prefs = EmulatedHalyard::defaultPreferences();
    prefs.iconSize = -5;
    h.writePreferences(prefs);
    auto sheet = openSheet();
    ASSERT_GT(list(*sheet)->topLevelItemCount(), 0);
    EXPECT_TRUE(list(*sheet)->topLevelItem(0)->icon(0).isNull());
}

TEST_F(HalyardMain, ScanButtonFindsANewDevice) {
    auto sheet = openSheet();
    net->addStation(sim::Station::av("00:B0:52:00:00:13"));
    QTest::mouseClick(sheet->mainPage()->scanButton(), Qt::LeftButton);
    h.tick(20);
    QApplication::processEvents();
    EXPECT_GE(rowOf(*sheet, "00:B0:52:00:00:13"), 0);
    EXPECT_EQ(QStringLiteral("Powerline Devices : 4"), sheet->mainPage()->countLabel()->text());
}

TEST_F(HalyardMain, RenameInPlaceIsKeptInTheDatabase) {
    auto sheet = openSheet();
    int row = rowOf(*sheet, "00:B0:52:00:00:12");
    ASSERT_GE(row, 0);
    select(*sheet, row);
    busyFlag = 0;
    QTest::mouseClick(sheet->mainPage()->renameButton(), Qt::LeftButton);
    auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
    ASSERT_NE(nullptr, editor);
    EXPECT_EQ(1, busyFlag); // the automatic scan waits while the name is edited
    editor->selectAll();
    QTest::keyClicks(editor, "Bedroom");
    QTest::keyClick(editor, Qt::Key_Return);
    QTest::qWait(50); // the rename rules run once the editor has closed
    EXPECT_EQ(0, busyFlag);
    EXPECT_EQ(QStringLiteral("Bedroom"), list(*sheet)->topLevelItem(row)->text(0));
    EXPECT_TRUE(h.messages.shown.empty());

    // A name another device bears is refused; the row keeps its name.
    int other = rowOf(*sheet, "00:B0:52:00:00:11");
    select(*sheet, other);
    QTest::mouseClick(sheet->mainPage()->renameButton(), Qt::LeftButton);
    editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
    ASSERT_NE(nullptr, editor);
    QString before = list(*sheet)->topLevelItem(other)->text(0);
    editor->selectAll();
    QTest::keyClicks(editor, "Bedroom");
    QTest::keyClick(editor, Qt::Key_Return);
    QTest::qWait(50);
    ASSERT_EQ(1u, h.messages.shown.size());
    EXPECT_EQ("Please enter another name.", h.messages.shown[0].text);
    EXPECT_EQ(before, list(*sheet)->topLevelItem(other)->text(0));

    // The file has it.
    sheet.reset();
    resetDeviceModel();
    ASSERT_EQ(DatabaseLoad::Loaded, loadDeviceDatabase());
    const uint8_t mac[6] = {0x00, 0xB0, 0x52, 0x00, 0x00, 0x12};
    int index = findDeviceEntry(mac);
    ASSERT_GT(index, 0);
    EXPECT_STREQ("Bedroom", deviceTable[index - 1].name);
}

TEST_F(HalyardMain, RenameWithoutSelectionIsRefused) {
    auto sheet = openSheet();
    list(*sheet)->clearSelection();
    QTest::mouseClick(sheet->mainPage()->renameButton(), Qt::LeftButton);
    ASSERT_EQ(1u, h.messages.shown.size());
    EXPECT_EQ("There is no device been selected.", h.messages.shown[0].text);
}

TEST_F(HalyardMain, FactoryResetAsksFirstThenResetsTheSelectedDevice) {
    auto sheet = openSheet();
    int row = rowOf(*sheet, "00:B0:52:00:00:11");
    ASSERT_GE(row, 0);
    select(*sheet, row);
    h.messages.answerNext(MessageResult::Cancel);
    QTest::mouseClick(sheet->mainPage()->factoryResetButton(), Qt::LeftButton);
    ASSERT_EQ(1u, h.messages.shown.size());
    EXPECT_EQ("Do you want to reset factory default ?", h.messages.shown[0].text);
    EXPECT_EQ(0u, net->station("00:B0:52:00:00:11").factoryResets);

    QTest::mouseClick(sheet->mainPage()->factoryResetButton(), Qt::LeftButton);
    ASSERT_EQ(3u, h.messages.shown.size());
    EXPECT_EQ("Device has been reset to factory default successfully.", h.messages.shown[2].text);
    EXPECT_EQ(1u, net->station("00:B0:52:00:00:11").factoryResets);
}

TEST_F(HalyardMain, FirmwareUpgradeOnlyForTheLocalDevice) {
    auto sheet = openSheet();
    int upgrades = 0;
    MainPage::Dialogs dialogs;
    dialogs.firmwareUpgrade = [&](QWidget*) { ++upgrades; };
    sheet->mainPage()->setDialogs(dialogs);
    select(*sheet, 1);
    QTest::mouseClick(sheet->mainPage()->firmwareUpgradeButton(), Qt::LeftButton);
    ASSERT_EQ(1u, h.messages.shown.size());
    EXPECT_EQ("Firmware upgrade is only for local device.", h.messages.shown[0].text);
    EXPECT_EQ(0, upgrades);
    select(*sheet, 0);
    QTest::mouseClick(sheet->mainPage()->firmwareUpgradeButton(), Qt::LeftButton);
    EXPECT_EQ(1, upgrades);
}

TEST_F(HalyardMain, HeaderClickSortsAndTheLayoutIsSavedWhenTheSheetCloses) {
    auto sheet = openSheet();
    QTreeWidget* l = list(*sheet);
    QHeaderView* header = l->header();
    // Clicking the MAC column twice: down, then up.
    int mac = column(MainColumn::Mac);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                      QPoint(header->sectionViewportPosition(mac) + 5, header->height() / 2));
    EXPECT_EQ((QStringList{"00:B0:52:00:00:12", "00:B0:52:00:00:11", "00:B0:52:00:00:10"}),
              columnTexts(*sheet, MainColumn::Mac));
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                      QPoint(header->sectionViewportPosition(mac) + 5, header->height() / 2));
    EXPECT_EQ((QStringList{"00:B0:52:00:00:10", "00:B0:52:00:00:11", "00:B0:52:00:00:12"}),
              columnTexts(*sheet, MainColumn::Mac));

    // The user moves "MAC Address" after "Location" and widens the name.
    header->moveSection(header->visualIndex(mac), 2);
    header->resizeSection(0, 201);
    EXPECT_EQ(201, deviceListLayout.columnWidths[0]);
    sheet->closeButton()->click();
    EXPECT_EQ(QDialog::Accepted, sheet->result());
    EXPECT_EQ(201, deviceListLayout.columnWidths[0]);
    sheet.reset();

    // The next start shows the list as it was left.
    resetMainPage();
    deviceListLayout = {};
    auto again = openSheet();
    QHeaderView* header2 = list(*again)->header();
    EXPECT_EQ(2, header2->visualIndex(mac));
    EXPECT_EQ(201, header2->sectionSize(0));
}

TEST_F(HalyardMain, WindowDoesNotCloseInsideAnOperationsWait) {
    auto sheet = openSheet();
    UiClock ui;
    bool asked = false;
    // The close box is handled while a wait keeps the window painted.
    QTimer::singleShot(10, sheet.get(), [&] {
        asked = true;
        sheet->close();
    });
    ui.sleepMs(80);
    EXPECT_TRUE(asked);
    EXPECT_TRUE(sheet->isVisible());
    sheet->close(); // once the operation is done it closes
    EXPECT_FALSE(sheet->isVisible());
}

TEST_F(HalyardMain, LargerFontWidensTheSheetSoNoListScrollsSideways) {
    // The offscreen platform's own screen is 800 pixels wide, narrower than
    // the sheet; the test then runs itself again on a desktop-sized screen.
    if (QApplication::primaryScreen()->availableGeometry().width() < 1600) {
        const std::string config = h.dir.file("screens.json");
        writeFileText(config, std::string(R"({"screens": [{"name": "desktop", "x": 0, "y": 0,
            "width": 1920, "height": 1200, "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})"));
        QProcess again;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", QString::fromStdString("offscreen:configfile=" + config));
        again.setProcessEnvironment(env);
        again.start(QCoreApplication::applicationFilePath(),
                    {"--gtest_filter=HalyardMain.LargerFontWidensTheSheetSoNoListScrollsSideways"});
        ASSERT_TRUE(again.waitForFinished(60000));
        const QString output = QString::fromLocal8Bit(again.readAll());
        EXPECT_EQ(0, again.exitCode()) << output.toStdString();
        EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.toStdString();
        return;
    }
    const QFont normal = QApplication::font();
    struct Restore {
        QFont font;
        ~Restore() { QApplication::setFont(font); }
    } restore{normal};
    QFont large = normal;
    large.setPointSizeF(normal.pointSizeF() * 1.6);
    QApplication::setFont(large);

    auto sheet = openSheet();
    QTest::qWait(50);
    EXPECT_GT(sheet->width(), 860);
    auto* security = sheet->findChild<SecurityPage*>();
    ASSERT_NE(nullptr, security);
    sheet->tabs()->setCurrentWidget(security);
    QTest::qWait(50);
    for (QTreeWidget* l : {list(*sheet), security->deviceList()}) {
        EXPECT_EQ(0, l->horizontalScrollBar()->maximum())
            << "a list scrolls sideways: " << l->header()->length() << " wide in "
            << l->viewport()->width();
        for (int c = 0; c < l->columnCount(); ++c)
            EXPECT_GE(l->header()->sectionSize(c), headerTextWidth(*l->header(), c)) << c;
    }
}

TEST_F(HalyardMain, SecondCopyEndsWithoutAWindow) {
    // This test process is the copy that runs.
    ASSERT_TRUE(acquireSingleInstance(kInstanceLockName));
    QProcess program;
    program.setWorkingDirectory(QString::fromStdString(h.workingFolder()));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    program.setProcessEnvironment(env);
    program.start(QStringLiteral(HALYARD_BINARY), {});
    ASSERT_TRUE(program.waitForFinished(20000));
    EXPECT_EQ(QProcess::NormalExit, program.exitStatus());
    EXPECT_EQ(0, program.exitCode());
    QString err = QString::fromLocal8Bit(program.readAllStandardError());
    EXPECT_TRUE(err.contains("Tollbeam is already running.\nOnly one copy can run at a time."))
        << err.toStdString();
    EXPECT_FALSE(err.contains("Powerline")) << "it went on to scan";
    releaseSingleInstance();
}

// ---- The window's seams -----------------------------------------------------------------------

TEST(HalyardSeams, SleepsKeepHandlingEventsAndHoldBackTheScanTimer) {
    UiClock ui;
    QtScanTimer scanTimer;
    int ticks = 0;
    unsigned id = scanTimer.start(5, [&] { ++ticks; });
    int fired = 0;
    QTimer other;
    other.setInterval(5);
    QObject::connect(&other, &QTimer::timeout, [&] {
        ++fired;
        EXPECT_TRUE(UiClock::insideWait());
    });
    other.start();
    QElapsedTimer elapsed;
    elapsed.start();
    ui.sleepMs(120);
    other.stop();
    EXPECT_GE(elapsed.elapsed(), 119);
    EXPECT_GT(fired, 0); // the window kept handling its events
    EXPECT_EQ(0, ticks); // but the automatic scan did not run inside the wait
    QTest::qWait(60);
    EXPECT_GT(ticks, 0); // outside a wait it ticks
    scanTimer.stop(id);
    int after = ticks;
    QTest::qWait(30);
    EXPECT_EQ(after, ticks);
}

// Between cycles the real timer wakes once per batch of idle ticks, counts
// every tick it let pass, and runs the routine for the tick that starts the
// next cycle on time; while the coming ticks do work it ticks every period.
TEST(HalyardSeams, IdleTicksPassInBatchesAndTheCycleTickStillRuns) {
    QtScanTimer scanTimer;
    int idleLeft = 0;     // ticks that would only count
    int counted = 0;      // ticks counted, passed or run
    std::vector<int> ran; // the count at each run of the routine
    IdleTicks idle{[&] { return idleLeft; },
                   [&](int n) {
                       EXPECT_LE(n, idleLeft);
                       idleLeft -= n;
                       counted += n;
                   }};
    unsigned id = scanTimer.start(
        10,
        [&] {
            ++counted;
            ran.push_back(counted);
            // The routine's tick starts work after 30 ticks of idle.
            if (counted == 5)
                idleLeft = 29;
            else if (idleLeft > 0)
                --idleLeft;
        },
        idle);
    QElapsedTimer elapsed;
    elapsed.start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return counted >= 40; }, 5000));
    scanTimer.stop(id);
    // Ticks 1..5 ran one by one; the 29 idle ticks after the fifth passed in
    // batches of at most 20 (two wake-ups), and tick 35, the one that starts
    // work, ran.
    ASSERT_GE(ran.size(), 7u);
    EXPECT_EQ((std::vector<int>{1, 2, 3, 4, 5}), std::vector<int>(ran.begin(), ran.begin() + 5));
    EXPECT_NE(ran.end(), std::find(ran.begin(), ran.end(), 35));
    EXPECT_LE(std::count_if(ran.begin(), ran.end(), [](int c) { return c > 5 && c <= 35; }), 2);
    // Real time still passes per tick: 40 ticks of 10 ms take 400 ms or so.
    EXPECT_GE(elapsed.elapsed(), 350);
}

} // namespace
