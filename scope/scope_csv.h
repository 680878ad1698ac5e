// The one row format the program writes for a scope sample: the window's Record switch and the
// command-line tool's scope command share it. Pure: no panel, no globals.
#pragma once

#include <cstddef>

// One plotted sample: seconds since the run started, the four reply words, both channels'
// reference and switching band.
struct ScopeSample {
    double t = 0;
    unsigned rawA = 0, rawB = 0, inState = 0, outState = 0;
    int refA = 0, upA = 0, loA = 0, refB = 0, upB = 0, loB = 0;
};

inline constexpr const char* kScopeCsvHeader =
    "t_s,raw_a,raw_b,in_state,out_state,ref_a,up_a,lo_a,ref_b,up_b,lo_b\n";
// A row is far shorter: 11 numbers of at most 11 characters each.
inline constexpr std::size_t kScopeCsvRowMax = 160;

// One CSV row with its newline; returns its length.
std::size_t FormatScopeCsvRow(const ScopeSample& s, char (&out)[kScopeCsvRowMax]);
