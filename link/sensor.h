// The sensor's identity and the line check, as operations: each returns what happened and
// leaves no trace in the record, the panel or the status line.
#pragma once

#include "link/exchange.h"

#include <functional>
#include <string>
#include <vector>

inline constexpr int kFirmwareBytes = 72;

// Order 5 with `words` as its data words; Answered when the reply carries 0x00AA in word 0 or 1.
ExchangeResult LineCheck(int port, const std::uint16_t* words);
// Order 10; Answered when a standard reply echoes 10. The type is data word 2 of the reply.
ExchangeResult ReadHardwareType(int port, const std::uint16_t* words);
inline std::uint16_t HardwareTypeOf(const ExchangeResult& r) {
    return r.reply.words[2];
}

struct FirmwareResult {
    Outcome outcome = Outcome::Timeout; // Answered when exactly 72 bytes came
    int waiting = 0;                    // bytes waiting when the wait ended
    int read = 0;                       // bytes read into the link's raw buffer (RawBytes)
    bool timedOut = false;              // fewer than 72 within the limit
    std::string text;                   // Latin-1, printable only ('?' for the rest)
};
// Order 7 with the receiver suspended: 72 raw bytes within 2.0 s. A type-0 sensor sends one
// character per big-endian word, any other the text's bytes.
FirmwareResult ReadFirmware(int port, const std::uint16_t* words, std::uint16_t hardwareType);

// ---- Probing ports, each on its own link ----
// The link of the port in use, its globals and its waits are never touched: an open port is
// not probed, and a probed port that goes away touches nothing else.

// The line check on several ports at once, none of them open already: opens each, writes the
// line-check frame with `words` as its data words on all, pumps events until each has a reply's
// bytes or the reply time-out passed, and closes them again. For each port: 1 answered with
// 0x00AA in word 0 or 1, 0 no such reply, -1 the frame could not go out (a port open already,
// a port that does not open). Each port that answers is closed and handed to `onAnswer` (its
// index) at once, while the others still wait: what the caller does with it overlaps their
// time-out.
std::vector<int> ProbeLines(const std::vector<int>& ports, const std::uint16_t* words,
                            const std::function<void(std::size_t)>& onAnswer = {});

// What a port holds: the line check, and for a port that answers the sensor's identity.
struct PortProbe {
    int port = 0;
    int lineCheck = -1;      // as ProbeLines: 1 answered, 0 no such reply, -1 not sent
    int openResult = 0;      // the negative result of opening, when the port does not open
    bool identified = false; // hardware and firmware were asked (the line check answered)
    ExchangeResult hardware; // order 10
    FirmwareResult firmware; // order 7
    bool answers() const { return lineCheck == 1; }
};
// The line check on all `ports` at once; each that answers is identified on its own link while
// the silent ones run out their time-out; for each that took no frame, why it does not open.
// Ports still connecting (network ports) are connected side by side.
std::vector<PortProbe> ProbePorts(const std::vector<int>& ports, const std::uint16_t* words);
PortProbe ProbePort(int port, const std::uint16_t* words);

// The same 16-word image the sensor gets in a frame, for callers that hold no record: block 0
// as the tool starts with it.
const std::uint16_t* StartBlock0();
// Firmware text in UTF-8 (the status line holds Latin-1).
std::string Latin1ToUtf8(const std::string& latin1);
