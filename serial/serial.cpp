// The port table, bindings and the public serial calls; the bytes move through a backend per
// open port (serial_backend.h).
#include "serial.h"

#include "core/line.h"
#include "core/timing.h"

#include "host/clock.h"
#include "host/pump.h"
#include "net_connect.h"
#include "port_trouble.h"
#include "serial_backend.h"
#include "serial_internal.h"

#include <QSerialPortInfo>

#ifdef Q_OS_LINUX
#include <dirent.h>
#endif

#include <algorithm>
#include <limits>
#include <map>
#include <memory>
#include <utility>

namespace {

struct Port {
    std::unique_ptr<SerialBackend> dev;
    long baudRate = 19200;
    double timeout = kPortDefaultTimeoutSec;
    int mask = 0;
    int notifyCount = 0;
    ComCallbackPtr callback = nullptr;
    void* callbackData = nullptr;
    bool inCallback = false;
    bool lossReported = false;
    double outputDueBy = 0; // what was written is on the line by then, unless the line is held
};

struct Registered {
    std::string label;
    platform_internal::SerialBackendFactory make;
};

std::map<int, Port>& Ports() {
    // From the first port on, the event pump looks at the ports before it blocks, and the
    // run-time's stop closes them.
    [[maybe_unused]] static const bool joined = [] {
        platform_internal::SetPumpSource(&platform_internal::SerialPoll,
                                         &platform_internal::SerialNextDue);
        platform_internal::AtRuntimeStop(&platform_internal::CloseAllPorts);
        return true;
    }();
    static std::map<int, Port> ports;
    return ports;
}
std::map<int, std::string>& Bindings() {
    static std::map<int, std::string> b;
    return b;
}
std::map<int, Registered>& Registry() {
    static std::map<int, Registered> r;
    return r;
}
std::map<int, std::string>& OpenFailures() {
    static std::map<int, std::string> f;
    return f;
}
ComLostHandler g_lostHandler = nullptr;

// The open port, or null with `error` saying why not: not open, or its device went away.
Port* LivePort(int port, int& error) {
    auto it = Ports().find(port);
    if (it == Ports().end()) {
        error = kComPortNotOpen;
        return nullptr;
    }
    if (it->second.dev->lost()) {
        error = kComIoError;
        return nullptr;
    }
    error = 0;
    return &it->second;
}

std::string DefaultDevice(int port) {
#ifdef _WIN32
    // Past COM9 Windows reaches a port only through the device namespace.
    return port > 9 ? "\\\\.\\COM" + std::to_string(port) : "COM" + std::to_string(port);
#else
    return "/dev/ttyS" + std::to_string(port - 1);
#endif
}

// How long queued output may take to leave: its line time, and slack for a UART's FIFO and a
// USB adapter's transfers.
double LeavingTime(int queued, long baudRate) {
    constexpr double kSlackSec = 0.05;
    return queued * 10.0 / static_cast<double>(std::max(1L, baudRate)) * 1.5 + kSlackSec;
}

// True when output is queued that should have left by now: the line is held (hardware flow
// control, a stalled adapter). Output still leaving at the line's pace is a request on its way.
bool OutputHeld(Port& p) {
    return p.dev->outputQueued() > 0 && Timer() >= p.outputDueBy;
}

void ApplyWakeThreshold(Port& p) {
    bool notify = p.callback && (p.mask & LWRS_RECEIVE) && p.notifyCount > 0;
    p.dev->setWakeThreshold(notify ? p.notifyCount : 1);
}

} // namespace

// ---- devices behind port numbers ----

namespace platform_internal {

void RegisterSerialBackend(int port, std::string label, SerialBackendFactory factory) {
    Registry()[port] = {std::move(label), std::move(factory)};
}

void UnregisterSerialBackend(int port) {
    Registry().erase(port);
}

void UnregisterAllSerialBackends() {
    CloseAllPorts();
    Registry().clear();
}

} // namespace platform_internal

void BindComPort(int port, const std::string& device) {
    Bindings()[port] = device;
}

void ClearComBindings() {
    Bindings().clear();
}

std::string ComDeviceName(int port) {
    auto reg = Registry().find(port);
    if (reg != Registry().end()) {
        return reg->second.label;
    }
    auto it = Bindings().find(port);
    if (it != Bindings().end()) {
        return it->second;
    }
    return DefaultDevice(port);
}

namespace {
struct SerialDevice {
    std::string path;
    std::string name;
};

// The serial devices present. Enumerating them walks sysfs (through libudev, which without a
// udev daemon walks the whole device tree): about 20 ms of CPU, and the shell re-checks the port
// list every two seconds. On Linux the answer is kept until the set of tty devices changes,
// which one listing of /sys/class/tty tells.
const std::vector<SerialDevice>& PresentSerialDevices() {
    static std::vector<SerialDevice> devices;
#ifdef Q_OS_LINUX
    static std::vector<std::string> seenTtys;
    static bool known = false;
    std::vector<std::string> ttys;
    if (DIR* dir = ::opendir("/sys/class/tty")) {
        while (const dirent* e = ::readdir(dir)) {
            ttys.emplace_back(e->d_name);
        }
        ::closedir(dir);
    }
    std::sort(ttys.begin(), ttys.end());
    if (known && !ttys.empty() && ttys == seenTtys) {
        return devices;
    }
    seenTtys = std::move(ttys);
#endif
    devices.clear();
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        // Windows: COM1 beside \\.\COM1
        devices.push_back({info.systemLocation().toStdString(), info.portName().toStdString()});
    }
#ifdef Q_OS_LINUX
    known = true;
#endif
    return devices;
}
} // namespace

namespace platform_internal {
std::vector<std::string> PresentSerialPaths() {
    std::vector<std::string> paths;
    for (const auto& d : PresentSerialDevices()) {
        paths.push_back(d.path);
    }
    return paths;
}
} // namespace platform_internal

std::vector<ComPortChoice> ListComPorts(int always) {
    std::map<int, std::string> out;
    for (const auto& [n, dev] : Bindings()) {
        out[n] = dev;
    }
    for (const auto& [n, reg] : Registry()) {
        out[n] = reg.label;
    }
    for (int n = 1; n <= 4; ++n) {
        out.emplace(n, DefaultDevice(n));
    }
    // Serial devices present that the default mapping reaches.
    for (const auto& [path, name] : PresentSerialDevices()) {
        for (int n = 1; n <= kMaxComPort; ++n) {
            if (!out.count(n) && (DefaultDevice(n) == path || DefaultDevice(n) == name)) {
                out[n] = DefaultDevice(n);
                break;
            }
        }
    }
    if (always >= 0 && always <= kMaxComPort) {
        out.emplace(always, ComDeviceName(always));
    }
    std::vector<ComPortChoice> list;
    for (const auto& [n, dev] : out) {
        list.push_back(
            {n, dev, platform_internal::IsNetworkAddress(dev) ? "" : StableDeviceName(dev)});
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

    OpenFailures().erase(port);
    auto reg = Registry().find(port);
    std::unique_ptr<SerialBackend> dev;
    if (reg != Registry().end()) {
        dev = reg->second.make();
    } else if (std::string name = ComDeviceName(port); platform_internal::IsNetworkAddress(name)) {
        dev = platform_internal::MakeTcpSerialBackend(name);
    } else {
        dev = platform_internal::MakeSystemSerialBackend(name);
    }
    if (int r = dev->open({baudRate, parity, dataBits, stopBits}); r != 0) {
        if (std::string why = dev->failureReason(); !why.empty()) {
            OpenFailures()[port] = why;
        }
        return r;
    }
    Port p;
    p.dev = std::move(dev);
    p.baudRate = baudRate;
    Port& stored = Ports()[port] = std::move(p);
    ApplyWakeThreshold(stored);
    return 0;
}

int CloseCom(int port) {
    auto it = Ports().find(port);
    if (it == Ports().end()) {
        return 0; // closing a closed port does nothing
    }
    // Held output goes, so that closing never waits for a line that does not drain; output on
    // its way is let go first.
    if (!it->second.dev->lost() && OutputHeld(it->second)) {
        it->second.dev->flushOut();
    }
    it->second.dev->close();
    Ports().erase(it);
    return 0;
}

bool ComPortPresent(int port) {
    if (port < 1 || port > kMaxComPort) {
        return false;
    }
    if (!Registry().count(port)) {
        if (std::string name = ComDeviceName(port); platform_internal::IsNetworkAddress(name)) {
            return platform_internal::NetPortReachable(name);
        }
    }
    if (OpenComConfig(port, "", kSensorLine.baud, kSensorLine.parity, kSensorLine.dataBits,
                      kSensorLine.stopBits, kSensorLine.queueBytes, kSensorLine.queueBytes) < 0) {
        return false;
    }
    CloseCom(port);
    return true;
}

void StartComOpens(const std::vector<int>& ports) {
    for (int port : ports) {
        if (port >= 1 && port <= kMaxComPort && !Registry().count(port)) {
            if (std::string name = ComDeviceName(port); platform_internal::IsNetworkAddress(name)) {
                platform_internal::StartNetPortOpen(name);
            }
        }
    }
}

bool ComOpenPending(int port) {
    if (port < 1 || port > kMaxComPort || Registry().count(port)) {
        return false;
    }
    const std::string name = ComDeviceName(port);
    return platform_internal::IsNetworkAddress(name) && platform_internal::NetPortOpenPending(name);
}

void EndComOpens() {
    platform_internal::EndNetBatch();
}

std::string ComLossReason(int port) {
    auto it = Ports().find(port);
    return it == Ports().end() ? std::string() : it->second.dev->lossReason();
}

long long ComDiscardedBytes(int port) {
    auto it = Ports().find(port);
    return it == Ports().end() ? 0 : it->second.dev->discardedInput();
}

std::string ComOpenFailureReason(int port) {
    auto it = OpenFailures().find(port);
    return it == OpenFailures().end() ? std::string() : it->second;
}

bool ComPortLost(int port) {
    auto it = Ports().find(port);
    return it != Ports().end() && it->second.dev->lost();
}

void SetComLostHandler(ComLostHandler handler) {
    g_lostHandler = handler;
}

int SetComTime(int port, double timeoutSeconds) {
    int error = 0;
    Port* p = LivePort(port, error);
    if (!p) {
        return error;
    }
    if (!(timeoutSeconds >= 0)) {
        return kComInvalidParameter;
    }
    p->timeout = timeoutSeconds;
    return 0;
}

int SetCTSMode(int port, int mode) {
    int error = 0;
    Port* p = LivePort(port, error);
    if (!p) {
        return error;
    }
    p->dev->setHardwareFlowControl(mode != 0);
    ApplyWakeThreshold(*p);
    return 0;
}

int FlushInQ(int port) {
    int error = 0;
    Port* p = LivePort(port, error);
    if (!p) {
        return error;
    }
    p->dev->flushIn();
    return 0;
}

int FlushOutQ(int port) {
    int error = 0;
    Port* p = LivePort(port, error);
    if (!p) {
        return error;
    }
    // A request still leaving at the line's pace is never cut short: the sensor would read
    // its head with the next one. Only what the line holds back is thrown away.
    if (p->dev->outputQueued() == 0 || OutputHeld(*p)) {
        p->dev->flushOut();
    }
    return 0;
}

int ComWrt(int port, const char* buffer, int count) {
    int error = 0;
    Port* p = LivePort(port, error);
    if (!p) {
        return error;
    }
    if (count < 0 || (count > 0 && !buffer)) {
        return kComInvalidParameter;
    }
    // The bytes are handed to the device and leave at the line's pace while the program goes
    // on: waiting for them here stopped the window for the line time of every request.
    const int n = p->dev->write(buffer, count, p->timeout, p->baudRate);
    if (n > 0) {
        p->outputDueBy = Timer() + LeavingTime(p->dev->outputQueued(), p->baudRate);
    }
    return n;
}

int ComRd(int port, char* buffer, int count) {
    int error = 0;
    Port* p = LivePort(port, error);
    if (!p) {
        return error;
    }
    if (count < 0 || (count > 0 && !buffer)) {
        return kComInvalidParameter;
    }
    // Bytes already in hand are read as they are: the line settings stay untouched (two fewer
    // system calls for every frame the receive callback reads).
    if (p->dev->readsAtOnce(count)) {
        return p->dev->read(buffer, count, p->timeout);
    }
    // A read that must wait wants every byte as it comes, whatever the callback's threshold:
    // bytes the driver holds below that threshold would never wake it.
    p->dev->setWakeThreshold(1);
    struct Restore {
        int port;
        ~Restore() {
            auto it = Ports().find(port);
            if (it != Ports().end()) {
                ApplyWakeThreshold(it->second);
            }
        }
    } restore{port};
    return p->dev->read(buffer, count, p->timeout);
}

int GetInQLen(int port) {
    int error = 0;
    Port* p = LivePort(port, error);
    if (!p) {
        return error;
    }
    return p->dev->bytesWaiting();
}

int InstallComCallback(int port, int eventMask, int notifyCount, int, ComCallbackPtr callback,
                       void* callbackData) {
    int error = 0;
    Port* p = LivePort(port, error);
    if (!p) {
        return error;
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
    std::vector<int> lost;
    for (auto& [n, p] : Ports()) {
        did = p.dev->poll(now) || did;
        if (!p.lossReported && p.dev->lost()) {
            p.lossReported = true;
            lost.push_back(n);
        }
        numbers.push_back(n);
    }
    // Reported here, not from the device's own signal, so the handler may close the port.
    for (int n : lost) {
        if (g_lostHandler) {
            g_lostHandler(n);
            did = true;
        }
    }
    for (int n : numbers) {
        int error = 0;
        Port* p = LivePort(n, error);
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
            auto it = Ports().find(n);
            if (it != Ports().end()) {
                it->second.inCallback = false;
            }
        }
    }
    return did;
}

double SerialNextDue() {
    double due = std::numeric_limits<double>::max();
    for (auto& [n, p] : Ports()) {
        due = std::min(due, p.dev->nextDue());
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
    ForgetNetAttempts();
}

} // namespace platform_internal
