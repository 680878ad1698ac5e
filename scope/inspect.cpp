#include "scope/inspect.h"

#include "core/panel_ids.h"
#include "runtime/ui.h"
#include "scope/scope.h"

#include <cstdio>

double timesRAW[100] = {};

namespace {
constexpr double kStatsEverySec = 0.25;
double g_runStart = 0;
double g_lastStats = -1;
double g_lastSampleAt = 0;
long g_samples = 0;

// Until `until` (Timer seconds).
void ShowStats(double until, const std::string& suffix = "") {
    std::string text = FormatScopeStats(g_samples, until - g_runStart, GetLinkStats()) + suffix;
    SetCtrlVal(pA, MAIN_SCOPESTATS, text.c_str());
    g_lastStats = Timer();
}
} // namespace

double ScopeRunStartedAt() {
    return g_runStart;
}

double ScopeLastSampleAt() {
    return g_lastSampleAt;
}

long ScopeSamples() {
    return g_samples;
}

void ScopeStatsRunStarted() {
    g_runStart = Timer();
    g_samples = 0;
    g_lastSampleAt = g_runStart;
    ResetLinkStats();
    // The history from before the run sits left of 0, at the line's pace.
    for (int i = 0; i < kRawSamples; ++i) {
        timesRAW[i] = -(kRawSamples - 1 - i) / kLineLimitPerSec;
    }
    ShowStats(g_runStart);
}

void ScopeStatsRunEnded(const std::string& recorded) {
    // The rate of the run itself: up to its last sample, not including how it was ended.
    ShowStats(g_lastSampleAt, recorded.empty() ? "" : "; recorded " + recorded);
}

void ScopeStatsSample() {
    ++g_samples;
    g_lastSampleAt = Timer();
    if (g_lastSampleAt - g_lastStats >= kStatsEverySec) {
        ShowStats(g_lastSampleAt);
    }
}

std::string FormatScopeStats(long samples, double seconds, const LinkStats& stats) {
    double rate = seconds > 0 ? static_cast<double>(samples) / seconds : 0.0;
    char text[200];
    int n = std::snprintf(text, sizeof text,
                          "%.1f/s of %.1f/s (%.1f %%), %ld time-outs, %ld other frames, "
                          "%ld B noise, %ld samples",
                          rate, kLineLimitPerSec, 100.0 * rate / kLineLimitPerSec, stats.timeouts,
                          stats.standardReplies, stats.bytesDiscarded, samples);
    // A command pressed during the run may take a data reply the chart then never gets.
    if (stats.samplesLost > 0 && n > 0 && n < static_cast<int>(sizeof text)) {
        std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), ", %ld lost to commands",
                      stats.samplesLost);
    }
    return text;
}

int CC_TOGGPause(int panel, int control, int event, void*, int, int) {
    if (event != EVENT_COMMIT) {
        return 0;
    }
    int on = 0;
    GetCtrlVal(panel, control, &on);
    SetStripChartPaused(pA, MAIN_STRIPCHART, on);
    return 0;
}

int CC_BTNSaveChart(int, int, int event, void*, int, int) {
    if (event != EVENT_COMMIT) {
        return 0;
    }
    char path[MAX_PATHNAME_LEN] = {};
    if (FileSelectPopup(proj_dir, "scope.png", "*.png", "Save Chart", VAL_OK_BUTTON, 0, 1, 1, 1,
                        path) <= 0) {
        return 0;
    }
    std::string text = SaveStripChartImage(pA, MAIN_STRIPCHART, path) == 0
                           ? std::string("Chart saved to ") + path
                           : std::string("Chart not saved: cannot write ") + path;
    ShowText(text.c_str());
    return 0;
}

int CC_BTNResetZoom(int, int, int event, void*, int, int) {
    if (event == EVENT_COMMIT) {
        ResetStripChartZoom(pA, MAIN_STRIPCHART);
    }
    return 0;
}
