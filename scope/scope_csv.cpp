#include "scope/scope_csv.h"

#include <algorithm>
#include <cstdio>

std::size_t FormatScopeCsvRow(const ScopeSample& s, char (&out)[kScopeCsvRowMax]) {
    int n =
        std::snprintf(out, sizeof out, "%.3f,%u,%u,%u,%u,%d,%d,%d,%d,%d,%d\n", s.t, s.rawA, s.rawB,
                      s.inState, s.outState, s.refA, s.upA, s.loA, s.refB, s.upB, s.loB);
    if (n < 0) {
        out[0] = '\0';
        return 0;
    }
    return std::min(static_cast<std::size_t>(n), sizeof out - 1);
}
