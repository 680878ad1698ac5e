// The calibration header's H3 as the sensor stores it and as the panel shows it. Pure, for the
// window and the command-line tool alike.
#pragma once

#include <cmath>
#include <cstdint>

// H3 as stored: trunc(value x 1024) toward zero, low 16 bits kept (64 gives 0, -0.5 gives
// 65024). Non-finite values give 0.
inline std::uint16_t H3FromReal(double value) {
    double t = std::trunc(value * 1024.0);
    if (!std::isfinite(t)) {
        return 0; // beyond any double integer: a multiple of 65536 in any case
    }
    // fmod is exact, so this keeps the low 16 bits of any double integer without an
    // out-of-range integer conversion.
    double low = std::fmod(t, 65536.0);
    if (low < 0) {
        low += 65536.0;
    }
    return static_cast<std::uint16_t>(low);
}

// H3 as shown: the stored word taken as unsigned, divided by 1024.
inline double H3ToReal(std::uint16_t word) {
    return word / 1024.0;
}
