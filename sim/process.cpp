#include "process.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace zelsim {

double monotonicSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

SimProcess::SimProcess(const std::string& binary, const std::vector<std::string>& args,
                       double startTimeout) {
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) {
        return;
    }
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&fa, errPipe[1], 2);
    std::vector<std::string> all{binary};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid_, binary.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(outPipe[1]);
    close(errPipe[1]);
    out_ = outPipe[0];
    err_ = errPipe[0];
    if (rc != 0) {
        pid_ = -1;
        return;
    }

    std::string line;
    const double end = monotonicSeconds() + startTimeout;
    while (monotonicSeconds() < end) {
        pollfd p{out_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) {
            continue;
        }
        char c;
        if (read(out_, &c, 1) != 1) {
            return; // exited before printing a path
        }
        if (c == '\n') {
            ptyPath_ = line;
            return;
        }
        line += c;
    }
}

SimProcess::~SimProcess() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) {
        close(out_);
    }
    if (err_ >= 0) {
        close(err_);
    }
}

int SimProcess::openPort(const std::string& path) const {
    const int fd = ::open(path.empty() ? ptyPath_.c_str() : path.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) {
        return -1;
    }
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    cfsetispeed(&tio, B19200);
    cfsetospeed(&tio, B19200);
    tcsetattr(fd, TCSANOW, &tio);
    return fd;
}

void SimProcess::signal(int sig) const {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, sig);
    }
}

int SimProcess::wait(double timeout) {
    if (pid_ <= 0) {
        return -1;
    }
    const double end = monotonicSeconds() + timeout;
    while (!reaped_) {
        int st = 0;
        const pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
            break;
        }
        if (monotonicSeconds() > end) {
            return -1;
        }
        usleep(5000);
    }
    return status_;
}

std::string SimProcess::stderrText() {
    std::string s;
    if (err_ < 0) {
        return s;
    }
    fcntl(err_, F_SETFL, fcntl(err_, F_GETFL) | O_NONBLOCK);
    char buf[512];
    for (ssize_t n; (n = read(err_, buf, sizeof buf)) > 0;) {
        s.append(buf, static_cast<std::size_t>(n));
    }
    return s;
}

bool writeAll(int fd, const std::uint8_t* data, std::size_t n) {
    while (n > 0) {
        const ssize_t w = write(fd, data, n);
        if (w < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

std::vector<std::uint8_t> readBytes(int fd, std::size_t n, double timeout) {
    std::vector<std::uint8_t> got;
    const double end = monotonicSeconds() + timeout;
    while (got.size() < n) {
        const double left = end - monotonicSeconds();
        if (left <= 0) {
            break;
        }
        pollfd p{fd, POLLIN, 0};
        const int r = poll(&p, 1, static_cast<int>(left * 1000) + 1);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            break;
        }
        std::uint8_t buf[512];
        const ssize_t k = read(fd, buf, std::min(sizeof buf, n - got.size()));
        if (k <= 0) {
            break; // the line went away
        }
        got.insert(got.end(), buf, buf + k);
    }
    return got;
}

int connectLoopback(const std::string& address) {
    const auto colon = address.rfind(':');
    int port = 0;
    try {
        port = std::stoi(address.substr(colon == std::string::npos ? 0 : colon + 1));
    } catch (const std::exception&) {
        return -1;
    }
    if (port <= 0 || port > 65535) {
        return -1;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::array<std::uint8_t, 36> makeFrame(std::uint16_t order, std::uint16_t second,
                                       const std::vector<std::uint16_t>& words) {
    std::array<std::uint8_t, 36> f{};
    auto put = [&](std::size_t at, std::uint16_t w) {
        f[at] = static_cast<std::uint8_t>(w >> 8);
        f[at + 1] = static_cast<std::uint8_t>(w & 0xFF);
    };
    put(0, 0x0055);
    put(2, order);
    put(4, second);
    for (std::size_t i = 0; i < words.size() && i < 15; ++i) {
        put(6 + 2 * i, words[i]);
    }
    return f;
}

} // namespace zelsim
