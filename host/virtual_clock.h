// The virtual clock tests and fuzzers run on: Timer() returns virtual seconds; Delay() and an
// idle event pump advance them instead of waiting, so time-outs cost no real time.
#pragma once

void UseVirtualClock(bool on, double idleStep = 0.0005);
bool VirtualClockActive();
void AdvanceVirtualClock(double seconds);
