#include "net_connect.h"

#include "host/clean_text.h"
#include "host/clock.h"
#include "host/pump.h"
#include "net_lookup.h"
#include "serial_internal.h"
#include "telnet_codec.h"

#include <QHostAddress>
#include <QTcpSocket>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>

namespace platform_internal {
namespace {

// A connection made in the background and not taken is dropped after this long; a failure
// kept for the opens of one batch, too.
constexpr double kKeptConnectionSec = 10.0;
constexpr double kKeptFailureSec = 5.0;
constexpr double kFirstBackoffSec = 1.0;
constexpr double kLongestBackoffSec = 16.0;

std::string Clean(const QString& text) {
    return CleanName(text.toStdString());
}

struct Attempt {
    enum class State { Looking, Connecting, Connected, Failed };
    std::string host;
    int port = 0;
    double limit = 0;
    double deadline = 0;
    double finished = 0;
    State state = State::Looking;
    std::shared_ptr<HostLookup> lookup;
    std::vector<std::string> addresses;
    std::size_t next = 0;
    std::unique_ptr<QTcpSocket> socket;
    std::string reason;
    bool background = false; // started by a batch or a presence check: its outcome is kept

    bool final() const { return state == State::Connected || state == State::Failed; }

    void fail(std::string why) {
        if (socket) {
            socket->disconnect();
            socket->abort();
            socket.reset();
        }
        reason = std::move(why);
        state = State::Failed;
        finished = SteadyNow();
    }

    void connectNext() {
        if (next >= addresses.size()) {
            return fail(reason.empty() ? "host not found" : reason);
        }
        if (socket) {
            socket->disconnect();
            socket->abort();
        }
        socket = std::make_unique<QTcpSocket>();
        // Bytes a server sends before the port is taken wait in a bounded buffer.
        socket->setReadBufferSize(static_cast<qint64>(kNetInputQueueBytes) * 16);
        QObject::connect(socket.get(), &QTcpSocket::connected, [] { NoteActivity(); });
        QObject::connect(socket.get(), &QTcpSocket::errorOccurred,
                         [](QAbstractSocket::SocketError) { NoteActivity(); });
        socket->connectToHost(QHostAddress(QString::fromStdString(addresses[next++])),
                              static_cast<quint16>(port));
        state = State::Connecting;
    }

    void start() {
        deadline = SteadyNow() + limit;
        if (QHostAddress literal; literal.setAddress(QString::fromStdString(host))) {
            addresses = {host};
            connectNext();
            return;
        }
        std::string error;
        lookup = StartHostLookup(host, error);
        if (!lookup) {
            fail(error);
            return;
        }
        state = State::Looking;
    }

    void step() {
        const double now = SteadyNow();
        if (state == State::Looking) {
            if (lookup->done()) {
                addresses = lookup->addresses();
                reason = lookup->error();
                lookup.reset();
                connectNext();
            } else if (now >= deadline) {
                lookup.reset(); // the lookup's thread ends on its own; its answer is not needed
                fail("no answer from the name server within " + SecondsText(limit));
            }
            return;
        }
        if (state != State::Connecting) {
            return;
        }
        switch (socket->state()) {
        case QAbstractSocket::ConnectedState:
            state = State::Connected;
            finished = now;
            return;
        case QAbstractSocket::UnconnectedState:
            reason = Clean(socket->errorString());
            if (next < addresses.size()) {
                connectNext();
            } else {
                fail(reason);
            }
            return;
        default:
            if (now >= deadline) {
                fail("no connection within " + SecondsText(limit));
            }
            return;
        }
    }
};

struct Backoff {
    double nextTry = 0;
    double wait = kFirstBackoffSec;
};

struct State {
    std::map<std::string, std::shared_ptr<Attempt>> attempts;
    std::map<std::string, Backoff> backoff;
};

// Never destroyed: sockets must not be torn down after the application object at exit;
// ForgetNetAttempts empties it while the run-time is still up.
State& S() {
    static State* s = new State;
    return *s;
}

std::string Key(const std::string& host, int port) {
    return host + "\n" + std::to_string(port);
}

// Drops kept connections nobody took and connections the server closed meanwhile.
void Sweep() {
    const double now = SteadyNow();
    auto& attempts = S().attempts;
    for (auto it = attempts.begin(); it != attempts.end();) {
        Attempt& a = *it->second;
        const bool stale =
            (a.state == Attempt::State::Connected &&
             (now - a.finished > kKeptConnectionSec || !a.socket ||
              a.socket->state() != QAbstractSocket::ConnectedState)) ||
            (a.state == Attempt::State::Failed && now - a.finished > kKeptFailureSec);
        it = stale ? attempts.erase(it) : std::next(it);
    }
}

std::shared_ptr<Attempt> Begin(const std::string& host, int port, double limit, bool background) {
    auto a = std::make_shared<Attempt>();
    a->host = host;
    a->port = port;
    a->limit = limit;
    a->background = background;
    a->start();
    return a;
}

} // namespace

double SteadyNow() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::string SecondsText(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", s);
    return text;
}

NetConnection NetConnect(const std::string& host, int port, double limit) {
    Sweep();
    const std::string key = Key(host, port);
    auto& attempts = S().attempts;
    std::shared_ptr<Attempt> a;
    if (auto it = attempts.find(key); it != attempts.end()) {
        a = it->second;
    } else {
        a = Begin(host, port, limit, false);
        attempts[key] = a;
    }
    // Held by this wait: a nested call may drop the table's entry meanwhile.
    for (a->step(); !a->final(); a->step()) {
        ProcessSystemEventsUntil(Timer() + 0.01);
    }
    NetConnection c;
    if (a->state == Attempt::State::Connected && a->socket) {
        a->socket->disconnect();
        c.socket = std::move(a->socket);
    } else {
        c.reason = a->state == Attempt::State::Connected ? "the connection was taken meanwhile"
                                                         : a->reason;
    }
    auto it = attempts.find(key);
    const bool keepFailure = a->background && a->state == Attempt::State::Failed;
    if (it != attempts.end() && it->second == a && !keepFailure) {
        attempts.erase(it);
    }
    if (c.socket) {
        S().backoff.erase(key);
    }
    return c;
}

void StartNetConnect(const std::string& host, int port, double limit) {
    Sweep();
    const std::string key = Key(host, port);
    auto& attempts = S().attempts;
    if (auto it = attempts.find(key); it == attempts.end() || it->second->final()) {
        attempts[key] = Begin(host, port, limit, true);
    }
}

bool NetAttemptPending(const std::string& host, int port) {
    auto& attempts = S().attempts;
    auto it = attempts.find(Key(host, port));
    if (it == attempts.end()) {
        return false;
    }
    it->second->step();
    return !it->second->final();
}

void EndNetBatch() {
    auto& attempts = S().attempts;
    for (auto it = attempts.begin(); it != attempts.end();) {
        it = it->second->background && it->second->final() ? attempts.erase(it) : std::next(it);
    }
}

bool NetReachable(const std::string& host, int port, double limit) {
    Sweep();
    const std::string key = Key(host, port);
    auto& attempts = S().attempts;
    Backoff& b = S().backoff[key];
    if (auto it = attempts.find(key); it != attempts.end()) {
        Attempt& a = *it->second;
        a.step();
        if (a.state == Attempt::State::Connected) {
            b = Backoff{};
            return true; // kept for the open that follows
        }
        if (a.state == Attempt::State::Failed) {
            attempts.erase(it);
            b.nextTry = SteadyNow() + b.wait;
            b.wait = std::min(kLongestBackoffSec, b.wait * 2);
        }
        return false;
    }
    if (SteadyNow() >= b.nextTry) {
        attempts[key] = Begin(host, port, limit, true);
    }
    return false;
}

void ForgetNetAttempts() {
    S().attempts.clear();
    S().backoff.clear();
}

} // namespace platform_internal
