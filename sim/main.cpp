// zel-sensor-sim: serves the simulated sensor on a pseudo-terminal, paced like the real
// RS-232 line, until SIGINT/SIGTERM or a simulated unplug.
#include "cli.h"
#include "engine.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#ifndef ZEL_VERSION
#define ZEL_VERSION "dev"
#endif

namespace {

using zelsim::CommandLine;
using zelsim::Engine;
using zelsim::Output;

int signalPipe[2] = {-1, -1};

// Async-signal-safe: only write() a tag byte; the poll loop does the work.
void onSignal(int sig) {
    const int saved = errno;
    const char tag = sig == SIGUSR1 ? 'd' : 'q';
    [[maybe_unused]] auto r = write(signalPipe[1], &tag, 1);
    errno = saved;
}

double monotonic() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void setNonBlocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

struct Timed {
    double due;
    std::uint8_t byte;
};

class Server {
  public:
    Server(CommandLine cl) : cl_(std::move(cl)), engine_(cl_.options) {
        byteTime_ = cl_.options.baud > 0 ? 10.0 / cl_.options.baud : 0.0;
    }
    ~Server() { closeLine(); }

    bool open(std::string& err);
    const std::string& slavePath() const { return slavePath_; }
    Engine& engine() { return engine_; }
    void run();
    bool finish(); // save state and dump, remove the link

  private:
    void schedule(const Output& out, double arrived);
    void receive(double now);
    void transmit(double now);
    void closeLine();
    void drainBeforeUnplug();
    bool dumpFlash();

    CommandLine cl_;
    Engine engine_;
    double byteTime_ = 0;
    int master_ = -1;
    int slave_ = -1; // held open so the master never sees EIO when the client closes
    std::string slavePath_;
    bool linked_ = false;
    std::deque<Timed> rx_; // bytes read from the client, released at line speed
    std::deque<Timed> tx_; // reply bytes, each due once it would have fully arrived
    double rxFree_ = 0;    // when the incoming line is next idle
    double txFree_ = 0;
    bool unplugPending_ = false;
    bool writeBlocked_ = false;
};

bool Server::open(std::string& err) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        err = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    const char* name = ptsname(master_);
    if (!name) {
        err = std::string("ptsname: ") + std::strerror(errno);
        return false;
    }
    slavePath_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY);
    if (slave_ < 0) {
        err = slavePath_ + ": " + std::strerror(errno);
        return false;
    }
    termios tio{};
    tcgetattr(slave_, &tio);
    cfmakeraw(&tio);
    cfsetispeed(&tio, B19200);
    cfsetospeed(&tio, B19200);
    tcsetattr(slave_, TCSANOW, &tio);
    setNonBlocking(master_);

    if (!cl_.linkPath.empty()) {
        struct stat st {};
        if (lstat(cl_.linkPath.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) {
                err = cl_.linkPath + ": exists and is not a symlink";
                return false;
            }
            unlink(cl_.linkPath.c_str());
        }
        if (symlink(slavePath_.c_str(), cl_.linkPath.c_str()) != 0) {
            err = cl_.linkPath + ": " + std::strerror(errno);
            return false;
        }
        linked_ = true;
    }
    return true;
}

void Server::schedule(const Output& out, double arrived) {
    double anchor = arrived;
    for (const auto& chunk : out.chunks) {
        const double start = std::max(anchor + chunk.delay, txFree_);
        for (std::size_t i = 0; i < chunk.bytes.size(); ++i) {
            tx_.push_back({start + static_cast<double>(i + 1) * byteTime_, chunk.bytes[i]});
        }
        txFree_ = start + static_cast<double>(chunk.bytes.size()) * byteTime_;
        anchor = txFree_;
    }
    if (out.unplug) {
        unplugPending_ = true;
    }
}

void Server::receive(double now) {
    std::uint8_t buf[4096];
    for (;;) {
        const ssize_t n = read(master_, buf, sizeof buf);
        if (n <= 0) {
            return;
        }
        // The client's bytes land in the pty at once; a real line would take a byte time
        // for each, so they are released to the sensor at that pace.
        const double start = std::max(now, rxFree_);
        for (ssize_t i = 0; i < n; ++i) {
            rx_.push_back({start + static_cast<double>(i + 1) * byteTime_, buf[i]});
        }
        rxFree_ = start + static_cast<double>(n) * byteTime_;
    }
}

void Server::transmit(double now) {
    std::uint8_t buf[512];
    std::size_t n = 0;
    while (n < tx_.size() && n < sizeof buf && tx_[n].due <= now) {
        buf[n] = tx_[n].byte;
        ++n;
    }
    if (n == 0) {
        return;
    }
    const ssize_t w = write(master_, buf, n);
    if (w < 0) {
        // A full pty buffer (nobody reading): wait for room instead of retrying in a loop.
        writeBlocked_ = errno == EAGAIN || errno == EWOULDBLOCK;
        if (!writeBlocked_) {
            tx_.clear();
        }
        return;
    }
    writeBlocked_ = static_cast<std::size_t>(w) < n;
    tx_.erase(tx_.begin(), tx_.begin() + w);
}

void Server::run() {
    for (;;) {
        double now = monotonic();
        if (!rx_.empty() && rx_.front().due <= now) {
            std::vector<std::uint8_t> arrived;
            double last = 0;
            while (!rx_.empty() && rx_.front().due <= now) {
                arrived.push_back(rx_.front().byte);
                last = rx_.front().due;
                rx_.pop_front();
            }
            schedule(engine_.feed(arrived.data(), arrived.size(), last), last);
        }
        if (!writeBlocked_) {
            transmit(now);
        }
        if (unplugPending_ && tx_.empty()) {
            drainBeforeUnplug();
            return;
        }

        double next = -1;
        if (!rx_.empty()) {
            next = rx_.front().due;
        }
        if (!tx_.empty() && !writeBlocked_) {
            next = next < 0 ? tx_.front().due : std::min(next, tx_.front().due);
        }
        timespec ts{};
        timespec* timeout = nullptr;
        if (next >= 0) {
            const double wait = std::max(0.0, next - monotonic());
            ts.tv_sec = static_cast<time_t>(wait);
            ts.tv_nsec = static_cast<long>((wait - static_cast<double>(ts.tv_sec)) * 1e9);
            timeout = &ts;
        }

        pollfd fds[2] = {{master_, POLLIN, 0}, {signalPipe[0], POLLIN, 0}};
        if (writeBlocked_) {
            fds[0].events |= POLLOUT;
        }
        const int r = ppoll(fds, 2, timeout, nullptr);
        if (r < 0 && errno != EINTR) {
            return;
        }
        now = monotonic();
        if (fds[0].revents & POLLOUT) {
            writeBlocked_ = false;
        }
        if (fds[0].revents & POLLIN) {
            receive(now);
        }
        if (fds[0].revents & (POLLHUP | POLLERR) && !(fds[0].revents & POLLIN)) {
            // Cannot happen while we hold the slave open; never spin on it if it does.
            usleep(50000);
        }
        if (fds[1].revents & POLLIN) {
            char tags[16];
            const ssize_t n = read(signalPipe[0], tags, sizeof tags);
            for (ssize_t i = 0; i < n; ++i) {
                if (tags[i] == 'q') {
                    return;
                }
                dumpFlash();
            }
        }
    }
}

// A hang-up discards what the client has not read yet; give it a moment to take the last
// reply, as a real cable pulled after the last byte would have delivered it.
void Server::drainBeforeUnplug() {
    // The pty hands written bytes to the slave side asynchronously: let them land first.
    usleep(20000);
    const double end = monotonic() + 0.5;
    int waiting = 0;
    while (monotonic() < end && ioctl(slave_, TIOCINQ, &waiting) == 0 && waiting > 0) {
        usleep(2000);
    }
}

void Server::closeLine() {
    if (master_ >= 0) {
        close(master_);
    }
    if (slave_ >= 0) {
        close(slave_);
    }
    master_ = slave_ = -1;
}

bool Server::dumpFlash() {
    if (cl_.flashDumpFile.empty()) {
        return true;
    }
    std::string err;
    if (!engine_.model().writeFlashDump(cl_.flashDumpFile, err)) {
        std::fprintf(stderr, "zel-sensor-sim: flash dump: %s\n", err.c_str());
        return false;
    }
    return true;
}

bool Server::finish() {
    closeLine();
    if (linked_) {
        // Only remove the link if it is still ours.
        char target[4096];
        const ssize_t n = readlink(cl_.linkPath.c_str(), target, sizeof target - 1);
        if (n >= 0 && std::string(target, static_cast<std::size_t>(n)) == slavePath_) {
            unlink(cl_.linkPath.c_str());
        }
    }
    bool ok = true;
    if (!cl_.stateFile.empty()) {
        std::string err;
        if (!engine_.model().saveState(cl_.stateFile, err)) {
            std::fprintf(stderr, "zel-sensor-sim: state: %s\n", err.c_str());
            ok = false;
        }
    }
    return dumpFlash() && ok;
}

} // namespace

int main(int argc, char** argv) {
    CommandLine cl;
    std::string err;
    if (!zelsim::parseCommandLine({argv + 1, argv + argc}, cl, err)) {
        std::fprintf(stderr, "zel-sensor-sim: %s\n", err.c_str());
        return 2;
    }
    if (cl.help) {
        std::fputs(zelsim::usageText(), stdout);
        return 0;
    }
    if (cl.version) {
        std::printf("zel-sensor-sim %s\n", ZEL_VERSION);
        return 0;
    }

    Server server(cl);
    if (!cl.stateFile.empty() && !server.engine().model().loadState(cl.stateFile, err)) {
        std::fprintf(stderr, "zel-sensor-sim: state: %s\n", err.c_str());
        return 2;
    }
    std::FILE* log = nullptr;
    if (!cl.logFile.empty()) {
        log = std::fopen(cl.logFile.c_str(), "w");
        if (!log) {
            std::fprintf(stderr, "zel-sensor-sim: %s: %s\n", cl.logFile.c_str(),
                         std::strerror(errno));
            return 2;
        }
        server.engine().setLog(log);
    }

    if (pipe(signalPipe) != 0) {
        std::perror("zel-sensor-sim: pipe");
        return 1;
    }
    setNonBlocking(signalPipe[0]);
    setNonBlocking(signalPipe[1]);
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGUSR1, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    if (!server.open(err)) {
        std::fprintf(stderr, "zel-sensor-sim: %s\n", err.c_str());
        return 1;
    }
    server.engine().setEpoch(monotonic());
    std::printf("%s\n", server.slavePath().c_str());
    std::fflush(stdout);

    server.run();
    const bool saved = server.finish();
    server.engine().flushLog();
    server.engine().setLog(nullptr);
    if (log) {
        std::fclose(log);
    }
    return saved ? 0 : 1;
}
