// Hooks for tests and non-interactive runs: a virtual clock, scripted file-dialog answers, and
// access to what the platform showed.
#pragma once

#include <string>
#include <vector>

// Virtual clock: Timer() returns virtual seconds; Delay() and an idle event pump advance them
// instead of waiting, so time-outs cost no real time.
void UseVirtualClock(bool on, double idleStep = 0.0005);
bool VirtualClockActive();
void AdvanceVirtualClock(double seconds);

// The next FileSelectPopup calls answer with these, in order: a path, or "" for cancel.
void QueueFileSelectAnswer(const std::string& pathOrEmptyForCancel);
struct FileSelectCall {
    std::string directory, fileName, filter, title;
    int buttonKind;
};
const std::vector<FileSelectCall>& FileSelectCalls();
void ClearFileSelectCalls();

// Every value written to a text control (status line and the like), in order, per control.
std::vector<std::string> TextHistory(int panel, int control);
void ClearTextHistory();

// Simulates the operator: queues the events a mouse click on a control produces
// (left click then commit for buttons; value change then commit for switches and radios).
void ClickCtrl(int panel, int control);
// Queues a single event for a control (or for the panel with control 0).
void PostCtrlEvent(int panel, int control, int event);
// The points the strip chart holds per trace (for tests).
std::vector<std::vector<double>> StripChartTraces(int panel, int control);
// Whether a panel is shown.
bool PanelVisible(int panel);
