// Each channel's reference and switching band as drawn on the strip chart and written in the
// scope's rows, from block 0's references and tolerances. Pure.
#pragma once

#include <algorithm>
#include <cstdint>

struct SwitchingBands {
    std::int16_t refA, refB, upA, loA, upB, loB;
};

// A word above 32767 (only from a hand-edited file or an unlimited field) would not fit the
// signed thresholds; it is held at 32767 so nothing wraps. The band stays within 0..1023.
inline SwitchingBands BandsOf(long refA, long refB, long tolA, long tolB) {
    auto clamp16 = [](long v) {
        return static_cast<std::int16_t>(std::clamp<long>(v, -32768, 32767));
    };
    return {clamp16(refA),
            clamp16(refB),
            clamp16(std::min(refA + tolA, 1023L)),
            clamp16(std::max(refA - tolA, 0L)),
            clamp16(std::min(refB + tolB, 1023L)),
            clamp16(std::max(refB - tolB, 0L))};
}
