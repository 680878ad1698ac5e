#include "stripchart.h"

#include <QChart>
#include <QChartView>
#include <QLineSeries>
#include <QPen>
#include <QTimer>
#include <QVBoxLayout>
#include <QValueAxis>
#include <QWidget>

#include <algorithm>
#include <cmath>

StripChart* StripChart::embedIn(QWidget* host, int traces) {
    return new StripChart(host, traces);
}

StripChart::StripChart(QWidget* host, int traces) : QObject(host) {
    chart_ = new QChart();
    chart_->legend()->setAlignment(Qt::AlignTop);
    chart_->setMargins(QMargins(4, 4, 4, 4));
    chart_->setBackgroundRoundness(0);
    x_ = new QValueAxis();
    y_ = new QValueAxis();
    x_->setRange(0, perScreen_ - 1);
    x_->setLabelFormat("%d");
    x_->setTitleText("Sample");
    y_->setRange(0, 1023);
    y_->setLabelFormat("%d");
    y_->setTickCount(5);
    y_->setTitleText("Raw value");
    chart_->addAxis(x_, Qt::AlignBottom);
    chart_->addAxis(y_, Qt::AlignLeft);
    for (int i = 0; i < traces; ++i) {
        auto* s = new QLineSeries();
        s->setName(QString("Trace %1").arg(i + 1));
        chart_->addSeries(s);
        s->attachAxis(x_);
        s->attachAxis(y_);
        series_.push_back(s);
    }
    data_.assign(static_cast<std::size_t>(traces), {});
    fallback_.setSingleShot(true);
    connect(&fallback_, &QTimer::timeout, this, [this] { redrawNow(); });
    view_ = new QChartView(chart_, host);
    view_->setRenderHint(QPainter::Antialiasing, false);
    view_->setAccessibleName("Strip chart");
    // Nothing to operate in the chart: Tab passes it by, as it does its host.
    view_->setFocusPolicy(Qt::NoFocus);
    auto* layout = new QVBoxLayout(host);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(view_);
}

void StripChart::setPointsPerScreen(int n) {
    n = std::clamp(n, 2, 100000);
    if (n == perScreen_) {
        return;
    }
    perScreen_ = n;
    x_->setRange(0, perScreen_ - 1);
    for (auto& d : data_) {
        if (static_cast<int>(d.size()) > perScreen_) {
            d.erase(d.begin(), d.end() - perScreen_);
        }
    }
    redraw();
}

void StripChart::setTrace(int trace, const QString& name, int rgb, int width, bool dashed) {
    if (trace < 0 || trace >= static_cast<int>(series_.size())) {
        return;
    }
    QPen pen(QColor((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF));
    pen.setWidth(std::max(1, width));
    pen.setStyle(dashed ? Qt::DashLine : Qt::SolidLine);
    series_[trace]->setPen(pen);
    series_[trace]->setName(name);
}

void StripChart::append(const double* values, int count, int skip) {
    const int traces = static_cast<int>(data_.size());
    if (traces == 0) {
        return;
    }
    int step = 1 + skip;
    int t = 0;
    for (int i = 0; i < count; i += step) {
        data_[t].push_back(values[i]);
        t = (t + 1) % traces;
    }
    for (auto& d : data_) {
        if (static_cast<int>(d.size()) > perScreen_) {
            d.erase(d.begin(), d.end() - perScreen_);
        }
    }
    scheduleRedraw();
}

void StripChart::scheduleRedraw() {
    dirty_ = true;
    if (redrawPending_) {
        return;
    }
    // Redraw at most every kMinRedrawMs: an eye needs no more, and painting for every sample
    // costs more than the rest of the scope loop. The redraw is queued right behind the plot,
    // so it runs while the next request is on the line, never between a reply and the request
    // it leads to. A slower timer catches the last samples when no more come.
    qint64 since = sinceRedraw_.isValid() ? sinceRedraw_.elapsed() : kMinRedrawMs;
    if (since < kMinRedrawMs) {
        if (!fallback_.isActive()) {
            fallback_.start(static_cast<int>(3 * kMinRedrawMs));
        }
        return;
    }
    redrawPending_ = true;
    QMetaObject::invokeMethod(
        this, [this] { redrawNow(); }, Qt::QueuedConnection);
}

void StripChart::redrawNow() {
    redrawPending_ = false;
    fallback_.stop();
    if (!dirty_) {
        return;
    }
    dirty_ = false;
    sinceRedraw_.restart();
    redraw();
}

void StripChart::redraw() {
    double lo = 0, hi = 1023;
    for (std::size_t t = 0; t < data_.size(); ++t) {
        const auto& d = data_[t];
        QList<QPointF> pts;
        pts.reserve(static_cast<qsizetype>(d.size()));
        // Newest sample at the right edge.
        int offset = perScreen_ - static_cast<int>(d.size());
        for (std::size_t i = 0; i < d.size(); ++i) {
            pts.append(QPointF(offset + static_cast<double>(i), d[i]));
            if (std::isfinite(d[i])) {
                lo = std::min(lo, d[i]);
                hi = std::max(hi, d[i]);
            }
        }
        series_[t]->replace(pts);
    }
    // 0..1023 by default; widen (to a round figure) only when values leave it.
    if (hi > 1023) {
        hi = std::ceil(hi / 1024.0) * 1024.0 - 1;
    }
    if (lo < 0) {
        lo = std::floor(lo / 64.0) * 64.0;
    }
    if (y_->min() != lo || y_->max() != hi) {
        y_->setRange(lo, hi);
    }
}
