#include "link/link.h"

#include "link/frames.h"
#include "params/params.h"
#include "params/record.h"
#include "platform/serial.h"
#include "platform/textfile.h"
#include "platform/ui.h"

#include <algorithm>
#include <cstring>

int com = 1;
int rx_flag = 0;
int graph_flag = 0;
std::uint16_t pcbtype = 0;
char szVersion[64] = "";
int nBytesR = 0;

namespace {
constexpr int kFirmwareBytes = 72;

// The status line never holds an unprintable byte: anything outside printable ASCII shows '?'.
char Printable(unsigned code) {
    return code >= 0x20 && code < 0x7F ? static_cast<char>(code) : '?';
}

// The scope loop's request in flight.
bool g_dataStreamOpen = false;
double g_dataRequestAt = 0;
} // namespace

const char* ComOpenErrorText(int code) {
    switch (code) {
    case -1:
        return "Unknown system error";
    case -2:
        return "Invalid port number";
    case -3:
        return "Port is not open";
    case -4:
        return "Unknown I/0 error";
    case -6:
        return "No serial port found";
    case -7:
        return "Cannot open port";
    case -13:
        return "Invalid parameter";
    case -99:
        return "Timeout";
    default:
        return "RS-232 error!";
    }
}

int OpenLinkPort(int port) {
    int r = OpenComConfig(port, "", 19200, 0, 8, 1, 4096, 4096);
    if (r < 0) {
        SetStatus(ComOpenErrorText(r));
        ShowStatus();
        return r;
    }
    SetComTime(port, TIMEOUT);
    FlushInQ(port);
    FlushOutQ(port);
    SetCTSMode(port, 0);
    ResumeReceiver(port);
    return 0;
}

void InitRS232(int port) {
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
    if (!(events & LWRS_RECEIVE)) {
        return;
    }
    // A short read would leave stale bytes of an earlier frame in the buffer: not decoded.
    if (ComRd(port, szReadBuf, kFrameLen) == kFrameLen) {
        rx_flag = GetRxBuf36();
        graph_flag = 1;
    }
    // Bytes beyond one frame are discarded.
    FlushInQ(port);
}

int WaitRxFull() {
    constexpr ReplyWait kWait{kAnyReply, false, LastPass::ReportsLateReply, TIMEOUT,
                              "Timeout-RS-232..."};
    return AwaitReply(kWait, Timer());
}

int CheckComLine(int port) {
    FlushQueues(port);
    CopyVarsToPP(0);
    int written = SendCommandFrame(port, ORDER_LINE_CHECK, 0, pp);
    constexpr ReplyWait kWait{kAnyReply, false, LastPass::TakesLateReply, TIMEOUT,
                              "Timeout-RS-232..."};
    int kind = 0;
    if (written == kFrameLen) {
        kind = AwaitReply(kWait, Timer());
    } else {
        SetStatus(kWait.timeoutText); // nothing went out: no reply to wait for
    }
    int result = kind == 0 ? -1 : 0;
    if (kind == REPLY_STANDARD) {
        pp[0] = GetWord(szReadBuf, 0);
        pp[1] = GetWord(szReadBuf, 2);
        if (pp[0] == 0x00AA || pp[1] == 0x00AA) {
            SetStatus("Echo Check - Line Ok!");
            result = 1;
        } else {
            SetStatus("read error - not sync byte 0xAA!");
        }
    }
    ShowStatus();
    return result;
}

int GetHARDWAREInfo() {
    FlushQueues(com);
    constexpr ReplyWait kWait{kAnyReply, false, LastPass::ReportsLateReply, TIMEOUT,
                              "Timeout-RS-232..."};
    if (SendCommandFrame(com, ORDER_HARDWARE, 0, pp) != kFrameLen) {
        SetStatus(kWait.timeoutText);
        return 0;
    }
    if (AwaitReply(kWait, Timer()) == REPLY_STANDARD) {
        pcbtype = GetWord(szReadBuf, 10);
        if (GetWord(szReadBuf, 2) == ORDER_HARDWARE) {
            return 1;
        }
    }
    return 0;
}

int GetVERSIONInfo() {
    SuspendReceiver();
    FlushQueues(com);
    parameter[1] = ORDER_FIRMWARE;
    parameter[2] = 0;
    FillTxBuf(ORDER_FIRMWARE, 0, pp);
    int written = WriteFrame(com);
    ShowText("Waiting for firmware info ...");

    bool timedOut = true;
    int waiting = 0;
    if (written == kFrameLen) {
        waiting = WaitForRawBytes(kFirmwareBytes, kFirmwareTimeoutSec, timedOut);
    }
    if (timedOut) {
        SetStatus("Timeout - reading firmware info!");
    }

    szVersion[0] = '\0';
    ReadRawBytes(waiting);
    if (nBytesR == kFirmwareBytes) {
        if (pcbtype == 0) {
            // One character per big-endian word, up to the first 0 word.
            int len = 0;
            for (int i = 0; i < 36 && len < static_cast<int>(sizeof szVersion) - 1; ++i) {
                unsigned code = GetWord(szReadBuf, 2 * i);
                if (code == 0) {
                    break;
                }
                szVersion[len++] = Printable(code);
            }
            szVersion[len] = '\0';
            SetStatus(szVersion);
        } else {
            char text[kStatusLen];
            int len = 0;
            while (len < kStatusLen - 1 && len < kFirmwareBytes && szReadBuf[len] != '\0') {
                text[len] = Printable(static_cast<unsigned char>(szReadBuf[len]));
                ++len;
            }
            text[len] = '\0';
            SetStatus(text);
        }
    }

    ResumeReceiver(com);
    FlushQueues(com);
    rx_flag = 0;
    ShowStatus();
    return waiting;
}

// ---- the exchange ----

void FlushQueues(int port) {
    FlushInQ(port);
    FlushOutQ(port);
}

int SendCommandFrame(int port, int order, int second, const std::uint16_t* words) {
    parameter[1] = static_cast<std::uint16_t>(order);
    parameter[2] = static_cast<std::uint16_t>(second);
    return SendFrame(port, order, second, words);
}

int SendFrame(int port, int order, int second, const std::uint16_t* words) {
    FillTxBuf(order, second, words);
    return SendFrame(port);
}

int WriteCommandFrame(int port, int order, int second, const std::uint16_t* words) {
    parameter[1] = static_cast<std::uint16_t>(order);
    parameter[2] = static_cast<std::uint16_t>(second);
    FillTxBuf(order, second, words);
    return WriteFrame(port);
}

int SendFrame(int port) {
    rx_flag = 0;
    return WriteFrame(port);
}

int WriteFrame(int port) {
    return ComWrt(port, szWriteBuf, kFrameLen);
}

int AwaitReply(const ReplyWait& wait, double t0) {
    auto accepted = [&] {
        return wait.accept == kAnyReply ? rx_flag != 0 : rx_flag == wait.accept;
    };
    auto timedOut = [&] {
        if (wait.timeoutText) {
            SetStatus(wait.timeoutText);
        }
        return 0;
    };
    if (wait.replyTestFirst && accepted()) {
        return rx_flag;
    }
    for (;;) {
        const double before = Timer() - t0;
        if (wait.lastPass == LastPass::TakesLateReply && before > wait.limitSec) {
            return timedOut();
        }
        ProcessSystemEvents(); // replies, and every other callback, arrive only here
        const double after = Timer() - t0;
        switch (wait.lastPass) {
        case LastPass::ReportsLateReply:
            if (after > wait.limitSec) {
                timedOut();
                return rx_flag;
            }
            break;
        case LastPass::TakesLateReply:
            break;
        case LastPass::IgnoresPassAfterLimit:
            if (!(before < wait.limitSec)) {
                return timedOut();
            }
            break;
        case LastPass::IgnoresReplyPastLimit:
            if (after > wait.limitSec || (after >= wait.limitSec && !accepted())) {
                return timedOut();
            }
            break;
        }
        if (accepted()) {
            return rx_flag;
        }
    }
}

// ---- the scope's data stream ----

void NoteDataRequest(double sentAt) {
    g_dataStreamOpen = true;
    g_dataRequestAt = sentAt;
}

void EndDataStream() {
    g_dataStreamOpen = false;
}

bool DataStreamOpen() {
    return g_dataStreamOpen;
}

double DataRequestSentAt() {
    return g_dataRequestAt;
}

void LetDataReplyLand() {
    while (g_dataStreamOpen && rx_flag == 0 && Timer() - g_dataRequestAt <= TIMEOUT) {
        ProcessSystemEvents();
    }
}

// ---- raw replies ----

void SuspendReceiver() {
    InstallComCallback(com, 0, 0, 0, nullptr, nullptr);
}

void ResumeReceiver(int port) {
    InstallComCallback(port, eventMask, kNotifyCount, zel::sync, RX_Receive_Function, nullptr);
}

int WaitForRawBytes(int want, double limit, bool& timedOut) {
    timedOut = false;
    double t0 = Timer();
    int waiting = 0;
    for (;;) {
        ProcessSystemEvents();
        waiting = GetInQLen(com);
        if (Timer() - t0 > limit) {
            timedOut = true;
            break;
        }
        if (waiting >= want) {
            break;
        }
    }
    return waiting < 0 ? 0 : waiting; // a port that went away has nothing to read
}

int ReadRawBytes(int waiting) {
    int toRead = std::clamp(waiting, 0, kBufLen);
    int n = toRead > 0 ? ComRd(com, szReadBuf, toRead) : 0;
    nBytesR = n < 0 ? 0 : n;
    return nBytesR;
}
