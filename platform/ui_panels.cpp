// Panels and their events: loading from Designer files, binding controls to callbacks, posting
// widget signals as events, showing, hiding and discarding panels.
#include "internal.h"
#include "stripchart.h"
#include "ui_internal.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAbstractSpinBox>
#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDoubleSpinBox>
#include <QFile>
#include <QFrame>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QUiLoader>

#include <memory>
#include <string>

namespace platform_internal {
namespace {

int g_nextHandle = 1;
std::string g_lastError;
// Lives until the process ends: destroying it during static destruction races Qt's own
// teardown.
QApplication* g_app = nullptr;
int g_argc = 1;
char g_arg0[] = "zel-vavod";
char* g_argv[] = {g_arg0, nullptr};
bool g_closingAllowed = false;
EventObserver g_eventObserver = nullptr;
AnnouncementObserver g_announcementObserver = nullptr;

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

// Escape in a numeric field drops the pending edit and shows again the value the program holds.
class FieldKeys : public QObject {
  public:
    explicit FieldKeys(QAbstractSpinBox* field) : QObject(field), field_(field) {}

  protected:
    bool eventFilter(QObject* obj, QEvent* ev) override {
        if (ev->type() == QEvent::KeyPress &&
            static_cast<QKeyEvent*>(ev)->key() == Qt::Key_Escape && !field_->isReadOnly()) {
            QVariant shown = field_->property(kShownValue);
            QSignalBlocker quiet(field_);
            if (auto* sb = qobject_cast<QSpinBox*>(field_)) {
                sb->setValue(shown.toInt());
            } else if (auto* db = qobject_cast<QDoubleSpinBox*>(field_)) {
                db->setValue(shown.toDouble());
            }
            field_->selectAll();
            return true;
        }
        return QObject::eventFilter(obj, ev);
    }

  private:
    QAbstractSpinBox* field_;
};

// A list that acts when its choice changes (the port selector closes and reopens the port)
// changes only by a choice from its opened list: the wheel over it is ignored, and keys that
// would step the closed list open it instead. Enter on the closed list commits its choice.
class RingGuard : public QObject {
  public:
    RingGuard(QComboBox* ring, int panel, int control)
        : QObject(ring), ring_(ring), panel_(panel), control_(control) {}

  protected:
    bool eventFilter(QObject* obj, QEvent* ev) override {
        bool input = ev->type() == QEvent::Wheel || ev->type() == QEvent::KeyPress;
        if (!input || ring_->view()->isVisible()) {
            return QObject::eventFilter(obj, ev);
        }
        if (ev->type() == QEvent::Wheel) {
            ev->ignore();
            return true;
        }
        if (ev->type() == QEvent::KeyPress) {
            auto* ke = static_cast<QKeyEvent*>(ev);
            switch (ke->key()) {
            case Qt::Key_Return:
            case Qt::Key_Enter:
                Post(panel_, control_, EVENT_VAL_CHANGED);
                Post(panel_, control_, EVENT_COMMIT);
                return true;
            case Qt::Key_Up:
            case Qt::Key_Down:
            case Qt::Key_PageUp:
            case Qt::Key_PageDown:
            case Qt::Key_Home:
            case Qt::Key_End:
                ring_->showPopup();
                return true;
            default:
                if (!ke->text().isEmpty() && ke->text()[0].isPrint() &&
                    ke->key() != Qt::Key_Space) {
                    return true; // no search that steps the closed list
                }
            }
        }
        return QObject::eventFilter(obj, ev);
    }

  private:
    QComboBox* ring_;
    int panel_;
    int control_;
};

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
        // A click emits pressed, toggled, released, clicked; a screen reader's Toggle action
        // (QAbstractButton::toggle) emits toggled alone. Posting the change from `toggled`
        // gives both the same events; the program's own writes are signal-blocked.
        auto down = std::make_shared<bool>(false);
        c.connections.push_back(QObject::connect(b, &QAbstractButton::pressed, [=] {
            *down = true;
            Post(panel, id, EVENT_LEFT_CLICK);
        }));
        c.connections.push_back(
            QObject::connect(b, &QAbstractButton::released, [=] { *down = false; }));
        c.connections.push_back(QObject::connect(b, &QAbstractButton::toggled, [=] {
            if (!*down) {
                Post(panel, id, EVENT_LEFT_CLICK);
            }
            *down = false;
            Post(panel, id, EVENT_VAL_CHANGED);
            Post(panel, id, EVENT_COMMIT);
        }));
        break;
    }
    case Kind::Ring: {
        auto* r = static_cast<QComboBox*>(w);
        if (c.callback) {
            r->installEventFilter(new RingGuard(r, panel, id));
        }
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
        RememberFieldValue(c);
        c.connections.push_back(QObject::connect(s, &QAbstractSpinBox::editingFinished, [=] {
            if (Control* cc = FindCtrl(panel, id)) {
                RememberFieldValue(*cc);
            }
            Post(panel, id, EVENT_COMMIT);
        }));
        auto* keys = new FieldKeys(s);
        s->installEventFilter(keys);
        if (auto* edit = s->findChild<QLineEdit*>()) {
            edit->installEventFilter(keys);
        }
        if (s->isReadOnly()) {
            // A display: tell a screen reader each new value.
            auto announce = [=] {
                if (Control* cc = FindCtrl(panel, id)) {
                    AnnounceValue(*cc, s->text());
                }
            };
            if (auto* sb = qobject_cast<QSpinBox*>(s)) {
                c.connections.push_back(QObject::connect(sb, &QSpinBox::valueChanged, announce));
            } else if (auto* db = qobject_cast<QDoubleSpinBox*>(s)) {
                c.connections.push_back(
                    QObject::connect(db, &QDoubleSpinBox::valueChanged, announce));
            }
        }
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

// A screen reader says a control's visible label: its own text, or the text of the label that
// names it (mnemonic marks dropped); the tooltip explains what the value means.
QString PlainLabel(QString text) {
    text.replace("&&", QString(QChar(0x1)));
    text.remove('&');
    text.replace(QChar(0x1), "&");
    return text;
}

void DescribeForScreenReaders(Panel& p, Control& c) {
    QWidget* w = c.widget;
    QString label;
    if (auto* b = qobject_cast<QAbstractButton*>(w)) {
        label = b->text();
    } else {
        for (QLabel* l : p.widget->findChildren<QLabel*>()) {
            if (l->buddy() == w) {
                label = l->text();
            }
        }
    }
    label = PlainLabel(label);
    if (!label.isEmpty()) {
        w->setAccessibleName(label);
    }
    // An LED's description is its state, set with the LED.
    if (c.kind != Kind::Led && w->accessibleDescription().isEmpty()) {
        w->setAccessibleDescription(w->toolTip());
    }
}

} // namespace

void SetAnnouncementObserver(AnnouncementObserver observer) {
    g_announcementObserver = observer;
}

void DescribeState(Control& c, const QString& text) {
    if (c.widget->accessibleDescription() == text) {
        return;
    }
    c.widget->setAccessibleDescription(text);
    if (g_announcementObserver) {
        g_announcementObserver(c.panel, c.id, "description", text);
    }
}

void AnnounceValue(Control& c, const QString& text) {
    QAccessibleValueChangeEvent ev(c.widget, text);
    QAccessible::updateAccessibility(&ev);
    if (g_announcementObserver) {
        g_announcementObserver(c.panel, c.id, "value", text);
    }
}

void SetEventObserver(EventObserver observer) {
    g_eventObserver = observer;
}

void RememberFieldValue(Control& c) {
    if (auto* s = qobject_cast<QAbstractSpinBox*>(c.widget.data())) {
        s->setProperty(kShownValue, s->property("value"));
    }
}

std::map<int, Panel>& Panels() {
    static std::map<int, Panel> panels;
    return panels;
}

Panel* FindPanel(int h) {
    auto it = Panels().find(h);
    return it == Panels().end() || !it->second.widget ? nullptr : &it->second;
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
    if (qobject_cast<QGroupBox*>(w)) {
        return Kind::Group;
    }
    return Kind::Unknown;
}

// A shortcut acts without taking the focus from a numeric field, so the field's typed text
// would not yet be its value: take it now, as leaving the field would.
void CommitFocusedField(int panel, int control) {
    QWidget* f = QApplication::focusWidget();
    QAbstractSpinBox* field = nullptr;
    for (QWidget* w = f; w && !field; w = w->parentWidget()) {
        field = qobject_cast<QAbstractSpinBox*>(w);
    }
    Control* own = FindCtrl(panel, control);
    if (!field || field->isReadOnly() || (own && own->widget == field)) {
        return;
    }
    field->interpretText();
    for (auto& [h, p] : Panels()) {
        for (auto& [id, c] : p.controls) {
            if (c.widget == field) {
                RememberFieldValue(c);
            }
        }
    }
}

// Runs a control's callback later, from the event pump, in the order events arrived, so a
// callback that waits never runs inside a widget's own input handler.
void Post(int panel, int control, int event, int d1, int d2) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) {
        return;
    }
    CommitFocusedField(panel, control);
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
            // A dimmed control produces no events, even ones queued before it was dimmed.
            if (!c || (c->kind != Kind::Timer && !c->widget->isEnabled())) {
                return;
            }
            if (g_eventObserver) {
                g_eventObserver(panel, control, event);
            }
            if (!c->callback) {
                return;
            }
            c->callback(panel, control, event, nullptr, d1, d2);
        },
        Qt::QueuedConnection);
}

} // namespace platform_internal

using namespace platform_internal;

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
    for (auto& [h, p] : Panels()) {
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
    Panels()[handle] = std::move(p);
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
        c.panel = panel;
        c.id = table[i].id;
        c.widget = w;
        c.kind = KindOf(w);
        c.callback = table[i].callback;
        Control& stored = p->controls[c.id] = c;
        Connect(*p, stored);
        DescribeForScreenReaders(*p, stored);
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
    auto it = Panels().find(panel);
    if (it == Panels().end()) {
        return UIE_BAD_HANDLE;
    }
    QWidget* w = it->second.widget;
    // Child panels go with their parent; forget them too.
    for (auto jt = Panels().begin(); jt != Panels().end();) {
        if (jt->first != panel && w && jt->second.widget && w->isAncestorOf(jt->second.widget)) {
            jt = Panels().erase(jt);
        } else {
            ++jt;
        }
    }
    Panels().erase(panel);
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

#include "ui_panels.moc"
