// LED faces and colours.
#include "ui_internal.h"

#include <QLabel>
#include <QPainter>
#include <QRadialGradient>

#include <algorithm>
#include <map>
#include <utility>

namespace platform_internal {

// LED faces are drawn once per colour and size and then only swapped: the scope sets the LEDs
// for every sample, and restyling a widget costs far more than showing another pixmap.
QPixmap LedFace(const QColor& fill, int size) {
    static std::map<std::pair<QRgb, int>, QPixmap> cache;
    auto key = std::make_pair(fill.rgb(), size);
    auto it = cache.find(key);
    if (it != cache.end()) {
        return it->second;
    }
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    QRadialGradient g(size * 0.35, size * 0.35, size * 0.7);
    g.setColorAt(0, fill.lighter(160));
    g.setColorAt(1, fill);
    p.setBrush(g);
    p.setPen(QPen(QColor(0x40, 0x40, 0x40), 1));
    p.drawEllipse(QRectF(0.5, 0.5, size - 1.0, size - 1.0));
    return cache[key] = pm;
}

void SetLed(Control& c, bool on) {
    auto* label = qobject_cast<QLabel*>(c.widget.data());
    if (!label || (c.ledOn == on && !label->pixmap().isNull())) {
        return;
    }
    c.ledOn = on;
    QString color = c.widget->property("onColor").toString();
    QColor fill =
        on ? QColor(color.isEmpty() ? QString("#22dd33") : color) : QColor(0x3a, 0x3a, 0x3a);
    int size = std::max(8, std::min(label->width(), label->height()));
    label->setPixmap(LedFace(fill, size));
    DescribeState(c, on ? "on" : "off");
}

QColor ToQColor(int rgb) {
    return QColor((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
}

} // namespace platform_internal
