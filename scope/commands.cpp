#include "core/state.h"
#include "link/frames.h"
#include "link/link.h"
#include "params/params.h"
#include "params/record.h"
#include "runtime/ui.h"
#include "scope/scope.h"

#include <algorithm>
#include <iterator>

namespace {
// The command wait: rx_flag is tested before the first pass; a reply decoded in a pass that
// began once the time was up is not looked at.
constexpr ReplyWait kCommandWaitAny{kAnyReply, true, LastPass::IgnoresPassAfterLimit, TIMEOUT,
                                    nullptr};
constexpr ReplyWait kCommandWaitStandard{REPLY_STANDARD, true, LastPass::IgnoresPassAfterLimit,
                                         TIMEOUT, nullptr};

// Sends the command built in pp and waits for its reply; false on a time-out. A frame that did
// not go out whole gets no reply worth waiting for.
bool CommandExchange(int order, int second, const ReplyWait& wait) {
    if (SendCommandFrame(com, order, second, pp) != kFrameLen) {
        return false;
    }
    ShowText("Line Ok!");
    return AwaitReply(wait, Timer()) != 0;
}

// Refresh A, refresh B and reset differ only in their order.
void PanelCommand(int order) {
    LetDataReplyLand();
    FlushQueues(com);
    GetPanelValues();
    CopyVarsToPP(0);
    if (CommandExchange(order, 0, kCommandWaitStandard)) {
        PushGET(RAM, 0);
    } else {
        ShowText(PortLost() ? PortLostText() : "Timeout RS-232!!");
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
    FlushQueues(com);
    std::fill(std::begin(pp), std::end(pp), 0);
    if (CommandExchange(ORDER_TEACH, channel, kCommandWaitAny)) {
        PushGET(RAM, 0);
        ShowText(channel == 0 ? "New setpoint value CHA teached!"
                              : "New setpoint value CHB teached!");
    } else {
        ShowText(PortLost() ? PortLostText() : "Timeout RS-232!!");
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
