// Opening the window's history view on the last week of one link, in a file
// holding 7 days of raw samples at 30 s and a year of hourly summaries for
// 256 links: the time from the view's creation to its first complete paint.
// Goal: <= 200 ms. Runs offscreen.
//
// Usage: bench_history_view [runs, default 15]
#include <QApplication>
#include <QTableWidget>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench/bench_runner.h"
#include "history_fill.h"
#include "platform/clock.h"
#include "storage/history_recorder.h"
#include "support/temp_dir.h"
#include "ui/qt/history_view.h"

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    const int runs = bench::countArgument(argc, argv, 1, 15, 3);
    TempDir dir;
    const std::string path = dir.file("big.sqlite3");
    fill(path, 8, 32, 7, 365, utcNowMs() / 1000);
    startHistoryRecording(path); // the view reads the recorder's file
    std::vector<double> ms;
    int points = 0, rows = 0;
    for (int n = 0; n < runs; ++n) {
        const auto start = std::chrono::steady_clock::now();
        // The remote 00:B0:52:02:03:07 selected on the Main page, week span.
        auto* view = new HistoryView;
        view->setSpan(HistorySpan::Week);
        HistoryView::openFor(nullptr, "00:B0:52:02:03:07", "00:B0:52:01:00:03");
        view->repaint();
        app.processEvents();
        ms.push_back(bench::msSince(start));
        points = view->plottedPoints();
        rows = view->table()->rowCount();
        delete view;
    }
    const bench::Spread spread = bench::spreadOf(ms);
    std::printf("open the week view of one link (%d points, %d table rows): median %.1f ms, max "
                "%.1f ms over %d runs (goal <= 200 ms)\n",
                points, rows, spread.median, spread.max, runs);
    stopHistoryRecording();
    return 0;
}
