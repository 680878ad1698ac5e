// Glue between the serial room's own parts (and the run-time's shutdown); not for the routines.
#pragma once

#include <string>
#include <vector>

namespace platform_internal {
// The paths of the serial devices present (kept until the set of tty devices changes).
std::vector<std::string> PresentSerialPaths();
// Moves due bytes of memory devices into their queues and runs receive callbacks whose notify
// count is reached. Returns true when it did anything.
bool SerialPoll();
// Earliest time (Timer() seconds) a memory device has bytes due; a large value when none.
double SerialNextDue();
// Seconds on a monotonic clock that no test replaces (network time-outs are real time).
double SteadyNow();
// "1.5 s": a duration as a message names it.
std::string SecondsText(double seconds);
// Closes every open port (run-time shutdown).
void CloseAllPorts();
} // namespace platform_internal
