// The "Network Map" window in real use: opened from the Main page of the real
// window, left open while the real QTimer runs automatic cycles every two
// seconds on the real clock against the emulator (the map scenario's four
// adapters with their asymmetric rates). It must redraw after each cycle with
// the exact matrix, keep every adapter where it was, do no work while a box
// is open over the window, and stop asking the adapters once it is closed.
// Clicking a line, or Enter on a cell of the table, opens that pair's history,
// which the recorder keeps while the map is open and which grows across cycles.
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>

#include "live/live_window.h"
#include "network/auto_scan.h"
#include "network/model.h"
#include "network/network_map.h"
#include "platform/messages.h"
#include "sim/network.h"
#include "storage/history_recorder.h"
#include "storage/preferences.h"
#include "support/emulated_halyard.h"
#include "support/home_scenario.h"
#include "ui/qt/history_view.h"
#include "ui/qt/main_page.h"
#include "ui/qt/network_map_view.h"
#include "ui/qt/property_sheet.h"
#include "ui/qt/ui_seams.h"
#include "ui/shell.h"

namespace {

constexpr int kIntervalSeconds = 2;
constexpr int kIntervalMs = kIntervalSeconds * 1000;

// Requests the emulator answered from the host to one of the three remotes.
size_t remoteMapAnswers(const sim::Network& net) {
    size_t n = 0;
    for (const std::string& line : net.log())
        if (line.rfind("av 0xA038 from ", 0) == 0 &&
            line.find(" to 00:B0:52:00:00:4") != std::string::npos &&
            line.find(std::string(" to ") + map_json::kStudy) == std::string::npos)
            ++n;
    return n;
}

class NetworkMapLive : public LiveWindow {
  protected:
    void SetUp() override {
        Opening opening;
        opening.scenario = "map.json";
        opening.intervalSeconds = kIntervalSeconds;
        openWindow(opening);
    }
    NetworkMapWindow* mapWindow() const { return sheet->mainPage()->networkMapWindow(); }
    QString cell(int row, int column) const {
        QTableWidgetItem* item = mapWindow()->matrix()->item(row, column);
        return item ? item->text() : QString();
    }
    int nodeIndex(const char* mac) const {
        const auto& nodes = mapWindow()->view().nodes;
        for (size_t k = 0; k < nodes.size(); ++k)
            if (nodes[k].mac == mac)
                return static_cast<int>(k);
        return -1;
    }
    // The matrix of the scenario, as the window's table shows it.
    void expectMatrix() const {
        const char* macs[] = {map_json::kStudy, map_json::kLounge, map_json::kKitchen,
                              map_json::kGarage};
        const int rates[4][4] = {
            {0, 150, 90, 45}, {120, 0, 200, 60}, {100, 180, 0, 30}, {50, 75, 25, 0}};
        for (int a = 0; a < 4; ++a)
            for (int b = 0; b < 4; ++b) {
                if (a == b)
                    continue;
                int r = nodeIndex(macs[a]), c = nodeIndex(macs[b]);
                ASSERT_GE(r, 0);
                ASSERT_GE(c, 0);
                EXPECT_EQ(cell(r, c), QString::number(rates[a][b])) << macs[a] << " " << macs[b];
            }
    }
};

} // namespace

TEST_F(NetworkMapLive, OpenAcrossCyclesWithTheExactMatrixAndAStableLayout) {
    EXPECT_EQ(networkMapWants(), 0) << "nobody looks yet";
    // Let one plain cycle run: no adapter is asked for the map.
    ASSERT_TRUE(waitFor([&] { return networkRecords[0].activeRemoteCount == 3; }, 3 * kIntervalMs));
    EXPECT_EQ(remoteMapAnswers(*net), 0u);

    QTest::mouseClick(sheet->mainPage()->networkMapButton(), Qt::LeftButton);
    ASSERT_NE(mapWindow(), nullptr);
    EXPECT_TRUE(mapWindow()->isVisible());
    EXPECT_FALSE(mapWindow()->isModal());
    EXPECT_EQ(mapWindow()->windowTitle(), QStringLiteral("Network Map"));
    EXPECT_EQ(networkMapWants(), 1);

    // The first map (gathered at once or at the next cycle's end).
    ASSERT_TRUE(waitFor(
        [&] { return mapWindow()->matrix()->rowCount() == 4 && cell(0, 1) != QStringLiteral("?"); },
        3 * kIntervalMs));
    expectMatrix();
    const NetworkMapView first = mapWindow()->view();
    uint32_t generation = first.generation;

    // Two more cycles with the window open: redrawn each time, nobody moves.
    for (int cycle = 0; cycle < 2; ++cycle) {
        ASSERT_TRUE(waitFor([&] { return mapWindow()->view().generation > generation; },
                            2 * kIntervalMs + 1500))
            << "no new map after cycle " << cycle;
        generation = mapWindow()->view().generation;
        const NetworkMapView& now = mapWindow()->view();
        ASSERT_EQ(now.nodes.size(), first.nodes.size());
        for (const MapNodeView& n : now.nodes) {
            int k = nodeIndex(n.mac.c_str());
            EXPECT_EQ(n.x, first.nodes[static_cast<size_t>(k)].x) << n.mac;
            EXPECT_EQ(n.y, first.nodes[static_cast<size_t>(k)].y) << n.mac;
        }
        expectMatrix();
    }
    EXPECT_NE(mapWindow()->statusLabel()->text().indexOf(QStringLiteral("Gathered")), -1)
        << mapWindow()->statusLabel()->text().toStdString();
    // The accessibility bus reads a cell as a sentence.
    int study = nodeIndex(map_json::kStudy), lounge = nodeIndex(map_json::kLounge);
    QString spoken =
        mapWindow()->matrix()->item(study, lounge)->data(Qt::AccessibleTextRole).toString();
    EXPECT_TRUE(spoken.endsWith(QStringLiteral(": 150 Mbit/s, Excellent"))) << spoken.toStdString();

    // A box over the window: the cycle and the map wait while it is open.
    size_t asked = remoteMapAnswers(*net);
    QTimer::singleShot(2 * kIntervalMs + 500, [] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
            box->buttons().first()->click();
    });
    showMessage("A box left open over the map.", "Information", MessageIcon::Information,
                MessageButtons::Ok, messageOwner(static_cast<QWidget*>(sheet.get())));
    EXPECT_EQ(remoteMapAnswers(*net), asked) << "no map exchanges while a box is open";
    EXPECT_EQ(0, busyFlag);

    // Closed: the want is released and the next cycles ask no adapter.
    mapWindow()->close();
    ASSERT_TRUE(waitFor([&] { return mapWindow() == nullptr; }, 1000));
    EXPECT_EQ(networkMapWants(), 0);
    asked = remoteMapAnswers(*net);
    QTest::qWait(2 * kIntervalMs + 500);
    EXPECT_EQ(remoteMapAnswers(*net), asked);
    // halyard runs on: the list still shows the three remotes after a cycle.
    EXPECT_TRUE(
        waitFor([&] { return networkRecords[0].activeRemoteCount == 3; }, 2 * kIntervalMs + 1000));
}

namespace {

// The history view's curve of the rate from `from` to `to` (node names), or null.
const HistoryCurve* curveOf(const HistoryView* view, const std::string& from,
                            const std::string& to) {
    for (const HistoryCurve& c : view->curves())
        if (c.label == from + " \u2192 " + to)
            return &c;
    return nullptr;
}

int pointsOf(const HistoryCurve* c) {
    return c ? static_cast<int>(c->points.size()) : -1;
}

} // namespace

TEST_F(NetworkMapLive, ClickingALineOrEnterOnACellOpensThatPairsHistory) {
    startHistoryRecording(h.dir.file("state/halyard/history.sqlite3"));
    QTest::mouseClick(sheet->mainPage()->networkMapButton(), Qt::LeftButton);
    ASSERT_NE(mapWindow(), nullptr);
    ASSERT_TRUE(waitFor(
        [&] { return mapWindow()->matrix()->rowCount() == 4 && cell(1, 2) != QStringLiteral("?"); },
        3 * kIntervalMs));
    // A cycle recorded with the map open: the pairs are in the history.
    const int64_t recorded = historyRecorderStatus().cyclesRecorded;
    ASSERT_TRUE(waitFor([&] { return historyRecorderStatus().cyclesRecorded > recorded; },
                        2 * kIntervalMs + 1500));
    ASSERT_TRUE(historyRecorderStatus().recording) << historyRecorderStatus().note;

    // The line between Lounge and Kitchen, clicked where it runs clear of
    // the boxes, as the pointer would.
    const int lounge = nodeIndex(map_json::kLounge), kitchen = nodeIndex(map_json::kKitchen);
    ASSERT_GE(lounge, 0);
    ASSERT_GE(kitchen, 0);
    const auto& links = mapWindow()->view().links;
    int line = -1;
    for (size_t k = 0; k < links.size(); ++k)
        if ((links[k].a == lounge && links[k].b == kitchen) ||
            (links[k].a == kitchen && links[k].b == lounge))
            line = static_cast<int>(k);
    ASSERT_GE(line, 0);
    NetworkMapDrawing* drawing = mapWindow()->drawing();
    // Where the line runs clear of the boxes now (the drawing follows the
    // window's size, so this is looked up right before each click).
    auto pointOnLine = [&] {
        const QPointF from = drawing->nodeCentre(lounge), to = drawing->nodeCentre(kitchen);
        for (int step = 1; step < 40; ++step) {
            const QPoint p = (from + (to - from) * (step / 40.0)).toPoint();
            if (drawing->linkAt(p) == line)
                return p;
        }
        return QPoint(-1, -1);
    };
    // Beside the line, nothing opens.
    {
        const QPointF from = drawing->nodeCentre(lounge), to = drawing->nodeCentre(kitchen);
        const QPointF normal(-(to - from).y(), (to - from).x());
        const QPoint away =
            (QPointF(pointOnLine()) + normal / std::hypot(normal.x(), normal.y()) * 60).toPoint();
        if (drawing->linkAt(away) < 0) {
            QTest::mouseClick(drawing, Qt::LeftButton, {}, away);
            QTest::qWait(50);
            EXPECT_EQ(HistoryView::instance(), nullptr);
        }
    }
    const QPoint on = pointOnLine();
    ASSERT_GE(on.x(), 0) << "no clear point on the line";
    QTest::mouseClick(drawing, Qt::LeftButton, {}, on);
    ASSERT_TRUE(waitFor([&] { return HistoryView::instance() != nullptr; }, 1000));
    HistoryView* view = HistoryView::instance();
    EXPECT_TRUE(view->isVisible());
    EXPECT_TRUE(mapWindow()->isVisible()) << "the map stays open beside it";

    const std::string loungeName = mapWindow()->view().nodes[static_cast<size_t>(lounge)].name;
    const std::string kitchenName = mapWindow()->view().nodes[static_cast<size_t>(kitchen)].name;
    ASSERT_EQ(view->curves().size(), 2u) << "both directions, nothing else";
    const HistoryCurve* there = curveOf(view, loungeName, kitchenName);
    const HistoryCurve* back = curveOf(view, kitchenName, loungeName);
    ASSERT_NE(there, nullptr);
    ASSERT_NE(back, nullptr);
    ASSERT_GE(there->points.size(), 1u);
    for (const HistoryPoint& p : there->points)
        EXPECT_EQ(p.mean, 200.0);
    for (const HistoryPoint& p : back->points)
        EXPECT_EQ(p.mean, 180.0);
    // The two directions lead the view's list, checked.
    QListWidget* list = view->adapterList();
    ASSERT_GE(list->count(), 2);
    for (int r = 0; r < 2; ++r) {
        EXPECT_EQ(list->item(r)->checkState(), Qt::Checked);
        EXPECT_NE(list->item(r)->text().indexOf(QStringLiteral("\u2192")), -1);
    }

    // With both windows open, the next cycles add to the pair's curves.
    const int before = pointsOf(curveOf(view, loungeName, kitchenName));
    ASSERT_TRUE(waitFor([&] { return pointsOf(curveOf(view, loungeName, kitchenName)) > before; },
                        2 * kIntervalMs + 2000))
        << "the pair's curve did not grow";
    EXPECT_EQ(view->curves().size(), 2u);

    // The keyboard's way: Kitchen's row, Garage's column, Enter. The local
    // adapter's direction is its link (Study -> Garage, 45) beside the pair.
    // Escape closes the history view, nothing else.
    QSignalSpy lastClosed(qApp, &QGuiApplication::lastWindowClosed);
    QTest::keyClick(view, Qt::Key_Escape);
    ASSERT_TRUE(waitFor([&] { return HistoryView::instance() == nullptr; }, 1000));
    EXPECT_TRUE(sheet->isVisible());
    EXPECT_TRUE(mapWindow()->isVisible());
    EXPECT_EQ(lastClosed.count(), 0) << "closing the history view ended the program";
    const int study = nodeIndex(map_json::kStudy), garage = nodeIndex(map_json::kGarage);
    QTableWidget* matrix = mapWindow()->matrix();
    mapWindow()->activateWindow();
    matrix->setFocus();
    matrix->setCurrentCell(garage, study);
    QTest::keyClick(matrix, Qt::Key_Return);
    ASSERT_TRUE(waitFor([&] { return HistoryView::instance() != nullptr; }, 1000));
    view = HistoryView::instance();
    const std::string studyName = mapWindow()->view().nodes[static_cast<size_t>(study)].name;
    const std::string garageName = mapWindow()->view().nodes[static_cast<size_t>(garage)].name;
    ASSERT_EQ(view->curves().size(), 2u);
    const HistoryCurve* up = curveOf(view, garageName, studyName);
    const HistoryCurve* down = curveOf(view, studyName, garageName);
    ASSERT_NE(up, nullptr);
    ASSERT_NE(down, nullptr);
    EXPECT_FALSE(up->link.id == down->link.id);
    ASSERT_FALSE(up->points.empty());
    ASSERT_FALSE(down->points.empty());
    EXPECT_EQ(up->points.back().mean, 50.0);
    EXPECT_EQ(down->points.back().mean, 45.0);
    // The current cell stays on the same two adapters across the next rebuild.
    const uint32_t generation = mapWindow()->view().generation;
    ASSERT_TRUE(waitFor([&] { return mapWindow()->view().generation > generation; },
                        2 * kIntervalMs + 1500));
    EXPECT_EQ(matrix->currentRow(), nodeIndex(map_json::kGarage));
    EXPECT_EQ(matrix->currentColumn(), nodeIndex(map_json::kStudy));
}
