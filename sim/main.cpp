// zel-sensor-sim: serves the simulated sensor on a pseudo-terminal (or a TCP port), paced like
// the real RS-232 line, until SIGINT/SIGTERM or a simulated unplug.
#include "cli.h"
#include "engine.h"
#include "pacer.h"
#include "rfc2217.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
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

class Server {
  public:
    Server(CommandLine cl)
        : cl_(std::move(cl)), engine_(cl_.options), line_(cl_.options.baud, cl_.options.fifo) {}
    ~Server() { closeLine(); }

    bool open(std::string& err);
    // What a client opens: the terminal's path, or tcp://HOST:PORT / rfc2217://HOST:PORT.
    const std::string& address() const { return address_; }
    Engine& engine() { return engine_; }
    void run();
    bool finish(); // save state and dump, remove the link

  private:
    void receive(double now);
    void transmit(double now);
    void closeLine();
    void drainBeforeUnplug();
    bool dumpFlash();
    bool listen(std::string& err);
    void accept();
    void dropClient();
    void sendToClient();
    bool networked() const { return listen_ >= 0; }

    CommandLine cl_;
    Engine engine_;
    int master_ = -1;
    int slave_ = -1; // held open so the master never sees EIO when the client closes
    std::string slavePath_;
    std::string address_;
    // --tcp: the listening socket and the one client (the line's fd while connected).
    int listen_ = -1;
    int client_ = -1;
    std::unique_ptr<zelsim::Rfc2217Server> telnet_;
    std::vector<std::uint8_t> toClient_; // bytes for the client the socket has not taken yet
    bool linked_ = false;
    zelsim::LinePacer line_; // when each byte is on the line, either way
    bool writeBlocked_ = false;
};

bool Server::open(std::string& err) {
    if (cl_.tcpPort >= 0) {
        return listen(err);
    }
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
    address_ = slavePath_;
    return true;
}

bool Server::listen(std::string& err) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(cl_.tcpPort);
    if (const int r = getaddrinfo(cl_.tcpHost.c_str(), port.c_str(), &hints, &found); r != 0) {
        err = cl_.tcpHost + ": " + gai_strerror(r);
        return false;
    }
    for (addrinfo* a = found; a && listen_ < 0; a = a->ai_next) {
        const int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            continue;
        }
        const int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (bind(fd, a->ai_addr, a->ai_addrlen) == 0 && ::listen(fd, 4) == 0) {
            listen_ = fd;
        } else {
            err = cl_.tcpHost + ":" + port + ": " + std::strerror(errno);
            close(fd);
        }
    }
    freeaddrinfo(found);
    if (listen_ < 0) {
        return false;
    }
    setNonBlocking(listen_);
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    getsockname(listen_, reinterpret_cast<sockaddr*>(&bound), &len);
    const int taken =
        ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                          : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    address_ = zelsim::servedAddress(cl_, taken);
    return true;
}

// One client at a time, as a serial port has one user: a second is closed at once.
void Server::accept() {
    const int fd = accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        return;
    }
    if (client_ >= 0) {
        close(fd);
        return;
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    client_ = fd;
    if (cl_.rfc2217) {
        telnet_ = std::make_unique<zelsim::Rfc2217Server>(
            static_cast<std::uint32_t>(cl_.options.baud > 0 ? cl_.options.baud : 19200));
    }
}

// The client went away: what was on the line for it is gone with it.
void Server::dropClient() {
    if (client_ >= 0) {
        close(client_);
    }
    client_ = -1;
    telnet_.reset();
    line_.clear();
    toClient_.clear();
    writeBlocked_ = false;
}

void Server::sendToClient() {
    while (client_ >= 0 && !toClient_.empty()) {
        const ssize_t w = send(client_, toClient_.data(), toClient_.size(), MSG_NOSIGNAL);
        if (w < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                dropClient();
            }
            break;
        }
        toClient_.erase(toClient_.begin(), toClient_.begin() + w);
    }
    writeBlocked_ = !toClient_.empty();
}

void Server::receive(double now) {
    std::uint8_t raw[4096];
    for (;;) {
        const int fd = networked() ? client_ : master_;
        if (fd < 0) {
            return;
        }
        ssize_t n = read(fd, raw, sizeof raw);
        if (networked() &&
            (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))) {
            dropClient();
            return;
        }
        if (n <= 0) {
            return;
        }
        const std::uint8_t* buf = raw;
        std::vector<std::uint8_t> data;
        if (telnet_) {
            data = telnet_->feed(raw, static_cast<std::size_t>(n), toClient_);
            sendToClient();
            buf = data.data();
            n = static_cast<ssize_t>(data.size());
        }
        line_.fromClient(buf, static_cast<std::size_t>(n), now);
    }
}

void Server::transmit(double now) {
    std::uint8_t buf[512];
    const std::size_t n = line_.dueToClient(now, buf, sizeof buf);
    if (n == 0) {
        return;
    }
    if (networked()) {
        if (telnet_) {
            zelsim::Rfc2217Server::escape(buf, n, toClient_);
        } else {
            toClient_.insert(toClient_.end(), buf, buf + n);
        }
        line_.sent(n);
        sendToClient();
        return;
    }
    const ssize_t w = write(master_, buf, n);
    if (w < 0) {
        // A full pty buffer (nobody reading): wait for room instead of retrying in a loop.
        writeBlocked_ = errno == EAGAIN || errno == EWOULDBLOCK;
        if (!writeBlocked_) {
            line_.sent(SIZE_MAX); // the terminal is gone: so is the reply
        }
        return;
    }
    writeBlocked_ = static_cast<std::size_t>(w) < n;
    line_.sent(static_cast<std::size_t>(w));
}

void Server::run() {
    for (;;) {
        double now = monotonic();
        line_.feedSensor(engine_, now);
        if (!writeBlocked_) {
            transmit(now);
        }
        if (line_.unplugDue()) {
            drainBeforeUnplug();
            return;
        }

        double next = line_.nextToSensor();
        const double reply = writeBlocked_ ? -1 : line_.nextToClient();
        if (reply >= 0) {
            next = next < 0 ? reply : std::min(next, reply);
        }
        timespec ts{};
        timespec* timeout = nullptr;
        if (next >= 0) {
            const double wait = std::max(0.0, next - monotonic());
            ts.tv_sec = static_cast<time_t>(wait);
            ts.tv_nsec = static_cast<long>((wait - static_cast<double>(ts.tv_sec)) * 1e9);
            timeout = &ts;
        }

        // A negative fd (no client yet) is left out by poll.
        pollfd fds[3] = {{networked() ? client_ : master_, POLLIN, 0},
                         {signalPipe[0], POLLIN, 0},
                         {listen_, POLLIN, 0}};
        if (writeBlocked_) {
            fds[0].events |= POLLOUT;
        }
        const int r = ppoll(fds, 3, timeout, nullptr);
        if (r < 0 && errno != EINTR) {
            return;
        }
        now = monotonic();
        if (fds[0].revents & POLLOUT) {
            writeBlocked_ = false;
            if (networked()) {
                sendToClient();
            }
        }
        if (fds[0].revents & POLLIN) {
            receive(now);
        } else if (fds[0].revents & (POLLHUP | POLLERR)) {
            if (networked()) {
                dropClient();
            } else {
                // Cannot happen while we hold the slave open; never spin on it if it does.
                usleep(50000);
            }
        }
        if (fds[2].revents & POLLIN) {
            accept();
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
    if (networked()) {
        // The last reply goes out, then the connection closes in order; what the client still
        // sends is read away, so the close does not turn into a reset that could drop the reply.
        const double end = monotonic() + 0.5;
        while (client_ >= 0 && !toClient_.empty() && monotonic() < end) {
            sendToClient();
            usleep(2000);
        }
        if (client_ >= 0) {
            shutdown(client_, SHUT_WR);
            std::uint8_t sink[512];
            while (monotonic() < end) {
                pollfd p{client_, POLLIN, 0};
                if (poll(&p, 1, 20) > 0 && read(client_, sink, sizeof sink) <= 0) {
                    break;
                }
            }
        }
        return;
    }
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
    dropClient();
    if (listen_ >= 0) {
        close(listen_);
    }
    listen_ = -1;
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
    server.engine().applyEepromWords(); // over the loaded state: this power-up's values
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
    std::printf("%s\n", server.address().c_str());
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
