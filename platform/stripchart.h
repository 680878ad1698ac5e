// The strip chart: a Qt Charts view holding the last points-per-screen points of each trace,
// with a time axis, a cursor that reads out every trace at the sample under the mouse, zoom by
// wheel or rubber band (double click resets it), a pause for the drawing, and a PNG export.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPoint>
#include <QString>
#include <QTimer>

#include <vector>

class QChart;
class QChartView;
class QGraphicsLineItem;
class QGraphicsRectItem;
class QGraphicsSimpleTextItem;
class QLineSeries;
class QValueAxis;
class QWidget;

class StripChart : public QObject {
    Q_OBJECT
  public:
    // Creates the chart inside a placeholder widget; the widget owns it.
    static StripChart* embedIn(QWidget* host, int traces = 8);

    void setPointsPerScreen(int n);
    void setScrollMode(int) {}
    void setTrace(int trace, const QString& name, int rgb, int width, bool dashed);
    // Appends interleaved values: one per trace in turn.
    void append(const double* values, int count, int skip);
    // The x value (seconds) of each point held, oldest first.
    void setTimes(const double* seconds, int count);
    void setPaused(bool paused);
    void resetZoom();
    bool saveImage(const QString& path) const;

    // What the chart holds, and what it draws (they differ while paused).
    std::vector<std::vector<double>> traces() const { return data_; }
    std::vector<std::vector<double>> shownTraces() const;
    bool paused() const { return paused_; }
    bool zoomed() const { return zoomed_; }
    // Puts the mouse over shown sample `index` (oldest 0) as a real move does; returns the
    // cursor's text.
    QString hoverSample(int index);
    QString cursorText() const;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    StripChart(QWidget* host, int traces);
    void redraw();
    // Plots arrive from the scope loop between a reply and the next request; the series update
    // is costly, so it runs from the event pump once, however many plots came in between.
    void scheduleRedraw();
    void redrawNow();
    void trim();
    void setRanges(double x0, double x1, double y0, double y1);
    void showCursor(QPoint viewportPos);
    void hideCursor();

    QChart* chart_;
    QChartView* view_;
    QValueAxis* x_;
    QValueAxis* y_;
    std::vector<QLineSeries*> series_;
    std::vector<std::vector<double>> data_;
    std::vector<double> times_;
    // The points as last drawn, for the cursor.
    std::vector<double> shownX_;
    std::vector<std::vector<double>> shownY_;
    QGraphicsLineItem* cursorLine_ = nullptr;
    QGraphicsRectItem* cursorBox_ = nullptr;
    QGraphicsSimpleTextItem* cursorLabel_ = nullptr;
    QPoint cursorPos_;
    bool cursorShown_ = false;
    int perScreen_ = 100;
    bool paused_ = false;
    bool zoomed_ = false;
    bool settingRange_ = false;
    bool redrawPending_ = false;
    QElapsedTimer sinceRedraw_;
    QTimer fallback_;
    bool dirty_ = false;
    static constexpr qint64 kMinRedrawMs = 100;
};
