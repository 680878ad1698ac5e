#include "stripchart.h"

#include <QCoreApplication>
#include <QPaintEvent>
#include <QPainter>
#include <QPixmap>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace {
constexpr int kMargin = 4;
constexpr int kGap = 6;
constexpr int kSwatch = 22; // length of a legend entry's line sample
const QColor kText(0x30, 0x30, 0x30);
const QColor kGrid(0xE4, 0xE4, 0xE4);
const QColor kFrame(0xA0, 0xA0, 0xA0);

// A round step (1, 2 or 5 times a power of ten) that cuts `span` into about `parts` pieces.
double NiceStep(double span, int parts) {
    double raw = span / parts;
    if (!(raw > 0) || !std::isfinite(raw)) {
        return 1;
    }
    double mag = std::pow(10.0, std::floor(std::log10(raw)));
    double norm = raw / mag;
    return (norm < 1.5 ? 1 : norm < 3 ? 2 : norm < 7 ? 5 : 10) * mag;
}

int DecimalsOf(double step) {
    return step >= 1 ? 0 : static_cast<int>(std::ceil(-std::log10(step) - 1e-9));
}

// Far outside the plot a coordinate only costs the rasteriser; the clip hides it anyway.
double ClampPx(double v) {
    return std::clamp(v, -1.0e5, 1.0e5);
}
// A wide solid line drawn as its one-pixel line laid side by side across its width, in a plus
// pattern: the same look without the painter's outline stroker, which turns every segment of a
// wide pen into a polygon to fill (most of the chart's painting time while the scope streams).
void DrawPolyline(QPainter& p, const QPolygonF& line, const QPen& pen) {
    const int width = pen.width();
    if (width <= 1 || pen.style() != Qt::SolidLine) {
        p.drawPolyline(line);
        return;
    }
    QPen thin(pen);
    thin.setWidth(1);
    thin.setCosmetic(true);
    p.setPen(thin);
    const int lo = -(width - 1) / 2, hi = width / 2;
    for (int d = lo; d <= hi; ++d) {
        p.translate(d, 0);
        p.drawPolyline(line);
        p.translate(-d, 0);
        if (d != 0) {
            p.translate(0, d);
            p.drawPolyline(line);
            p.translate(0, -d);
        }
    }
    p.setPen(pen);
}
} // namespace

StripChart* StripChart::embedIn(QWidget* host, int traces) {
    return new StripChart(host, traces);
}

StripChart::StripChart(QWidget* host, int traces) : QWidget(host) {
    traces_.resize(static_cast<std::size_t>(traces));
    for (int i = 0; i < traces; ++i) {
        setTrace(i, QString("Trace %1").arg(i + 1), 0x404040, 1, false);
    }
    data_.assign(static_cast<std::size_t>(traces), {});
    shownY_.assign(static_cast<std::size_t>(traces), {});
    auto_.x1 = perScreen_ - 1;
    setAttribute(Qt::WA_OpaquePaintEvent); // every pixel is painted: nothing to clear first
    setMouseTracking(true);
    // Nothing to operate in the chart by keys: Tab passes it by, as it does its host.
    setFocusPolicy(Qt::NoFocus);
    setAccessibleName(host->accessibleName().isEmpty() ? QString("Strip chart")
                                                       : host->accessibleName());
    setAccessibleDescription(host->toolTip());
    frame_.setSingleShot(true);
    frame_.setTimerType(Qt::PreciseTimer);
    connect(&frame_, &QTimer::timeout, this, [this] { update(liveRect()); });
    xTitle_.setText("Time since Run (s)");
    yTitle_.setText("Raw value");
    auto* layout = new QVBoxLayout(host);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(this);
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
    refreshShown();
}

void StripChart::setTrace(int trace, const QString& name, int rgb, int width, bool dashed) {
    if (trace < 0 || trace >= static_cast<int>(traces_.size())) {
        return;
    }
    Trace& t = traces_[static_cast<std::size_t>(trace)];
    t.pen = QPen(QColor((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF));
    t.pen.setWidth(std::max(1, width));
    t.pen.setStyle(dashed ? Qt::DashLine : Qt::SolidLine);
    t.name = name;
    t.label.setText(name);
    layoutChart(); // the legend's entries may need another row
    update();
}

void StripChart::append(const double* values, int count, int skip) {
    const int traces = static_cast<int>(data_.size());
    if (traces == 0) {
        return;
    }
    int step = 1 + skip;
    int t = 0;
    for (int i = 0; i < count; i += step) {
        data_[static_cast<std::size_t>(t)].push_back(values[i]);
        t = (t + 1) % traces;
    }
    trim();
    refreshShown();
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
        refreshShown(); // the live history again, at once
        update();
    }
}

void StripChart::resetZoom() {
    zoomed_ = false;
    auto_ = autoRange();
    if (cursorShown_) {
        updateCursor();
    }
    update();
}

bool StripChart::saveImage(const QString& path) {
    return grab().save(path, "PNG");
}

void StripChart::refreshShown() {
    if (paused_) {
        return;
    }
    const std::size_t n = data_.empty() ? 0 : data_[0].size();
    // Seconds when the scope gave them for every point, else sample numbers with the newest at
    // the right edge.
    shownX_.resize(n);
    const int offset = perScreen_ - static_cast<int>(n);
    for (std::size_t i = 0; i < n; ++i) {
        shownX_[i] = times_.size() == n ? times_[i] : offset + static_cast<double>(i);
    }
    for (std::size_t t = 0; t < data_.size(); ++t) {
        shownY_[t].assign(data_[t].begin(), data_[t].end()); // keeps its storage
    }
    const Range before = auto_;
    auto_ = autoRange();
    if (cursorShown_) {
        updateCursor();
    }
    if (!zoomed_ && (before.y0 != auto_.y0 || before.y1 != auto_.y1)) {
        update(); // the value axis' labels change too
    }
    scheduleRepaint();
}

void StripChart::scheduleRepaint() {
    if (frame_.isActive()) {
        return;
    }
    // Samples may come faster than an eye follows; the plot catches up once per frame. The
    // repaint itself runs from the event pump, after the loop's next request has gone out.
    qint64 since = sincePaint_.isValid() ? sincePaint_.elapsed() : kFrameMs;
    if (since >= kFrameMs) {
        update(liveRect());
    } else {
        frame_.start(static_cast<int>(kFrameMs - since));
    }
}

StripChart::Range StripChart::autoRange() const {
    Range r;
    double lo = 0, hi = 1023;
    for (const auto& ys : shownY_) {
        for (double v : ys) {
            if (std::isfinite(v)) {
                lo = std::min(lo, v);
                hi = std::max(hi, v);
            }
        }
    }
    // 0..1023 by default; widen (to a round figure) only when values leave it.
    if (hi > 1023) {
        hi = std::ceil(hi / 1024.0) * 1024.0 - 1;
    }
    if (lo < 0) {
        lo = std::floor(lo / 64.0) * 64.0;
    }
    r.y0 = lo;
    r.y1 = hi;
    const std::size_t n = shownX_.size();
    r.x0 = n >= 2 ? shownX_.front() : 0;
    r.x1 = n >= 2 ? shownX_.back() : perScreen_ - 1;
    if (!(r.x1 > r.x0)) {
        r.x1 = r.x0 + 1;
    }
    return r;
}

void StripChart::setZoom(const Range& r) {
    if (!(r.x1 > r.x0) || !(r.y1 > r.y0) || !std::isfinite(r.x1 - r.x0) ||
        !std::isfinite(r.y1 - r.y0)) {
        return;
    }
    zoom_ = r;
    zoomed_ = true;
    if (cursorShown_) {
        updateCursor();
    }
    update();
}

void StripChart::layoutChart() {
    const QFontMetrics fm = fontMetrics();
    const int lh = fm.height();
    // Legend entries flow left to right, wrapping when the width runs out.
    int x = 0, rows = 1;
    const int avail = std::max(1, width() - 2 * kMargin);
    for (const Trace& t : traces_) {
        int w = kSwatch + 4 + fm.horizontalAdvance(t.name) + 14;
        if (x > 0 && x + w > avail) {
            x = 0;
            ++rows;
        }
        x += w;
    }
    legend_ = QRect(kMargin, kMargin, avail, rows * lh + 2);
    const int yLabelWidth = fm.horizontalAdvance("-88888");
    yLabelRight_ = kMargin + lh + kGap + yLabelWidth;
    const int left = yLabelRight_ + kGap;
    const int top = legend_.bottom() + kGap + lh / 2;
    const int bottom = height() - kMargin - 2 * lh - kGap;
    const int right = width() - kMargin - fm.horizontalAdvance("888.8") / 2;
    plot_ = QRect(QPoint(left, top), QPoint(std::max(left + 1, right), std::max(top + 1, bottom)));
    xLabelY_ = plot_.bottom() + 4;
    // The plot and the time axis' labels below it, which scroll with the data.
    const int half = fm.horizontalAdvance("-888.88") / 2 + 2;
    live_ = QRect(QPoint(plot_.left() - half, plot_.top()),
                  QPoint(std::min(width() - 1, plot_.right() + half), xLabelY_ + lh));
    for (QStaticText* s : {&xTitle_, &yTitle_}) {
        s->prepare(QTransform(), font());
    }
    for (Trace& t : traces_) {
        t.label.prepare(QTransform(), font());
    }
    xLabels_.clear();
    yLabels_.clear();
}

double StripChart::toPx(double x) const {
    const Range& r = view();
    return plot_.left() + (x - r.x0) / (r.x1 - r.x0) * plot_.width();
}

double StripChart::toPy(double y) const {
    const Range& r = view();
    return plot_.bottom() - (y - r.y0) / (r.y1 - r.y0) * plot_.height();
}

double StripChart::fromPx(double px) const {
    const Range& r = view();
    return r.x0 + (px - plot_.left()) / plot_.width() * (r.x1 - r.x0);
}

double StripChart::fromPy(double py) const {
    const Range& r = view();
    return r.y0 + (plot_.bottom() - py) / plot_.height() * (r.y1 - r.y0);
}

const QStaticText& StripChart::tickLabel(std::map<long long, QStaticText>& cache, double value,
                                         int decimals) {
    const long long key = std::llround(value * 1e6) * 16 + decimals;
    auto it = cache.find(key);
    if (it != cache.end()) {
        return it->second;
    }
    if (cache.size() > 64) {
        cache.clear(); // labels that scrolled away long ago
    }
    QStaticText s(QString::number(value, 'f', decimals));
    s.setTextFormat(Qt::PlainText);
    s.prepare(QTransform(), font());
    return cache.emplace(key, std::move(s)).first->second;
}

void StripChart::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    layoutChart();
    if (cursorShown_) {
        updateCursor();
    }
}

void StripChart::paintEvent(QPaintEvent* event) {
    sincePaint_.restart();
    const QRect dirty = event->rect();
    QPainter p(this);
    p.fillRect(dirty, Qt::white);
    p.setPen(kText);
    if (dirty.intersects(legend_)) {
        paintLegend(p);
    }
    paintAxes(p, dirty);
    p.save();
    p.setClipRect(plot_.adjusted(0, 0, 1, 1));
    paintTraces(p);
    paintCursor(p);
    p.restore();
    p.setPen(kFrame);
    p.setBrush(Qt::NoBrush);
    p.drawRect(plot_);
}

void StripChart::paintLegend(QPainter& p) {
    const QFontMetrics fm = fontMetrics();
    const int lh = fm.height();
    int x = 0, row = 0;
    for (const Trace& t : traces_) {
        int w = kSwatch + 4 + fm.horizontalAdvance(t.name) + 14;
        if (x > 0 && x + w > legend_.width()) {
            x = 0;
            ++row;
        }
        const int left = legend_.left() + x;
        const int mid = legend_.top() + row * lh + lh / 2;
        p.setPen(t.pen);
        p.drawLine(left, mid, left + kSwatch, mid);
        p.setPen(kText);
        p.drawStaticText(left + kSwatch + 4, legend_.top() + row * lh, t.label);
        x += w;
    }
}

void StripChart::paintAxes(QPainter& p, const QRect& dirty) {
    const Range& r = view();
    const int lh = fontMetrics().height();
    // Value axis: labels and title only when that strip is repainted (zoom, widening).
    const double yStep = NiceStep(r.y1 - r.y0, 5);
    const int yDec = DecimalsOf(yStep);
    const bool yStrip = dirty.left() < plot_.left();
    for (double v = std::ceil(r.y0 / yStep) * yStep; v <= r.y1 + yStep * 1e-9; v += yStep) {
        const int py = static_cast<int>(std::lround(toPy(v)));
        p.setPen(kGrid);
        p.drawLine(plot_.left() + 1, py, plot_.right() - 1, py);
        if (yStrip) {
            const QStaticText& s = tickLabel(yLabels_, std::abs(v) < yStep * 1e-9 ? 0 : v, yDec);
            p.setPen(kText);
            p.drawStaticText(yLabelRight_ - static_cast<int>(s.size().width()), py - lh / 2, s);
        }
    }
    if (yStrip) {
        p.save();
        p.translate(kMargin, plot_.center().y() + yTitle_.size().width() / 2);
        p.rotate(-90);
        p.setPen(kText);
        p.drawStaticText(0, 0, yTitle_);
        p.restore();
    }
    // Time axis: round steps, so a label keeps its text while it scrolls across.
    const double xStep = NiceStep(r.x1 - r.x0, 7);
    const int xDec = std::max(1, DecimalsOf(xStep));
    for (double v = std::ceil(r.x0 / xStep) * xStep; v <= r.x1 + xStep * 1e-9; v += xStep) {
        const int px = static_cast<int>(std::lround(toPx(v)));
        p.setPen(kGrid);
        p.drawLine(px, plot_.top() + 1, px, plot_.bottom() - 1);
        const QStaticText& s = tickLabel(xLabels_, std::abs(v) < xStep * 1e-9 ? 0 : v, xDec);
        p.setPen(kText);
        p.drawStaticText(px - static_cast<int>(s.size().width()) / 2, xLabelY_, s);
    }
    if (dirty.bottom() > xLabelY_ + lh) {
        p.setPen(kText);
        p.drawStaticText(plot_.center().x() - static_cast<int>(xTitle_.size().width()) / 2,
                         xLabelY_ + lh + 2, xTitle_);
    }
}

void StripChart::paintTraces(QPainter& p) {
    const std::size_t n = shownX_.size();
    for (std::size_t t = 0; t < shownY_.size() && t < traces_.size(); ++t) {
        const auto& ys = shownY_[t];
        const QPen& pen = traces_[t].pen;
        p.setPen(pen);
        poly_.resize(0);
        for (std::size_t i = 0; i < n && i < ys.size(); ++i) {
            if (!std::isfinite(ys[i])) { // a gap in the line
                if (poly_.size() > 1) {
                    DrawPolyline(p, poly_, pen);
                }
                poly_.resize(0);
                continue;
            }
            const QPointF pt(ClampPx(toPx(shownX_[i])), ClampPx(toPy(ys[i])));
            // A level run (a reference or a band, most of the time) is one segment, not a
            // hundred: the dashed and wide pens are stroked per segment.
            const qsizetype m = poly_.size();
            if (m >= 2 && poly_[m - 1].y() == pt.y() && poly_[m - 2].y() == pt.y()) {
                poly_[m - 1] = pt;
            } else {
                poly_.append(pt);
            }
        }
        if (poly_.size() > 1) {
            DrawPolyline(p, poly_, pen);
        }
    }
    if (banding_) {
        p.setPen(QPen(QColor(0x30, 0x60, 0xC0), 1));
        p.setBrush(QColor(0x30, 0x60, 0xC0, 40));
        p.drawRect(QRect(bandFrom_, bandTo_).normalized());
        p.setBrush(Qt::NoBrush);
    }
}

void StripChart::paintCursor(QPainter& p) {
    if (!cursorShown_ || cursorIndex_ < 0 || cursorIndex_ >= static_cast<int>(shownX_.size())) {
        return;
    }
    const int px =
        static_cast<int>(std::lround(toPx(shownX_[static_cast<std::size_t>(cursorIndex_)])));
    p.setPen(QPen(QColor(0x40, 0x40, 0x40), 1, Qt::DotLine));
    p.drawLine(px, plot_.top(), px, plot_.bottom());
    const QFontMetrics fm = fontMetrics();
    QRect text =
        fm.boundingRect(QRect(0, 0, 1000, 1000), Qt::AlignLeft | Qt::AlignTop, cursorText_);
    QRect box = text.adjusted(-4, -3, 4, 3);
    // Beside the cursor, on the side with room.
    const int left = px + 8 + box.width() <= plot_.right() ? px + 8 : px - 8 - box.width();
    box.moveTo(left, plot_.top() + 4);
    p.setPen(QColor(0x80, 0x80, 0x80));
    p.setBrush(QColor(255, 255, 240, 230));
    p.drawRect(box);
    p.setBrush(Qt::NoBrush);
    p.setPen(kText);
    p.drawText(box.adjusted(4, 3, -4, -3), Qt::AlignLeft | Qt::AlignTop, cursorText_);
}
