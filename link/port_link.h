// One link per open port: everything the exchange knows about a line (the framing of its bytes,
// the waits on it, its statistics, its loss, its taps, the sensor's sync word learnt on it) is
// the state of one object, so two ports in one process never see each other's replies, counts
// or loss. The free functions of exchange.h act on the link of the port they are given (or of
// the port in use) and stay what the routines and operations call.
#pragma once

#include "link/exchange.h"
#include "link/framing.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

class Link {
  public:
    explicit Link(int port);
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    int port() const { return port_; }
    // Start values: no loss, no partial frame, no stream, counts at 0, no sync word learnt.
    void reset();

    // ---- opening and the receiver ----
    // Opens with the line settings and, unless told not to, installs the receiver (without it,
    // replies stay in the input queue for a raw read). 0, or the negative result; a port that
    // opens is no longer lost.
    int open(bool receiver = true);
    // Closes the port; a partial frame is forgotten.
    void close();
    void setReceiveFunction(ReceiveFunction fn) { receive_ = fn; }
    void suspendReceiver();
    void resumeReceiver();

    // ---- receiving ----
    // Reads what waits; when a whole frame has formed, hands it on and returns its kind.
    int receive(int events);
    // The last frame formed (36 bytes) and whether an exchange waiting for it took it.
    const char* lastFrame() const { return frame_.data(); }
    bool lastFrameTaken() const { return lastTaken_; }
    // A frame that waits for the settle time is decided once the line stayed quiet.
    void settleCheck();
    bool settling() const { return undecided_; }

    // ---- sending and waiting ----
    // Empties both queues (what waited unread is counted and traced) and forgets a partial frame.
    void flush();
    // Clears the reply awaited and writes the 36 bytes of `frame`; the bytes written.
    int send(const char* frame);
    // Writes `frame` and leaves the reply state alone (no reply, or one read straight).
    int write(const char* frame, bool tapped = true);
    // Pumps events from t0 until a reply `wait` accepts has come or the limit ran out.
    int waitForReply(const ReplyWait& wait, double t0, bool& timedOut);
    // Frame, write, wait; the frame that ended the wait is in the result.
    ExchangeResult exchange(const char* frame, const ReplyWait& wait, ReplyExpect expect,
                            const std::function<void()>& written);
    ExchangeResult sendOnly(const char* frame);
    // The kind of the last reply since the last send: 0 none, 1 standard, 8 data.
    int replyKind() const { return replyKind_; }
    void forgetReply() { replyKind_ = 0; }

    // ---- raw replies ----
    int waitForRawBytes(int want, double limit, bool& timedOut);
    // Reads `waiting` bytes into the raw buffer from `at` on; how many were read.
    int readRaw(int waiting, int at);
    const char* raw() const { return raw_.data(); }

    // ---- the scope's data stream ----
    void noteDataRequest(double sentAt);
    void endDataStream();
    bool dataStreamOpen() const { return streamOpen_; }
    double dataRequestSentAt() const { return requestAt_; }
    void letDataReplyLand();
    bool takeDataReply(std::array<std::uint16_t, 16>& words);

    // ---- what the link saw ----
    LinkStats& stats() { return stats_; }
    void setFrameTap(FrameTap tap) { tap_ = tap; }
    void setDropTap(DropTap tap) { dropTap_ = tap; }
    std::optional<std::uint16_t> learntSyncWord() const { return framer_.sync(); }

    // ---- loss ----
    bool lost() const { return lost_; }
    const char* lostText() const { return lostText_; }
    void clearLost() { lost_ = false; }
    // The device went away: closed once, every wait on this link ends.
    void loseDevice();
    // A link that probes its port for a sensor: its loss is its own, nobody else hears of it.
    void setProbing(bool on) { probing_ = on; }
    bool probing() const { return probing_; }

  private:
    struct Waiter {
        int order = 0;
        ReplyExpect expect = ReplyExpect::Any;
        bool filled = false;
        Reply reply;
    };
    friend struct WaiterScope;

    void stopSettling();
    void forgetPartialFrame();
    void notifyAfter(int count);
    void dropped(const char* bytes, int count, const char* reason);
    Awaited currentAwaited() const;
    int deliver(const FrameStep& step);
    int decide(bool settled);

    int port_;
    ReceiveFunction receive_;
    Framer framer_;
    bool undecided_ = false; // a whole frame waits for the settle time
    bool settleNow_ = false; // the receive callback is called to take it as it stands
    double lastBytesAt_ = 0;
    int notifyCount_ = 0; // what the receive callback is installed with now
    std::array<char, kFrameLen> frame_{};
    std::array<char, kBufLen> raw_{};

    std::vector<Waiter*> waiters_; // innermost last
    bool lastTaken_ = false;
    // The order of the last command frame written: what a reply is judged against when no
    // exchange is waiting.
    int lastOrder_ = 0;
    int replyKind_ = 0;

    bool streamOpen_ = false;
    double requestAt_ = 0;
    bool replyReady_ = false;
    std::array<std::uint16_t, 16> dataReply_{};

    LinkStats stats_;
    FrameTap tap_ = nullptr;
    DropTap dropTap_ = nullptr;

    bool lost_ = false;
    char lostText_[66] = "";
    bool probing_ = false;
};

// The link of `port`, made on first use with the process's receive function and taps.
Link& LinkOf(int port);
// The link of `port` if one was made; nullptr otherwise.
Link* FindLink(int port);
// The ports that have a link, lowest first.
std::vector<int> LinkPorts();
// Waits running now, on any link.
int WaitsRunning();
// Gives a new link the process's receive function and taps (exchange.cpp keeps them).
void ApplyLinkDefaults(Link& link);
