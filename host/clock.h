// The clock and the event pump: what a program needs to wait, with or without a window.
#pragma once

// Runs all pending events and returns. Re-entrant. When nothing is pending it blocks briefly for
// the next event instead of spinning.
int ProcessSystemEvents();
// The same for a wait that knows its limit: when nothing is pending it blocks until the next
// event or `deadline` (Timer() seconds), whichever comes first.
int ProcessSystemEventsUntil(double deadline);

// Runs the event loop until QuitUserInterface; returns its code.
int RunUserInterface();
int QuitUserInterface(int code);

// Calls fn every periodSec seconds from the event loop; a period of 0 stops it.
void SetPeriodicCall(double periodSec, void (*fn)());

// Seconds from a monotonic clock, sub-millisecond resolution.
double Timer();
// A plain pause: no event processing.
void Delay(double seconds);
