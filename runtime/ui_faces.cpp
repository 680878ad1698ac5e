// LED faces and colours, and the face a status line shows to screen readers.
#include "ui_internal.h"

#include <QAccessibleWidget>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
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

namespace {
// A read-only line marked zelAccessibleRole=statusbar in the panel file: a status bar to screen
// readers, whose text is the message. The line edit's own text events then reach a reader that
// can read the text, and no value events are sent for it (a line has no value).
class StatusLineAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
  public:
    explicit StatusLineAccessible(QLineEdit* line)
        : QAccessibleWidget(line, QAccessible::StatusBar) {}

    void* interface_cast(QAccessible::InterfaceType t) override {
        if (t == QAccessible::TextInterface) {
            return static_cast<QAccessibleTextInterface*>(this);
        }
        return QAccessibleWidget::interface_cast(t);
    }
    QString text(QAccessible::Text t) const override {
        return t == QAccessible::Value ? line()->text() : QAccessibleWidget::text(t);
    }
    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        s.readOnly = true;
        return s;
    }

    void selection(int index, int* start, int* end) const override {
        *start = *end = 0;
        if (index == 0 && line()->hasSelectedText()) {
            *start = line()->selectionStart();
            *end = line()->selectionEnd();
        }
    }
    int selectionCount() const override { return line()->hasSelectedText() ? 1 : 0; }
    void addSelection(int start, int end) override { line()->setSelection(start, end - start); }
    void removeSelection(int) override { line()->deselect(); }
    void setSelection(int, int start, int end) override {
        line()->setSelection(start, end - start);
    }
    int cursorPosition() const override { return line()->cursorPosition(); }
    void setCursorPosition(int position) override { line()->setCursorPosition(position); }
    QString text(int start, int end) const override {
        return line()->text().mid(start, end - start);
    }
    int characterCount() const override { return static_cast<int>(line()->text().size()); }
    QRect characterRect(int offset) const override {
        QFontMetrics fm(line()->font());
        const QString t = line()->text();
        if (offset < 0 || offset >= t.size()) {
            return {};
        }
        QRect inside = line()->contentsRect();
        QPoint at(inside.left() + fm.horizontalAdvance(t.left(offset)),
                  inside.top() + (inside.height() - fm.height()) / 2);
        return QRect(line()->mapToGlobal(at), QSize(fm.horizontalAdvance(t[offset]), fm.height()));
    }
    int offsetAtPoint(const QPoint& point) const override {
        return line()->cursorPositionAt(line()->mapFromGlobal(point));
    }
    void scrollToSubstring(int, int) override {}
    QString attributes(int offset, int* start, int* end) const override {
        *start = *end = offset;
        return {};
    }

  private:
    QLineEdit* line() const { return static_cast<QLineEdit*>(widget()); }
};

QAccessibleInterface* StatusLineFactory(const QString&, QObject* object) {
    auto* line = qobject_cast<QLineEdit*>(object);
    if (line && line->property("zelAccessibleRole").toString() == "statusbar") {
        return new StatusLineAccessible(line);
    }
    return nullptr;
}

} // namespace

void InstallAccessibleFaces() {
    QAccessible::installFactory(&StatusLineFactory);
    InstallOutcomeSpeech();
}

bool IsStatusBar(QWidget* w) {
    return w && w->property("zelAccessibleRole").toString() == "statusbar";
}

} // namespace platform_internal
