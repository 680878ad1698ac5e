// The scope's chart alone, in three engines, on the X display in $DISPLAY: the program's own
// QPainter strip chart, Qt Charts, and QCustomPlot (when built with them). Each is fed what the
// scope feeds its chart: 8 traces of 100 points (two bold raw lines, six dashed reference and
// band lines), a time axis that moves with every sample, a legend, at the line's 26.67 samples a
// second. The strip chart takes every sample, as in the program, and paces its own repaints; the
// other two are handed the data once per display frame (10 a second), their best case.
// Each engine runs in a process of its own; its CPU over the timed window is printed as JSON.
// Usage: bench_chart_engines [--seconds N] [--runs N] [ENGINE...]
//   (engines: strip, qtcharts, qcustomplot; default 10 s, 3 runs, every engine built in)
#include "chart/stripchart.h"
#include "core/line.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#ifdef ZEL_BENCH_QTCHARTS
#include <QChart>
#include <QChartView>
#include <QLegend>
#include <QLineSeries>
#include <QValueAxis>
#endif
#ifdef ZEL_BENCH_QCUSTOMPLOT
#include <qcustomplot.h>
#endif

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kTraces = 8;
constexpr int kPoints = 100;
constexpr double kLineRate = kLineLimitPerSec;
constexpr int kFrameMs = 100;
const char* const kNames[kTraces] = {"Raw CHA",   "Raw CHB",   "Ref CHA",   "Ref CHB",
                                     "Upper CHA", "Lower CHA", "Upper CHB", "Lower CHB"};
constexpr int kColours[kTraces] = {0x1F5FD0, 0xE06A10, 0x0A2A78, 0x8A3A00,
                                   0x4A86F0, 0x4A86F0, 0xF2923C, 0xF2923C};
constexpr int kWidths[kTraces] = {3, 3, 2, 1, 2, 2, 1, 1};

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The scope's samples: two slowly moving raw values with noise, fixed references and bands.
struct Feed {
    std::vector<double> values = std::vector<double>(kTraces * kPoints, 0.0); // oldest first
    std::vector<double> times = std::vector<double>(kPoints, 0.0);
    long n = 0;

    void next(double t) {
        std::rotate(values.begin(), values.begin() + kTraces, values.end());
        std::rotate(times.begin(), times.begin() + 1, times.end());
        double* s = values.data() + (kPoints - 1) * kTraces;
        const double phase = static_cast<double>(n++) * 0.05;
        s[0] = 512 + 300 * std::sin(phase) + static_cast<double>(n % 7);
        s[1] = 400 + 250 * std::sin(phase * 0.7) + static_cast<double>(n % 5);
        s[2] = 512;
        s[3] = 512;
        s[4] = 612;
        s[5] = 412;
        s[6] = 612;
        s[7] = 412;
        times.back() = t;
    }
    double at(int trace, int point) const { return values[point * kTraces + trace]; }
};

struct Engine {
    virtual ~Engine() = default;
    virtual QWidget* widget() = 0;
    virtual void sample(const Feed& f) = 0; // every sample
    virtual void frame(const Feed&) {}      // once per display frame
};

struct StripEngine : Engine {
    QWidget host;
    StripChart* chart;
    StripEngine() {
        chart = StripChart::embedIn(&host, kTraces);
        chart->setPointsPerScreen(kPoints);
        for (int t = 0; t < kTraces; ++t) {
            chart->setTrace(t, kNames[t], kColours[t], kWidths[t], t >= 2);
        }
    }
    QWidget* widget() override { return &host; }
    void sample(const Feed& f) override {
        chart->setTimes(f.times.data(), kPoints);
        chart->append(f.values.data(), kTraces * kPoints, 0);
    }
};

#ifdef ZEL_BENCH_QTCHARTS
struct QtChartsEngine : Engine {
    QChart* chart = new QChart;
    QChartView view{chart};
    std::array<QLineSeries*, kTraces> series{};
    QValueAxis* x = new QValueAxis;
    QValueAxis* y = new QValueAxis;
    QList<QPointF> points;
    QtChartsEngine() {
        chart->addAxis(x, Qt::AlignBottom);
        chart->addAxis(y, Qt::AlignLeft);
        x->setTitleText("Time since Run (s)");
        y->setTitleText("Raw value");
        y->setRange(0, 1023);
        for (int t = 0; t < kTraces; ++t) {
            series[t] = new QLineSeries;
            series[t]->setName(kNames[t]);
            QPen pen{QColor::fromRgb(static_cast<QRgb>(kColours[t]))};
            pen.setWidth(kWidths[t]);
            pen.setStyle(t >= 2 ? Qt::DashLine : Qt::SolidLine);
            series[t]->setPen(pen);
            chart->addSeries(series[t]);
            series[t]->attachAxis(x);
            series[t]->attachAxis(y);
        }
        chart->legend()->setVisible(true);
        points.resize(kPoints);
    }
    QWidget* widget() override { return &view; }
    void sample(const Feed&) override {}
    void frame(const Feed& f) override {
        x->setRange(f.times.front(), f.times.back());
        for (int t = 0; t < kTraces; ++t) {
            for (int i = 0; i < kPoints; ++i) {
                points[i] = QPointF(f.times[i], f.at(t, i));
            }
            series[t]->replace(points);
        }
    }
};
#endif

#ifdef ZEL_BENCH_QCUSTOMPLOT
struct QCustomPlotEngine : Engine {
    QCustomPlot plot;
    QVector<double> xs = QVector<double>(kPoints), ys = QVector<double>(kPoints);
    QCustomPlotEngine() {
        plot.legend->setVisible(true);
        plot.xAxis->setLabel("Time since Run (s)");
        plot.yAxis->setLabel("Raw value");
        plot.yAxis->setRange(0, 1023);
        for (int t = 0; t < kTraces; ++t) {
            QCPGraph* g = plot.addGraph();
            g->setName(kNames[t]);
            QPen pen{QColor::fromRgb(static_cast<QRgb>(kColours[t]))};
            pen.setWidth(kWidths[t]);
            pen.setStyle(t >= 2 ? Qt::DashLine : Qt::SolidLine);
            g->setPen(pen);
        }
    }
    QWidget* widget() override { return &plot; }
    void sample(const Feed&) override {}
    void frame(const Feed& f) override {
        for (int i = 0; i < kPoints; ++i) {
            xs[i] = f.times[i];
        }
        for (int t = 0; t < kTraces; ++t) {
            for (int i = 0; i < kPoints; ++i) {
                ys[i] = f.at(t, i);
            }
            plot.graph(t)->setData(xs, ys, true);
        }
        plot.xAxis->setRange(f.times.front(), f.times.back());
        plot.replot(QCustomPlot::rpQueuedReplot);
    }
};
#endif

// One engine in this process: warm up for a second, then feed it for `seconds` and print
// the CPU used meanwhile.
int RunEngine(const std::string& name, double seconds, int argc, char** argv) {
    QApplication app(argc, argv);
    std::unique_ptr<Engine> e;
    if (name == "strip") {
        e = std::make_unique<StripEngine>();
#ifdef ZEL_BENCH_QTCHARTS
    } else if (name == "qtcharts") {
        e = std::make_unique<QtChartsEngine>();
#endif
#ifdef ZEL_BENCH_QCUSTOMPLOT
    } else if (name == "qcustomplot") {
        e = std::make_unique<QCustomPlotEngine>();
#endif
    } else {
        std::fprintf(stderr, "bench_chart_engines: engine %s not built in\n", name.c_str());
        return 2;
    }
    QWidget* w = e->widget();
    w->resize(720, 450); // the chart's size in the program's window
    w->show();
    Feed feed;
    QElapsedTimer clock;
    clock.start();
    QTimer samples, frames;
    samples.setTimerType(Qt::PreciseTimer);
    frames.setTimerType(Qt::PreciseTimer);
    QObject::connect(&samples, &QTimer::timeout, [&] {
        feed.next(static_cast<double>(clock.elapsed()) / 1000.0);
        e->sample(feed);
    });
    QObject::connect(&frames, &QTimer::timeout, [&] { e->frame(feed); });
    samples.start(static_cast<int>(std::lround(1000.0 / kLineRate)));
    frames.start(kFrameMs);
    double cpu0 = 0, wall0 = 0;
    QTimer::singleShot(1000, [&] {
        cpu0 = CpuSeconds();
        wall0 = static_cast<double>(clock.elapsed()) / 1000.0;
    });
    QTimer::singleShot(static_cast<int>(1000 + seconds * 1000), [&] {
        const double cpu = CpuSeconds() - cpu0;
        const double wall = static_cast<double>(clock.elapsed()) / 1000.0 - wall0;
        std::printf("%.4f\n", 100.0 * cpu / wall);
        std::fflush(stdout);
        app.quit();
    });
    return app.exec();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? -1 : v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 10;
    int runs = 3;
    std::vector<std::string> engines;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--engine") == 0 && i + 2 < argc) {
            return RunEngine(argv[i + 1], std::atof(argv[i + 2]), argc, argv); // a child
        } else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = std::max(2.0, std::atof(argv[++i]));
        } else if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (argv[i][0] != '-') {
            engines.emplace_back(argv[i]);
        } else {
            std::fprintf(stderr,
                         "usage: bench_chart_engines [--seconds N] [--runs N] [ENGINE...]\n");
            return 2;
        }
    }
    if (!std::getenv("DISPLAY")) {
        std::fprintf(stderr, "bench_chart_engines: needs an X display (bench/run starts Xvfb)\n");
        return 2;
    }
    if (engines.empty()) {
        engines = {"strip"};
#ifdef ZEL_BENCH_QTCHARTS
        engines.emplace_back("qtcharts");
#endif
#ifdef ZEL_BENCH_QCUSTOMPLOT
        engines.emplace_back("qcustomplot");
#endif
    }
    ::unsetenv("QT_QPA_PLATFORM");
    for (const std::string& name : engines) {
        std::vector<double> cpu;
        for (int r = 0; r < runs; ++r) {
            std::string cmd = std::string("'") + argv[0] + "' --engine " + name + " " +
                              std::to_string(seconds) + " 2>/dev/null";
            FILE* p = ::popen(cmd.c_str(), "r");
            double v = -1;
            if (!p || std::fscanf(p, "%lf", &v) != 1) {
                v = -1;
            }
            if (p && ::pclose(p) != 0) {
                v = -1;
            }
            if (v < 0) {
                std::fprintf(stderr, "bench_chart_engines: %s run failed\n", name.c_str());
                return 1;
            }
            cpu.push_back(v);
        }
        std::printf(
            "{\"bench\":\"chart_engines\",\"engine\":\"%s\",\"cpu_percent_of_one_core\":%.2f,"
            "\"cpu_min\":%.2f,\"cpu_max\":%.2f,\"seconds\":%.0f,\"runs\":%d}\n",
            name.c_str(), Median(cpu), *std::min_element(cpu.begin(), cpu.end()),
            *std::max_element(cpu.begin(), cpu.end()), seconds, runs);
        std::fflush(stdout);
    }
    return 0;
}
