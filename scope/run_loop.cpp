#include "core/state.h"
#include "link/frames.h"
#include "params/record.h"
#include "runtime/ui.h"
#include "scope/inspect.h"
#include "scope/record.h"
#include "scope/scope.h"

#include <algorithm>
#include <array>

int stop_flag = 1;
std::uint16_t yArrayA[256] = {};
std::uint16_t yArrayB[256] = {};

namespace {
// The next data request: block 0, order 8, second word 0. Built only after the reply has been
// plotted, because building it overwrites pp, which holds the reply.
int SendDataRequest() {
    CopyVarsToPP(0);
    return SendCommandFrame(com, ORDER_DATA, 0, pp);
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
    FlushQueues(com);
    if (SendDataRequest() == kFrameLen) {
        ShowText("Line Ok!");
    }
    stop_flag = 0;
    graph_flag = 0;
    rx_flag = 0;
    ScopeStatsRunStarted();
    RecordRunStarted();

    // One request is outstanding at any time; the time-out runs from the last request sent.
    double t0 = Timer();
    NoteDataRequest(t0);
    bool answered = false; // the request in flight got its data reply
    for (;;) {
        // Only the data reply to the loop's own request is plotted: a nested command's reply
        // (or its words left in pp) never reaches the chart, the LEDs or the recording. Plot
        // before the next request: building it overwrites pp.
        std::array<std::uint16_t, 16> sample;
        if (TakeDataReply(sample)) {
            std::copy(sample.begin(), sample.end(), pp);
            PlotRAWValues();
            answered = true;
        }
        graph_flag = 0;
        if (rx_flag == REPLY_DATA) {
            if (!answered) {
                CountLostSample(); // a nested command took the reply and re-armed the loop
            }
            answered = false;
            FlushQueues(com);
            t0 = Timer();
            NoteDataRequest(t0);
            SendDataRequest();
        }
        if (Timer() - t0 > TIMEOUT) {
            ShowText("Timeout RS232-Line!");
            CountTimeout();
            StopScope();
            break;
        }
        // Replies and every other callback (Stop, Teach, ...) run only here; with nothing to do
        // the pass blocks until the next event or the request's time-out, whichever is first.
        ProcessSystemEventsUntil(t0 + TIMEOUT + 0.0005);
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

    EndDataStream();
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
