// Finding reply frames in the bytes a port delivers: a pure unit, with no port, clock or event
// pump behind it. Bytes go in; out comes where a frame starts, what to drop and why.
//
// A routine looks only at what its reply must carry: the data reply's 8 in bytes 2-3, order
// 10's echo, the line check's 0x00AA in either of its first two words. Anything else about a
// reply (its echo, its first word) is the sensor's business. So a frame is placed, and bytes
// before it are dropped as noise, only on evidence a valid reply cannot contradict: such a
// marker, or the sensor's own sync word, learnt from the replies on this port that a marker
// placed. With no evidence at all, the first 36 bytes are the frame and the rest is dropped.
#pragma once

#include "link/frames.h"

#include <cstdint>
#include <optional>

// What the bytes on the line are expected to bring.
struct Awaited {
    int order = 0;           // the order whose reply is awaited (0: none sent yet)
    bool dataStream = false; // a data request of the scope is in flight as well
};

// What placed a frame.
enum class Placement {
    Marker, // a marker the awaited reply must carry
    Sync,   // the sensor's sync word
    First,  // no evidence: the first bytes, as they came
};

struct FrameStep {
    enum Kind {
        NeedBytes, // nothing to decide until `want` bytes are held
        Settle,    // a frame is whole at `at`, but a later one may begin inside it: more bytes
                   // (up to `want`) decide; if none come within the settle time, take `at`
        Take,      // the frame at `at` (bytes before it are noise)
        Junk,      // the first `at` bytes cannot begin any frame: drop them
    };
    Kind kind = NeedBytes;
    int at = 0;
    int want = kFrameLen;
    Placement by = Placement::First;
};

class Framer {
  public:
    static constexpr int kCapacity = kBufLen;

    // Keeps up to kCapacity bytes; returns how many did not fit (dropped, to be counted).
    int append(const char* bytes, int count);
    const char* data() const { return buf_; }
    int size() const { return len_; }
    // Drops the first `count` bytes.
    void drop(int count);
    void clear() { len_ = 0; }

    // What the bytes held now say. `settled`: no bytes came for the settle time.
    FrameStep decide(const Awaited& awaited, bool settled) const;
    // Takes the frame at `step.at` (a Take or a settled Settle) into `frame`; the bytes before it
    // and the frame leave the buffer. Learns the sync word from a frame a marker placed. Returns
    // the bytes dropped before the frame.
    int take(const FrameStep& step, const Awaited& awaited, char* frame);

    std::optional<std::uint16_t> sync() const { return sync_; }
    // Another port, a reopen: the sensor may be another one.
    void forgetSync() { sync_.reset(); }

  private:
    enum class Strength { None, Weak, Strong };
    Strength candidate(int at, const Awaited& awaited) const;
    Placement placement(int at, const Awaited& awaited) const;

    char buf_[kCapacity];
    int len_ = 0;
    std::optional<std::uint16_t> sync_;
};

// Why bytes were dropped, for the trace.
inline constexpr const char* kDropBeforeReply = "bytes before the reply";
inline constexpr const char* kDropAfterReply = "bytes after the reply";
inline constexpr const char* kDropNoFrame = "bytes that form no frame";
inline constexpr const char* kDropLeftOver = "bytes left on the line before a request";
