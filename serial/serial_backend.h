// What stands behind an open port number: a device the serial calls dispatch to. serial.cpp
// keeps the port table and the callbacks; a backend only moves bytes. Not for the routines.
#pragma once

#include <functional>
#include <limits>
#include <memory>
#include <string>

struct SerialSettings {
    long baudRate = 19200;
    int parity = 0; // 0 none, 1 odd, 2 even, 3 mark, 4 space
    int dataBits = 8;
    int stopBits = 1;
};

class SerialBackend {
  public:
    virtual ~SerialBackend() = default;

    // 0, or a negative kCom... error. The backend is dropped after a failed open.
    virtual int open(const SerialSettings& settings) = 0;
    virtual void close() = 0;
    // The device went away while open; it stays lost until closed.
    virtual bool lost() const = 0;
    // Why the last open failed, in one line, when there is more to say than the error code.
    virtual std::string failureReason() const { return {}; }
    // Why the device was lost, when there is more to say than that it went away.
    virtual std::string lossReason() const { return {}; }
    // Input bytes dropped because the input queue was full (a flooding peer).
    virtual long long discardedInput() const { return 0; }

    // Bytes handed on, waiting at most `timeout` seconds for them to leave; or a negative error.
    virtual int write(const char* buffer, int count, double timeout, long baudRate) = 0;
    // Bytes read, waiting at most `timeout` seconds for `count`; or a negative error.
    virtual int read(char* buffer, int count, double timeout) = 0;
    virtual int bytesWaiting() = 0;
    // Bytes handed on that are not on the line yet (the driver's output queue), where the
    // device can tell.
    virtual int outputQueued() { return 0; }
    // True when a read of `count` bytes gets them at once, whatever the wake threshold.
    virtual bool readsAtOnce(int count) { return bytesWaiting() >= count; }
    virtual void flushIn() = 0;
    virtual void flushOut() = 0;
    virtual void setHardwareFlowControl(bool on) = 0;
    // Readiness of the line is held back until `n` bytes wait, where the driver can do that.
    virtual void setWakeThreshold(int n) { (void)n; }

    // Event-pump hooks for devices that deliver bytes by clock time rather than by the system:
    // poll() moves what is due and says whether anything arrived; nextDue() is the earliest
    // time (Timer() seconds) more bytes are due.
    virtual bool poll(double now) {
        (void)now;
        return false;
    }
    virtual double nextDue() const { return std::numeric_limits<double>::max(); }
};

namespace platform_internal {

// The system's serial device at this path: a terminal device of our own on POSIX systems
// (serial_posix.cpp), QSerialPort on Windows (serial_windows.cpp).
std::unique_ptr<SerialBackend> MakeSystemSerialBackend(const std::string& device);
// A serial port across the network: "tcp://HOST:PORT" or "rfc2217://HOST:PORT".
std::unique_ptr<SerialBackend> MakeTcpSerialBackend(const std::string& device);
// True when `device` is written as an address ("SCHEME://..."), valid or not.
bool IsNetworkAddress(const std::string& device);
// Never waits: true once a background connection to the network port reached it (kept for
// the next open); tries again with back-off while it does not.
bool NetPortReachable(const std::string& device);
// Starts connecting to the network port in the background, for an open soon after.
void StartNetPortOpen(const std::string& device);
// True while such a connection is under way.
bool NetPortOpenPending(const std::string& device);

// Puts another kind of device behind a port number; `label` is what ComDeviceName reports.
// The factory runs at each OpenComConfig of that port.
using SerialBackendFactory = std::function<std::unique_ptr<SerialBackend>()>;
void RegisterSerialBackend(int port, std::string label, SerialBackendFactory factory);
void UnregisterSerialBackend(int port);
// Closes every port and forgets every registered device.
void UnregisterAllSerialBackends();

} // namespace platform_internal
