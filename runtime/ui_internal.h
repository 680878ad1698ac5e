// What the parts of the Qt user interface share: the panel and control tables, event posting,
// LED faces, and the hooks a test build may install. Not for the routines.
#pragma once

#include "ui.h"

#include <QColor>
#include <QMetaObject>
#include <QPixmap>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <map>
#include <string>
#include <vector>

class StripChart;

namespace platform_internal {

// The display's frame: a window repaints at most this often unless the operator acts.
inline constexpr qint64 kDisplayFrameMs = 100;
void InstallDisplayPacer(class QApplication* app);
// Display fields (read-only numbers the program writes, such as the raw values that change with
// every sample) take a new value when their window paints, not at each write: a field
// written 26 times a second is shaped and announced at most once per frame. Reading the control
// shows its value first, so the program always reads what it wrote.
struct Control;
void ShowDueValue(Control& c);
void ShowDueValues();
// The same at a window's paint, but new digits at most every kFieldFrameMs: a number is read,
// not watched, and digits replaced ten times a second are harder to read than five. Values left
// due wait for a later paint (the fallback shows them within 4 frames should none come).
inline constexpr qint64 kFieldFrameMs = 200;
void ShowDueValuesWithFrame();

enum class Kind {
    Unknown,
    Button,
    Toggle,
    Radio,
    Ring,
    Numeric,
    Real,
    Text,
    TextBox,
    Label,
    Led,
    Picture,
    StripChart,
    Decoration,
    Timer,
    Progress,
    Group, // a group box: its title is its text
};

struct Control {
    int panel = 0;
    int id = 0;
    Kind kind = Kind::Unknown;
    QPointer<QWidget> widget;
    QPointer<QTimer> timer;
    CtrlCallbackPtr callback = nullptr;
    StripChart* chart = nullptr; // owned by its widget
    std::vector<QMetaObject::Connection> connections;
    bool ledOn = false;
    // A display field's value waiting for its window's next paint (see ShowDueValues).
    bool valueDue = false;
    int dueValue = 0;
};

struct Panel {
    int handle = 0;
    QPointer<QWidget> widget;
    CtrlCallbackPtr callback = nullptr;
    void* callbackData = nullptr;
    bool topLevel = false;
    std::map<int, Control> controls;
    int nextId = 10000;
};

std::map<int, Panel>& Panels();
Panel* FindPanel(int handle);
Control* FindCtrl(int panel, int id);
Kind KindOf(QWidget* w);

// Runs a control's callback later, from the event pump, in the order events arrived, so a
// callback that waits never runs inside a widget's own input handler. Control 0 is the panel.
void Post(int panel, int control, int event, int d1 = 0, int d2 = 0);
// Connects a bound control's signals to the events its callback expects (ui_input.cpp).
void Connect(Panel& p, Control& c);
// Accessible name and description of a bound control, from its label and tooltip.
void DescribeForScreenReaders(Panel& p, Control& c);
// Turns a panel's close request (control 0) or a picture's right double click into events.
QObject* NewEventFilter(int panel, int control, QObject* parent);
// Discarding a panel closes its window; only then is a close request let through.
void AllowClosing(bool allowed);

// The value a numeric field showed when last committed or written by the program; Escape
// goes back to it.
inline constexpr const char* kShownValue = "zelShownValue";
void RememberFieldValue(Control& c);

// Shows a text in a text, label or button control; UIE_NO_CONTROL for other kinds.
int SetText(Control& c, const QString& text);

QPixmap LedFace(const QColor& fill, int size);
void SetLed(Control& c, bool on);
QColor ToQColor(int rgb);

// Sees every text written to a control. Null unless a test build installs one.
using TextWriteObserver = void (*)(int panel, int control, const QString& text);
void SetTextWriteObserver(TextWriteObserver observer);

// Sees every event as it is handed to a control's callback. Null unless a test build installs
// one.
using EventObserver = void (*)(int panel, int control, int event);
void SetEventObserver(EventObserver observer);

// What screen readers are told of a control: its description now says `text` (LED states,
// messages), or its value changed to `text` (displays). Qt raises the description event itself.
void DescribeState(Control& c, const QString& text);
void AnnounceValue(Control& c, const QString& text);
// A read-only line's new text: the line edit tells screen readers itself when the text changes;
// a status bar says the same message again when it is written again.
void AnnounceText(Control& c, const QString& text, bool repeated);
// Sees each of those. Null unless a test build installs one: off-screen there is no screen
// reader for Qt to talk to.
using AnnouncementObserver = void (*)(int panel, int control, const char* kind,
                                      const QString& text);
void SetAnnouncementObserver(AnnouncementObserver observer);
// Hands one of those to the observer (kind "announcement": a message spoken as a notification).
void NoteAnnouncement(Control& c, const char* kind, const QString& text);
// A status line's new message: said as a notification when it is an outcome or a new phase
// (see OutcomeSpeech), so a reader speaks it wherever the focus is.
void SayOutcome(Control& c, const QString& text);
// An operator's event reached the program: its outcome is said even if it repeats the last.
void NoteOperatorAction();
// Whether the panel file marks the widget as a status bar (zelAccessibleRole): screen readers
// find it as one.
bool IsStatusBar(QWidget* w);
// Installs what screen readers find for marked widgets (a status bar). After the application's
// own factories, which would take precedence, and before any panel is loaded: Qt keeps the
// first interface made for a widget.
void InstallAccessibleFaces();
// The face of the notifications SayOutcome raises (called by InstallAccessibleFaces).
void InstallOutcomeSpeech();

struct FileSelectRequest {
    std::string directory, fileName, filter, title;
    int buttonKind;
};
// Answers FileSelectPopup in place of the dialog: sets `path` ("" for cancel). Null unless a
// test build installs one, so the program always asks the operator.
using FileSelectScript = void (*)(const FileSelectRequest& request, std::string& path);
void SetFileSelectScript(FileSelectScript script);

struct CompareRequest {
    std::string title;
    std::vector<std::string> columns, rows;
    std::vector<int> values; // rows x columns
    bool offerFile;
};
// Answers ShowCompareDialog in place of the dialog. Null unless a test build installs one.
using CompareScript = int (*)(const CompareRequest& request);
void SetCompareScript(CompareScript script);

// The open traffic window (null when none) and its periodic take run at once, for the test hooks.
QWidget* TrafficWindowWidget();
void PollTrafficWindow();

struct HistoryRequest {
    std::string title;
    std::vector<long long> ids;
    std::vector<std::string> directions, memories;
    std::vector<int> blocks;
    std::vector<std::vector<int>> words; // 15 per row
    std::vector<int> panel;              // 15
};
// Answers ShowHistoryDialog in place of the dialog. Null unless a test build installs one.
using HistoryScript = int (*)(const HistoryRequest& request);
void SetHistoryScript(HistoryScript script);

} // namespace platform_internal
