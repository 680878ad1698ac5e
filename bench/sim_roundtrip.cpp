// Round trips through zel-sensor-sim's pseudo-terminal and its TCP port: one 36-byte data
// request, one 36-byte data reply, unpaced and at 19200 baud. Prints one JSON line per link and
// baud rate.
// Usage: bench_sim_roundtrip [N]   (default 500 unpaced; a fifth of that paced)
#include "process.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <vector>

namespace {

int runAt(int baud, int n, bool tcp) {
    std::vector<std::string> args = {"--baud", std::to_string(baud), "--latency", "0"};
    if (tcp) {
        args.insert(args.end(), {"--tcp", "127.0.0.1:0"});
    }
    zelsim::SimProcess sim(ZEL_SIM_BINARY, args);
    if (!sim.ok()) {
        std::fprintf(stderr, "bench_sim_roundtrip: simulator did not start\n");
        return 1;
    }
    const int fd = tcp ? zelsim::connectLoopback(sim.ptyPath()) : sim.openPort();
    if (fd < 0) {
        std::fprintf(stderr, "bench_sim_roundtrip: cannot open %s\n", sim.ptyPath().c_str());
        return 1;
    }
    const auto frame = zelsim::makeFrame(8);
    std::vector<double> samples;
    samples.reserve(static_cast<std::size_t>(n));
    const double begin = zelsim::monotonicSeconds();
    for (int i = 0; i < n; ++i) {
        const double t0 = zelsim::monotonicSeconds();
        if (!zelsim::writeAll(fd, frame.data(), frame.size()) ||
            zelsim::readBytes(fd, 36, 2.0).size() != 36) {
            std::fprintf(stderr, "bench_sim_roundtrip: no reply at baud %d\n", baud);
            close(fd);
            return 1;
        }
        samples.push_back(zelsim::monotonicSeconds() - t0);
    }
    const double total = zelsim::monotonicSeconds() - begin;
    close(fd);
    std::sort(samples.begin(), samples.end());
    std::printf("{\"bench\":\"sim_roundtrip\",\"link\":\"%s\",\"baud\":%d,\"n\":%d,"
                "\"round_trips_per_s\":%.1f,\"median_us\":%.1f,\"max_us\":%.1f}\n",
                tcp ? "tcp" : "pty", baud, n, n / total, samples[samples.size() / 2] * 1e6,
                samples.back() * 1e6);
    std::fflush(stdout);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::max(1, std::atoi(argv[1])) : 500;
    const int paced = std::max(1, n / 5);
    return runAt(0, n, false) | runAt(19200, paced, false) | runAt(0, n, true) |
           runAt(19200, paced, true);
}
