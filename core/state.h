// Program-wide state shared by the shell, the sensor link, the parameter set, the scope and the
// calibration: panels, the port in use, the status text and the flags that nested callbacks
// share while a wait pumps events.
#pragma once

#include "panel_ids.h"

#include <cstdint>

inline constexpr double TIMEOUT = 1.5; // port time-out and limit of every reply wait (s)

// Where Send and Get go.
inline constexpr int RAM = 1;
inline constexpr int EEPROM = 2;
inline constexpr int DATFILE = 3;

inline constexpr int kPathLen = 260;
inline constexpr int kStatusLen = 66; // 65 characters and the terminator
inline constexpr int kTextLen = 64;

extern int pA;     // main panel
extern int pCalib; // calibration panel
extern char proj_dir[kPathLen];
extern int com; // serial port number in use
extern char com_fname[kPathLen];
extern char szStatus[kStatusLen];
extern char szSoftname[kTextLen];
extern char szSoftversion[kTextLen];
extern char file_name[kPathLen];
extern int target;
extern int rx_flag;           // kind of the last decoded reply: 0 none, 1 standard, 8 data
extern int graph_flag;        // a decoded frame waits to be plotted
extern int stop_flag;         // 0 only while the scope loop runs
extern double scopeRequestAt; // when the running scope loop sent its last data request
extern int look_flagA;        // a calibration table for channel A is loaded
extern int look_flagB;
extern std::uint16_t ttick; // 50 ms ticks, saturating at 60000
extern std::uint16_t yArrayA[256];
extern std::uint16_t yArrayB[256];
extern int vis; // the calibration switch is shown

// szStatus = text, cut to fit.
void SetStatus(const char* text);
// Shows szStatus on the status line.
void ShowStatus();
// Shows a fixed text on the status line, leaving szStatus alone.
void ShowText(const char* text);
