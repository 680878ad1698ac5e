// In-memory serial devices behind port numbers, for tests.
#include "memserial.h"

#include "host/clock.h"
#include "host/pump.h"
#include "host/virtual_clock.h"
#include "serial.h"
#include "serial_backend.h"
#include "serial_internal.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

namespace {

class MemoryBackend final : public SerialBackend {
  public:
    explicit MemoryBackend(MemorySerialDevice* dev) : dev_(dev) {}
    ~MemoryBackend() override { close(); }

    int open(const SerialSettings&) override {
        if (!dev_->plugged) {
            return kComNoSerialPort;
        }
        if (dev_->openError < 0) {
            return dev_->openError;
        }
        dev_->open = true;
        dev_->lostWhileOpen = false;
        dev_->inq.clear();
        open_ = true;
        return 0;
    }

    void close() override {
        if (open_) {
            dev_->open = false;
            dev_->inq.clear();
            open_ = false;
        }
    }

    bool lost() const override { return dev_->lostWhileOpen; }

    int write(const char* buffer, int count, double, long) override {
        int n = dev_->shortWrite >= 0 ? std::min(count, dev_->shortWrite) : count;
        const auto* b = reinterpret_cast<const std::uint8_t*>(buffer);
        dev_->written.insert(dev_->written.end(), b, b + n);
        dev_->writes.emplace_back(b, b + n);
        dev_->queueOutput(n, Timer());
        if (dev_->onWrite) {
            dev_->onWrite(std::span<const std::uint8_t>(b, static_cast<std::size_t>(n)), Timer());
        }
        return n;
    }

    int read(char* buffer, int count, double timeout) override {
        wait(static_cast<std::size_t>(count), Timer() + timeout);
        if (lost()) {
            return kComIoError;
        }
        int n = static_cast<int>(std::min<std::size_t>(dev_->inq.size(), count));
        for (int i = 0; i < n; ++i) {
            buffer[i] = static_cast<char>(dev_->inq.front());
            dev_->inq.pop_front();
        }
        return n;
    }

    int bytesWaiting() override {
        dev_->deliverDue(Timer());
        return static_cast<int>(dev_->available());
    }

    void flushIn() override {
        dev_->deliverDue(Timer());
        dev_->inq.clear();
    }

    void flushOut() override { dev_->discardOutput(Timer()); }
    int outputQueued() override { return dev_->outputQueued(Timer()); }
    void setHardwareFlowControl(bool) override {}

    bool poll(double now) override {
        std::size_t before = dev_->available();
        dev_->deliverDue(now);
        return dev_->available() != before;
    }

    double nextDue() const override { return dev_->nextDue(); }

  private:
    // Real-clock wait for the device's bytes; the virtual clock jumps instead.
    void wait(std::size_t want, double deadline) {
        for (;;) {
            double now = Timer();
            dev_->deliverDue(now);
            if (dev_->available() >= want || now >= deadline || lost()) {
                return;
            }
            double next = std::min(deadline, dev_->nextDue());
            if (next >= std::numeric_limits<double>::max() / 2) {
                next = deadline;
            }
            if (VirtualClockActive()) {
                AdvanceVirtualClock(next - now);
            } else {
                std::this_thread::sleep_for(
                    std::chrono::duration<double>(std::max(0.0, next - now)));
            }
        }
    }

    MemorySerialDevice* dev_;
    bool open_ = false;
};

} // namespace

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

int MemorySerialDevice::outputQueued(double now) const {
    if (lineBaud <= 0) {
        return 0;
    }
    const double left = std::max(0.0, lineFreeAt_ - now) * static_cast<double>(lineBaud) / 10.0;
    return heldBytes_ + static_cast<int>(std::ceil(left - 1e-9));
}

void MemorySerialDevice::queueOutput(int bytes, double now) {
    if (lineBaud <= 0 || bytes <= 0) {
        return;
    }
    if (outputHeld) {
        heldBytes_ += bytes;
        return;
    }
    lineFreeAt_ = std::max(lineFreeAt_, now) + bytes * 10.0 / static_cast<double>(lineBaud);
}

void MemorySerialDevice::discardOutput(double now) {
    const int leaving = outputQueued(now) - heldBytes_;
    outputDiscarded += heldBytes_ + std::max(0, leaving - 1);
    heldBytes_ = 0;
    // The byte on the line goes on; the rest is gone.
    lineFreeAt_ = std::min(lineFreeAt_, now + (lineBaud > 0 ? 10.0 / lineBaud : 0.0));
}

double MemorySerialDevice::nextDue() const {
    return pending.empty() ? std::numeric_limits<double>::max() : pending.front().due;
}

void MemorySerialDevice::unplug() {
    plugged = false;
    pending.clear();
    inq.clear();
    if (open) {
        lostWhileOpen = true;
        platform_internal::NoteActivity();
    }
}

void AttachMemoryDevice(int port, MemorySerialDevice* device) {
    if (!device) {
        platform_internal::UnregisterSerialBackend(port);
        return;
    }
    platform_internal::RegisterSerialBackend(
        port, "(memory device)", [device] { return std::make_unique<MemoryBackend>(device); });
}

void DetachAllMemoryDevices() {
    platform_internal::UnregisterAllSerialBackends();
}
