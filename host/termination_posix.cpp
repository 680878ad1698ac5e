// SIGINT and SIGTERM end the program through its own stop path, on the GUI thread: the signal
// handler only writes a byte, which a socket notifier turns into the call.
#include "host.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int g_sigFds[2] = {-1, -1};
volatile sig_atomic_t g_signals = 0;

void OnSignal(int) {
    // The first asks the program to end after what it is doing; a second ends it at once.
    if (g_signals != 0) {
        ::_exit(130);
    }
    g_signals = 1;
    char c = 1;
    ssize_t n = ::write(g_sigFds[1], &c, 1);
    (void)n;
}
} // namespace

void InstallTerminationHandler(void (*handler)()) {
    if (g_sigFds[0] >= 0 || ::socketpair(AF_UNIX, SOCK_STREAM, 0, g_sigFds) != 0) {
        return;
    }
    auto* notifier =
        new QSocketNotifier(g_sigFds[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, [handler] {
        char buf[16];
        ssize_t n = ::read(g_sigFds[0], buf, sizeof buf);
        (void)n;
        handler();
    });
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
}
