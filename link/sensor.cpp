#include "link/sensor.h"

#include "link/port_link.h"

#include "host/clock.h"
#include "serial/serial.h"

#include <algorithm>
#include <cstring>

namespace {
// The status line never holds an unprintable byte: printable ASCII and printable Latin-1
// (degree sign, micro sign, umlauts) stay, as Latin-1 bytes; anything else shows '?'.
char Printable(unsigned code) {
    bool printable = (code >= 0x20 && code < 0x7F) || (code >= 0xA0 && code <= 0xFF);
    return printable ? static_cast<char>(static_cast<unsigned char>(code)) : '?';
}
constexpr int kVersionChars = 63; // a type-0 text holds at most this many characters
constexpr int kTextChars = 65;    // any other type's text: what the status line shows
// Silence on the line that ends a raw reply: longer than an adapter's latency timer.
constexpr double kRawQuietSec = 0.03;

constexpr ReplyWait kLineCheckWait{kAnyReply, false, LastPass::TakesLateReply, TIMEOUT,
                                   "Timeout-RS-232..."};
constexpr ReplyWait kHardwareWait{kAnyReply, false, LastPass::ReportsLateReply, TIMEOUT,
                                  "Timeout-RS-232..."};

const std::uint16_t kStartBlock0[16] = {500, 512, 512, 100, 100, 10};
} // namespace

ExchangeResult LineCheck(int port, const std::uint16_t* words) {
    FlushQueues(port);
    return Exchange(port, ORDER_LINE_CHECK, 0, words, kLineCheckWait, ReplyExpect::LineCheck);
}

ExchangeResult ReadHardwareType(int port, const std::uint16_t* words) {
    FlushQueues(port);
    return Exchange(port, ORDER_HARDWARE, 0, words, kHardwareWait, ReplyExpect::Echo);
}

FirmwareResult ReadFirmware(int port, const std::uint16_t* words, std::uint16_t hardwareType) {
    FirmwareResult r;
    Link& link = LinkOf(port);
    link.suspendReceiver();
    link.flush();
    char frame[kFrameLen];
    BuildFrame(frame, ORDER_FIRMWARE, 0, words);
    const int written = link.write(frame);
    r.timedOut = true;
    int n = 0;
    const char* raw = link.raw();
    if (written == kFrameLen) {
        const double t0 = Timer();
        r.waiting = link.waitForRawBytes(kFirmwareBytes, kFirmwareTimeoutSec, r.timedOut);
        n = link.readRaw(r.waiting, 0);
        // The reply is 72 bytes, with nothing to frame it: bytes that keep coming once they are
        // in (noise before the reply, a trailer after it) make it another length, and then no
        // text is taken from bytes that may be shifted. What came is read at once, so a line
        // that drops right after the reply still gives its text.
        while (!r.timedOut && n >= kFirmwareBytes && n < kBufLen &&
               Timer() - t0 < kFirmwareTimeoutSec) {
            bool quiet = false;
            const int more = link.waitForRawBytes(1, kRawQuietSec, quiet);
            if (more <= 0) {
                break;
            }
            const int got = link.readRaw(more, n);
            n += got;
            r.waiting = n;
            if (got <= 0) {
                break;
            }
        }
    }
    r.read = n;
    if (n == kFirmwareBytes) {
        if (hardwareType == 0) {
            // One character per big-endian word, up to the first 0 word.
            for (int i = 0; i < 36 && static_cast<int>(r.text.size()) < kVersionChars; ++i) {
                const unsigned code = GetWord(raw, 2 * i);
                if (code == 0) {
                    break;
                }
                r.text += Printable(code);
            }
        } else {
            for (int i = 0; i < kTextChars && i < kFirmwareBytes && raw[i] != '\0'; ++i) {
                r.text += Printable(static_cast<unsigned char>(raw[i]));
            }
        }
    }
    link.resumeReceiver();
    link.flush();
    link.forgetReply();
    if (n == kFirmwareBytes) {
        r.outcome = Outcome::Answered; // the whole reply came, even if the line dropped after it
    } else if (link.lost()) {
        r.outcome = Outcome::PortLost;
    } else if (written != kFrameLen) {
        r.outcome = Outcome::NotWritten;
    } else {
        r.outcome = r.timedOut ? Outcome::Timeout : Outcome::NotItsReply;
    }
    return r;
}

const std::uint16_t* StartBlock0() {
    return kStartBlock0;
}

std::string Latin1ToUtf8(const std::string& latin1) {
    std::string out;
    for (char ch : latin1) {
        const auto b = static_cast<unsigned char>(ch);
        if (b < 0x80) {
            out += static_cast<char>(b);
        } else {
            out += static_cast<char>(0xC0 | (b >> 6));
            out += static_cast<char>(0x80 | (b & 0x3F));
        }
    }
    return out;
}
