// zel-vavod-cli at a production station: N simulated sensors on N ptys at 19200 baud, N flash
// processes at once, wall time against one sensor's floor; and scan with one answering and
// seven silent ports. Prints JSON lines.
#include "process.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr double kFloorSec = 13.28; // one full programming run's exchanges and pauses

pid_t Start(const std::vector<std::string>& args) {
    pid_t pid = ::fork();
    if (pid == 0) {
        if (std::freopen("/dev/null", "w", stdout) == nullptr ||
            std::freopen("/dev/null", "w", stderr) == nullptr) {
            ::_exit(127);
        }
        std::vector<char*> argv{const_cast<char*>(ZEL_CLI_EXE)};
        for (const auto& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        ::execv(ZEL_CLI_EXE, argv.data());
        ::_exit(127);
    }
    return pid;
}

int Wait(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string CalibFile(const std::string& path, unsigned base) {
    std::ofstream out(path);
    out << "[HEADER]\nH1 1\nH2 2\nH3 1.5\nH4 4\nH5 5\n[XFLASH]\n";
    for (int k = 0; k < 1024; ++k) {
        out << base + k << "\n";
    }
    return path;
}

} // namespace

int main() {
    char tmpl[] = "/tmp/zel-cli-bench-XXXXXX";
    std::string dir = ::mkdtemp(tmpl);
    std::string a = CalibFile(dir + "/A.DAT", 0x1000), b = CalibFile(dir + "/B.DAT", 0x2000);
    for (int n : {1, 4, 8}) {
        std::vector<std::unique_ptr<zelsim::SimProcess>> sims;
        for (int i = 0; i < n; ++i) {
            sims.push_back(std::make_unique<zelsim::SimProcess>(
                ZEL_SIM_BINARY, std::vector<std::string>{"--latency", "0"}));
        }
        double t0 = zelsim::monotonicSeconds();
        std::vector<pid_t> runs;
        for (const auto& s : sims) {
            runs.push_back(
                Start({"flash", "--cha", a, "--chb", b, "--device", s->ptyPath(), "--quiet"}));
        }
        int failed = 0;
        for (pid_t p : runs) {
            failed += Wait(p) != 0;
        }
        double wall = zelsim::monotonicSeconds() - t0;
        std::printf("{\"bench\":\"cli_flash\",\"sensors\":%d,\"wall_s\":%.2f,\"floor_s\":%.2f,"
                    "\"over_floor_pct\":%.1f,\"failed\":%d}\n",
                    n, wall, kFloorSec, 100.0 * (wall - kFloorSec) / kFloorSec, failed);
        std::fflush(stdout);
    }

    zelsim::SimProcess answering(ZEL_SIM_BINARY, {"--latency", "0"});
    std::vector<std::unique_ptr<zelsim::SimProcess>> silent;
    std::vector<std::string> args = {"scan", "--quiet", "--com", "10=" + answering.ptyPath()};
    for (int i = 0; i < 7; ++i) {
        silent.push_back(std::make_unique<zelsim::SimProcess>(
            ZEL_SIM_BINARY, std::vector<std::string>{"--silent", "5"}));
        args.push_back("--com");
        args.push_back(std::to_string(11 + i) + "=" + silent.back()->ptyPath());
    }
    double t0 = zelsim::monotonicSeconds();
    int code = Wait(Start(args));
    std::printf("{\"bench\":\"cli_scan\",\"answering\":1,\"silent\":7,\"wall_s\":%.2f,"
                "\"reply_timeout_s\":1.5,\"exit\":%d}\n",
                zelsim::monotonicSeconds() - t0, code);
    std::string rm = "rm -rf " + dir;
    return std::system(rm.c_str()) == 0 ? 0 : 1;
}
