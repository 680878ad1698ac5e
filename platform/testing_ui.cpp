// Test hooks on the user interface: scripted file-dialog answers, the texts controls showed, and
// the operator's clicks. Linking this file switches the hooks on; the program never links it.
#include "stripchart.h"
#include "testing.h"
#include "ui_internal.h"

#include <QAbstractButton>
#include <QComboBox>

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

[[maybe_unused]] const bool g_installed = [] {
    SetTextWriteObserver(&RecordText);
    SetFileSelectScript(&AnswerFileSelect);
    return true;
}();

} // namespace

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

bool PanelVisible(int panel) {
    Panel* p = FindPanel(panel);
    return p && p->widget->isVisible();
}
