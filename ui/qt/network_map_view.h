#pragma once
// The "Network Map" window, opened from the Main page: the adapters as boxes
// (name, location, family; the local adapter in the middle with a double
// border), a line between every pair whose halves carry the rate from the
// adapter at that end (label, Mbit/s) coloured by the list's quality levels,
// and beside it the same rates as a matrix table for keyboard and
// accessibility users.
//
// The window is not modal: it stays open while the automatic scan runs and
// redraws after every cycle. While it is open it wants the map (the cycle
// then asks each remote adapter for its rates); closing it releases that.
// It never holds a row or index across a refresh: each one rebuilds the
// drawing and the table from the map table (the table's current cell is
// found again by the two adapters' MACs).
//
// Clicking a line, or activating a cell of the table (Enter, double-click),
// opens that pair's history: the rate each way between the two adapters.
#include <QDialog>
#include <QWidget>

#include "network/network_map.h"
#include "ui/network_map_logic.h"

class QLabel;
class QPushButton;
class QTableWidget;

// The drawing alone.
class NetworkMapDrawing : public QWidget {
    Q_OBJECT
  public:
    explicit NetworkMapDrawing(QWidget* parent = nullptr);
    void setView(const NetworkMapView& view);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    // The link drawn under `point` (widget coordinates), or -1.
    int linkAt(QPointF point) const;
    // Where the adapter `node` of the view is drawn now.
    QPointF nodeCentre(int node) const;

  signals:
    // A line was clicked: the adapters at its ends (MACs).
    void linkClicked(const QString& macA, const QString& macB);

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

  private:
    QRectF layoutArea() const;
    NetworkMapView view_;
    int pressed_ = -1; // the link under the button when it went down
    int hovered_ = -1;
};

class NetworkMapWindow : public QDialog {
    Q_OBJECT
  public:
    explicit NetworkMapWindow(QWidget* parent = nullptr);
    ~NetworkMapWindow() override;

    // Rebuilds the drawing and the table from the selected interface's map.
    void rebuild();
    // Gathers the map now when that is possible (see refreshNetworkMapNow).
    void refreshNow();

    NetworkMapDrawing* drawing() const { return drawing_; }
    QTableWidget* matrix() const { return matrix_; }
    QLabel* statusLabel() const { return status_; }
    QPushButton* refreshButton() const { return refresh_; }
    const NetworkMapView& view() const { return view_; }
    // Opens the history of the pair between the two adapters (the line's
    // click and the table's activated cell).
    void openPairHistory(const QString& macA, const QString& macB);

  private:
    void fillMatrix();

    NetworkMapWant want_;
    int consumerId_ = 0;
    MapLayout layout_;
    NetworkMapView view_;
    NetworkMapDrawing* drawing_ = nullptr;
    QTableWidget* matrix_ = nullptr;
    QLabel* status_ = nullptr;
    QPushButton* refresh_ = nullptr;
};

// Colour of a quality level of the list (kMapQualityUnknown: grey).
QColor mapLevelColour(int level);
