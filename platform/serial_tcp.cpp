// Network serial ports on QTcpSocket: "tcp://HOST:PORT" moves the bytes as they are;
// "rfc2217://HOST:PORT" reaches a serial port on a terminal server, with the line settings
// negotiated and the data framed as RFC 2217 asks (Telnet, IAC doubled).
#include "internal.h"
#include "serial.h"
#include "serial_backend.h"

#include "core/timing.h"

#include <QElapsedTimer>
#include <QTcpSocket>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>

namespace {

// Telnet (RFC 854/855) and its options.
constexpr unsigned char kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250,
                        kSe = 240;
constexpr unsigned char kOptBinary = 0, kOptSuppressGoAhead = 3, kOptComPort = 44;

// COM-PORT-OPTION commands from the client; the server answers each with its code + 100.
constexpr unsigned char kSetBaudRate = 1, kSetDataSize = 2, kSetParity = 3, kSetStopSize = 4,
                        kSetControl = 5, kPurgeData = 12;
constexpr unsigned char kServerReply = 100;
constexpr unsigned char kControlNoFlow = 1, kControlHardwareFlow = 3;
constexpr unsigned char kPurgeReceive = 1, kPurgeTransmit = 2;

enum class Scheme { Device, Tcp, Rfc2217 };

struct Address {
    Scheme scheme = Scheme::Device;
    std::string host;
    int port = 0;
};

bool IsSchemeChar(char c, bool first) {
    bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    return alpha || (!first && ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'));
}

// Splits "SCHEME://HOST:PORT"; a name without "SCHEME://" is a device path. HOST may be an
// IPv6 address in brackets.
bool ParseAddress(const std::string& device, Address& a, std::string& error) {
    a = {};
    std::size_t sep = device.find("://");
    if (sep == std::string::npos || sep == 0) {
        return true;
    }
    for (std::size_t i = 0; i < sep; ++i) {
        if (!IsSchemeChar(device[i], i == 0)) {
            return true;
        }
    }
    std::string scheme = device.substr(0, sep);
    std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    if (scheme == "tcp") {
        a.scheme = Scheme::Tcp;
    } else if (scheme == "rfc2217") {
        a.scheme = Scheme::Rfc2217;
    } else {
        error = "unknown address type '" + scheme + "://' (tcp:// or rfc2217://)";
        return false;
    }
    std::string rest = device.substr(sep + 3);
    std::size_t colon = std::string::npos;
    if (!rest.empty() && rest[0] == '[') {
        std::size_t close = rest.find(']');
        if (close != std::string::npos) {
            a.host = rest.substr(1, close - 1);
            if (close + 1 < rest.size() && rest[close + 1] == ':') {
                colon = close + 1;
            }
        }
    } else {
        colon = rest.rfind(':');
        a.host = rest.substr(0, colon == std::string::npos ? rest.size() : colon);
    }
    std::string port = colon == std::string::npos ? "" : rest.substr(colon + 1);
    bool hostOk = !a.host.empty() && a.host.find_first_of("/ []") == std::string::npos;
    if (!hostOk || colon == std::string::npos) {
        error = "expected " + scheme + "://HOST:PORT";
        return false;
    }
    long value = 0;
    bool digits =
        !port.empty() && port.size() <= 5 &&
        std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (digits) {
        value = std::stol(port);
    }
    if (!digits || value < 1 || value > 65535) {
        error = "the port must be a number from 1 to 65535";
        return false;
    }
    a.port = static_cast<int>(value);
    return true;
}

int Milliseconds(double seconds) {
    return static_cast<int>(seconds * 1000.0);
}

class TcpSerialBackend final : public SerialBackend {
  public:
    explicit TcpSerialBackend(std::string device) : device_(std::move(device)) {
        valid_ = ParseAddress(device_, address_, reason_) && address_.scheme != Scheme::Device;
        telnet_ = address_.scheme == Scheme::Rfc2217;
    }
    ~TcpSerialBackend() override { close(); }

    int open(const SerialSettings& s) override {
        if (!valid_) {
            return kComCannotOpen; // the reason says what is wrong with the address
        }
        auto sock = std::make_unique<QTcpSocket>();
        sock->connectToHost(QString::fromStdString(address_.host),
                            static_cast<quint16>(address_.port));
        if (!sock->waitForConnected(Milliseconds(kNetConnectTimeoutSec))) {
            reason_ = sock->error() == QAbstractSocket::SocketTimeoutError
                          ? "no connection within " + Seconds(kNetConnectTimeoutSec)
                          : sock->errorString().toStdString();
            sock->abort();
            return kComCannotOpen;
        }
        // Frames are small and answered at once; the delay of Nagle's algorithm would be pure loss.
        sock->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        sock_ = std::move(sock);
        if (telnet_ && !negotiate(s)) {
            sock_->abort();
            sock_.reset();
            return kComCannotOpen;
        }
        QTcpSocket* raw = sock_.get();
        QObject::connect(raw, &QTcpSocket::readyRead, [] { platform_internal::NoteActivity(); });
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
        return 0;
    }

    void close() override {
        if (!sock_) {
            return;
        }
        // Deleted at once, not later: a program that closes its ports and ends runs no event
        // loop after, and the socket must not outlive it. Safe, since the socket's signals only
        // note activity and never call back into the serial service.
        sock_->disconnect();
        sock_->close();
        sock_.reset();
    }

    bool lost() const override {
        return lost_ || !sock_ || sock_->state() != QAbstractSocket::ConnectedState;
    }

    std::string failureReason() const override {
        return reason_.empty() ? std::string() : device_ + ": " + reason_;
    }

    int write(const char* buffer, int count, double timeout, long baudRate) override {
        QByteArray out;
        if (telnet_) {
            for (int i = 0; i < count; ++i) {
                out.append(buffer[i]);
                if (static_cast<unsigned char>(buffer[i]) == kIac) {
                    out.append(static_cast<char>(kIac));
                }
            }
        } else {
            out = QByteArray(buffer, count);
        }
        if (sock_->write(out) != out.size()) {
            return kComIoError;
        }
        QElapsedTimer t;
        t.start();
        while (sock_->bytesToWrite() > 0) {
            qint64 left = Milliseconds(timeout) - t.elapsed();
            if (left <= 0 || !sock_->waitForBytesWritten(static_cast<int>(left))) {
                break;
            }
        }
        if (lost()) {
            return kComIoError;
        }
        int unsent = static_cast<int>(std::min<qint64>(count, sock_->bytesToWrite()));
        if (telnet_ && unsent == 0) {
            // The server's serial port still has the bytes to send at the line's rate. A
            // PURGE-DATA of the transmit buffer (FlushOutQ) right after would cut them off, so
            // return once they would be on the line, as a local port does.
            double line = count * 10.0 / static_cast<double>(std::max(1L, baudRate));
            double wait = std::min(line, timeout) - static_cast<double>(t.elapsed()) / 1000.0;
            if (wait > 0) {
                std::this_thread::sleep_for(std::chrono::duration<double>(wait));
            }
        }
        return count - unsent;
    }

    int read(char* buffer, int count, double timeout) override {
        QElapsedTimer t;
        t.start();
        drain();
        while (in_.size() < count) {
            qint64 left = Milliseconds(timeout) - t.elapsed();
            if (left <= 0) {
                break;
            }
            if (!sock_->waitForReadyRead(static_cast<int>(left)) && lost()) {
                return kComIoError;
            }
            drain();
        }
        int n = static_cast<int>(std::min<qsizetype>(count, in_.size()));
        std::memcpy(buffer, in_.constData(), static_cast<std::size_t>(n));
        in_.remove(0, n);
        return n;
    }

    int bytesWaiting() override {
        drain();
        return static_cast<int>(in_.size());
    }

    void flushIn() override {
        drain();
        in_.clear();
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
    static QByteArray Bytes(std::initializer_list<unsigned char> bytes) {
        QByteArray b;
        for (unsigned char c : bytes) {
            b.append(static_cast<char>(c));
        }
        return b;
    }

    static std::string Seconds(double s) {
        char text[32];
        std::snprintf(text, sizeof text, "%g s", s);
        return text;
    }

    // ---- Telnet and RFC 2217 ----

    struct Setting {
        unsigned char code;
        QByteArray value;
        bool answered = false;
        QByteArray answer{};
        const char* name() const {
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
    };

    // Sends the options we want and the line settings once the server speaks RFC 2217, and
    // waits for every setting to be confirmed.
    bool negotiate(const SerialSettings& s) {
        const auto baud = static_cast<std::uint32_t>(s.baudRate);
        want_.clear();
        want_.push_back(
            {kSetBaudRate,
             Bytes({static_cast<unsigned char>(baud >> 24), static_cast<unsigned char>(baud >> 16),
                    static_cast<unsigned char>(baud >> 8), static_cast<unsigned char>(baud)})});
        want_.push_back({kSetDataSize, Bytes({static_cast<unsigned char>(s.dataBits)})});
        // RFC 2217 counts parity from 1 (none), stop bits as they are.
        want_.push_back({kSetParity, Bytes({static_cast<unsigned char>(s.parity + 1)})});
        want_.push_back({kSetStopSize, Bytes({static_cast<unsigned char>(s.stopBits)})});
        want_.push_back({kSetControl, Bytes({kControlNoFlow})});
        askOption(kWill, kOptComPort);
        askOption(kWill, kOptBinary);
        askOption(kDo, kOptBinary);
        askOption(kWill, kOptSuppressGoAhead);
        askOption(kDo, kOptSuppressGoAhead);
        sock_->flush();

        QElapsedTimer t;
        t.start();
        bool settingsSent = false;
        for (;;) {
            drain();
            if (comPortRefused_) {
                reason_ = "the server refuses RFC 2217 (COM-PORT-OPTION)";
                return false;
            }
            if (!settingsSent && (us_[kOptComPort].on || him_[kOptComPort].on)) {
                for (const auto& w : want_) {
                    sendComPort(w.code, w.value);
                }
                settingsSent = true;
            }
            if (settingsSent && std::all_of(want_.begin(), want_.end(),
                                            [](const Setting& w) { return w.answered; })) {
                break;
            }
            qint64 left = Milliseconds(kNetNegotiationTimeoutSec) - t.elapsed();
            if (left <= 0) {
                reason_ = "no answer to the RFC 2217 negotiation within " +
                          Seconds(kNetNegotiationTimeoutSec);
                return false;
            }
            if (!sock_->waitForReadyRead(static_cast<int>(left)) &&
                sock_->state() != QAbstractSocket::ConnectedState) {
                reason_ = "the server closed the connection during the RFC 2217 negotiation";
                return false;
            }
        }
        for (const auto& w : want_) {
            if (w.answer != w.value) {
                reason_ = std::string("the server did not take the line setting ") + w.name() +
                          " " + Describe(w.code, w.value) + " (it answered " +
                          Describe(w.code, w.answer) + ")";
                return false;
            }
        }
        return true;
    }

    static std::string Describe(unsigned char code, const QByteArray& v) {
        if (code == kSetBaudRate && v.size() == 4) {
            std::uint32_t b = 0;
            for (char c : v) {
                b = b << 8 | static_cast<unsigned char>(c);
            }
            return std::to_string(b);
        }
        return v.isEmpty() ? "nothing" : std::to_string(static_cast<unsigned char>(v[0]));
    }

    void sendRaw(std::initializer_list<unsigned char> bytes) {
        sock_->write(Bytes(bytes));
        sock_->flush();
    }

    void sendComPort(unsigned char code, const QByteArray& value) {
        if (!sock_ || sock_->state() != QAbstractSocket::ConnectedState) {
            return;
        }
        QByteArray b;
        b.append(static_cast<char>(kIac)).append(static_cast<char>(kSb));
        b.append(static_cast<char>(kOptComPort)).append(static_cast<char>(code));
        for (char c : value) {
            b.append(c);
            if (static_cast<unsigned char>(c) == kIac) {
                b.append(c);
            }
        }
        b.append(static_cast<char>(kIac)).append(static_cast<char>(kSe));
        sock_->write(b);
        sock_->flush();
    }

    // Option state per side, after RFC 1143 without the queue: an option we asked for is
    // switched on by the answer, not answered again.
    struct OptionState {
        bool on = false;
        bool asked = false;
    };

    void askOption(unsigned char verb, unsigned char option) {
        OptionState& st = verb == kWill ? us_[option] : him_[option];
        st.asked = true;
        sendRaw({kIac, verb, option});
    }

    static bool Supported(unsigned char option) {
        return option == kOptBinary || option == kOptSuppressGoAhead || option == kOptComPort;
    }

    // The server's WILL/WONT (about itself) or DO/DONT (about us).
    void onOption(unsigned char verb, unsigned char option) {
        bool positive = verb == kWill || verb == kDo;
        bool aboutUs = verb == kDo || verb == kDont;
        OptionState& st = aboutUs ? us_[option] : him_[option];
        unsigned char yes = aboutUs ? kWill : kDo;
        unsigned char no = aboutUs ? kWont : kDont;
        if (st.asked) {
            st.asked = false;
            st.on = positive;
            if (!positive && option == kOptComPort && !him_[kOptComPort].on) {
                comPortRefused_ = true;
            }
            return;
        }
        if (positive && !st.on) {
            st.on = Supported(option);
            sendRaw({kIac, st.on ? yes : no, option});
        } else if (!positive && st.on) {
            st.on = false;
            sendRaw({kIac, no, option});
        }
    }

    void onSubnegotiation() {
        if (sub_.size() < 2 || static_cast<unsigned char>(sub_[0]) != kOptComPort) {
            return;
        }
        auto code = static_cast<unsigned char>(sub_[1]);
        for (auto& w : want_) {
            if (!w.answered && code == w.code + kServerReply) {
                w.answered = true;
                w.answer = sub_.mid(2);
                break;
            }
        }
        // Modem and line state notifications and purge confirmations need nothing from us.
    }

    // Takes what the socket holds: data into the input queue, Telnet commands acted on.
    void drain() {
        if (!sock_) {
            return;
        }
        QByteArray got = sock_->readAll();
        if (!telnet_) {
            in_.append(got);
            return;
        }
        for (char ch : got) {
            auto c = static_cast<unsigned char>(ch);
            switch (state_) {
            case Parse::Data:
                if (c == kIac) {
                    state_ = Parse::Iac;
                } else {
                    in_.append(ch);
                }
                break;
            case Parse::Iac:
                if (c == kIac) {
                    in_.append(ch);
                    state_ = Parse::Data;
                } else if (c == kWill || c == kWont || c == kDo || c == kDont) {
                    verb_ = c;
                    state_ = Parse::Option;
                } else if (c == kSb) {
                    sub_.clear();
                    state_ = Parse::Sub;
                } else {
                    state_ = Parse::Data; // NOP, GA and the like carry nothing for us
                }
                break;
            case Parse::Option:
                onOption(verb_, c);
                state_ = Parse::Data;
                break;
            case Parse::Sub:
                if (c == kIac) {
                    state_ = Parse::SubIac;
                } else {
                    sub_.append(ch);
                }
                break;
            case Parse::SubIac:
                if (c == kSe) {
                    onSubnegotiation();
                    state_ = Parse::Data;
                } else {
                    sub_.append(ch); // IAC IAC inside a value
                    state_ = Parse::Sub;
                }
                break;
            }
        }
    }

    enum class Parse { Data, Iac, Option, Sub, SubIac };

    std::string device_;
    Address address_;
    bool valid_ = false;
    bool telnet_ = false;
    std::unique_ptr<QTcpSocket> sock_;
    QByteArray in_; // data bytes received and not yet read
    bool lost_ = false;
    std::string reason_;

    Parse state_ = Parse::Data;
    unsigned char verb_ = 0;
    QByteArray sub_;
    std::array<OptionState, 256> us_{}, him_{};
    bool comPortRefused_ = false;
    std::vector<Setting> want_;
};

} // namespace

bool CheckPortAddress(const std::string& device, std::string& error) {
    Address a;
    return ParseAddress(device, a, error);
}

namespace platform_internal {

bool IsNetworkAddress(const std::string& device) {
    Address a;
    std::string error;
    return !ParseAddress(device, a, error) || a.scheme != Scheme::Device;
}

std::unique_ptr<SerialBackend> MakeTcpSerialBackend(const std::string& device) {
    return std::make_unique<TcpSerialBackend>(device);
}

} // namespace platform_internal
