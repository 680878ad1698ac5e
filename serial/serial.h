// Serial-port services. Ports are numbered; each number is bound to a device (see BindComPort).
// Implemented per system (a terminal device of our own on POSIX systems, QSerialPort on
// Windows), on QTcpSocket for network ports, or on an in-memory device for tests (memserial.h).
#pragma once

#include <string>
#include <vector>

// Opening and I/O errors.
inline constexpr int kComUnknownSystemError = -1;
inline constexpr int kComInvalidPortNumber = -2;
inline constexpr int kComPortNotOpen = -3;
inline constexpr int kComIoError = -4;
inline constexpr int kComNoSerialPort = -6;
inline constexpr int kComCannotOpen = -7;
inline constexpr int kComInvalidParameter = -13;
inline constexpr int kComTimeout = -99;

inline constexpr int LWRS_RXFLAG = 0x0002;  // event character received
inline constexpr int LWRS_TXEMPTY = 0x0004; // output queue empty
inline constexpr int LWRS_RECEIVE = 0x8000; // notify count reached

inline constexpr int kMaxComPort = 255;

using ComCallbackPtr = void (*)(int port, int eventMask, void* callbackData);

int OpenComConfig(int port, const char* deviceName, long baudRate, int parity, int dataBits,
                  int stopBits, int inputQueueSize, int outputQueueSize);
int CloseCom(int port);
// True once the open port's device went away (a pulled adapter), until CloseCom or the next
// OpenComConfig. Calls on a lost port fail at once with kComIoError.
bool ComPortLost(int port);
// Called once per loss, from event processing, with the port still open (it may close it).
using ComLostHandler = void (*)(int port);
void SetComLostHandler(ComLostHandler handler);
int SetComTime(int port, double timeoutSeconds);
int SetCTSMode(int port, int mode);
int FlushInQ(int port);
int FlushOutQ(int port);
// Returns the bytes written (waiting up to the port time-out), or a negative error.
int ComWrt(int port, const char* buffer, int count);
// Returns the bytes read (waiting up to the port time-out for `count`), or a negative error.
int ComRd(int port, char* buffer, int count);
int GetInQLen(int port);
// The callback runs from event processing once at least notifyCount bytes wait and
// LWRS_RECEIVE is in the mask. Mask 0 removes it.
int InstallComCallback(int port, int eventMask, int notifyCount, int eventCharacter,
                       ComCallbackPtr callback, void* callbackData);

// True when the port's device can be had now (the port itself is closed). A network port is
// never waited for: it is connected to in the background, with back-off while it does not
// answer, and the connection made is kept for the OpenComConfig that follows.
bool ComPortPresent(int port);
// Ports about to be opened one after another: network ports among them start connecting at
// once, so silent addresses cost one time-out together, and an open that fails keeps its
// reason until EndComOpens.
void StartComOpens(const std::vector<int>& ports);
void EndComOpens();
// True while an open of the port would wait for a connection started by StartComOpens.
bool ComOpenPending(int port);
// Why the open port was lost, in words (a network server that broke the protocol or stopped
// taking what is sent); empty when it simply went away. Read it in the lost handler.
std::string ComLossReason(int port);
// Input bytes the open port dropped because its input queue was full.
long long ComDiscardedBytes(int port);

// Why the last OpenComConfig of this port failed, in one line naming the device; empty when
// it opened or when the error code says all there is.
std::string ComOpenFailureReason(int port);

// Binds port number n to a device (replacing the default COMn / /dev/ttyS(n-1)): a device path,
// or a serial port across the network, "tcp://HOST:PORT" (the bytes as they are) or
// "rfc2217://HOST:PORT" (a terminal server; line settings negotiated as RFC 2217 has it).
void BindComPort(int port, const std::string& device);
// False, with the reason (not naming the device), when `device` is an address that cannot be
// used: an unknown "SCHEME://", or a network address without HOST or with a PORT outside
// 1..65535. Device paths pass.
bool CheckPortAddress(const std::string& device, std::string& error);
void ClearComBindings();
// The device a port number stands for now.
std::string ComDeviceName(int port);

struct ComPortChoice {
    int number;
    std::string device;
    // The adapter's stable name (/dev/serial/by-id/...: maker, model, serial number), which
    // stays the same across replugging; "" when it has none.
    std::string stableName = {};
};
// Port numbers worth offering: bound ports, the default mapping of serial devices present,
// and `always` (the port in use), each with its device, ordered by number.
std::vector<ComPortChoice> ListComPorts(int always);
