#include "link.h"

#include "frames.h"
#include "params.h"
#include "record.h"
#include "serial.h"
#include "state.h"
#include "textfile.h"
#include "ui.h"

#include <algorithm>
#include <cstring>

std::uint16_t pcbtype = 0;
char szVersion[64] = "";
int nBytesR = 0;

namespace {
constexpr double kFirmwareTimeout = 2.0;
constexpr int kFirmwareBytes = 72;
constexpr double kStartupPause = 0.05;

// The status line never holds an unprintable byte: anything outside printable ASCII shows '?'.
char Printable(unsigned code) {
    return code >= 0x20 && code < 0x7F ? static_cast<char>(code) : '?';
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

void InitRS232(int port) {
    int r = OpenComConfig(port, "", 19200, 0, 8, 1, 4096, 4096);
    if (r < 0) {
        SetStatus(ComOpenErrorText(r));
        ShowStatus();
        return;
    }
    SetComTime(port, TIMEOUT);
    FlushInQ(port);
    FlushOutQ(port);
    SetCTSMode(port, 0);
    ResumeReceiver(port);
    if (CheckComLine(port) == 1) {
        Delay(kStartupPause);
        if (GetHARDWAREInfo() == 0) {
            SetStatus("Error reading HARDWARE-info!");
        }
        Delay(kStartupPause);
        PushGET(RAM, 0);
        Delay(kStartupPause);
        PushGET(RAM, 1);
        Delay(kStartupPause);
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
    ComRd(port, szReadBuf, kFrameLen);
    rx_flag = GetRxBuf36();
    graph_flag = 1;
    // Bytes beyond one frame are discarded.
    FlushInQ(port);
}

int WaitRxFull() {
    double t0 = Timer();
    for (;;) {
        ProcessSystemEvents();
        if (Timer() - t0 > TIMEOUT) {
            SetStatus("Timeout-RS-232...");
            break;
        }
        if (rx_flag != 0) {
            break;
        }
    }
    return rx_flag;
}

int CheckComLine(int port) {
    parameter[1] = ORDER_LINE_CHECK;
    parameter[2] = 0;
    CopyVarsToPP(0);
    FillTxBuf(ORDER_LINE_CHECK, 0, pp);
    FlushOutQ(port);
    FlushInQ(port);
    ComWrt(port, szWriteBuf, kFrameLen);
    double t0 = Timer();
    rx_flag = 0;
    int result = 0;
    for (;;) {
        if (Timer() - t0 > TIMEOUT) {
            SetStatus("Timeout-RS-232...");
            result = -1;
            break;
        }
        ProcessSystemEvents();
        if (rx_flag != 0) {
            break;
        }
    }
    if (result == 0 && rx_flag == REPLY_STANDARD) {
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
    parameter[1] = ORDER_HARDWARE;
    parameter[2] = 0;
    FillTxBuf(ORDER_HARDWARE, 0, pp);
    FlushOutQ(com);
    FlushInQ(com);
    rx_flag = 0;
    ComWrt(com, szWriteBuf, kFrameLen);
    double t0 = Timer();
    for (;;) {
        ProcessSystemEvents();
        if (Timer() - t0 > TIMEOUT) {
            SetStatus("Timeout-RS-232...");
            break;
        }
        if (rx_flag != 0) {
            break;
        }
    }
    if (rx_flag == REPLY_STANDARD) {
        pcbtype = GetWord(szReadBuf, 10);
        if (GetWord(szReadBuf, 2) == ORDER_HARDWARE) {
            return 1;
        }
    }
    return 0;
}

int GetVERSIONInfo() {
    SuspendReceiver();
    FlushInQ(com);
    FlushOutQ(com);
    parameter[1] = ORDER_FIRMWARE;
    parameter[2] = 0;
    FillTxBuf(ORDER_FIRMWARE, 0, pp);
    ComWrt(com, szWriteBuf, kFrameLen);
    ShowText("Waiting for firmware info ...");

    bool timedOut = false;
    int waiting = WaitForRawBytes(kFirmwareBytes, kFirmwareTimeout, timedOut);
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
    FlushInQ(com);
    FlushOutQ(com);
    rx_flag = 0;
    ShowStatus();
    return waiting;
}

void LetScopeReplyLand() {
    if (stop_flag != 0) {
        return;
    }
    while (rx_flag == 0 && Timer() - scopeRequestAt <= TIMEOUT) {
        ProcessSystemEvents();
    }
}

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
