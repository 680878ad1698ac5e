#include "core/state.h"
#include "params/record.h"
#include "runtime/ui.h"
#include "scope/inspect.h"
#include "scope/record.h"
#include "scope/scope.h"

double arrayRAW[kRawValues] = {};
std::uint16_t adcCHA = 0, adcCHB = 0, instate = 0, outstate = 0;

namespace {
constexpr int kErrBadCount = -20003;
constexpr int kErrBadShift = -20102;
constexpr int kPointsPerScreen = kRawSamples;
void (*g_plotObserver)() = nullptr;

// Channel colours: everything drawn for channel A is blue, for channel B orange; within a
// channel the reference is a darker and the band a lighter shade, so the legend tells them apart.
constexpr int kRawA = MakeColor(0x1F, 0x5F, 0xD0);
constexpr int kRefA = MakeColor(0x0A, 0x2A, 0x78);
constexpr int kBandA = MakeColor(0x4A, 0x86, 0xF0);
constexpr int kRawB = MakeColor(0xE0, 0x6A, 0x10);
constexpr int kRefB = MakeColor(0x8A, 0x3A, 0x00);
constexpr int kBandB = MakeColor(0xF2, 0x92, 0x3C);
constexpr int kBold = 3;
// Both channels often share reference and tolerance; A's lines, drawn first and a pixel wider,
// then still show around B's.
constexpr int kThinA = 2;
constexpr int kThinB = 1;

struct TraceLook {
    const char* name;
    int colour;
    int width;
    int dashed;
};

// Trace order is the order of the values in each sample of arrayRAW.
constexpr TraceLook kTraces[kRawTraces] = {
    {"Raw CHA", kRawA, kBold, 0},     {"Raw CHB", kRawB, kBold, 0},
    {"Ref CHA", kRefA, kThinA, 1},    {"Ref CHB", kRefB, kThinB, 1},
    {"Upper CHA", kBandA, kThinA, 1}, {"Lower CHA", kBandA, kThinA, 1},
    {"Upper CHB", kBandB, kThinB, 1}, {"Lower CHB", kBandB, kThinB, 1},
};

// Restyling an LED is costly and runs on every sample, between a reply and the next request:
// only touch it when it changes.
void SetLed(int led, int on) {
    int now = -1;
    if (GetCtrlVal(pA, led, &now) != 0 || now != on) {
        SetCtrlVal(pA, led, on);
    }
}

// One state word drives its pair of LEDs only when it is 0..3; anything else leaves them.
void SetLedPair(int word, int ledBit0, int ledBit1) {
    if (word < 0 || word > 3) {
        return;
    }
    SetLed(ledBit0, word & 1);
    SetLed(ledBit1, (word >> 1) & 1);
}
} // namespace

void ApplyChartSettings() {
    SetCtrlAttribute(pA, MAIN_STRIPCHART, ATTR_POINTS_PER_SCREEN, kPointsPerScreen);
    SetCtrlAttribute(pA, MAIN_STRIPCHART, ATTR_SCROLL_MODE, VAL_CONTINUOUS);
}

void SetupStripChart() {
    for (int t = 0; t < kRawTraces; ++t) {
        const TraceLook& look = kTraces[t];
        SetStripChartTrace(pA, MAIN_STRIPCHART, t, look.name, look.colour, look.width, look.dashed);
    }
    ApplyChartSettings();
}

void PlotRAWValues() {
    Shift(arrayRAW, kRawValues, -kRawTraces, arrayRAW);

    adcCHA = pp[0];
    adcCHB = pp[1];
    instate = pp[2];
    outstate = pp[3];

    double* newest = arrayRAW + kRawValues - kRawTraces;
    newest[0] = adcCHA;
    newest[1] = adcCHB;
    newest[2] = refthdA;
    newest[3] = refthdB;
    newest[4] = upthdA;
    newest[5] = lothdA;
    newest[6] = upthdB;
    newest[7] = lothdB;

    // The time is taken once, after the reply was decoded: all that uses it sees the same value.
    double t = Timer() - ScopeRunStartedAt();
    Shift(timesRAW, kRawSamples, -1, timesRAW);
    timesRAW[kRawSamples - 1] = t;

    ApplyChartSettings();
    SetStripChartTimes(pA, MAIN_STRIPCHART, timesRAW, kRawSamples);
    PlotStripChart(pA, MAIN_STRIPCHART, arrayRAW, kRawValues, 0, 0, VAL_DOUBLE);
    SetCtrlVal(pA, MAIN_RAWA, static_cast<unsigned>(adcCHA));
    SetCtrlVal(pA, MAIN_RAWB, static_cast<unsigned>(adcCHB));
    DispLEDState(instate, outstate);
    RecordSample(t);
    ScopeStatsSample();
    if (g_plotObserver) {
        g_plotObserver();
    }
}

void SetPlotObserver(void (*observer)()) {
    g_plotObserver = observer;
}

// Clears the whole history, so nothing of an earlier run scrolls through the next one.
int FillarrayRAW(int first, int second) {
    for (int i = 0; i + 1 < kRawValues; ++i) {
        arrayRAW[i] = first;
        arrayRAW[i + 1] = second;
    }
    return 0;
}

void DispLEDState(int inputState, int outputState) {
    SetLedPair(inputState, MAIN_LEDIN0, MAIN_LEDIN1);
    SetLedPair(outputState, MAIN_LEDOUT0, MAIN_LEDOUT1);
}

int Shift(const double* input, int count, int shift, double* output) {
    if (count < 1) {
        return kErrBadCount;
    }
    long long magnitude = shift < 0 ? -static_cast<long long>(shift) : shift;
    if (magnitude >= count) {
        return kErrBadShift;
    }
    if (shift == 0) {
        return Copy1D(input, count, output);
    }
    // Copying away from the direction of the shift keeps an in-place shift intact.
    if (shift > 0) {
        for (int i = count - 1; i >= shift; --i) {
            output[i] = input[i - shift];
        }
        for (int i = 0; i < shift; ++i) {
            output[i] = 0.0;
        }
    } else {
        int m = -shift;
        for (int i = 0; i < count - m; ++i) {
            output[i] = input[i + m];
        }
        for (int i = count - m; i < count; ++i) {
            output[i] = 0.0;
        }
    }
    return 0;
}

int Copy1D(const double* input, int count, double* output) {
    if (count < 1) {
        return kErrBadCount;
    }
    for (int i = 0; i < count; ++i) {
        output[i] = input[i];
    }
    return 0;
}
