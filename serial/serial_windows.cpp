// The system's serial devices on Windows: QSerialPort, used as it is.
#include "host/clock.h"
#include "host/pump.h"
#include "port_trouble.h"
#include "serial.h"
#include "serial_backend.h"
#include "serial_internal.h"

#include <QElapsedTimer>
#include <QSerialPort>

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

    std::string failureReason() const override { return trouble_; }

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

    bool lost() const override { return lost_ || !qp_ || !qp_->isOpen(); }

    int write(const char* buffer, int count, double timeout, long) override {
        writtenAt_.start();
        const qint64 n = qp_->write(buffer, count);
        if (n < 0) {
            return kComIoError;
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
        return static_cast<int>(n - qp_->bytesToWrite());
    }

    int read(char* buffer, int count, double timeout) override {
        QElapsedTimer t;
        t.start();
        while (qp_->bytesAvailable() < count) {
            qint64 left = static_cast<qint64>(timeout * 1000) - t.elapsed();
            if (left <= 0 || !qp_->waitForReadyRead(static_cast<int>(left))) {
                break;
            }
            if (lost()) {
                return kComIoError;
            }
        }
        qint64 n = qp_->read(buffer, count);
        return n < 0 ? kComIoError : static_cast<int>(n);
    }

    int bytesWaiting() override {
        readDriverAgain();
        return static_cast<int>(qp_->bytesAvailable());
    }

    void flushIn() override {
        readDriverAgain(); // what the driver holds now is purged below, not delivered later
        qp_->clear(QSerialPort::Input);
        // Qt's own buffer is emptied by clear(); drain what it already pulled in as well.
        qp_->readAll();
    }

    void flushOut() override { qp_->clear(QSerialPort::Output); }

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

    void setHardwareFlowControl(bool on) override {
        qp_->setFlowControl(on ? QSerialPort::HardwareControl : QSerialPort::NoFlowControl);
    }

  private:
    // Windows: Qt reads the driver when a character event fires. Wine's serial driver (and,
    // rarely, a real one) can miss the event for bytes that arrive while Qt re-arms its wait;
    // they would then sit in the driver until more came. Looking past what Qt holds makes Qt
    // read the driver again, at once and without blocking.
    void readDriverAgain() {
        if (qp_ && qp_->isOpen()) {
            qp_->peek(qp_->bytesAvailable() + 1);
        }
    }

    std::string device_;
    std::string trouble_; // why the last open failed, in words
    std::unique_ptr<QSerialPort> qp_;
    bool lost_ = false;
    QElapsedTimer writtenAt_; // the last request went out then
};

} // namespace

namespace platform_internal {
std::unique_ptr<SerialBackend> MakeSystemSerialBackend(const std::string& device) {
    return std::make_unique<QtSerialBackend>(device);
}
} // namespace platform_internal
