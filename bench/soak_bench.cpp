// Soak: the live scope against zel-sensor-sim with every line fault at once (noise before
// replies, stray bytes after them, replies cut in two, lost frames, wrong echoes), and a
// command every few seconds (Teach, Refresh, Reset, Send, Get) nested in the loop. Run is
// pressed again whenever a lost reply ends the loop. Prints one JSON line of figures and
// exits 1 on a stall (the event pump idle longer than a wait's limit plus 0.5 s) or on a raw
// value shown that the simulator never sent; a crash ends it under the sanitizers.
// Usage: bench_soak [--seconds N] [--every S]   (defaults 60 and 3)
#include "app/app.h"
#include "core/state.h"
#include "link/link.h"
#include "params/params.h"
#include "params/record.h"
#include "process.h"
#include "runtime/ui.h"
#include "scope/scope.h"
#include "serial/serial.h"
#include "testkit/testing.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace {

std::vector<unsigned> g_shown; // raw A of every sample plotted
double g_lastTick = -1;
double g_longestGap = 0;
long g_samples = 0;
int g_command = 0;
long g_commands = 0;

void OnPlot() {
    g_shown.push_back(adcCHA);
    ++g_samples;
}

// Runs every 50 ms from the event loop: a long gap means the program did not pump.
void OnTick() {
    double now = Timer();
    if (g_lastTick >= 0) {
        g_longestGap = std::max(g_longestGap, now - g_lastTick);
    }
    g_lastTick = now;
}

void OnCommand() {
    static const int controls[] = {MAIN_BTNTEACH, MAIN_BTNREFRESHA, MAIN_BTNRESET, MAIN_BTNSEND,
                                   MAIN_BTNGET};
    ClickCtrl(pA, controls[g_command++ % 5]);
    ++g_commands;
}

// Words a raw value could have been shown from: a data reply's first word, or the first data
// word of a standard reply (a nested command's reply is plotted too).
std::set<unsigned> SentWords(const std::string& log) {
    std::set<unsigned> sent;
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);) {
        auto tx = line.find(" TX ");
        if (tx == std::string::npos) {
            continue;
        }
        std::vector<unsigned> bytes;
        for (std::size_t i = tx + 4; i + 1 < line.size(); i += 3) {
            bytes.push_back(static_cast<unsigned>(std::stoul(line.substr(i, 2), nullptr, 16)));
        }
        for (std::size_t i = 0; i + 8 <= bytes.size(); ++i) {
            if (bytes[i] == 0 && (bytes[i + 1] == 0x55 || bytes[i + 1] == 0xAA)) {
                bool data = bytes[i + 2] == 0 && bytes[i + 3] == 8;
                std::size_t at = i + (data ? 4 : 6);
                sent.insert(bytes[at] << 8 | bytes[at + 1]);
            }
        }
    }
    return sent;
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 60, every = 3;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = std::max(5.0, std::atof(argv[++i]));
        } else if (std::strcmp(argv[i], "--every") == 0 && i + 1 < argc) {
            every = std::max(0.5, std::atof(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: bench_soak [--seconds N] [--every S]\n");
            return 2;
        }
    }
    if (!std::getenv("QT_QPA_PLATFORM")) {
        static char offscreen[] = "QT_QPA_PLATFORM=offscreen";
        ::putenv(offscreen);
    }
    InitCVIRTE(argc, argv);
    pA = LoadPanel(0, ZEL_PANEL_FILE, MAIN_PANEL_NUMBER);
    pCalib = pA > 0 ? LoadPanel(pA, ZEL_PANEL_FILE, CALIB_PANEL_NUMBER) : -1;
    if (pA < 0 || pCalib < 0 || BindMainPanel(pA) < 0 || BindCalibPanel(pCalib) < 0) {
        std::fprintf(stderr, "bench_soak: %s\n", UiLastError());
        return 1;
    }
    std::string dir = (std::filesystem::temp_directory_path() / "zel-bench-soak").string();
    std::filesystem::create_directories(dir);
    SetProjectDir(dir.c_str());
    GetProjectDir(proj_dir);
    SetupStripChart();
    InitVars();

    std::string log = dir + "/sim.log";
    std::filesystem::remove(log);
    zelsim::SimProcess sim(ZEL_SIM_BINARY, {"--noise", "0.2", "--extra", "3", "--split", "--drop",
                                            "0.02", "--wrong-echo", "--log", log});
    if (!sim.ok()) {
        std::fprintf(stderr, "bench_soak: simulator did not start\n");
        return 1;
    }
    BindComPort(1, sim.ptyPath());
    com = 1;
    InitRS232(com);
    SetPlotObserver(&OnPlot);
    SetPeriodicCall(0.05, &OnTick);
    SetPeriodicCall(every, &OnCommand);

    int runs = 0;
    double t0 = Timer();
    while (Timer() - t0 < seconds) {
        ++runs;
        ClickCtrl(pA, MAIN_BTNRUN);
        // The loop runs inside this pass until a lost reply ends it; a short pass otherwise.
        ProcessSystemEvents();
        if (stop_flag != 0) {
            ProcessSystemEvents();
        }
    }
    SetPeriodicCall(0, &OnCommand);
    ClickCtrl(pA, MAIN_BTNSTOP);
    ProcessSystemEvents();
    SetPeriodicCall(0, &OnTick);
    double wall = Timer() - t0;

    const LinkStats& st = GetLinkStats();
    std::set<unsigned> sent = SentWords(log);
    long falseValues =
        std::count_if(g_shown.begin(), g_shown.end(), [&](unsigned v) { return !sent.count(v); });
    const double stallLimit = TIMEOUT + 0.5;
    std::printf("{\"bench\":\"soak\",\"seconds\":%.1f,\"samples\":%ld,\"samples_per_s\":%.2f,"
                "\"runs\":%d,\"commands\":%ld,\"timeouts\":%ld,\"bytes_discarded\":%ld,"
                "\"frames_not_taken\":%ld,\"longest_pump_gap_s\":%.3f,\"false_values\":%ld}\n",
                wall, g_samples, static_cast<double>(g_samples) / wall, runs, g_commands,
                st.timeouts, st.bytesDiscarded, st.repliesRefused, g_longestGap, falseValues);
    std::fflush(stdout);
    CloseCom(com);
    DiscardPanel(pA);
    CloseCVIRTE();
    if (g_longestGap > stallLimit) {
        std::fprintf(stderr, "bench_soak: the event pump stalled for %.2f s\n", g_longestGap);
        return 1;
    }
    if (falseValues > 0) {
        std::fprintf(stderr, "bench_soak: %ld raw values shown that were never sent\n",
                     falseValues);
        return 1;
    }
    return 0;
}
