// zel-sensor-sim on Windows: serves the simulated sensor on a TCP port (Winsock), paced like
// the real RS-232 line, until Ctrl-C, Ctrl-Break, the console closing or a simulated unplug.
// A COM port is a device on Windows, not something a program can create, so there is no
// terminal front end here; the programs reach the sensor as tcp://HOST:PORT.
#include "cli.h"
#include "engine.h"
#include "pacer.h"
#include "rfc2217.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#ifndef ZEL_VERSION
#define ZEL_VERSION "dev"
#endif

namespace {

using zelsim::CommandLine;
using zelsim::Engine;

// The loop wakes at least this often to see a stop request.
constexpr double kStopCheckSec = 0.05;

std::atomic<bool> g_stop{false};

BOOL WINAPI OnConsoleEvent(DWORD) {
    g_stop = true;
    return TRUE;
}

double Monotonic() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string SocketError(int code) {
    char text[256] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    std::string s(text);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == '.')) {
        s.pop_back();
    }
    return s.empty() ? "error " + std::to_string(code) : s;
}

class Server {
  public:
    explicit Server(CommandLine cl)
        : cl_(std::move(cl)), engine_(cl_.options), line_(cl_.options.baud, cl_.options.fifo) {}
    ~Server() { closeAll(); }

    bool listen(std::string& err);
    const std::string& address() const { return address_; }
    Engine& engine() { return engine_; }
    void run();
    bool finish();

  private:
    void accept();
    void dropClient();
    void sendToClient();
    void receive(double now);
    void transmit(double now);
    void closeAll();

    CommandLine cl_;
    Engine engine_;
    SOCKET listen_ = INVALID_SOCKET;
    SOCKET client_ = INVALID_SOCKET;
    std::string address_;
    std::unique_ptr<zelsim::Rfc2217Server> telnet_;
    std::vector<std::uint8_t> toClient_;
    zelsim::LinePacer line_; // when each byte is on the line, either way
};

bool Server::listen(std::string& err) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(cl_.tcpPort);
    if (const int r = getaddrinfo(cl_.tcpHost.c_str(), port.c_str(), &hints, &found); r != 0) {
        err = cl_.tcpHost + ": " + SocketError(r);
        return false;
    }
    for (addrinfo* a = found; a && listen_ == INVALID_SOCKET; a = a->ai_next) {
        SOCKET s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s == INVALID_SOCKET) {
            continue;
        }
        // Another program must not take the port from under us (Windows' SO_REUSEADDR would
        // allow exactly that).
        const BOOL one = TRUE;
        setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one),
                   sizeof one);
        if (bind(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0 && ::listen(s, 4) == 0) {
            listen_ = s;
        } else {
            err = cl_.tcpHost + ":" + port + ": " + SocketError(WSAGetLastError());
            closesocket(s);
        }
    }
    freeaddrinfo(found);
    if (listen_ == INVALID_SOCKET) {
        return false;
    }
    u_long nonBlocking = 1;
    ioctlsocket(listen_, FIONBIO, &nonBlocking);
    sockaddr_storage bound{};
    int len = sizeof bound;
    getsockname(listen_, reinterpret_cast<sockaddr*>(&bound), &len);
    const int taken =
        ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                          : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    address_ = zelsim::servedAddress(cl_, taken);
    return true;
}

// One client at a time, as a serial port has one user: a second is closed at once.
void Server::accept() {
    SOCKET s = ::accept(listen_, nullptr, nullptr);
    if (s == INVALID_SOCKET) {
        return;
    }
    if (client_ != INVALID_SOCKET) {
        closesocket(s);
        return;
    }
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    const BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    client_ = s;
    if (cl_.rfc2217) {
        telnet_ = std::make_unique<zelsim::Rfc2217Server>(
            static_cast<std::uint32_t>(cl_.options.baud > 0 ? cl_.options.baud : 19200));
    }
}

// The client went away: what was on the line for it is gone with it.
void Server::dropClient() {
    if (client_ != INVALID_SOCKET) {
        closesocket(client_);
    }
    client_ = INVALID_SOCKET;
    telnet_.reset();
    line_.clear();
    toClient_.clear();
}

void Server::sendToClient() {
    while (client_ != INVALID_SOCKET && !toClient_.empty()) {
        const int chunk = static_cast<int>(std::min<std::size_t>(toClient_.size(), 65536));
        const int w = send(client_, reinterpret_cast<const char*>(toClient_.data()), chunk, 0);
        if (w == SOCKET_ERROR) {
            if (WSAGetLastError() != WSAEWOULDBLOCK) {
                dropClient();
            }
            return;
        }
        toClient_.erase(toClient_.begin(), toClient_.begin() + w);
    }
}

void Server::receive(double now) {
    char raw[4096];
    while (client_ != INVALID_SOCKET) {
        const int n = recv(client_, raw, sizeof raw, 0);
        if (n == 0 || (n == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK)) {
            dropClient();
            return;
        }
        if (n < 0) {
            return;
        }
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(raw);
        std::vector<std::uint8_t> data(bytes, bytes + n);
        if (telnet_) {
            data = telnet_->feed(bytes, static_cast<std::size_t>(n), toClient_);
            sendToClient();
        }
        line_.fromClient(data.data(), data.size(), now);
    }
}

void Server::transmit(double now) {
    std::uint8_t buf[512];
    const std::size_t n = line_.dueToClient(now, buf, sizeof buf);
    if (n == 0) {
        return;
    }
    if (telnet_) {
        zelsim::Rfc2217Server::escape(buf, n, toClient_);
    } else {
        toClient_.insert(toClient_.end(), buf, buf + n);
    }
    line_.sent(n);
    sendToClient();
}

void Server::run() {
    while (!g_stop) {
        double now = Monotonic();
        line_.feedSensor(engine_, now);
        transmit(now);
        if (line_.unplugDue()) {
            // The last reply goes out before the connection closes.
            const double end = Monotonic() + 0.5;
            while (client_ != INVALID_SOCKET && !toClient_.empty() && Monotonic() < end) {
                sendToClient();
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            if (client_ != INVALID_SOCKET) {
                shutdown(client_, SD_SEND);
            }
            return;
        }

        double wait = kStopCheckSec;
        for (const double due : {line_.nextToSensor(), line_.nextToClient()}) {
            if (due >= 0) {
                wait = std::min(wait, due - now);
            }
        }
        wait = std::max(wait, 0.0);
        fd_set readable;
        fd_set writable;
        FD_ZERO(&readable);
        FD_ZERO(&writable);
        FD_SET(listen_, &readable);
        if (client_ != INVALID_SOCKET) {
            FD_SET(client_, &readable);
            if (!toClient_.empty()) {
                FD_SET(client_, &writable);
            }
        }
        timeval tv{};
        tv.tv_sec = static_cast<long>(wait);
        tv.tv_usec = static_cast<long>((wait - static_cast<double>(tv.tv_sec)) * 1e6);
        if (select(0, &readable, &writable, nullptr, &tv) == SOCKET_ERROR) {
            std::fprintf(stderr, "zel-sensor-sim: %s\n", SocketError(WSAGetLastError()).c_str());
            return;
        }
        now = Monotonic();
        if (client_ != INVALID_SOCKET && FD_ISSET(client_, &writable)) {
            sendToClient();
        }
        if (client_ != INVALID_SOCKET && FD_ISSET(client_, &readable)) {
            receive(now);
        }
        if (FD_ISSET(listen_, &readable)) {
            accept();
        }
    }
}

void Server::closeAll() {
    dropClient();
    if (listen_ != INVALID_SOCKET) {
        closesocket(listen_);
    }
    listen_ = INVALID_SOCKET;
}

bool Server::finish() {
    closeAll();
    bool ok = true;
    std::string err;
    if (!cl_.stateFile.empty() && !engine_.model().saveState(cl_.stateFile, err)) {
        std::fprintf(stderr, "zel-sensor-sim: state: %s\n", err.c_str());
        ok = false;
    }
    if (!cl_.flashDumpFile.empty() && !engine_.model().writeFlashDump(cl_.flashDumpFile, err)) {
        std::fprintf(stderr, "zel-sensor-sim: flash dump: %s\n", err.c_str());
        ok = false;
    }
    return ok;
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
        std::fputs("\nOn Windows the sensor is served on a TCP port only (--tcp HOST:PORT).\n",
                   stdout);
        return 0;
    }
    if (cl.version) {
        std::printf("zel-sensor-sim %s\n", ZEL_VERSION);
        return 0;
    }
    if (cl.tcpPort < 0) {
        std::fprintf(stderr, "zel-sensor-sim: on Windows the sensor is served on a TCP port "
                             "only: give --tcp HOST:PORT (e.g. --tcp 127.0.0.1:0)\n");
        return 2;
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

    WSADATA wsa{};
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
        std::fprintf(stderr, "zel-sensor-sim: Winsock is not available\n");
        return 1;
    }
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    if (!server.listen(err)) {
        std::fprintf(stderr, "zel-sensor-sim: %s\n", err.c_str());
        WSACleanup();
        return 1;
    }
    server.engine().setEpoch(Monotonic());
    std::printf("%s\n", server.address().c_str());
    std::fflush(stdout);

    server.run();
    bool ok = server.finish();
    server.engine().flushLog();
    server.engine().setLog(nullptr);
    if (log && std::fclose(log) != 0) {
        std::fprintf(stderr, "zel-sensor-sim: %s: %s\n", cl.logFile.c_str(), std::strerror(errno));
        ok = false;
    }
    WSACleanup();
    return ok ? 0 : 1;
}
