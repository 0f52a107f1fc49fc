#include "ui/qt/network_map_view.h"

#include <QFontMetrics>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QSplitter>
#include <QStyle>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "network/cycle_consumers.h"
#include "network/model.h"
#include "platform/clock.h"
#include "ui/qt/history_view.h"
#include "ui/qt/ui_seams.h"

namespace {

// Box of one adapter, in logical pixels (scaled with the font).
QSizeF nodeSize(const QFontMetrics& fm) {
    return QSizeF(fm.horizontalAdvance(QLatin1Char('M')) * 13.0, fm.height() * 3.4);
}

QString qs(const std::string& text) {
    return QString::fromUtf8(text.c_str(), static_cast<int>(text.size()));
}

// How far along the direction `u` (a unit vector) a box of `size` centred on
// the line reaches.
qreal reachAlong(QPointF u, QSizeF size) {
    qreal x = std::fabs(u.x()) > 1e-9 ? size.width() / 2 / std::fabs(u.x()) : 1e9;
    qreal y = std::fabs(u.y()) > 1e-9 ? size.height() / 2 / std::fabs(u.y()) : 1e9;
    return std::min(x, y);
}

// Where the label of the rate from `from` sits on the line to `to`: a third of
// the way along the part between the two boxes (lines that leave a box close
// together have spread apart there), outside the box, so it never hides the
// label, and never past the middle (the other direction's label is beyond).
QPointF labelPoint(QPointF from, QPointF to, QSizeF nodeBox, QSizeF label) {
    QPointF d = to - from;
    qreal length = std::hypot(d.x(), d.y());
    if (length < 1)
        return from;
    QPointF u = d / length;
    qreal half = reachAlong(u, label);
    qreal exit = reachAlong(u, nodeBox);
    qreal visible = length - 2 * exit; // between the two boxes
    qreal along = exit + std::max(half + 4, visible * 0.3);
    along = std::min(along, length / 2 - half - 2);
    if (along < 0)
        along = length * 0.34;
    return from + u * along;
}

const char* const kLevelNames[kMapQualityLevels] = {"-offline -", "Fair", "Good", "Very Good",
                                                    "Excellent"};

} // namespace

QColor mapLevelColour(int level) {
    switch (level) {
    case 0:
        return QColor(0x75, 0x75, 0x75);
    case 1:
        return QColor(0xc6, 0x28, 0x28);
    case 2:
        return QColor(0xef, 0x6c, 0x00);
    case 3:
        return QColor(0x7c, 0xb3, 0x42);
    case 4:
        return QColor(0x2e, 0x7d, 0x32);
    default:
        return QColor(0xb0, 0xb0, 0xb0);
    }
}

// ---- The drawing ---------------------------------------------------------------------

NetworkMapDrawing::NetworkMapDrawing(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("NetworkMapDrawing"));
    setAccessibleName(QStringLiteral("Network map drawing"));
    setAccessibleDescription(
        QStringLiteral("The same rates are in the matrix table beside the drawing."));
    setBackgroundRole(QPalette::Base);
    setAutoFillBackground(true);
    setMouseTracking(true); // the pointer turns into a hand over a line
}

QRectF NetworkMapDrawing::layoutArea() const {
    QSizeF node = nodeSize(QFontMetrics(font()));
    return QRectF(rect()).adjusted(node.width() / 2 + 6, node.height() / 2 + 6,
                                   -node.width() / 2 - 6, -node.height() / 2 - 6);
}

QPointF NetworkMapDrawing::nodeCentre(int node) const {
    if (node < 0 || static_cast<size_t>(node) >= view_.nodes.size())
        return {};
    // The -1..1 square of the layout, inside the margins a box needs.
    // A circle stays a circle: the same scale both ways.
    QRectF area = layoutArea();
    qreal half = std::max<qreal>(1.0, std::min(area.width(), area.height()) / 2);
    const MapNodeView& n = view_.nodes[static_cast<size_t>(node)];
    return QPointF(area.center().x() + n.x * half, area.center().y() + n.y * half);
}

int NetworkMapDrawing::linkAt(QPointF point) const {
    QFontMetrics fm(font());
    QSizeF node = nodeSize(fm);
    std::vector<MapPoint> centres;
    for (size_t k = 0; k < view_.nodes.size(); ++k) {
        QPointF c = nodeCentre(static_cast<int>(k));
        centres.push_back({c.x(), c.y()});
    }
    // A finger's width around the line, whatever the line's own width.
    const double reach = std::max<qreal>(6.0, fm.height() * 0.5);
    return mapLinkAt(view_, centres, {point.x(), point.y()}, reach,
                     {node.width() / 2, node.height() / 2});
}

void NetworkMapDrawing::mousePressEvent(QMouseEvent* event) {
    pressed_ = event->button() == Qt::LeftButton ? linkAt(event->position()) : -1;
    QWidget::mousePressEvent(event);
}

void NetworkMapDrawing::mouseReleaseEvent(QMouseEvent* event) {
    // A click is a press and a release on the same line.
    const int link = event->button() == Qt::LeftButton ? linkAt(event->position()) : -1;
    const int pressed = pressed_;
    pressed_ = -1;
    QWidget::mouseReleaseEvent(event);
    if (link < 0 || link != pressed || static_cast<size_t>(link) >= view_.links.size())
        return;
    const MapLinkView& l = view_.links[static_cast<size_t>(link)];
    emit linkClicked(qs(view_.nodes[static_cast<size_t>(l.a)].mac),
                     qs(view_.nodes[static_cast<size_t>(l.b)].mac));
}

void NetworkMapDrawing::mouseMoveEvent(QMouseEvent* event) {
    const int link = linkAt(event->position());
    if (link != hovered_) {
        hovered_ = link;
        if (link < 0) {
            unsetCursor();
            setToolTip(QString());
        } else {
            setCursor(Qt::PointingHandCursor);
            const MapLinkView& l = view_.links[static_cast<size_t>(link)];
            setToolTip(QStringLiteral("Show the history of %1 and %2")
                           .arg(qs(view_.nodes[static_cast<size_t>(l.a)].name),
                                qs(view_.nodes[static_cast<size_t>(l.b)].name)));
        }
    }
    QWidget::mouseMoveEvent(event);
}

void NetworkMapDrawing::setView(const NetworkMapView& view) {
    view_ = view;
    update();
}

QSize NetworkMapDrawing::sizeHint() const {
    QFontMetrics fm(font());
    QSizeF node = nodeSize(fm);
    return QSize(static_cast<int>(node.width() * 4.6), static_cast<int>(node.height() * 7.5));
}

QSize NetworkMapDrawing::minimumSizeHint() const {
    QFontMetrics fm(font());
    QSizeF node = nodeSize(fm);
    return QSize(static_cast<int>(node.width() * 3.2), static_cast<int>(node.height() * 5));
}

void NetworkMapDrawing::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QFont normal = font();
    QFont bold = normal;
    bold.setBold(true);
    QFont small = normal;
    small.setPointSizeF(normal.pointSizeF() * 0.85);
    QFontMetrics fm(normal);
    QSizeF node = nodeSize(fm);

    if (view_.nodes.empty()) {
        p.setPen(palette().color(QPalette::PlaceholderText));
        p.drawText(rect(), Qt::AlignCenter, QStringLiteral("No adapters to show yet."));
        return;
    }
    auto at = [&](const MapNodeView& n) {
        return nodeCentre(static_cast<int>(&n - view_.nodes.data()));
    };

    // Lines: each half drawn from its adapter, in the colour of the rate from it.
    qreal lineWidth = std::max<qreal>(2.0, fm.height() / 6.0);
    for (const MapLinkView& l : view_.links) {
        QPointF a = at(view_.nodes[static_cast<size_t>(l.a)]);
        QPointF b = at(view_.nodes[static_cast<size_t>(l.b)]);
        QPointF mid = (a + b) / 2;
        for (const auto& [from, to, dir] :
             {std::tuple{a, mid, &l.forward}, std::tuple{b, mid, &l.backward}}) {
            QPen pen(mapLevelColour(dir->level), lineWidth);
            if (dir->level == kMapQualityUnknown)
                pen.setStyle(Qt::DashLine);
            p.setPen(pen);
            p.drawLine(from, to);
        }
    }
    // Rate labels: on each half, beyond the box it starts from.
    p.setFont(small);
    QFontMetrics sm(small);
    for (const MapLinkView& l : view_.links) {
        QPointF a = at(view_.nodes[static_cast<size_t>(l.a)]);
        QPointF b = at(view_.nodes[static_cast<size_t>(l.b)]);
        for (const auto& [from, to, dir] :
             {std::tuple{a, b, &l.forward}, std::tuple{b, a, &l.backward}}) {
            QString text = qs(dir->rateText);
            QRectF box(0, 0, sm.horizontalAdvance(text) + sm.height() * 0.6, sm.height() * 1.1);
            box.moveCenter(labelPoint(from, to, node, box.size()));
            p.setPen(QPen(mapLevelColour(dir->level), 1.2));
            p.setBrush(palette().color(QPalette::Base));
            p.drawRoundedRect(box, box.height() / 3, box.height() / 3);
            p.setPen(palette().color(QPalette::Text));
            p.drawText(box, Qt::AlignCenter, text);
        }
    }
    // Boxes on top.
    for (const MapNodeView& n : view_.nodes) {
        QRectF box(0, 0, node.width(), node.height());
        box.moveCenter(at(n));
        QColor edge = n.local ? palette().color(QPalette::Highlight) : QColor(0x60, 0x60, 0x60);
        p.setBrush(n.local ? palette().color(QPalette::AlternateBase)
                           : palette().color(QPalette::Base));
        p.setPen(QPen(edge, n.local ? lineWidth * 1.2 : 1.2));
        p.drawRoundedRect(box, 6, 6);
        if (n.local) {
            p.setBrush(Qt::NoBrush);
            p.drawRoundedRect(box.adjusted(3.5, 3.5, -3.5, -3.5), 4, 4);
        }
        QRectF text = box.adjusted(6, 3, -6, -3);
        p.setPen(palette().color(QPalette::Text));
        p.setFont(bold);
        QFontMetrics bm(bold);
        p.drawText(QRectF(text.left(), text.top(), text.width(), bm.height()), Qt::AlignCenter,
                   bm.elidedText(qs(n.name), Qt::ElideRight, static_cast<int>(text.width())));
        p.setFont(small);
        QString line2 = qs(n.location + " \u00b7 " + n.family);
        p.drawText(QRectF(text.left(), text.top() + bm.height(), text.width(), sm.height()),
                   Qt::AlignCenter,
                   sm.elidedText(line2, Qt::ElideRight, static_cast<int>(text.width())));
        p.setPen(palette().color(QPalette::PlaceholderText));
        p.drawText(
            QRectF(text.left(), text.top() + bm.height() + sm.height(), text.width(), sm.height()),
            Qt::AlignCenter, qs(n.mac));
    }
}

// ---- The window ------------------------------------------------------------------------

NetworkMapWindow::NetworkMapWindow(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("NetworkMapWindow"));
    setWindowTitle(QStringLiteral("Network Map"));
    setAttribute(Qt::WA_DeleteOnClose);
    setModal(false);

    drawing_ = new NetworkMapDrawing(this);
    matrix_ = new QTableWidget(this);
    matrix_->setObjectName(QStringLiteral("NetworkMapMatrix"));
    matrix_->setAccessibleName(QStringLiteral("Rates in Mbit/s, from the row's adapter to the "
                                              "column's adapter"));
    matrix_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    matrix_->setSelectionMode(QAbstractItemView::SingleSelection);
    matrix_->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    matrix_->verticalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    matrix_->setSizeAdjustPolicy(QAbstractScrollArea::AdjustToContents);

    auto* caption = new QLabel(QStringLiteral("Rates in Mbit/s, from the row to the column"), this);
    caption->setBuddy(matrix_);
    auto* side = new QWidget(this);
    auto* sideLayout = new QVBoxLayout(side);
    sideLayout->setContentsMargins(0, 0, 0, 0);
    sideLayout->addWidget(caption);
    sideLayout->addWidget(matrix_, 1);

    auto* splitter = new QSplitter(this);
    splitter->addWidget(drawing_);
    splitter->addWidget(side);
    splitter->setStretchFactor(0, 1);
    splitter->setStretchFactor(1, 0);

    // Legend: what a half line's colour says.
    auto* legend = new QHBoxLayout;
    legend->addWidget(new QLabel(QStringLiteral("Each half of a line is the rate from the "
                                                "adapter at its end:"),
                                 this));
    for (int level = kMapQualityLevels - 1; level >= kMapQualityUnknown; --level) {
        QString name = level == kMapQualityUnknown ? QStringLiteral("unknown")
                                                   : QString::fromUtf8(kLevelNames[level]);
        auto* swatch = new QLabel(this);
        QColor c = mapLevelColour(level);
        swatch->setText(QStringLiteral("<span style=\"color:%1\">\u25a0</span> %2")
                            .arg(c.name(), name.toHtmlEscaped()));
        legend->addWidget(swatch);
    }
    legend->addStretch(1);

    status_ = new QLabel(this);
    status_->setObjectName(QStringLiteral("NetworkMapStatus"));
    refresh_ = new QPushButton(QStringLiteral("Refresh"), this);
    auto* close = new QPushButton(QStringLiteral("Close"), this);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(status_, 1);
    bottom->addWidget(refresh_);
    bottom->addWidget(close);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(splitter, 1);
    layout->addLayout(legend);
    layout->addLayout(bottom);

    connect(close, &QPushButton::clicked, this, &QDialog::close);
    connect(refresh_, &QPushButton::clicked, this, &NetworkMapWindow::refreshNow);
    connect(drawing_, &NetworkMapDrawing::linkClicked, this, &NetworkMapWindow::openPairHistory);
    // The keyboard's way to a pair: Enter (or a double-click) on a cell.
    connect(matrix_, &QTableWidget::cellActivated, this, [this](int row, int column) {
        if (row == column || row < 0 || column < 0 ||
            static_cast<size_t>(row) >= view_.nodes.size() ||
            static_cast<size_t>(column) >= view_.nodes.size())
            return;
        openPairHistory(qs(view_.nodes[static_cast<size_t>(row)].mac),
                        qs(view_.nodes[static_cast<size_t>(column)].mac));
    });
    // After every cycle (its gatherers done), redraw from the new map.
    consumerId_ = addCycleConsumer(CyclePhase::Record, [this](const CycleEnd&) { rebuild(); });
    rebuild();
    // The first look: gather now unless a cycle is on its way, once the
    // window has been shown.
    if (networkMaps[currentInterface < 0 || currentInterface >= kMaxInterfaces ? 0
                                                                               : currentInterface]
            .generation == 0)
        runWhenIdle(this, [this] { refreshNow(); });
}

NetworkMapWindow::~NetworkMapWindow() {
    removeCycleConsumer(consumerId_);
}

void NetworkMapWindow::openPairHistory(const QString& macA, const QString& macB) {
    // The history view is a window of its own beside the map, not a child
    // dialog of it: closing the map leaves it open.
    HistoryView::openForPair(parentWidget(), macA.toStdString(), macB.toStdString());
}

void NetworkMapWindow::refreshNow() {
    refresh_->setEnabled(false);
    refreshNetworkMapNow();
    refresh_->setEnabled(true);
    rebuild();
}

void NetworkMapWindow::rebuild() {
    int i = currentInterface < 0 || currentInterface >= kMaxInterfaces ? 0 : currentInterface;
    view_ = buildNetworkMapView(networkMaps[i], layout_);
    drawing_->setView(view_);
    fillMatrix();
    status_->setText(qs(mapStatusText(networkMaps[i], tickCount())));
}

void NetworkMapWindow::fillMatrix() {
    // The current cell is found again by its adapters, not its index: a
    // keyboard user's place survives the refresh after every cycle.
    QString currentRow, currentColumn;
    if (matrix_->currentRow() >= 0 && matrix_->currentColumn() >= 0) {
        currentRow =
            matrix_->verticalHeaderItem(matrix_->currentRow())
                ? matrix_->verticalHeaderItem(matrix_->currentRow())->data(Qt::UserRole).toString()
                : QString();
        currentColumn = matrix_->horizontalHeaderItem(matrix_->currentColumn())
                            ? matrix_->horizontalHeaderItem(matrix_->currentColumn())
                                  ->data(Qt::UserRole)
                                  .toString()
                            : QString();
    }
    MapMatrix m = mapMatrix(view_);
    int n = static_cast<int>(m.headers.size());
    matrix_->clear();
    matrix_->setRowCount(n);
    matrix_->setColumnCount(n);
    QStringList headers;
    for (const std::string& h : m.headers)
        headers << qs(h);
    matrix_->setHorizontalHeaderLabels(headers);
    matrix_->setVerticalHeaderLabels(headers);
    int keepRow = -1, keepColumn = -1;
    for (int k = 0; k < n && static_cast<size_t>(k) < view_.nodes.size(); ++k) {
        const QString mac = qs(view_.nodes[static_cast<size_t>(k)].mac);
        matrix_->verticalHeaderItem(k)->setData(Qt::UserRole, mac);
        matrix_->horizontalHeaderItem(k)->setData(Qt::UserRole, mac);
        if (!currentRow.isEmpty() && mac == currentRow)
            keepRow = k;
        if (!currentColumn.isEmpty() && mac == currentColumn)
            keepColumn = k;
    }
    for (int r = 0; r < n; ++r)
        for (int c = 0; c < n; ++c) {
            auto* item =
                new QTableWidgetItem(qs(m.cells[static_cast<size_t>(r)][static_cast<size_t>(c)]));
            item->setTextAlignment(Qt::AlignCenter);
            int level = m.levels[static_cast<size_t>(r)][static_cast<size_t>(c)];
            if (r != c) {
                QColor tint = mapLevelColour(level);
                tint.setAlpha(level == kMapQualityUnknown ? 0 : 60);
                item->setBackground(tint);
                std::string description = mapCellDescription(view_, r, c);
                item->setData(Qt::AccessibleTextRole, qs(description));
                item->setData(Qt::AccessibleDescriptionRole,
                              QStringLiteral("Enter shows the history of this pair"));
                item->setToolTip(qs(description));
            } else {
                item->setData(Qt::AccessibleTextRole, QStringLiteral("no link to itself"));
            }
            matrix_->setItem(r, c, item);
        }
    if (keepRow >= 0 && keepColumn >= 0)
        matrix_->setCurrentCell(keepRow, keepColumn);
    // The whole table in view for a home network; a large one scrolls.
    matrix_->resizeColumnsToContents();
    matrix_->resizeRowsToContents();
    int wanted = matrix_->verticalHeader()->sizeHint().width() +
                 matrix_->horizontalHeader()->length() + 2 * matrix_->frameWidth() +
                 matrix_->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    int most = fontMetrics().horizontalAdvance(QLatin1Char('M')) * 48;
    matrix_->setMinimumWidth(std::min(wanted, most));
}
