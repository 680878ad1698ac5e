// One run of the tool: its options, its output, the port in use and the sensor as far as this
// run knows it. The commands get it passed; nothing of it is global.
#pragma once

#include "cli/cli.h"
#include "cli/output.h"
#include "link/exchange.h"

#include <array>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

// The words a frame carries: block 0 as the tool starts with it, or as last read or loaded.
using Image = std::array<std::uint16_t, 16>;
inline constexpr int kBlockWordCount = 15; // words of a parameter block

// What the --log line says about the operation.
struct LogEntry {
    bool identified = false; // hardware type and firmware text were read
    std::string firmware;
    std::vector<int> failedPages;
    bool failed = false; // a line could not be appended
};

struct Session {
    CliOptions opts;
    Output io;
    bool interrupted = false; // Ctrl-C or its kin: the operation ends after its step in progress
    bool lost = false;        // the port in use went away
    bool portOpen = false;
    Image block0{};
    Image block1{};
    std::uint16_t hardware = 0;
    bool hardwareRead = false;
    LogEntry log;
    std::set<std::string> historyTold; // history problems said already
};

// Makes `s` the session that Ctrl-C and a lost port are told to, and starts the link: its own
// start values, block 0 as the tool starts with it.
void StartSession(Session& s);
// Binds the ports and chooses the one in use, as the window does: its port file (the user's,
// then the system's once installed; beside the executable in a build tree), then the options;
// starts the simulated sensor when asked. False (reported) when it did not start.
bool ChoosePort(Session& s);

// Pumps events for `seconds`, so the port and Ctrl-C are served meanwhile.
void Wait(Session& s, double seconds);
// "COM3 /dev/ttyUSB0"
std::string PortName(int port);
// Opens the port in use; false (reported) when it does not open.
bool OpenPort(Session& s);
void ClosePort(Session& s);
// Reads hardware type and firmware text; true when both came.
bool Identify(Session& s);
// Opens the port and checks the line; a failure has been reported. With a --log file, the sensor
// is identified too (unless `identify` is false).
bool Connect(Session& s, bool identify = true);
// True (reported) when the port went away during the operation.
bool LostReported(Session& s);

// The window's words for an exchange that did not get its reply.
std::string LineCheckText(const ExchangeResult& r);
std::string BlockReadText(const ExchangeResult& r);
std::string CommandText(const ExchangeResult& r);

// Appends the operation's line to the --log file, if one is named.
void LogOperation(Session& s, const std::string& outcome);
// Ends an operation: the log line, and the exit code.
int Done(Session& s, int code);
