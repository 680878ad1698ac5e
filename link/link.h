// The sensor link's documented routines: port set-up, the receive callback, the reply wait,
// and the start-up requests (line check, hardware and firmware information). They are written
// on the exchange (exchange.h) and the sensor operations (sensor.h): each calls the operation,
// then copies its result into the globals and shows it on the status line.
#pragma once

#include "core/state.h"
#include "link/exchange.h"
#include "link/sensor.h"

#include <cstdint>
#include <string>

extern std::uint16_t pcbtype; // hardware type from the last hardware reply
extern char szVersion[64];    // firmware text of a type-0 sensor
extern int nBytesR;           // bytes of the last direct read

// The firmware text of the last complete firmware reply, whatever the hardware type (UTF-8);
// "" since the port was opened until one came. The history names the sensor by it.
const std::string& FirmwareText();

// The link's own start values (no port lost, no partial frame, counts at 0); InitVars runs it.
void InitLink();
// Opens and configures the port, installs the receive callback and runs the start-up exchange.
void InitRS232(int port);
// The first half of InitRS232: opens and configures the port and installs the receive
// callback. Returns 0, or the negative result of opening it (status line set to its message).
int OpenLinkPort(int port);
void RX_Receive_Function(int port, int events, void* data);
// A routine's own reply into pp, as the receive callback decodes any other frame.
void TakeIntoPP(const Reply& reply);
// A command nested in a running scope loop has taken the loop's reply for itself: the loop
// sends its next request at once (rx_flag = 8) instead of running out its time-out. Nothing
// when no loop runs.
void ResumeDataStream();
// Waits up to TIMEOUT for a reply frame; returns rx_flag (0 after a time-out).
int WaitRxFull();

// 1 line good, 0 a reply failed the check, -1 no reply.
int CheckComLine(int port);
// The line check on several ports at once, none of them open already: opens each, writes
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

// ---- Port loss ----
// A device that vanishes while open (a pulled adapter) is closed once; every wait ends at once.
// While it is lost, the link checks every second whether the same device is back, then reopens
// it and checks the line and the sensor's identity only: the panel and the record keep what the
// operator has there.
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

// ---- The routines' exchange ----
//
// A routine sends a command and awaits its reply in its own steps, through these calls only:
//   FlushQueues(com);                         both queues emptied
//   (fill pp)                                 no event pass between this and the send
//   SendCommandFrame(com, order, second, pp); record words 1-2, frame, rx_flag = 0, write
//   AwaitReply(wait, t0)                      pump events until the reply or the limit

// Sets record words 1 and 2 to order and second, builds the frame from words in szWriteBuf
// (FillTxBuf), clears rx_flag and writes the 36 bytes. Returns the bytes written (36 when whole).
int SendCommandFrame(int port, int order, int second, const std::uint16_t* words);
// A command that awaits no reply: record words, frame, write; rx_flag is left as it is.
int WriteCommandFrame(int port, int order, int second, const std::uint16_t* words);
// WaitForReply, with the wait's time-out text put into szStatus when the limit runs out.
int AwaitReply(const ReplyWait& wait, double t0);
// Record words 1 and 2 as a command sets them.
void NoteCommand(int order, int second);
// The wait's time-out text into szStatus (a typed result that timed out).
void ShowTimeoutOf(const ReplyWait& wait);

// Pumps events until `want` bytes wait on `com` or more than `limit` seconds pass; returns the
// bytes waiting then (0 when the port went away).
int WaitForRawBytes(int want, double limit, bool& timedOut);
// Reads `waiting` bytes (at most the buffer) from `com` into szReadBuf; sets and returns nBytesR.
int ReadRawBytes(int waiting);
