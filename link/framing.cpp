#include "link/framing.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr std::uint16_t kLineOk = 0x00AA;
constexpr std::uint16_t kCommandSync = 0x0055; // the first word of every command frame

// Which marker of the awaited reply the frame at `w0`/`w1` carries in its second word (the one
// that shares the frame with the sensor's sync word); 0 when none.
bool MarkerInSecondWord(const Awaited& a, std::uint16_t w1) {
    if ((a.dataStream || a.order == ORDER_DATA) && w1 == REPLY_DATA) {
        return true;
    }
    if (a.order == ORDER_HARDWARE && w1 == ORDER_HARDWARE) {
        return true;
    }
    return a.order == ORDER_LINE_CHECK && w1 == kLineOk;
}
} // namespace

int Framer::append(const char* bytes, int count) {
    const int room = kCapacity - len_;
    const int n = std::clamp(count, 0, room);
    if (n > 0) {
        std::memcpy(buf_ + len_, bytes, static_cast<std::size_t>(n));
        len_ += n;
    }
    return count - n;
}

void Framer::drop(int count) {
    const int n = std::clamp(count, 0, len_);
    std::memmove(buf_, buf_ + n, static_cast<std::size_t>(len_ - n));
    len_ -= n;
}

Framer::Strength Framer::candidate(int at, const Awaited& a) const {
    const std::uint16_t w0 = GetWord(buf_, at);
    const std::uint16_t w1 = GetWord(buf_, at + 2);
    const bool syncOk = !sync_ || w0 == *sync_;
    if (MarkerInSecondWord(a, w1)) {
        return syncOk ? Strength::Strong : Strength::Weak;
    }
    if (a.order == ORDER_LINE_CHECK && w0 == kLineOk) {
        return Strength::Strong;
    }
    // Until the sensor's own sync word is learnt, the one the tool sends stands in for it.
    return w0 == sync_.value_or(kCommandSync) ? Strength::Strong : Strength::None;
}

Placement Framer::placement(int at, const Awaited& a) const {
    return MarkerInSecondWord(a, GetWord(buf_, at + 2)) ||
                   (a.order == ORDER_LINE_CHECK && GetWord(buf_, at) == kLineOk)
               ? Placement::Marker
               : Placement::Sync;
}

FrameStep Framer::decide(const Awaited& a, bool settled) const {
    FrameStep s;
    int strong = -1, weak = -1;
    for (int i = 0; i + 4 <= len_ && strong < 0; ++i) {
        const Strength st = candidate(i, a);
        if (st == Strength::Strong) {
            strong = i;
        } else if (st == Strength::Weak && weak < 0) {
            weak = i;
        }
    }
    if (strong < 0) {
        if (weak >= 0 || !sync_) {
            // A marker without the sync word learnt (another sensor?), or nothing to go by yet:
            // the first bytes are taken as they stand once the line has been quiet.
            const int at = weak >= 0 ? weak : 0;
            s.at = at;
            s.by = weak >= 0 ? Placement::Marker : Placement::First;
            if (len_ < at + kFrameLen) {
                s.want = at + kFrameLen;
                return s;
            }
            s.kind = settled ? FrameStep::Take : FrameStep::Settle;
            s.want = len_ + 1;
            return s;
        }
        // The sync word is known and nothing here carries it: no reply begins before the last
        // three bytes.
        if (len_ > 3) {
            s.kind = FrameStep::Junk;
            s.at = len_ - 3;
        } else {
            s.want = len_ + 1;
        }
        return s;
    }
    int p = strong;
    s.by = placement(p, a);
    if (p + kFrameLen > len_) {
        s.at = p;
        s.want = p + kFrameLen;
        // Before the sensor's sync word is learnt, the tool's own is only a guess: the first
        // bytes, quiet and whole, are the frame even if 00 55 appears later in them.
        if (!sync_ && len_ >= kFrameLen) {
            if (settled) {
                s.kind = FrameStep::Take;
                s.at = 0;
                s.by = Placement::First;
            } else {
                s.kind = FrameStep::Settle;
            }
        }
        return s;
    }
    // A later frame that begins inside this one means this one's head was noise, if it is
    // whole; if it is not yet, the bytes still to come decide.
    const bool needsMarker =
        a.order == ORDER_DATA || a.order == ORDER_HARDWARE || a.order == ORDER_LINE_CHECK;
    for (;;) {
        int q = -1;
        // The line check's 00 AA in a frame's second word is not another frame's first.
        const int sameMarker =
            a.order == ORDER_LINE_CHECK && GetWord(buf_, p + 2) == kLineOk ? p + 2 : -1;
        for (int i = p + 1; i < p + kFrameLen && i + 4 <= len_; ++i) {
            // The sync word alone does not outweigh a marker that every awaited reply carries.
            if (i != sameMarker && candidate(i, a) == Strength::Strong &&
                (s.by == Placement::Sync || !needsMarker || placement(i, a) == Placement::Marker)) {
                q = i;
                break;
            }
        }
        if (q < 0) {
            break;
        }
        if (q + kFrameLen <= len_) {
            p = q;
            s.by = placement(p, a);
            continue;
        }
        if (!settled) {
            s.kind = FrameStep::Settle;
            s.at = p;
            s.want = q + kFrameLen;
            return s;
        }
        break;
    }
    s.kind = FrameStep::Take;
    s.at = p;
    return s;
}

int Framer::take(const FrameStep& step, const Awaited& a, char* frame) {
    const int at = std::clamp(step.at, 0, std::max(0, len_ - kFrameLen));
    std::memcpy(frame, buf_ + at, kFrameLen);
    if (step.by == Placement::Marker) {
        const std::uint16_t w0 = GetWord(frame, 0);
        const std::uint16_t w1 = GetWord(frame, 2);
        // The data reply's 8 and order 10's echo share their frame with the sync word. The
        // line check's 00 AA does not teach it: "xx xx 00 AA" and "00 AA" two bytes on are the
        // same evidence, so its first word may be noise.
        if (w1 == REPLY_DATA || (a.order == ORDER_HARDWARE && w1 == ORDER_HARDWARE)) {
            sync_ = w0;
        }
    }
    drop(at + kFrameLen);
    return at;
}
