// The strip chart's answers to the mouse: the cursor that reads the sample under it, zoom by
// rubber band and wheel, zoom out by right click, back to the whole by double click.
#include "stripchart.h"

#include <QCoreApplication>
#include <QMouseEvent>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace {
constexpr double kWheelStep = 1.25; // zoom factor per wheel notch
} // namespace

void StripChart::updateCursor() {
    if (shownX_.empty() || !plot_.contains(cursorPos_)) {
        hideCursor();
        return;
    }
    const double x = fromPx(cursorPos_.x());
    auto it = std::lower_bound(shownX_.begin(), shownX_.end(), x);
    std::size_t i = static_cast<std::size_t>(it - shownX_.begin());
    if (i == shownX_.size() || (i > 0 && x - shownX_[i - 1] < shownX_[i] - x)) {
        i = i == 0 ? 0 : i - 1;
    }
    QString text = QString("t %1 s").arg(shownX_[i], 0, 'f', 3);
    for (std::size_t t = 0; t < shownY_.size() && t < traces_.size(); ++t) {
        if (i < shownY_[t].size()) {
            text += QString("\n%1: %2").arg(traces_[t].name).arg(shownY_[t][i]);
        }
    }
    cursorIndex_ = static_cast<int>(i);
    cursorText_ = text;
    cursorShown_ = true;
    update(plot_.adjusted(0, 0, 1, 1));
}

void StripChart::hideCursor() {
    if (cursorShown_) {
        cursorShown_ = false;
        update(plot_.adjusted(0, 0, 1, 1));
    }
}

QPoint StripChart::samplePos(int index) {
    if (index < 0 || index >= static_cast<int>(shownX_.size())) {
        return {-1, -1};
    }
    if (plot_.width() < 2) {
        layoutChart();
    }
    const Range& r = view();
    double px = toPx(shownX_[static_cast<std::size_t>(index)]);
    // The newest sample sits on the plot's right edge (a pixel past its last column), which
    // still belongs to the plot; a sample zoomed out of view stays outside.
    if (px > plot_.right() && px < plot_.right() + 1.5) {
        px = plot_.right();
    }
    return {static_cast<int>(std::lround(px)),
            static_cast<int>(std::lround(toPy((r.y0 + r.y1) / 2)))};
}

QString StripChart::hoverSample(int index) {
    if (index < 0 || index >= static_cast<int>(shownX_.size())) {
        return {};
    }
    const QPointF pos(samplePos(index));
    QMouseEvent move(QEvent::MouseMove, pos, mapToGlobal(pos), Qt::NoButton, Qt::NoButton,
                     Qt::NoModifier);
    QCoreApplication::sendEvent(this, &move);
    return cursorText();
}

void StripChart::mouseMoveEvent(QMouseEvent* event) {
    cursorPos_ = event->position().toPoint();
    if (banding_) {
        bandTo_ = QPoint(std::clamp(cursorPos_.x(), plot_.left(), plot_.right()),
                         std::clamp(cursorPos_.y(), plot_.top(), plot_.bottom()));
        update(plot_.adjusted(0, 0, 1, 1));
    }
    updateCursor();
}

void StripChart::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && plot_.contains(event->position().toPoint())) {
        banding_ = true;
        bandFrom_ = bandTo_ = event->position().toPoint();
    }
}

void StripChart::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && banding_) {
        banding_ = false;
        const QRect band = QRect(bandFrom_, bandTo_).normalized();
        if (band.width() > 3 && band.height() > 3) {
            Range r;
            r.x0 = fromPx(band.left());
            r.x1 = fromPx(band.right());
            r.y0 = fromPy(band.bottom());
            r.y1 = fromPy(band.top());
            setZoom(r);
        }
        update(plot_.adjusted(0, 0, 1, 1));
    } else if (event->button() == Qt::RightButton) {
        // Zoom out: twice the span around the same centre.
        const Range& v = view();
        const double cx = (v.x0 + v.x1) / 2, hx = (v.x1 - v.x0);
        const double cy = (v.y0 + v.y1) / 2, hy = (v.y1 - v.y0);
        setZoom(Range{cx - hx, cx + hx, cy - hy, cy + hy});
    }
}

void StripChart::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        banding_ = false;
        resetZoom();
    }
}

void StripChart::wheelEvent(QWheelEvent* event) {
    const int steps = event->angleDelta().y() / 120;
    if (steps != 0) {
        const double f = std::pow(kWheelStep, steps);
        const Range& v = view();
        const double cx = (v.x0 + v.x1) / 2, hx = (v.x1 - v.x0) / 2 / f;
        const double cy = (v.y0 + v.y1) / 2, hy = (v.y1 - v.y0) / 2 / f;
        setZoom(Range{cx - hx, cx + hx, cy - hy, cy + hy});
    }
    event->accept();
}

void StripChart::leaveEvent(QEvent* event) {
    hideCursor();
    QWidget::leaveEvent(event);
}
