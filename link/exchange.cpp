#include "link/exchange.h"

#include "link/framing.h"

#include "core/line.h"

#include "host/clock.h"
#include "serial/serial.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

int com = 1;
int rx_flag = 0;
int graph_flag = 0;

namespace {
constexpr int kStatusTextLen = 66;
// When a whole frame may still be the noisy head of a later one, the bytes that would complete
// the later one decide; if the line stays quiet this long, the frame is taken as it stands.
// Longer than a USB adapter's latency timer (16 ms by default), short against the time-out.
constexpr double kSettleSec = 0.05;
// How far past its limit a wait may block: enough for the limit to have passed when it looks.
constexpr double kPastLimitSec = 0.0005;

// A wait in progress that gets the frames arriving while it is the innermost one.
struct Waiter {
    int order = 0;
    ReplyExpect expect = ReplyExpect::Any;
    bool filled = false;
    Reply reply;
};
std::vector<Waiter*> g_waiters;
bool g_lastTaken = false;

// The order of the last command frame written: what a reply is judged against when no exchange
// is waiting (a routine that waits on rx_flag alone).
int g_lastOrder = 0;

bool g_dataStreamOpen = false;
double g_dataRequestAt = 0;
bool g_dataReplyReady = false;
std::array<std::uint16_t, 16> g_dataReply{};

LinkStats g_stats;
FrameTap g_tap = nullptr;
DropTap g_dropTap = nullptr;
ReceiveFunction g_receive = &LinkReceive;

// Bytes taken from the port that have not yet formed a frame.
Framer g_framer;
int g_rxPort = 0;
bool g_undecided = false; // a whole frame waits for the settle time
double g_lastBytesAt = 0;
int g_notifyCount = 0; // what the receive callback is installed with now

bool g_lost = false;
char g_lostText[kStatusTextLen] = "";
PortLossHandler g_lossHandler = nullptr;
int g_waitDepth = 0;

struct WaitScope {
    WaitScope() { ++g_waitDepth; }
    ~WaitScope() { --g_waitDepth; }
};

struct WaiterScope {
    explicit WaiterScope(Waiter& w) : w_(&w) { g_waiters.push_back(w_); }
    ~WaiterScope() { g_waiters.erase(std::find(g_waiters.begin(), g_waiters.end(), w_)); }
    Waiter* w_;
};

void SettleCheck();

void StopSettling() {
    if (g_undecided) {
        g_undecided = false;
        SetPeriodicCall(0, &SettleCheck);
    }
}

void ForgetPartialFrame() {
    g_framer.clear();
    StopSettling();
}

// The receive callback runs again once `count` more bytes wait.
void NotifyAfter(int port, int count) {
    count = std::clamp(count, 1, kNotifyCount);
    if (count != g_notifyCount) {
        g_notifyCount = count;
        InstallComCallback(port, eventMask, count, zel::sync, g_receive, nullptr);
    }
}

// Bytes that formed no frame: counted, and shown to the trace with the reason.
void Dropped(const char* bytes, int count, const char* reason) {
    if (count <= 0) {
        return;
    }
    g_stats.bytesDiscarded += count;
    if (g_dropTap) {
        g_dropTap(bytes, count, reason, Timer());
    }
}

Awaited CurrentAwaited() {
    Awaited a;
    a.order = g_waiters.empty() ? g_lastOrder : g_waiters.back()->order;
    a.dataStream = g_dataStreamOpen;
    return a;
}

bool Matches(const Waiter& w, const Reply& r) {
    switch (w.expect) {
    case ReplyExpect::Any:
        return r.kind != 0;
    case ReplyExpect::Standard:
        return r.kind == REPLY_STANDARD;
    case ReplyExpect::Echo:
        return r.kind == REPLY_STANDARD && r.echo == static_cast<std::uint16_t>(w.order);
    case ReplyExpect::LineCheck:
        return r.kind == REPLY_STANDARD && (r.sync == 0x00AA || r.echo == 0x00AA);
    case ReplyExpect::Data:
        return r.kind == REPLY_DATA;
    }
    return false;
}

// The frame the framer placed is taken: it reaches szReadBuf, the flags, the innermost wait
// and, if it is a data reply while the scope streams, the scope. Whatever else waits is dropped.
int Deliver(int port, const FrameStep& step) {
    StopSettling();
    const Awaited awaited = CurrentAwaited();
    char frame[kFrameLen];
    const int before = step.at;
    if (before > 0) {
        Dropped(g_framer.data(), before, kDropBeforeReply);
    }
    g_framer.take(step, awaited, frame);
    std::memcpy(szReadBuf, frame, kFrameLen);
    const Reply reply = DecodeReply(frame);
    rx_flag = reply.kind;
    graph_flag = 1;
    ++(reply.kind == REPLY_DATA ? g_stats.dataReplies : g_stats.standardReplies);
    if (g_tap) {
        g_tap(false, frame, kFrameLen, Timer());
    }
    g_lastTaken = false;
    if (!g_waiters.empty() && !g_waiters.back()->filled) {
        g_lastTaken = true;
        g_waiters.back()->filled = true;
        g_waiters.back()->reply = reply;
    }
    const bool forTheScope = g_waiters.empty() || g_waiters.back()->order != ORDER_DATA;
    if (reply.kind == REPLY_DATA && g_dataStreamOpen && forTheScope) {
        g_dataReply = reply.words;
        g_dataReplyReady = true;
    }
    // Bytes beyond one frame are discarded, those already read and those still queued.
    char rest[kBufLen];
    int restLen = g_framer.size();
    std::memcpy(rest, g_framer.data(), static_cast<std::size_t>(restLen));
    const int queued = std::min(GetInQLen(port), kBufLen - restLen);
    if (queued > 0) {
        const int n = ComRd(port, rest + restLen, queued);
        restLen += std::max(n, 0);
    }
    Dropped(rest, restLen, kDropAfterReply);
    g_framer.clear();
    FlushInQ(port);
    NotifyAfter(port, kNotifyCount);
    return reply.kind;
}

// Frames from what the framer holds; 0 when none formed yet.
int Decide(int port, bool settled) {
    for (;;) {
        const FrameStep step = g_framer.decide(CurrentAwaited(), settled);
        switch (step.kind) {
        case FrameStep::Take:
            return Deliver(port, step);
        case FrameStep::Junk:
            Dropped(g_framer.data(), step.at, kDropNoFrame);
            g_framer.drop(step.at);
            continue;
        case FrameStep::Settle:
            NotifyAfter(port, step.want - g_framer.size());
            if (!g_undecided) {
                g_undecided = true;
                SetPeriodicCall(0.01, &SettleCheck);
            }
            return 0;
        case FrameStep::NeedBytes:
            StopSettling();
            NotifyAfter(port, step.want - g_framer.size()); // the rest of the frame
            return 0;
        }
    }
}

void SettleCheck() {
    if (!g_undecided) {
        return;
    }
    // Bytes that came meanwhile are taken first: they may complete the later frame.
    if (GetInQLen(g_rxPort) > 0) {
        g_receive(g_rxPort, LWRS_RECEIVE, nullptr);
        if (!g_undecided) {
            return;
        }
    }
    if (Timer() - g_lastBytesAt < kSettleSec) {
        return;
    }
    Decide(g_rxPort, true);
}

void OnComLost(int port) {
    if (port != com || g_lost) {
        return;
    }
    g_lost = true;
    std::snprintf(g_lostText, sizeof g_lostText, "Port COM%d lost (%s)", port,
                  ComDeviceName(port).c_str());
    CloseCom(port);
    ForgetPartialFrame();
    if (g_lossHandler) {
        g_lossHandler(port);
    }
}
} // namespace

const char* OutcomeName(Outcome outcome) {
    switch (outcome) {
    case Outcome::Answered:
        return "answered";
    case Outcome::Timeout:
        return "timeout";
    case Outcome::NotItsReply:
        return "not its reply";
    case Outcome::PortLost:
        return "port lost";
    case Outcome::NotWritten:
        return "not written";
    case Outcome::Interrupted:
        return "interrupted";
    }
    return "";
}

Reply DecodeReply(const char* frame) {
    Reply r;
    std::memcpy(r.bytes.data(), frame, kFrameLen);
    r.sync = GetWord(frame, 0);
    r.echo = GetWord(frame, 2);
    if (r.echo == REPLY_DATA) {
        r.kind = REPLY_DATA;
        for (int i = 0; i < 16; ++i) {
            r.words[i] = GetWord(frame, 4 + 2 * i);
        }
    } else {
        r.kind = REPLY_STANDARD;
        r.second = GetWord(frame, 4);
        for (int i = 0; i < 15; ++i) {
            r.words[i] = GetWord(frame, 6 + 2 * i);
        }
    }
    return r;
}

void InitExchange() {
    g_lost = false;
    g_lostText[0] = '\0';
    g_dataStreamOpen = false;
    g_dataReplyReady = false;
    g_lastOrder = 0;
    ForgetPartialFrame();
    g_framer.forgetSync();
    ResetLinkStats();
    SetComLostHandler(&OnComLost);
}

const char* ComOpenErrorText(int code) {
    switch (code) {
    case -1:
        return "Unknown system error";
    case -2:
        return "Invalid port number";
    case -3:
        return "Port is not open";
    case -4:
        return "Unknown I/0 error";
    case -6:
        return "No serial port found";
    case -7:
        return "Cannot open port";
    case -13:
        return "Invalid parameter";
    case -99:
        return "Timeout";
    default:
        return "RS-232 error!";
    }
}

int OpenLine(int port) {
    int r = OpenComConfig(port, "", kSensorLine.baud, kSensorLine.parity, kSensorLine.dataBits,
                          kSensorLine.stopBits, kSensorLine.queueBytes, kSensorLine.queueBytes);
    if (r < 0) {
        return r;
    }
    SetComLostHandler(&OnComLost);
    g_framer.forgetSync(); // the sensor on this port may be another one
    SetComTime(port, TIMEOUT);
    FlushQueues(port);
    SetCTSMode(port, 0);
    ResumeReceiver(port);
    return 0;
}

bool PortPresent(int port) {
    return ComPortPresent(port);
}

// ---- receiving ----

void SetReceiveFunction(ReceiveFunction fn) {
    g_receive = fn ? fn : &LinkReceive;
}

bool LastFrameTaken() {
    return g_lastTaken;
}

void LinkReceive(int port, int events, void*) {
    ReceiveFrame(port, events);
}

int ReceiveFrame(int port, int events) {
    if (!(events & LWRS_RECEIVE)) {
        return 0;
    }
    char chunk[kBufLen];
    const int waiting = std::min(GetInQLen(port), kBufLen);
    // A line that floods us: the oldest bytes make room, so the newest can still form a frame.
    if (const int over = waiting - (Framer::kCapacity - g_framer.size()); over > 0) {
        Dropped(g_framer.data(), over, kDropNoFrame);
        g_framer.drop(over);
    }
    const int want = std::min(waiting, Framer::kCapacity - g_framer.size());
    const int n = want > 0 ? ComRd(port, chunk, want) : 0;
    if (n <= 0) {
        return 0; // nothing read (a lost port is handled by its own event)
    }
    g_framer.append(chunk, n);
    g_rxPort = port;
    g_lastBytesAt = Timer();
    return Decide(port, false);
}

void SuspendReceiver() {
    g_notifyCount = 0;
    ForgetPartialFrame();
    InstallComCallback(com, 0, 0, 0, nullptr, nullptr);
}

void ResumeReceiver(int port) {
    ForgetPartialFrame();
    g_notifyCount = kNotifyCount;
    InstallComCallback(port, eventMask, kNotifyCount, zel::sync, g_receive, nullptr);
}

// ---- sending and waiting ----

void FlushQueues(int port) {
    // What waits unread is dropped too, but not without a word: counted and traced.
    if (const int waiting = std::min(GetInQLen(port), kBufLen); waiting > 0 && !g_lost) {
        char stale[kBufLen];
        const int n = ComRd(port, stale, waiting);
        Dropped(stale, n, kDropLeftOver);
    }
    FlushInQ(port);
    FlushOutQ(port);
    if (g_framer.size() > 0) {
        Dropped(g_framer.data(), g_framer.size(), kDropNoFrame);
        ForgetPartialFrame();
    }
    if (g_notifyCount != 0) {
        NotifyAfter(port, kNotifyCount); // a partial frame's shorter count is void now
    }
}

int SendFrame(int port, int order, int second, const std::uint16_t* words) {
    FillTxBuf(order, second, words);
    return SendFrame(port);
}

int SendFrame(int port) {
    rx_flag = 0;
    return WriteFrame(port);
}

int WriteFrame(int port) {
    g_lastOrder = GetWord(szWriteBuf, 2);
    const int written = ComWrt(port, szWriteBuf, kFrameLen);
    if (g_tap && written > 0) {
        g_tap(true, szWriteBuf, written, Timer());
    }
    return written;
}

int WaitForReply(const ReplyWait& wait, double t0, bool& timedOut) {
    timedOut = false;
    auto accepted = [&] {
        return wait.accept == kAnyReply ? rx_flag != 0 : rx_flag == wait.accept;
    };
    auto timeout = [&] {
        ++g_stats.timeouts;
        timedOut = true;
        return 0;
    };
    if (wait.replyTestFirst && accepted()) {
        return rx_flag;
    }
    WaitScope inWait;
    for (;;) {
        if (g_lost) {
            return 0; // the device is gone: nothing will come
        }
        const double before = Timer() - t0;
        if (wait.lastPass == LastPass::TakesLateReply && before > wait.limitSec) {
            return timeout();
        }
        // Replies, and every other callback, arrive only here. The block ends just past the
        // limit (or a settling frame's decision), so the time-out is noticed when it falls due.
        ProcessSystemEventsUntil(t0 + wait.limitSec + kPastLimitSec);
        SettleCheck();
        const double after = Timer() - t0;
        switch (wait.lastPass) {
        case LastPass::ReportsLateReply:
            if (after > wait.limitSec) {
                timeout();
                return rx_flag;
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
            return rx_flag;
        }
    }
}

namespace {
ExchangeResult AwaitOwnReply(int port, int written, const ReplyWait& wait, ReplyExpect expect,
                             const std::function<void()>& onWritten) {
    ExchangeResult r;
    r.order = GetWord(szWriteBuf, 2);
    r.address = GetWord(szWriteBuf, 4);
    if (written != kFrameLen) {
        r.outcome = g_lost || ComPortLost(port) ? Outcome::PortLost : Outcome::NotWritten;
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
        WaiterScope own(w);
        kind = WaitForReply(wait, Timer(), timedOut);
    }
    if (w.filled) {
        r.reply = w.reply;
    }
    r.timedOut = timedOut;
    if (g_lost) {
        r.outcome = Outcome::PortLost;
    } else if (kind == 0) {
        r.outcome = Outcome::Timeout;
    } else if (w.filled && Matches(w, w.reply)) {
        r.outcome = Outcome::Answered; // for ReportsLateReply also a reply of the last pass
    } else if (w.filled || !timedOut) {
        r.outcome = Outcome::NotItsReply; // another frame, or one a nested wait took
    } else {
        r.outcome = Outcome::Timeout;
    }
    return r;
}
} // namespace

ExchangeResult Exchange(int port, int order, int second, const std::uint16_t* words,
                        const ReplyWait& wait, ReplyExpect expect,
                        const std::function<void()>& written) {
    FillTxBuf(order, second, words);
    return ExchangeBuilt(port, wait, expect, written);
}

ExchangeResult ExchangeBuilt(int port, const ReplyWait& wait, ReplyExpect expect,
                             const std::function<void()>& written) {
    const int sent = SendFrame(port);
    return AwaitOwnReply(port, sent, wait, expect, written);
}

ExchangeResult SendOnly(int port, int order, int second, const std::uint16_t* words) {
    FillTxBuf(order, second, words);
    ExchangeResult r;
    r.order = order & 0xFFFF;
    r.address = static_cast<unsigned>(second) & 0xFFFF;
    const int written = WriteFrame(port);
    r.outcome = written == kFrameLen          ? Outcome::Answered
                : g_lost || ComPortLost(port) ? Outcome::PortLost
                                              : Outcome::NotWritten;
    return r;
}

// ---- raw replies ----

int WaitForRawBytes(int port, int want, double limit, bool& timedOut) {
    timedOut = false;
    const double t0 = Timer();
    int waiting = 0;
    WaitScope inWait;
    for (;;) {
        if (g_lost) {
            timedOut = true;
            return 0;
        }
        ProcessSystemEventsUntil(t0 + limit + kPastLimitSec);
        waiting = GetInQLen(port);
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

int ReadRawInto(int port, int waiting, int at) {
    at = std::clamp(at, 0, kBufLen);
    const int toRead = std::clamp(waiting, 0, kBufLen - at);
    const int n = toRead > 0 ? ComRd(port, szReadBuf + at, toRead) : 0;
    if (g_tap && n > 0) {
        g_tap(false, szReadBuf + at, n, Timer());
    }
    return n < 0 ? 0 : n;
}

// ---- the scope's data stream ----

void NoteDataRequest(double sentAt) {
    g_dataStreamOpen = true;
    g_dataRequestAt = sentAt;
}

void EndDataStream() {
    g_dataStreamOpen = false;
    g_dataReplyReady = false;
}

bool DataStreamOpen() {
    return g_dataStreamOpen;
}

double DataRequestSentAt() {
    return g_dataRequestAt;
}

void LetDataReplyLand() {
    WaitScope inWait;
    while (g_dataStreamOpen && !g_lost && rx_flag == 0 && Timer() - g_dataRequestAt <= TIMEOUT) {
        ProcessSystemEventsUntil(g_dataRequestAt + TIMEOUT + kPastLimitSec);
    }
}

void ResumeDataStream() {
    if (g_dataStreamOpen) {
        rx_flag = REPLY_DATA;
    }
}

bool TakeDataReply(std::array<std::uint16_t, 16>& words) {
    if (!g_dataReplyReady) {
        return false;
    }
    g_dataReplyReady = false;
    words = g_dataReply;
    return true;
}

// ---- what the link saw ----

const LinkStats& GetLinkStats() {
    return g_stats;
}

void ResetLinkStats() {
    g_stats = LinkStats{};
}

void RestoreLinkStats(const LinkStats& stats) {
    g_stats = stats;
}

void CountRefusedReply() {
    ++g_stats.repliesRefused;
}

void CountTimeout() {
    ++g_stats.timeouts;
}

void CountLostSample() {
    ++g_stats.samplesLost;
}

void SetFrameTap(FrameTap tap) {
    g_tap = tap;
}

void SetDropTap(DropTap tap) {
    g_dropTap = tap;
}

std::optional<std::uint16_t> LearntSyncWord() {
    return g_framer.sync();
}

// ---- port loss ----

bool PortLost() {
    return g_lost;
}

const char* PortLostText() {
    return g_lostText;
}

void SetPortLossHandler(PortLossHandler handler) {
    g_lossHandler = handler;
}

void ClearPortLost() {
    g_lost = false;
}

int WaitDepth() {
    return g_waitDepth;
}
