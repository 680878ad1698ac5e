// The exchange: what goes out on the line and what comes back, without a face. Frames are built
// here, replies are framed and handed to whoever waits for them, and every exchange returns what
// happened as a value. Each port has its own link (port_link.h): its framing, waits, statistics,
// loss and taps; these calls act on the link of the port they are given, or, without a port, on
// that of `com`. Nothing here touches a panel, the status line, the parameter record or the
// routines' globals (rx_flag, graph_flag, szReadBuf, szWriteBuf): the documented routines
// (link.h) fill those from the link's results, and the command-line tool never sees them.
#pragma once

#include "core/timing.h"
#include "link/frames.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

extern int com;        // serial port number the routines use
extern int rx_flag;    // the routines': kind of the last decoded reply: 0 none, 1 standard, 8 data
extern int graph_flag; // the routines': a decoded frame waits to be plotted

// ---- One reply ----

enum class Outcome {
    Answered,    // the awaited reply came
    Timeout,     // nothing came within the limit
    NotItsReply, // a reply came, but not the one awaited (another echo, another kind)
    PortLost,    // the device went away
    NotWritten,  // the command did not go out whole
    Interrupted, // not sent: the operator ended the run
};
const char* OutcomeName(Outcome outcome);

// A reply frame as it came, decoded without looking at its first word.
struct Reply {
    int kind = 0;                          // 0 none, REPLY_STANDARD or REPLY_DATA
    std::uint16_t sync = 0;                // word 0: the sensor's own sync word
    std::uint16_t echo = 0;                // word 1: the order answered (8 for a data reply)
    std::uint16_t second = 0;              // word 2 of a standard reply
    std::array<std::uint16_t, 16> words{}; // 15 data words (standard) or 16 (data)
    std::array<char, kFrameLen> bytes{};
};
// Decodes 36 bytes: bytes 2-3 = 8 is a data reply, anything else a standard reply. The one
// decoder of reply frames.
Reply DecodeReply(const char* frame);
// A reply's data words into a 16-word image: all 16 of a data reply, 15 of a standard reply
// (word 15 keeps its value). Returns the reply's kind (0: nothing copied).
int TakeReplyWords(const Reply& reply, std::uint16_t* words);
// A standard reply with 0x00AA in word 0 or word 1: the line check's answer.
bool IsLineCheckReply(const Reply& reply);

struct ExchangeResult {
    Outcome outcome = Outcome::Timeout;
    int order = 0;         // the order sent
    unsigned address = 0;  // its second word (block, page or flash address)
    Reply reply;           // what came (kind 0 when nothing)
    bool timedOut = false; // the wait ran out its limit (a late reply may still be taken)
    bool ok() const { return outcome == Outcome::Answered; }
};

// What a reply wait does with the event pass in which its limit runs out. The protocol fixes one
// for each routine; they differ only there.
enum class LastPass {
    // The time is tested after each pass; the pass that runs out the limit still returns
    // whatever reply it decoded (WaitRxFull, hardware request).
    ReportsLateReply,
    // The time is tested before each pass, so the reply of the last pass counts (line check).
    TakesLateReply,
    // The time is read before each pass; a pass that starts at or after the limit is not
    // looked at (teach, refresh, reset).
    IgnoresPassAfterLimit,
    // The time is read after each pass; a reply counts unless the time then exceeds the limit
    // (X-FLASH orders).
    IgnoresReplyPastLimit,
};

// Which replies end a wait.
inline constexpr int kAnyReply = 0; // a standard or a data reply

struct ReplyWait {
    int accept;          // kAnyReply, REPLY_STANDARD or REPLY_DATA
    bool replyTestFirst; // a reply already in since the send ends the wait before any pass
    LastPass lastPass;
    double limitSec;
    const char* timeoutText; // what a routine shows on a time-out; nullptr leaves it alone
};

// What makes a reply the one awaited, beyond the kind the wait accepts.
enum class ReplyExpect {
    Any,       // any frame (teach)
    Standard,  // a standard reply, whatever it echoes (GET, refresh, reset, X-FLASH)
    Echo,      // a standard reply echoing the order (hardware)
    LineCheck, // a standard reply with 0x00AA in word 0 or word 1
    Data,      // a data reply
};

// ---- The exchange ----
//
// Waits pump events, so other callbacks (and the receive callback) run nested inside them. A
// wait that is nested in another gets the frames that arrive while it runs; the outer one gets
// those that come after.

// Empties the input queue, then the output queue, and forgets a partial frame.
void FlushQueues(int port);
// Builds the command frame, forgets the reply awaited before and writes the 36 bytes. Returns
// the bytes written (36 when whole).
int SendFrame(int port, int order, int second, const std::uint16_t* words);
// The same for the frame a routine built in szWriteBuf (FillTxBuf).
int SendFrame(int port);
// Writes szWriteBuf's 36 bytes and leaves the reply awaited alone (no reply, or one read
// straight).
int WriteFrame(int port);

// Pumps events from t0 until a reply that `wait` accepts has been decoded on the link of `com`
// or the limit has run out. Returns the reply's kind when it came (for ReportsLateReply:
// whatever came since the send, 0 if nothing), 0 on a time-out. `timedOut` tells the two apart.
int WaitForReply(const ReplyWait& wait, double t0, bool& timedOut);

// The whole exchange: frame, write, wait. The frame that ended the wait is in the result, and
// its outcome says whether it is the one awaited. Queues are not flushed first (callers do
// that as their steps say).
// `written` runs once the frame went out whole, before the wait (a routine's waiting text).
ExchangeResult Exchange(int port, int order, int second, const std::uint16_t* words,
                        const ReplyWait& wait, ReplyExpect expect,
                        const std::function<void()>& written = {});
// The same for the frame a routine built in szWriteBuf (order and second word taken from it).
ExchangeResult ExchangeBuilt(int port, const ReplyWait& wait, ReplyExpect expect,
                             const std::function<void()>& written = {});
// A command that awaits no reply: Answered when the frame went out whole, else NotWritten.
ExchangeResult SendOnly(int port, int order, int second, const std::uint16_t* words);

// ---- Raw replies that are not frames (firmware text, data block) ----
// The receiver is kept away while they arrive and are read, then installed again.
void SuspendReceiver(); // on `com`
void SuspendReceiver(int port);
void ResumeReceiver(int port);
// Pumps events until `want` bytes wait on `port` or more than `limit` seconds pass; returns the
// bytes waiting then (0 when the port went away).
int WaitForRawBytes(int port, int want, double limit, bool& timedOut);
// Reads `waiting` bytes into the link's raw buffer from `at` on (never past its end); returns
// how many were read.
int ReadRawInto(int port, int waiting, int at = 0);
// The link's raw buffer (kBufLen bytes).
const char* RawBytes(int port);

// ---- The receiver ----
// The receive callback installed on the port. It frames the bytes and hands each frame on.
using ReceiveFunction = void (*)(int port, int events, void* data);
// The windowed program installs its own (which also decodes into the record's word image);
// by default the link's own framing is installed.
void SetReceiveFunction(ReceiveFunction fn);
// The framing step of a receive callback: reads what waits, and when a whole frame has formed,
// hands it to the waits on that port's link and returns its kind (the frame is then the link's
// last frame); 0 when no frame formed yet.
int ReceiveFrame(int port, int events);
// Whether the last frame formed went to an exchange waiting for it (which returns it as its
// result; nobody else needs to keep it).
bool LastFrameTaken();
// The link's own receive callback: ReceiveFrame and nothing else.
void LinkReceive(int port, int events, void* data);

// ---- Opening a port ----
// Opens with the sensor's line settings (core/line.h), the reply time-out and no handshake, and
// installs the receiver. 0, or the negative result of opening.
int OpenLine(int port);
// The message for a negative result of opening a port.
const char* ComOpenErrorText(int code);

// ---- The scope's data stream ----
// Nested in a running scope loop, the loop's data reply may be on the line. The loop tells the
// link about its requests, so that a command that flushes can let that reply land first, and
// so that only a data reply to the loop's own request reaches its chart.
void NoteDataRequest(double sentAt);
void EndDataStream();
bool DataStreamOpen();
double DataRequestSentAt();
// Pumps events until the data request in flight is answered, or as long as the loop itself
// would wait for it; returns at once when no scope loop runs.
void LetDataReplyLand();
// The data reply to the loop's request, once: true and its 16 words when one came since the
// last call.
bool TakeDataReply(std::array<std::uint16_t, 16>& words);

// ---- What the link saw ----
struct LinkStats {
    long standardReplies = 0; // frames decoded, by kind
    long dataReplies = 0;
    long bytesDiscarded = 0; // bytes that formed no frame (noise, trailing bytes, cut frames)
    long repliesRefused = 0; // frames decoded but not taken by the routine waiting
    long timeouts = 0;       // waits that ran out their limit
    long samplesLost = 0;    // data replies the scope did not get (a nested command took them)
};
const LinkStats& GetLinkStats();
const LinkStats& GetLinkStats(int port);
void ResetLinkStats();
// Puts back figures taken before an exchange that is not part of what they describe.
void RestoreLinkStats(const LinkStats& stats);
void CountRefusedReply();
void CountTimeout();
void CountLostSample();

// Every frame that passes, either way, for a traffic view or a trace. `sent` is true for a
// command frame; `bytes` holds `count` bytes.
using FrameTap = void (*)(bool sent, const char* bytes, int count, double at);
void SetFrameTap(FrameTap tap);
// Bytes from the line that formed no frame, with the reason ("bytes before the reply", ...).
using DropTap = void (*)(const char* bytes, int count, const char* reason, double at);
void SetDropTap(DropTap tap);
// The sensor's sync word as learnt on this port from the replies a marker placed; none yet
// after an open.
std::optional<std::uint16_t> LearntSyncWord();

// ---- Port loss ----
// A device that vanishes while open is closed once and every wait ends at once.
bool PortLost();
bool PortLost(int port);
// "Port COM1 lost (/dev/ttyUSB0)"
const char* PortLostText();
// Told once when the port in use is lost (after it was closed).
using PortLossHandler = void (*)(int port);
void SetPortLossHandler(PortLossHandler handler);
// The port counts as present again (it reopened, or another was picked).
void ClearPortLost();
// Waits running now, on any port; a reopen never runs nested in one.
int WaitDepth();
// Opens `port` with the line settings and closes it again: whether the device is there.
bool PortPresent(int port);

// Every link's start values (no port lost, no partial frame, no stream, counts at 0).
void InitExchange();
