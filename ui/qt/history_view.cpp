#include "ui/qt/history_view.h"

#include <QAbstractItemView>
#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QFileDialog>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLegendMarker>
#include <QLineSeries>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QSplitter>
#include <QTableWidget>
#include <QTimer>
#include <QToolTip>
#include <QVBoxLayout>
#include <QValueAxis>
#include <algorithm>
#include <cmath>

#include "network/auto_scan.h"
#include "network/model.h"
#include "platform/clock.h"
#include "platform/file_io.h"
#include "storage/history_recorder.h"
#include "storage/preferences.h"
#include "ui/main_page_logic.h"
#include "ui/qt/text_codec.h"

namespace {

// The reader waits a little for a writer; the window must not hang on it.
constexpr int kViewBusyTimeoutMs = 100;

QPointer<HistoryView> theView;

QString qs(const std::string& text) {
    return textFromBytes(text);
}

// Curve colours: distinct hues that read on white, one per adapter.
const QColor kCurveColors[] = {QColor(0x1f, 0x77, 0xb4), QColor(0xd6, 0x27, 0x28),
                               QColor(0x2c, 0xa0, 0x2c), QColor(0xff, 0x7f, 0x0e),
                               QColor(0x94, 0x67, 0xbd), QColor(0x8c, 0x56, 0x4b),
                               QColor(0xe3, 0x77, 0xc2), QColor(0x17, 0xbe, 0xcf)};

qint64 msOf(int64_t seconds) {
    return static_cast<qint64>(seconds) * 1000;
}

} // namespace

HistoryView::HistoryView(QWidget* parent) : QDialog(parent, Qt::Window) {
    setWindowTitle(qs(prefAppName()) + QStringLiteral(" - History"));
    setAttribute(Qt::WA_DeleteOnClose);
    if (theView.isNull())
        theView = this;
    build();
    setHistoryRecordedHook(&HistoryView::cycleRecorded);
}

HistoryView::~HistoryView() {
    if (theView == this || theView.isNull())
        setHistoryRecordedHook(nullptr);
}

HistoryView* HistoryView::instance() {
    return theView.data();
}

HistoryView* HistoryView::openFor(QWidget* owner, const std::string& selectedMac,
                                  const std::string& localMac) {
    if (theView.isNull())
        theView = new HistoryView(owner);
    theView->choose(selectedMac, localMac);
    theView->show();
    // The user asked for it: here, and only here, the view comes to the front.
    theView->raise();
    theView->activateWindow();
    return theView.data();
}

HistoryView* HistoryView::openForPair(QWidget* owner, const std::string& macA,
                                      const std::string& macB) {
    if (theView.isNull())
        theView = new HistoryView(owner);
    theView->choosePair(macA, macB);
    theView->show();
    theView->raise();
    theView->activateWindow();
    return theView.data();
}

void HistoryView::build() {
    spanBox_ = new QComboBox(this);
    for (int k = 0; k < kHistorySpanCount; ++k)
        spanBox_->addItem(QString::fromLatin1(historySpanName(static_cast<HistorySpan>(k))));
    spanBox_->setCurrentIndex(static_cast<int>(span_));
    spanBox_->setAccessibleName(QStringLiteral("Time span"));
    png_ = new QPushButton(QStringLiteral("Export PNG..."), this);
    csv_ = new QPushButton(QStringLiteral("Export CSV..."), this);
    auto* close = new QPushButton(QStringLiteral("Close"), this);
    close->setAutoDefault(false);

    adapters_ = new QListWidget(this);
    adapters_->setAccessibleName(QStringLiteral("Adapters"));
    adapters_->setMaximumWidth(200);

    chart_ = new QChart;
    chart_->legend()->setAlignment(Qt::AlignBottom);
    chart_->setMargins(QMargins(4, 4, 4, 4));
    timeAxis_ = new QDateTimeAxis;
    timeAxis_->setTitleText(QStringLiteral("Time"));
    rateAxis_ = new QValueAxis;
    rateAxis_->setTitleText(QStringLiteral("Link rate (Mbit/s)"));
    rateAxis_->setLabelFormat(QStringLiteral("%.0f"));
    chart_->addAxis(timeAxis_, Qt::AlignBottom);
    chart_->addAxis(rateAxis_, Qt::AlignLeft);
    // The branding's list colour is the colour of the window's texts of data:
    // the axes and the table use it as the device list does.
    const QColor brand = QColor::fromRgb(listTextColor(preferences.color));
    for (auto* axis :
         {static_cast<QAbstractAxis*>(timeAxis_), static_cast<QAbstractAxis*>(rateAxis_)}) {
        axis->setLabelsBrush(brand);
        axis->setTitleBrush(brand);
    }
    chartView_ = new QChartView(chart_, this);
    chartView_->setRenderHint(QPainter::Antialiasing);
    chartView_->setMinimumSize(480, 300);
    chartView_->setAccessibleName(QStringLiteral("Link rate plot"));

    table_ = new QTableWidget(0, 3, this);
    table_->setHorizontalHeaderLabels(
        {QStringLiteral("Time"), QStringLiteral("Adapter"), QStringLiteral("Link rate")});
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->verticalHeader()->setVisible(false);
    table_->horizontalHeader()->setStretchLastSection(true);
    table_->setWordWrap(false);
    {
        const QFontMetrics fm = table_->fontMetrics();
        table_->setColumnWidth(0, fm.horizontalAdvance(QStringLiteral("2026-12-31 23:59:59")) + 16);
        table_->setColumnWidth(1, fm.horizontalAdvance(QStringLiteral("Device 10 (long)")) + 16);
        table_->setMinimumWidth(fm.horizontalAdvance(QStringLiteral(
                                    "2026-12-31 23:59:59 Device 10 (long) 200.00 Mbit/s")) +
                                64);
    }
    table_->setAccessibleName(QStringLiteral("Link rate values"));
    QPalette palette = table_->palette();
    palette.setColor(QPalette::Text, brand);
    table_->setPalette(palette);
    adapters_->setPalette(palette);

    note_ = new QLabel(this);
    note_->setEnabled(false); // quiet: the disabled text colour
    note_->setWordWrap(true);
    hover_ = new QLabel(this);
    hover_->setAccessibleName(QStringLiteral("Point under the pointer"));

    auto* top = new QHBoxLayout;
    top->addWidget(new QLabel(QStringLiteral("Show:"), this));
    top->addWidget(spanBox_);
    top->addStretch(1);
    top->addWidget(hover_);
    auto* split = new QSplitter(this);
    split->addWidget(adapters_);
    split->addWidget(chartView_);
    split->addWidget(table_);
    split->setStretchFactor(1, 3);
    split->setStretchFactor(2, 1);
    split->setSizes({160, 560, 360});
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(note_, 1);
    bottom->addWidget(png_);
    bottom->addWidget(csv_);
    bottom->addWidget(close);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(split, 1);
    layout->addLayout(bottom);
    resize(1100, 500);

    connect(spanBox_, &QComboBox::currentIndexChanged, this,
            [this](int index) { setSpan(static_cast<HistorySpan>(index)); });
    connect(adapters_, &QListWidget::itemChanged, this, [this] {
        if (fillingAdapters_)
            return;
        followPair_ = false; // the user chose: nothing is checked for them any more
        chosen_.clear();
        for (int r = 0; r < adapters_->count(); ++r)
            if (adapters_->item(r)->checkState() == Qt::Checked)
                chosen_.push_back(adapters_->item(r)->data(Qt::UserRole).toLongLong());
        refresh();
    });
    connect(png_, &QPushButton::clicked, this, &HistoryView::onExportPng);
    connect(csv_, &QPushButton::clicked, this, &HistoryView::onExportCsv);
    connect(close, &QPushButton::clicked, this, &QWidget::close);
}

bool HistoryView::openStore() {
    if (store_.isOpen())
        return true;
    const std::string& recorderPath = historyRecorderStatus().path;
    const std::string path = recorderPath.empty() ? defaultHistoryPath() : recorderPath;
    return store_.open(path, HistoryMode::Read, kViewBusyTimeoutMs) == HistoryResult::Ok;
}

void HistoryView::reloadLinks() {
    std::vector<HistoryLink> links, pair;
    if (openStore() && store_.links({}, links) == HistoryResult::Ok) {
        uint8_t a[6], b[6];
        if (!pairA_.empty() && parseMac(pairA_.c_str(), a) && parseMac(pairB_.c_str(), b) &&
            pairHistoryLinks(store_, a, b, pair) == HistoryResult::Ok) {
            // The pair's directions first; a link of the local adapter that is
            // one of them is listed once, as that direction.
            for (HistoryLink& link : links)
                if (std::none_of(pair.begin(), pair.end(),
                                 [&](const HistoryLink& p) { return p.id == link.id; }))
                    pair.push_back(std::move(link));
            links = std::move(pair);
        }
        links_ = std::move(links);
    }
    // The adapter list gains new links; existing items and their checks stay
    // (an item takes the pair's wording when it becomes a direction of it).
    fillingAdapters_ = true;
    // Directions of a pair no longer shown leave the list.
    for (int r = adapters_->count() - 1; r >= 0; --r) {
        const qlonglong id = adapters_->item(r)->data(Qt::UserRole).toLongLong();
        if (std::none_of(links_.begin(), links_.end(),
                         [&](const HistoryLink& l) { return l.id == id; }))
            delete adapters_->takeItem(r);
    }
    int pairRow = 0; // the pair's directions stay at the top, in their order
    for (const HistoryLink& link : links_) {
        const QString text = link.pair ? qs(historyLinkLabel(link))
                                       : qs(historyLinkLabel(link)) + QStringLiteral("\n") +
                                             qs(formatMac(link.remoteMac));
        QListWidgetItem* listed = nullptr;
        for (int r = 0; r < adapters_->count() && !listed; ++r)
            if (adapters_->item(r)->data(Qt::UserRole).toLongLong() == link.id)
                listed = adapters_->item(r);
        if (listed) {
            if (listed->text() != text)
                listed->setText(text);
            pairRow += link.pair ? 1 : 0;
            continue;
        }
        auto* item = new QListWidgetItem(text);
        item->setData(Qt::UserRole, static_cast<qlonglong>(link.id));
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        // A direction of the followed pair recorded for the first time.
        if (followPair_ && link.pair &&
            std::find(chosen_.begin(), chosen_.end(), link.id) == chosen_.end())
            chosen_.push_back(link.id);
        const bool on = std::find(chosen_.begin(), chosen_.end(), link.id) != chosen_.end();
        item->setCheckState(on ? Qt::Checked : Qt::Unchecked);
        if (link.pair)
            adapters_->insertItem(pairRow++, item);
        else
            adapters_->addItem(item);
    }
    fillingAdapters_ = false;
}

void HistoryView::checkChosen() {
    fillingAdapters_ = true;
    for (int r = 0; r < adapters_->count(); ++r) {
        QListWidgetItem* item = adapters_->item(r);
        const bool on = std::find(chosen_.begin(), chosen_.end(),
                                  item->data(Qt::UserRole).toLongLong()) != chosen_.end();
        item->setCheckState(on ? Qt::Checked : Qt::Unchecked);
    }
    fillingAdapters_ = false;
}

void HistoryView::choosePair(const std::string& macA, const std::string& macB) {
    store_.close(); // a file that appeared or was replaced since
    pairA_ = macA;
    pairB_ = macB;
    chosen_.clear();
    followPair_ = true;
    reloadLinks();
    chosen_.clear();
    for (const HistoryLink& link : links_)
        if (link.pair)
            chosen_.push_back(link.id);
    checkChosen();
    refresh();
}

void HistoryView::choose(const std::string& selectedMac, const std::string& localMac) {
    store_.close(); // a file that appeared or was replaced since
    // From the Main page: the local adapter's links, no pair.
    followPair_ = false;
    pairA_.clear();
    pairB_.clear();
    reloadLinks();
    chosen_ = initialHistoryLinks(links_, selectedMac, localMac);
    checkChosen();
    refresh();
}

void HistoryView::setSpan(HistorySpan span) {
    span_ = span;
    if (spanBox_->currentIndex() != static_cast<int>(span))
        spanBox_->setCurrentIndex(static_cast<int>(span));
    refresh();
}

void HistoryView::refresh() {
    refreshQueued_ = false;
    ++refreshes_;
    reloadLinks();
    const int64_t now = utcNowMs() / 1000;
    std::vector<HistoryCurve> curves;
    std::string problem;
    if (!store_.isOpen()) {
        curves_.clear();
    } else if (HistoryResult r = loadHistoryCurves(store_, links_, chosen_, span_, now, curves);
               r == HistoryResult::Ok) {
        curves_ = std::move(curves);
    } else if (r != HistoryResult::Busy) {
        // A damaged or replaced file: read it afresh next time.
        problem = std::string("The history cannot be read: ") + historyResultText(r) + ".";
        store_.close();
    } // Busy: the curves stay as they were until the next cycle.

    // A history shorter than the span fills the plot rather than a sliver at its end.
    int64_t start = now - historySpanSeconds(span_);
    int64_t earliest = now;
    for (const HistoryCurve& c : curves_)
        if (!c.points.empty())
            earliest = std::min(earliest, c.points.front().time);
    if (earliest > start && earliest < now)
        start = std::max(start, earliest - (now - earliest) / 20 - 1);
    timeAxis_->setRange(QDateTime::fromMSecsSinceEpoch(msOf(start)),
                        QDateTime::fromMSecsSinceEpoch(msOf(now)));
    // Labels as fine as the range shown needs.
    const int64_t shown = now - start;
    timeAxis_->setFormat(shown <= 3 * 3600     ? QStringLiteral("HH:mm:ss")
                         : shown <= 2 * 86400  ? QStringLiteral("HH:mm")
                         : shown <= 60 * 86400 ? QStringLiteral("dd MMM")
                                               : QStringLiteral("MMM yyyy"));
    updateSeries();
    updateTable();

    std::string note = problem.empty() ? historyNoteText() : problem;
    if (note.empty() && links_.empty())
        note = "No history yet: every automatic scan adds the rates it finds.";
    if (note.empty() && followPair_ && chosen_.empty())
        note = "No rates of this pair yet: they are kept while the network map is open.";
    note_->setText(qs(note));
}

void HistoryView::updateSeries() {
    // Other adapters chosen: the curves are new. Otherwise the same series get
    // their new points, so the plot grows under the pointer without flicker.
    bool same = series_.size() == curves_.size();
    for (size_t c = 0; same && c < curves_.size(); ++c)
        same = !series_[c].empty() &&
               series_[c][0]->property("link").toLongLong() == curves_[c].link.id;
    if (!same) {
        chart_->removeAllSeries();
        series_.assign(curves_.size(), {});
    }
    double top = 0;
    for (size_t c = 0; c < curves_.size(); ++c) {
        const HistoryCurve& curve = curves_[c];
        const QColor colour = kCurveColors[c % (sizeof kCurveColors / sizeof kCurveColors[0])];
        std::vector<QLineSeries*>& mine = series_[c];
        const size_t runs = std::max<size_t>(curve.runs.size(), 1);
        while (mine.size() < runs) {
            auto* s = new QLineSeries(chart_);
            s->setProperty("link", static_cast<qlonglong>(curve.link.id));
            s->setColor(colour);
            s->setPointsVisible(true); // a lone point between two gaps still shows
            s->setMarkerSize(5);
            chart_->addSeries(s);
            s->attachAxis(timeAxis_);
            s->attachAxis(rateAxis_);
            connect(s, &QLineSeries::hovered, this, &HistoryView::hovered);
            // One legend entry per adapter.
            const auto markers = chart_->legend()->markers(s);
            for (QLegendMarker* m : markers)
                m->setVisible(mine.empty());
            mine.push_back(s);
        }
        mine[0]->setName(qs(curve.label));
        for (size_t r = 0; r < mine.size(); ++r) {
            QList<QPointF> points;
            if (r < curve.runs.size())
                for (const PlotPoint& p : curve.runs[r]) {
                    points.append(QPointF(static_cast<qreal>(msOf(p.time)), p.value));
                    top = std::max(top, p.value);
                }
            mine[r]->replace(points);
        }
        for (const HistoryPoint& p : curve.points)
            top = std::max(top, p.max);
    }
    // A scale in round steps of ten with room above the highest point.
    rateAxis_->setRange(0, std::max(10.0, std::ceil(top * 1.1 / 10.0) * 10.0));
}

void HistoryView::updateTable() {
    const std::vector<HistoryTableRow> rows = historyTableRows(curves_);
    const int count = static_cast<int>(rows.size());
    // Rows change in place and are appended at the end: the selection and the
    // scroll position stay where the user left them.
    if (table_->rowCount() > count)
        table_->setRowCount(count);
    const int old = table_->rowCount();
    table_->setRowCount(count);
    for (int r = 0; r < count; ++r) {
        const HistoryTableRow& row = rows[static_cast<size_t>(r)];
        const QString texts[3] = {qs(row.time), qs(row.adapter), qs(row.value)};
        for (int c = 0; c < 3; ++c) {
            QTableWidgetItem* item = r < old ? table_->item(r, c) : nullptr;
            if (!item) {
                table_->setItem(r, c, new QTableWidgetItem(texts[c]));
            } else if (item->text() != texts[c]) {
                item->setText(texts[c]);
            }
        }
    }
}

int HistoryView::plottedPoints() const {
    int n = 0;
    for (const auto& perCurve : series_)
        for (const QLineSeries* s : perCurve)
            n += static_cast<int>(s->count());
    return n;
}

void HistoryView::hovered(const QPointF& point, bool state) {
    if (!state) {
        QToolTip::hideText();
        return;
    }
    auto* series = qobject_cast<QLineSeries*>(sender());
    if (!series)
        return;
    // The point of that series nearest to the pointer in time.
    const QList<QPointF> points = series->points();
    if (points.isEmpty())
        return;
    const QPointF* nearest = &points.front();
    for (const QPointF& p : points)
        if (std::abs(p.x() - point.x()) < std::abs(nearest->x() - point.x()))
            nearest = &p;
    QString name;
    const qlonglong link = series->property("link").toLongLong();
    for (const HistoryCurve& c : curves_)
        if (c.link.id == link)
            name = qs(c.label);
    const QString text = name + QStringLiteral(": ") +
                         qs(historyTimeText(static_cast<int64_t>(nearest->x() / 1000), true)) +
                         QStringLiteral(", ") + QString::number(nearest->y(), 'f', 2) +
                         QStringLiteral(" Mbit/s");
    hover_->setText(text);
    QToolTip::showText(QCursor::pos(), text, chartView_);
}

bool HistoryView::exportPng(const QString& path) {
    return chartView_->grab().save(path, "PNG");
}

bool HistoryView::exportCsv(const QString& path) {
    const std::string text = historyCsv(curves_);
    return writeFileAtomically(path.toStdString(), text.data(), text.size(),
                               ReplaceMode::KeepExisting) == WriteOutcome::Written;
}

void HistoryView::onExportPng() {
    QString path;
    {
        BusyScope busy; // the file dialog runs an event loop: no cycle inside it
        path = QFileDialog::getSaveFileName(this, QStringLiteral("Export PNG"),
                                            QStringLiteral("halyard-history.png"),
                                            QStringLiteral("PNG images (*.png)"));
    }
    if (!path.isEmpty() && !exportPng(path))
        note_->setText(QStringLiteral("Could not write ") + path);
}

void HistoryView::onExportCsv() {
    QString path;
    {
        BusyScope busy;
        path = QFileDialog::getSaveFileName(this, QStringLiteral("Export CSV"),
                                            QStringLiteral("halyard-history.csv"),
                                            QStringLiteral("CSV files (*.csv)"));
    }
    if (!path.isEmpty() && !exportCsv(path))
        note_->setText(QStringLiteral("Could not write ") + path);
}

void HistoryView::cycleRecorded() {
    // Called at the end of the cycle, inside the timer's tick: the view reads
    // the file afterwards, from the event loop, and only while it is shown.
    HistoryView* view = theView.data();
    if (!view || !view->isVisible() || view->refreshQueued_)
        return;
    view->refreshQueued_ = true;
    QTimer::singleShot(0, view, [view] { view->refresh(); });
}
