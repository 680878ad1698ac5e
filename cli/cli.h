// The command-line tool: exit codes, options and the command table.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1; // the sensor did not answer, or a step failed
inline constexpr int kExitUsage = 2;
inline constexpr int kExitFile = 3; // a file could not be read or is invalid

struct CliOptions {
    std::string command;
    std::vector<std::string> args; // positional words after the command
    // Common options.
    int port = -1; // -1: the port file's
    std::vector<std::pair<int, std::string>> bindings;
    std::string device;
    bool simulate = false;
    std::string simArgs;
    bool json = false;
    bool quiet = false;
    std::string logFile;
    std::string traceFile; // --trace FILE: every frame, one line each
    bool help = false;
    bool version = false;
    // Command options.
    std::string from, to; // get / send memory
    int block = 0;
    std::string output; // get -o
    std::vector<std::pair<int, unsigned>> sets;
    long long historyId = 0;                                     // send --history ID
    std::vector<std::pair<std::string, std::string>> headerSets; // flash --set NAME=VALUE
    double seconds = 0;
    long samples = 0;
    std::string csv;
    std::string chaFile, chbFile;
    int header = -1, tables = -1; // -1: as the panel has it
    int retries = 0;
    bool loop = false;
};

// Parses the command line; false with one line in `error` for bad input.
bool ParseCli(int argc, char** argv, CliOptions& opts, std::string& error);
const char* CliUsage();
// The help text of one command, or nullptr for an unknown one.
const char* CommandHelp(const std::string& command);
// The commands of the command table, in the order of the usage text.
std::vector<std::string> CommandNames();

struct Session;
// Runs the command the session's options name, from the command table, and returns its exit
// code; an unknown command is refused as a usage error before anything is opened.
int RunCommand(Session& s);
