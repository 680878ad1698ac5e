// The shell: entry point, start-up and shutdown, the 50 ms tick, port selection and branding.
#pragma once

#include "app/places.h"
#include "core/state.h"

#include <string>
#include <utility>
#include <vector>

inline constexpr const char* kLogoFile = "qx.bmp";

extern char com_fname[kPathLen];
extern char szSoftname[kTextLen];
extern char szSoftversion[kTextLen];
extern int vis; // the calibration switch is shown

// Returns 0 after a normal end, -1 when the run-time or a panel fails, 2 for bad options.
int WinMain(int argc, char** argv);
void InitVars();
// Benchmarks' hook: with ZEL_AUTORUN=SECONDS set, streams the scope that long once the window is
// up, prints the run's figures on stderr and closes the window (see autorun.cpp).
void StartAutorunIfAsked();
// One line on stderr with what the main panel shows: the status line and the parameter
// fields' values, for unattended checks of a start (ZEL_STARTUP_REPORT).
void ReportShownValues();
ZEL_CALLBACK(CC_PANEL);
ZEL_CALLBACK(CC_Timer50ms);
ZEL_CALLBACK(CC_DropDCom);
// Probes every port present with the line check at once and switches to the first that
// answers, as a pick from the selector would; else names the ports tried on the status line.
ZEL_CALLBACK(CC_BTNFindSensor);
// "No sensor found (tried COM1, COM2)", shortened with "..." to fit the status line.
std::string NoSensorText(const std::vector<int>& tried);
// Opens the traffic window (or raises it): the frames kept so far, then each as it passes, and
// a line when the port is lost. Nothing is formatted while it is closed.
ZEL_CALLBACK(CC_BTNTraffic);
void ShowTrafficView();
inline constexpr std::size_t kTrafficViewLines = 10000; // kept by the ring and the window

// Fills the port selector with the port numbers on offer and selects `current`.
void FillPortSelector(int current);
// Re-lists the ports present and refreshes the selector's items when the list changed.
void RefreshPortList();
// Runs RefreshPortList every kPortListPeriodSec from the event loop.
void WatchPortList();
// The link's report of a port lost or back: the selector marks a lost port.
void ShowPortState(int port, bool lost);

void ShowLogo(int mode);
void ShowInfoText(int background, int colour, const char* text, int left, int top, int size);
ZEL_CALLBACK(CC_picture);

// Command line.
struct Options {
    std::string trace;                              // --trace FILE: every frame, one line each
    std::string dir;                                // --dir DIR
    std::vector<std::pair<int, std::string>> ports; // --com N=DEVICE
    bool simulate = false;                          // --simulate
    std::string simArgs;                            // --sim-args "..."
    bool help = false;
    bool version = false;
    // --html-to-pdf IN OUT, not in the usage text: the command-line tool's way to a PDF report
    // without linking Qt Gui itself.
    std::string htmlIn, pdfOut;
};
// Parses the options; returns false with one line in `error` for bad input.
bool ParseOptions(int argc, char** argv, Options& opts, std::string& error);
const char* UsageText();
// Binds the panels' controls to their callbacks.
int BindMainPanel(int panel);
int BindCalibPanel(int panel);
