// Serial ports on QSerialPort, or on in-memory devices for tests.
#include "serial.h"

#include "internal.h"
#include "memserial.h"
#include "testing.h"
#include "ui.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSerialPort>
#include <QSerialPortInfo>

#include <algorithm>
#include <cstring>

#ifndef _WIN32
#include <sys/ioctl.h>
#include <termios.h>
#endif
#include <limits>
#include <map>
#include <memory>
#include <thread>

namespace {

struct Port {
    std::unique_ptr<QSerialPort> qt; // real port, or null
    MemorySerialDevice* mem = nullptr;
    double timeout = 5.0;
    int mask = 0;
    int notifyCount = 0;
    ComCallbackPtr callback = nullptr;
    void* callbackData = nullptr;
    bool inCallback = false;
    bool lost = false; // the device went away while open
};

std::map<int, Port>& Ports() {
    static std::map<int, Port> ports;
    return ports;
}
std::map<int, std::string>& Bindings() {
    static std::map<int, std::string> b;
    return b;
}
std::map<int, MemorySerialDevice*>& MemDevices() {
    static std::map<int, MemorySerialDevice*> m;
    return m;
}

Port* OpenPort(int port) {
    auto it = Ports().find(port);
    if (it == Ports().end()) {
        return nullptr;
    }
    Port& p = it->second;
    if (p.qt && (!p.qt->isOpen() || p.lost)) {
        return nullptr;
    }
    return &p;
}

std::string DefaultDevice(int port) {
#ifdef _WIN32
    return "COM" + std::to_string(port);
#else
    return "/dev/ttyS" + std::to_string(port - 1);
#endif
}

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

// Real-clock wait for a memory device's bytes; the virtual clock jumps instead.
void WaitMemory(MemorySerialDevice* dev, std::size_t want, double deadline) {
    for (;;) {
        double now = Timer();
        dev->deliverDue(now);
        if (dev->available() >= want || now >= deadline) {
            return;
        }
        double next = std::min(deadline, dev->nextDue());
        if (next >= std::numeric_limits<double>::max() / 2) {
            next = deadline;
        }
        if (VirtualClockActive()) {
            AdvanceVirtualClock(next - now);
        } else {
            std::this_thread::sleep_for(std::chrono::duration<double>(std::max(0.0, next - now)));
        }
    }
}

// The line discipline can hold back readiness until `n` bytes wait (VMIN with VTIME 0), so a
// port with a receive callback wakes the program once per frame, not once per byte. Qt resets
// the terminal settings whenever it changes one, so this is applied again after each change.
void SetWakeThreshold(Port& p, int n) {
#ifndef _WIN32
    if (!p.qt || !p.qt->isOpen()) {
        return;
    }
    int fd = static_cast<int>(p.qt->handle());
    termios t{};
    if (fd < 0 || ::tcgetattr(fd, &t) != 0) {
        return;
    }
    cc_t want = static_cast<cc_t>(std::clamp(n, 1, 255));
    if (t.c_cc[VMIN] == want && t.c_cc[VTIME] == 0) {
        return;
    }
    t.c_cc[VMIN] = want;
    t.c_cc[VTIME] = 0;
    ::tcsetattr(fd, TCSANOW, &t);
#else
    (void)p;
    (void)n;
#endif
}

void ApplyWakeThreshold(Port& p) {
    bool notify = p.callback && (p.mask & LWRS_RECEIVE) && p.notifyCount > 0;
    SetWakeThreshold(p, notify ? p.notifyCount : 1);
}

// Bytes the driver holds that Qt has not read yet.
int KernelQueued(Port& p) {
#ifndef _WIN32
    int n = 0;
    if (p.qt && p.qt->isOpen() && ::ioctl(static_cast<int>(p.qt->handle()), FIONREAD, &n) == 0) {
        return n;
    }
#else
    (void)p;
#endif
    return 0;
}

} // namespace

// ---- memory device ----

void MemorySerialDevice::send(std::span<const std::uint8_t> bytes, double delay) {
    pending.push_back({Timer() + std::max(0.0, delay), {bytes.begin(), bytes.end()}});
    std::stable_sort(pending.begin(), pending.end(),
                     [](const Pending& a, const Pending& b) { return a.due < b.due; });
}

void MemorySerialDevice::deliverDue(double now) {
    while (!pending.empty() && pending.front().due <= now) {
        if (open) {
            inq.insert(inq.end(), pending.front().bytes.begin(), pending.front().bytes.end());
        }
        pending.pop_front();
    }
}

bool MemorySerialDevice::hasPendingBefore(double t) const {
    return !pending.empty() && pending.front().due <= t;
}

double MemorySerialDevice::nextDue() const {
    return pending.empty() ? std::numeric_limits<double>::max() : pending.front().due;
}

void AttachMemoryDevice(int port, MemorySerialDevice* device) {
    if (device) {
        MemDevices()[port] = device;
    } else {
        MemDevices().erase(port);
    }
}

void DetachAllMemoryDevices() {
    for (auto& [n, p] : Ports()) {
        if (p.mem) {
            p.mem->open = false;
        }
    }
    Ports().clear();
    MemDevices().clear();
}

// ---- bindings ----

void BindComPort(int port, const std::string& device) {
    Bindings()[port] = device;
}

void ClearComBindings() {
    Bindings().clear();
}

std::string ComDeviceName(int port) {
    if (MemDevices().count(port)) {
        return "(memory device)";
    }
    auto it = Bindings().find(port);
    if (it != Bindings().end()) {
        return it->second;
    }
    return DefaultDevice(port);
}

std::vector<ComPortChoice> ListComPorts(int always) {
    std::map<int, std::string> out;
    for (const auto& [n, dev] : Bindings()) {
        out[n] = dev;
    }
    for (const auto& [n, dev] : MemDevices()) {
        out[n] = "(memory device)";
    }
    for (int n = 1; n <= 4; ++n) {
        out.emplace(n, DefaultDevice(n));
    }
    // Serial devices present that the default mapping reaches.
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        std::string path = info.systemLocation().toStdString();
        for (int n = 1; n <= kMaxComPort; ++n) {
            if (!out.count(n) && DefaultDevice(n) == path) {
                out[n] = path;
                break;
            }
        }
    }
    if (always >= 0 && always <= kMaxComPort) {
        out.emplace(always, ComDeviceName(always));
    }
    std::vector<ComPortChoice> list;
    for (const auto& [n, dev] : out) {
        list.push_back({n, dev});
    }
    return list;
}

// ---- port operations ----

int OpenComConfig(int port, const char*, long baudRate, int parity, int dataBits, int stopBits, int,
                  int) {
    if (port < 1 || port > kMaxComPort) {
        return kComInvalidPortNumber;
    }
    if (parity < 0 || parity > 4 || dataBits < 5 || dataBits > 8 || stopBits < 1 || stopBits > 2 ||
        baudRate <= 0) {
        return kComInvalidParameter;
    }
    CloseCom(port);

    auto mem = MemDevices().find(port);
    if (mem != MemDevices().end()) {
        MemorySerialDevice* dev = mem->second;
        if (dev->openError < 0) {
            return dev->openError;
        }
        dev->open = true;
        dev->inq.clear();
        Port p;
        p.mem = dev;
        Ports()[port] = std::move(p);
        return 0;
    }

    std::string device = ComDeviceName(port);
    if (!QFileInfo::exists(QString::fromStdString(device))) {
#ifndef _WIN32
        return kComNoSerialPort;
#endif
    }
    auto qp = std::make_unique<QSerialPort>();
    qp->setPortName(QString::fromStdString(device));
    if (!qp->open(QIODevice::ReadWrite)) {
        return MapOpenError(qp->error());
    }
    bool ok = qp->setBaudRate(static_cast<qint32>(baudRate)) &&
              qp->setDataBits(static_cast<QSerialPort::DataBits>(dataBits)) &&
              qp->setParity(parity == 0   ? QSerialPort::NoParity
                            : parity == 1 ? QSerialPort::OddParity
                            : parity == 2 ? QSerialPort::EvenParity
                            : parity == 3 ? QSerialPort::MarkParity
                                          : QSerialPort::SpaceParity) &&
              qp->setStopBits(stopBits == 1 ? QSerialPort::OneStop : QSerialPort::TwoStop) &&
              qp->setFlowControl(QSerialPort::NoFlowControl);
    if (!ok) {
        qp->close();
        return kComInvalidParameter;
    }
    QSerialPort* raw = qp.get();
    QObject::connect(raw, &QSerialPort::readyRead, [] { platform_internal::NoteActivity(); });
    QObject::connect(raw, &QSerialPort::errorOccurred, [port, raw](QSerialPort::SerialPortError e) {
        if (e == QSerialPort::ResourceError) {
            // The device went away (a pulled adapter): stop watching it, so the pump does not
            // spin on a dead descriptor; later calls report the port as not open.
            auto it = Ports().find(port);
            if (it != Ports().end() && it->second.qt.get() == raw) {
                it->second.lost = true;
                raw->clearError();
                raw->close();
            }
            platform_internal::NoteActivity();
        }
    });
    Port p;
    p.qt = std::move(qp);
    Port& stored = Ports()[port] = std::move(p);
    ApplyWakeThreshold(stored);
    return 0;
}

int CloseCom(int port) {
    auto it = Ports().find(port);
    if (it == Ports().end()) {
        return 0; // closing a closed port does nothing
    }
    if (it->second.mem) {
        it->second.mem->open = false;
        it->second.mem->inq.clear();
    }
    if (it->second.qt) {
        // Deleting a port from inside one of its own signal handlers is unsafe; let Qt do it.
        QSerialPort* qp = it->second.qt.release();
        qp->close();
        qp->disconnect();
        qp->deleteLater();
    }
    Ports().erase(it);
    return 0;
}

int SetComTime(int port, double timeoutSeconds) {
    Port* p = OpenPort(port);
    if (!p) {
        return kComPortNotOpen;
    }
    if (!(timeoutSeconds >= 0)) {
        return kComInvalidParameter;
    }
    p->timeout = timeoutSeconds;
    return 0;
}

int SetCTSMode(int port, int mode) {
    Port* p = OpenPort(port);
    if (!p) {
        return kComPortNotOpen;
    }
    if (p->qt) {
        p->qt->setFlowControl(mode ? QSerialPort::HardwareControl : QSerialPort::NoFlowControl);
        ApplyWakeThreshold(*p);
    }
    return 0;
}

int FlushInQ(int port) {
    Port* p = OpenPort(port);
    if (!p) {
        return kComPortNotOpen;
    }
    if (p->mem) {
        p->mem->deliverDue(Timer());
        p->mem->inq.clear();
    } else {
        p->qt->clear(QSerialPort::Input);
        // Qt's own buffer is emptied by clear(); drain what it already pulled in as well.
        p->qt->readAll();
    }
    return 0;
}

int FlushOutQ(int port) {
    Port* p = OpenPort(port);
    if (!p) {
        return kComPortNotOpen;
    }
    if (p->qt) {
        p->qt->clear(QSerialPort::Output);
    }
    return 0;
}

int ComWrt(int port, const char* buffer, int count) {
    Port* p = OpenPort(port);
    if (!p) {
        return kComPortNotOpen;
    }
    if (count < 0 || (count > 0 && !buffer)) {
        return kComInvalidParameter;
    }
    if (p->mem) {
        MemorySerialDevice* dev = p->mem;
        int n = dev->shortWrite >= 0 ? std::min(count, dev->shortWrite) : count;
        const auto* b = reinterpret_cast<const std::uint8_t*>(buffer);
        dev->written.insert(dev->written.end(), b, b + n);
        dev->writes.emplace_back(b, b + n);
        if (dev->onWrite) {
            dev->onWrite(std::span<const std::uint8_t>(b, static_cast<std::size_t>(n)), Timer());
        }
        return n;
    }
    qint64 n = p->qt->write(buffer, count);
    if (n < 0) {
        return kComIoError;
    }
    QElapsedTimer t;
    t.start();
    while (p->qt && p->qt->isOpen() && p->qt->bytesToWrite() > 0) {
        qint64 left = static_cast<qint64>(p->timeout * 1000) - t.elapsed();
        if (left <= 0 || !p->qt->waitForBytesWritten(static_cast<int>(left))) {
            break;
        }
    }
    if (p->lost || !p->qt->isOpen()) {
        return kComIoError;
    }
#ifndef _WIN32
    // Qt is done once the kernel has the bytes; wait until they are on the line, so that a
    // FlushOutQ right after can never cut a frame short.
    // Bounded by the port time-out: a stalled device must not hang the program.
    for (int queued = 0; p->qt->bytesToWrite() == 0;) {
        if (::ioctl(static_cast<int>(p->qt->handle()), TIOCOUTQ, &queued) != 0 || queued <= 0) {
            break;
        }
        qint64 left = static_cast<qint64>(p->timeout * 1000) - t.elapsed();
        if (left <= 0) {
            break;
        }
        // About one byte time per byte still queued, at 19200 baud or faster.
        std::this_thread::sleep_for(std::chrono::microseconds(
            std::min<qint64>(left * 1000, std::max(100, queued * 10 * 1000000 / 19200 / 2))));
    }
#endif
    return static_cast<int>(n - p->qt->bytesToWrite());
}

int ComRd(int port, char* buffer, int count) {
    Port* p = OpenPort(port);
    if (!p) {
        return kComPortNotOpen;
    }
    if (count < 0 || (count > 0 && !buffer)) {
        return kComInvalidParameter;
    }
    if (p->mem) {
        MemorySerialDevice* dev = p->mem;
        WaitMemory(dev, static_cast<std::size_t>(count), Timer() + p->timeout);
        int n = static_cast<int>(std::min<std::size_t>(dev->inq.size(), count));
        for (int i = 0; i < n; ++i) {
            buffer[i] = static_cast<char>(dev->inq.front());
            dev->inq.pop_front();
        }
        return n;
    }
    // A direct read wants every byte as it comes, whatever the callback's threshold.
    SetWakeThreshold(*p, 1);
    struct Restore {
        int port;
        ~Restore() {
            auto it = Ports().find(port);
            if (it != Ports().end()) {
                ApplyWakeThreshold(it->second);
            }
        }
    } restore{port};
    QElapsedTimer t;
    t.start();
    while (p->qt->bytesAvailable() < count) {
        qint64 left = static_cast<qint64>(p->timeout * 1000) - t.elapsed();
        if (left <= 0 || !p->qt->waitForReadyRead(static_cast<int>(left))) {
            break;
        }
        if (p->lost || !p->qt->isOpen()) {
            return kComIoError;
        }
    }
    qint64 n = p->qt->read(buffer, count);
    return n < 0 ? kComIoError : static_cast<int>(n);
}

int GetInQLen(int port) {
    Port* p = OpenPort(port);
    if (!p) {
        return kComPortNotOpen;
    }
    if (p->mem) {
        p->mem->deliverDue(Timer());
        return static_cast<int>(p->mem->available());
    }
    return static_cast<int>(p->qt->bytesAvailable()) + KernelQueued(*p);
}

int InstallComCallback(int port, int eventMask, int notifyCount, int, ComCallbackPtr callback,
                       void* callbackData) {
    Port* p = OpenPort(port);
    if (!p) {
        return kComPortNotOpen;
    }
    if (notifyCount < 0 || notifyCount > 4096) {
        return kComInvalidParameter;
    }
    p->mask = eventMask;
    p->notifyCount = notifyCount;
    p->callback = eventMask ? callback : nullptr;
    p->callbackData = callbackData;
    ApplyWakeThreshold(*p);
    return 0;
}

// ---- pump glue ----

namespace platform_internal {

bool SerialPoll() {
    bool did = false;
    double now = Timer();
    // Collect first: a callback may close or reopen ports.
    std::vector<int> numbers;
    for (auto& [n, p] : Ports()) {
        if (p.mem) {
            std::size_t before = p.mem->available();
            p.mem->deliverDue(now);
            did = did || p.mem->available() != before;
        }
        numbers.push_back(n);
    }
    for (int n : numbers) {
        Port* p = OpenPort(n);
        if (!p || !p->callback || !(p->mask & LWRS_RECEIVE) || p->notifyCount <= 0 ||
            p->inCallback) {
            continue;
        }
        if (GetInQLen(n) >= p->notifyCount) {
            p->inCallback = true;
            ComCallbackPtr cb = p->callback;
            void* data = p->callbackData;
            cb(n, LWRS_RECEIVE, data);
            did = true;
            // The callback may have closed the port.
            if (Port* again = OpenPort(n)) {
                again->inCallback = false;
            } else {
                auto it = Ports().find(n);
                if (it != Ports().end()) {
                    it->second.inCallback = false;
                }
            }
        }
    }
    return did;
}

double SerialNextDue() {
    double due = std::numeric_limits<double>::max();
    for (auto& [n, p] : Ports()) {
        if (p.mem) {
            due = std::min(due, p.mem->nextDue());
        }
    }
    return due;
}

void CloseAllPorts() {
    std::vector<int> numbers;
    for (auto& [n, p] : Ports()) {
        numbers.push_back(n);
    }
    for (int n : numbers) {
        CloseCom(n);
    }
}

} // namespace platform_internal
