// One reply becomes one sample: the history buffer, the chart, the raw fields and the LEDs.
#include "harness.h"

#include "core/state.h"
#include "params/record.h"
#include "runtime/ui.h"
#include "scope/scope.h"
#include "testkit/testing.h"

#include <algorithm>

namespace {

using ScopePlotTest = RoutineTest;

void SetPP(std::uint16_t a, std::uint16_t b, std::uint16_t in, std::uint16_t out) {
    pp[0] = a;
    pp[1] = b;
    pp[2] = in;
    pp[3] = out;
}

int Led(int id) {
    int v = -1;
    GetCtrlVal(pA, id, &v);
    return v;
}

TEST_F(ScopePlotTest, SamplesEnterAtTheEndAndMoveDownByEight) {
    refthdA = 500;
    refthdB = 510;
    upthdA = 600;
    lothdA = 400;
    upthdB = 1023;
    lothdB = 0;
    SetPP(100, 200, 0, 0);
    PlotRAWValues();
    EXPECT_TRUE(std::all_of(arrayRAW, arrayRAW + 792, [](double v) { return v == 0.0; }));
    const double first[8] = {100, 200, 500, 510, 600, 400, 1023, 0};
    EXPECT_TRUE(std::equal(first, first + 8, arrayRAW + 792));

    SetPP(101, 201, 0, 0);
    refthdA = 20;
    PlotRAWValues();
    EXPECT_TRUE(std::all_of(arrayRAW, arrayRAW + 784, [](double v) { return v == 0.0; }));
    EXPECT_TRUE(std::equal(first, first + 8, arrayRAW + 784));
    EXPECT_EQ(arrayRAW[792], 101.0);
    EXPECT_EQ(arrayRAW[794], 20.0);

    // The chart shows the same history, one trace per value, newest last.
    auto traces = StripChartTraces(pA, MAIN_STRIPCHART);
    ASSERT_EQ(traces.size(), 8u);
    for (int t = 0; t < 8; ++t) {
        ASSERT_EQ(traces[t].size(), 100u);
        EXPECT_EQ(traces[t][98], first[t]);
        EXPECT_EQ(traces[t][99], arrayRAW[792 + t]);
    }
    int raw = 0;
    GetCtrlVal(pA, MAIN_RAWA, &raw);
    EXPECT_EQ(raw, 101);
    GetCtrlVal(pA, MAIN_RAWB, &raw);
    EXPECT_EQ(raw, 201);
}

TEST_F(ScopePlotTest, RawValuesAreUnsignedThresholdsSigned) {
    refthdA = static_cast<std::int16_t>(0xFFFF);
    SetPP(65535, 32768, 0, 0);
    PlotRAWValues();
    EXPECT_EQ(arrayRAW[792], 65535.0);
    EXPECT_EQ(arrayRAW[793], 32768.0);
    EXPECT_EQ(arrayRAW[794], -1.0);
    EXPECT_EQ(StripChartTraces(pA, MAIN_STRIPCHART)[0].back(), 65535.0);
    int raw = 0;
    GetCtrlVal(pA, MAIN_RAWA, &raw);
    EXPECT_EQ(raw, 65535);
}

TEST_F(ScopePlotTest, StateWordsDriveTheLedsOnlyWhenZeroToThree) {
    DispLEDState(3, 0);
    EXPECT_EQ(Led(MAIN_LEDIN0), 1);
    EXPECT_EQ(Led(MAIN_LEDIN1), 1);
    DispLEDState(4, 2); // 4 leaves the input pair alone, the output pair still follows
    EXPECT_EQ(Led(MAIN_LEDIN0), 1);
    EXPECT_EQ(Led(MAIN_LEDIN1), 1);
    EXPECT_EQ(Led(MAIN_LEDOUT0), 0);
    EXPECT_EQ(Led(MAIN_LEDOUT1), 1);
    DispLEDState(0, 0xFFFF); // a word with high bits set does not light by its low bits
    EXPECT_EQ(Led(MAIN_LEDIN0), 0);
    EXPECT_EQ(Led(MAIN_LEDIN1), 0);
    EXPECT_EQ(Led(MAIN_LEDOUT0), 0);
    EXPECT_EQ(Led(MAIN_LEDOUT1), 1);
    DispLEDState(1, -1);
    EXPECT_EQ(Led(MAIN_LEDIN0), 1);
    EXPECT_EQ(Led(MAIN_LEDIN1), 0);
    EXPECT_EQ(Led(MAIN_LEDOUT1), 1);

    // The plot takes them from pp words 2 and 3.
    SetPP(0, 0, 2, 3);
    PlotRAWValues();
    EXPECT_EQ(Led(MAIN_LEDIN0), 0);
    EXPECT_EQ(Led(MAIN_LEDIN1), 1);
    EXPECT_EQ(Led(MAIN_LEDOUT0), 1);
    EXPECT_EQ(Led(MAIN_LEDOUT1), 1);
}

} // namespace
