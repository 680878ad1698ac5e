// The clock and the event pump.
#include "clock.h"
#include "pump.h"
#include "virtual_clock.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <limits>
#include <map>
#include <thread>

namespace {
struct ClockState {
    bool virtualOn = false;
    double virtualNow = 0.0;
    double idleStep = 0.0005;
    QElapsedTimer real;
    ClockState() { real.start(); }
};
ClockState& Clock() {
    static ClockState c;
    return c;
}

unsigned long g_activity = 0;

// The serial side, once a port exists (see SetPumpSource).
bool (*g_sourcePoll)() = nullptr;
double (*g_sourceNextDue)() = nullptr;
bool SourcePoll() {
    return g_sourcePoll && g_sourcePoll();
}
double SourceNextDue() {
    return g_sourceNextDue ? g_sourceNextDue() : std::numeric_limits<double>::max();
}
bool g_quitRequested = false;

// Blocks in the dispatcher until an event arrives or `seconds` pass, and dispatches it. A single
// reusable timer wakes it, so an idle wait costs no CPU. False when there was no time to wait.
bool WaitForEvents(double seconds) {
    static QTimer* wake = nullptr;
    if (!wake) {
        wake = new QTimer(QCoreApplication::instance());
        wake->setSingleShot(true);
        wake->setTimerType(Qt::PreciseTimer);
        QObject::connect(wake, &QTimer::timeout, [] {});
    }
    int ms = std::max(0, static_cast<int>(seconds * 1000.0));
    if (ms == 0) {
        return false;
    }
    wake->start(ms);
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    wake->stop();
    return true;
}

// One pass of the pump: pending events and serial delivery; then, only if nothing happened, a
// block until the next event (real clock) or a virtual-time step.
void PumpOnce(double maxBlock) {
    if (!QCoreApplication::instance()) {
        return;
    }
    ClockState& c = Clock();
    if (!c.virtualOn) {
        // Serial first: when it delivers, the events pending are still seen to, so a stream
        // never starves the window. Otherwise the wait below sees to them, dispatching without
        // blocking what is pending or ready: one pass of the dispatcher per wake-up.
        if (SourcePoll()) {
            g_activity++;
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            return;
        }
        double block = std::min(maxBlock, std::max(0.0, SourceNextDue() - Timer()));
        // Once quit is asked for, waits still running keep blocking, so they never spin a core.
        if (!WaitForEvents(block)) {
            QCoreApplication::processEvents(QEventLoop::AllEvents);
        }
        // The wait dispatched whatever woke it; only the serial side remains to be looked at.
        SourcePoll();
        return;
    }
    const unsigned long before = g_activity;
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    if (SourcePoll()) {
        g_activity++;
    }
    if (g_activity != before) {
        return;
    }
    // The virtual step is the caller's choice, also above the pump's own block (a fuzzer's coarse
    // clock): an idle pass then costs no more than one step of virtual time.
    (void)maxBlock;
    double due = SourceNextDue();
    c.virtualNow = std::max(c.virtualNow, std::min(due, c.virtualNow + c.idleStep));
    if (due <= c.virtualNow) {
        SourcePoll();
    }
}
} // namespace

namespace platform_internal {
void NoteActivity() {
    g_activity++;
}

void SetPumpSource(bool (*poll)(), double (*nextDue)()) {
    g_sourcePoll = poll;
    g_sourceNextDue = nextDue;
}
} // namespace platform_internal

double Timer() {
    ClockState& c = Clock();
    if (c.virtualOn) {
        return c.virtualNow;
    }
    return static_cast<double>(c.real.nsecsElapsed()) * 1e-9;
}

void Delay(double seconds) {
    if (!(seconds > 0)) {
        return;
    }
    ClockState& c = Clock();
    if (c.virtualOn) {
        c.virtualNow += seconds;
        return;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

void UseVirtualClock(bool on, double idleStep) {
    ClockState& c = Clock();
    if (on && !c.virtualOn) {
        c.virtualNow = static_cast<double>(c.real.nsecsElapsed()) * 1e-9;
    }
    c.virtualOn = on;
    c.idleStep = idleStep > 0 ? idleStep : 0.0005;
}

bool VirtualClockActive() {
    return Clock().virtualOn;
}

void AdvanceVirtualClock(double seconds) {
    if (seconds > 0) {
        Clock().virtualNow += seconds;
    }
}

int ProcessSystemEvents() {
    // Anything that arrives ends the block at once; the limit only bounds how late a waiting
    // routine notices its time-out, and a longer one saves wake-ups while the line is quiet.
    PumpOnce(0.015);
    return 0;
}

int ProcessSystemEventsUntil(double deadline) {
    // A wait that knows its limit blocks until the next event or that limit, not a fixed short
    // slice: a reply 37 ms away then costs one wake-up instead of three. Bounded, so a deadline
    // far off still lets the caller look around now and then.
    constexpr double kLongestBlock = 0.25;
    PumpOnce(std::clamp(deadline - Timer(), 0.0, kLongestBlock));
    return 0;
}

int RunUserInterface() {
    // A quit asked for before the loop started (a close during start-up) still counts.
    while (!g_quitRequested) {
        PumpOnce(0.25);
    }
    g_quitRequested = false;
    return 0;
}

int QuitUserInterface(int) {
    g_quitRequested = true;
    return 0;
}

namespace {
// One timer per function; they live until the process ends, like the application object.
std::map<void (*)(), QTimer*>& PeriodicTimers() {
    static std::map<void (*)(), QTimer*> timers;
    return timers;
}
} // namespace

void SetPeriodicCall(double periodSec, void (*fn)()) {
    if (!fn || !QCoreApplication::instance()) {
        return;
    }
    QTimer*& t = PeriodicTimers()[fn];
    if (!t) {
        t = new QTimer(QCoreApplication::instance());
        QObject::connect(t, &QTimer::timeout, [fn] { fn(); });
    }
    t->stop();
    if (periodSec > 0) {
        t->start(static_cast<int>(periodSec * 1000));
    }
}
