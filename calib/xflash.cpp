#include "calib/calib.h"
#include "calib/flash_ops.h"

#include "core/state.h"
#include "link/frames.h"
#include "link/link.h"
#include "params/record.h"
#include "runtime/ui.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr std::uint16_t kFlashBase = 0x1000;
constexpr std::uint16_t kFirstErasable = 0x1100;
constexpr std::uint16_t kLastPage = 0x1F00;
constexpr std::uint16_t kHeaderPage = PAGE1;
constexpr std::uint16_t kInfoEcho = 0x00AA;
constexpr int kPageWords = 256;
constexpr int kWriteBlockWords = 8;
constexpr int kBlocksPerPage = kPageWords / kWriteBlockWords;
constexpr int kPages = kXFlashPages;

// Progress of a programming run in orders; negative while none runs.
int g_ordersDone = -1;
int g_ordersTotal = 0;
void (*g_progressObserver)(int done, int total) = nullptr;
bool g_lastFailed[kXFlashPages] = {};

void CountOrders(int n) {
    if (g_ordersDone < 0) {
        return;
    }
    g_ordersDone += n;
    SetCtrlVal(pCalib, CAL_PROGRESS, g_ordersDone);
    if (g_progressObserver) {
        g_progressObserver(g_ordersDone, g_ordersTotal);
    }
}

int PageNumber(std::uint16_t address) {
    return (address - kFlashBase) / 0x100;
}

bool IsPageStart(std::uint16_t address) {
    return address >= kFlashBase && address <= kLastPage && (address & 0xFF) == 0;
}

// The status line's words for a page being written.
std::string PageText(std::uint16_t pageAddress) {
    char text[kStatusLen] = "";
    if (IsPageStart(pageAddress)) {
        std::snprintf(text, sizeof text, "Writing X-FLASH-PAGE: %2d ...", PageNumber(pageAddress));
    }
    return text;
}

void ShowEraseOutcome(std::uint16_t address, const ExchangeResult& r) {
    char text[kStatusLen];
    std::snprintf(text, sizeof text, "Clearing X-FLASH-PAGE: %2d ... OK!", PageNumber(address));
    SetStatus(r.ok() ? text : "Timeout-RS-232...");
    ShowStatus();
}

void ShowHeaderOutcome(const ExchangeResult& r) {
    SetStatus(r.ok() ? "XFLASH-PAGE1 calibration-data-writing OK!" : "Timeout-RS-232...");
    ShowStatus();
}

// What the record, the word image and the header record hold while an order goes out, as the
// routines that send it by hand leave them.
void NoteFlashOrder(FlashStep step, std::uint16_t address) {
    switch (step) {
    case FlashStep::Erase:
        parameter[1] = ORDER_FLASH_ERASE;
        parameter[2] = address;
        break;
    case FlashStep::WriteBlock:
        parameter[1] = ORDER_FLASH_WRITE;
        std::fill(std::begin(pp), std::end(pp), 0);
        break;
    case FlashStep::Header:
        calibration[1] = ORDER_CALIB_HEADER;
        calibration[2] = kHeaderPage;
        std::fill(std::begin(pp), std::end(pp), 0);
        std::copy(calibration + CALIB_H1, calibration + CALIB_H5B + 1, pp);
        break;
    }
}

// The panel's view of a programming run: status line, progress bar, address reached.
void OnFlashEvent(const FlashEvent& e, void*) {
    if (e.before) {
        NoteFlashOrder(e.step, e.address);
        if (e.step == FlashStep::Header) {
            SetCtrlVal(pCalib, CAL_ADDRESS, kHeaderPage);
            ShowText("Writing XFLASH-PAGE1-calibration-Data...");
        } else if (e.step == FlashStep::WriteBlock && (e.address & 0xFF) == 0) {
            SetStatus("");
        }
        return;
    }
    CountOrders(e.done - g_ordersDone);
    const ExchangeResult& r = *e.result;
    switch (e.step) {
    case FlashStep::Erase:
        ShowEraseOutcome(e.address, r);
        break;
    case FlashStep::Header:
        ShowHeaderOutcome(r);
        break;
    case FlashStep::WriteBlock: {
        const std::string text = PageText(static_cast<std::uint16_t>(e.address & 0xFF00));
        SetStatus((text + (r.ok() ? " OK!" : " Error!")).c_str());
        if (r.ok()) {
            SetCtrlVal(pCalib, CAL_ADDRESS, e.address + kWriteBlockWords);
        }
        ShowStatus();
        break;
    }
    }
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
    FlashPlan plan;
    plan.header = header != 0;
    plan.tableA = tables && loadedA ? linArrayA : nullptr;
    plan.tableB = tables && loadedB ? linArrayB : nullptr;
    return FlashOrderCount(plan);
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
    g_ordersTotal = total;
    bool failed[kPages] = {};
    {
        PanelLock lock;
        FlashPlan plan;
        plan.header = header;
        if (header) {
            GetCalibHeaderValues();
            std::copy(calibration + CALIB_H1, calibration + CALIB_H5B + 1,
                      plan.headerWords.begin());
        }
        plan.tableA = doA ? linArrayA : nullptr;
        plan.tableB = doB ? linArrayB : nullptr;
        const FlashReport report = ProgramXFlash(com, plan, &OnFlashEvent, nullptr);
        for (int p = 0; p < kPages; ++p) {
            failed[p] = !report.pages[static_cast<std::size_t>(p)].ok;
        }
    }
    g_ordersDone = -1;
    std::copy(std::begin(failed), std::end(failed), std::begin(g_lastFailed));
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
    NoteFlashOrder(FlashStep::Erase, address);
    const ExchangeResult r = ErasePage(com, address);
    CountOrders(1);
    ShowEraseOutcome(address, r);
    return r.ok() ? 1 : 0;
}

int WritePageToXFLASH(std::uint16_t address, const std::uint16_t* words) {
    // One page on its own, outside a programming run: its blocks, with the panel's view of each.
    const int page = PageNumber(address);
    bool ok = true;
    for (int block = 0; block < kBlocksPerPage && ok; ++block) {
        const auto at = static_cast<std::uint16_t>(address + block * kWriteBlockWords);
        OnFlashEvent(FlashEvent{FlashStep::WriteBlock, true, at, page, 0, 0, nullptr}, nullptr);
        const ExchangeResult r =
            WriteFlashWords(com, at, kWriteBlockWords, words + block * kWriteBlockWords);
        ok = r.ok();
        OnFlashEvent(FlashEvent{FlashStep::WriteBlock, false, at, page, g_ordersDone, 0, &r},
                     nullptr);
    }
    return ok ? 1 : 0;
}

int WriteXFLASH(std::uint16_t address, std::uint16_t count, const std::uint16_t* words) {
    NoteFlashOrder(FlashStep::WriteBlock, address);
    const ExchangeResult r = WriteFlashWords(com, address, count, words);
    CountOrders(1);
    if (!r.ok()) {
        SetStatus("Timeout-RS-232...");
        return 0;
    }
    return 1;
}

int WriteXFLASHCalibData() {
    NoteFlashOrder(FlashStep::Header, kHeaderPage);
    ShowText("Writing XFLASH-PAGE1-calibration-Data...");
    std::uint16_t eight[8];
    std::copy(calibration + CALIB_H1, calibration + CALIB_H5B + 1, eight);
    const ExchangeResult r = WriteHeaderWords(com, eight);
    CountOrders(1);
    ShowHeaderOutcome(r);
    return r.ok() ? 1 : 0;
}

const bool* XFlashFailedPages() {
    return g_lastFailed;
}

void SetXFlashProgressObserver(void (*observer)(int done, int total)) {
    g_progressObserver = observer;
}

int SendInfoBlockToFlash(std::uint16_t first, std::uint16_t second) {
    FillTxBuf(ORDER_INFO_BLOCK, second, FirstWordOnly(first).words);
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
