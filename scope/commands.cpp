#include "core/state.h"
#include "link/frames.h"
#include "link/link.h"
#include "link/sensor_commands.h"
#include "params/params.h"
#include "params/record.h"
#include "runtime/ui.h"
#include "scope/scope.h"

#include <algorithm>
#include <iterator>

namespace {
void ShowLineOk() {
    ShowText("Line Ok!");
}

void ShowCommandFailure() {
    ShowText(PortLost() ? PortLostText() : "Timeout RS-232!!");
}

// Refresh A, refresh B and reset differ only in their order.
void PanelCommand(int order) {
    // Nested in a running scope loop, the loop's data reply is let in before the flush.
    LetDataReplyLand();
    GetPanelValues();
    CopyVarsToPP(0);
    NoteCommand(order, 0);
    const ExchangeResult r = order == ORDER_RESET
                                 ? ResetSensor(com, pp, ShowLineOk)
                                 : RefreshChannel(com, order == ORDER_REFRESH_B, pp, ShowLineOk);
    if (CommandReplied(r)) {
        PushGET(RAM, 0);
    } else {
        ShowCommandFailure();
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

    LetDataReplyLand();
    std::fill(std::begin(pp), std::end(pp), 0);
    NoteCommand(ORDER_TEACH, channel);
    if (CommandReplied(TeachSetpoint(com, channel, ShowLineOk))) {
        PushGET(RAM, 0);
        ShowText(channel == 0 ? "New setpoint value CHA teached!"
                              : "New setpoint value CHB teached!");
    } else {
        ShowCommandFailure();
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
