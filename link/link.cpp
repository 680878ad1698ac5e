#include "link/link.h"

#include "link/frames.h"
#include "params/params.h"
#include "params/record.h"
#include "platform/serial.h"
#include "platform/textfile.h"
#include "platform/ui.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

int com = 1;
int rx_flag = 0;
int graph_flag = 0;
std::uint16_t pcbtype = 0;
char szVersion[64] = "";
int nBytesR = 0;

namespace {
constexpr int kFirmwareBytes = 72;

// The status line never holds an unprintable byte: printable ASCII and printable Latin-1
// (degree sign, micro sign, umlauts) stay, as Latin-1 bytes; anything else shows '?'.
char Printable(unsigned code) {
    bool printable = (code >= 0x20 && code < 0x7F) || (code >= 0xA0 && code <= 0xFF);
    return printable ? static_cast<char>(static_cast<unsigned char>(code)) : '?';
}

// The scope loop's request in flight.
bool g_dataStreamOpen = false;
double g_dataRequestAt = 0;

LinkStats g_stats;

// Bytes taken from the port that have not yet formed a frame.
char g_rx[kBufLen];
int g_rxLen = 0;

// The port in use went away: closed, waits end, checked once a second until it is back.
bool g_lost = false;
char g_lostText[kStatusLen] = "";
PortStateObserver g_portObserver = nullptr;
int g_waitDepth = 0;    // waits running (a reopen never runs nested in one)
int g_longSequence = 0; // X-FLASH programming and the like
bool g_reopen = true;

struct WaitScope {
    WaitScope() { ++g_waitDepth; }
    ~WaitScope() { --g_waitDepth; }
};

int g_notifyCount = 0; // what the receive callback is installed with now

void ForgetPartialFrame() {
    g_rxLen = 0;
}

// The receive callback runs again once `count` more bytes wait.
void NotifyAfter(int port, int count) {
    if (count != g_notifyCount) {
        g_notifyCount = count;
        InstallComCallback(port, eventMask, count, zel::sync, RX_Receive_Function, nullptr);
    }
}

// A frame starts with the sync word 00 55, or 00 AA (a line-check reply).
bool SyncAt(const char* b, int i) {
    return b[i] == 0 && (static_cast<unsigned char>(b[i + 1]) == 0x55 ||
                         static_cast<unsigned char>(b[i + 1]) == 0xAA);
}

void Discard(int n) {
    if (n <= 0) {
        return;
    }
    g_stats.bytesDiscarded += n;
    std::memmove(g_rx, g_rx + n, static_cast<std::size_t>(g_rxLen - n));
    g_rxLen -= n;
}

void OnComLost(int port) {
    if (port != com || g_lost) {
        return;
    }
    g_lost = true;
    std::snprintf(g_lostText, sizeof g_lostText, "Port COM%d lost (%s)", port,
                  ComDeviceName(port).c_str());
    CloseCom(port);
    ForgetPartialFrame();
    SetStatus(g_lostText);
    ShowStatus();
    if (g_portObserver) {
        g_portObserver(port, true);
    }
    if (g_reopen) {
        SetPeriodicCall(1.0, &CheckLostPort);
    }
}
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

void InitLink() {
    g_lost = false;
    g_lostText[0] = '\0';
    SetPeriodicCall(0, &CheckLostPort);
    g_dataStreamOpen = false;
    ForgetPartialFrame();
    ResetLinkStats();
    SetComLostHandler(&OnComLost);
}

namespace {
// Opens a port other than through the start-up exchange (a probe, a check for a lost device)
// with the sensor's line settings: 19200 baud, 8N1, queues of 4096 bytes, the reply time-out,
// no handshake.
int OpenWithLineSettings(int port) {
    int r = OpenComConfig(port, "", 19200, 0, 8, 1, 4096, 4096);
    if (r >= 0) {
        SetComTime(port, TIMEOUT);
        SetCTSMode(port, 0);
    }
    return r;
}
} // namespace

int OpenLinkPort(int port) {
    if (g_lost) {
        // A port picked while another was lost: that one is no longer looked for.
        g_lost = false;
        SetPeriodicCall(0, &CheckLostPort);
        if (g_portObserver) {
            g_portObserver(com, false);
        }
    }
    int r = OpenComConfig(port, "", 19200, 0, 8, 1, 4096, 4096);
    if (r < 0) {
        SetStatus(ComOpenErrorText(r));
        ShowStatus();
        return r;
    }
    SetComLostHandler(&OnComLost);
    SetComTime(port, TIMEOUT);
    FlushQueues(port);
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
    int want = std::min(GetInQLen(port), kBufLen - g_rxLen);
    int n = want > 0 ? ComRd(port, g_rx + g_rxLen, want) : 0;
    if (n <= 0) {
        return; // nothing read (a lost port is handled by its own event)
    }
    g_rxLen += n;

    // One frame's bytes alone are decoded as they are. Otherwise the frame starts at the first
    // sync word: what comes before it is noise or the tail of a cut reply.
    int start = -1;
    for (int i = 0; i + 1 < g_rxLen; ++i) {
        if (SyncAt(g_rx, i)) {
            start = i;
            break;
        }
    }
    if (start < 0 && g_rxLen == kFrameLen) {
        start = 0; // no sync word anywhere: one frame's bytes, taken as they come
    }
    if (start < 0) {
        // No frame here; a last 00 may begin the next sync word.
        Discard(g_rx[g_rxLen - 1] == 0 ? g_rxLen - 1 : g_rxLen);
    } else {
        Discard(start);
    }
    if (g_rxLen < kFrameLen) {
        NotifyAfter(port, kFrameLen - g_rxLen); // the rest of the frame
        return;
    }
    std::memcpy(szReadBuf, g_rx, kFrameLen);
    rx_flag = GetRxBuf36();
    graph_flag = 1;
    ++(rx_flag == REPLY_DATA ? g_stats.dataReplies : g_stats.standardReplies);
    // Bytes beyond one frame are discarded.
    int beyond = g_rxLen - kFrameLen;
    int queued = GetInQLen(port);
    g_stats.bytesDiscarded += beyond + std::max(queued, 0);
    ForgetPartialFrame();
    FlushInQ(port);
    NotifyAfter(port, kNotifyCount);
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

int ProbeLineCheck(const int* ports, int count, int* answered) {
    // The frame CheckComLine sends, built once; the buffers the port in use relies on are
    // given back untouched.
    std::uint16_t savedPP[kBlockWords];
    std::copy_n(pp, kBlockWords, savedPP);
    char savedTx[kFrameLen];
    std::memcpy(savedTx, szWriteBuf, kFrameLen);
    CopyVarsToPP(0);
    FillTxBuf(ORDER_LINE_CHECK, 0, pp);
    char frame[kFrameLen];
    std::memcpy(frame, szWriteBuf, kFrameLen);
    std::memcpy(szWriteBuf, savedTx, kFrameLen);
    std::copy_n(savedPP, kBlockWords, pp);

    std::vector<int> open; // indexes into ports of the ports written to
    for (int i = 0; i < count; ++i) {
        answered[i] = -1;
        if (ports[i] == com || OpenWithLineSettings(ports[i]) < 0) {
            continue;
        }
        FlushInQ(ports[i]);
        FlushOutQ(ports[i]);
        if (ComWrt(ports[i], frame, kFrameLen) == kFrameLen) {
            open.push_back(i);
        } else {
            CloseCom(ports[i]);
        }
    }
    auto complete = [&] {
        return std::all_of(open.begin(), open.end(), [&](int i) {
            return ComPortLost(ports[i]) || GetInQLen(ports[i]) >= kFrameLen;
        });
    };
    {
        WaitScope inWait; // a lost port in use is not reopened in the middle of this
        const double t0 = Timer();
        while (!complete() && Timer() - t0 <= TIMEOUT) {
            ProcessSystemEvents();
        }
    }
    int found = 0;
    for (int i : open) {
        char reply[kFrameLen];
        answered[i] = 0;
        if (!ComPortLost(ports[i]) && GetInQLen(ports[i]) >= kFrameLen &&
            ComRd(ports[i], reply, kFrameLen) == kFrameLen &&
            (GetWord(reply, 0) == 0x00AA || GetWord(reply, 2) == 0x00AA)) {
            answered[i] = 1;
            ++found;
        }
        CloseCom(ports[i]);
    }
    return found;
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
    if (g_rxLen > 0) {
        g_stats.bytesDiscarded += g_rxLen;
        ForgetPartialFrame();
    }
    if (g_notifyCount != 0) {
        NotifyAfter(port, kNotifyCount); // a partial frame's shorter count is void now
    }
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
        ++g_stats.timeouts;
        if (wait.timeoutText) {
            SetStatus(wait.timeoutText);
        }
        return 0;
    };
    if (wait.replyTestFirst && accepted()) {
        return rx_flag;
    }
    WaitScope inWait;
    for (;;) {
        if (g_lost) {
            return 0; // the device is gone: nothing will come
        }
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
    WaitScope inWait;
    while (g_dataStreamOpen && !g_lost && rx_flag == 0 && Timer() - g_dataRequestAt <= TIMEOUT) {
        ProcessSystemEvents();
    }
}

// ---- raw replies ----

void SuspendReceiver() {
    g_notifyCount = 0;
    InstallComCallback(com, 0, 0, 0, nullptr, nullptr);
}

void ResumeReceiver(int port) {
    ForgetPartialFrame();
    g_notifyCount = kNotifyCount;
    InstallComCallback(port, eventMask, kNotifyCount, zel::sync, RX_Receive_Function, nullptr);
}

int WaitForRawBytes(int want, double limit, bool& timedOut) {
    timedOut = false;
    double t0 = Timer();
    int waiting = 0;
    WaitScope inWait;
    for (;;) {
        if (g_lost) {
            timedOut = true;
            return 0;
        }
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

// ---- what the link saw ----

const LinkStats& GetLinkStats() {
    return g_stats;
}

void ResetLinkStats() {
    g_stats = LinkStats{};
}

void CountRefusedReply() {
    ++g_stats.repliesRefused;
}

void CountTimeout() {
    ++g_stats.timeouts;
}

// ---- port loss ----

bool PortLost() {
    return g_lost;
}

const char* PortLostText() {
    return g_lostText;
}

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
    if (!g_lost) {
        SetPeriodicCall(0, &CheckLostPort);
        return;
    }
    if (g_waitDepth > 0 || g_longSequence > 0 || g_dataStreamOpen) {
        return; // not inside someone else's exchange; the next check comes in a second
    }
    // Back only when the same device opens again; a failed try says nothing new.
    if (OpenWithLineSettings(com) < 0) {
        return;
    }
    CloseCom(com);
    g_lost = false;
    SetPeriodicCall(0, &CheckLostPort);
    if (g_portObserver) {
        g_portObserver(com, false);
    }
    ShowText("Init COM-Port ...");
    InitRS232(com);
    std::string back = "COM" + std::to_string(com) + " back: " + szStatus;
    SetStatus(back.c_str());
    ShowStatus();
}
