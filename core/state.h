// What every folder shares: the two panels, the program directory, the status text and the
// tick counter. Each of the other globals is declared by the folder that owns it.
#pragma once

#include "core/panel_ids.h"
#include "core/timing.h"

#include <cstdint>

inline constexpr int kPathLen = 260;
inline constexpr int kStatusLen = 66; // 65 characters and the terminator
inline constexpr int kTextLen = 64;

// The signature of every control callback.
#define ZEL_CALLBACK(name)                                                                         \
    int name(int panel, int control, int event, void* callbackData, int eventData1, int eventData2)

extern int pA;     // main panel
extern int pCalib; // calibration panel
extern char proj_dir[kPathLen];
extern char szStatus[kStatusLen];
// 50 ms ticks, saturating at 60000: counted by the shell's timer, cleared by the block read.
extern std::uint16_t ttick;

// szStatus = text, cut to fit.
void SetStatus(const char* text);
// Shows szStatus on the status line.
void ShowStatus();
// Shows a fixed text on the status line, leaving szStatus alone.
void ShowText(const char* text);
