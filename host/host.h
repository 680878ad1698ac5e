// Host services: where the program lives, whether a display exists, and the simulated sensor
// started as a child process.
#pragma once

#include <string>
#include <vector>

// Starts the run-time without a window (a command-line program): the event loop, ports and
// timers work, no panel can be loaded. Returns false when it could not start.
bool StartHeadlessRuntime(int argc, char** argv);
// Closes every port (end of a headless run).
void StopHeadlessRuntime();

// Directory of the running executable (after InitCVIRTE).
std::string GetExecutableDir();
// True when a GUI can be shown (a display, or an explicitly chosen Qt platform).
bool DisplayAvailable();
// The user's documents directory as the desktop names it (XDG user dirs); it may not exist.
std::string DocumentsDir();
// Whether this user may create files in `dir` (tried with an exclusive temporary file of our
// own, removed at once: on Windows a folder's attributes do not tell).
bool DirectoryWritable(const std::string& dir);

// Starts `program` with `args`, reads the first line it prints (the simulator's device path)
// within `timeoutSeconds`. Returns the line, or an empty string with `error` set.
std::string StartSimulator(const std::string& program, const std::vector<std::string>& args,
                           double timeoutSeconds, std::string& error);
// Stops a simulator started above (SIGTERM, then kill after a grace period).
void StopSimulator();

// Runs `program` with `args` to its end, at most `timeoutSeconds`; returns its exit code, or -1
// with `error` set when it did not start, crashed or took too long. When it ends with another
// code than 0, `error` holds the last line it wrote to stderr.
int RunProgram(const std::string& program, const std::vector<std::string>& args,
               double timeoutSeconds, std::string& error);

// Splits a command-line-like text into words (double quotes group, backslash escapes).
std::vector<std::string> SplitArgs(const std::string& text, bool& ok);

// CPU seconds the whole process (every thread) has used so far.
double ProcessCpuSeconds();

// SIGINT and SIGTERM (on Windows: Ctrl-C, Ctrl-Break, the console closing) run `handler` from
// the event loop (not from the signal), so the program can close the way the operator would.
// A second signal ends the program at once (exit 130).
void InstallTerminationHandler(void (*handler)());
