#include "link/sensor.h"

#include "core/line.h"
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
    SuspendReceiver();
    FlushQueues(port);
    FillTxBuf(ORDER_FIRMWARE, 0, words);
    const int written = WriteFrame(port);
    r.timedOut = true;
    int n = 0;
    if (written == kFrameLen) {
        const double t0 = Timer();
        r.waiting = WaitForRawBytes(port, kFirmwareBytes, kFirmwareTimeoutSec, r.timedOut);
        n = ReadRawInto(port, r.waiting);
        // The reply is 72 bytes, with nothing to frame it: bytes that keep coming once they are
        // in (noise before the reply, a trailer after it) make it another length, and then no
        // text is taken from bytes that may be shifted. What came is read at once, so a line
        // that drops right after the reply still gives its text.
        while (!r.timedOut && n >= kFirmwareBytes && n < kBufLen &&
               Timer() - t0 < kFirmwareTimeoutSec) {
            bool quiet = false;
            const int more = WaitForRawBytes(port, 1, kRawQuietSec, quiet);
            if (more <= 0) {
                break;
            }
            const int got = ReadRawInto(port, more, n);
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
                const unsigned code = GetWord(szReadBuf, 2 * i);
                if (code == 0) {
                    break;
                }
                r.text += Printable(code);
            }
        } else {
            for (int i = 0; i < kTextChars && i < kFirmwareBytes && szReadBuf[i] != '\0'; ++i) {
                r.text += Printable(static_cast<unsigned char>(szReadBuf[i]));
            }
        }
    }
    ResumeReceiver(port);
    FlushQueues(port);
    rx_flag = 0;
    if (n == kFirmwareBytes) {
        r.outcome = Outcome::Answered; // the whole reply came, even if the line dropped after it
    } else if (PortLost()) {
        r.outcome = Outcome::PortLost;
    } else if (written != kFrameLen) {
        r.outcome = Outcome::NotWritten;
    } else {
        r.outcome = r.timedOut ? Outcome::Timeout : Outcome::NotItsReply;
    }
    return r;
}

std::vector<int> ProbeLines(const std::vector<int>& ports, const char* frame,
                            const std::function<void(std::size_t)>& onAnswer) {
    std::vector<int> answered(ports.size(), -1);
    std::vector<std::size_t> waiting; // indexes of the ports written to and not yet decided
    // Each port gets its reply time-out from its own write: a network port that takes its
    // time-out to fail to connect does not add a second one to the ports opened before it.
    std::vector<double> writtenAt(ports.size(), 0.0);
    // Ports still connecting are opened once they are ready, not in turn: one that never
    // connects holds back none of the others.
    auto openAndWrite = [&](std::size_t i) {
        if (OpenComConfig(ports[i], "", kSensorLine.baud, kSensorLine.parity, kSensorLine.dataBits,
                          kSensorLine.stopBits, kSensorLine.queueBytes,
                          kSensorLine.queueBytes) < 0) {
            return;
        }
        SetComTime(ports[i], TIMEOUT);
        SetCTSMode(ports[i], 0);
        FlushInQ(ports[i]);
        FlushOutQ(ports[i]);
        if (ComWrt(ports[i], frame, kFrameLen) == kFrameLen) {
            writtenAt[i] = Timer();
            waiting.push_back(i);
            answered[i] = 0;
        } else {
            CloseCom(ports[i]);
        }
    };
    std::vector<std::size_t> toOpen;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        if (ports[i] != com) {
            toOpen.push_back(i);
        }
    }
    while (!toOpen.empty()) {
        bool opened = false;
        for (std::size_t k = 0; k < toOpen.size();) {
            if (ComOpenPending(ports[toOpen[k]]) && !(toOpen.size() == 1 && k == 0)) {
                ++k;
                continue;
            }
            const std::size_t i = toOpen[k];
            toOpen.erase(toOpen.begin() + static_cast<long>(k));
            openAndWrite(i);
            opened = true;
        }
        if (!opened) {
            ProcessSystemEventsUntil(Timer() + 0.01);
        }
    }
    // A port is decided as soon as its reply's bytes are in (or it went away): the caller may
    // go on with it while the silent ones run out their time.
    auto decide = [&](std::size_t i) {
        char reply[kFrameLen];
        const bool ok = !ComPortLost(ports[i]) && GetInQLen(ports[i]) >= kFrameLen &&
                        ComRd(ports[i], reply, kFrameLen) == kFrameLen &&
                        (GetWord(reply, 0) == 0x00AA || GetWord(reply, 2) == 0x00AA);
        answered[i] = ok ? 1 : 0;
        CloseCom(ports[i]);
        if (ok && onAnswer) {
            onAnswer(i);
        }
    };
    while (!waiting.empty()) {
        double last = 0;
        for (std::size_t k = 0; k < waiting.size();) {
            const std::size_t i = waiting[k];
            if (ComPortLost(ports[i]) || GetInQLen(ports[i]) >= kFrameLen) {
                waiting.erase(waiting.begin() + static_cast<long>(k));
                decide(i);
            } else if (Timer() - writtenAt[i] > TIMEOUT) {
                waiting.erase(waiting.begin() + static_cast<long>(k));
                CloseCom(ports[i]); // silent: no reply within the time-out
            } else {
                last = std::max(last, writtenAt[i]);
                ++k;
            }
        }
        if (waiting.empty()) {
            break;
        }
        ProcessSystemEventsUntil(last + TIMEOUT + 0.0005);
    }
    return answered;
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
