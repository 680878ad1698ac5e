#include "link/sensor_commands.h"

#include "link/frames.h"

#include <algorithm>
#include <array>

namespace {
// The command wait: the reply is tested before the first pass; a reply decoded in a pass that
// began once the time was up is not looked at.
constexpr ReplyWait kCommandWaitAny{kAnyReply, true, LastPass::IgnoresPassAfterLimit, TIMEOUT,
                                    nullptr};
constexpr ReplyWait kCommandWaitStandard{REPLY_STANDARD, true, LastPass::IgnoresPassAfterLimit,
                                         TIMEOUT, nullptr};

ExchangeResult Command(int port, int order, int second, const std::uint16_t* words,
                       const ReplyWait& wait, const std::function<void()>& written) {
    FlushQueues(port);
    // The frame is built from its own copy: the caller's words may be rewritten while events are
    // pumped (a receive callback decoding into them).
    std::array<std::uint16_t, 16> frameWords{};
    if (words) {
        std::copy_n(words, 15, frameWords.begin());
    }
    return Exchange(port, order, second, frameWords.data(), wait, ReplyExpect::Any, written);
}
} // namespace

ExchangeResult TeachSetpoint(int port, std::uint16_t channel,
                             const std::function<void()>& written) {
    return Command(port, ORDER_TEACH, channel, nullptr, kCommandWaitAny, written);
}

ExchangeResult RefreshChannel(int port, bool channelB, const std::uint16_t* block0,
                              const std::function<void()>& written) {
    return Command(port, channelB ? ORDER_REFRESH_B : ORDER_REFRESH_A, 0, block0,
                   kCommandWaitStandard, written);
}

ExchangeResult ResetSensor(int port, const std::uint16_t* block0,
                           const std::function<void()>& written) {
    return Command(port, ORDER_RESET, 0, block0, kCommandWaitStandard, written);
}
