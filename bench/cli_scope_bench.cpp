// zel-vavod-cli scope against zel-sensor-sim at 19200 baud: samples per second as the tool
// measures its stream, and the CPU the whole process used (start-up included) as a share of
// one core over its wall time. Prints one JSON line.
// Usage: bench_cli_scope [--seconds N] [--fifo N]   (default 10 s; bytes one by one)
// --fifo N: the simulator hands the bytes over in groups of N, as a UART's receive FIFO (or a
// USB adapter's packets) does; one by one is a pseudo-terminal's worst case.
#include "core/line.h"
#include "process.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr double kLineLimit = kLineLimitPerSec; // one 36-byte request and its reply

// A number that follows "key": in a JSON line; 0 when it is not there.
double Field(const std::string& json, const std::string& key) {
    auto at = json.find("\"" + key + "\":");
    return at == std::string::npos ? 0 : std::atof(json.c_str() + at + key.size() + 3);
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 10;
    std::string fifo = "1";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0) {
            seconds = std::atof(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--fifo") == 0) {
            fifo = argv[i + 1];
        }
    }
    char tmpl[] = "/tmp/zel-cli-scope-XXXXXX";
    std::string dir = ::mkdtemp(tmpl);
    std::string csv = dir + "/scope.csv", err = dir + "/err";
    zelsim::SimProcess sim(ZEL_SIM_BINARY, {"--latency", "0", "--fifo", fifo});
    if (!sim.ok()) {
        std::fprintf(stderr, "bench_cli_scope: the simulator did not start\n");
        return 1;
    }
    std::string secs = std::to_string(seconds);
    double t0 = zelsim::monotonicSeconds();
    pid_t pid = ::fork();
    if (pid == 0) {
        if (std::freopen(err.c_str(), "w", stderr) == nullptr) {
            ::_exit(127);
        }
        ::execl(ZEL_CLI_EXE, ZEL_CLI_EXE, "scope", "--seconds", secs.c_str(), "--csv", csv.c_str(),
                "--json", "--device", sim.ptyPath().c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    rusage ru{};
    ::wait4(pid, &status, 0, &ru);
    double wall = zelsim::monotonicSeconds() - t0;
    double cpu = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                 static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;

    std::ifstream in(err);
    std::string summary((std::istreambuf_iterator<char>(in)), {});
    std::ifstream rowsIn(csv);
    long rows = -1; // the header is not a sample
    for (std::string line; std::getline(rowsIn, line);) {
        ++rows;
    }
    double rate = Field(summary, "samples_per_s");
    std::printf("{\"bench\":\"cli_scope\",\"fifo\":%s,\"seconds\":%.1f,\"samples\":%ld,"
                "\"samples_per_s\":%.2f,"
                "\"line_limit_per_s\":%.2f,\"of_line_pct\":%.1f,\"wall_s\":%.2f,\"cpu_s\":%.3f,"
                "\"cpu_pct_of_core\":%.2f,\"exit\":%d}\n",
                fifo.c_str(), seconds, rows, rate, kLineLimit, 100.0 * rate / kLineLimit, wall, cpu,
                100.0 * cpu / wall, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    std::string rm = "rm -rf " + dir;
    return std::system(rm.c_str()) == 0 ? 0 : 1;
}
