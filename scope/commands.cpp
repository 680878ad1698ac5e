#include "frames.h"
#include "link.h"
#include "params.h"
#include "record.h"
#include "scope.h"
#include "serial.h"
#include "state.h"
#include "ui.h"

#include <algorithm>
#include <iterator>

namespace {
// Waits from t0 for a reply: of any kind, or a standard reply only. A reply decoded in the
// last pump, once the time is up, is not looked at.
bool CommandWait(double t0, bool anyKind) {
    for (;;) {
        if (anyKind ? rx_flag > 0 : rx_flag == REPLY_STANDARD) {
            return true;
        }
        double elapsed = Timer() - t0;
        ProcessSystemEvents();
        if (!(elapsed < TIMEOUT)) {
            return false;
        }
    }
}

void WriteCommand() {
    if (ComWrt(com, szWriteBuf, kFrameLen) == kFrameLen) {
        ShowText("Line Ok!");
    }
}

// Refresh A, refresh B and reset differ only in their order.
void PanelCommand(int order) {
    LetScopeReplyLand();
    FlushInQ(com);
    FlushOutQ(com);
    parameter[1] = static_cast<std::uint16_t>(order);
    parameter[2] = 0;
    GetPanelValues();
    CopyVarsToPP(0);
    FillTxBuf(order, 0, pp);
    rx_flag = 0;
    WriteCommand();
    if (CommandWait(Timer(), false)) {
        PushGET(RAM, 0);
    } else {
        ShowText("Timeout RS-232!!");
    }
    // Deliberately no re-arm of a running scope loop.
}
} // namespace

int CC_ButtonTeach(int, int, int event, void*, int, int) {
    if (event == EVENT_LEFT_CLICK) {
        ShowText("Teach new Reference-Value ...");
        return 0;
    }
    if (event != EVENT_COMMIT) {
        return 0;
    }
    int channelSwitch = 0;
    GetCtrlVal(pA, MAIN_CHANNEL, &channelSwitch);
    auto channel = static_cast<std::uint16_t>(channelSwitch & 0xFFFF);

    LetScopeReplyLand();
    FlushInQ(com);
    FlushOutQ(com);
    parameter[1] = ORDER_TEACH;
    parameter[2] = channel;
    std::fill(std::begin(pp), std::end(pp), 0);
    FillTxBuf(ORDER_TEACH, channel, pp);
    rx_flag = 0;
    WriteCommand();
    if (CommandWait(Timer(), true)) {
        PushGET(RAM, 0);
        ShowText(channel == 0 ? "New setpoint value CHA teached!"
                              : "New setpoint value CHB teached!");
    } else {
        ShowText("Timeout RS-232!!");
    }
    // Nested in a running scope loop, this command may have taken the loop's reply: re-arm it.
    if (stop_flag == 0) {
        rx_flag = REPLY_DATA;
    }
    return 0;
}

int CC_ButtonRefreshCHA(int, int, int event, void*, int, int) {
    if (event == EVENT_COMMIT) {
        PanelCommand(ORDER_REFRESH_A);
    }
    return 0;
}

int CC_ButtonRefreshCHB(int, int, int event, void*, int, int) {
    if (event == EVENT_COMMIT) {
        PanelCommand(ORDER_REFRESH_B);
    }
    return 0;
}

int CC_ButtonReset(int, int, int event, void*, int, int) {
    if (event == EVENT_COMMIT) {
        PanelCommand(ORDER_RESET);
    }
    return 0;
}

// The three selectors carry no action of their own.
int CC_RadioSelect(int, int, int, void*, int, int) {
    return 0;
}

int CC_RadioTeach(int, int, int, void*, int, int) {
    return 0;
}

int CC_BINSWchannel(int, int, int, void*, int, int) {
    return 0;
}
