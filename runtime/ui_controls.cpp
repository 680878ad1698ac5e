// Control values and attributes, run-time controls, ring items and the strip-chart glue.
#include "chart/stripchart.h"
#include "ui_internal.h"
#include "ui_kinds.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QSpinBox>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace platform_internal {
namespace {
TextWriteObserver g_textObserver = nullptr;
constexpr const char* kLoadedPalette = "zelLoadedPalette";
constexpr const char* kLoadedAutoFill = "zelLoadedAutoFill";
constexpr const char* kOwnDescription = "zelOwnDescription";
} // namespace

void SetTextWriteObserver(TextWriteObserver observer) {
    g_textObserver = observer;
}

int SetText(Control& c, const QString& text) {
    if (g_textObserver) {
        g_textObserver(c.panel, c.id, text);
    }
    return AdapterOf(c.kind).setText(c, text);
}

namespace {
struct DueField {
    int panel;
    int id;
};
std::vector<DueField> g_due;
QPointer<QTimer> g_dueFallback;
QElapsedTimer g_sinceFieldsShown;
} // namespace

void ShowDueValue(Control& c) {
    if (!c.valueDue) {
        return;
    }
    c.valueDue = false;
    if (auto* s = qobject_cast<QSpinBox*>(c.widget.data())) {
        s->setValue(c.dueValue);
        RememberFieldValue(c);
    }
}

void ShowDueValues() {
    if (!g_due.empty()) {
        g_sinceFieldsShown.start();
    }
    std::vector<DueField> due;
    due.swap(g_due);
    for (const DueField& d : due) {
        if (Control* c = FindCtrl(d.panel, d.id)) {
            ShowDueValue(*c);
        }
    }
    // Shown with their window's paint: the fallback has nothing left to take.
    if (g_due.empty() && g_dueFallback) {
        g_dueFallback->stop();
    }
}

void ShowDueValuesWithFrame() {
    // Half a frame of slack, so that a paint a little early still takes them.
    if (g_sinceFieldsShown.isValid() &&
        g_sinceFieldsShown.elapsed() < kFieldFrameMs - kDisplayFrameMs / 2) {
        return;
    }
    ShowDueValues();
}

bool DeferToPaint(Control& c, int value) {
    auto* s = static_cast<QSpinBox*>(c.widget.data());
    if (!s->isReadOnly() || !s->isVisible()) {
        return false;
    }
    c.dueValue = value;
    if (!c.valueDue) {
        c.valueDue = true;
        g_due.push_back({c.panel, c.id});
        // Asks its window for the paint that shows the value. Not by marking the field: its
        // new text marks it then, and marking it twice paints it twice.
        QCoreApplication::postEvent(s->window(), new QEvent(QEvent::UpdateRequest),
                                    Qt::LowEventPriority);
        // Should the request never be delivered (its window closed first), the value is still
        // taken, so a later read or paint does not find it waiting.
        if (!g_dueFallback) {
            g_dueFallback = new QTimer(QCoreApplication::instance());
            g_dueFallback->setSingleShot(true);
            QObject::connect(g_dueFallback, &QTimer::timeout, [] { ShowDueValues(); });
        }
        if (!g_dueFallback->isActive()) {
            g_dueFallback->start(static_cast<int>(4 * kDisplayFrameMs));
        }
    }
    return true;
}

} // namespace platform_internal

using namespace platform_internal;

int SetCtrlVal(int panel, int control, int value) {
    Control* c = FindCtrl(panel, control);
    return c ? AdapterOf(c->kind).setInt(*c, value) : UIE_NO_CONTROL;
}

int SetCtrlVal(int panel, int control, unsigned value) {
    Control* c = FindCtrl(panel, control);
    return c ? AdapterOf(c->kind).setUnsigned(*c, value) : UIE_NO_CONTROL;
}

int SetCtrlVal(int panel, int control, double value) {
    Control* c = FindCtrl(panel, control);
    return c ? AdapterOf(c->kind).setReal(*c, value) : UIE_NO_CONTROL;
}

int SetCtrlVal(int panel, int control, const char* value) {
    Control* c = FindCtrl(panel, control);
    if (!c) {
        return UIE_NO_CONTROL;
    }
    return SetText(*c, QString::fromLatin1(value ? value : ""));
}

int GetCtrlVal(int panel, int control, int* value) {
    Control* c = FindCtrl(panel, control);
    return c && value && AdapterOf(c->kind).getInt(*c, *value) ? 0 : UIE_NO_CONTROL;
}

int GetCtrlVal(int panel, int control, unsigned short* value) {
    int v = 0;
    int r = GetCtrlVal(panel, control, &v);
    if (r == 0 && value) {
        *value = static_cast<unsigned short>(v & 0xFFFF);
    }
    return r;
}

int GetCtrlVal(int panel, int control, double* value) {
    Control* c = FindCtrl(panel, control);
    return c && value && AdapterOf(c->kind).getReal(*c, *value) ? 0 : UIE_NO_CONTROL;
}

int GetCtrlVal(int panel, int control, char* value, std::size_t size) {
    Control* c = FindCtrl(panel, control);
    QString text;
    if (!c || !value || size == 0 || !AdapterOf(c->kind).getText(*c, text)) {
        return UIE_NO_CONTROL;
    }
    QByteArray bytes = text.toLatin1();
    std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(bytes.size()), size - 1);
    std::memcpy(value, bytes.constData(), n);
    value[n] = '\0';
    return 0;
}

int SetCtrlAttribute(int panel, int control, int attribute, int value) {
    Control* c = FindCtrl(panel, control);
    if (!c) {
        return UIE_NO_CONTROL;
    }
    QWidget* w = c->widget;
    switch (attribute) {
    case ATTR_DIMMED:
        w->setEnabled(value == 0);
        return 0;
    case ATTR_VISIBLE:
        w->setVisible(value != 0);
        return 0;
    case ATTR_ENABLED:
        if (c->timer) {
            if (value) {
                c->timer->start();
            } else {
                c->timer->stop();
            }
        }
        return 0;
    case ATTR_TEXT_COLOR: {
        QPalette pal = w->palette();
        pal.setColor(QPalette::WindowText, ToQColor(value));
        pal.setColor(QPalette::Text, ToQColor(value));
        w->setPalette(pal);
        return 0;
    }
    case ATTR_TEXT_BGCOLOR:
    case ATTR_FRAME_COLOR: {
        // The look it was loaded with is kept, so a marked field can go back to it.
        if (!w->property(kLoadedPalette).isValid()) {
            w->setProperty(kLoadedPalette, QVariant::fromValue(w->palette()));
            w->setProperty(kLoadedAutoFill, w->autoFillBackground());
        }
        if (value == VAL_DEFAULT_COLOR) {
            w->setPalette(w->property(kLoadedPalette).value<QPalette>());
            w->setAutoFillBackground(w->property(kLoadedAutoFill).toBool());
            return 0;
        }
        QPalette pal = w->palette();
        pal.setColor(QPalette::Window, ToQColor(value));
        // A field's text area is painted in the Base role.
        if (qobject_cast<QAbstractSpinBox*>(w)) {
            pal.setColor(QPalette::Base, ToQColor(value));
        }
        w->setPalette(pal);
        w->setAutoFillBackground(true);
        return 0;
    }
    case ATTR_TOP:
        w->move(w->x(), value);
        return 0;
    case ATTR_LEFT:
        w->move(value, w->y());
        return 0;
    case ATTR_TEXT_BOLD: {
        QFont f = w->font();
        f.setBold(value != 0);
        w->setFont(f);
        w->adjustSize();
        return 0;
    }
    case ATTR_TEXT_POINT_SIZE: {
        QFont f = w->font();
        // Sizes are given in pixels, as the panel coordinates are.
        f.setPixelSize(std::max(1, value));
        w->setFont(f);
        w->adjustSize();
        return 0;
    }
    case ATTR_POINTS_PER_SCREEN:
        if (c->chart) {
            c->chart->setPointsPerScreen(value);
        }
        return 0;
    case ATTR_SCROLL_MODE:
        if (c->chart) {
            c->chart->setScrollMode(value);
        }
        return 0;
    case ATTR_MAX_VALUE:
        if (auto* pb = qobject_cast<QProgressBar*>(w)) {
            pb->setMaximum(value);
        } else if (auto* sb = qobject_cast<QSpinBox*>(w)) {
            sb->setMaximum(value);
        }
        return 0;
    default:
        return UIE_NO_CONTROL;
    }
}

int SetCtrlAttribute(int panel, int control, int attribute, const char* value) {
    Control* c = FindCtrl(panel, control);
    if (!c) {
        return UIE_NO_CONTROL;
    }
    if (attribute == ATTR_TEXT_FONT) {
        QFont f = c->widget->font();
        // Named stand-ins map onto the application's own sans-serif face.
        QString family = QString::fromLatin1(value ? value : "");
        if (family.isEmpty() || family == "NIApp") {
            family = QApplication::font().family();
        }
        f.setFamily(family);
        c->widget->setFont(f);
        c->widget->adjustSize();
        return 0;
    }
    if (attribute == ATTR_LABEL_TEXT) {
        return SetText(*c, QString::fromLatin1(value ? value : ""));
    }
    if (attribute == ATTR_ACCESSIBLE_SUFFIX) {
        QWidget* w = c->widget;
        if (!w->property(kOwnDescription).isValid()) {
            w->setProperty(kOwnDescription, w->accessibleDescription());
        }
        DescribeState(*c, w->property(kOwnDescription).toString() +
                              QString::fromLatin1(value ? value : ""));
        return 0;
    }
    return UIE_NO_CONTROL;
}

int GetCtrlAttribute(int panel, int control, int attribute, int* value) {
    Control* c = FindCtrl(panel, control);
    if (!c || !value) {
        return UIE_NO_CONTROL;
    }
    switch (attribute) {
    case ATTR_DIMMED:
        *value = c->widget->isEnabled() ? 0 : 1;
        return 0;
    case ATTR_VISIBLE:
        *value = c->widget->isVisibleTo(c->widget->window()) ? 1 : 0;
        return 0;
    case ATTR_ENABLED:
        *value = c->timer && c->timer->isActive() ? 1 : 0;
        return 0;
    case ATTR_TEXT_COLOR: {
        QColor col = c->widget->palette().color(QPalette::WindowText);
        *value = MakeColor(col.red(), col.green(), col.blue());
        return 0;
    }
    case ATTR_FRAME_COLOR:
    case ATTR_TEXT_BGCOLOR: {
        QColor col = c->widget->palette().color(QPalette::Window);
        *value = MakeColor(col.red(), col.green(), col.blue());
        return 0;
    }
    case ATTR_TEXT_POINT_SIZE:
        *value = c->widget->font().pixelSize();
        return 0;
    case ATTR_TEXT_BOLD:
        *value = c->widget->font().bold() ? 1 : 0;
        return 0;
    case ATTR_TOP:
        *value = c->widget->y();
        return 0;
    case ATTR_LEFT:
        *value = c->widget->x();
        return 0;
    default:
        return UIE_NO_CONTROL;
    }
}

int ResetTextBox(int panel, int control, const char* text) {
    Control* c = FindCtrl(panel, control);
    if (!c) {
        return UIE_NO_CONTROL;
    }
    return SetText(*c, QString::fromLatin1(text ? text : ""));
}

int NewCtrl(int panel, int style, const char* label, int top, int left) {
    Panel* p = FindPanel(panel);
    if (!p) {
        return UIE_BAD_HANDLE;
    }
    if (style != CTRL_TEXT_MSG) {
        return UIE_NO_CONTROL;
    }
    auto* l = new QLabel(QString::fromLatin1(label ? label : ""), p->widget);
    l->move(left, top);
    l->setAutoFillBackground(true);
    l->setAttribute(Qt::WA_TransparentForMouseEvents);
    l->show();
    l->raise();
    Control c;
    c.panel = panel;
    c.id = p->nextId++;
    c.kind = Kind::Label;
    c.widget = l;
    p->controls[c.id] = c;
    return c.id;
}

int DisplayImageFile(int panel, int control, const char* file) {
    Control* c = FindCtrl(panel, control);
    if (!c) {
        return UIE_NO_CONTROL;
    }
    auto* l = qobject_cast<QLabel*>(c->widget.data());
    QPixmap pm;
    if (!l || !file || !pm.load(QString::fromLocal8Bit(file))) {
        return UIE_FILE;
    }
    l->setPixmap(pm.scaled(l->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation));
    return 0;
}

int PlotStripChart(int panel, int control, const double* values, int count, int start, int skip,
                   int type) {
    Control* c = FindCtrl(panel, control);
    if (!c || !c->chart) {
        return UIE_NO_CONTROL;
    }
    if (!values || count < 0 || start < 0 || skip < 0 || type != VAL_DOUBLE) {
        return UIE_NO_CONTROL;
    }
    c->chart->append(values + start, count, skip);
    return 0;
}

int SetStripChartTimes(int panel, int control, const double* seconds, int count) {
    Control* c = FindCtrl(panel, control);
    if (!c || !c->chart || !seconds || count < 0) {
        return UIE_NO_CONTROL;
    }
    c->chart->setTimes(seconds, count);
    return 0;
}

int SetStripChartPaused(int panel, int control, int paused) {
    Control* c = FindCtrl(panel, control);
    if (!c || !c->chart) {
        return UIE_NO_CONTROL;
    }
    c->chart->setPaused(paused != 0);
    return 0;
}

int ResetStripChartZoom(int panel, int control) {
    Control* c = FindCtrl(panel, control);
    if (!c || !c->chart) {
        return UIE_NO_CONTROL;
    }
    c->chart->resetZoom();
    return 0;
}

int SaveStripChartImage(int panel, int control, const char* path) {
    Control* c = FindCtrl(panel, control);
    if (!c || !c->chart) {
        return UIE_NO_CONTROL;
    }
    return path && c->chart->saveImage(QString::fromLocal8Bit(path)) ? 0 : UIE_FILE;
}

int SetRingItems(int panel, int control, const int* values, const char* const* labels,
                 std::size_t count) {
    Control* c = FindCtrl(panel, control);
    if (!c || c->kind != Kind::Ring) {
        return UIE_NO_CONTROL;
    }
    auto* r = static_cast<QComboBox*>(c->widget.data());
    r->clear();
    for (std::size_t i = 0; i < count; ++i) {
        r->addItem(QString::fromLocal8Bit(labels[i]), values[i]);
    }
    return 0;
}

int SetStripChartTrace(int panel, int control, int trace, const char* name, int color, int width,
                       int dashed) {
    Control* c = FindCtrl(panel, control);
    if (!c || !c->chart) {
        return UIE_NO_CONTROL;
    }
    c->chart->setTrace(trace, QString::fromLatin1(name ? name : ""), color, width, dashed != 0);
    return 0;
}
