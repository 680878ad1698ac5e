#include "frames.h"
#include "record.h"
#include "scope.h"
#include "serial.h"
#include "state.h"
#include "ui.h"

namespace {
constexpr double kStopPause = 0.2;

// Builds the data request from block 0 and the header words 1 and 2 already set to 8 and 0.
void BuildDataRequest() {
    CopyVarsToPP(0);
    FillTxBuf(ORDER_DATA, 0, pp);
}

void FlushBoth() {
    FlushInQ(com);
    FlushOutQ(com);
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
    CopyVarsToPP(0);
    FlushBoth();
    rx_flag = 0;
    parameter[1] = ORDER_DATA;
    parameter[2] = 0;
    FillTxBuf(parameter[1], parameter[2], pp);
    if (ComWrt(com, szWriteBuf, kFrameLen) == kFrameLen) {
        ShowText("Line Ok!");
    }
    stop_flag = 0;
    graph_flag = 0;
    rx_flag = 0;

    // One request is outstanding at any time; the time-out runs from the last request sent.
    double t0 = Timer();
    scopeRequestAt = t0;
    for (;;) {
        // Plot before the next request: building it overwrites pp, which holds the reply.
        if (graph_flag == 1) {
            PlotRAWValues();
            graph_flag = 0;
        }
        if (rx_flag == REPLY_DATA) {
            FlushBoth();
            BuildDataRequest();
            rx_flag = 0;
            t0 = Timer();
            scopeRequestAt = t0;
            ComWrt(com, szWriteBuf, kFrameLen);
        }
        if (Timer() - t0 > TIMEOUT) {
            ShowText("Timeout RS232-Line!");
            stop_flag = 1;
            break;
        }
        // Replies and every other callback (Stop, Teach, ...) run only here.
        ProcessSystemEvents();
        if (stop_flag != 0) {
            break;
        }
    }

    rx_flag = 0;
    graph_flag = 0;
    FlushBoth(); // whatever port `com` is now; a nested port change may have replaced it
    SetCtrlAttribute(pA, MAIN_BTNRUN, ATTR_DIMMED, 0);
    return 0;
}

int CC_BTNStop(int, int, int event, void*, int, int) {
    if (event != EVENT_COMMIT) {
        return 0;
    }
    rx_flag = 0;
    FlushBoth();
    stop_flag = 1;
    graph_flag = 0;
    SetCtrlAttribute(pA, MAIN_BTNRUN, ATTR_DIMMED, 0);
    SetCtrlAttribute(pA, MAIN_TIMER50MS, ATTR_ENABLED, 0);
    FillarrayRAW(0, 0);
    Delay(kStopPause);
    return 0;
}
