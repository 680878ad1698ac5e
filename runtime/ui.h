// User-interface and utility services: panels and controls, events, the event pump, the clock,
// file dialogs and the strip chart. Plain C++ interface; implemented on Qt 6 in ui_*.cpp.
#pragma once

#include "host/clock.h"

#include <cstddef>
#include <cstdint>
#include <string>

// Event kinds delivered to control and panel callbacks.
enum UiEvent : int {
    EVENT_NONE = 0,
    EVENT_COMMIT = 1,
    EVENT_VAL_CHANGED = 2,
    EVENT_LEFT_CLICK = 3, // the press that precedes a button's commit
    EVENT_RIGHT_DOUBLE_CLICK = 6,
    EVENT_CLOSE = 12,
    EVENT_TIMER_TICK = 13,
};

// Control and panel attributes understood by SetCtrlAttribute / SetPanelAttribute.
enum UiAttr : int {
    ATTR_DIMMED = 1,
    ATTR_VISIBLE,
    ATTR_TEXT_COLOR,
    ATTR_TEXT_BGCOLOR,
    ATTR_FRAME_COLOR,
    ATTR_TOP,
    ATTR_LEFT,
    ATTR_TEXT_BOLD,
    ATTR_TEXT_POINT_SIZE,
    ATTR_TEXT_FONT, // string value
    ATTR_ENABLED,   // timers: ticking or not
    ATTR_POINTS_PER_SCREEN,
    ATTR_SCROLL_MODE,
    ATTR_MAX_VALUE,
    ATTR_LABEL_TEXT, // string value
    // String value: what a screen reader hears after the control's own description ("" none).
    ATTR_ACCESSIBLE_SUFFIX,
};

// ATTR_TEXT_BGCOLOR / ATTR_FRAME_COLOR: back to the colour the control was loaded with.
inline constexpr int VAL_DEFAULT_COLOR = -1;

inline constexpr int VAL_CONTINUOUS = 1; // strip-chart scroll mode
inline constexpr int CTRL_TEXT_MSG = 1;  // NewCtrl style
inline constexpr int VAL_DOUBLE = 4;     // PlotStripChart data type

// FileSelectPopup button kinds and results.
inline constexpr int VAL_OK_BUTTON = 0;
inline constexpr int VAL_LOAD_BUTTON = 3;
inline constexpr int VAL_NO_FILE_SELECTED = 0;
inline constexpr int VAL_EXISTING_FILE_SELECTED = 1;
inline constexpr int VAL_NEW_FILE_SELECTED = 2;

// Error results.
inline constexpr int UIE_BAD_HANDLE = -4;
inline constexpr int UIE_NO_CONTROL = -5;
inline constexpr int UIE_FILE = -12;

inline constexpr int MAX_PATHNAME_LEN = 260;

inline constexpr int MakeColor(int r, int g, int b) {
    return ((r & 0xFF) << 16) | ((g & 0xFF) << 8) | (b & 0xFF);
}

using CtrlCallbackPtr = int (*)(int panel, int control, int event, void* callbackData,
                                int eventData1, int eventData2);

// One row of a panel's binding table: control identity, object name in the resource file, and
// the callback it carries (or nullptr).
struct CtrlBinding {
    int id;
    const char* objectName;
    CtrlCallbackPtr callback;
};

// Run-time start. argc/argv are the program's; returns 0 on failure.
int InitCVIRTE(int argc, char** argv);
// Releases the run-time (panels, ports). Safe to call more than once.
void CloseCVIRTE();

// Loads panel number `panelNumber` ("panel<N>") from a Designer file. parent 0 makes a
// top-level window; otherwise the panel becomes a hidden child of `parent`.
// Returns a positive handle, or a negative error with the reason in UiLastError().
int LoadPanel(int parent, const char* file, int panelNumber);
// Binds control identities to object names and callbacks. Returns 0, or UIE_NO_CONTROL naming
// the first missing control in UiLastError().
int BindControls(int panel, const CtrlBinding* table, std::size_t count);
int InstallPanelCallback(int panel, CtrlCallbackPtr callback, void* callbackData);
const char* UiLastError();

int DisplayPanel(int panel);
// Pumps events until a displayed top-level panel is on the screen (its window exposed, hence
// painted once) or `limitSeconds` pass. 1 when it is, 0 when not, or a negative error.
int WaitForPanelOnScreen(int panel, double limitSeconds);
int HidePanel(int panel);
int DiscardPanel(int panel);
int SetActivePanel(int panel);
int SetActiveCtrl(int panel, int control);
int SetPanelAttribute(int panel, int attribute, int value);
int SetPanelAttribute(int panel, int attribute, const char* value);

int SetCtrlVal(int panel, int control, int value);
int SetCtrlVal(int panel, int control, unsigned value);
int SetCtrlVal(int panel, int control, double value);
int SetCtrlVal(int panel, int control, const char* value);
int GetCtrlVal(int panel, int control, int* value);
int GetCtrlVal(int panel, int control, unsigned short* value);
int GetCtrlVal(int panel, int control, double* value);
// Text controls: copies at most size-1 characters and terminates.
int GetCtrlVal(int panel, int control, char* value, std::size_t size);
int SetCtrlAttribute(int panel, int control, int attribute, int value);
int SetCtrlAttribute(int panel, int control, int attribute, const char* value);
int GetCtrlAttribute(int panel, int control, int attribute, int* value);
int ResetTextBox(int panel, int control, const char* text);
// Creates a control at run time; returns its identity (negative on failure).
int NewCtrl(int panel, int style, const char* label, int top, int left);
int DisplayImageFile(int panel, int control, const char* file);
// Appends count/traces points to a strip chart; values interleave one per trace.
int PlotStripChart(int panel, int control, const double* values, int count, int start, int skip,
                   int type);
// Ring controls: replaces the items; values[i] is what GetCtrlVal returns for item i.
int SetRingItems(int panel, int control, const int* values, const char* const* labels,
                 std::size_t count);

int FileSelectPopup(const char* defaultDirectory, const char* defaultFileName, const char* filter,
                    const char* title, int buttonKind, int restrictDirectory, int restrictExtension,
                    int allowCancel, int allowMakeDirectory, char pathName[MAX_PATHNAME_LEN]);

// Runs without an operator: the next FileSelectPopup calls answer with these paths, one each,
// in order, without showing a dialog; once they are used up, every further call is a cancel.
void AnswerFileSelectsWith(const char* const* paths, std::size_t count);

// A modal table of values side by side: one column per source, one row per word. Rows whose
// columns disagree are highlighted; a value below 0 is shown as missing and not compared.
// Every column but the first can be taken. Returns the column taken, -1 when closed, or
// VAL_COMPARE_ADD_FILE when the operator asked to add a file's column (offerFile != 0).
inline constexpr int VAL_COMPARE_ADD_FILE = -2;
int ShowCompareDialog(const char* title, const char* const* columnTitles, int columns,
                      const char* const* rowTitles, int rows,
                      const int* values /* rows x columns */, int offerFile);

// One entry of the history view; `words` points at its 15 words.
struct HistoryViewRow {
    long long id;
    const char* time;
    const char* direction; // got, sent, loaded, saved
    const char* memory;    // RAM, EEPROM, or the parameter file's name
    const char* port;      // "COM1 /dev/ttyS0"
    const char* firmware;
    int block;
    const std::uint16_t* words;
};
// A modal list of history entries, in the order given; the selected entry's words stand beside
// `panelWords` (block 0 as the panel holds it, 15 words, titled by `wordTitles`) with the
// differing words highlighted. A block 0 entry can be taken. Returns the row taken, or -1 when
// closed.
int ShowHistoryDialog(const char* title, const HistoryViewRow* rows, int count,
                      const std::uint16_t* panelWords, const char* const* wordTitles);

// Whether a modal window (a file dialog, a message) is open and waiting for the operator.
int ModalDialogOpen();

int GetProjectDir(char directory[MAX_PATHNAME_LEN]);
int MakePathname(const char* directory, const char* fileName, char pathName[MAX_PATHNAME_LEN]);
// Sets what GetProjectDir reports (the program's directory, or --dir).
void SetProjectDir(const char* directory);

// Strip-chart trace look: name for the legend, colour, line width in pixels, dashed or solid.
int SetStripChartTrace(int panel, int control, int trace, const char* name, int color, int width,
                       int dashed);

// Strip-chart x values: seconds for each point held per trace, oldest first (count points, at
// most the points per screen). Without them the points are numbered.
int SetStripChartTimes(int panel, int control, const double* seconds, int count);
// Paused, the chart keeps taking points but draws none; resumed, it draws what it holds.
int SetStripChartPaused(int panel, int control, int paused);
// Back to the full history after a zoom by wheel or rubber band.
int ResetStripChartZoom(int panel, int control);
// Writes the chart as drawn to a PNG file; 0 or UIE_FILE.
int SaveStripChartImage(int panel, int control, const char* path);

// The traffic window: a non-modal window beside `panel` listing lines as they come (the frames
// on the line, one each), the last `capacity` kept, with a filter, Pause, Copy and Save as text.
// A line's kind is an index into the filter's choices; kTrafficNote lines pass every filter,
// other negative kinds only "All".
inline constexpr int kTrafficNote = -1;
struct TrafficViewLine {
    std::string text;
    int kind;
};
// Called every `periodSec` while the window is open, so the program appends what came since;
// `closed` once the window is gone. Opening an open window raises it and returns 0.
using TrafficViewCall = void (*)();
int OpenTrafficView(int panel, const char* title, const char* const* kinds, int kindCount,
                    std::size_t capacity, double periodSec, TrafficViewCall poll,
                    TrafficViewCall closed);
void AppendTrafficViewLines(const TrafficViewLine* lines, std::size_t count);
int TrafficViewIsOpen();
void CloseTrafficView();
