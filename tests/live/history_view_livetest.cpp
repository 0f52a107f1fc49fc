// The history view in the real window: the property sheet with the real QTimer
// driving the automatic scan every two seconds, the recorder writing a real
// history file, the view opened from the Main page's "History" button and left
// open across several real cycles. The plot and the table grow in place, the
// user's table selection stays, the view never takes the focus from the
// sheet, a double-click on a row chooses that adapter, and the exports write
// their files. With HALYARD_SCREENSHOT_DIR set, a longer run with a changing
// rate and a drop-out saves docs' picture of the view.
#include <QApplication>
#include <QChartView>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QTreeWidget>
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>

#include "live/live_window.h"
#include "network/auto_scan.h"
#include "sim/network.h"
#include "storage/history_recorder.h"
#include "storage/preferences.h"
#include "support/emulated_halyard.h"
#include "support/home_scenario.h"
#include "ui/main_page_logic.h"
#include "ui/qt/history_view.h"
#include "ui/qt/main_page.h"
#include "ui/qt/property_sheet.h"
#include "ui/qt/ui_seams.h"
#include "ui/shell.h"

namespace {

constexpr int kIntervalSeconds = 2;
constexpr int kIntervalMs = kIntervalSeconds * 1000;
const QString kRemote1 = QString::fromLatin1(home_json::kLiving);
const QString kRemote2 = QString::fromLatin1(home_json::kBedroom);

class HistoryLive : public LiveWindow {
  protected:
    void open() {
        Opening opening;
        opening.intervalSeconds = kIntervalSeconds;
        opening.realBoxes = false;
        opening.historyFile = h.dir.file("state/halyard/history.sqlite3");
        openWindow(opening);
        ASSERT_TRUE(
            waitFor([&] { return row(kRemote1) >= 0 && row(kRemote2) >= 0; }, 3 * kIntervalMs));
    }
    QTreeWidget* list() const { return mainList(); }
    int row(const QString& mac) const { return mainRow(mac); }
    // Selects the adapter's row as a click would.
    void select(const QString& mac) {
        const int r = row(mac);
        ASSERT_GE(r, 0);
        list()->setCurrentItem(list()->topLevelItem(r));
    }
    int cyclesRecorded() const { return static_cast<int>(historyRecorderStatus().cyclesRecorded); }
};

TEST_F(HistoryLive, TheViewFollowsTheLiveCycleInPlace) {
    open();
    ASSERT_TRUE(waitFor([&] { return cyclesRecorded() >= 1; }, 3 * kIntervalMs));
    select(kRemote1);
    QTest::mouseClick(sheet->mainPage()->historyButton(), Qt::LeftButton);
    HistoryView* view = HistoryView::instance();
    ASSERT_NE(nullptr, view);
    ASSERT_TRUE(view->isVisible());
    ASSERT_EQ(1u, view->curves().size());
    EXPECT_EQ(kRemote1.toStdString(), formatMac(view->curves()[0].link.remoteMac));
    EXPECT_TRUE(view->noteLabel()->text().isEmpty()) << view->noteLabel()->text().toStdString();

    // The user goes back to the sheet and selects a value in the table.
    sheet->activateWindow();
    QApplication::setActiveWindow(sheet.get());
    ASSERT_TRUE(waitFor([&] { return view->table()->rowCount() >= 1; }, 2 * kIntervalMs));
    view->table()->selectRow(0);
    QTableWidgetItem* first = view->table()->item(0, 0);
    const int points = view->plottedPoints();
    const int rows = view->table()->rowCount();
    const int refreshes = view->refreshes();

    // Several real cycles with the view open.
    const int target = cyclesRecorded() + 4;
    ASSERT_TRUE(waitFor([&] { return cyclesRecorded() >= target; }, 8 * kIntervalMs));
    ASSERT_TRUE(waitFor([&] { return view->plottedPoints() >= points + 4; }, kIntervalMs));
    EXPECT_GE(view->refreshes(), refreshes + 4);
    EXPECT_GE(view->table()->rowCount(), rows + 4);
    // In place: the same first item, still selected; the focus stayed on the sheet.
    EXPECT_EQ(first, view->table()->item(0, 0));
    EXPECT_TRUE(view->table()->item(0, 0)->isSelected());
    EXPECT_EQ(sheet.get(), QApplication::activeWindow());
    EXPECT_TRUE(sheet->isVisible());
    // The table holds what the plot shows: "<rate> Mbit/s" of the remote.
    EXPECT_TRUE(view->table()->item(rows, 2)->text().endsWith(QStringLiteral("Mbit/s")));
    EXPECT_EQ(view->table()->item(rows, 1)->text(),
              QString::fromStdString(view->curves()[0].label));

    // A double-click on the other remote's row chooses it.
    const int r2 = row(kRemote2);
    ASSERT_GE(r2, 0);
    QTreeWidgetItem* item = list()->topLevelItem(r2);
    list()->setCurrentItem(item);
    emit list()->itemDoubleClicked(item, 0);
    ASSERT_EQ(1u, view->curves().size());
    EXPECT_EQ(kRemote2.toStdString(), formatMac(view->curves()[0].link.remoteMac));

    // Both exports.
    const QString csv = QString::fromStdString(h.dir.file("export.csv"));
    const QString png = QString::fromStdString(h.dir.file("export.png"));
    ASSERT_TRUE(view->exportCsv(csv));
    ASSERT_TRUE(view->exportPng(png));
    const auto text = readFileBytes(csv.toStdString());
    EXPECT_EQ(0, std::string(text.begin(), text.end()).find("time,kind,interface,local_mac"));
    EXPECT_NE(std::string::npos, std::string(text.begin(), text.end()).find(",00:B0:52:00:00:12,"));
    QImage image(png);
    EXPECT_FALSE(image.isNull());

    // Every span opens without a fault.
    for (int k = 0; k < kHistorySpanCount; ++k)
        view->spanChooser()->setCurrentIndex(k);
    EXPECT_EQ(HistorySpan::Year, view->span());
}

// docs/halyard-history.png: run with HALYARD_SCREENSHOT_DIR (scripts/screenshots).
TEST_F(HistoryLive, Screenshot) {
    const char* out = std::getenv("HALYARD_SCREENSHOT_DIR");
    if (!out)
        GTEST_SKIP() << "HALYARD_SCREENSHOT_DIR is not set";
    open();
    select(kRemote1);
    // Both remotes, a minute and a half: Living room slows down, Bedroom
    // drops out for a few cycles and returns.
    HistoryView* view = HistoryView::openFor(sheet.get(), "", home_json::kLocal);
    view->setSpan(HistorySpan::Hour);
    const int start = cyclesRecorded();
    const sim::AvKey key = net->station(home_json::kBedroom).nmk;
    sim::AvKey elsewhere = key;
    elsewhere[0] ^= 0xFF;
    const uint32_t rates[] = {120, 118, 121, 110, 96, 88, 90, 97, 104, 112, 115, 117};
    while (cyclesRecorded() - start < 45) {
        const int n = cyclesRecorded() - start;
        {
            auto still = h.wire.holdPeer();
            net->station(home_json::kLiving).rate = rates[(n / 4) % 12];
            net->station(home_json::kBedroom).rate = n % 5 == 0 ? 84 : 90;
            net->station(home_json::kBedroom).setNmk(n >= 18 && n < 24 ? elsewhere : key);
        }
        const int now = cyclesRecorded();
        ASSERT_TRUE(waitFor([&] { return cyclesRecorded() > now; }, 3 * kIntervalMs));
    }
    QTest::qWait(300);
    const std::string name =
        std::getenv("QT_SCALE_FACTOR") && std::string(std::getenv("QT_SCALE_FACTOR")) == "2"
            ? "halyard-history@2x.png"
            : "halyard-history.png";
    ASSERT_TRUE(view->grab().save(QString::fromStdString(std::string(out) + "/" + name), "PNG"));
}

} // namespace
