#include "calib/flash_ops.h"

#include "host/clock.h"
#include "store/textfile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr std::uint16_t kFirstErasable = FlashPageAddress(kHeaderPageNumber);
constexpr std::uint16_t kLastPage = FlashPageAddress(kFlashPages - 1);
constexpr int kDataWords = 15; // data words of a command frame
constexpr int kPageWords = 256;
constexpr int kWriteBlockWords = 8;
constexpr int kBlocksPerPage = kPageWords / kWriteBlockWords;
constexpr int kHeaderWords = 8;

// The X-FLASH orders' reply wait: a standard reply, which counts unless the time at the end of
// the wait exceeds the limit. Any standard reply is taken, whatever it echoes: the sensor's echo
// of these orders is not the order itself on every firmware.
constexpr ReplyWait kFlashWait{REPLY_STANDARD, true, LastPass::IgnoresReplyPastLimit, TIMEOUT,
                               nullptr};

int PageOf(std::uint16_t address) {
    return (address - kFlashPage0) / 0x100;
}

bool IsPageStart(std::uint16_t address) {
    return address >= kFlashPage0 && address <= kLastPage && (address & 0xFF) == 0;
}

// What a run tells its observer, and how far it has come.
struct Run {
    FlashObserver observer = nullptr;
    void* context = nullptr;
    int done = 0;
    int total = 0;
    const bool* stop = nullptr;

    bool stopped() const { return stop && *stop; }
    // What an order the run no longer sends reports.
    ExchangeResult notSent(int order, std::uint16_t address) const {
        ExchangeResult r;
        r.outcome = Outcome::Interrupted;
        r.order = order;
        r.address = address;
        return r;
    }

    void tell(FlashStep step, bool before, std::uint16_t address,
              const ExchangeResult* result = nullptr) const {
        if (observer) {
            observer(FlashEvent{step, before, address, PageOf(address), done, total, result},
                     context);
        }
    }
};

void NoteFailure(PageOutcome& page, const ExchangeResult& r) {
    if (page.ok) {
        page.ok = false;
        page.failure = r.outcome;
        page.failedAddress = static_cast<std::uint16_t>(r.address);
    }
}

// The pause after an erase or the header, unless the run has been ended.
void Pause(const Run& run) {
    if (!run.stopped()) {
        Delay(kFlashErasePauseSec);
    }
}

ExchangeResult Erase(int port, std::uint16_t address, Run& run) {
    if (run.stopped()) {
        return run.notSent(ORDER_FLASH_ERASE, address);
    }
    run.tell(FlashStep::Erase, true, address);
    ExchangeResult r = ErasePage(port, address);
    ++run.done;
    run.tell(FlashStep::Erase, false, address, &r);
    return r;
}

ExchangeResult Header(int port, const FlashPlan& plan, Run& run) {
    const std::uint16_t address = FlashPageAddress(kHeaderPageNumber);
    if (run.stopped()) {
        return run.notSent(ORDER_CALIB_HEADER, address);
    }
    run.tell(FlashStep::Header, true, address);
    ExchangeResult r = WriteHeaderWords(port, plan.headerWords.data());
    ++run.done;
    run.tell(FlashStep::Header, false, address, &r);
    return r;
}

// Writes one page in blocks of eight words; the first block that fails skips the rest of the
// page (the progress moves past it).
void WritePage(int port, std::uint16_t address, const std::uint16_t* words, PageOutcome& page,
               Run& run) {
    for (int block = 0; block < kBlocksPerPage; ++block) {
        const int offset = block * kWriteBlockWords;
        const auto at = static_cast<std::uint16_t>(address + offset);
        if (run.stopped()) {
            NoteFailure(page, run.notSent(ORDER_FLASH_WRITE, at));
            return;
        }
        run.tell(FlashStep::WriteBlock, true, at);
        ExchangeResult r = WriteFlashWords(port, at, kWriteBlockWords, words + offset);
        ++run.done;
        if (!r.ok()) {
            run.done += kBlocksPerPage - 1 - block;
        }
        run.tell(FlashStep::WriteBlock, false, at, &r);
        if (!r.ok()) {
            NoteFailure(page, r);
            return;
        }
    }
}

// A table's four pages are all erased first, then written.
void ProgramTable(int port, const std::uint16_t* table, int firstPage, FlashReport& report,
                  Run& run) {
    for (int i = 0; i < kTablePages; ++i) {
        PageOutcome& page = report.pages[firstPage + i];
        page.attempted = true;
        ExchangeResult r = Erase(port, FlashPageAddress(firstPage + i), run);
        if (!r.ok()) {
            NoteFailure(page, r);
        }
        Pause(run);
    }
    for (int i = 0; i < kTablePages; ++i) {
        WritePage(port, FlashPageAddress(firstPage + i), table + kPageWords * i,
                  report.pages[firstPage + i], run);
    }
}

const std::uint16_t* TableOfPage(int page, const FlashPlan& plan) {
    if (page >= kTableAFirstPage && page < kTableAFirstPage + kTablePages && plan.tableA) {
        return plan.tableA + kPageWords * (page - kTableAFirstPage);
    }
    if (page >= kTableBFirstPage && page < kTableBFirstPage + kTablePages && plan.tableB) {
        return plan.tableB + kPageWords * (page - kTableBFirstPage);
    }
    return nullptr;
}

} // namespace

CalibFileLoad LoadCalibFile(const std::string& path) {
    CalibFileLoad load;
    std::string text;
    errno = 0;
    if (!ReadWholeFile(path, text)) {
        const int err = errno;
        load.problem = std::string("cannot be read (") +
                       (err != 0 ? std::strerror(err) : "not a regular file of text") + ")";
        return load;
    }
    // The whole file is checked before anything of it is used.
    if (!ParseCalibrationText(text, load.content)) {
        load.problem = CalibFileProblem(text);
        load.content = CalibFileContent{};
        return load;
    }
    load.ok = true;
    return load;
}

ExchangeResult ErasePage(int port, std::uint16_t address) {
    if (address < kFirstErasable || address > kLastPage || !IsPageStart(address)) {
        // Page 0 and anything beyond the last page are not erased, and an erase inside a page
        // would wipe the page it falls in: nothing is sent.
        ExchangeResult refused;
        refused.outcome = Outcome::NotWritten;
        refused.order = ORDER_FLASH_ERASE;
        refused.address = address;
        return refused;
    }
    FlushQueues(port);
    return Exchange(port, ORDER_FLASH_ERASE, address, FlashEraseWords().words, kFlashWait,
                    ReplyExpect::Any);
}

ExchangeResult WriteFlashWords(int port, std::uint16_t address, std::uint16_t count,
                               const std::uint16_t* words) {
    FlushQueues(port);
    return Exchange(port, ORDER_FLASH_WRITE, address, FlashWriteWords(count, words).words,
                    kFlashWait, ReplyExpect::Any);
}

ExchangeResult WriteHeaderWords(int port, const std::uint16_t* eight) {
    FlushQueues(port);
    // Eight header values; the frame's remaining data words always go out as 0.
    std::uint16_t words[kDataWords] = {};
    std::copy_n(eight, kHeaderWords, words);
    return Exchange(port, ORDER_CALIB_HEADER, FlashPageAddress(kHeaderPageNumber), words,
                    kFlashWait, ReplyExpect::Any);
}

bool FlashReport::ok() const {
    return std::all_of(pages.begin(), pages.end(), [](const PageOutcome& p) { return p.ok; });
}

int FlashOrderCount(const FlashPlan& plan) {
    constexpr int kTableOrders = kTablePages * (1 + kBlocksPerPage);
    return (plan.header ? 2 : 0) + (plan.tableA ? kTableOrders : 0) +
           (plan.tableB ? kTableOrders : 0);
}

FlashReport ProgramXFlash(int port, const FlashPlan& plan, FlashObserver observer, void* context) {
    FlashReport report;
    Run run{observer, context, 0, FlashOrderCount(plan), plan.stop};
    if (plan.header) {
        PageOutcome& page = report.pages[kHeaderPageNumber];
        page.attempted = true;
        Pause(run);
        ExchangeResult erased = Erase(port, FlashPageAddress(kHeaderPageNumber), run);
        if (!erased.ok()) {
            NoteFailure(page, erased);
        }
        Pause(run);
        ExchangeResult written = Header(port, plan, run);
        if (!written.ok()) {
            NoteFailure(page, written);
        }
        Pause(run);
    }
    if (plan.tableA) {
        ProgramTable(port, plan.tableA, kTableAFirstPage, report, run);
    }
    if (plan.tableB) {
        ProgramTable(port, plan.tableB, kTableBFirstPage, report, run);
    }
    report.interrupted = run.stopped();
    return report;
}

PageOutcome ProgramPage(int port, int page, const FlashPlan& plan) {
    PageOutcome outcome;
    outcome.attempted = true;
    Run run; // no observer: a page on its own shows no progress
    run.stop = plan.stop;
    ExchangeResult erased = Erase(port, FlashPageAddress(page), run);
    if (!erased.ok()) {
        NoteFailure(outcome, erased);
    }
    Pause(run);
    if (page == kHeaderPageNumber) {
        ExchangeResult written = Header(port, plan, run);
        if (!written.ok()) {
            NoteFailure(outcome, written);
        }
        Pause(run);
    } else if (const std::uint16_t* words = TableOfPage(page, plan)) {
        WritePage(port, FlashPageAddress(page), words, outcome, run);
    }
    return outcome;
}
