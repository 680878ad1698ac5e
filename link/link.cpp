#include "link/link.h"

#include "link/frames.h"
#include "link/port_link.h"
#include "params/block_ops.h"
#include "params/history.h"
#include "params/params.h"
#include "params/record.h"
#include "runtime/ui.h"
#include "serial/port_trouble.h"
#include "serial/serial.h"
#include "store/textfile.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

std::uint16_t pcbtype = 0;
char szVersion[64] = "";
int nBytesR = 0;

namespace {
PortStateObserver g_portObserver = nullptr;
int g_longSequence = 0; // X-FLASH programming and the like
bool g_reopen = true;
std::string g_firmwareText;
int g_lostPort = 0; // the port whose loss the status line and the selector show

constexpr ReplyWait kWaitRxFull{kAnyReply, false, LastPass::ReportsLateReply, TIMEOUT,
                                "Timeout-RS-232..."};

void OnLinkPortLost(int port) {
    g_lostPort = port;
    SetStatus(PortLostText());
    ShowStatus();
    if (g_portObserver) {
        g_portObserver(port, true);
    }
    if (g_reopen) {
        SetPeriodicCall(1.0, &CheckLostPort);
    }
}

// What reading the set again after a reopen found.
struct ReadBack {
    int changed = 0; // words of blocks 0 and 1 the sensor holds differently than before
    int kept = 0;    // unsent edits left on the panel
};

// Blocks 0 and 1 from RAM as the sensor's truth: a field the operator has not edited takes the
// sensor's value; an edit stays, marked against the sensor's new value.
ReadBack ReadBlocksBack() {
    ReadBack r;
    std::uint16_t record[kBlockWords], shown[kBlockWords], sensor0[kBlockWords];
    std::copy_n(parameter + kBlock0, kBlockWords, record);
    GetPanelValues(); // what the panel shows, edits included
    std::copy_n(parameter + kBlock0, kBlockWords, shown);
    std::copy_n(record, kBlockWords, parameter + kBlock0);
    bool got0 = false;
    for (std::uint32_t block = 0; block < 2; ++block) {
        Delay(kStartupPauseSec);
        std::uint16_t sent[16] = {};
        std::copy_n(parameter + (block == 0 ? kBlock0 : kBlock1), kBlockWords, sent);
        const ExchangeResult got = ReadBlock(com, kMemoryRam, block, sent);
        if (!got.ok()) {
            continue;
        }
        const std::uint16_t* sensor = got.reply.words.data();
        if (block == 0) {
            got0 = true;
            std::copy_n(sensor, kBlockWords, sensor0);
            for (int i = 0; i < kBlockWords; ++i) {
                r.changed += sensor[i] != block0Reference[i];
            }
        } else {
            for (int i = 0; i < kBlockWords; ++i) {
                r.changed += sensor[i] != parameter[kBlock1 + i];
            }
            std::copy_n(sensor, kBlockWords, parameter + kBlock1);
        }
        NoteSetPassed(SetDirection::Got, SetMemory::Ram, static_cast<int>(block), sensor);
    }
    if (got0) {
        // The panel shows the sensor's words where the operator left them alone and the edits
        // elsewhere; the record and the reference the marks compare with are the sensor's.
        for (int i = 0; i < kBlockWords; ++i) {
            parameter[kBlock0 + i] = shown[i] != block0Reference[i] ? shown[i] : sensor0[i];
        }
        SetPanelValues();
        std::copy_n(sensor0, kBlockWords, parameter + kBlock0);
        std::copy_n(sensor0, kBlockWords, block0Reference);
        DeriveThresholds();
    }
    r.kept = RefreshUnsentMarks();
    return r;
}

std::string Plural(int n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// "COM1 back: the sensor's set changed (1 word); 1 unsent edit kept", shorter where the
// status line needs it.
std::string BackText(int port, const ReadBack& r) {
    const std::string head = "COM" + std::to_string(port) + " back: ";
    std::string kept = r.kept > 0 ? Plural(r.kept, "unsent edit kept", "unsent edits kept") : "";
    if (r.changed == 0) {
        return head + szStatus + "; " + kept;
    }
    std::string text = head + "the sensor's set changed (" + Plural(r.changed, "word", "words") +
                       ")" + (kept.empty() ? "" : "; " + kept);
    if (static_cast<int>(text.size()) >= kStatusLen) {
        text = head + "set changed (" + Plural(r.changed, "word", "words") + ")" +
               (kept.empty() ? "" : "; " + kept);
    }
    return text;
}

// The firmware text as the status line shows it, from a firmware result.
void TakeFirmwareText(const FirmwareResult& r) {
    szVersion[0] = '\0';
    nBytesR = r.read;
    g_firmwareText.clear();
    if (r.read != kFirmwareBytes) {
        return;
    }
    g_firmwareText = Latin1ToUtf8(r.text);
    if (pcbtype == 0) {
        CopyText(szVersion, r.text);
        SetStatus(szVersion);
    } else {
        SetStatus(r.text.c_str());
    }
}
} // namespace

void InitLink() {
    SetPeriodicCall(0, &CheckLostPort);
    g_lostPort = 0;
    InitExchange();
    SetReceiveFunction(&RX_Receive_Function);
    SetPortLossHandler(&OnLinkPortLost);
}

int OpenLinkPort(int port) {
    if (Link* lost = g_lostPort != 0 ? FindLink(g_lostPort) : nullptr; lost && lost->lost()) {
        // A port picked while another (or this one) was lost: that one is no longer looked for.
        lost->clearLost();
        SetPeriodicCall(0, &CheckLostPort);
        if (g_portObserver) {
            g_portObserver(com, false);
        }
    }
    g_lostPort = 0;
    int r = OpenLine(port);
    if (r < 0) {
        // The documented message, and the cause where the system tells it ("Cannot open port:
        // permission denied (group dialout)"); the cure is in the command line's longer line.
        std::string text = ComOpenErrorText(r);
        if (std::string why = TroubleCause(ComOpenFailureReason(port)); !why.empty()) {
            text += ": " + why;
        }
        SetStatus(text.c_str());
        ShowStatus();
        return r;
    }
    return 0;
}

const std::string& FirmwareText() {
    return g_firmwareText;
}

void InitRS232(int port) {
    g_firmwareText.clear(); // another port may hold another sensor
    if (OpenLinkPort(port) < 0) {
        return;
    }
    if (CheckComLine(port) == 1) {
        Delay(kStartupPauseSec);
        if (GetHARDWAREInfo() == 0) {
            SetStatus("Error reading HARDWARE-info!");
        }
        Delay(kStartupPauseSec);
        PushGET(RAM, 0);
        Delay(kStartupPauseSec);
        PushGET(RAM, 1);
        Delay(kStartupPauseSec);
        if (GetVERSIONInfo() < kFirmwareBytes) {
            SetStatus("Error reading firmware-info!");
        }
    }
    ShowStatus();
}

void RX_Receive_Function(int port, int events, void*) {
    Link& link = LinkOf(port);
    const int kind = link.receive(events);
    // Only the port the routines use fills their globals.
    if (kind == 0 || port != com) {
        return;
    }
    std::memcpy(szReadBuf, link.lastFrame(), kFrameLen);
    rx_flag = kind;
    graph_flag = 1;
    // A frame an exchange waits for is its result and goes to that caller alone; any other
    // frame is decoded into pp, where the routines that wait on rx_flag find it.
    if (!link.lastFrameTaken()) {
        GetRxBuf36();
    }
}

void TakeIntoPP(const Reply& reply) {
    TakeReplyWords(reply, pp);
}

void ResumeDataStream() {
    if (DataStreamOpen()) {
        rx_flag = REPLY_DATA;
    }
}

int WaitRxFull() {
    return AwaitReply(kWaitRxFull, Timer());
}

int CheckComLine(int port) {
    CopyVarsToPP(0);
    NoteCommand(ORDER_LINE_CHECK, 0);
    const ExchangeResult r = LineCheck(port, pp);
    int result = 0;
    if (r.outcome == Outcome::Timeout || r.outcome == Outcome::NotWritten) {
        SetStatus("Timeout-RS-232...");
        result = -1;
    } else if (r.outcome == Outcome::PortLost) {
        result = -1; // the loss is on the status line already
    } else if (r.reply.kind == REPLY_DATA) {
        TakeIntoPP(r.reply);
    } else if (r.reply.kind == REPLY_STANDARD) {
        TakeIntoPP(r.reply);
        pp[0] = r.reply.sync;
        pp[1] = r.reply.echo;
        if (r.ok()) {
            SetStatus("Echo Check - Line Ok!");
            result = 1;
        } else {
            SetStatus("read error - not sync byte 0xAA!");
        }
    }
    ShowStatus();
    return result;
}

int ProbeLineCheck(const int* ports, int count, int* answered) {
    // The words CheckComLine sends, taken aside: the buffers the port in use relies on stay.
    std::uint16_t words[16] = {};
    std::copy_n(parameter + kBlock0, kBlockWords, words);
    BeginLongSequence(); // a lost port in use is not reopened in the middle of this
    std::vector<int> result = ProbeLines(std::vector<int>(ports, ports + count), words);
    EndLongSequence();
    std::copy(result.begin(), result.end(), answered);
    return static_cast<int>(std::count(result.begin(), result.end(), 1));
}

int GetHARDWAREInfo() {
    NoteCommand(ORDER_HARDWARE, 0);
    const ExchangeResult r = ReadHardwareType(com, pp);
    if (r.timedOut || r.outcome == Outcome::NotWritten) {
        SetStatus(kWaitRxFull.timeoutText);
    }
    TakeIntoPP(r.reply);
    if (r.reply.kind == REPLY_STANDARD) {
        pcbtype = HardwareTypeOf(r);
        if (r.reply.echo == ORDER_HARDWARE) {
            return 1;
        }
    }
    return 0;
}

int GetVERSIONInfo() {
    NoteCommand(ORDER_FIRMWARE, 0);
    ShowText("Waiting for firmware info ...");
    const FirmwareResult r = ReadFirmware(com, pp, pcbtype);
    std::memcpy(szReadBuf, RawBytes(com), static_cast<std::size_t>(r.read));
    rx_flag = 0;
    if (r.timedOut) {
        SetStatus("Timeout - reading firmware info!");
    }
    TakeFirmwareText(r);
    if (PortLost()) {
        SetStatus(PortLostText()); // the line dropped after the reply: that is the news
    }
    ShowStatus();
    return r.waiting;
}

// ---- the routines' exchange ----

void NoteCommand(int order, int second) {
    parameter[1] = static_cast<std::uint16_t>(order);
    parameter[2] = static_cast<std::uint16_t>(second);
}

void ShowTimeoutOf(const ReplyWait& wait) {
    if (wait.timeoutText) {
        SetStatus(wait.timeoutText);
    }
}

int SendCommandFrame(int port, int order, int second, const std::uint16_t* words) {
    NoteCommand(order, second);
    FillTxBuf(order, second, words);
    rx_flag = 0;
    return SendFrame(port);
}

int WriteCommandFrame(int port, int order, int second, const std::uint16_t* words) {
    NoteCommand(order, second);
    FillTxBuf(order, second, words);
    return WriteFrame(port);
}

int AwaitReply(const ReplyWait& wait, double t0) {
    bool timedOut = false;
    const int kind = WaitForReply(wait, t0, timedOut);
    if (timedOut) {
        ShowTimeoutOf(wait);
    }
    return kind;
}

int WaitForRawBytes(int want, double limit, bool& timedOut) {
    return WaitForRawBytes(com, want, limit, timedOut);
}

int ReadRawBytes(int waiting) {
    nBytesR = ReadRawInto(com, waiting);
    std::memcpy(szReadBuf, RawBytes(com), static_cast<std::size_t>(nBytesR));
    return nBytesR;
}

// ---- port loss ----

void SetPortStateObserver(PortStateObserver observer) {
    g_portObserver = observer;
}

void SetReopenLostPort(bool on) {
    g_reopen = on;
}

void BeginLongSequence() {
    ++g_longSequence;
}

void EndLongSequence() {
    --g_longSequence;
}

void CheckLostPort() {
    if (!PortLost()) {
        SetPeriodicCall(0, &CheckLostPort);
        return;
    }
    // Not inside someone else's exchange, nor under a dialog the operator is answering; the next
    // check comes in a second.
    if (WaitDepth() > 0 || g_longSequence > 0 || DataStreamOpen() || ModalDialogOpen()) {
        return;
    }
    // Back only when the same device opens again; a failed try says nothing new.
    if (!PortPresent(com)) {
        return;
    }
    ClearPortLost();
    SetPeriodicCall(0, &CheckLostPort);
    if (g_portObserver) {
        g_portObserver(com, false);
    }
    char text[kStatusLen];
    std::snprintf(text, sizeof text, "COM%d back: checking line and sensor ...", com);
    ShowText(text);
    if (OpenLinkPort(com) < 0) {
        return;
    }
    // The sensor that came back is checked and read again: it may have been power-cycled or
    // changed meanwhile, and a Send must never write stale values over its set.
    std::uint16_t words[16];
    std::copy_n(parameter + kBlock0, kBlockWords, words);
    words[15] = 0;
    const ExchangeResult line = LineCheck(com, words);
    ReadBack back;
    if (!line.ok()) {
        SetStatus(line.outcome == Outcome::PortLost ? PortLostText()
                  : line.reply.kind != 0            ? "read error - not sync byte 0xAA!"
                                                    : "Timeout-RS-232...");
    } else {
        words[0] = line.reply.sync;
        words[1] = line.reply.echo;
        Delay(kStartupPauseSec);
        const ExchangeResult hw = ReadHardwareType(com, words);
        if (hw.reply.kind == REPLY_STANDARD) {
            pcbtype = HardwareTypeOf(hw);
        }
        back = ReadBlocksBack();
        Delay(kStartupPauseSec);
        const FirmwareResult fw = ReadFirmware(com, words, pcbtype);
        SetStatus(!hw.ok() ? "Error reading HARDWARE-info!" : "Echo Check - Line Ok!");
        TakeFirmwareText(fw);
        if (fw.read < kFirmwareBytes) {
            SetStatus("Error reading firmware-info!");
        }
    }
    if (back.changed > 0 || back.kept > 0) {
        SetStatus(BackText(com, back).c_str());
        ShowStatus();
        return;
    }
    const std::string backText = "COM" + std::to_string(com) + " back: " + szStatus;
    SetStatus(backText.c_str());
    ShowStatus();
}
