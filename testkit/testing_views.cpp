// Test hooks on the traffic window, on what screen readers find, and on the toolkit's warnings.
#include "runtime/ui_internal.h"
#include "testing.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QClipboard>
#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QMetaEnum>
#include <QPlainTextEdit>
#include <QTextBlock>

using namespace platform_internal;

namespace {
QString RoleName(QAccessible::Role role) {
    return QString::fromLatin1(QMetaEnum::fromType<QAccessible::Role>().valueToKey(role));
}

std::vector<std::string> g_toolkitMessages;
QtMessageHandler g_printer = nullptr;
bool g_capturing = false;

void CaptureMessage(QtMsgType, const QMessageLogContext& context, const QString& text) {
    g_toolkitMessages.push_back(std::string(context.category ? context.category : "") + ": " +
                                text.toStdString());
}

QPlainTextEdit* TrafficLines() {
    QWidget* w = TrafficWindowWidget();
    return w ? w->findChild<QPlainTextEdit*>("trafficLines") : nullptr;
}
} // namespace

AccessibleFace AccessibleFaceOf(int panel, int control) {
    Control* c = FindCtrl(panel, control);
    QAccessibleInterface* iface = c ? QAccessible::queryAccessibleInterface(c->widget) : nullptr;
    AccessibleFace face;
    if (iface) {
        face.role = RoleName(iface->role()).toStdString();
        face.value = iface->valueInterface() != nullptr;
        face.text = iface->textInterface() != nullptr;
    }
    return face;
}

void CaptureToolkitMessages(bool on) {
    g_toolkitMessages.clear();
    if (on && !g_capturing) {
        g_printer = qInstallMessageHandler(&CaptureMessage);
    } else if (!on && g_capturing) {
        qInstallMessageHandler(g_printer);
    }
    g_capturing = on;
}

std::vector<std::string> ToolkitMessages() {
    return g_toolkitMessages;
}

bool TrafficViewOpen() {
    return TrafficWindowWidget() != nullptr;
}

std::vector<std::string> TrafficViewLines() {
    std::vector<std::string> out;
    if (QPlainTextEdit* view = TrafficLines()) {
        for (QTextBlock b = view->document()->firstBlock(); b.isValid(); b = b.next()) {
            out.push_back(b.text().toStdString());
        }
        if (out.size() == 1 && out.front().empty()) {
            out.clear();
        }
    }
    return out;
}

std::vector<std::string> TrafficViewFilters() {
    std::vector<std::string> out;
    QWidget* w = TrafficWindowWidget();
    if (auto* filter = w ? w->findChild<QComboBox*>("trafficFilter") : nullptr) {
        for (int i = 0; i < filter->count(); ++i) {
            out.push_back(filter->itemText(i).toStdString());
        }
    }
    return out;
}

bool ChooseTrafficViewFilter(const std::string& choice) {
    QWidget* w = TrafficWindowWidget();
    auto* filter = w ? w->findChild<QComboBox*>("trafficFilter") : nullptr;
    int index = filter ? filter->findText(QString::fromStdString(choice)) : -1;
    if (index < 0) {
        return false;
    }
    filter->setCurrentIndex(index);
    return true;
}

bool ClickTrafficView(const std::string& objectName) {
    QWidget* w = TrafficWindowWidget();
    auto* b = w ? w->findChild<QAbstractButton*>(QString::fromStdString(objectName)) : nullptr;
    if (!b) {
        return false;
    }
    b->click();
    return true;
}

void SelectTrafficViewLines(int first, int last) {
    QPlainTextEdit* view = TrafficLines();
    if (!view) {
        return;
    }
    QTextDocument* doc = view->document();
    QTextBlock from = doc->findBlockByNumber(first), to = doc->findBlockByNumber(last);
    QTextCursor cur(doc);
    cur.setPosition(from.position());
    cur.setPosition(to.position() + to.length() / 2, QTextCursor::KeepAnchor);
    view->setTextCursor(cur);
}

void PollTrafficView() {
    PollTrafficWindow();
}

std::string TrafficViewNote() {
    QWidget* w = TrafficWindowWidget();
    auto* note = w ? w->findChild<QLabel*>("trafficNote") : nullptr;
    return note ? note->text().toStdString() : std::string();
}

std::string ClipboardText() {
    return QGuiApplication::clipboard()->text().toStdString();
}
