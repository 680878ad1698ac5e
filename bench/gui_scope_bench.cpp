// The live scope as the operator gets it: zel-vavod on the X display in $DISPLAY (bench/run
// starts Xvfb when there is none), with the chart drawn, against its simulated sensor at 19200
// baud. The program's ZEL_AUTORUN hook presses Run once the window is up and Stop after the
// run's seconds, then prints the CPU its whole process used meanwhile and the samples plotted.
// Cases: plain; with the accessibility bridge on (a private D-Bus session and
// QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1); with Record on; with the cursor's read-out shown (the
// mouse held over the chart, moved there with xdotool).
// Prints one JSON line per case, medians over the runs.
// Usage: bench_scope_gui [--seconds N] [--runs N] [--exe PATH] [--fifo N] [CASE...]
//   (default 20 s, 1 run, all cases; --exe: another build's zel-vavod, for comparisons;
//   --fifo N: the simulated line hands over its bytes in groups of N, as a UART's receive FIFO
//   or a USB adapter does, instead of one by one as a pseudo-terminal does)
#include "core/line.h"
#include "figures.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct Case {
    const char* name;
    bool accessibility;
    bool record;
    bool cursor;
    bool traffic = false;
};

constexpr Case kCases[] = {
    {"plain", false, false, false},         {"accessibility", true, false, false},
    {"record", false, true, false},         {"cursor", false, false, true},
    {"traffic", false, false, false, true},
};

struct Run {
    double seconds = 0;
    double cpuPercent = -1;
    double rate = 0;     // samples per second of streaming: from Run to the last sample
    double wallRate = 0; // samples over the whole timed window, its ragged end included
    bool noDisplay = false;
};

std::string Capture(const std::string& command) {
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        char buf[256];
        while (std::fgets(buf, sizeof buf, p)) {
            out += buf;
        }
        ::pclose(p);
    }
    return out;
}

// Puts the mouse over the middle of the plot once the main window is mapped.
void HoldMouseOverChart() {
    std::string id;
    for (int i = 0; i < 100 && id.empty(); ++i) {
        id =
            Capture("xdotool search --onlyvisible --name '^ZEL-A-2X-Vavod$' 2>/dev/null | head -1");
        while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) {
            id.pop_back();
        }
        if (id.empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    if (id.empty()) {
        std::fprintf(stderr, "bench_scope_gui: main window not found for the cursor\n");
        return;
    }
    // The chart fills the right-hand part of the window, below the scope's controls.
    std::string geometry = Capture("xdotool getwindowgeometry " + id);
    int w = 0, h = 0;
    if (auto at = geometry.find("Geometry: "); at != std::string::npos) {
        std::sscanf(geometry.c_str() + at + 10, "%dx%d", &w, &h);
    }
    int x = w > 0 ? w * 75 / 100 : 880, y = h > 0 ? h * 55 / 100 : 420;
    std::string move = "xdotool mousemove --window " + id + " " + std::to_string(x) + " " +
                       std::to_string(y) + " >/dev/null 2>&1";
    if (std::system(move.c_str()) != 0) {
        std::fprintf(stderr, "bench_scope_gui: xdotool mousemove failed\n");
    }
}

const char* g_exe = ZEL_VAVOD_EXE;
std::string g_simArgs = "--latency 0";
constexpr double kLineLimit = kLineLimitPerSec;

Run RunOnce(const Case& c, double seconds, const std::string& dir) {
    std::string err = dir + "/stderr.txt";
    pid_t pid = ::fork();
    if (pid == 0) {
        if (!std::freopen(err.c_str(), "w", stderr) || !std::freopen("/dev/null", "w", stdout)) {
            ::_exit(126);
        }
        ::unsetenv("QT_QPA_PLATFORM");
        ::setenv("ZEL_AUTORUN", std::to_string(seconds).c_str(), 1);
        if (c.traffic) {
            ::setenv("ZEL_AUTORUN_TRAFFIC", "1", 1);
        } else {
            ::unsetenv("ZEL_AUTORUN_TRAFFIC");
        }
        if (c.record) {
            ::setenv("ZEL_AUTORUN_RECORD", "1", 1);
        }
        if (c.accessibility) {
            ::setenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1", 1);
            // As on a desktop with accessibility on: the session's accessibility bus is up
            // before the program starts, and Qt's bridge registers the window on it.
            const char* script = "/usr/libexec/at-spi-bus-launcher --launch-immediately & "
                                 "sleep 0.3; exec \"$0\" \"$@\"";
            ::execlp("dbus-run-session", "dbus-run-session", "--", "sh", "-c", script, g_exe,
                     "--simulate", "--sim-args", g_simArgs.c_str(), "--dir", dir.c_str(),
                     static_cast<char*>(nullptr));
        } else {
            ::unsetenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON");
            ::execl(g_exe, g_exe, "--simulate", "--sim-args", g_simArgs.c_str(), "--dir",
                    dir.c_str(), static_cast<char*>(nullptr));
        }
        ::_exit(127);
    }
    if (c.cursor) {
        HoldMouseOverChart();
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (c.cursor) {
        // Out of the way of the next case.
        if (std::system("xdotool mousemove 0 0 >/dev/null 2>&1") != 0) {
            std::fprintf(stderr, "bench_scope_gui: xdotool mousemove failed\n");
        }
    }
    Run r;
    std::ifstream in(err);
    std::string line;
    while (std::getline(in, line)) {
        if (line.find("could not connect to display") != std::string::npos) {
            r.noDisplay = true;
        }
        long samples = 0;
        if (auto at = line.find("zel-vavod: autorun "); at != std::string::npos) {
            double cpu = 0;
            std::sscanf(line.c_str() + at,
                        "zel-vavod: autorun %lf s, cpu %lf s (%lf %% of a core), %ld", &r.seconds,
                        &cpu, &r.cpuPercent, &samples);
            r.wallRate = r.seconds > 0 ? static_cast<double>(samples) / r.seconds : 0;
            // The stream's own rate; a build that does not print it gives the link figure's
            // percentage instead (one decimal).
            double pct = 0;
            if (auto s = line.find("; stream "); s != std::string::npos) {
                std::sscanf(line.c_str() + s, "; stream %lf", &r.rate);
            } else if (auto l = line.find("link: ");
                       l != std::string::npos &&
                       std::sscanf(line.c_str() + l, "link: %*f/s of %*f/s (%lf", &pct) == 1) {
                r.rate = pct / 100.0 * kLineLimit;
            } else {
                r.rate = r.wallRate;
            }
        } else if (line.find("QStandardPaths") == std::string::npos &&
                   line.find("dbus-daemon") == std::string::npos) {
            std::fprintf(stderr, "  %s\n", line.c_str());
        }
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || r.cpuPercent < 0) {
        if (r.noDisplay) {
            return r; // the X server turned the program away: the caller tries again
        }
        std::fprintf(stderr, "bench_scope_gui: %s run failed (status %d)\n", c.name, status);
        std::exit(1);
    }
    return r;
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 20;
    int runs = 1;
    int fifo = 1;
    std::vector<std::string> only;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = std::max(2.0, std::atof(argv[++i]));
        } else if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--exe") == 0 && i + 1 < argc) {
            g_exe = argv[++i];
        } else if (std::strcmp(argv[i], "--fifo") == 0 && i + 1 < argc) {
            fifo = std::max(1, std::atoi(argv[++i]));
            g_simArgs = "--latency 0 --fifo " + std::to_string(fifo);
        } else if (argv[i][0] != '-') {
            only.emplace_back(argv[i]);
        } else {
            std::fprintf(stderr, "usage: bench_scope_gui [--seconds N] [--runs N] [--exe PATH] "
                                 "[--fifo N] [CASE...]\n");
            return 2;
        }
    }
    if (!std::getenv("DISPLAY")) {
        std::fprintf(stderr, "bench_scope_gui: needs an X display (bench/run starts Xvfb)\n");
        return 2;
    }
    char tmpl[] = "/tmp/zel-bench-gui-XXXXXX";
    const char* made = ::mkdtemp(tmpl);
    if (!made) {
        return 1;
    }
    std::string dir = made;
    const double lineLimit = kLineLimit;
    for (const Case& c : kCases) {
        if (!only.empty() && std::find(only.begin(), only.end(), c.name) == only.end()) {
            continue;
        }
        std::vector<double> cpu, rate, wallRate;
        for (int i = 0; i < runs; ++i) {
            Run r = RunOnce(c, seconds, dir);
            // A busy X server now and then refuses a new client; that says nothing of the
            // program, so the run is taken again, once.
            if (r.noDisplay) {
                std::fprintf(stderr, "bench_scope_gui: the display refused the program; again\n");
                std::this_thread::sleep_for(std::chrono::seconds(1));
                r = RunOnce(c, seconds, dir);
                if (r.noDisplay) {
                    std::fprintf(stderr, "bench_scope_gui: %s run failed: no display\n", c.name);
                    return 1;
                }
            }
            cpu.push_back(r.cpuPercent);
            rate.push_back(r.rate);
            wallRate.push_back(r.wallRate);
        }
        double rateMedian = Median(rate);
        std::printf("{\"bench\":\"scope_gui\",\"case\":\"%s\",\"fifo\":%d,\"samples_per_s\":%.2f,"
                    "\"line_limit\":%.2f,\"ratio\":%.4f,\"window_ratio\":%.4f,"
                    "\"cpu_percent_of_one_core\":%.2f,\"cpu_min\":%.2f,\"cpu_max\":%.2f,"
                    "\"seconds\":%.0f,\"runs\":%d}\n",
                    c.name, fifo, rateMedian, lineLimit, rateMedian / lineLimit,
                    Median(wallRate) / lineLimit, Median(cpu),
                    *std::min_element(cpu.begin(), cpu.end()),
                    *std::max_element(cpu.begin(), cpu.end()), seconds, runs);
        std::fflush(stdout);
    }
    std::string clean = "rm -rf '" + dir + "'";
    return std::system(clean.c_str()) == 0 ? 0 : 1;
}
