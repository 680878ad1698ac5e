// Test hooks on the user interface: scripted file-dialog answers, the texts controls showed, and
// the operator's clicks. Linking this file switches the hooks on; the program never links it.
#include "chart/stripchart.h"
#include "runtime/ui_internal.h"
#include "testing.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAbstractSpinBox>
#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFormLayout>
#include <QGridLayout>
#include <QKeySequence>
#include <QLabel>
#include <QTest>
#include <QWheelEvent>

#include <algorithm>
#include <cctype>
#include <deque>
#include <map>
#include <utility>

using namespace platform_internal;

namespace {

std::deque<std::string> g_fileAnswers;
std::vector<FileSelectCall> g_fileCalls;
std::map<std::pair<int, int>, std::vector<std::string>> g_texts;

void RecordText(int panel, int control, const QString& text) {
    auto key = std::make_pair(panel, control);
    auto it = g_texts.find(key);
    if (it == g_texts.end()) {
        // Discarded panels take their histories with them, as they did their controls.
        std::erase_if(g_texts, [](const auto& entry) { return !FindPanel(entry.first.first); });
        it = g_texts.emplace(key, std::vector<std::string>{}).first;
    }
    std::vector<std::string>& h = it->second;
    h.push_back(text.toStdString());
    if (h.size() > 2000) {
        h.erase(h.begin(), h.begin() + 1000);
    }
}

// Queued answers in order; with none left nobody is there to answer, which is a cancel.
void AnswerFileSelect(const FileSelectRequest& r, std::string& path) {
    g_fileCalls.push_back({r.directory, r.fileName, r.filter, r.title, r.buttonKind});
    path.clear();
    if (!g_fileAnswers.empty()) {
        path = g_fileAnswers.front();
        g_fileAnswers.pop_front();
    }
}

std::deque<int> g_compareAnswers;
std::vector<CompareCall> g_compareCalls;

int AnswerCompare(const CompareRequest& r) {
    g_compareCalls.push_back({r.title, r.columns, r.rows, r.values, r.offerFile});
    if (g_compareAnswers.empty()) {
        return -1;
    }
    int answer = g_compareAnswers.front();
    g_compareAnswers.pop_front();
    return answer;
}

std::deque<int> g_historyAnswers;
std::vector<HistoryCall> g_historyCalls;

int AnswerHistory(const HistoryRequest& r) {
    g_historyCalls.push_back(
        {r.title, r.ids, r.directions, r.memories, r.blocks, r.words, r.panel});
    if (g_historyAnswers.empty()) {
        return -1;
    }
    int answer = g_historyAnswers.front();
    g_historyAnswers.pop_front();
    return answer;
}

bool g_recordEvents = false;
std::vector<DispatchedEvent> g_events;

void RecordEvent(int panel, int control, int event) {
    if (g_recordEvents) {
        g_events.push_back({panel, control, event});
    }
}

bool g_recordAnnouncements = false;
std::vector<Announcement> g_announcements;

void RecordAnnouncement(int panel, int control, const char* kind, const QString& text) {
    if (g_recordAnnouncements) {
        g_announcements.push_back({panel, control, kind, text.toStdString()});
    }
}

// The panel's own widgets, without those of panels loaded into it.
bool OwnWidget(const Panel& p, const QWidget* w) {
    for (const auto& [h, other] : Panels()) {
        if (other.widget && other.widget != p.widget && p.widget->isAncestorOf(other.widget) &&
            (other.widget == w || other.widget->isAncestorOf(w))) {
            return false;
        }
    }
    return true;
}

[[maybe_unused]] const bool g_installed = [] {
    SetEventObserver(&RecordEvent);
    SetAnnouncementObserver(&RecordAnnouncement);
    SetTextWriteObserver(&RecordText);
    SetFileSelectScript(&AnswerFileSelect);
    SetCompareScript(&AnswerCompare);
    SetHistoryScript(&AnswerHistory);
    return true;
}();

} // namespace

void QueueCompareAnswer(int answer) {
    g_compareAnswers.push_back(answer);
}

const std::vector<CompareCall>& CompareCalls() {
    return g_compareCalls;
}

void ClearCompareCalls() {
    g_compareCalls.clear();
    g_compareAnswers.clear();
}

void QueueHistoryAnswer(int answer) {
    g_historyAnswers.push_back(answer);
}

const std::vector<HistoryCall>& HistoryCalls() {
    return g_historyCalls;
}

void ClearHistoryCalls() {
    g_historyCalls.clear();
    g_historyAnswers.clear();
}

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
    auto it = g_texts.find({panel, control});
    if (!FindCtrl(panel, control) || it == g_texts.end()) {
        return {};
    }
    return it->second;
}

void ClearTextHistory() {
    g_texts.clear();
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

std::vector<std::vector<double>> StripChartShown(int panel, int control) {
    Control* c = FindCtrl(panel, control);
    return c && c->chart ? c->chart->shownTraces() : std::vector<std::vector<double>>{};
}

std::string StripChartHover(int panel, int control, int index) {
    Control* c = FindCtrl(panel, control);
    return c && c->chart ? c->chart->hoverSample(index).toStdString() : std::string();
}

bool StripChartZoomed(int panel, int control) {
    Control* c = FindCtrl(panel, control);
    return c && c->chart && c->chart->zoomed();
}

bool PanelVisible(int panel) {
    Panel* p = FindPanel(panel);
    return p && p->widget->isVisible();
}

std::vector<AccessibleControl> AccessibleControls(int panel) {
    std::vector<AccessibleControl> out;
    Panel* p = FindPanel(panel);
    if (!p) {
        return out;
    }
    for (auto& [id, c] : p->controls) {
        AccessibleControl a;
        a.control = id;
        a.objectName = c.widget->objectName().toStdString();
        a.tabStop = (c.widget->focusPolicy() & Qt::TabFocus) != 0;
        if (QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(c.widget)) {
            a.name = iface->text(QAccessible::Name).toStdString();
            a.description = iface->text(QAccessible::Description).toStdString();
            for (const auto& [other, relation] : iface->relations(QAccessible::Label)) {
                a.labelledBy.push_back(other->text(QAccessible::Name).toStdString());
            }
            if (QAccessibleActionInterface* act = iface->actionInterface()) {
                for (const QString& n : act->actionNames()) {
                    a.actions.push_back(n.toStdString());
                }
            }
        }
        out.push_back(a);
    }
    return out;
}

bool DoAccessibleAction(int panel, int control, const std::string& action) {
    Control* c = FindCtrl(panel, control);
    if (!c) {
        return false;
    }
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(c->widget);
    QAccessibleActionInterface* act = iface ? iface->actionInterface() : nullptr;
    QString name = QString::fromStdString(action);
    if (!act || !act->actionNames().contains(name)) {
        return false;
    }
    act->doAction(name);
    return true;
}

void RecordEvents(bool on) {
    g_recordEvents = on;
    g_events.clear();
}

std::vector<DispatchedEvent> RecordedEvents() {
    return g_events;
}

void RecordAnnouncements(bool on) {
    g_recordAnnouncements = on;
    g_announcements.clear();
}

std::vector<Announcement> RecordedAnnouncements() {
    ShowDueValues(); // what the window would say by its next paint
    return g_announcements;
}

bool ActivatePanelWindow(int panel) {
    Panel* p = FindPanel(panel);
    if (!p) {
        return false;
    }
    DisplayPanel(panel);
    QWidget* window = p->widget->window();
    window->show();
    window->activateWindow();
    return QTest::qWaitForWindowActive(window);
}

void PressKeys(const std::string& keys) {
    QWidget* target = QApplication::focusWidget();
    if (!target) {
        target = QApplication::activeWindow();
    }
    if (!target) {
        return;
    }
    QKeySequence seq = QKeySequence::fromString(QString::fromStdString(keys));
    for (int i = 0; i < seq.count(); ++i) {
        QKeyCombination k = seq[i];
        QTest::keyClick(target, k.key(), k.keyboardModifiers());
        if (QWidget* now = QApplication::focusWidget()) {
            target = now;
        }
    }
}

void TypeText(const std::string& text) {
    if (QWidget* target = QApplication::focusWidget()) {
        QTest::keyClicks(target, QString::fromStdString(text));
    }
}

int FocusedCtrl(int panel) {
    Panel* p = FindPanel(panel);
    QWidget* f = QApplication::focusWidget();
    if (!p || !f) {
        return 0;
    }
    // A spin box hands its focus to its line edit.
    for (QWidget* w = f; w; w = w->parentWidget()) {
        for (auto& [id, c] : p->controls) {
            if (c.widget.data() == w && c.callback) {
                return id;
            }
        }
        for (auto& [id, c] : p->controls) {
            if (c.widget.data() == w) {
                return id;
            }
        }
    }
    return 0;
}

namespace {
void ReadLayout(QLayout* layout, QWidget* window, std::vector<std::string>& out);

void ReadItem(QLayoutItem* item, QWidget* window, std::vector<std::string>& out) {
    if (!item) {
        return;
    }
    if (QLayout* inner = item->layout()) {
        ReadLayout(inner, window, out);
        return;
    }
    QWidget* w = item->widget();
    if (!w || !w->isVisibleTo(window)) {
        return;
    }
    if ((w->focusPolicy() & Qt::TabFocus) != 0 && w->isEnabled()) {
        out.push_back(w->objectName().toStdString());
    }
    if (w->layout()) {
        ReadLayout(w->layout(), window, out);
    }
}

void ReadLayout(QLayout* layout, QWidget* window, std::vector<std::string>& out) {
    if (auto* grid = qobject_cast<QGridLayout*>(layout)) {
        for (int r = 0; r < grid->rowCount(); ++r) {
            for (int c = 0; c < grid->columnCount(); ++c) {
                QLayoutItem* item = grid->itemAtPosition(r, c);
                int row = 0, col = 0, rows = 0, cols = 0;
                grid->getItemPosition(grid->indexOf(item), &row, &col, &rows, &cols);
                if (item && row == r && col == c) { // a spanning item is read at its first cell
                    ReadItem(item, window, out);
                }
            }
        }
    } else if (auto* form = qobject_cast<QFormLayout*>(layout)) {
        for (int r = 0; r < form->rowCount(); ++r) {
            for (auto role :
                 {QFormLayout::LabelRole, QFormLayout::FieldRole, QFormLayout::SpanningRole}) {
                ReadItem(form->itemAt(r, role), window, out);
            }
        }
    } else {
        for (int i = 0; i < layout->count(); ++i) {
            ReadItem(layout->itemAt(i), window, out);
        }
    }
}
} // namespace

std::vector<std::string> LayoutReadingOrder(int panel) {
    std::vector<std::string> out;
    Panel* p = FindPanel(panel);
    if (p && p->widget && p->widget->layout()) {
        ReadLayout(p->widget->layout(), p->widget->window(), out);
    }
    return out;
}

std::string FocusedObjectName() {
    QWidget* f = QApplication::focusWidget();
    if (f && f->parentWidget() && qobject_cast<QAbstractSpinBox*>(f->parentWidget())) {
        f = f->parentWidget();
    }
    return f ? f->objectName().toStdString() : std::string();
}

void WheelOver(int panel, int control, int steps) {
    Control* c = FindCtrl(panel, control);
    if (!c) {
        return;
    }
    QPointF at = c->widget->rect().center();
    QWheelEvent ev(at, c->widget->mapToGlobal(at), QPoint(), QPoint(0, 120 * steps), Qt::NoButton,
                   Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(c->widget, &ev);
}

bool ListOpen(int panel, int control) {
    Control* c = FindCtrl(panel, control);
    auto* r = c ? qobject_cast<QComboBox*>(c->widget.data()) : nullptr;
    return r && r->view()->isVisible();
}

std::vector<std::pair<int, std::string>> RingItems(int panel, int control) {
    std::vector<std::pair<int, std::string>> out;
    Control* c = FindCtrl(panel, control);
    auto* r = c ? qobject_cast<QComboBox*>(c->widget.data()) : nullptr;
    for (int i = 0; r && i < r->count(); ++i) {
        out.emplace_back(r->itemData(i).toInt(), r->itemText(i).toStdString());
    }
    return out;
}

void MouseClick(int panel, int control) {
    Control* c = FindCtrl(panel, control);
    if (!c) {
        return;
    }
    // A switch or radio button reacts on its box and caption only, which start at its left.
    QPoint at = c->widget->rect().center();
    if (c->kind == Kind::Toggle || c->kind == Kind::Radio) {
        at.setX(std::min(8, at.x()));
    }
    QTest::mouseClick(c->widget, Qt::LeftButton, Qt::NoModifier, at);
}

std::vector<Mnemonic> Mnemonics(int panel) {
    std::vector<Mnemonic> out;
    Panel* p = FindPanel(panel);
    if (!p) {
        return out;
    }
    auto add = [&](const QString& text, const QWidget* target) {
        int at = 0;
        while ((at = text.indexOf('&', at)) >= 0 && at + 1 < text.size()) {
            if (text[at + 1] != '&') {
                out.push_back({static_cast<char>(std::toupper(text[at + 1].toLatin1())),
                               text.toStdString(), target->objectName().toStdString()});
                return;
            }
            at += 2;
        }
    };
    for (QWidget* w : p->widget->findChildren<QWidget*>()) {
        if (!OwnWidget(*p, w)) {
            continue;
        }
        if (auto* b = qobject_cast<QAbstractButton*>(w)) {
            add(b->text(), b);
        } else if (auto* l = qobject_cast<QLabel*>(w); l && l->buddy()) {
            add(l->text(), l->buddy());
        }
    }
    return out;
}

bool FinishClicks(double maxSeconds) {
    auto anyDown = [] {
        for (auto& [h, p] : Panels()) {
            for (auto& [id, c] : p.controls) {
                auto* b = qobject_cast<QAbstractButton*>(c.widget.data());
                if (b && b->isDown()) {
                    return true;
                }
            }
        }
        return false;
    };
    QElapsedTimer t;
    t.start();
    while (anyDown() && t.elapsed() < maxSeconds * 1000) {
        ProcessSystemEvents();
    }
    ProcessSystemEvents();
    return !anyDown();
}
