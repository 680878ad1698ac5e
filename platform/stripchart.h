// The strip chart: a Qt Charts view holding the last points-per-screen points of each trace.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <vector>

class QChart;
class QChartView;
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
    std::vector<std::vector<double>> traces() const { return data_; }

  private:
    StripChart(QWidget* host, int traces);
    void redraw();
    // Plots arrive from the scope loop between a reply and the next request; the series update
    // is costly, so it runs from the event pump once, however many plots came in between.
    void scheduleRedraw();
    void redrawNow();

    QChart* chart_;
    QChartView* view_;
    QValueAxis* x_;
    QValueAxis* y_;
    std::vector<QLineSeries*> series_;
    std::vector<std::vector<double>> data_;
    int perScreen_ = 100;
    bool redrawPending_ = false;
    QElapsedTimer sinceRedraw_;
    QTimer fallback_;
    bool dirty_ = false;
    static constexpr qint64 kMinRedrawMs = 100;
};
