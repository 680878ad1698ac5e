#include "pacer.h"

#include <algorithm>
#include <vector>

namespace zelsim {

LinePacer::LinePacer(int baud, int fifo)
    : byteTime_(baud > 0 ? 10.0 / baud : 0.0), group_(static_cast<std::size_t>(std::max(fifo, 1))) {
}

void LinePacer::clear() {
    rx_.clear();
    tx_.clear();
}

void LinePacer::fromClient(const std::uint8_t* data, std::size_t n, double now) {
    // The bytes land at once; a real line would take a byte time for each.
    const double start = std::max(now, rxFree_);
    for (std::size_t i = 0; i < n; ++i) {
        rx_.push_back({start + static_cast<double>(i + 1) * byteTime_, data[i]});
    }
    rxFree_ = start + static_cast<double>(n) * byteTime_;
}

void LinePacer::feedSensor(Engine& engine, double now) {
    if (rx_.empty() || rx_.front().due > now) {
        return;
    }
    std::vector<std::uint8_t> arrived;
    double last = 0;
    while (!rx_.empty() && rx_.front().due <= now) {
        arrived.push_back(rx_.front().byte);
        last = rx_.front().due;
        rx_.pop_front();
    }
    schedule(engine.feed(arrived.data(), arrived.size(), last), last);
}

void LinePacer::schedule(const Output& out, double arrived) {
    double anchor = arrived;
    for (const auto& chunk : out.chunks) {
        const double start = std::max(anchor + chunk.delay, txFree_);
        // A UART's receive FIFO hands the host its bytes in groups: each byte is due when the
        // last byte of its group is in (the last group when the reply's last byte is).
        const std::size_t count = chunk.bytes.size();
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t groupEnd = std::min((i / group_ + 1) * group_, count);
            tx_.push_back({start + static_cast<double>(groupEnd) * byteTime_, chunk.bytes[i]});
        }
        txFree_ = start + static_cast<double>(count) * byteTime_;
        anchor = txFree_;
    }
    if (out.unplug) {
        unplug_ = true;
    }
}

std::size_t LinePacer::dueToClient(double now, std::uint8_t* out, std::size_t max) const {
    std::size_t n = 0;
    while (n < tx_.size() && n < max && tx_[n].due <= now) {
        out[n] = tx_[n].byte;
        ++n;
    }
    return n;
}

void LinePacer::sent(std::size_t n) {
    tx_.erase(tx_.begin(), tx_.begin() + static_cast<std::ptrdiff_t>(std::min(n, tx_.size())));
}

} // namespace zelsim
