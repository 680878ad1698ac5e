#include "stripchart.h"

#include <QBrush>
#include <QChart>
#include <QChartView>
#include <QCoreApplication>
#include <QGraphicsLineItem>
#include <QGraphicsRectItem>
#include <QGraphicsSimpleTextItem>
#include <QLineSeries>
#include <QMouseEvent>
#include <QPen>
#include <QPixmap>
#include <QTimer>
#include <QVBoxLayout>
#include <QValueAxis>
#include <QWheelEvent>
#include <QWidget>

#include <algorithm>
#include <cmath>

namespace {
constexpr double kWheelStep = 1.25; // zoom factor per wheel notch
}

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
    x_->setLabelFormat("%.1f");
    x_->setTitleText("Time since Run (s)");
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
    shownY_.assign(static_cast<std::size_t>(traces), {});
    // A range the program did not set is the operator's zoom: kept until reset.
    for (QValueAxis* axis : {x_, y_}) {
        connect(axis, &QValueAxis::rangeChanged, this, [this] {
            if (!settingRange_) {
                zoomed_ = true;
            }
        });
    }
    fallback_.setSingleShot(true);
    connect(&fallback_, &QTimer::timeout, this, [this] { redrawNow(); });
    view_ = new QChartView(chart_, host);
    view_->setRenderHint(QPainter::Antialiasing, false);
    view_->setAccessibleName("Strip chart");
    view_->setRubberBand(QChartView::RectangleRubberBand);
    view_->viewport()->setMouseTracking(true);
    view_->viewport()->installEventFilter(this);
    // Nothing to operate in the chart by keys: Tab passes it by, as it does its host.
    view_->setFocusPolicy(Qt::NoFocus);

    cursorLine_ = new QGraphicsLineItem(chart_);
    cursorLine_->setPen(QPen(QColor(0x40, 0x40, 0x40), 1, Qt::DotLine));
    cursorBox_ = new QGraphicsRectItem(chart_);
    cursorBox_->setBrush(QColor(255, 255, 240, 230));
    cursorBox_->setPen(QPen(QColor(0x80, 0x80, 0x80)));
    cursorLabel_ = new QGraphicsSimpleTextItem(cursorBox_);
    for (QGraphicsItem* item :
         {static_cast<QGraphicsItem*>(cursorLine_), static_cast<QGraphicsItem*>(cursorBox_)}) {
        item->setZValue(100);
        item->hide();
    }

    auto* layout = new QVBoxLayout(host);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(view_);
}

void StripChart::trim() {
    for (auto& d : data_) {
        if (static_cast<int>(d.size()) > perScreen_) {
            d.erase(d.begin(), d.end() - perScreen_);
        }
    }
    if (static_cast<int>(times_.size()) > perScreen_) {
        times_.erase(times_.begin(), times_.end() - perScreen_);
    }
}

void StripChart::setPointsPerScreen(int n) {
    n = std::clamp(n, 2, 100000);
    if (n == perScreen_) {
        return;
    }
    perScreen_ = n;
    trim();
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
    trim();
    scheduleRedraw();
}

void StripChart::setTimes(const double* seconds, int count) {
    times_.assign(seconds, seconds + count);
    trim();
}

void StripChart::setPaused(bool paused) {
    if (paused == paused_) {
        return;
    }
    paused_ = paused;
    if (!paused_) {
        redraw(); // the live history again, at once
    }
}

void StripChart::resetZoom() {
    zoomed_ = false;
    redraw();
}

bool StripChart::saveImage(const QString& path) const {
    return view_->grab().save(path, "PNG");
}

void StripChart::scheduleRedraw() {
    dirty_ = true;
    if (redrawPending_ || paused_) {
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
    if (!dirty_ || paused_) {
        return;
    }
    dirty_ = false;
    sinceRedraw_.restart();
    redraw();
}

void StripChart::setRanges(double x0, double x1, double y0, double y1) {
    settingRange_ = true;
    if (x_->min() != x0 || x_->max() != x1) {
        x_->setRange(x0, x1);
    }
    if (y_->min() != y0 || y_->max() != y1) {
        y_->setRange(y0, y1);
    }
    settingRange_ = false;
}

void StripChart::redraw() {
    if (paused_) {
        return;
    }
    dirty_ = false;
    double lo = 0, hi = 1023;
    std::size_t n = data_.empty() ? 0 : data_[0].size();
    // Seconds when the scope gave them for every point, else sample numbers with the newest at
    // the right edge.
    shownX_.resize(n);
    int offset = perScreen_ - static_cast<int>(n);
    for (std::size_t i = 0; i < n; ++i) {
        shownX_[i] = times_.size() == n ? times_[i] : offset + static_cast<double>(i);
    }
    for (std::size_t t = 0; t < data_.size(); ++t) {
        const auto& d = data_[t];
        QList<QPointF> pts;
        pts.reserve(static_cast<qsizetype>(d.size()));
        for (std::size_t i = 0; i < d.size() && i < n; ++i) {
            pts.append(QPointF(shownX_[i], d[i]));
            if (std::isfinite(d[i])) {
                lo = std::min(lo, d[i]);
                hi = std::max(hi, d[i]);
            }
        }
        series_[t]->replace(pts);
        shownY_[t] = d;
    }
    if (!zoomed_) {
        // 0..1023 by default; widen (to a round figure) only when values leave it.
        if (hi > 1023) {
            hi = std::ceil(hi / 1024.0) * 1024.0 - 1;
        }
        if (lo < 0) {
            lo = std::floor(lo / 64.0) * 64.0;
        }
        double x0 = n >= 2 ? shownX_.front() : 0;
        double x1 = n >= 2 ? shownX_.back() : perScreen_ - 1;
        if (!(x1 > x0)) {
            x1 = x0 + 1;
        }
        setRanges(x0, x1, lo, hi);
    }
    if (cursorShown_) {
        showCursor(cursorPos_);
    }
}

std::vector<std::vector<double>> StripChart::shownTraces() const {
    std::vector<std::vector<double>> out;
    for (QLineSeries* s : series_) {
        std::vector<double> ys;
        for (const QPointF& p : s->points()) {
            ys.push_back(p.y());
        }
        out.push_back(std::move(ys));
    }
    return out;
}

void StripChart::showCursor(QPoint viewportPos) {
    cursorPos_ = viewportPos;
    QPointF inChart = chart_->mapFromScene(view_->mapToScene(viewportPos));
    QRectF area = chart_->plotArea();
    if (shownX_.empty() || !area.contains(inChart)) {
        hideCursor();
        return;
    }
    double x = chart_->mapToValue(inChart).x();
    auto it = std::lower_bound(shownX_.begin(), shownX_.end(), x);
    std::size_t i = static_cast<std::size_t>(it - shownX_.begin());
    if (i == shownX_.size() || (i > 0 && x - shownX_[i - 1] < shownX_[i] - x)) {
        i = i == 0 ? 0 : i - 1;
    }
    QString text = QString("t %1 s").arg(shownX_[i], 0, 'f', 3);
    for (std::size_t t = 0; t < series_.size(); ++t) {
        if (i < shownY_[t].size()) {
            text += QString("\n%1: %2").arg(series_[t]->name()).arg(shownY_[t][i]);
        }
    }
    cursorLabel_->setText(text);
    double px = chart_->mapToPosition(QPointF(shownX_[i], y_->min())).x();
    cursorLine_->setLine(px, area.top(), px, area.bottom());
    QRectF box = cursorLabel_->boundingRect().adjusted(-4, -3, 4, 3);
    // Beside the cursor, on the side with room.
    double left = px + 8 + box.width() <= area.right() ? px + 8 : px - 8 - box.width();
    cursorBox_->setRect(0, 0, box.width(), box.height());
    cursorBox_->setPos(left, area.top() + 4);
    cursorLabel_->setPos(4, 3);
    cursorLine_->show();
    cursorBox_->show();
    cursorShown_ = true;
}

void StripChart::hideCursor() {
    cursorShown_ = false;
    cursorLine_->hide();
    cursorBox_->hide();
}

QString StripChart::cursorText() const {
    return cursorShown_ ? cursorLabel_->text() : QString();
}

QString StripChart::hoverSample(int index) {
    if (index < 0 || index >= static_cast<int>(shownX_.size())) {
        return {};
    }
    double midY = (y_->min() + y_->max()) / 2;
    QPointF inChart = chart_->mapToPosition(QPointF(shownX_[index], midY));
    QPoint pos = view_->mapFromScene(chart_->mapToScene(inChart));
    QMouseEvent move(QEvent::MouseMove, QPointF(pos), view_->viewport()->mapToGlobal(QPointF(pos)),
                     Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(view_->viewport(), &move);
    return cursorText();
}

bool StripChart::eventFilter(QObject* watched, QEvent* event) {
    if (watched != view_->viewport()) {
        return QObject::eventFilter(watched, event);
    }
    switch (event->type()) {
    case QEvent::MouseMove:
        showCursor(static_cast<QMouseEvent*>(event)->position().toPoint());
        break;
    case QEvent::Leave:
        hideCursor();
        break;
    case QEvent::MouseButtonDblClick:
        if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
            resetZoom();
            return true;
        }
        break;
    case QEvent::Wheel: {
        int steps = static_cast<QWheelEvent*>(event)->angleDelta().y() / 120;
        if (steps != 0) {
            chart_->zoom(std::pow(kWheelStep, steps)); // marks the chart zoomed
            if (cursorShown_) {
                showCursor(cursorPos_);
            }
        }
        return true;
    }
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}
