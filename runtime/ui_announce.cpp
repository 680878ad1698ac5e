// Outcomes a screen reader speaks without the focus moving: the status line's messages, as
// chosen by OutcomeSpeech, raised as notifications of the status bar. A reader presents a
// notification that becomes showing wherever the focus is (Orca does; a status bar's own text
// change it drops unless the status bar has the focus).
#include "outcome_speech.h"
#include "ui_internal.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <array>

namespace platform_internal {
namespace {

constexpr const char* kNoticeText = "zelNoticeText";

// One spoken message: a hidden child of the status line whose accessible face is a showing
// notification named by the message. Several take turns, so a reader that reads a notice's
// name a little after its event still finds that notice's own message.
class NoticeAccessible : public QAccessibleWidget {
  public:
    explicit NoticeAccessible(QWidget* w) : QAccessibleWidget(w, QAccessible::Notification) {}
    QString text(QAccessible::Text t) const override {
        return t == QAccessible::Name ? widget()->property(kNoticeText).toString() : QString();
    }
    QAccessible::State state() const override {
        QAccessible::State s;
        s.readOnly = true;
        return s; // visible and showing: a reader presents only what it can find on screen
    }
};

QAccessibleInterface* NoticeFactory(const QString&, QObject* object) {
    auto* w = qobject_cast<QWidget*>(object);
    if (w && w->property(kNoticeText).isValid()) {
        return new NoticeAccessible(w);
    }
    return nullptr;
}

constexpr std::size_t kNotices = 4;

struct Speaker {
    OutcomeSpeech policy;
    QElapsedTimer clock;
    QPointer<QTimer> due;
    int panel = 0;
    int control = 0;
    std::array<QPointer<QWidget>, kNotices> notices;
    std::size_t next = 0;
};
Speaker& S() {
    static Speaker s;
    return s;
}

double Now() {
    Speaker& s = S();
    if (!s.clock.isValid()) {
        s.clock.start();
    }
    return static_cast<double>(s.clock.nsecsElapsed()) / 1e9;
}

void Speak(Control& c, const QString& text);

void Schedule() {
    Speaker& s = S();
    const double at = s.policy.dueAt();
    if (at < 0) {
        if (s.due) {
            s.due->stop();
        }
        return;
    }
    if (!s.due) {
        s.due = new QTimer(QCoreApplication::instance());
        s.due->setSingleShot(true);
        QObject::connect(s.due, &QTimer::timeout, [] {
            Speaker& sp = S();
            const std::string text = sp.policy.due(Now());
            if (!text.empty()) {
                if (Control* c = FindCtrl(sp.panel, sp.control)) {
                    Speak(*c, QString::fromStdString(text));
                }
            }
            Schedule();
        });
    }
    s.due->start(std::max(0, static_cast<int>((at - Now()) * 1000.0) + 1));
}

[[maybe_unused]] void RaiseNotice(Speaker& s, Control& c, const QString& text) {
    QPointer<QWidget>& notice = s.notices[s.next];
    s.next = (s.next + 1) % kNotices;
    if (!notice || notice->parentWidget() != c.widget) {
        delete notice.data();
        notice = new QWidget(c.widget);
        notice->setProperty(kNoticeText, QString());
        notice->setFocusPolicy(Qt::NoFocus);
        notice->hide();
    }
    notice->setProperty(kNoticeText, text);
    QAccessibleEvent named(notice.data(), QAccessible::NameChanged);
    QAccessible::updateAccessibility(&named);
    QAccessibleEvent shown(notice.data(), QAccessible::ObjectShow);
    QAccessible::updateAccessibility(&shown);
}

void Speak(Control& c, const QString& text) {
    Speaker& s = S();
    // Messages from before the window is up (the start-up exchange) are not said: the reader
    // presents the window as it appears, and the line then holds the last of them.
    if (!c.widget || !c.widget->window()->isVisible()) {
        return;
    }
    if (QAccessible::isActive()) {
#if defined(Q_OS_WIN) && QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
        // UI Automation's notification event: Narrator and NVDA speak it wherever the focus is.
        QAccessibleAnnouncementEvent announced(c.widget, text);
        QAccessible::updateAccessibility(&announced);
#else
        // AT-SPI: a notification becoming showing, which Orca presents whatever has the focus.
        // Not also an announcement where Qt has them: a reader taking both would speak twice.
        RaiseNotice(s, c, text);
#endif
    }
    NoteAnnouncement(c, "announcement", text);
}

} // namespace

void InstallOutcomeSpeech() {
    QAccessible::installFactory(&NoticeFactory);
}

void NoteOperatorAction() {
    S().policy.operatorActed();
}

void SayOutcome(Control& c, const QString& text) {
    Speaker& s = S();
    s.panel = c.panel;
    s.control = c.id;
    const std::string say = s.policy.written(text.toStdString(), Now());
    if (!say.empty()) {
        Speak(c, QString::fromStdString(say));
    }
    Schedule();
}

} // namespace platform_internal
