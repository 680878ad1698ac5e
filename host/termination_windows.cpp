// Ctrl-C, Ctrl-Break and closing the console end the program through its own stop path, as
// SIGINT does elsewhere. Windows calls the console handler on a thread of its own: the call is
// queued to the GUI thread, whose waits pump events.
#include "host.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <windows.h>

#include <atomic>

namespace {
std::atomic<void (*)()> g_handler{nullptr};
std::atomic<bool> g_signalled{false};

BOOL WINAPI OnConsoleEvent(DWORD event) {
    void (*handler)() = g_handler.load();
    QCoreApplication* app = QCoreApplication::instance();
    if (!handler || !app) {
        return FALSE; // Windows' default: the process ends
    }
    // A second Ctrl-C ends the program at once, as a second signal does elsewhere.
    if (g_signalled.exchange(true) && (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT)) {
        ::ExitProcess(130);
    }
    QMetaObject::invokeMethod(
        app, [handler] { handler(); }, Qt::QueuedConnection);
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        // Windows ends the process when this returns: give the stop path time to close the
        // port and write what it holds.
        ::Sleep(2000);
    }
    return TRUE;
}
} // namespace

void InstallTerminationHandler(void (*handler)()) {
    if (g_handler.exchange(handler) == nullptr) {
        ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    }
}
