// Looking at the live scope: the time of each sample in the history, the link's figures since
// Run, and the chart's Pause, Save Chart and Reset zoom controls.
#pragma once

#include "core/line.h"
#include "core/state.h"
#include "link/link.h"

#include <cstddef>
#include <string>

// Seconds since Run of each sample in arrayRAW's history, oldest first; samples from before the
// run are spaced as the line would space them, ending at 0.
extern double timesRAW[100];
// Timer() when the current or last run started.
double ScopeRunStartedAt();
// When the run's last sample came (Timer seconds).
double ScopeLastSampleAt();
// Samples plotted since Run.
long ScopeSamples();

// Called from the run loop when a run starts (resets the link's figures) and ends.
void ScopeStatsRunStarted();
// `recorded` (may be empty) tells what the run wrote to a file.
void ScopeStatsRunEnded(const std::string& recorded);
// Frames that were not data replies are the standard replies decoded since Run.
// Called for every plotted sample: counts it and refreshes the figures at most four times a
// second.
void ScopeStatsSample();

// "26.6/s of 26.7/s (99.6 %), 0 time-outs, 0 other frames, 0 B noise, 1234 samples"
std::string FormatScopeStats(long samples, double seconds, const LinkStats& stats);

ZEL_CALLBACK(CC_TOGGPause);
ZEL_CALLBACK(CC_BTNSaveChart);
ZEL_CALLBACK(CC_BTNResetZoom);
