// Panels, controls, events, dialogs and the strip chart on Qt Widgets.
#include "ui.h"

#include "internal.h"
#include "stripchart.h"
#include "testing.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRadialGradient>
#include <QRadioButton>
#include <QSpinBox>
#include <QTimer>
#include <QUiLoader>
#include <QVBoxLayout>
#include <QWidget>

#include <cmath>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <string>

namespace {

enum class Kind {
    Unknown,
    Button,
    Toggle,
    Radio,
    Ring,
    Numeric,
    Real,
    Text,
    TextBox,
    Label,
    Led,
    Picture,
    StripChart,
    Decoration,
    Timer,
    Progress,
};

struct Control {
    int id = 0;
    Kind kind = Kind::Unknown;
    QPointer<QWidget> widget;
    QPointer<QTimer> timer;
    CtrlCallbackPtr callback = nullptr;
    StripChart* chart = nullptr; // owned by its widget
    std::vector<QMetaObject::Connection> connections;
    bool ledOn = false;
    std::vector<std::string> history; // texts written, for tests
};

struct Panel {
    int handle = 0;
    QPointer<QWidget> widget;
    CtrlCallbackPtr callback = nullptr;
    void* callbackData = nullptr;
    bool topLevel = false;
    std::map<int, Control> controls;
    int nextId = 10000;
};

std::map<int, Panel> g_panels;
int g_nextHandle = 1;
std::string g_lastError;
std::string g_projectDir = ".";
// Lives until the process ends: destroying it during static destruction races Qt's own
// teardown.
QApplication* g_app = nullptr;
int g_argc = 1;
char g_arg0[] = "zel-vavod";
char* g_argv[] = {g_arg0, nullptr};
// Designer files are parsed once; each LoadPanel takes its panel out of a fresh copy.
std::deque<std::string> g_fileAnswers;
std::vector<FileSelectCall> g_fileCalls;
bool g_closingAllowed = false;

Panel* FindPanel(int h) {
    auto it = g_panels.find(h);
    return it == g_panels.end() || !it->second.widget ? nullptr : &it->second;
}

Control* FindCtrl(int panel, int id) {
    Panel* p = FindPanel(panel);
    if (!p) {
        return nullptr;
    }
    auto it = p->controls.find(id);
    return it == p->controls.end() || !it->second.widget ? nullptr : &it->second;
}

Kind KindOf(QWidget* w) {
    QString zk = w->property("zelKind").toString();
    if (zk == "led") {
        return Kind::Led;
    }
    if (zk == "picture") {
        return Kind::Picture;
    }
    if (zk == "stripchart") {
        return Kind::StripChart;
    }
    if (w->property("timerInterval").isValid()) {
        return Kind::Timer;
    }
    if (qobject_cast<QPushButton*>(w)) {
        return Kind::Button;
    }
    if (qobject_cast<QRadioButton*>(w)) {
        return Kind::Radio;
    }
    if (qobject_cast<QCheckBox*>(w)) {
        return Kind::Toggle;
    }
    if (qobject_cast<QComboBox*>(w)) {
        return Kind::Ring;
    }
    if (qobject_cast<QDoubleSpinBox*>(w)) {
        return Kind::Real;
    }
    if (qobject_cast<QSpinBox*>(w)) {
        return Kind::Numeric;
    }
    if (qobject_cast<QLineEdit*>(w)) {
        return Kind::Text;
    }
    if (qobject_cast<QPlainTextEdit*>(w)) {
        return Kind::TextBox;
    }
    if (qobject_cast<QProgressBar*>(w)) {
        return Kind::Progress;
    }
    if (qobject_cast<QLabel*>(w)) {
        return Kind::Label;
    }
    if (qobject_cast<QFrame*>(w)) {
        return Kind::Decoration;
    }
    return Kind::Unknown;
}

// Runs a control's callback later, from the event pump, in the order events arrived, so a
// callback that waits never runs inside a widget's own input handler.
void Post(int panel, int control, int event, int d1 = 0, int d2 = 0) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) {
        return;
    }
    QMetaObject::invokeMethod(
        app,
        [=] {
            platform_internal::NoteActivity();
            Panel* p = FindPanel(panel);
            if (!p) {
                return;
            }
            if (control == 0) {
                if (p->callback) {
                    p->callback(panel, 0, event, p->callbackData, d1, d2);
                }
                return;
            }
            Control* c = FindCtrl(panel, control);
            if (!c || !c->callback) {
                return;
            }
            // A dimmed control produces no events, even ones queued before it was dimmed.
            if (c->kind != Kind::Timer && !c->widget->isEnabled()) {
                return;
            }
            c->callback(panel, control, event, nullptr, d1, d2);
        },
        Qt::QueuedConnection);
}

// Right double clicks on pictures, and the close request of a top-level panel.
class EventFilter : public QObject {
    Q_OBJECT
  public:
    EventFilter(int panel, int control, QObject* parent)
        : QObject(parent), panel_(panel), control_(control) {}

  protected:
    bool eventFilter(QObject* obj, QEvent* ev) override {
        if (control_ == 0 && ev->type() == QEvent::Close) {
            if (g_closingAllowed) {
                return false;
            }
            ev->ignore();
            Post(panel_, 0, EVENT_CLOSE);
            return true;
        }
        if (control_ != 0 && ev->type() == QEvent::MouseButtonDblClick) {
            auto* me = static_cast<QMouseEvent*>(ev);
            if (me->button() == Qt::RightButton) {
                Post(panel_, control_, EVENT_RIGHT_DOUBLE_CLICK);
                return true;
            }
        }
        return QObject::eventFilter(obj, ev);
    }

  private:
    int panel_;
    int control_;
};

void SetLed(Control& c, bool on);

void Connect(Panel& p, Control& c) {
    int panel = p.handle;
    int id = c.id;
    QWidget* w = c.widget;
    switch (c.kind) {
    case Kind::Button: {
        auto* b = static_cast<QAbstractButton*>(w);
        c.connections.push_back(QObject::connect(b, &QAbstractButton::pressed,
                                                 [=] { Post(panel, id, EVENT_LEFT_CLICK); }));
        c.connections.push_back(
            QObject::connect(b, &QAbstractButton::clicked, [=] { Post(panel, id, EVENT_COMMIT); }));
        break;
    }
    case Kind::Toggle:
    case Kind::Radio: {
        auto* b = static_cast<QAbstractButton*>(w);
        c.connections.push_back(QObject::connect(b, &QAbstractButton::pressed,
                                                 [=] { Post(panel, id, EVENT_LEFT_CLICK); }));
        c.connections.push_back(QObject::connect(b, &QAbstractButton::clicked, [=] {
            Post(panel, id, EVENT_VAL_CHANGED);
            Post(panel, id, EVENT_COMMIT);
        }));
        break;
    }
    case Kind::Ring: {
        auto* r = static_cast<QComboBox*>(w);
        c.connections.push_back(QObject::connect(r, &QComboBox::activated, [=] {
            Post(panel, id, EVENT_VAL_CHANGED);
            Post(panel, id, EVENT_COMMIT);
        }));
        break;
    }
    case Kind::Numeric:
    case Kind::Real: {
        auto* s = static_cast<QAbstractSpinBox*>(w);
        // Painting its own background makes the field opaque to Qt, so a new value repaints the
        // field alone, not the group box behind it (the raw values change with every sample).
        s->setAutoFillBackground(true);
        c.connections.push_back(QObject::connect(s, &QAbstractSpinBox::editingFinished,
                                                 [=] { Post(panel, id, EVENT_COMMIT); }));
        break;
    }
    case Kind::Picture:
        w->installEventFilter(new EventFilter(panel, id, w));
        break;
    case Kind::Timer: {
        auto* t = new QTimer(w);
        t->setInterval(w->property("timerInterval").toInt());
        t->setTimerType(Qt::PreciseTimer);
        // Ticks run the callback straight from the timer event: they never wait.
        QObject::connect(t, &QTimer::timeout, [=] {
            Control* cc = FindCtrl(panel, id);
            if (cc && cc->callback) {
                cc->callback(panel, id, EVENT_TIMER_TICK, nullptr, 0, 0);
            }
        });
        t->start();
        c.timer = t;
        break;
    }
    case Kind::StripChart:
        c.chart = StripChart::embedIn(w);
        break;
    case Kind::Led:
        if (auto* l = qobject_cast<QLabel*>(w)) {
            l->setFrameShape(QFrame::NoFrame);
            l->setAlignment(Qt::AlignCenter);
        }
        c.ledOn = true; // so the first SetLed below draws the off face
        SetLed(c, false);
        break;
    default:
        break;
    }
}

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
    label->setAccessibleDescription(on ? "on" : "off");
}

QColor ToQColor(int rgb) {
    return QColor((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
}

int SetText(Control& c, const QString& text) {
    c.history.push_back(text.toStdString());
    if (c.history.size() > 2000) {
        c.history.erase(c.history.begin(), c.history.begin() + 1000);
    }
    switch (c.kind) {
    case Kind::Text:
        static_cast<QLineEdit*>(c.widget.data())->setText(text);
        return 0;
    case Kind::TextBox:
        static_cast<QPlainTextEdit*>(c.widget.data())->setPlainText(text);
        return 0;
    case Kind::Label:
        static_cast<QLabel*>(c.widget.data())->setText(text);
        return 0;
    case Kind::Button:
    case Kind::Toggle:
    case Kind::Radio:
        static_cast<QAbstractButton*>(c.widget.data())->setText(text);
        return 0;
    default:
        return UIE_NO_CONTROL;
    }
}

} // namespace

// ---------------------------------------------------------------------------------------------

int InitCVIRTE(int argc, char** argv) {
    if (QCoreApplication::instance()) {
        return 1;
    }
    if (argc > 0 && argv) {
        g_argc = argc;
        g_app = new QApplication(g_argc, argv);
    } else {
        g_app = new QApplication(g_argc, g_argv);
    }
    return 1;
}

void CloseCVIRTE() {
    platform_internal::CloseAllPorts();
    std::vector<int> handles;
    for (auto& [h, p] : g_panels) {
        if (p.topLevel) {
            handles.push_back(h);
        }
    }
    for (int h : handles) {
        DiscardPanel(h);
    }
}

const char* UiLastError() {
    return g_lastError.c_str();
}

int LoadPanel(int parent, const char* file, int panelNumber) {
    if (!QCoreApplication::instance()) {
        g_lastError = "run-time not initialised";
        return -1;
    }
    Panel* parentPanel = nullptr;
    if (parent != 0) {
        parentPanel = FindPanel(parent);
        if (!parentPanel) {
            g_lastError = "parent panel not loaded";
            return UIE_BAD_HANDLE;
        }
    }
    QFile f(QString::fromLocal8Bit(file));
    if (!f.open(QIODevice::ReadOnly)) {
        g_lastError = std::string("cannot read panel file ") + file;
        return UIE_FILE;
    }
    QUiLoader loader;
    std::unique_ptr<QWidget> root(loader.load(&f));
    if (!root) {
        g_lastError = std::string("not a valid panel file: ") + file + " (" +
                      loader.errorString().toStdString() + ")";
        return UIE_FILE;
    }
    QString name = QString("panel%1").arg(panelNumber);
    QWidget* panelWidget = root->findChild<QWidget*>(name, Qt::FindDirectChildrenOnly);
    if (!panelWidget) {
        g_lastError = std::string("panel ") + name.toStdString() + " not found in " + file;
        return UIE_FILE;
    }
    if (QLayout* rl = root->layout()) {
        rl->removeWidget(panelWidget);
    }
    Panel p;
    p.handle = g_nextHandle++;
    p.widget = panelWidget;
    if (parentPanel) {
        panelWidget->setParent(parentPanel->widget);
        panelWidget->hide();
    } else {
        panelWidget->setParent(nullptr);
        panelWidget->setWindowFlags(Qt::Window);
        panelWidget->hide();
        p.topLevel = true;
        panelWidget->installEventFilter(new EventFilter(p.handle, 0, panelWidget));
    }
    int handle = p.handle;
    g_panels[handle] = std::move(p);
    return handle;
}

int BindControls(int panel, const CtrlBinding* table, std::size_t count) {
    Panel* p = FindPanel(panel);
    if (!p) {
        return UIE_BAD_HANDLE;
    }
    for (std::size_t i = 0; i < count; ++i) {
        QWidget* w = p->widget->findChild<QWidget*>(QString::fromLatin1(table[i].objectName));
        if (!w) {
            g_lastError = std::string("control ") + table[i].objectName + " missing";
            return UIE_NO_CONTROL;
        }
        auto old = p->controls.find(table[i].id);
        if (old != p->controls.end()) {
            // Binding again replaces the old binding instead of adding to it.
            for (const auto& conn : old->second.connections) {
                QObject::disconnect(conn);
            }
            p->controls.erase(old);
        }
        Control c;
        c.id = table[i].id;
        c.widget = w;
        c.kind = KindOf(w);
        c.callback = table[i].callback;
        Control& stored = p->controls[c.id] = c;
        Connect(*p, stored);
    }
    return 0;
}

int InstallPanelCallback(int panel, CtrlCallbackPtr callback, void* callbackData) {
    Panel* p = FindPanel(panel);
    if (!p) {
        return UIE_BAD_HANDLE;
    }
    p->callback = callback;
    p->callbackData = callbackData;
    return 0;
}

int DisplayPanel(int panel) {
    Panel* p = FindPanel(panel);
    if (!p) {
        return UIE_BAD_HANDLE;
    }
    p->widget->show();
    p->widget->raise();
    return 0;
}

int HidePanel(int panel) {
    Panel* p = FindPanel(panel);
    if (!p) {
        return UIE_BAD_HANDLE;
    }
    p->widget->hide();
    return 0;
}

int DiscardPanel(int panel) {
    auto it = g_panels.find(panel);
    if (it == g_panels.end()) {
        return UIE_BAD_HANDLE;
    }
    QWidget* w = it->second.widget;
    // Child panels go with their parent; forget them too.
    for (auto jt = g_panels.begin(); jt != g_panels.end();) {
        if (jt->first != panel && w && jt->second.widget && w->isAncestorOf(jt->second.widget)) {
            jt = g_panels.erase(jt);
        } else {
            ++jt;
        }
    }
    g_panels.erase(panel);
    if (w) {
        g_closingAllowed = true;
        w->close();
        g_closingAllowed = false;
        delete w;
    }
    return 0;
}

int SetActivePanel(int panel) {
    Panel* p = FindPanel(panel);
    if (!p) {
        return UIE_BAD_HANDLE;
    }
    p->widget->activateWindow();
    return 0;
}

int SetActiveCtrl(int panel, int control) {
    Control* c = FindCtrl(panel, control);
    if (!c) {
        return UIE_NO_CONTROL;
    }
    c->widget->setFocus(Qt::OtherFocusReason);
    return 0;
}

int SetPanelAttribute(int panel, int attribute, int value) {
    Panel* p = FindPanel(panel);
    if (!p) {
        return UIE_BAD_HANDLE;
    }
    QWidget* w = p->widget;
    switch (attribute) {
    case ATTR_TOP:
        w->move(w->x(), value);
        return 0;
    case ATTR_LEFT:
        w->move(value, w->y());
        return 0;
    case ATTR_VISIBLE:
        w->setVisible(value != 0);
        return 0;
    case ATTR_DIMMED:
        w->setEnabled(value == 0);
        return 0;
    default:
        return UIE_NO_CONTROL;
    }
}

int SetPanelAttribute(int panel, int attribute, const char* value) {
    Panel* p = FindPanel(panel);
    if (!p) {
        return UIE_BAD_HANDLE;
    }
    if (attribute == ATTR_LABEL_TEXT) {
        p->widget->setWindowTitle(QString::fromLatin1(value ? value : ""));
        return 0;
    }
    return UIE_NO_CONTROL;
}

int SetCtrlVal(int panel, int control, int value) {
    Control* c = FindCtrl(panel, control);
    if (!c) {
        return UIE_NO_CONTROL;
    }
    QWidget* w = c->widget;
    switch (c->kind) {
    case Kind::Toggle:
    case Kind::Radio:
        static_cast<QAbstractButton*>(w)->setChecked(value != 0);
        return 0;
    case Kind::Ring: {
        auto* r = static_cast<QComboBox*>(w);
        int idx = r->findData(value);
        if (idx < 0 && value >= 0 && value < r->count() && !r->itemData(0).isValid()) {
            idx = value;
        }
        if (idx < 0) {
            return UIE_NO_CONTROL;
        }
        r->setCurrentIndex(idx);
        return 0;
    }
    case Kind::Numeric:
        static_cast<QSpinBox*>(w)->setValue(value);
        return 0;
    case Kind::Real:
        static_cast<QDoubleSpinBox*>(w)->setValue(value);
        return 0;
    case Kind::Led:
        SetLed(*c, value != 0);
        return 0;
    case Kind::Progress:
        static_cast<QProgressBar*>(w)->setValue(value);
        return 0;
    case Kind::Text:
    case Kind::TextBox:
    case Kind::Label:
        return SetText(*c, QString::number(value));
    default:
        return UIE_NO_CONTROL;
    }
}

int SetCtrlVal(int panel, int control, unsigned value) {
    Control* c = FindCtrl(panel, control);
    if (c && (c->kind == Kind::Text || c->kind == Kind::TextBox || c->kind == Kind::Label)) {
        return SetText(*c, QString::number(value));
    }
    if (c && c->kind == Kind::Real) {
        return SetCtrlVal(panel, control, static_cast<double>(value));
    }
    return SetCtrlVal(panel, control, static_cast<int>(std::min<unsigned>(value, 0x7FFFFFFF)));
}

int SetCtrlVal(int panel, int control, double value) {
    Control* c = FindCtrl(panel, control);
    if (!c) {
        return UIE_NO_CONTROL;
    }
    if (c->kind == Kind::Real) {
        static_cast<QDoubleSpinBox*>(c->widget.data())->setValue(value);
        return 0;
    }
    if (c->kind == Kind::Text || c->kind == Kind::TextBox || c->kind == Kind::Label) {
        return SetText(*c, QString::number(value, 'g', 12));
    }
    if (!std::isfinite(value)) {
        return UIE_NO_CONTROL;
    }
    return SetCtrlVal(panel, control, static_cast<int>(std::lround(value)));
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
    if (!c || !value) {
        return UIE_NO_CONTROL;
    }
    QWidget* w = c->widget;
    switch (c->kind) {
    case Kind::Toggle:
    case Kind::Radio:
        *value = static_cast<QAbstractButton*>(w)->isChecked() ? 1 : 0;
        return 0;
    case Kind::Ring: {
        auto* r = static_cast<QComboBox*>(w);
        QVariant d = r->currentData();
        *value = d.isValid() ? d.toInt() : r->currentIndex();
        return 0;
    }
    case Kind::Numeric:
        *value = static_cast<QSpinBox*>(w)->value();
        return 0;
    case Kind::Real:
        *value = static_cast<int>(static_cast<QDoubleSpinBox*>(w)->value());
        return 0;
    case Kind::Led:
        *value = c->ledOn ? 1 : 0;
        return 0;
    case Kind::Progress:
        *value = static_cast<QProgressBar*>(w)->value();
        return 0;
    default:
        return UIE_NO_CONTROL;
    }
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
    if (!c || !value) {
        return UIE_NO_CONTROL;
    }
    if (c->kind == Kind::Real) {
        *value = static_cast<QDoubleSpinBox*>(c->widget.data())->value();
        return 0;
    }
    int v = 0;
    int r = GetCtrlVal(panel, control, &v);
    if (r == 0) {
        *value = v;
    }
    return r;
}

int GetCtrlVal(int panel, int control, char* value, std::size_t size) {
    Control* c = FindCtrl(panel, control);
    if (!c || !value || size == 0) {
        return UIE_NO_CONTROL;
    }
    QString text;
    switch (c->kind) {
    case Kind::Text:
        text = static_cast<QLineEdit*>(c->widget.data())->text();
        break;
    case Kind::TextBox:
        text = static_cast<QPlainTextEdit*>(c->widget.data())->toPlainText();
        break;
    case Kind::Label:
        text = static_cast<QLabel*>(c->widget.data())->text();
        break;
    default:
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
        QPalette pal = w->palette();
        pal.setColor(QPalette::Window, ToQColor(value));
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

int FileSelectPopup(const char* defaultDirectory, const char* defaultFileName, const char* filter,
                    const char* title, int buttonKind, int, int restrictExtension, int,
                    int allowMakeDirectory, char pathName[MAX_PATHNAME_LEN]) {
    if (!pathName) {
        return VAL_NO_FILE_SELECTED;
    }
    auto str = [](const char* s) { return std::string(s ? s : ""); };
    g_fileCalls.push_back(
        {str(defaultDirectory), str(defaultFileName), str(filter), str(title), buttonKind});
    std::string chosen;
    if (!g_fileAnswers.empty()) {
        chosen = g_fileAnswers.front();
        g_fileAnswers.pop_front();
    } else if (QGuiApplication::platformName() == "offscreen" ||
               qEnvironmentVariableIsSet("ZEL_NO_DIALOGS")) {
        chosen.clear(); // nobody to answer: a cancel
    } else {
        QFileDialog dlg(nullptr, QString::fromLatin1(title ? title : ""),
                        QString::fromLocal8Bit(defaultDirectory ? defaultDirectory : ""));
        bool load = buttonKind == VAL_LOAD_BUTTON;
        dlg.setAcceptMode(load ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
        dlg.setFileMode(load ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
        QString f = QString::fromLatin1(filter ? filter : "");
        if (!f.isEmpty()) {
            dlg.setNameFilter(restrictExtension ? f : f + ";;*");
        }
        if (!allowMakeDirectory) {
            dlg.setOption(QFileDialog::ReadOnly);
        }
        dlg.setLabelText(QFileDialog::Accept, load ? "Load" : "OK");
        dlg.selectFile(QString::fromLocal8Bit(defaultFileName ? defaultFileName : ""));
        if (dlg.exec() == QDialog::Accepted && !dlg.selectedFiles().isEmpty()) {
            chosen =
                QDir::toNativeSeparators(dlg.selectedFiles().front()).toLocal8Bit().toStdString();
        }
    }
    // On cancel the caller's path buffer keeps what it held.
    if (chosen.empty() || chosen.size() >= MAX_PATHNAME_LEN) {
        return VAL_NO_FILE_SELECTED; // a path that does not fit is refused, never cut
    }
    std::memcpy(pathName, chosen.c_str(), chosen.size() + 1);
    return QFileInfo::exists(QString::fromLocal8Bit(chosen.c_str())) ? VAL_EXISTING_FILE_SELECTED
                                                                     : VAL_NEW_FILE_SELECTED;
}

int GetProjectDir(char directory[MAX_PATHNAME_LEN]) {
    if (!directory) {
        return -1;
    }
    if (g_projectDir.size() >= MAX_PATHNAME_LEN) {
        directory[0] = '\0';
        return -1;
    }
    std::memcpy(directory, g_projectDir.c_str(), g_projectDir.size() + 1);
    return 0;
}

void SetProjectDir(const char* directory) {
    g_projectDir = directory ? directory : ".";
}

int MakePathname(const char* directory, const char* fileName, char pathName[MAX_PATHNAME_LEN]) {
    if (!pathName) {
        return -1;
    }
    std::string d = directory ? directory : "";
    std::string path = d.empty() ? std::string(fileName ? fileName : "")
                                 : QDir(QString::fromLocal8Bit(d.c_str()))
                                       .filePath(QString::fromLocal8Bit(fileName ? fileName : ""))
                                       .toLocal8Bit()
                                       .toStdString();
    if (path.size() >= MAX_PATHNAME_LEN) {
        pathName[0] = '\0';
        return -1;
    }
    std::memcpy(pathName, path.c_str(), path.size() + 1);
    return 0;
}

// ---- test hooks ----

void QueueFileSelectAnswer(const std::string& path) {
    g_fileAnswers.push_back(path);
}

const std::vector<FileSelectCall>& FileSelectCalls() {
    return g_fileCalls;
}

void ClearFileSelectCalls() {
    g_fileCalls.clear();
    g_fileAnswers.clear();
}

std::vector<std::string> TextHistory(int panel, int control) {
    Control* c = FindCtrl(panel, control);
    return c ? c->history : std::vector<std::string>{};
}

void ClearTextHistory() {
    for (auto& [h, p] : g_panels) {
        for (auto& [id, c] : p.controls) {
            c.history.clear();
        }
    }
}

void ClickCtrl(int panel, int control) {
    Control* c = FindCtrl(panel, control);
    if (!c) {
        return;
    }
    if (auto* b = qobject_cast<QAbstractButton*>(c->widget.data())) {
        if (!b->isEnabled()) {
            return;
        }
        // Same signals a real click gives, in the same order.
        emit b->pressed();
        if (b->isCheckable()) {
            b->setChecked(!b->isChecked());
        }
        emit b->clicked(b->isChecked());
        return;
    }
    if (auto* r = qobject_cast<QComboBox*>(c->widget.data())) {
        emit r->activated(r->currentIndex());
    }
}

void PostCtrlEvent(int panel, int control, int event) {
    Post(panel, control, event);
}

std::vector<std::vector<double>> StripChartTraces(int panel, int control) {
    Control* c = FindCtrl(panel, control);
    if (!c || !c->chart) {
        return {};
    }
    return c->chart->traces();
}

#include "ui.moc"

int SetStripChartTrace(int panel, int control, int trace, const char* name, int color, int width,
                       int dashed) {
    Control* c = FindCtrl(panel, control);
    if (!c || !c->chart) {
        return UIE_NO_CONTROL;
    }
    c->chart->setTrace(trace, QString::fromLatin1(name ? name : ""), color, width, dashed != 0);
    return 0;
}

bool PanelVisible(int panel) {
    Panel* p = FindPanel(panel);
    return p && p->widget->isVisible();
}
