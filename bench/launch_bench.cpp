// Launch to main window shown, with the simulated sensor at 19200 baud: the start-up exchange
// (line check, hardware, two GETs, firmware, four 0.05 s pauses) has a floor of about 0.41 s.
// Prints one JSON line per run and a summary.
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
    std::vector<double> shown, whole;
    for (int i = 0; i < runs; ++i) {
        std::string err = "/tmp/zel-launch-bench-" + std::to_string(::getpid()) + ".err";
        auto t0 = std::chrono::steady_clock::now();
        pid_t pid = ::fork();
        if (pid == 0) {
            if (!std::freopen(err.c_str(), "w", stderr)) {
                ::_exit(126);
            }
            ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
            ::setenv("ZEL_STARTUP_REPORT", "exit", 1);
            ::execl(ZEL_VAVOD_EXE, ZEL_VAVOD_EXE, "--simulate", "--sim-args", "--latency 0",
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        std::ifstream in(err);
        std::string line, text;
        double s = -1;
        while (std::getline(in, line)) {
            auto at = line.find("shown after ");
            if (at != std::string::npos) {
                s = std::atof(line.c_str() + at + 12);
            }
        }
        std::remove(err.c_str());
        if (s < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::fprintf(stderr, "run %d failed (status %d)\n", i, status);
            return 1;
        }
        shown.push_back(s);
        whole.push_back(total);
        std::printf("{\"bench\":\"launch\",\"run\":%d,\"shown_after_s\":%.3f,\"process_s\":%.3f}\n",
                    i, s, total);
    }
    std::sort(shown.begin(), shown.end());
    std::sort(whole.begin(), whole.end());
    std::printf("{\"bench\":\"launch\",\"metric\":\"shown_after_s_median\",\"value\":%.3f,"
                "\"floor\":0.41,\"process_s_median\":%.3f}\n",
                shown[shown.size() / 2], whole[whole.size() / 2]);
    return 0;
}
