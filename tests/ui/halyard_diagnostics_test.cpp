// The Diagnostics page over a model built in the test: both lists filled,
// the history sorted by its headers, Delete with and without a password, the
// report saved to a file equal to the report text, printing without a
// printer refused with the install message, the automatic scan suspended
// while the page is shown, and the screenshot.
#include <QHeaderView>
#include <QImage>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>

#include "diagnostics/diagnostics_report.h"
#include "diagnostics/scan_log.h"
#include "maintenance/av_maintenance.h"
#include "network/auto_scan.h"
#include "network/model.h"
#include "platform/host_info.h"
#include "platform/messages.h"
#include "platform/working_folder.h"
#include "storage/preferences.h"
#include "support/temp_dir.h"
#include "ui/qt/diagnostics_page.h"

namespace {
void setMac(uint8_t* out, std::initializer_list<uint8_t> bytes) {
    std::copy(bytes.begin(), bytes.end(), out);
}

class DiagnosticsPageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        resetDeviceModel();
        resetPreferences();
        resetAutoScan();
        setMessageSink(&messages);
        setHostInfoSource(&host);
        setWorkingFolder(dir.path());
        setLogDirectory(dir.path());
        buildModel();
    }
    void TearDown() override {
        page.reset();
        DiagnosticsPage::setReportFileChooser({});
        DiagnosticsPage::setPrinterQuery({});
        DiagnosticsPage::setReportPrinter({});
        setMessageSink(nullptr);
        setHostInfoSource(nullptr);
        setWorkingFolder("");
        resetScanLog();
        resetAutoScan();
        resetDeviceModel();
        resetPreferences();
        resetAvMaintenance();
    }

    void addRemote(int n, std::initializer_list<uint8_t> mac, int32_t type, const char* version,
                   double rate, const char* name, const char* password, int64_t seen) {
        RemoteDevice& slot = networkRecords[0].remotes[n];
        setMac(slot.mac, mac);
        slot.active = 1;
        slot.deviceType = type;
        copyText(slot.version, version);
        slot.stats.rate = rate;
        slot.stats.highest = rate;
        slot.stats.lowest = rate / 2;
        slot.seenCount = 10 + n;
        const int index = appendDeviceEntry(slot.mac, name);
        ASSERT_GT(index, 0);
        copyText(deviceTable[index - 1].password, password);
        copyText(deviceTable[index - 1].keyLabel, "MyHomeNet");
        deviceTable[index - 1].lastSeen = seen;
    }

    void buildModel() {
        host.info.computerName = "living-room-pc";
        host.info.userName = "tech";
        host.info.processorType = 8664;
        host.info.osName = "Linux";
        host.info.osMajor = 6;
        host.info.osMinor = 8;
        host.info.programVersionPresent = true;
        host.info.programVersion[0] = 1;
        host.info.libraryName = "libpcap version 1.10.4";
        host.time = 1701887525;

        copyText(preferences.appName, "Plexora");
        copyText(preferences.copyright, "Copyright (c) 2010 Plexora.");
        preferences.diagnosticsLevel = 2;
        preferences.ampm = 1;
        preferences.autoScan = 1;

        interfaceCount = 2;
        NetworkRecord& nic = networkRecords[0];
        setMac(nic.hostMac, {0x52, 0x54, 0x00, 0x12, 0x34, 0x56});
        nic.localPresent = 1;
        nic.deviceClass = kClassAv;
        setMac(nic.localMac, {0x00, 0xB0, 0x52, 0x00, 0x00, 0x0A});
        copyText(nic.keyLabel, "MyHomeNet");
        copyText(localFirmwareVersion, "KARSA02-3.1.8");
        nic.localStats.highest = 180;
        nic.localStats.lowest = 60;
        setMac(networkRecords[1].hostMac, {0x52, 0x54, 0x00, 0x65, 0x43, 0x21});
        addRemote(0, {0x00, 0xB0, 0x52, 0, 0, 0x11}, kTypeAv, "KARSA02-3.1.7", 150, "Kitchen",
                  "ABCD-EFGH-IJKL-MNOP", 1701880000);
        addRemote(1, {0x00, 0xB0, 0x52, 0, 0, 0x22}, kTypeAv, "KARSA02-3.1.7", 96, "Office", "",
                  1701887000);
        addRemote(2, {0x00, 0x11, 0x25, 0, 0, 0x33}, kTypeHp10, "", 0, "Garage", "", 1701800000);
    }

    void open() {
        page = std::make_unique<DiagnosticsPage>();
        page->resize(900, 520);
        page->show();
        page->pageActivated();
        QCoreApplication::processEvents();
    }

    QString historyNames() const {
        QStringList names;
        for (int n = 0; n < page->historyList()->topLevelItemCount(); ++n)
            names << page->historyList()->topLevelItem(n)->text(0);
        return names.join(',');
    }

    void selectHistoryRow(int row) {
        page->historyList()->setCurrentItem(page->historyList()->topLevelItem(row));
    }

    TempDir dir;
    RecordingMessages messages;
    FixedHostInfo host;
    std::unique_ptr<DiagnosticsPage> page;
};
} // namespace

TEST_F(DiagnosticsPageTest, ListsShowInterfacesHostAndHistory) {
    open();
    QTreeWidget* system = page->systemList();
    ASSERT_EQ(1, system->columnCount());
    EXPECT_EQ(QStringLiteral("System Information"), system->headerItem()->text(0));
    EXPECT_EQ(520, system->columnWidth(0));
    ASSERT_GT(system->topLevelItemCount(), 10);
    EXPECT_EQ(QStringLiteral("On NIC #1 MAC = 52:54:00:12:34:56"),
              system->topLevelItem(0)->text(0));
    EXPECT_EQ(QStringLiteral("   Firmware: KARSA02-3.1.8 "), system->topLevelItem(4)->text(0));

    QTreeWidget* history = page->historyList();
    ASSERT_EQ(14, history->columnCount());
    EXPECT_EQ(QStringLiteral("Low Rate"), history->headerItem()->text(13));
    EXPECT_EQ(290, history->columnWidth(7));
    EXPECT_EQ(QStringLiteral("Kitchen,Office,Garage"), historyNames());
    QTreeWidgetItem* garage = history->topLevelItem(2);
    EXPECT_EQ(QStringLiteral("--- not entered ---"), garage->text(2));
    EXPECT_EQ(QStringLiteral("?"), garage->text(3));
    EXPECT_EQ(QStringLiteral("Varnel"), garage->text(6));
    EXPECT_EQ(2, garage->data(0, Qt::UserRole).toInt());
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(DiagnosticsPageTest, LevelOneHasEightHistoryColumns) {
    preferences.diagnosticsLevel = 1;
    open();
    EXPECT_EQ(8, page->historyList()->columnCount());
    EXPECT_EQ(8, page->historyList()->topLevelItem(0)->columnCount());
}

TEST_F(DiagnosticsPageTest, HeaderClicksSortTheHistoryAndRefillsKeepTheOrder) {
    open();
    QHeaderView* header = page->historyList()->header();
    // "Device" first click: descending (its saved flag starts clear).
    emit header->sectionClicked(0);
    EXPECT_EQ(QStringLiteral("Office,Kitchen,Garage"), historyNames());
    emit header->sectionClicked(0);
    EXPECT_EQ(QStringLiteral("Garage,Kitchen,Office"), historyNames());
    page->refill();
    EXPECT_EQ(QStringLiteral("Garage,Kitchen,Office"), historyNames());
    // "Rate (Mbps)": lower rates first, then higher first.
    emit header->sectionClicked(3);
    EXPECT_EQ(QStringLiteral("Garage,Office,Kitchen"), historyNames());
    emit header->sectionClicked(3);
    EXPECT_EQ(QStringLiteral("Kitchen,Office,Garage"), historyNames());
}

TEST_F(DiagnosticsPageTest, DeleteAsksForADeviceWithAPasswordAndRefills) {
    open();
    page->historyList()->clearSelection();
    QTest::mouseClick(page->deleteButton(), Qt::LeftButton);
    ASSERT_EQ(1u, messages.shown.size());
    EXPECT_EQ("Please select a device first by clicking on it.", messages.shown[0].text);

    selectHistoryRow(0); // Kitchen has a password
    messages.answerNext(MessageResult::No);
    QTest::mouseClick(page->deleteButton(), Qt::LeftButton);
    ASSERT_EQ(2u, messages.shown.size());
    EXPECT_EQ("Attention", messages.shown[1].caption);
    EXPECT_EQ(3, page->historyList()->topLevelItemCount());

    selectHistoryRow(0);
    QTest::mouseClick(page->deleteButton(), Qt::LeftButton); // answered Yes
    EXPECT_EQ(QStringLiteral("Office,Garage"), historyNames());
    EXPECT_EQ(0, findDeviceEntry(networkRecords[0].remotes[2].mac)); // slots moved down

    selectHistoryRow(1); // Garage: no password, no question
    QTest::mouseClick(page->deleteButton(), Qt::LeftButton);
    EXPECT_EQ(3u, messages.shown.size());
    EXPECT_EQ(QStringLiteral("Office"), historyNames());
}

TEST_F(DiagnosticsPageTest, SavedReportEqualsTheReportText) {
    open();
    const std::string path = dir.file("site visit.TXT");
    int asked = 0;
    DiagnosticsPage::setReportFileChooser([&](QWidget* owner) {
        ++asked;
        EXPECT_EQ(page.get(), owner);
        return QString::fromStdString(path);
    });
    QTest::mouseClick(page->saveReportButton(), Qt::LeftButton);
    EXPECT_EQ(1, asked);
    const std::vector<uint8_t> bytes = readFileBytes(path);
    const std::string expected = diagnosticsReportText();
    EXPECT_EQ(expected, std::string(bytes.begin(), bytes.end()));
    EXPECT_NE(std::string::npos, expected.find("\nKitchen\t00:B0:52:00:00:11\tABCD-EFGH-IJKL"));

    EXPECT_EQ(std::filesystem::perms(0600), std::filesystem::status(path).permissions());

    // A folder that does not exist is reported, not skipped in silence.
    DiagnosticsPage::setReportFileChooser(
        [&](QWidget*) { return QString::fromStdString(dir.file("gone/report.TXT")); });
    QTest::mouseClick(page->saveReportButton(), Qt::LeftButton);
    ASSERT_EQ(1u, messages.shown.size());
    EXPECT_EQ("Error", messages.shown[0].caption);
    messages.shown.clear();

    // Cancelling the dialog writes nothing.
    std::remove(path.c_str());
    DiagnosticsPage::setReportFileChooser([](QWidget*) { return QString(); });
    QTest::mouseClick(page->saveReportButton(), Qt::LeftButton);
    EXPECT_TRUE(readFileBytes(path).empty());
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(DiagnosticsPageTest, PrintWithoutAPrinterAsksToInstallOne) {
    open();
    std::vector<QString> printed;
    DiagnosticsPage::setReportPrinter([&](QWidget*, const QString& text) {
        printed.push_back(text);
        return true;
    });
    DiagnosticsPage::setPrinterQuery([] { return DefaultPrinter::Absent; });
    QTest::mouseClick(page->printReportButton(), Qt::LeftButton);
    ASSERT_EQ(1u, messages.shown.size());
    EXPECT_EQ("Before you can perform printer-related tasks such as page setup or printing a "
              "document, you need to install a printer.",
              messages.shown[0].text);
    EXPECT_EQ(MessageIcon::Warning, messages.shown[0].icon);
    EXPECT_TRUE(printed.empty());
    // No copy of the passwords stays in the working folder.
    EXPECT_FALSE(std::filesystem::exists(dir.file("diagnostics.txt")));
    const std::string expected = diagnosticsReportText();

    DiagnosticsPage::setPrinterQuery([] { return DefaultPrinter::Present; });
    DiagnosticsPage::setReportPrinter([&](QWidget*, const QString& text) {
        // Handed over while diagnostics.txt is there, mode 0600.
        EXPECT_EQ(std::filesystem::perms(0600),
                  std::filesystem::status(dir.file("diagnostics.txt")).permissions());
        printed.push_back(text);
        return true;
    });
    QTest::mouseClick(page->printReportButton(), Qt::LeftButton);
    ASSERT_EQ(1u, printed.size());
    EXPECT_EQ(QString::fromLatin1(expected.c_str()), printed[0]);
    EXPECT_EQ(1u, messages.shown.size());
    EXPECT_FALSE(std::filesystem::exists(dir.file("diagnostics.txt")));
}

TEST_F(DiagnosticsPageTest, UtfEightNamesAndALatinOneAppNameBothShowAsEntered) {
    // A name typed in the window is stored as UTF-8; brandkit writes Latin-1.
    copyText(deviceTable[0].name, "K\xC3\xBC"
                                  "che");
    copyText(preferences.appName, "Caf\xE9 Net");
    open();
    EXPECT_EQ(QStringLiteral("K\u00FCche,Office,Garage"), historyNames());
    bool appLine = false;
    for (int n = 0; n < page->systemList()->topLevelItemCount(); ++n)
        appLine |= page->systemList()->topLevelItem(n)->text(0).startsWith(
            QStringLiteral("Caf\u00E9 Net"));
    EXPECT_TRUE(appLine);

    std::vector<QString> printed;
    DiagnosticsPage::setReportPrinter([&](QWidget*, const QString& text) {
        printed.push_back(text);
        return true;
    });
    DiagnosticsPage::setPrinterQuery([] { return DefaultPrinter::Present; });
    QTest::mouseClick(page->printReportButton(), Qt::LeftButton);
    ASSERT_EQ(1u, printed.size());
    EXPECT_TRUE(printed[0].contains(QStringLiteral("\nK\u00FCche\t")));
    EXPECT_TRUE(printed[0].contains(QStringLiteral("Caf\u00E9 Net")));
}

TEST_F(DiagnosticsPageTest, TheAutomaticScanRestsWhileThePageIsShown) {
    busyFlag = 0;
    open();
    EXPECT_EQ(1, busyFlag);
    EXPECT_TRUE(page->pageDeactivating());
    EXPECT_EQ(0, busyFlag);
    // An operation that already held the flag keeps it.
    busyFlag = 1;
    page->pageActivated();
    page->pageDeactivating();
    EXPECT_EQ(1, busyFlag);
}

TEST_F(DiagnosticsPageTest, Screenshot) {
    open();
    const QImage image = page->grab().toImage();
    ASSERT_FALSE(image.isNull());
    const QString shot = QStringLiteral(UI_SCREENSHOT_DIR "/halyard-diagnostics.png");
    ASSERT_TRUE(image.save(shot));
    EXPECT_EQ(QImage(shot).size(), image.size());
}
