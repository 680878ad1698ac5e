// The sensor's protocol engine: turns bytes from the line into replies, with optional
// line faults. It knows nothing of the transport; the caller paces the bytes.
#pragma once

#include "model.h"

#include <cstdint>
#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace zelsim {

inline constexpr std::size_t kFrameBytes = 36;
// A real sensor drops a partial frame after this much silence on the line.
inline constexpr double kInterByteTimeout = 0.050;
// The --split fault: first piece size and the pause before the rest.
inline constexpr std::size_t kSplitFirst = 20;
inline constexpr double kSplitGap = 0.030;
// The --extra fault appends this byte value.
inline constexpr std::uint8_t kExtraByte = 0xEE;
// The order that reads 64 words of the data memory as a raw 128-byte block.
inline constexpr std::uint16_t kBlockReadOrder = 64;

struct Options {
    int hw = 0;
    std::string firmware = "V2.0";
    bool ackSends = false;  // answer orders 1 and 3 with a standard reply
    double drop = 0;        // probability that a frame is lost (neither acted on nor answered)
    bool split = false;     // reply in two pieces, kSplitFirst bytes then the rest
    double noise = 0;       // probability of 1..8 random bytes before a reply
    int extra = 0;          // kExtraByte bytes appended to every reply
    bool wrongEcho = false; // standard replies echo order+1 in bytes 2-3
    // What a standard reply carries in bytes 2-3, as sensors differ there (the hardware reply
    // always echoes 10): the order, 0, order+1 or the request's second word.
    enum class Echo { Order, Zero, OrderPlusOne, Second };
    Echo echo = Echo::Order;
    std::uint16_t sync = 0x0055;         // the first word of every reply but the line check's
    std::vector<std::uint8_t> trailer{}; // bytes after every reply, in the same write
    double lookalikeNoise = 0;           // probability of 1..8 bytes that look like frame starts
    std::vector<std::pair<int, std::uint16_t>> eepromWords{}; // block 0 words set at power-up
    std::set<int> silent{};                                   // orders that are ignored
    long unplugAfter = -1;  // the line goes away after this many frames
    std::uint32_t seed = 1; // for drop and noise
    int baud = 19200;       // 0: unpaced (used by the transport only)
    int fifo = 1;           // bytes reach the host in groups of this many (a UART's FIFO)
    double latencyMs = 2;   // pause before each reply
};

// `delay`: seconds before this chunk starts, counted from the end of the previous chunk
// (the first: from the moment the request fully arrived). Pacing at the baud rate is the
// transport's business.
struct Chunk {
    double delay = 0;
    std::vector<std::uint8_t> bytes;
};

struct Output {
    std::vector<Chunk> chunks;
    bool unplug = false; // drop the line once these chunks are out
};

class Engine {
  public:
    explicit Engine(Options opts);

    // Bytes that arrived at `now` (seconds, any monotonic base). Every complete frame is
    // answered; the replies come back in order.
    Output feed(const std::uint8_t* data, std::size_t n, double now);

    Model& model() { return model_; }
    // The --eeprom-word values into EEPROM block 0, then RAM reloaded from it (a power-up).
    void applyEepromWords();
    const Options& options() const { return opts_; }
    // Frame log, one line per event; nullptr switches it off. The caller owns the file.
    void setLog(std::FILE* f) { log_ = f; }
    // Writes out discarded bytes still held back for one combined DISCARD line.
    void flushLog();
    // Time zero for log stamps and the live signal. Defaults to the first feed.
    void setEpoch(double t0);
    long exchanges() const { return exchanges_; }
    bool unplugged() const { return unplugged_; }

  private:
    void answer(const std::uint8_t* frame, double now, Output& out);
    std::vector<std::uint8_t> reply(const std::uint8_t* frame, double now);
    void addFaults(std::vector<std::uint8_t> bytes, Output& out);
    void logLine(double now, const char* tag, const std::uint8_t* data, std::size_t n);
    void discard(std::size_t n, double now);
    double since(double now) const { return now - epoch_; }

    Options opts_;
    Model model_;
    std::mt19937 rng_;
    std::vector<std::uint8_t> pending_;
    double lastByte_ = 0;
    double epoch_ = 0;
    bool haveEpoch_ = false;
    long exchanges_ = 0;
    bool unplugged_ = false;
    std::FILE* log_ = nullptr;
    std::vector<std::uint8_t> discarded_; // garbage arrives byte by byte; log it in runs
    double discardedAt_ = 0;
};

} // namespace zelsim
