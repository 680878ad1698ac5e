// The window while its network port is away: the main panel (offscreen) on a tcp:// port to
// zel-sensor-sim, the simulator ended (a port loss), and its address then taken by a listener
// whose accept queue is full, so every connect hangs as to a device server that stopped
// answering. Meanwhile the lost-port check runs each second, and a thread of the bench posts
// an event to the window's thread every 5 ms; the delay until each is handled is the window's
// answer time. Prints the slowest answer, the 99th percentile, the answers counted, the
// reconnects tried by the server's count of connections, and the process's peak RSS.
// Usage: bench_net_away [--seconds N]   (default 10 s)
#include "app/app.h"
#include "bench_window.h"
#include "core/state.h"
#include "link/link.h"
#include "process.h"
#include "runtime/ui.h"
#include "scope/scope.h"
#include "serial/serial.h"
#include "testkit/testing.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

double Now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// An event carrying the moment it was posted.
struct Probe : QEvent {
    explicit Probe(double at)
        : QEvent(static_cast<QEvent::Type>(QEvent::User + 17)), postedAt(at) {}
    double postedAt;
};

struct Answers : QObject {
    std::vector<double> delays;
    bool event(QEvent* e) override {
        if (e->type() == QEvent::User + 17) {
            delays.push_back(Now() - static_cast<Probe*>(e)->postedAt);
            return true;
        }
        return QObject::event(e);
    }
};

// A listener on `port` of 127.0.0.1 that never accepts, its queue filled by two connections
// of its own: a connect to it waits for an answer that never comes. Returns the listener.
int HangingListener(int port, std::vector<int>& fillers) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 0) != 0) {
        return -1;
    }
    for (int i = 0; i < 2; ++i) {
        const int c = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
        fillers.push_back(c);
    }
    return fd;
}

long PeakRssKiB() {
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 10;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = std::max(2.0, std::atof(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: bench_net_away [--seconds N]\n");
            return 2;
        }
    }
    if (!StartBenchWindow(argc, argv, "bench_net_away", "zel-bench-net-away")) {
        return 1;
    }

    auto sim = std::make_unique<zelsim::SimProcess>(
        ZEL_SIM_BINARY, std::vector<std::string>{"--tcp", "127.0.0.1:0", "--latency", "0"});
    if (!sim->ok()) {
        std::fprintf(stderr, "bench_net_away: simulator did not start\n");
        return 1;
    }
    const std::string address = sim->ptyPath();
    const int port = std::atoi(address.substr(address.rfind(':') + 1).c_str());
    BindComPort(1, address);
    com = 1;
    InitRS232(com);
    std::printf("{\"bench\":\"net_away\",\"start\":\"%s\"}\n", szStatus);

    // The device server goes away, and its address stops answering.
    sim->signal(SIGTERM);
    sim->wait(5);
    sim.reset();
    std::vector<int> fillers;
    const int listener = HangingListener(port, fillers);
    if (listener < 0) {
        std::fprintf(stderr, "bench_net_away: port %d not free again\n", port);
        return 1;
    }

    Answers answers;
    std::atomic<bool> stop{false};
    std::thread prober([&] {
        while (!stop) {
            QCoreApplication::postEvent(&answers, new Probe(Now()));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    const double end = Now() + seconds;
    while (Now() < end) {
        ProcessSystemEventsUntil(Timer() + 0.05);
    }
    stop = true;
    prober.join();
    ProcessSystemEvents();

    std::vector<double> d = answers.delays;
    std::sort(d.begin(), d.end());
    const double slowest = d.empty() ? -1 : d.back();
    const double p99 = d.empty() ? -1 : d[std::min(d.size() - 1, d.size() * 99 / 100)];
    std::printf("{\"bench\":\"net_away\",\"metric\":\"slowest_answer_ms\",\"value\":%.1f,"
                "\"p99_ms\":%.1f,\"answers\":%zu,\"seconds\":%.0f,\"status\":\"%s\","
                "\"peak_rss_mib\":%.1f,\"target_ms\":100}\n",
                slowest * 1e3, p99 * 1e3, d.size(), seconds, szStatus,
                static_cast<double>(PeakRssKiB()) / 1024.0);
    for (int f : fillers) {
        ::close(f);
    }
    ::close(listener);
    DiscardPanel(pA);
    CloseCVIRTE();
    return 0;
}
