// The exchange's free functions: each acts on the link of the port it is given, or, without a
// port, on the link of the port the routines use. The state is the links' own (port_link.*).
#include "link/exchange.h"

#include "link/port_link.h"

#include "host/clock.h"
#include "serial/serial.h"

#include <algorithm>
#include <cstring>

int com = 1;
int rx_flag = 0;
int graph_flag = 0;

namespace {
ReceiveFunction g_receive = &LinkReceive;
FrameTap g_tap = nullptr;
DropTap g_dropTap = nullptr;
PortLossHandler g_lossHandler = nullptr;

// The link the routines use: that of their port.
Link& InUse() {
    return LinkOf(com);
}

// A device that vanished: its own link closes and ends its waits; the handler hears of the port
// the routines use only, and not while it is probed, so a probed port that goes away touches
// nothing else.
void OnComLost(int port) {
    Link* link = port == com ? &LinkOf(port) : FindLink(port);
    if (!link || link->lost()) {
        return;
    }
    link->loseDevice();
    if (port == com && !link->probing() && g_lossHandler) {
        g_lossHandler(port);
    }
}

// The frame of an operation, built aside: szWriteBuf belongs to the routines.
struct Frame {
    char bytes[kFrameLen];
    Frame(int order, int second, const std::uint16_t* words) {
        BuildFrame(bytes, order, second, words);
    }
};
} // namespace

void ApplyLinkDefaults(Link& link) {
    link.setReceiveFunction(g_receive);
    link.setFrameTap(g_tap);
    link.setDropTap(g_dropTap);
}

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

int TakeReplyWords(const Reply& reply, std::uint16_t* words) {
    if (reply.kind == REPLY_DATA) {
        std::copy(reply.words.begin(), reply.words.end(), words);
    } else if (reply.kind == REPLY_STANDARD) {
        std::copy_n(reply.words.begin(), 15, words); // word 15 keeps its value
    }
    return reply.kind;
}

bool IsLineCheckReply(const Reply& r) {
    return r.kind == REPLY_STANDARD && (r.sync == 0x00AA || r.echo == 0x00AA);
}

void InitExchange() {
    for (int port : LinkPorts()) {
        LinkOf(port).reset();
    }
    InUse().reset();
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
    const int r = LinkOf(port).open();
    if (r == 0) {
        SetComLostHandler(&OnComLost);
    }
    return r;
}

bool PortPresent(int port) {
    return ComPortPresent(port);
}

// ---- receiving ----

void SetReceiveFunction(ReceiveFunction fn) {
    g_receive = fn ? fn : &LinkReceive;
    for (int port : LinkPorts()) {
        LinkOf(port).setReceiveFunction(g_receive);
    }
}

bool LastFrameTaken() {
    return InUse().lastFrameTaken();
}

void LinkReceive(int port, int events, void*) {
    ReceiveFrame(port, events);
}

int ReceiveFrame(int port, int events) {
    return LinkOf(port).receive(events);
}

void SuspendReceiver() {
    InUse().suspendReceiver();
}

void SuspendReceiver(int port) {
    LinkOf(port).suspendReceiver();
}

void ResumeReceiver(int port) {
    LinkOf(port).resumeReceiver();
}

// ---- sending and waiting ----

void FlushQueues(int port) {
    LinkOf(port).flush();
}

int SendFrame(int port, int order, int second, const std::uint16_t* words) {
    const Frame f(order, second, words);
    return LinkOf(port).send(f.bytes);
}

int SendFrame(int port) {
    return LinkOf(port).send(szWriteBuf);
}

int WriteFrame(int port) {
    return LinkOf(port).write(szWriteBuf);
}

int WaitForReply(const ReplyWait& wait, double t0, bool& timedOut) {
    return InUse().waitForReply(wait, t0, timedOut);
}

ExchangeResult Exchange(int port, int order, int second, const std::uint16_t* words,
                        const ReplyWait& wait, ReplyExpect expect,
                        const std::function<void()>& written) {
    const Frame f(order, second, words);
    return LinkOf(port).exchange(f.bytes, wait, expect, written);
}

ExchangeResult ExchangeBuilt(int port, const ReplyWait& wait, ReplyExpect expect,
                             const std::function<void()>& written) {
    return LinkOf(port).exchange(szWriteBuf, wait, expect, written);
}

ExchangeResult SendOnly(int port, int order, int second, const std::uint16_t* words) {
    const Frame f(order, second, words);
    return LinkOf(port).sendOnly(f.bytes);
}

// ---- raw replies ----

int WaitForRawBytes(int port, int want, double limit, bool& timedOut) {
    return LinkOf(port).waitForRawBytes(want, limit, timedOut);
}

int ReadRawInto(int port, int waiting, int at) {
    return LinkOf(port).readRaw(waiting, at);
}

const char* RawBytes(int port) {
    return LinkOf(port).raw();
}

// ---- the scope's data stream ----

void NoteDataRequest(double sentAt) {
    InUse().noteDataRequest(sentAt);
}

void EndDataStream() {
    InUse().endDataStream();
}

bool DataStreamOpen() {
    return InUse().dataStreamOpen();
}

double DataRequestSentAt() {
    return InUse().dataRequestSentAt();
}

void LetDataReplyLand() {
    InUse().letDataReplyLand();
}

bool TakeDataReply(std::array<std::uint16_t, 16>& words) {
    return InUse().takeDataReply(words);
}

// ---- what the link saw ----

const LinkStats& GetLinkStats() {
    return InUse().stats();
}

const LinkStats& GetLinkStats(int port) {
    return LinkOf(port).stats();
}

void ResetLinkStats() {
    InUse().stats() = LinkStats{};
}

void RestoreLinkStats(const LinkStats& stats) {
    InUse().stats() = stats;
}

void CountRefusedReply() {
    ++InUse().stats().repliesRefused;
}

void CountTimeout() {
    ++InUse().stats().timeouts;
}

void CountLostSample() {
    ++InUse().stats().samplesLost;
}

void SetFrameTap(FrameTap tap) {
    g_tap = tap;
    for (int port : LinkPorts()) {
        LinkOf(port).setFrameTap(tap);
    }
}

void SetDropTap(DropTap tap) {
    g_dropTap = tap;
    for (int port : LinkPorts()) {
        LinkOf(port).setDropTap(tap);
    }
}

std::optional<std::uint16_t> LearntSyncWord() {
    return InUse().learntSyncWord();
}

// ---- port loss ----

bool PortLost() {
    return InUse().lost();
}

bool PortLost(int port) {
    const Link* link = FindLink(port);
    return link && link->lost();
}

const char* PortLostText() {
    return InUse().lostText();
}

void SetPortLossHandler(PortLossHandler handler) {
    g_lossHandler = handler;
}

void ClearPortLost() {
    InUse().clearLost();
}

int WaitDepth() {
    return WaitsRunning();
}
