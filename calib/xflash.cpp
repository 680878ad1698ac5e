#include "calib/calib.h"

#include "core/state.h"
#include "link/frames.h"
#include "link/link.h"
#include "params/record.h"
#include "platform/ui.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr std::uint16_t kFlashBase = 0x1000;
constexpr std::uint16_t kFirstErasable = 0x1100;
constexpr std::uint16_t kLastPage = 0x1F00;
constexpr std::uint16_t kHeaderPage = PAGE1;
constexpr std::uint16_t kEraseFill = 0x00AA;
constexpr std::uint16_t kInfoEcho = 0x00AA;
constexpr int kDataWords = kBlockWords; // data words of a command frame
constexpr int kPageWords = 256;
constexpr int kWriteBlockWords = 8;
constexpr int kBlocksPerPage = kPageWords / kWriteBlockWords;
constexpr int kPagesPerTable = 4;
constexpr int kPages = 16;

// Progress of a programming run in orders; negative while none runs.
int g_ordersDone = -1;

void CountOrders(int n) {
    if (g_ordersDone < 0) {
        return;
    }
    g_ordersDone += n;
    SetCtrlVal(pCalib, CAL_PROGRESS, g_ordersDone);
}

int PageNumber(std::uint16_t address) {
    return (address - kFlashBase) / 0x100;
}

bool IsPageStart(std::uint16_t address) {
    return address >= kFlashBase && address <= kLastPage && (address & 0xFF) == 0;
}

// The X-FLASH orders' reply wait: a standard reply, which counts unless the time at the end of
// the wait exceeds the limit.
constexpr ReplyWait kFlashWait{REPLY_STANDARD, true, LastPass::IgnoresReplyPastLimit, TIMEOUT,
                               nullptr};

// Sends the frame in szWriteBuf and waits for its reply; a frame that did not go out whole is
// not waited for.
bool FlashExchange() {
    return SendFrame(com) == kFrameLen && AwaitReply(kFlashWait, Timer()) != 0;
}

bool WritePage(std::uint16_t address, const std::uint16_t* words) {
    char pageText[kStatusLen] = "";
    if (IsPageStart(address)) {
        std::snprintf(pageText, sizeof pageText, "Writing X-FLASH-PAGE: %2d ...",
                      PageNumber(address));
    }
    SetStatus("");
    for (int block = 0; block < kBlocksPerPage; ++block) {
        int offset = block * kWriteBlockWords;
        std::string text = pageText;
        if (!WriteXFLASH(static_cast<std::uint16_t>(address + offset), kWriteBlockWords,
                         words + offset)) {
            SetStatus((text + " Error!").c_str());
            ShowStatus();
            // The rest of the page is skipped; the progress bar moves past it.
            CountOrders(kBlocksPerPage - 1 - block);
            return false;
        }
        SetStatus((text + " OK!").c_str());
        SetCtrlVal(pCalib, CAL_ADDRESS, address + offset + kWriteBlockWords);
        ShowStatus();
    }
    return true;
}

bool WriteHeader() {
    calibration[1] = ORDER_CALIB_HEADER;
    calibration[2] = kHeaderPage;
    FlushQueues(com);
    std::fill(std::begin(pp), std::end(pp), 0);
    // Eight header values; the frame's remaining data words always go out as 0.
    std::copy(calibration + CALIB_H1, calibration + CALIB_H5B + 1, pp);
    bool sent = SendFrame(com, calibration[1], calibration[2], pp) == kFrameLen;
    if (sent) {
        ShowText("Writing XFLASH-PAGE1-calibration-Data...");
    }
    bool answered = sent && AwaitReply(kFlashWait, Timer()) != 0;
    CountOrders(1);
    SetStatus(answered ? "XFLASH-PAGE1 calibration-data-writing OK!" : "Timeout-RS-232...");
    ShowStatus();
    return answered;
}

// Controls that must not act while programming runs: a second run, or a table load, would
// interleave with the orders in flight.
constexpr int kLockedCtrls[] = {
    CAL_BTNWRITE, CAL_BTNFILECHA, CAL_BTNFILECHB, CAL_HEADERSW, CAL_TABLESSW, CAL_H1, CAL_H2,
    CAL_H3A,      CAL_H3B,        CAL_H4A,        CAL_H4B,      CAL_H5A,      CAL_H5B};

// On the main panel, everything that sends a frame: a command run inside a block's reply wait
// would leave its own reply behind, and the block would count as written.
constexpr int kLockedMainCtrls[] = {MAIN_BTNSEND,     MAIN_BTNGET,      MAIN_BTNTEACH,
                                    MAIN_BTNREFRESHA, MAIN_BTNREFRESHB, MAIN_BTNRESET,
                                    MAIN_BTNRUN,      MAIN_DROPDCOM,    MAIN_TOGGCALIB};

struct PanelLock {
    int dimmed[std::size(kLockedCtrls)] = {};
    int mainDimmed[std::size(kLockedMainCtrls)] = {};
    PanelLock() {
        for (std::size_t i = 0; i < std::size(kLockedCtrls); ++i) {
            GetCtrlAttribute(pCalib, kLockedCtrls[i], ATTR_DIMMED, &dimmed[i]);
            SetCtrlAttribute(pCalib, kLockedCtrls[i], ATTR_DIMMED, 1);
        }
        for (std::size_t i = 0; i < std::size(kLockedMainCtrls); ++i) {
            GetCtrlAttribute(pA, kLockedMainCtrls[i], ATTR_DIMMED, &mainDimmed[i]);
            SetCtrlAttribute(pA, kLockedMainCtrls[i], ATTR_DIMMED, 1);
        }
        BeginLongSequence();
    }
    ~PanelLock() {
        EndLongSequence();
        for (std::size_t i = 0; i < std::size(kLockedCtrls); ++i) {
            SetCtrlAttribute(pCalib, kLockedCtrls[i], ATTR_DIMMED, dimmed[i]);
        }
        for (std::size_t i = 0; i < std::size(kLockedMainCtrls); ++i) {
            SetCtrlAttribute(pA, kLockedMainCtrls[i], ATTR_DIMMED, mainDimmed[i]);
        }
    }
};

void ProgramTable(const std::uint16_t* table, int firstPage, bool* failed) {
    for (int i = 0; i < kPagesPerTable; ++i) {
        auto page = static_cast<std::uint16_t>(kFlashBase + 0x100 * (firstPage + i));
        if (!ClearXFLASH(page)) {
            failed[firstPage + i] = true;
        }
        Delay(kFlashErasePauseSec);
    }
    for (int i = 0; i < kPagesPerTable; ++i) {
        auto page = static_cast<std::uint16_t>(kFlashBase + 0x100 * (firstPage + i));
        if (!WritePage(page, table + kPageWords * i)) {
            failed[firstPage + i] = true;
        }
    }
}

// The closing word of a run with failures: which pages did not get through.
void ReportFailedPages(const bool* failed) {
    std::string pages;
    int count = 0;
    for (int p = 0; p < kPages; ++p) {
        if (failed[p]) {
            pages += (count++ ? ", " : "") + std::to_string(p);
        }
    }
    if (count == 0) {
        return; // the status line keeps the outcome of the last step
    }
    std::string text =
        std::string("Error: X-FLASH-PAGE") + (count > 1 ? "S " : " ") + pages + " not programmed!";
    SetStatus(text.c_str());
    ShowStatus();
}

} // namespace

int XFlashOrderCount(int header, int tables, int loadedA, int loadedB) {
    constexpr int kTableOrders = kPagesPerTable * (1 + kBlocksPerPage);
    int total = header ? 2 : 0;
    if (tables) {
        total += (loadedA ? kTableOrders : 0) + (loadedB ? kTableOrders : 0);
    }
    return total;
}

int CC_WriteXFLASHDATA(int, int, int event, void*, int, int) {
    if (event == EVENT_LEFT_CLICK) {
        SetCtrlVal(pCalib, CAL_ADDRESS, 0);
        return 0;
    }
    if (event != EVENT_COMMIT || g_ordersDone >= 0) {
        return 0; // a run is already in progress further down the stack
    }
    int headerSw = 0, tablesSw = 0;
    GetCtrlVal(pCalib, CAL_HEADERSW, &headerSw);
    GetCtrlVal(pCalib, CAL_TABLESSW, &tablesSw);
    bool header = headerSw == 1;
    bool tables = tablesSw == 1;
    bool doA = tables && look_flagA == 1;
    bool doB = tables && look_flagB == 1;

    int total = XFlashOrderCount(header, tables, doA, doB);
    // A maximum of 0 would turn the bar into a busy indicator.
    SetCtrlAttribute(pCalib, CAL_PROGRESS, ATTR_MAX_VALUE, std::max(total, 1));
    SetCtrlVal(pCalib, CAL_PROGRESS, 0);
    g_ordersDone = 0;
    bool failed[kPages] = {};
    {
        PanelLock lock;
        if (header) {
            GetCalibHeaderValues();
            Delay(kFlashErasePauseSec);
            if (!ClearXFLASH(kHeaderPage)) {
                failed[1] = true;
            }
            Delay(kFlashErasePauseSec);
            SetCtrlVal(pCalib, CAL_ADDRESS, kHeaderPage);
            if (!WriteHeader()) {
                failed[1] = true;
            }
            Delay(kFlashErasePauseSec);
        }
        if (doA) {
            ProgramTable(linArrayA, PageNumber(PAGE2), failed);
        }
        if (doB) {
            ProgramTable(linArrayB, PageNumber(PAGE6), failed);
        }
    }
    g_ordersDone = -1;
    // Dimming moved the focus away; give it back to the button the operator pressed.
    SetActiveCtrl(pCalib, CAL_BTNWRITE);
    ReportFailedPages(failed);
    return 0;
}

int ClearXFLASH(std::uint16_t address) {
    if (address < kFirstErasable || address > kLastPage) {
        SetStatus("error:FLASH-address out of range");
        ShowStatus();
        return 0;
    }
    if (!IsPageStart(address)) {
        // An erase inside a page would wipe the page it falls in: refused, nothing is sent.
        SetStatus("page address not valid!");
        ShowStatus();
        return 0;
    }
    FlushQueues(com);
    parameter[1] = ORDER_FLASH_ERASE;
    parameter[2] = address;
    PutWord(szWriteBuf, 0, zel::sync);
    PutWord(szWriteBuf, 2, parameter[1]);
    PutWord(szWriteBuf, 4, parameter[2]);
    for (int i = 0; i < kDataWords; ++i) {
        PutWord(szWriteBuf, 6 + 2 * i, kEraseFill);
    }
    char text[kStatusLen];
    std::snprintf(text, sizeof text, "Clearing X-FLASH-PAGE: %2d ...", PageNumber(address));
    bool answered = FlashExchange();
    CountOrders(1);
    if (answered) {
        SetStatus((std::string(text) + " OK!").c_str());
    } else {
        SetStatus("Timeout-RS-232...");
    }
    ShowStatus();
    return answered ? 1 : 0;
}

void WritePageToXFLASH(std::uint16_t address, const std::uint16_t* words) {
    WritePage(address, words);
}

int WriteXFLASH(std::uint16_t address, std::uint16_t count, const std::uint16_t* words) {
    FlushQueues(com);
    parameter[1] = ORDER_FLASH_WRITE;
    int n = words ? std::min<int>(count, kWriteBlockWords) : 0;
    std::memset(szWriteBuf, 0, sizeof szWriteBuf);
    PutWord(szWriteBuf, 0, zel::sync);
    PutWord(szWriteBuf, 2, ORDER_FLASH_WRITE);
    PutWord(szWriteBuf, 4, address);
    PutWord(szWriteBuf, 6, count); // the count as given; never more than 8 words follow
    for (int i = 0; i < n; ++i) {
        PutWord(szWriteBuf, 8 + 2 * i, words[i]);
    }
    std::fill(std::begin(pp), std::end(pp), 0);
    bool answered = FlashExchange();
    CountOrders(1);
    if (!answered) {
        SetStatus("Timeout-RS-232...");
        return 0;
    }
    return 1;
}

void WriteXFLASHCalibData() {
    WriteHeader();
}

int SendInfoBlockToFlash(std::uint16_t first, std::uint16_t second) {
    std::memset(szWriteBuf, 0, kFrameLen);
    PutWord(szWriteBuf, 0, zel::sync);
    PutWord(szWriteBuf, 2, ORDER_INFO_BLOCK);
    PutWord(szWriteBuf, 4, second);
    PutWord(szWriteBuf, 6, first);
    int written = WriteFrame(com);
    Delay(kInfoBlockPauseSec);
    // Read straight from the port: the echo is checked here, not by the receive callback.
    if (written != kFrameLen || ReadRawBytes(kFrameLen) < kFrameLen) {
        SetStatus("Timeout: SendInfoBlockToFlash < 36 Bytes");
        return -1;
    }
    if (GetWord(szReadBuf, 4) != kInfoEcho) {
        SetStatus("error : unknown F801 echo at order-20!");
        return -2;
    }
    SetStatus("ok:  SendInfoBlockToFlash!");
    return 1;
}
