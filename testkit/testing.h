// Hooks for tests and non-interactive runs: a virtual clock, scripted file-dialog answers, and
// access to what the platform showed.
#pragma once

#include "host/virtual_clock.h"

#include <string>
#include <utility>
#include <vector>

// The next FileSelectPopup calls answer with these, in order: a path, or "" for cancel.
void QueueFileSelectAnswer(const std::string& pathOrEmptyForCancel);
struct FileSelectCall {
    std::string directory, fileName, filter, title;
    int buttonKind;
};
const std::vector<FileSelectCall>& FileSelectCalls();
void ClearFileSelectCalls();

// The next ShowCompareDialog calls answer with these, in order (a column, -1 to close,
// VAL_COMPARE_ADD_FILE); once they are used up, every further call closes.
void QueueCompareAnswer(int answer);
struct CompareCall {
    std::string title;
    std::vector<std::string> columns, rows;
    std::vector<int> values; // rows x columns
    bool offerFile;
};
const std::vector<CompareCall>& CompareCalls();
void ClearCompareCalls();

// The next ShowHistoryDialog calls answer with these, in order (a row, or -1 to close); once
// they are used up, every further call closes.
void QueueHistoryAnswer(int answer);
struct HistoryCall {
    std::string title;
    std::vector<long long> ids; // the rows, in the order shown
    std::vector<std::string> directions, memories;
    std::vector<int> blocks;
    std::vector<std::vector<int>> words; // 15 per row
    std::vector<int> panel;              // the panel's block 0
};
const std::vector<HistoryCall>& HistoryCalls();
void ClearHistoryCalls();

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
// What it draws per trace: the held points, or while paused those from before the pause.
std::vector<std::vector<double>> StripChartShown(int panel, int control);
// Moves the mouse over drawn sample `index` (oldest 0); returns the cursor's text ("" if none).
std::string StripChartHover(int panel, int control, int index);
// Whether the operator's zoom holds the axes.
bool StripChartZoomed(int panel, int control);
// Whether a panel is shown.
bool PanelVisible(int panel);

// What a screen reader finds on a bound control.
struct AccessibleControl {
    int control = 0;
    std::string objectName, name, description;
    std::vector<std::string> labelledBy; // the labels and group boxes naming it
    std::vector<std::string> actions;
    bool tabStop = false;                    // reachable with Tab
    std::string group;                       // the group box (or else the panel) it sits in
    int x = 0, y = 0, width = 0, height = 0; // where it is drawn, in the window
};
std::vector<AccessibleControl> AccessibleControls(int panel);
// Runs a control's accessibility action ("Press", "Toggle", ...) as a screen reader would.
bool DoAccessibleAction(int panel, int control, const std::string& action);

// Events as they reach the controls' callbacks, recorded from the call on (clears the record).
struct DispatchedEvent {
    int panel, control, event;
    bool operator==(const DispatchedEvent&) const = default;
};
void RecordEvents(bool on);
std::vector<DispatchedEvent> RecordedEvents();

// Notifications sent to screen readers about bound controls, recorded from the call on.
struct Announcement {
    int panel, control;
    std::string kind; // "description", "value", "text" or "announcement" (spoken as news)
    std::string text; // the name, description or value after the change
};
void RecordAnnouncements(bool on);
std::vector<Announcement> RecordedAnnouncements();

// The keyboard: shows the panel's window and makes it the active one; keys go to the widget
// with the focus. `keys` is a key sequence such as "Alt+S", "Tab", "Space", "Return", "Esc".
bool ActivatePanelWindow(int panel);
void PressKeys(const std::string& keys);
void TypeText(const std::string& text);
// The control holding the keyboard focus (0 for none), or its object name.
int FocusedCtrl(int panel);
std::string FocusedObjectName();
// The panel's shown controls that take the focus with Tab, in the order its layouts read: depth
// first, a grid's and a form's cells row by row, a row's items left to right.
std::vector<std::string> LayoutReadingOrder(int panel);
// The mouse wheel turned over the middle of a control, `steps` notches (negative: down).
void WheelOver(int panel, int control, int steps);
// Whether a list control's list is open.
bool ListOpen(int panel, int control);
// A list control's items: value and label of each, in order.
std::vector<std::pair<int, std::string>> RingItems(int panel, int control);
// A real mouse click in the middle of a control.
void MouseClick(int panel, int control);
// Mnemonic letters of a panel: the shown text of each button or field label carrying one,
// with its letter (upper case), and the object name of the widget it reaches.
struct Mnemonic {
    char key;
    std::string text, target;
};
std::vector<Mnemonic> Mnemonics(int panel);
// Runs the event pump until no button of any panel is held down any more (a mnemonic or a
// screen reader's Press shows the button down for 100 ms), at most `maxSeconds` real time.
bool FinishClicks(double maxSeconds = 2.0);

// What a screen reader finds on a control: its role ("StatusBar", "EditableText", ...) and
// whether it has a value or a text to read (a value or text event from a control without one is
// refused by the desktop's bridge, with a warning on stderr).
struct AccessibleFace {
    std::string role;
    bool value = false, text = false;
};
AccessibleFace AccessibleFaceOf(int panel, int control);
// The toolkit's own warnings ("category: message"), recorded instead of printed from the call on
// (clears the record).
void CaptureToolkitMessages(bool on);
std::vector<std::string> ToolkitMessages();

// The traffic window: whether it is open, the lines it shows, its filter's choices, and its
// controls worked as the operator works them.
bool TrafficViewOpen();
std::vector<std::string> TrafficViewLines();
std::vector<std::string> TrafficViewFilters();
bool ChooseTrafficViewFilter(const std::string& choice);
// Clicks "trafficPause", "trafficCopy" or "trafficSave" (the save's dialog comes from the pump).
bool ClickTrafficView(const std::string& objectName);
// Selects from shown line `first` to the middle of line `last` (0 is the first line).
void SelectTrafficViewLines(int first, int last);
// The window's periodic take of what came, at once.
void PollTrafficView();
// The window's one-line note (lines copied, saved, or a file that could not be written).
std::string TrafficViewNote();
std::string ClipboardText();
