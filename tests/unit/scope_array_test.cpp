// The array helpers behind the plot history.
#include "scope/scope.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <vector>

namespace {

std::vector<double> Shifted(std::vector<double> in, int shift) {
    std::vector<double> out(in.size(), -7.0);
    EXPECT_EQ(Shift(in.data(), static_cast<int>(in.size()), shift, out.data()), 0);
    return out;
}

TEST(ScopeArrays, ShiftMovesAndFillsWithZero) {
    const std::vector<double> a{1, 2, 3, 4, 5};
    EXPECT_EQ(Shifted(a, 2), (std::vector<double>{0, 0, 1, 2, 3}));
    EXPECT_EQ(Shifted(a, -2), (std::vector<double>{3, 4, 5, 0, 0}));
    EXPECT_EQ(Shifted(a, 4), (std::vector<double>{0, 0, 0, 0, 1}));
    EXPECT_EQ(Shifted(a, -4), (std::vector<double>{5, 0, 0, 0, 0}));
    EXPECT_EQ(Shifted(a, 0), a);
}

TEST(ScopeArrays, ShiftRejectsBadArgumentsAndTouchesNothing) {
    const std::vector<double> a{1, 2, 3, 4, 5};
    std::vector<double> out(5, 9.0);
    for (int s : {5, -5, 6, INT_MAX, INT_MIN}) {
        EXPECT_EQ(Shift(a.data(), 5, s, out.data()), -20102) << "shift " << s;
    }
    EXPECT_EQ(Shift(a.data(), 0, 0, out.data()), -20003);
    EXPECT_EQ(Shift(a.data(), -3, 1, out.data()), -20003);
    EXPECT_EQ(out, std::vector<double>(5, 9.0));
}

TEST(ScopeArrays, Copy1D) {
    const std::vector<double> a{1.5, -2, 65535};
    std::vector<double> out(3, 9.0);
    EXPECT_EQ(Copy1D(a.data(), 0, out.data()), -20003);
    EXPECT_EQ(Copy1D(a.data(), -1, out.data()), -20003);
    EXPECT_EQ(out, std::vector<double>(3, 9.0));
    EXPECT_EQ(Copy1D(a.data(), 2, out.data()), 0);
    EXPECT_EQ(out, (std::vector<double>{1.5, -2, 9.0}));
}

// The history is cleared to its very end, so nothing of one run scrolls through the next.
TEST(ScopeArrays, FillarrayRAWCoversTheWholeHistory) {
    std::fill(std::begin(arrayRAW), std::end(arrayRAW), 3.0);
    FillarrayRAW(0, 0);
    EXPECT_TRUE(
        std::all_of(std::begin(arrayRAW), std::end(arrayRAW), [](double v) { return v == 0.0; }));
    FillarrayRAW(1, 2);
    EXPECT_TRUE(std::all_of(arrayRAW, arrayRAW + kRawValues - 1, [](double v) { return v == 1; }));
    EXPECT_EQ(arrayRAW[kRawValues - 1], 2.0);
}

} // namespace
