// Port set-up, the receive callback, the reply wait, and the start-up requests: line check,
// hardware and firmware information.
#pragma once

#include <cstdint>

extern std::uint16_t pcbtype; // hardware type from the last hardware reply
extern char szVersion[64];    // firmware text of a type-0 sensor
extern int nBytesR;           // bytes of the last direct read

// Opens and configures the port, installs the receive callback and runs the start-up exchange.
void InitRS232(int port);
void RX_Receive_Function(int port, int events, void* data);
// Waits up to TIMEOUT for a reply frame; returns rx_flag (0 after a time-out).
int WaitRxFull();

// 1 line good, 0 a reply failed the check, -1 no reply.
int CheckComLine(int port);
// 1 when a standard reply echoing order 10 arrived; sets pcbtype.
int GetHARDWAREInfo();
// Bytes waiting when the wait ended (72 or more when complete).
int GetVERSIONInfo();

// The message for a negative result of opening a port.
const char* ComOpenErrorText(int code);

// Nested in a running scope loop, the loop's data reply may be on the line. Flushing part of it
// would put the line out of step, since the receive callback takes any 36 bytes as a frame: the
// rest of that reply and the start of the next would decode as one garbled reply. A command
// that flushes the queues lets that reply land first, waiting no longer than the loop would.
void LetScopeReplyLand();

// Raw replies that are not frames (firmware text, data block): the receive callback is kept
// away while they arrive and are read, then installed again with its usual arguments.
void SuspendReceiver();
void ResumeReceiver(int port);
// Pumps events until `want` bytes wait on `com` or more than `limit` seconds pass; returns the
// bytes waiting then (0 when the port went away).
int WaitForRawBytes(int want, double limit, bool& timedOut);
// Reads `waiting` bytes (at most the buffer) into szReadBuf; sets and returns nBytesR.
int ReadRawBytes(int waiting);
