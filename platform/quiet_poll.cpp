// Ports left out of the event pump's wait while their reply cannot be complete yet.
//
// A pseudo-terminal, and a serial driver that hands over its bytes one by one, wakes every
// thread waiting on the port for each byte, even when the wake threshold (VMIN) keeps the port
// from being ready: the kernel wakes the waiter, finds nothing ready and puts it back to sleep,
// some thirty times per reply. Yet a reply cannot be complete before the request has left at the
// line's speed and the reply has come back at it. Until then the pump's wait leaves the port out
// and sleeps at most to that time; after it, the port is watched as before. Nothing is delivered
// later than the line allows: a reply is never ready earlier than that time.
//
// Qt's event pump on Linux is glib's main loop; its poll function is replaceable by documented
// means (g_main_context_set_poll_func). glib is reached through the loader, as it is already in
// the process with Qt, so the program needs no build dependency on it. Without glib (another
// event dispatcher, another system) nothing changes.
#include "internal.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <vector>

#if defined(__linux__)
#include <dlfcn.h>
#include <poll.h>
#endif

namespace platform_internal {

#if defined(__linux__)
namespace {

using Clock = std::chrono::steady_clock;

// glib's GPollFD on Unix: { gint fd; gushort events; gushort revents; }, the layout of poll(2)'s
// struct pollfd.
struct GlibPollFd {
    int fd;
    unsigned short events;
    unsigned short revents;
};
static_assert(sizeof(GlibPollFd) == sizeof(pollfd));
using GlibPollFunc = int (*)(GlibPollFd*, unsigned, int);

struct Quiet {
    int fd;
    Clock::time_point until;
};

std::vector<Quiet> g_quiet; // the main loop's thread only, as the pump is
GlibPollFunc g_chained = nullptr;
bool g_tried = false;

int QuietPoll(GlibPollFd* fds, unsigned count, int timeout) {
    // A look without waiting sees everything: leaving a port out saves nothing then.
    if (g_quiet.empty() || timeout == 0) {
        return g_chained(fds, count, timeout);
    }
    const Clock::time_point now = Clock::now();
    // Up to a few descriptors are left out; their slots are remembered to be put back.
    constexpr unsigned kMaxHidden = 8;
    unsigned hidden[kMaxHidden];
    int hiddenFd[kMaxHidden];
    unsigned nHidden = 0;
    long long wakeMs = timeout < 0 ? -1 : timeout;
    for (unsigned i = 0; i < count && nHidden < kMaxHidden; ++i) {
        // Only a wait for input: a port waiting to write is watched as always.
        if (fds[i].fd < 0 || (fds[i].events & POLLIN) == 0 || (fds[i].events & POLLOUT) != 0) {
            continue;
        }
        for (const Quiet& q : g_quiet) {
            if (q.fd != fds[i].fd) {
                continue;
            }
            // Whole milliseconds, rounded down: the wait ends at or before the earliest time
            // the reply can be complete, never after it. Under one millisecond is not worth it.
            const long long ms =
                std::chrono::duration_cast<std::chrono::milliseconds>(q.until - now).count();
            if (ms >= 1) {
                hidden[nHidden] = i;
                hiddenFd[nHidden] = fds[i].fd;
                ++nHidden;
                fds[i].fd = -1; // poll(2) passes over a negative descriptor
                wakeMs = wakeMs < 0 ? ms : std::min(wakeMs, ms);
            }
            break;
        }
    }
    const int result = g_chained(fds, count, static_cast<int>(wakeMs));
    for (unsigned k = 0; k < nHidden; ++k) {
        fds[hidden[k]].fd = hiddenFd[k];
        fds[hidden[k]].revents = 0;
    }
    return result;
}

// Takes over glib's poll function once, when Qt's pump on this thread is glib's.
void Install() {
    if (g_tried) {
        return;
    }
    g_tried = true;
    QAbstractEventDispatcher* d = QAbstractEventDispatcher::instance();
    if (!d || !d->inherits("QEventDispatcherGlib")) {
        return;
    }
    void* glib = ::dlopen("libglib-2.0.so.0", RTLD_NOW | RTLD_NOLOAD);
    if (!glib) {
        return;
    }
    using DefaultContext = void* (*)();
    using GetPoll = GlibPollFunc (*)(void*);
    using SetPoll = void (*)(void*, GlibPollFunc);
    auto contextDefault = reinterpret_cast<DefaultContext>(::dlsym(glib, "g_main_context_default"));
    auto getPoll = reinterpret_cast<GetPoll>(::dlsym(glib, "g_main_context_get_poll_func"));
    auto setPoll = reinterpret_cast<SetPoll>(::dlsym(glib, "g_main_context_set_poll_func"));
    // Qt's pump on the application's thread runs glib's default context.
    void* context = contextDefault ? contextDefault() : nullptr;
    GlibPollFunc current = context && getPoll ? getPoll(context) : nullptr;
    if (!setPoll || !current || current == &QuietPoll) {
        return;
    }
    g_chained = current;
    setPoll(context, &QuietPoll);
}

bool OnPumpThread() {
    return QCoreApplication::instance() &&
           QCoreApplication::instance()->thread() == QThread::currentThread();
}

} // namespace

bool QuietReadsUntil(int fd, double secondsFromNow) {
    if (fd < 0 || !OnPumpThread()) {
        return false;
    }
    Install();
    if (!g_chained) {
        return false;
    }
    const auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(secondsFromNow));
    for (Quiet& q : g_quiet) {
        if (q.fd == fd) {
            q.until = until;
            return true;
        }
    }
    g_quiet.push_back({fd, until});
    return true;
}

void ForgetQuietReads(int fd) {
    if (!OnPumpThread()) {
        return;
    }
    g_quiet.erase(
        std::remove_if(g_quiet.begin(), g_quiet.end(), [fd](const Quiet& q) { return q.fd == fd; }),
        g_quiet.end());
}

#else

bool QuietReadsUntil(int, double) {
    return false;
}
void ForgetQuietReads(int) {}

#endif

} // namespace platform_internal
