// The order statistics the benchmarks print.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

// The value below which a share `p` (0 to 1) of the samples lie; 0 without samples.
inline double Percentile(std::vector<double> v, double p) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

inline double Median(const std::vector<double>& v) {
    return Percentile(v, 0.5);
}
