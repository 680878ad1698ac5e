// Calibration files and X-FLASH programming as operations without a face: the file's tables
// and header or the line and reason of a refusal; each page's outcome.
#pragma once

#include "link/exchange.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

inline constexpr int kCalibWords = 1024;
inline constexpr int kFlashPages = 16;
inline constexpr std::uint16_t kFlashPage0 = 0x1000;
// Page n of the X-FLASH: 0x1000 + 0x100 n. Page 1 header, 2-5 table A, 6-9 table B.
inline constexpr std::uint16_t FlashPageAddress(int page) {
    return static_cast<std::uint16_t>(kFlashPage0 + 0x100 * page);
}
inline constexpr int kHeaderPageNumber = 1;
inline constexpr int kTableAFirstPage = 2;
inline constexpr int kTableBFirstPage = 6;
inline constexpr int kTablePages = 4;

// The content of one calibration file, checked in full before anything is stored.
struct CalibFileContent {
    bool hasHeader = false;
    // Header lines whose value could not be read leave that header word as it was.
    bool h1Read = false, h2Read = false, h4Read = false, h5Read = false;
    std::uint16_t h1 = 0, h2 = 0, h4 = 0, h5 = 0;
    double h3 = 0.0;                       // stays 0.0 when its line cannot be read
    std::uint16_t table[kCalibWords] = {}; // in table order (the file lists it reversed)
};
// Parses a calibration file's text. False when the table section is missing or short, or a
// table or integer header value does not fit in 16 bits; `out` is then not to be used.
bool ParseCalibrationText(std::string_view text, CalibFileContent& out);
// Why ParseCalibrationText refuses a text, as "line N: reason"; empty when it takes it.
std::string CalibFileProblem(std::string_view text);

struct CalibFileLoad {
    bool ok = false;
    CalibFileContent content;
    std::string problem; // "line 1031: only 1023 table values", or "cannot be read (...)"
};
CalibFileLoad LoadCalibFile(const std::string& path);

// ---- X-FLASH orders ----
// Order 180: erase the page at `address` (every data word 0x00AA). Answered on a standard reply.
ExchangeResult ErasePage(int port, std::uint16_t address);
// Order 182: `count` (at most 8 go out) words at `address`.
ExchangeResult WriteFlashWords(int port, std::uint16_t address, std::uint16_t count,
                               const std::uint16_t* words);
// Order 23 to page 1: the eight header values as data words 0-7.
ExchangeResult WriteHeaderWords(int port, const std::uint16_t* eight);

// What a programming run does, step by step, for a caller that shows it.
enum class FlashStep { Erase, WriteBlock, Header };
struct FlashEvent {
    FlashStep step;
    bool before;                  // about to send (true) or done (false)
    std::uint16_t address;        // page or block address
    int page;                     // 0..15
    int done, total;              // orders done and the run's total
    const ExchangeResult* result; // when done
};
using FlashObserver = void (*)(const FlashEvent& event, void* context);

struct FlashPlan {
    bool header = false;
    std::array<std::uint16_t, 8> headerWords{}; // H1, H2, H3A, H3B, H4A, H4B, H5A, H5B
    const std::uint16_t* tableA = nullptr;      // 1024 words, or nullptr to leave it
    const std::uint16_t* tableB = nullptr;
    // Once this is true, no further order is sent: the order in progress ends the run, and
    // the pages not done are reported as interrupted.
    const bool* stop = nullptr;
};
struct PageOutcome {
    bool attempted = false;
    bool ok = true;
    Outcome failure = Outcome::Answered; // the first step that failed on it
    std::uint16_t failedAddress = 0;
};
struct FlashReport {
    std::array<PageOutcome, kFlashPages> pages{};
    bool interrupted = false; // the plan's stop ended it
    bool ok() const;
};
// Orders of a run: 2 for the header page, 4 erases and 128 writes per table.
int FlashOrderCount(const FlashPlan& plan);
// Erases and writes the header page, then the table pages, stop-and-wait, with 0.3 s after
// each erase. A block write that fails skips the rest of its page.
FlashReport ProgramXFlash(int port, const FlashPlan& plan, FlashObserver observer = nullptr,
                          void* context = nullptr);
// One page again: erase, then its header or table words.
PageOutcome ProgramPage(int port, int page, const FlashPlan& plan);
