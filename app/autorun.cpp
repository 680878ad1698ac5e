// Automation hook for benchmarks and unattended checks: ZEL_AUTORUN=SECONDS presses Run once the
// window is up, Stop SECONDS later, prints the run's figures on stderr and closes the window.
// ZEL_AUTORUN_RECORD=1 switches Record on first; ZEL_AUTORUN_TRAFFIC=1 opens the Traffic view.
#include "app/app.h"
#include "core/state.h"
#include "host/clock.h"
#include "host/host.h"
#include "link/link.h"
#include "runtime/ui.h"
#include "scope/inspect.h"
#include "scope/scope.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {
double g_seconds = 0;
double g_startWall = 0, g_startCpu = 0;
double g_wall = 0, g_cpu = 0;
long g_samples = 0;
double g_stream = 0; // seconds from Run to the last sample

void PressStop() {
    SetPeriodicCall(0, &PressStop);
    g_wall = Timer() - g_startWall;
    g_cpu = ProcessCpuSeconds() - g_startCpu;
    g_samples = ScopeSamples();
    g_stream = ScopeLastSampleAt() - ScopeRunStartedAt();
    CC_BTNStop(pA, MAIN_BTNSTOP, EVENT_COMMIT, nullptr, 0, 0);
}

void PressRun() {
    SetPeriodicCall(0, &PressRun);
    const char* record = std::getenv("ZEL_AUTORUN_RECORD");
    if (record && std::string(record) == "1") {
        SetCtrlVal(pA, MAIN_RECORDSW, 1);
    }
    const char* traffic = std::getenv("ZEL_AUTORUN_TRAFFIC");
    if (traffic && std::string(traffic) == "1") {
        CC_BTNTraffic(pA, MAIN_BTNTRAFFIC, EVENT_COMMIT, nullptr, 0, 0);
    }
    SetPeriodicCall(g_seconds, &PressStop);
    g_startWall = Timer();
    g_startCpu = ProcessCpuSeconds();
    CC_BTNRun(pA, MAIN_BTNRUN, EVENT_LEFT_CLICK, nullptr, 0, 0);
    CC_BTNRun(pA, MAIN_BTNRUN, EVENT_COMMIT, nullptr, 0, 0); // the loop runs until Stop
    char link[256] = {};
    GetCtrlVal(pA, MAIN_SCOPESTATS, link, sizeof link);
    std::fprintf(stderr,
                 "zel-vavod: autorun %.3f s, cpu %.3f s (%.2f %% of a core), %ld samples "
                 "(%.2f/s); stream %.3f/s; link: %s\n",
                 g_wall, g_cpu, g_wall > 0 ? 100.0 * g_cpu / g_wall : 0.0, g_samples,
                 g_wall > 0 ? static_cast<double>(g_samples) / g_wall : 0.0,
                 g_stream > 0 ? static_cast<double>(g_samples) / g_stream : 0.0, link);
    CC_PANEL(pA, 0, EVENT_CLOSE, nullptr, 0, 0);
}
} // namespace

void StartAutorunIfAsked() {
    const char* value = std::getenv("ZEL_AUTORUN");
    if (!value) {
        return;
    }
    g_seconds = std::atof(value);
    if (g_seconds > 0) {
        SetPeriodicCall(0.001, &PressRun);
    }
}

void ReportShownValues() {
    static constexpr struct {
        int control;
        const char* name;
    } kFields[] = {{MAIN_SETTING0, "setting0"}, {MAIN_REFA, "refA"},
                   {MAIN_REFB, "refB"},         {MAIN_TOLA, "tolA"},
                   {MAIN_TOLB, "tolB"},         {MAIN_SETTING5, "setting5"},
                   {MAIN_SETTING8, "setting8"}, {MAIN_SETTING9, "setting9"}};
    char status[256] = {};
    GetCtrlVal(pA, MAIN_STATUS, status, sizeof status);
    std::string fields;
    for (const auto& f : kFields) {
        int value = 0;
        GetCtrlVal(pA, f.control, &value);
        fields += std::string(fields.empty() ? "" : " ") + f.name + "=" + std::to_string(value);
    }
    std::fprintf(stderr, "zel-vavod: shown: status \"%s\"; %s\n", status, fields.c_str());
}
