// The system's serial devices, on QSerialPort.
#include "host/clock.h"
#include "host/pump.h"
#include "port_trouble.h"
#include "serial.h"
#include "serial_backend.h"
#include "serial_internal.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QSerialPort>

#include <algorithm>
#include <chrono>
#include <thread>

#ifndef _WIN32
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace {

int MapOpenError(QSerialPort::SerialPortError e) {
    switch (e) {
    case QSerialPort::DeviceNotFoundError:
        return kComNoSerialPort;
    case QSerialPort::PermissionError:
    case QSerialPort::OpenError:
        return kComCannotOpen;
    case QSerialPort::UnsupportedOperationError:
        return kComInvalidParameter;
    case QSerialPort::ResourceError:
    case QSerialPort::ReadError:
    case QSerialPort::WriteError:
        return kComIoError;
    case QSerialPort::TimeoutError:
        return kComTimeout;
    default:
        return kComUnknownSystemError;
    }
}

// What the system said when nothing better is known (Windows words a port another process
// holds as a sharing violation), as one short line.
std::string OpenErrorInWords(const QSerialPort& qp) {
    if (qp.error() == QSerialPort::DeviceNotFoundError) {
        return "no such device";
    }
    QString text = qp.errorString().simplified().left(120);
    while (text.endsWith('.')) {
        text.chop(1);
    }
    if (!text.isEmpty()) {
        text[0] = text[0].toLower();
    }
    return text.toStdString();
}

class QtSerialBackend final : public SerialBackend {
  public:
    explicit QtSerialBackend(std::string device) : device_(std::move(device)) {}
    ~QtSerialBackend() override { close(); }

    int open(const SerialSettings& s) override {
        trouble_.clear();
        if (!QFileInfo::exists(QString::fromStdString(device_))) {
#ifndef _WIN32
            trouble_ = DescribeOpenTrouble(device_, platform_internal::PresentSerialPaths());
            return kComNoSerialPort;
#endif
        }
        auto qp = std::make_unique<QSerialPort>();
        qp->setPortName(QString::fromStdString(device_));
        if (!qp->open(QIODevice::ReadWrite)) {
            // The port could not be had: say why, as far as the system tells.
            trouble_ = DescribeOpenTrouble(device_, platform_internal::PresentSerialPaths());
            if (trouble_.empty() && qp->error() == QSerialPort::PermissionError) {
                trouble_ = "in use by another program";
            } else if (trouble_.empty()) {
                trouble_ = OpenErrorInWords(*qp);
            }
            return MapOpenError(qp->error());
        }
        bool ok = qp->setBaudRate(static_cast<qint32>(s.baudRate)) &&
                  qp->setDataBits(static_cast<QSerialPort::DataBits>(s.dataBits)) &&
                  qp->setParity(s.parity == 0   ? QSerialPort::NoParity
                                : s.parity == 1 ? QSerialPort::OddParity
                                : s.parity == 2 ? QSerialPort::EvenParity
                                : s.parity == 3 ? QSerialPort::MarkParity
                                                : QSerialPort::SpaceParity) &&
                  qp->setStopBits(s.stopBits == 1 ? QSerialPort::OneStop : QSerialPort::TwoStop) &&
                  qp->setFlowControl(QSerialPort::NoFlowControl);
        if (!ok) {
            qp->close();
            return kComInvalidParameter;
        }
        QSerialPort* raw = qp.get();
        QObject::connect(raw, &QSerialPort::readyRead, [] { platform_internal::NoteActivity(); });
        QObject::connect(raw, &QSerialPort::errorOccurred, [this](QSerialPort::SerialPortError e) {
            if (e == QSerialPort::ResourceError) {
                // The device went away (a pulled adapter): stop watching it, so the pump does
                // not spin on a dead descriptor. The loss is reported from the pump.
                lost_ = true;
                qp_->clearError();
                qp_->close();
                platform_internal::NoteActivity();
            }
        });
        qp_ = std::move(qp);
        return 0;
    }

    std::string failureReason() const override {
        return trouble_;
    }

    void close() override {
        if (!qp_) {
            return;
        }
        // Deleting a port from inside one of its own signal handlers is unsafe; let Qt do it.
        QSerialPort* qp = qp_.release();
        qp->close();
        qp->disconnect();
        qp->deleteLater();
    }

    bool lost() const override {
        return lost_ || !qp_ || !qp_->isOpen();
    }

    int write(const char* buffer, int count, double timeout, long baudRate) override {
        qint64 n = 0;
        writtenAt_.start();
#ifndef _WIN32
        // With nothing of ours still queued, a frame goes straight to the driver. Qt's own path
        // switches its write watcher on and off for every frame, waking the event loop twice.
        // Whatever the driver does not take, or any error, is left to Qt as before.
        if (qp_->bytesToWrite() == 0 && count > 0) {
            const ssize_t direct =
                ::write(static_cast<int>(qp_->handle()), buffer, static_cast<std::size_t>(count));
            n = direct > 0 ? direct : 0;
        }
#endif
        if (n < count) {
            const qint64 rest = qp_->write(buffer + n, count - n);
            if (rest < 0) {
                return kComIoError;
            }
            n += rest;
        }
        QElapsedTimer t;
        t.start();
        while (qp_->isOpen() && qp_->bytesToWrite() > 0) {
            qint64 left = static_cast<qint64>(timeout * 1000) - t.elapsed();
            if (left <= 0 || !qp_->waitForBytesWritten(static_cast<int>(left))) {
                break;
            }
        }
        if (lost()) {
            return kComIoError;
        }
#ifndef _WIN32
        // Qt is done once the kernel has the bytes; wait until they are on the line, so that a
        // FlushOutQ right after can never cut a frame short.
        // Bounded by the port time-out: a stalled device must not hang the program.
        const qint64 baud = std::max<qint64>(1, baudRate);
        for (int queued = 0; qp_->bytesToWrite() == 0;) {
            if (::ioctl(static_cast<int>(qp_->handle()), TIOCOUTQ, &queued) != 0 || queued <= 0) {
                break;
            }
            qint64 left = static_cast<qint64>(timeout * 1000) - t.elapsed();
            if (left <= 0) {
                break;
            }
            // Half the line time of what is still queued, so the wait ends soon after the last
            // byte has gone.
            qint64 us = std::max<qint64>(100, qint64{queued} * 10 * 1000000 / baud / 2);
            std::this_thread::sleep_for(std::chrono::microseconds(std::min(left * 1000, us)));
        }
#else
        (void)baudRate;
#endif
        return static_cast<int>(n - qp_->bytesToWrite());
    }

    int read(char* buffer, int count, double timeout) override {
        QElapsedTimer t;
        t.start();
        int lowered = 0; // the wake threshold to put back
        for (bool waited = false; qp_->bytesAvailable() < count; waited = true) {
            // One read system call may take only part of what the driver holds (a terminal
            // hands over 64 bytes at a time), and the rest may be fewer than the wake threshold,
            // which then never wakes this wait: from the second wait on, wake on every byte.
            if (waited && wakeThreshold_ > 1 && lowered == 0) {
                lowered = wakeThreshold_;
                setWakeThreshold(1);
            }
            qint64 left = static_cast<qint64>(timeout * 1000) - t.elapsed();
            if (left <= 0 || !qp_->waitForReadyRead(static_cast<int>(left))) {
                break;
            }
            if (lost()) {
                return kComIoError;
            }
        }
        if (lowered > 0) {
            setWakeThreshold(lowered);
        }
        qint64 n = qp_->read(buffer, count);
        return n < 0 ? kComIoError : static_cast<int>(n);
    }

    int bytesWaiting() override {
        readDriverAgain();
        return static_cast<int>(qp_->bytesAvailable()) + kernelQueued();
    }

    // Bytes in Qt's own buffer are read at once. Bytes still in the driver come out only
    // through a wake-up, which the wake threshold holds back until that many wait there: only
    // when the driver holds at least that many does the read not wait on it.
    bool readsAtOnce(int count) override {
        readDriverAgain();
        const int own = static_cast<int>(qp_->bytesAvailable());
        if (own >= count) {
            return true;
        }
        const int driver = kernelQueued();
        return driver >= wakeThreshold_ && own + driver >= count;
    }

    void flushIn() override {
        readDriverAgain(); // what the driver holds now is purged below, not delivered later
        qp_->clear(QSerialPort::Input);
        // Qt's own buffer is emptied by clear(); drain what it already pulled in as well.
        qp_->readAll();
    }

    void flushOut() override {
#ifndef _WIN32
        // Discard only what is still ours to discard. On a pseudo-terminal the kernel's output
        // flush also drops bytes the other end has not read yet, which are already "sent".
        int queued = 0;
        if (qp_->bytesToWrite() == 0 &&
            (::ioctl(static_cast<int>(qp_->handle()), TIOCOUTQ, &queued) != 0 || queued <= 0)) {
            return;
        }
#endif
        qp_->clear(QSerialPort::Output);
    }

#ifdef _WIN32
    // While a reply may be on its way, the pump looks at the driver every few milliseconds
    // instead of trusting the character event alone (see readDriverAgain).
    bool poll(double) override {
        readDriverAgain();
        return false;
    }
    double nextDue() const override {
        constexpr qint64 kAwaitMs = 2000; // longer than any reply wait
        constexpr double kRecheckSec = 0.005;
        return qp_ && writtenAt_.isValid() && writtenAt_.elapsed() < kAwaitMs
                   ? Timer() + kRecheckSec
                   : SerialBackend::nextDue();
    }
#endif

    void setHardwareFlowControl(bool on) override {
        qp_->setFlowControl(on ? QSerialPort::HardwareControl : QSerialPort::NoFlowControl);
    }

    // The line discipline can hold back readiness until `n` bytes wait (VMIN with VTIME 0), so
    // a port with a receive callback wakes the program once per frame, not once per byte. Qt
    // resets the terminal settings whenever it changes one, so this is applied again after each
    // change.
    void setWakeThreshold(int n) override {
#ifndef _WIN32
        if (!qp_ || !qp_->isOpen()) {
            return;
        }
        int fd = static_cast<int>(qp_->handle());
        termios t{};
        if (fd < 0 || ::tcgetattr(fd, &t) != 0) {
            return;
        }
        cc_t want = static_cast<cc_t>(std::clamp(n, 1, 255));
        if (t.c_cc[VMIN] == want && t.c_cc[VTIME] == 0) {
            wakeThreshold_ = want;
            return;
        }
        t.c_cc[VMIN] = want;
        t.c_cc[VTIME] = 0;
        if (::tcsetattr(fd, TCSANOW, &t) == 0) {
            wakeThreshold_ = want;
        }
#else
        (void)n;
#endif
    }

  private:
    // Windows: Qt reads the driver when a character event fires. Wine's serial driver (and,
    // rarely, a real one) can miss the event for bytes that arrive while Qt re-arms its wait;
    // they would then sit in the driver until more came. Looking past what Qt holds makes Qt
    // read the driver again, at once and without blocking.
    void readDriverAgain() {
#ifdef _WIN32
        if (qp_ && qp_->isOpen()) {
            qp_->peek(qp_->bytesAvailable() + 1);
        }
#endif
    }

    // Bytes the driver holds that Qt has not read yet.
    int kernelQueued() {
#ifndef _WIN32
        int n = 0;
        if (qp_ && qp_->isOpen() && ::ioctl(static_cast<int>(qp_->handle()), FIONREAD, &n) == 0) {
            return n;
        }
#endif
        return 0;
    }

    std::string device_;
    std::string trouble_; // why the last open failed, in words
    std::unique_ptr<QSerialPort> qp_;
    bool lost_ = false;
    int wakeThreshold_ = 1;   // VMIN as last set
    QElapsedTimer writtenAt_; // the last request went out then
};

} // namespace

namespace platform_internal {
std::unique_ptr<SerialBackend> MakeQtSerialBackend(const std::string& device) {
    return std::make_unique<QtSerialBackend>(device);
}
} // namespace platform_internal
