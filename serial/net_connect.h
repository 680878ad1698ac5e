// Connecting to a network serial port without blocking the GUI thread: the name lookup on a
// thread of its own, the connect by the event loop, each attempt under its own limit. A wait
// for an attempt pumps events, as every wait of the program does. Attempts can run side by
// side (several ports opened at once) and in the background (a lost port looked for again,
// with back-off). Not for the routines.
#pragma once

#include <memory>
#include <string>

class QTcpSocket;

namespace platform_internal {

struct NetConnection {
    std::unique_ptr<QTcpSocket> socket; // connected, or null
    std::string reason;                 // why not, when null
};

// Connects to host:port within `limit` seconds, pumping events meanwhile. An attempt already
// running or finished for this address (started by StartNetConnect or NetReachable) is taken
// instead of a new one.
NetConnection NetConnect(const std::string& host, int port, double limit);
// Starts an attempt in the background; its outcome, success or failure, is kept for the next
// NetConnect of the address until EndNetBatch.
void StartNetConnect(const std::string& host, int port, double limit);
void EndNetBatch();
// True while an attempt for the address is still under way (an open now would wait for it).
bool NetAttemptPending(const std::string& host, int port);
// True once a background attempt reached the address; never waits. Attempts repeat with
// back-off (1 s doubling to 16 s) while the address does not answer. A connection made is
// kept for the next NetConnect.
bool NetReachable(const std::string& host, int port, double limit);
// Every attempt and kept connection dropped (run-time shutdown).
void ForgetNetAttempts();

} // namespace platform_internal
