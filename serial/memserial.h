// An in-memory serial device behind the serial calls, so tests play the sensor inside the test
// process. Bytes the program writes reach `onWrite`; bytes sent back arrive at a given clock time
// and are delivered by the event pump like bytes from a real port.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <vector>

class MemorySerialDevice {
  public:
    // Sensor side: sees each ComWrt's bytes and the clock time of the write.
    std::function<void(std::span<const std::uint8_t>, double now)> onWrite;

    // Schedules bytes to arrive `delay` seconds after now.
    void send(std::span<const std::uint8_t> bytes, double delay = 0.0);
    void send(std::initializer_list<std::uint8_t> bytes, double delay = 0.0) {
        send(std::span<const std::uint8_t>(bytes.begin(), bytes.size()), delay);
    }

    // Everything the program wrote, and each write separately.
    std::vector<std::uint8_t> written;
    std::vector<std::vector<std::uint8_t>> writes;

    // Fault switches.
    int openError = 0;   // negative: OpenComConfig fails with it
    int shortWrite = -1; // >= 0: each ComWrt writes only this many bytes
    bool open = false;

    // An output queue that drains at the line's speed, as a UART's does: > 0, written bytes
    // stay queued for 10 bits each at this baud rate (0: handed over at once). `onWrite` still
    // sees them when written. With `outputHeld` nothing written leaves until a flush throws it away
    // (a line held by flow control).
    long lineBaud = 0;
    bool outputHeld = false;
    // Queued bytes a flush of the output queue threw away before they were on the line.
    long long outputDiscarded = 0;

    // Pulls the device: bytes on their way are gone, calls on the open port fail with
    // kComIoError, the loss is reported once through the ComLostHandler, and OpenComConfig
    // fails until replug().
    void unplug();
    void replug() { plugged = true; }
    bool plugged = true;
    bool lostWhileOpen = false;

    // Program side (used by the serial service).
    std::size_t available() const { return inq.size(); }
    // Written bytes not yet on the line at `now`.
    int outputQueued(double now) const;
    void queueOutput(int bytes, double now);
    void discardOutput(double now);
    void deliverDue(double now);
    double nextDue() const;

    std::deque<std::uint8_t> inq;
    struct Pending {
        double due;
        std::vector<std::uint8_t> bytes;
    };
    std::deque<Pending> pending;

  private:
    double lineFreeAt_ = 0; // when the last queued byte is on the line
    int heldBytes_ = 0;     // queued while the output is held
};

// Puts a memory device behind a port number (nullptr removes it).
void AttachMemoryDevice(int port, MemorySerialDevice* device);
void DetachAllMemoryDevices();
