// How widgets' input becomes the program's events: signals posted as events in the order they
// arrived, the close request and right double clicks, keys in numeric fields and lists, and
// what screen readers are told.
#include "chart/stripchart.h"
#include "host/pump.h"
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

#include <memory>
#include <string>

namespace platform_internal {
namespace {
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

} // namespace

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
    case Kind::Text:
        if (static_cast<QLineEdit*>(w)->isReadOnly()) {
            // A message line, rewritten while the scope streams (the link figures): opaque, so
            // its new text repaints the line alone, not the group box behind it.
            w->setAutoFillBackground(true);
        }
        break;
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
static QString PlainLabel(QString text) {
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

QObject* NewEventFilter(int panel, int control, QObject* parent) {
    return new EventFilter(panel, control, parent);
}

void AllowClosing(bool allowed) {
    g_closingAllowed = allowed;
}

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
    // The raw values change with every sample: build the event only for a listening reader.
    if (QAccessible::isActive()) {
        QAccessibleValueChangeEvent ev(c.widget, text);
        QAccessible::updateAccessibility(&ev);
    }
    if (g_announcementObserver) {
        g_announcementObserver(c.panel, c.id, "value", text);
    }
}

void NoteAnnouncement(Control& c, const char* kind, const QString& text) {
    if (g_announcementObserver) {
        g_announcementObserver(c.panel, c.id, kind, text);
    }
}

void AnnounceText(Control& c, const QString& text, bool repeated) {
    if (IsStatusBar(c.widget)) {
        SayOutcome(c, text); // spoken wherever the focus is, when it is news
    }
    if (repeated && !IsStatusBar(c.widget)) {
        return; // a display written again with the same figures has nothing new to say
    }
    // QLineEdit::setText sent the text event for a change; a message written again is said again.
    if (repeated && QAccessible::isActive()) {
        QAccessibleTextUpdateEvent ev(c.widget, 0, text, text);
        QAccessible::updateAccessibility(&ev);
    }
    if (g_announcementObserver) {
        g_announcementObserver(c.panel, c.id, "text", text);
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
            if (event != EVENT_TIMER_TICK) {
                NoteOperatorAction();
            }
            if (!c->callback) {
                return;
            }
            c->callback(panel, control, event, nullptr, d1, d2);
        },
        Qt::QueuedConnection);
}

} // namespace platform_internal
#include "ui_input.moc"
