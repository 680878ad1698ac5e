// The live scope: run loop, plotting and LEDs, array helpers, teach/refresh/reset and the
// block read of 64 data words.
#pragma once

#include "core/state.h"
#include "link/link.h"

#include <cstdint>

extern int stop_flag; // 0 only while the scope loop runs
// Block-read image: 128 words per channel filled by ReadData64.
extern std::uint16_t yArrayA[256];
extern std::uint16_t yArrayB[256];

// Asks a running scope loop to end (stop_flag = 1) and tells the link no data request is in
// flight any more.
inline void StopScope() {
    stop_flag = 1;
    EndDataStream();
}

ZEL_CALLBACK(CC_BTNRun);
ZEL_CALLBACK(CC_BTNStop);
ZEL_CALLBACK(CC_ButtonTeach);
ZEL_CALLBACK(CC_ButtonRefreshCHA);
ZEL_CALLBACK(CC_ButtonRefreshCHB);
ZEL_CALLBACK(CC_ButtonReset);
ZEL_CALLBACK(CC_RadioSelect);
ZEL_CALLBACK(CC_RadioTeach);
ZEL_CALLBACK(CC_BINSWchannel);

inline constexpr int kRawSamples = 100;
inline constexpr int kRawTraces = 8;
inline constexpr int kRawValues = kRawSamples * kRawTraces;

extern double arrayRAW[kRawValues];
extern std::uint16_t adcCHA, adcCHB, instate, outstate;

void PlotRAWValues();
// Called at the end of every PlotRAWValues, when set: lets a caller without a chart collect
// each sample (adcCHA, adcCHB, instate, outstate and the thresholds). nullptr removes it.
void SetPlotObserver(void (*observer)());
// Fills the whole history with first, second at its very end; (0, 0) clears it.
int FillarrayRAW(int first, int second);
void DispLEDState(int inputState, int outputState);
// Moves count values by shift places (positive: towards higher indices), filling with 0.0;
// 0, or -20003 for count < 1, -20102 for |shift| >= count. Safe in place.
int Shift(const double* input, int count, int shift, double* output);
// 0, or -20003 for count < 1.
int Copy1D(const double* input, int count, double* output);
// Applies the strip chart's two display settings (before each plot and on Run pressed).
void ApplyChartSettings();
// Names, colours and line styles of the eight traces (once, at start-up).
void SetupStripChart();

// Block read: 64 words from `startAddress` into yArrayA/yArrayB; 64 on success, else 0.
int ReadData64(int startAddress, int value, int order);
