// Panels and their events: loading from Designer files, binding controls to callbacks, posting
// widget signals as events, showing, hiding and discarding panels.
#include "chart/stripchart.h"
#include "serial/serial_internal.h"
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
#include <QWindow>

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
} // namespace

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
    InstallAccessibleFaces();
    InstallDisplayPacer(g_app);
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
        panelWidget->installEventFilter(NewEventFilter(p.handle, 0, panelWidget));
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

int WaitForPanelOnScreen(int panel, double limitSeconds) {
    Panel* p = FindPanel(panel);
    if (!p) {
        return UIE_BAD_HANDLE;
    }
    const double end = Timer() + limitSeconds;
    auto onScreen = [w = p->widget] {
        QWindow* win = w ? w->window()->windowHandle() : nullptr;
        return win && win->isExposed();
    };
    while (!onScreen() && Timer() < end) {
        ProcessSystemEvents();
    }
    return onScreen() ? 1 : 0;
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
        AllowClosing(true);
        w->close();
        AllowClosing(false);
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
