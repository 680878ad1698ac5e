// Teach, refresh and reset as operations: each flushes the queues, sends its one command frame
// and waits for the reply the command accepts, and returns what happened. The window's buttons
// and the command-line tool both call these; what a face shows, and the GET of block 0 that
// follows a reply, are the caller's.
#pragma once

#include "link/exchange.h"

#include <cstdint>
#include <functional>

// Order 6 with `channel` as the second word (0 channel A, any other value channel B) and 15 zero
// data words. A reply of either kind ends the wait.
ExchangeResult TeachSetpoint(int port, std::uint16_t channel,
                             const std::function<void()>& written = {});
// Order 11 (`channelB` false) or 12 with block 0 as data words. Only a standard reply ends the
// wait: the data replies of a running stream do not.
ExchangeResult RefreshChannel(int port, bool channelB, const std::uint16_t* block0,
                              const std::function<void()>& written = {});
// Order 13 with block 0 as data words; a standard reply ends the wait.
ExchangeResult ResetSensor(int port, const std::uint16_t* block0,
                           const std::function<void()>& written = {});

// Whether the command's wait ended on a reply it accepts. The reply's content is not examined;
// nested in a window's wait, another command may have taken that frame for itself and left
// only its kind behind (NotItsReply), which still counts.
inline bool CommandReplied(const ExchangeResult& r) {
    return r.outcome == Outcome::Answered || r.outcome == Outcome::NotItsReply;
}
