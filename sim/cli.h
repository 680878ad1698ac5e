// Command line of zel-sensor-sim.
#pragma once

#include "engine.h"

#include <string>
#include <vector>

namespace zelsim {

struct CommandLine {
    Options options;
    std::string stateFile;
    std::string flashDumpFile;
    std::string logFile;
    std::string linkPath;
    // --tcp HOST:PORT: served on a listening socket instead of a pseudo-terminal (port 0: any
    // free one). tcpPort is -1 without --tcp.
    std::string tcpHost;
    int tcpPort = -1;
    bool rfc2217 = false; // with --tcp: the line settings are negotiated as RFC 2217 has it
    bool help = false;
    bool version = false;
};

// Fills `cl` from the arguments (without the program name). On a bad argument returns
// false with a one-line reason in `err`.
bool parseCommandLine(const std::vector<std::string>& args, CommandLine& cl, std::string& err);

const char* usageText();

// The address a --tcp server is reached at, as its first output line says it:
// "tcp://HOST:PORT" or "rfc2217://HOST:PORT", an IPv6 host in brackets.
std::string servedAddress(const CommandLine& cl, int port);

} // namespace zelsim
