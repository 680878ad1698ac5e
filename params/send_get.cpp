#include "core/state.h"
#include "link/frames.h"
#include "link/link.h"
#include "params/block_ops.h"
#include "params/params.h"
#include "params/record.h"
#include "runtime/ui.h"

#include <algorithm>
#include <cstdio>

int target = RAM;
char file_name[kPathLen] = "TRK1para.cfg";

namespace {
constexpr const char* kParamFileDefault = "TRK10para.cfg";

// Switches the three target buttons so that exactly `on` is set.
void SelectTarget(int newTarget) {
    target = newTarget;
    SetCtrlVal(pA, MAIN_RBTRAM, newTarget == RAM ? 1 : 0);
    SetCtrlVal(pA, MAIN_RBTEEPROM, newTarget == EEPROM ? 1 : 0);
    SetCtrlVal(pA, MAIN_RBTFILE, newTarget == DATFILE ? 1 : 0);
}

int TargetButton(int panel, int control, int event, int whenOn) {
    if (event != EVENT_VAL_CHANGED) {
        return 0;
    }
    int on = 0;
    GetCtrlVal(panel, control, &on);
    // Switching a target off falls back to RAM; RAM itself cannot be switched off.
    SelectTarget(on ? whenOn : RAM);
    return 0;
}
} // namespace

int CC_RBTRam(int panel, int control, int event, void*, int, int) {
    return TargetButton(panel, control, event, RAM);
}

int CC_RBTEeprom(int panel, int control, int event, void*, int, int) {
    return TargetButton(panel, control, event, EEPROM);
}

int CC_RBTFile(int panel, int control, int event, void*, int, int) {
    return TargetButton(panel, control, event, DATFILE);
}

int CC_BTNSend(int, int, int event, void*, int, int) {
    if (event == EVENT_LEFT_CLICK) {
        ShowText("Transmit...");
        return 0;
    }
    if (event != EVENT_COMMIT) {
        return 0;
    }
    if (target == DATFILE) {
        if (FileSelectPopup(proj_dir, kParamFileDefault, "*.cfg", "ZEL-A-Parameter File",
                            VAL_OK_BUTTON, 0, 1, 1, 1, file_name) > 0) {
            SendParaToFile();
        }
    } else {
        // A data reply in flight lands first (the loop's next flush would cut it in two), and
        // before pp is filled, since the receive callback rewrites pp.
        LetDataReplyLand();
        int order = target == EEPROM ? ORDER_SEND_EEPROM : ORDER_SEND_RAM;
        parameter[0] = 0x55;
        GetPanelValues();
        CopyVarsToPP(0);
        NoteCommand(order, 0);
        // The send awaits no reply: rx_flag is left as it is.
        if (WriteBlock(com, target == EEPROM ? kMemoryEeprom : kMemoryRam, pp).ok()) {
            NoteBlock0Reference();
            ShowText("Transmit para1 Ok!");
            NoteSetPassed(SetDirection::Sent, target == EEPROM ? SetMemory::Eeprom : SetMemory::Ram,
                          0, pp);
        }
        RefreshUnsentMarks();
    }
    // A send nested in a running scope loop may have taken its reply: re-arm it.
    if (DataStreamOpen()) {
        rx_flag = REPLY_DATA;
    }
    return 0;
}

int CC_BTNGet(int, int, int event, void*, int, int) {
    if (event == EVENT_LEFT_CLICK) {
        ShowText("Receive...");
        return 0;
    }
    if (event != EVENT_COMMIT) {
        return 0;
    }
    if (target == DATFILE) {
        ReadParaFromFile();
    } else {
        LetDataReplyLand();
        PushGET(target, 0);
    }
    SetPanelValues();
    return 0;
}

int PushGET(int tgt, std::uint32_t block) {
    int taken = 0;
    ExchangeResult r;
    if (tgt != DATFILE) {
        const int order = tgt == EEPROM ? ORDER_GET_EEPROM : ORDER_GET_RAM;
        CopyVarsToPP(block);
        NoteCommand(order, static_cast<int>(block & 0xFFFF));
        // The waiting text only once the request went out whole.
        r = ReadBlock(com, tgt == EEPROM ? kMemoryEeprom : kMemoryRam, block, pp,
                      [] { ShowText("Waiting for parameter-frame ..."); });
        // Any standard reply is the block: its echo and second word are the sensor's business.
        // A data reply, or nothing, leaves the record as it was.
        TakeIntoPP(r.reply);
        if (r.ok()) {
            CopyPPtoVars(block);
            if ((block & 0xFFFF) == 0) {
                NoteBlock0Reference();
            }
            taken = 1;
            SetStatus("Parameter-frame received! - Line Ok!");
        } else if (r.outcome == Outcome::PortLost) {
            SetStatus(PortLostText());
        } else {
            if (r.outcome == Outcome::NotItsReply) {
                CountRefusedReply();
            }
            SetStatus("Timeout-RS-232...");
        }
    }
    SetPanelValues();
    ShowStatus();
    if (taken) {
        NoteSetPassed(SetDirection::Got, tgt == EEPROM ? SetMemory::Eeprom : SetMemory::Ram,
                      (block & 0xFFFF) == 0 ? 0 : 1, r.reply.words.data());
    }
    return taken;
}
