// The "Network Map" window in real use: opened from the Main page of the real
// window, left open while the real QTimer runs automatic cycles every two
// seconds on the real clock against the emulator (the map scenario's four
// adapters with their asymmetric rates). It must redraw after each cycle with
// the exact matrix, keep every adapter where it was, do no work while a box
// is open over the window, and stop asking the adapters once it is closed.
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "network/auto_scan.h"
#include "network/model.h"
#include "network/network_map.h"
#include "platform/messages.h"
#include "sim/network.h"
#include "storage/preferences.h"
#include "support/emulated_halyard.h"
#include "ui/qt/main_page.h"
#include "ui/qt/network_map_view.h"
#include "ui/qt/property_sheet.h"
#include "ui/qt/ui_seams.h"
#include "ui/shell.h"

namespace {

constexpr int kIntervalSeconds = 2;
constexpr int kIntervalMs = kIntervalSeconds * 1000;

bool waitFor(const std::function<bool()>& done, int ms) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms)
            return false;
        QTest::qWait(20);
    }
    return true;
}

// Requests the emulator answered from the host to one of the three remotes.
size_t remoteMapAnswers(const sim::Network& net) {
    size_t n = 0;
    for (const std::string& line : net.log())
        if (line.rfind("av 0xA038 from ", 0) == 0 &&
            line.find(" to 00:B0:52:00:00:4") != std::string::npos &&
            line.find(" to 00:B0:52:00:00:40") == std::string::npos)
            ++n;
    return n;
}

class NetworkMapLive : public ::testing::Test {
  protected:
    QtScanTimer scanTimer;
    QtMessageBoxSink boxes;
    UiClock uiClock;
    EmulatedHalyard h{false};
    sim::Network* net = nullptr;
    std::unique_ptr<PropertySheet> sheet;

    void SetUp() override {
        PrefsFile prefs = EmulatedHalyard::defaultPreferences();
        prefs.scanInterval = kIntervalSeconds;
        prefs.autoScan = 1;
        h.writePreferences(prefs);
        net = &h.attachScenario("map.json");
        QtMessageBoxSink::setRealBoxesWhenHeadless(true);
        setMessageSink(&boxes);
        setScanTimer(&scanTimer);
        setSystemClock(&uiClock);
        ASSERT_TRUE(startShell(h.workingFolder()));
        MainPage::setSetup(h.setup());
        sheet = std::make_unique<PropertySheet>();
        sheet->show();
    }
    void TearDown() override {
        sheet.reset();
        QtMessageBoxSink::setRealBoxesWhenHeadless(false);
        setSystemClock(nullptr);
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
        const char* macs[] = {"00:B0:52:00:00:40", "00:B0:52:00:00:41", "00:B0:52:00:00:42",
                              "00:B0:52:00:00:43"};
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
    int study = nodeIndex("00:B0:52:00:00:40"), lounge = nodeIndex("00:B0:52:00:00:41");
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
                MessageButtons::Ok, sheet.get());
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
