// The commands, one function each, run from the command table (options.cpp). Each reports what
// went wrong through the session's output and returns the exit code.
#pragma once

#include "cli/session.h"

int CmdScan(Session& s);
int CmdInfo(Session& s);
int CmdGet(Session& s);
int CmdSend(Session& s);
int CmdDiff(Session& s);
int CmdHistory(Session& s);
int CmdReport(Session& s);
// teach, refresh and reset
int CmdSensorCommand(Session& s);
int CmdScope(Session& s);
// Writes its own log lines (one per sensor with --loop).
int CmdFlash(Session& s);
