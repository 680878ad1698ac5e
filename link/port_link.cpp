#include "link/port_link.h"

#include "core/line.h"

#include "host/clock.h"
#include "serial/serial.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

namespace {
// When a whole frame may still be the noisy head of a later one, the bytes that would complete
// the later one decide; if the line stays quiet this long, the frame is taken as it stands.
// Longer than a USB adapter's latency timer (16 ms by default), short against the time-out.
constexpr double kSettleSec = 0.05;
// How far past its limit a wait may block: enough for the limit to have passed when it looks.
constexpr double kPastLimitSec = 0.0005;

std::map<int, std::unique_ptr<Link>>& Links() {
    static std::map<int, std::unique_ptr<Link>> links;
    return links;
}

int g_waitsRunning = 0;

// Waits nest on the one thread, whichever link they wait on.
struct WaitScope {
    WaitScope() { ++g_waitsRunning; }
    ~WaitScope() { --g_waitsRunning; }
};

// One timer serves every link with a frame waiting for the settle time.
void SettleAll() {
    bool any = false;
    for (auto& [port, link] : Links()) {
        link->settleCheck();
        any = any || link->settling();
    }
    if (!any) {
        SetPeriodicCall(0, &SettleAll);
    }
}

// The timer stops once no link needs it.
void StopSettleTimerWhenIdle() {
    for (auto& [port, link] : Links()) {
        if (link->settling()) {
            return;
        }
    }
    SetPeriodicCall(0, &SettleAll);
}

bool Matches(int order, ReplyExpect expect, const Reply& r) {
    switch (expect) {
    case ReplyExpect::Any:
        return r.kind != 0;
    case ReplyExpect::Standard:
        return r.kind == REPLY_STANDARD;
    case ReplyExpect::Echo:
        return r.kind == REPLY_STANDARD && r.echo == static_cast<std::uint16_t>(order);
    case ReplyExpect::LineCheck:
        return IsLineCheckReply(r);
    case ReplyExpect::Data:
        return r.kind == REPLY_DATA;
    }
    return false;
}
} // namespace

struct WaiterScope {
    WaiterScope(std::vector<Link::Waiter*>& list, Link::Waiter& w) : list_(list), w_(&w) {
        list_.push_back(w_);
    }
    ~WaiterScope() { list_.erase(std::find(list_.begin(), list_.end(), w_)); }
    std::vector<Link::Waiter*>& list_;
    Link::Waiter* w_;
};

Link::Link(int port) : port_(port), receive_(&LinkReceive) {}

Link* FindLink(int port) {
    auto it = Links().find(port);
    return it == Links().end() ? nullptr : it->second.get();
}

Link& LinkOf(int port) {
    auto& slot = Links()[port];
    if (!slot) {
        slot = std::make_unique<Link>(port);
        ApplyLinkDefaults(*slot);
    }
    return *slot;
}

std::vector<int> LinkPorts() {
    std::vector<int> ports;
    for (const auto& [port, link] : Links()) {
        ports.push_back(port);
    }
    return ports;
}

int WaitsRunning() {
    return g_waitsRunning;
}

void Link::reset() {
    lost_ = false;
    lostText_[0] = '\0';
    streamOpen_ = false;
    replyReady_ = false;
    lastOrder_ = 0;
    replyKind_ = 0;
    forgetPartialFrame();
    framer_.forgetSync();
    stats_ = LinkStats{};
}

// ---- opening and the receiver ----

int Link::open(bool receiver) {
    int r = OpenComConfig(port_, "", kSensorLine.baud, kSensorLine.parity, kSensorLine.dataBits,
                          kSensorLine.stopBits, kSensorLine.queueBytes, kSensorLine.queueBytes);
    if (r < 0) {
        return r;
    }
    lost_ = false;
    framer_.forgetSync(); // the sensor on this port may be another one
    SetComTime(port_, TIMEOUT);
    if (!receiver) {
        notifyCount_ = 0;
    }
    flush();
    SetCTSMode(port_, 0);
    if (receiver) {
        resumeReceiver();
    }
    return 0;
}

void Link::close() {
    notifyCount_ = 0;
    forgetPartialFrame();
    CloseCom(port_);
}

void Link::suspendReceiver() {
    notifyCount_ = 0;
    forgetPartialFrame();
    InstallComCallback(port_, 0, 0, 0, nullptr, nullptr);
}

void Link::resumeReceiver() {
    forgetPartialFrame();
    notifyCount_ = kNotifyCount;
    InstallComCallback(port_, eventMask, kNotifyCount, zel::sync, receive_, nullptr);
}

// ---- receiving ----

void Link::stopSettling() {
    if (undecided_) {
        undecided_ = false;
        StopSettleTimerWhenIdle();
    }
}

void Link::forgetPartialFrame() {
    framer_.clear();
    stopSettling();
}

// The receive callback runs again once `count` more bytes wait.
void Link::notifyAfter(int count) {
    count = std::clamp(count, 1, kNotifyCount);
    if (count != notifyCount_) {
        notifyCount_ = count;
        InstallComCallback(port_, eventMask, count, zel::sync, receive_, nullptr);
    }
}

// Bytes that formed no frame: counted, and shown to the trace with the reason.
void Link::dropped(const char* bytes, int count, const char* reason) {
    if (count <= 0) {
        return;
    }
    stats_.bytesDiscarded += count;
    if (dropTap_) {
        dropTap_(bytes, count, reason, Timer());
    }
}

Awaited Link::currentAwaited() const {
    Awaited a;
    a.order = waiters_.empty() ? lastOrder_ : waiters_.back()->order;
    a.dataStream = streamOpen_;
    return a;
}

// The frame the framer placed is taken: it becomes the last frame, reaches the innermost wait
// and, if it is a data reply while the scope streams, the scope. Whatever else waits is dropped.
int Link::deliver(const FrameStep& step) {
    stopSettling();
    const Awaited awaited = currentAwaited();
    if (step.at > 0) {
        dropped(framer_.data(), step.at, kDropBeforeReply);
    }
    framer_.take(step, awaited, frame_.data());
    const Reply reply = DecodeReply(frame_.data());
    replyKind_ = reply.kind;
    ++(reply.kind == REPLY_DATA ? stats_.dataReplies : stats_.standardReplies);
    if (tap_) {
        tap_(false, frame_.data(), kFrameLen, Timer());
    }
    lastTaken_ = false;
    if (!waiters_.empty() && !waiters_.back()->filled) {
        lastTaken_ = true;
        waiters_.back()->filled = true;
        waiters_.back()->reply = reply;
    }
    const bool forTheScope = waiters_.empty() || waiters_.back()->order != ORDER_DATA;
    if (reply.kind == REPLY_DATA && streamOpen_ && forTheScope) {
        dataReply_ = reply.words;
        replyReady_ = true;
    }
    // Bytes beyond one frame are discarded, those already read and those still queued.
    char rest[kBufLen];
    int restLen = framer_.size();
    std::memcpy(rest, framer_.data(), static_cast<std::size_t>(restLen));
    const int queued = std::min(GetInQLen(port_), kBufLen - restLen);
    if (queued > 0) {
        const int n = ComRd(port_, rest + restLen, queued);
        restLen += std::max(n, 0);
    }
    dropped(rest, restLen, kDropAfterReply);
    framer_.clear();
    FlushInQ(port_);
    notifyAfter(kNotifyCount);
    return reply.kind;
}

// Frames from what the framer holds; 0 when none formed yet.
int Link::decide(bool settled) {
    for (;;) {
        const FrameStep step = framer_.decide(currentAwaited(), settled);
        switch (step.kind) {
        case FrameStep::Take:
            return deliver(step);
        case FrameStep::Junk:
            dropped(framer_.data(), step.at, kDropNoFrame);
            framer_.drop(step.at);
            continue;
        case FrameStep::Settle:
            notifyAfter(step.want - framer_.size());
            if (!undecided_) {
                undecided_ = true;
                SetPeriodicCall(0.01, &SettleAll);
            }
            return 0;
        case FrameStep::NeedBytes:
            stopSettling();
            notifyAfter(step.want - framer_.size()); // the rest of the frame
            return 0;
        }
    }
}

void Link::settleCheck() {
    if (!undecided_) {
        return;
    }
    // Bytes that came meanwhile are taken first: they may complete the later frame.
    if (GetInQLen(port_) > 0) {
        receive_(port_, LWRS_RECEIVE, nullptr);
        if (!undecided_) {
            return;
        }
    }
    if (Timer() - lastBytesAt_ < kSettleSec) {
        return;
    }
    // Decided through the receive callback, as every frame is: the routines' callback fills
    // their globals from it.
    settleNow_ = true;
    receive_(port_, LWRS_RECEIVE, nullptr);
    settleNow_ = false;
}

int Link::receive(int events) {
    if (!(events & LWRS_RECEIVE)) {
        return 0;
    }
    if (settleNow_) {
        settleNow_ = false;
        return decide(true);
    }
    char chunk[kBufLen];
    const int waiting = std::min(GetInQLen(port_), kBufLen);
    // A line that floods us: the oldest bytes make room, so the newest can still form a frame.
    if (const int over = waiting - (Framer::kCapacity - framer_.size()); over > 0) {
        dropped(framer_.data(), over, kDropNoFrame);
        framer_.drop(over);
    }
    const int want = std::min(waiting, Framer::kCapacity - framer_.size());
    const int n = want > 0 ? ComRd(port_, chunk, want) : 0;
    if (n <= 0) {
        return 0; // nothing read (a lost port is handled by its own event)
    }
    framer_.append(chunk, n);
    lastBytesAt_ = Timer();
    return decide(false);
}

// ---- sending and waiting ----

void Link::flush() {
    // What waits unread is dropped too, but not without a word: counted and traced.
    if (const int waiting = std::min(GetInQLen(port_), kBufLen); waiting > 0 && !lost_) {
        char stale[kBufLen];
        const int n = ComRd(port_, stale, waiting);
        dropped(stale, n, kDropLeftOver);
    }
    FlushInQ(port_);
    FlushOutQ(port_);
    if (framer_.size() > 0) {
        dropped(framer_.data(), framer_.size(), kDropNoFrame);
        forgetPartialFrame();
    }
    if (notifyCount_ != 0) {
        notifyAfter(kNotifyCount); // a partial frame's shorter count is void now
    }
}

int Link::send(const char* frame) {
    replyKind_ = 0;
    return write(frame);
}

int Link::write(const char* frame, bool tapped) {
    lastOrder_ = GetWord(frame, 2);
    const int written = ComWrt(port_, frame, kFrameLen);
    if (tapped && tap_ && written > 0) {
        tap_(true, frame, written, Timer());
    }
    return written;
}

int Link::waitForReply(const ReplyWait& wait, double t0, bool& timedOut) {
    timedOut = false;
    auto accepted = [&] {
        return wait.accept == kAnyReply ? replyKind_ != 0 : replyKind_ == wait.accept;
    };
    auto timeout = [&] {
        ++stats_.timeouts;
        timedOut = true;
        return 0;
    };
    if (wait.replyTestFirst && accepted()) {
        return replyKind_;
    }
    WaitScope inWait;
    for (;;) {
        if (lost_) {
            return 0; // the device is gone: nothing will come
        }
        const double before = Timer() - t0;
        if (wait.lastPass == LastPass::TakesLateReply && before > wait.limitSec) {
            return timeout();
        }
        // Replies, and every other callback, arrive only here. The block ends just past the
        // limit (or a settling frame's decision), so the time-out is noticed when it falls due.
        ProcessSystemEventsUntil(t0 + wait.limitSec + kPastLimitSec);
        settleCheck();
        const double after = Timer() - t0;
        switch (wait.lastPass) {
        case LastPass::ReportsLateReply:
            if (after > wait.limitSec) {
                timeout();
                return replyKind_;
            }
            break;
        case LastPass::TakesLateReply:
            break;
        case LastPass::IgnoresPassAfterLimit:
            if (!(before < wait.limitSec)) {
                return timeout();
            }
            break;
        case LastPass::IgnoresReplyPastLimit:
            if (after > wait.limitSec || (after >= wait.limitSec && !accepted())) {
                return timeout();
            }
            break;
        }
        if (accepted()) {
            return replyKind_;
        }
    }
}

ExchangeResult Link::exchange(const char* frame, const ReplyWait& wait, ReplyExpect expect,
                              const std::function<void()>& onWritten) {
    ExchangeResult r;
    r.order = GetWord(frame, 2);
    r.address = GetWord(frame, 4);
    const int written = send(frame);
    if (written != kFrameLen) {
        r.outcome = lost_ || ComPortLost(port_) ? Outcome::PortLost : Outcome::NotWritten;
        return r;
    }
    if (onWritten) {
        onWritten();
    }
    Waiter w;
    w.order = r.order;
    w.expect = expect;
    bool timedOut = false;
    int kind = 0;
    {
        WaiterScope own(waiters_, w);
        kind = waitForReply(wait, Timer(), timedOut);
    }
    if (w.filled) {
        r.reply = w.reply;
    }
    r.timedOut = timedOut;
    if (lost_) {
        r.outcome = Outcome::PortLost;
    } else if (kind == 0) {
        r.outcome = Outcome::Timeout;
    } else if (w.filled && Matches(w.order, w.expect, w.reply)) {
        r.outcome = Outcome::Answered; // for ReportsLateReply also a reply of the last pass
    } else if (w.filled || !timedOut) {
        r.outcome = Outcome::NotItsReply; // another frame, or one a nested wait took
    } else {
        r.outcome = Outcome::Timeout;
    }
    return r;
}

ExchangeResult Link::sendOnly(const char* frame) {
    ExchangeResult r;
    r.order = GetWord(frame, 2);
    r.address = GetWord(frame, 4);
    const int written = write(frame);
    r.outcome = written == kFrameLen          ? Outcome::Answered
                : lost_ || ComPortLost(port_) ? Outcome::PortLost
                                              : Outcome::NotWritten;
    return r;
}

// ---- raw replies ----

int Link::waitForRawBytes(int want, double limit, bool& timedOut) {
    timedOut = false;
    const double t0 = Timer();
    int waiting = 0;
    WaitScope inWait;
    for (;;) {
        if (lost_) {
            timedOut = true;
            return 0;
        }
        ProcessSystemEventsUntil(t0 + limit + kPastLimitSec);
        waiting = GetInQLen(port_);
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

int Link::readRaw(int waiting, int at) {
    at = std::clamp(at, 0, kBufLen);
    const int toRead = std::clamp(waiting, 0, kBufLen - at);
    const int n = toRead > 0 ? ComRd(port_, raw_.data() + at, toRead) : 0;
    if (tap_ && n > 0) {
        tap_(false, raw_.data() + at, n, Timer());
    }
    return n < 0 ? 0 : n;
}

// ---- the scope's data stream ----

void Link::noteDataRequest(double sentAt) {
    streamOpen_ = true;
    requestAt_ = sentAt;
}

void Link::endDataStream() {
    streamOpen_ = false;
    replyReady_ = false;
}

void Link::letDataReplyLand() {
    WaitScope inWait;
    while (streamOpen_ && !lost_ && replyKind_ == 0 && Timer() - requestAt_ <= TIMEOUT) {
        ProcessSystemEventsUntil(requestAt_ + TIMEOUT + kPastLimitSec);
    }
}

bool Link::takeDataReply(std::array<std::uint16_t, 16>& words) {
    if (!replyReady_) {
        return false;
    }
    replyReady_ = false;
    words = dataReply_;
    return true;
}

// ---- loss ----

void Link::loseDevice() {
    if (lost_) {
        return;
    }
    lost_ = true;
    std::snprintf(lostText_, sizeof lostText_, "Port COM%d lost (%s)", port_,
                  ComDeviceName(port_).c_str());
    CloseCom(port_);
    notifyCount_ = 0; // the callback went with the port
    forgetPartialFrame();
}
