#include "core/state.h"
#include "link/frames.h"
#include "link/stream.h"
#include "params/record.h"
#include "runtime/ui.h"
#include "scope/inspect.h"
#include "scope/record.h"
#include "scope/scope.h"

#include <algorithm>

int stop_flag = 1;
std::uint16_t yArrayA[256] = {};
std::uint16_t yArrayB[256] = {};

namespace {
// Data requests carry block 0; the record's order words say what went out last.
const std::uint16_t* DataRequestWords() {
    CopyVarsToPP(0);
    NoteCommand(ORDER_DATA, 0);
    return pp;
}
} // namespace

int CC_BTNRun(int, int, int event, void*, int, int) {
    if (event == EVENT_LEFT_CLICK) {
        ApplyChartSettings();
        // Calibration and the scope exclude each other: a click on the switch stops the loop.
        SetCtrlVal(pA, MAIN_TOGGCALIB, 0);
        HidePanel(pCalib);
        return 0;
    }
    if (event != EVENT_COMMIT) {
        return 0;
    }

    SetCtrlAttribute(pA, MAIN_BTNRUN, ATTR_DIMMED, 1);
    SetCtrlAttribute(pA, MAIN_STRIPCHART, ATTR_VISIBLE, 1);
    DataStream stream;
    if (StartStream(stream, com, DataRequestWords()) == kFrameLen) {
        ShowText("Line Ok!");
    }
    stop_flag = 0;
    graph_flag = 0;
    rx_flag = 0;
    ScopeStatsRunStarted();
    RecordRunStarted();

    // One request is outstanding at any time; the time-out runs from the last request sent.
    for (;;) {
        // Only the data reply to the loop's own request is plotted: a nested command's reply
        // (or its words left in pp) never reaches the chart, the LEDs or the recording. Plot
        // before the next request: building it overwrites pp.
        SampleWords sample;
        if (TakeSample(stream, sample)) {
            std::copy(sample.begin(), sample.end(), pp);
            PlotRAWValues();
        }
        graph_flag = 0;
        // A data reply, or a nested command that took it and re-armed the loop.
        if (rx_flag == REPLY_DATA) {
            rx_flag = 0; // the loop's send: the next reply sets it again
            RequestNext(stream, DataRequestWords());
        }
        if (StreamTimedOut(stream)) {
            ShowText("Timeout RS232-Line!");
            CountTimeout();
            StopScope();
            break;
        }
        // Replies and every other callback (Stop, Teach, ...) run only here; with nothing to do
        // the pass blocks until the next event or the request's time-out, whichever is first.
        PumpStream(stream);
        if (PortLost()) {
            // The device went away: say so instead of running out the time-out.
            ShowText(PortLostText());
            StopScope();
            break;
        }
        if (stop_flag != 0) {
            break;
        }
    }

    StopStream(stream);
    // However the loop ended (Stop, time-out, lost or changed port, window closed), the
    // recording is complete on disk before anything else runs.
    ScopeStatsRunEnded(RecordRunEnded());
    rx_flag = 0;
    graph_flag = 0;
    FlushQueues(com); // whatever port `com` is now; a nested port change may have replaced it
    SetCtrlAttribute(pA, MAIN_BTNRUN, ATTR_DIMMED, 0);
    return 0;
}

int CC_BTNStop(int, int, int event, void*, int, int) {
    if (event != EVENT_COMMIT) {
        return 0;
    }
    rx_flag = 0;
    FlushQueues(com);
    StopScope();
    graph_flag = 0;
    SetCtrlAttribute(pA, MAIN_BTNRUN, ATTR_DIMMED, 0);
    SetCtrlAttribute(pA, MAIN_TIMER50MS, ATTR_ENABLED, 0);
    FillarrayRAW(0, 0);
    Delay(kStopPauseSec);
    return 0;
}
