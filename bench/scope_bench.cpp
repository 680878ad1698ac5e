// The live scope against zel-sensor-sim: samples per second and CPU use while streaming at
// 19200 baud, then the program's own turnaround per exchange with an unpaced simulator.
// Prints one JSON line per figure.
// Usage: bench_scope [--seconds N] [--record]   (default 10 s; --record: Record on, CSV files
// in the bench's temporary program directory)
//
// Turnaround is timed inside the program: from the moment the receive callback has decoded a
// data reply to the moment the loop sends the next request, which the link notes
// (DataRequestSentAt); the decode is observed by wrapping the receive callback. It is reported
// for both runs; the figure of record is the unpaced one (baud 0).
#include "app/app.h"
#include "bench_window.h"
#include "core/line.h"
#include "core/state.h"
#include "figures.h"
#include "link/frames.h"
#include "link/link.h"
#include "params/record.h"
#include "process.h"
#include "runtime/ui.h"
#include "scope/record.h"
#include "scope/scope.h"
#include "serial/serial.h"
#include "testkit/testing.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace {

double g_decodedAt = -1; // when the last data reply was decoded; -1 once answered
long g_dataReplies = 0;
std::vector<double> g_turnarounds;

void BenchReceive(int port, int events, void* data) {
    // The request that answered the previous decode went out before this reply came.
    if (g_decodedAt >= 0 && DataRequestSentAt() >= g_decodedAt) {
        g_turnarounds.push_back(DataRequestSentAt() - g_decodedAt);
        g_decodedAt = -1;
    }
    RX_Receive_Function(port, events, data);
    if (rx_flag == REPLY_DATA && graph_flag == 1) {
        ++g_dataReplies;
        g_decodedAt = Timer();
    }
}

double CpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
}

struct RunResult {
    double wall = 0;
    double cpu = 0;
    long samples = 0;
};

// Binds port 1 to a fresh simulator, presses Run and Stop `seconds` later.
RunResult Stream(const std::vector<std::string>& simArgs, double seconds) {
    zelsim::SimProcess sim(ZEL_SIM_BINARY, simArgs);
    if (!sim.ok()) {
        std::fprintf(stderr, "bench_scope: simulator did not start\n");
        std::exit(1);
    }
    CloseCom(com);
    BindComPort(1, sim.ptyPath());
    com = 1;
    InitRS232(com);
    InstallComCallback(com, eventMask, kNotifyCount, zel::sync, BenchReceive, nullptr);

    g_dataReplies = 0;
    g_decodedAt = -1;
    g_turnarounds.clear();
    // The figures cover the streaming itself, up to the Stop press (not Stop's own pause).
    RunResult r;
    double cpu0 = CpuSeconds();
    double t0 = Timer();
    QObject stopper;
    QTimer::singleShot(static_cast<int>(seconds * 1000), Qt::PreciseTimer, &stopper, [&] {
        r.wall = Timer() - t0;
        r.cpu = CpuSeconds() - cpu0;
        r.samples = g_dataReplies;
        ClickCtrl(pA, MAIN_BTNSTOP);
    });
    ClickCtrl(pA, MAIN_BTNRUN);
    ProcessSystemEvents(); // the scope loop runs in here until Stop
    CloseCom(com);
    return r;
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 10;
    bool record = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = std::max(1.0, std::atof(argv[++i]));
        } else if (std::strcmp(argv[i], "--record") == 0) {
            record = true;
        } else {
            std::fprintf(stderr, "usage: bench_scope [--seconds N] [--record]\n");
            return 2;
        }
    }
    if (!StartBenchWindow(argc, argv, "bench_scope", "zel-bench-scope")) {
        return 1;
    }
    SetCtrlVal(pA, MAIN_RECORDSW, record ? 1 : 0);

    const double lineLimit = kLineLimitPerSec;
    RunResult paced = Stream({"--latency", "0"}, seconds);
    double rate = static_cast<double>(paced.samples) / paced.wall;
    std::printf("{\"bench\":\"scope\",\"metric\":\"samples_per_s\",\"value\":%.2f,"
                "\"line_limit\":%.2f,\"ratio\":%.4f,\"seconds\":%.2f,\"record\":%s,"
                "\"rows_recorded\":%ld}\n",
                rate, lineLimit, rate / lineLimit, paced.wall, record ? "true" : "false",
                record ? RecordedSamples() : 0L);
    std::printf("{\"bench\":\"scope\",\"metric\":\"cpu_percent_of_one_core\",\"value\":%.2f}\n",
                100.0 * paced.cpu / paced.wall);
    std::printf("{\"bench\":\"scope\",\"metric\":\"turnaround_median_us\",\"value\":%.1f,"
                "\"baud\":19200,\"p90_us\":%.1f,\"n\":%zu}\n",
                Median(g_turnarounds) * 1e6, Percentile(g_turnarounds, 0.9) * 1e6,
                g_turnarounds.size());
    std::fflush(stdout);

    RunResult fast = Stream({"--baud", "0", "--latency", "0"}, std::min(seconds, 5.0));
    std::printf("{\"bench\":\"scope\",\"metric\":\"turnaround_median_us\",\"value\":%.1f,"
                "\"baud\":0,\"p90_us\":%.1f,\"n\":%zu,\"exchanges_per_s\":%.1f,"
                "\"cpu_percent_of_one_core\":%.1f}\n",
                Median(g_turnarounds) * 1e6, Percentile(g_turnarounds, 0.9) * 1e6,
                g_turnarounds.size(), static_cast<double>(fast.samples) / fast.wall,
                100.0 * fast.cpu / fast.wall);
    std::fflush(stdout);

    DiscardPanel(pA);
    CloseCVIRTE();
    return 0;
}
