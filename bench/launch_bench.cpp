// Launch to main window shown, with the simulated sensor at 19200 baud: the start-up exchange
// (line check, hardware, two GETs, firmware, four 0.05 s pauses) has a floor of about 0.41 s.
// Shown means on the X display in $DISPLAY (bench/run starts Xvfb when there is none): mapped
// and painted once, the start-up exchange done before. The figure of record runs from the fork,
// libraries' loading included; the program's own figure from main() is printed beside it.
// Prints one JSON line per run and a summary.
// Usage: bench_launch [RUNS] [EXE]   (EXE: another build's zel-vavod, for comparisons)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

int main(int argc, char** argv) {
    int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const char* exe = argc > 2 ? argv[2] : ZEL_VAVOD_EXE;
    std::vector<double> shown, fromExec, whole;
    if (!std::getenv("DISPLAY") && !std::getenv("QT_QPA_PLATFORM")) {
        std::fprintf(stderr, "bench_launch: needs an X display (bench/run starts Xvfb)\n");
        return 2;
    }
    for (int i = 0; i < runs; ++i) {
        std::string err = "/tmp/zel-launch-bench-" + std::to_string(::getpid()) + ".err";
        auto t0 = std::chrono::steady_clock::now();
        pid_t pid = ::fork();
        if (pid == 0) {
            if (!std::freopen(err.c_str(), "w", stderr)) {
                ::_exit(126);
            }
            ::setenv("ZEL_STARTUP_REPORT", "exit", 1);
            ::execl(exe, exe, "--simulate", "--sim-args", "--latency 0",
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        std::ifstream in(err);
        std::string line, text;
        double s = -1, steady = -1;
        while (std::getline(in, line)) {
            auto at = line.find("shown after ");
            if (at != std::string::npos) {
                s = std::atof(line.c_str() + at + 12);
            }
            at = line.find("steady clock ");
            if (at != std::string::npos) {
                steady = std::atof(line.c_str() + at + 13);
            }
        }
        // From the fork, as the operator sees it: loading the libraries included.
        double launch =
            steady > 0 ? steady - std::chrono::duration<double>(t0.time_since_epoch()).count() : s;
        std::remove(err.c_str());
        if (s < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::fprintf(stderr, "run %d failed (status %d)\n", i, status);
            return 1;
        }
        shown.push_back(s);
        fromExec.push_back(launch);
        whole.push_back(total);
        std::printf("{\"bench\":\"launch\",\"run\":%d,\"shown_after_start_s\":%.3f,"
                    "\"shown_after_main_s\":%.3f,\"process_s\":%.3f}\n",
                    i, launch, s, total);
    }
    for (auto* v : {&shown, &fromExec, &whole}) {
        std::sort(v->begin(), v->end());
    }
    std::printf("{\"bench\":\"launch\",\"metric\":\"shown_after_start_s_median\",\"value\":%.3f,"
                "\"floor\":0.41,\"shown_after_main_s_median\":%.3f,\"process_s_median\":%.3f}\n",
                fromExec[fromExec.size() / 2], shown[shown.size() / 2], whole[whole.size() / 2]);
    return 0;
}
