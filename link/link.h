// The sensor link: port set-up, the receive callback, the one exchange every routine uses
// (send a frame, wait for its reply, read a raw reply), and the start-up requests: line check,
// hardware and firmware information.
#pragma once

#include "core/state.h"

#include <cstdint>

extern int com;               // serial port number in use
extern int rx_flag;           // kind of the last decoded reply: 0 none, 1 standard, 8 data
extern int graph_flag;        // a decoded frame waits to be plotted
extern std::uint16_t pcbtype; // hardware type from the last hardware reply
extern char szVersion[64];    // firmware text of a type-0 sensor
extern int nBytesR;           // bytes of the last direct read

// The link's own start values (no port lost, no partial frame, counts at 0); InitVars runs it.
void InitLink();
// Opens and configures the port, installs the receive callback and runs the start-up exchange.
void InitRS232(int port);
// The first half of InitRS232: opens and configures the port and installs the receive
// callback. Returns 0, or the negative result of opening it (status line set to its message).
int OpenLinkPort(int port);
void RX_Receive_Function(int port, int events, void* data);
// Waits up to TIMEOUT for a reply frame; returns rx_flag (0 after a time-out).
int WaitRxFull();

// 1 line good, 0 a reply failed the check, -1 no reply.
int CheckComLine(int port);
// The line check on several ports at once, none of them the port in use: opens each, writes
// the line-check frame on all, pumps events until each has a reply's bytes or TIMEOUT passed,
// and closes them again. answered[i] is 1 when ports[i]'s reply carries 00 AA in bytes 0-1 or
// 2-3, 0 when no such reply came, -1 when the frame could not go out (the port in use, a port
// that does not open). Leaves the port in use, rx_flag, pp, the record and the write buffer as they
// were. Returns how many answered.
int ProbeLineCheck(const int* ports, int count, int* answered);
// 1 when a standard reply echoing order 10 arrived; sets pcbtype.
int GetHARDWAREInfo();
// Bytes waiting when the wait ended (72 or more when complete).
int GetVERSIONInfo();

// The message for a negative result of opening a port.
const char* ComOpenErrorText(int code);

// ---- What the link saw ----
struct LinkStats {
    long standardReplies = 0; // frames decoded, by kind
    long dataReplies = 0;
    long bytesDiscarded = 0; // bytes that formed no frame (noise, trailing bytes, cut frames)
    long repliesRefused = 0; // frames decoded but not taken by the routine waiting
    long timeouts = 0;       // waits that ran out their limit
};
const LinkStats& GetLinkStats();
void ResetLinkStats();
// A routine counts a decoded reply it did not take (a wrong echo, a kind it does not expect).
void CountRefusedReply();
void CountTimeout();

// ---- Port loss ----
// A device that vanishes while open (a pulled adapter) is closed once; every wait ends at once.
// While it is lost, the link checks every second whether the same device is back, then reopens
// it with the start-up exchange.
bool PortLost();
// "Port COM1 lost (/dev/ttyUSB0)"
const char* PortLostText();
// Whether a lost port is looked for and reopened (on by default; a tool that opens the port
// itself switches it off).
void SetReopenLostPort(bool on);
// Called by the platform's once-a-second check while a port is lost.
void CheckLostPort();
// The shell shows the state in the port selector: told whenever a port is lost or back.
using PortStateObserver = void (*)(int port, bool lost);
void SetPortStateObserver(PortStateObserver observer);
// Long sequences that must not be interrupted by a reopen (X-FLASH programming).
void BeginLongSequence();
void EndLongSequence();

// ---- The exchange ----
//
// A routine sends a command and awaits its reply in its own steps, through these calls only:
//   FlushQueues(com);                         both queues emptied
//   (fill pp)                                 no event pass between this and the send
//   SendCommandFrame(com, order, second, pp); record words 1-2, frame, rx_flag = 0, write
//   AwaitReply(wait, t0)                      pump events until the reply or the limit
// Waits pump events, so other callbacks (and the receive callback) run nested inside them.

// Empties the input queue, then the output queue.
void FlushQueues(int port);
// Sets record words 1 and 2 to order and second, builds the frame from words (FillTxBuf),
// clears rx_flag and writes the 36 bytes. Returns the bytes written (36 when whole).
int SendCommandFrame(int port, int order, int second, const std::uint16_t* words);
// The same without the record words (a frame whose header words live elsewhere).
int SendFrame(int port, int order, int second, const std::uint16_t* words);
// For frames built by hand in szWriteBuf: clears rx_flag and writes the 36 bytes.
int SendFrame(int port);
// A command that awaits no reply: record words, frame, write; rx_flag is left as it is.
int WriteCommandFrame(int port, int order, int second, const std::uint16_t* words);
// Writes szWriteBuf's 36 bytes and leaves rx_flag alone (a reply read straight from the port).
int WriteFrame(int port);

// Which replies end a wait.
inline constexpr int kAnyReply = 0; // a standard or a data reply

// What a wait does with the event pass in which its limit runs out. The protocol fixes one for
// each routine; they differ only there.
enum class LastPass {
    // The time is tested after each pass; the pass that runs out the limit sets the time-out
    // text and still returns whatever reply it decoded (WaitRxFull, hardware request).
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

struct ReplyWait {
    int accept;          // kAnyReply, REPLY_STANDARD or REPLY_DATA
    bool replyTestFirst; // rx_flag is tested once before the first event pass
    LastPass lastPass;
    double limitSec;
    const char* timeoutText; // put into szStatus on a time-out; nullptr leaves it alone
};

// Pumps events from t0 until a reply that `wait` accepts has been decoded or the limit has run
// out. Returns rx_flag when the reply came (for ReportsLateReply: rx_flag whatever it is), 0 on
// a time-out.
int AwaitReply(const ReplyWait& wait, double t0);

// Raw replies that are not frames (firmware text, data block): the receive callback is kept
// away while they arrive and are read, then installed again with its usual arguments.
void SuspendReceiver();
void ResumeReceiver(int port);
// Pumps events until `want` bytes wait on `com` or more than `limit` seconds pass; returns the
// bytes waiting then (0 when the port went away).
int WaitForRawBytes(int want, double limit, bool& timedOut);
// Reads `waiting` bytes (at most the buffer) into szReadBuf; sets and returns nBytesR.
int ReadRawBytes(int waiting);

// ---- The scope's data stream ----
//
// Nested in a running scope loop, the loop's data reply may be on the line. Flushing part of it
// would put the line out of step: the rest of that reply and the start of the next would decode
// as one garbled reply. The scope loop tells the link about its requests, so that a command
// that flushes the queues can let that reply land first.

// The scope loop sent a data request at `sentAt` (Timer seconds).
void NoteDataRequest(double sentAt);
// The scope loop ended or was asked to end: no data request is in flight any more.
void EndDataStream();
// A scope loop runs and has not been asked to end.
bool DataStreamOpen();
// When the last data request was sent (Timer seconds).
double DataRequestSentAt();
// Pumps events until the data request in flight is answered, or as long as the loop itself
// would wait for it; returns at once when no scope loop runs.
void LetDataReplyLand();
