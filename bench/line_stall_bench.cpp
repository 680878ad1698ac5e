// The window's event loop while the scope streams over a line whose output queue drains at the
// line's speed, as a UART's does (a pseudo-terminal takes the bytes at once, so it cannot show
// this): the longest time the loop went without running a 1 ms timer, and the samples per
// second. The sensor is the simulator's engine, in-process behind an in-memory device, on the
// real clock. Prints one JSON line.
// Usage: bench_line_stall [--seconds N]   (default 10 s)
#include "app/app.h"
#include "bench_window.h"
#include "core/state.h"
#include "engine.h"
#include "figures.h"
#include "link/frames.h"
#include "link/link.h"
#include "runtime/ui.h"
#include "scope/scope.h"
#include "serial/memserial.h"
#include "serial/serial.h"
#include "testkit/testing.h"

#include <QObject>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace {

constexpr long kBaud = 19200;
long g_samples = 0;

void CountingReceive(int port, int events, void* data) {
    RX_Receive_Function(port, events, data);
    if (rx_flag == REPLY_DATA && graph_flag == 1) {
        ++g_samples;
    }
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 10;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = std::max(1.0, std::atof(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: bench_line_stall [--seconds N]\n");
            return 2;
        }
    }
    if (!StartBenchWindow(argc, argv, "bench_line_stall", "zel-bench-line-stall")) {
        return 1;
    }

    // The sensor has a request once its last byte is off our line, and its replies take their
    // own line time, one after another.
    MemorySerialDevice dev;
    dev.lineBaud = kBaud;
    zelsim::Engine sensor{zelsim::Options{}};
    double toSensorFree = 0, fromSensorFree = 0;
    dev.onWrite = [&](std::span<const std::uint8_t> bytes, double now) {
        const auto wire = [](std::size_t n) { return static_cast<double>(n) * 10.0 / kBaud; };
        double at = toSensorFree = std::max(now, toSensorFree) + wire(bytes.size());
        const zelsim::Output out = sensor.feed(bytes.data(), bytes.size(), at);
        for (const auto& chunk : out.chunks) {
            at = std::max(at + chunk.delay, fromSensorFree) + wire(chunk.bytes.size());
            fromSensorFree = at;
            dev.send(chunk.bytes, at - now);
        }
    };
    AttachMemoryDevice(1, &dev);
    com = 1;
    InitRS232(com);
    InstallComCallback(com, eventMask, kNotifyCount, zel::sync, CountingReceive, nullptr);

    // The probe: a 1 ms timer; a gap between its ticks is time the loop did not run.
    std::vector<double> gaps;
    double last = -1;
    QObject owner;
    QTimer probe(&owner);
    probe.setTimerType(Qt::PreciseTimer);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const double now = Timer();
        if (last >= 0) {
            gaps.push_back(now - last);
        }
        last = now;
    });
    double wall = 0;
    long samples = 0;
    double t0 = 0;
    QTimer::singleShot(static_cast<int>(seconds * 1000), Qt::PreciseTimer, &owner, [&] {
        probe.stop();
        wall = Timer() - t0;
        samples = g_samples;
        ClickCtrl(pA, MAIN_BTNSTOP);
    });
    g_samples = 0;
    t0 = Timer();
    probe.start(1);
    ClickCtrl(pA, MAIN_BTNRUN);
    ProcessSystemEvents(); // the scope loop runs in here until Stop
    CloseCom(com);

    const double longest = gaps.empty() ? 0 : *std::max_element(gaps.begin(), gaps.end());
    std::printf("{\"bench\":\"line_stall\",\"metric\":\"event_loop_longest_stall_ms\","
                "\"value\":%.2f,\"goal_ms\":20,\"p99_ms\":%.2f,\"median_ms\":%.2f,\"baud\":%ld,"
                "\"samples_per_s\":%.2f,\"seconds\":%.2f,\"ticks\":%zu}\n",
                longest * 1e3, Percentile(gaps, 0.99) * 1e3, Percentile(gaps, 0.5) * 1e3, kBaud,
                static_cast<double>(samples) / std::max(1e-9, wall), wall, gaps.size());
    const bool written = std::fflush(stdout) == 0 && !std::ferror(stdout);
    DiscardPanel(pA);
    DetachAllMemoryDevices();
    CloseCVIRTE();
    if (!written) {
        std::fprintf(stderr, "bench_line_stall: the figures could not be written\n");
        return 1;
    }
    return 0;
}
