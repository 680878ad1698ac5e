// The RS-232 line between the tool and the simulated sensor, in time: the tool's bytes reach
// the sensor one byte time apart, and the sensor's reply bytes are due when they would have
// fully arrived (in groups, as a UART's receive FIFO hands them over). Transport-free: the
// terminal and the TCP front ends move the bytes, this says when.
#pragma once

#include "engine.h"

#include <cstddef>
#include <cstdint>
#include <deque>

namespace zelsim {

class LinePacer {
  public:
    // `baud` 0: no line time at all; `fifo`: the receive FIFO's group size (1: byte by byte).
    LinePacer(int baud, int fifo);

    // The client went away: what was on the line for it is gone with it.
    void clear();
    // Bytes from the tool, read at `now`.
    void fromClient(const std::uint8_t* data, std::size_t n, double now);
    // Hands the sensor what has reached it by `now` and schedules its answer.
    void feedSensor(Engine& engine, double now);

    // Copies the reply bytes due by `now` (at most `max`) without removing them.
    std::size_t dueToClient(double now, std::uint8_t* out, std::size_t max) const;
    // The first `n` reply bytes left (or all with `n` past the end).
    void sent(std::size_t n);
    // The sensor's unplug, once its last reply is out.
    bool unplugDue() const { return unplug_ && tx_.empty(); }
    // When the next byte reaches the sensor, and the next reply byte is due; -1 for none.
    double nextToSensor() const { return rx_.empty() ? -1 : rx_.front().due; }
    double nextToClient() const { return tx_.empty() ? -1 : tx_.front().due; }

  private:
    struct Timed {
        double due;
        std::uint8_t byte;
    };
    void schedule(const Output& out, double arrived);

    double byteTime_;
    std::size_t group_;
    std::deque<Timed> rx_; // the tool's bytes, released at line speed
    std::deque<Timed> tx_; // reply bytes, each due once it would have fully arrived
    double rxFree_ = 0;    // when the incoming line is next idle
    double txFree_ = 0;
    bool unplug_ = false;
};

} // namespace zelsim
