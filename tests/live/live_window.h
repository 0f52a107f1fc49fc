#pragma once
// What every live test stands on: the real halyard window (PropertySheet) with
// the program's own seams (the QTimer scan timer, real message boxes, the
// window's clock), on the real clock, against an emulated home on the
// real-time wire. The test opens it on a scenario and looks at it while the
// real timer runs.
#include <QElapsedTimer>
#include <QTest>
#include <QTreeWidget>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "platform/messages.h"
#include "sim/network.h"
#include "storage/history_recorder.h"
#include "support/emulated_halyard.h"
#include "support/home_scenario.h"
#include "ui/main_page_logic.h"
#include "ui/qt/history_view.h"
#include "ui/qt/main_page.h"
#include "ui/qt/property_sheet.h"
#include "ui/qt/ui_seams.h"
#include "ui/shell.h"

// Waits in the event loop until `done` holds or `ms` have passed (boxes opened
// meanwhile run their own loops inside).
inline bool waitFor(const std::function<bool()>& done, int ms) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms)
            return false;
        QTest::qWait(20);
    }
    return true;
}

class LiveWindow : public ::testing::Test {
  protected:
    struct Opening {
        const char* scenario = "home.json";
        int intervalSeconds = 2;
        bool autoScan = true;
        // Boxes are real QMessageBoxes even on the offscreen platform, so a
        // test's user answers them as a person would.
        bool realBoxes = true;
        // Where the link history is recorded; empty: not recorded.
        std::string historyFile;
    };

    // The window's own seams, as the program installs them (declared first:
    // the emulated halyard stops the timer through them when it ends).
    QtScanTimer scanTimer;
    QtMessageBoxSink boxes;
    UiClock uiClock;
    EmulatedHalyard h{false}; // the real clock; the wire follows it
    sim::Network* net = nullptr;
    std::unique_ptr<PropertySheet> sheet;

    // Writes the preferences, attaches the scenario, installs the seams and
    // shows the window, as the program's start does.
    void openWindow(const Opening& opening) {
        PrefsFile prefs = EmulatedHalyard::defaultPreferences();
        prefs.scanInterval = opening.intervalSeconds;
        prefs.autoScan = opening.autoScan ? 1 : 0;
        h.writePreferences(prefs);
        net = &h.attachScenario(opening.scenario);
        QtMessageBoxSink::setRealBoxesWhenHeadless(opening.realBoxes);
        setMessageSink(&boxes);
        setScanTimer(&scanTimer);
        setSystemClock(&uiClock);
        ASSERT_TRUE(startShell(h.workingFolder()));
        if (!opening.historyFile.empty())
            startHistoryRecording(opening.historyFile);
        MainPage::setSetup(h.setup());
        sheet = std::make_unique<PropertySheet>();
        sheet->show();
    }

    void TearDown() override {
        if (HistoryView* v = HistoryView::instance())
            delete v;
        sheet.reset();
        stopHistoryRecording();
        QtMessageBoxSink::setRealBoxesWhenHeadless(false);
        setSystemClock(nullptr);
    }

    QTreeWidget* mainList() const { return sheet->mainPage()->deviceList(); }
    // The Main page's row of the adapter `mac`, or -1.
    int mainRow(const QString& mac) const {
        const int column = mainColumnIndex(MainColumn::Mac);
        for (int i = 0; i < mainList()->topLevelItemCount(); ++i)
            if (mainList()->topLevelItem(i)->text(column) == mac)
                return i;
        return -1;
    }
};
