// Network serial ports on QTcpSocket: "tcp://HOST:PORT" moves the bytes as they are;
// "rfc2217://HOST:PORT" reaches a serial port on a terminal server, with the line settings
// negotiated and the data framed as RFC 2217 asks (Telnet, IAC doubled).
#include "host/clock.h"
#include "host/pump.h"
#include "net_address.h"
#include "net_connect.h"
#include "serial.h"
#include "serial_backend.h"
#include "serial_internal.h"
#include "telnet_codec.h"

#include "core/timing.h"

#include <QElapsedTimer>
#include <QTcpSocket>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace {

using namespace telnet;

// What Qt may hold of a peer's bytes between two drains, and of ours before the peer takes
// them: past that the peer floods or does not read, and the port is lost.
constexpr qint64 kSocketBufferBytes = 64 * 1024;
constexpr qint64 kMaxWriteBacklogBytes = 64 * 1024;
using platform_internal::Address;
using platform_internal::ParseAddress;
using platform_internal::Scheme;

int Milliseconds(double seconds) {
    return static_cast<int>(seconds * 1000.0);
}

std::string Bytes(std::initializer_list<unsigned char> bytes) {
    std::string b;
    for (unsigned char c : bytes) {
        b.push_back(static_cast<char>(c));
    }
    return b;
}

class TcpSerialBackend final : public SerialBackend {
  public:
    explicit TcpSerialBackend(std::string device) : device_(std::move(device)), codec_(false) {
        valid_ = ParseAddress(device_, address_, reason_) && address_.scheme != Scheme::Device;
        telnet_ = address_.scheme == Scheme::Rfc2217;
        codec_ = TelnetCodec(telnet_);
    }
    ~TcpSerialBackend() override { close(); }

    int open(const SerialSettings& s) override {
        if (!valid_) {
            return kComCannotOpen; // the reason says what is wrong with the address
        }
        platform_internal::NetConnection c =
            platform_internal::NetConnect(address_.host, address_.port, kNetConnectTimeoutSec);
        if (!c.socket) {
            reason_ = c.reason;
            return kComCannotOpen;
        }
        sock_ = std::move(c.socket);
        // Frames are small and answered at once; the delay of Nagle's algorithm would be pure loss.
        sock_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        sock_->setReadBufferSize(kSocketBufferBytes);
        QTcpSocket* raw = sock_.get();
        // The peer's bytes are taken as they come, so what Qt holds stays bounded however fast
        // they come; what is past the input queue is dropped and counted.
        QObject::connect(raw, &QTcpSocket::readyRead, [this] {
            drain();
            platform_internal::NoteActivity();
        });
        QObject::connect(raw, &QTcpSocket::bytesWritten, [this] {
            if (sock_ && sock_->bytesToWrite() == 0) {
                backlogSince_ = 0;
            }
        });
        // The peer going away is what a pulled adapter is for a serial port: reported as a loss,
        // from the pump.
        QObject::connect(raw, &QTcpSocket::disconnected, [this] {
            lost_ = true;
            platform_internal::NoteActivity();
        });
        QObject::connect(raw, &QTcpSocket::errorOccurred, [this](QAbstractSocket::SocketError) {
            if (sock_ && sock_->state() != QAbstractSocket::ConnectedState) {
                lost_ = true;
                platform_internal::NoteActivity();
            }
        });
        drain(); // what the server sent before the port was ours
        if (telnet_ && !negotiate(s)) {
            close();
            return kComCannotOpen;
        }
        return 0;
    }

    void close() override {
        if (!sock_) {
            return;
        }
        // Deleted at once, not later: a program that closes its ports and ends runs no event
        // loop after, and the socket must not outlive it. Safe, since the socket's signals only
        // touch this backend and never call back into the serial service.
        sock_->disconnect();
        sock_->close();
        sock_.reset();
    }

    bool lost() const override {
        return lost_ || !sock_ || sock_->state() != QAbstractSocket::ConnectedState ||
               (backlogSince_ > 0 && platform_internal::SteadyNow() - backlogSince_ > timeout_);
    }

    std::string failureReason() const override {
        return reason_.empty() ? std::string() : device_ + ": " + reason_;
    }

    long long discardedInput() const override { return codec_.discarded(); }

    std::string lossReason() const override {
        if (codec_.broken()) {
            return codec_.brokenReason();
        }
        if (backlogLost_ ||
            (backlogSince_ > 0 && platform_internal::SteadyNow() - backlogSince_ > timeout_)) {
            return "the server does not take what is sent";
        }
        return {};
    }

    int write(const char* buffer, int count, double timeout, long baudRate) override {
        timeout_ = timeout;
        if (lost()) {
            return kComIoError;
        }
        const std::string out = codec_.encodeData(buffer, static_cast<std::size_t>(count));
        if (sock_->write(out.data(), static_cast<qint64>(out.size())) !=
            static_cast<qint64>(out.size())) {
            return kComIoError;
        }
        sock_->flush();
        noteBacklog();
        if (lost()) {
            return kComIoError;
        }
        if (telnet_) {
            // The server's serial port sends the bytes at the line's rate once it has them.
            // Until then they count as queued, so a purge of its transmit buffer (FlushOutQ)
            // never cuts a request short, and nobody waits for them to leave.
            const double now = Timer();
            lineBaud_ = std::max(1L, baudRate);
            lineFreeAt_ =
                std::max(now, lineFreeAt_) + count * 10.0 / static_cast<double>(lineBaud_);
        }
        return count;
    }

    int outputQueued() override {
        const double left = telnet_ ? lineFreeAt_ - Timer() : 0.0;
        return left > 0 ? static_cast<int>(std::ceil(left * static_cast<double>(lineBaud_) / 10.0))
                        : 0;
    }

    int read(char* buffer, int count, double timeout) override {
        QElapsedTimer t;
        t.start();
        drain();
        while (codec_.waiting() < static_cast<std::size_t>(count)) {
            qint64 left = Milliseconds(timeout) - t.elapsed();
            if (left <= 0) {
                break;
            }
            if (lost()) {
                return kComIoError;
            }
            if (!sock_->waitForReadyRead(static_cast<int>(left)) && lost()) {
                return kComIoError;
            }
            drain();
        }
        return static_cast<int>(codec_.take(buffer, static_cast<std::size_t>(count)));
    }

    int bytesWaiting() override {
        drain();
        return static_cast<int>(codec_.waiting());
    }

    void flushIn() override {
        drain();
        codec_.clearInput();
        if (telnet_) {
            sendComPort(kPurgeData, Bytes({kPurgeReceive}));
        }
    }

    void flushOut() override {
        if (telnet_) {
            sendComPort(kPurgeData, Bytes({kPurgeTransmit}));
        }
    }

    void setHardwareFlowControl(bool on) override {
        if (telnet_) {
            sendComPort(kSetControl, Bytes({on ? kControlHardwareFlow : kControlNoFlow}));
        }
    }

  private:
    // Sends the options we want and the line settings once the server speaks RFC 2217, and
    // waits for every setting to be confirmed, with events running meanwhile.
    bool negotiate(const SerialSettings& s) {
        const auto baud = static_cast<std::uint32_t>(s.baudRate);
        codec_.expectSetting(
            kSetBaudRate,
            Bytes({static_cast<unsigned char>(baud >> 24), static_cast<unsigned char>(baud >> 16),
                   static_cast<unsigned char>(baud >> 8), static_cast<unsigned char>(baud)}));
        codec_.expectSetting(kSetDataSize, Bytes({static_cast<unsigned char>(s.dataBits)}));
        // RFC 2217 counts parity from 1 (none), stop bits as they are.
        codec_.expectSetting(kSetParity, Bytes({static_cast<unsigned char>(s.parity + 1)}));
        codec_.expectSetting(kSetStopSize, Bytes({static_cast<unsigned char>(s.stopBits)}));
        codec_.expectSetting(kSetControl, Bytes({kControlNoFlow}));
        codec_.askOption(kWill, kOptComPort);
        codec_.askOption(kWill, kOptBinary);
        codec_.askOption(kDo, kOptBinary);
        codec_.askOption(kWill, kOptSuppressGoAhead);
        codec_.askOption(kDo, kOptSuppressGoAhead);
        sendOutgoing();

        const double deadline = platform_internal::SteadyNow() + kNetNegotiationTimeoutSec;
        for (;;) {
            drain();
            if (codec_.broken()) {
                reason_ = codec_.brokenReason();
                return false;
            }
            if (codec_.comPortRefused()) {
                reason_ = "the server refuses RFC 2217 (COM-PORT-OPTION)";
                return false;
            }
            if (codec_.sendSettingsWhenReady()) {
                sendOutgoing();
            }
            if (codec_.allSettingsAnswered()) {
                break;
            }
            if (!sock_ || sock_->state() != QAbstractSocket::ConnectedState || lost_) {
                reason_ = "the server closed the connection during the RFC 2217 negotiation";
                return false;
            }
            if (lost()) {
                reason_ = "the server does not take what is sent";
                return false;
            }
            if (platform_internal::SteadyNow() >= deadline) {
                reason_ = "no answer to the RFC 2217 negotiation within " +
                          platform_internal::SecondsText(kNetNegotiationTimeoutSec);
                return false;
            }
            ProcessSystemEventsUntil(Timer() + 0.01);
        }
        unsigned char code = 0;
        std::string wanted, answered;
        if (codec_.settingRefused(code, wanted, answered)) {
            reason_ = std::string("the server did not take the line setting ") + Name(code) + " " +
                      Describe(code, wanted) + " (it answered " + Describe(code, answered) + ")";
            return false;
        }
        return true;
    }

    static const char* Name(unsigned char code) {
        switch (code) {
        case kSetBaudRate:
            return "baud rate";
        case kSetDataSize:
            return "data bits";
        case kSetParity:
            return "parity";
        case kSetStopSize:
            return "stop bits";
        default:
            return "flow control";
        }
    }

    static std::string Describe(unsigned char code, const std::string& v) {
        if (code == kSetBaudRate && v.size() == 4) {
            std::uint32_t b = 0;
            for (char c : v) {
                b = b << 8 | static_cast<unsigned char>(c);
            }
            return std::to_string(b);
        }
        return v.empty() ? "nothing" : std::to_string(static_cast<unsigned char>(v[0]));
    }

    void sendComPort(unsigned char code, const std::string& value) {
        if (!sock_ || sock_->state() != QAbstractSocket::ConnectedState) {
            return;
        }
        codec_.sendComPort(code, value);
        sendOutgoing();
    }

    // Hands the codec's answers to the socket.
    void sendOutgoing() {
        if (!sock_ || codec_.outgoingSize() == 0) {
            return;
        }
        const std::string out = codec_.takeOutgoing();
        sock_->write(out.data(), static_cast<qint64>(out.size()));
        sock_->flush();
        noteBacklog();
    }

    // A backlog that does not drain within the port's time-out, or grows past its bound, is a
    // peer that does not read: the port is lost rather than the memory.
    void noteBacklog() {
        if (!sock_) {
            return;
        }
        const qint64 backlog = sock_->bytesToWrite();
        if (backlog == 0) {
            backlogSince_ = 0;
        } else if (backlogSince_ == 0) {
            backlogSince_ = platform_internal::SteadyNow();
        }
        if (backlog > kMaxWriteBacklogBytes && !lost_) {
            lost_ = true;
            backlogLost_ = true;
            platform_internal::NoteActivity();
        }
    }

    // Takes what the socket holds, at most one buffer's worth per call so a flood cannot hold
    // the thread: data into the input queue, Telnet commands acted on and answered.
    void drain() {
        if (!sock_) {
            return;
        }
        char chunk[4096];
        for (qint64 budget = kSocketBufferBytes; budget > 0 && sock_->bytesAvailable() > 0;) {
            const qint64 n =
                sock_->read(chunk, std::min<qint64>(budget, static_cast<qint64>(sizeof chunk)));
            if (n <= 0) {
                break;
            }
            codec_.feed(chunk, static_cast<std::size_t>(n));
            budget -= n;
        }
        sendOutgoing();
        if (codec_.broken() && !lost_) {
            lost_ = true; // a peer that breaks the protocol is a port gone, not one to wait on
            platform_internal::NoteActivity();
        }
    }

    std::string device_;
    Address address_;
    bool valid_ = false;
    bool telnet_ = false;
    std::unique_ptr<QTcpSocket> sock_;
    TelnetCodec codec_;
    bool lost_ = false;
    double backlogSince_ = 0;
    bool backlogLost_ = false;
    double timeout_ = kReplyTimeoutSec;
    double lineFreeAt_ = 0; // Timer() when the server's line will have sent what we wrote
    long lineBaud_ = 19200;
    std::string reason_;
};

} // namespace

namespace platform_internal {

std::unique_ptr<SerialBackend> MakeTcpSerialBackend(const std::string& device) {
    return std::make_unique<TcpSerialBackend>(device);
}

bool NetPortReachable(const std::string& device) {
    Address a;
    std::string error;
    return ParseAddress(device, a, error) && a.scheme != Scheme::Device &&
           NetReachable(a.host, a.port, kNetConnectTimeoutSec);
}

bool NetPortOpenPending(const std::string& device) {
    Address a;
    std::string error;
    return ParseAddress(device, a, error) && a.scheme != Scheme::Device &&
           NetAttemptPending(a.host, a.port);
}

void StartNetPortOpen(const std::string& device) {
    Address a;
    std::string error;
    if (ParseAddress(device, a, error) && a.scheme != Scheme::Device) {
        StartNetConnect(a.host, a.port, kNetConnectTimeoutSec);
    }
}

} // namespace platform_internal
