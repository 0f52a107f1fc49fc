#pragma once
// The history view: the rate of the chosen adapters over the last hour, day,
// week, month or year, drawn with Qt Charts from the link history file, with
// a table of the same values beside it (read by screen readers through the
// accessibility bus). Drop-outs and stretches nobody recorded are gaps.
// Hovering a curve shows the time and the value. Export as PNG and CSV.
//
// The view is a window of its own, not modal: the automatic scan goes on, and
// after each recorded cycle the view updates its curves and table in place
// (points replaced, rows appended), never taking the focus and never
// resetting the user's selection or scroll position. Its file dialogs run
// inside a busy scope, as every nested event loop of the window does.
#include <QDialog>
#include <QString>
#include <string>
#include <vector>

#include "storage/link_history.h"
#include "ui/history_view_logic.h"

class QChart;
class QChartView;
class QComboBox;
class QDateTimeAxis;
class QLabel;
class QLineSeries;
class QListWidget;
class QPushButton;
class QTableWidget;
class QValueAxis;

class HistoryView : public QDialog {
    Q_OBJECT
  public:
    explicit HistoryView(QWidget* parent = nullptr);
    ~HistoryView() override;

    // Opens (or brings up) the one view with the adapters chosen from the
    // Main page: the selected remote adapter, else every link of the local one.
    static HistoryView* openFor(QWidget* owner, const std::string& selectedMac,
                                const std::string& localMac);
    // Opens (or brings up) the view on one pair of adapters from the network
    // map: the rate each way between `macA` and `macB`. A direction recorded
    // later (the map keeps measuring while it is open) is added and checked.
    static HistoryView* openForPair(QWidget* owner, const std::string& macA,
                                    const std::string& macB);
    static HistoryView* instance();

    void setSpan(HistorySpan span);
    HistorySpan span() const { return span_; }
    // Re-reads the history and updates the plot and the table in place.
    void refresh();

    // For tests and screenshots.
    QChartView* chartView() const { return chartView_; }
    QTableWidget* table() const { return table_; }
    QListWidget* adapterList() const { return adapters_; }
    QLabel* noteLabel() const { return note_; }
    QLabel* hoverLabel() const { return hover_; }
    QComboBox* spanChooser() const { return spanBox_; }
    const std::vector<HistoryCurve>& curves() const { return curves_; }
    int plottedPoints() const;
    int refreshes() const { return refreshes_; }
    bool exportPng(const QString& path);
    bool exportCsv(const QString& path);

  private:
    void build();
    void choose(const std::string& selectedMac, const std::string& localMac);
    void choosePair(const std::string& macA, const std::string& macB);
    void checkChosen();
    bool openStore();
    void reloadLinks();
    void updateSeries();
    void updateTable();
    void onExportPng();
    void onExportCsv();
    void hovered(const QPointF& point, bool state);
    static void cycleRecorded();

    HistoryStore store_;
    std::vector<HistoryLink> links_;
    std::vector<int64_t> chosen_;
    // The pair opened from the map (both MACs empty when none): its
    // directions are listed first, named by both ends.
    std::string pairA_, pairB_;
    bool followPair_ = false; // directions that appear are checked
    std::vector<HistoryCurve> curves_;
    // Series per curve, one per run, kept across refreshes.
    std::vector<std::vector<QLineSeries*>> series_;
    HistorySpan span_ = HistorySpan::Day;
    int refreshes_ = 0;
    bool refreshQueued_ = false;
    bool fillingAdapters_ = false;

    QComboBox* spanBox_ = nullptr;
    QListWidget* adapters_ = nullptr;
    QChart* chart_ = nullptr;
    QChartView* chartView_ = nullptr;
    QDateTimeAxis* timeAxis_ = nullptr;
    QValueAxis* rateAxis_ = nullptr;
    QTableWidget* table_ = nullptr;
    QLabel* note_ = nullptr;
    QLabel* hover_ = nullptr;
    QPushButton* png_ = nullptr;
    QPushButton* csv_ = nullptr;
};
