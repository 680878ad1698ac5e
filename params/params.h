// Panel values, sending and getting the parameter set, and parameter files.
#pragma once

#include "core/state.h"
#include "params/history.h"

#include <cstdint>

// Where Send and Get go.
inline constexpr int RAM = 1;
inline constexpr int EEPROM = 2;
inline constexpr int DATFILE = 3;

extern int target;
extern char file_name[kPathLen]; // the parameter file last chosen

void GetPanelValues();
// Block 0 as a Send would send it (the panel's fields over the record's other words), read
// without touching the record.
void PanelBlock0(std::uint16_t* words);
void SetPanelValues();

// Marks each panel field that differs from the reference (block0Reference) and puts the count
// of differing words into the parameter group's title; returns that count.
int RefreshUnsentMarks();
// The parameter fields' callback: a committed value refreshes the marks.
int CC_ParamField(int panel, int control, int event, void* callbackData, int eventData1,
                  int eventData2);

int CC_BTNSend(int panel, int control, int event, void* callbackData, int eventData1,
               int eventData2);
int CC_BTNGet(int panel, int control, int event, void* callbackData, int eventData1,
              int eventData2);
int CC_RBTRam(int panel, int control, int event, void* callbackData, int eventData1,
              int eventData2);
int CC_RBTEeprom(int panel, int control, int event, void* callbackData, int eventData1,
                 int eventData2);
int CC_RBTFile(int panel, int control, int event, void* callbackData, int eventData1,
               int eventData2);

// The one GET exchange: request a block from RAM or EEPROM, wait, copy the reply in.
// Returns 1 when the reply was taken.
int PushGET(int target, std::uint32_t block);

// Block 0 as the panel, the sensor's RAM and EEPROM, and optionally a parameter file hold it,
// side by side; the operator may take one onto the panel. Reads only: the record, pp, the
// target, the status and the panel are as before unless a column is taken.
int CC_BTNCompare(int panel, int control, int event, void* callbackData, int eventData1,
                  int eventData2);

// "Word 1 (Reference CHA)": the row titles of the tables that show block 0 word by word.
const char* const* Block0RowTitles();

// The parameter sets that passed the tool, newest first; the operator may take a block 0 set
// onto the panel, unsent. Reads only the history file.
int CC_BTNHistory(int panel, int control, int event, void* callbackData, int eventData1,
                  int eventData2);
// Reads both blocks of RAM and EEPROM without a trace and writes the service report (HTML, or PDF
// for a name ending in .pdf) with this session's sets of this sensor.
int CC_BTNReport(int panel, int control, int event, void* callbackData, int eventData1,
                 int eventData2);

// Records a set that passed the panel (15 words) in the history; a history that cannot be
// written is told on the status line and stderr, and changes nothing else.
void NoteSetPassed(SetDirection direction, SetMemory memory, int block, const std::uint16_t* words,
                   const char* file = "");
// Start-up: the sets that pass before the window is on the screen are held and recorded once
// it is (WriteHeldSets); the history file's read and rewrite is not what the first frame needs.
void HoldSets();
void WriteHeldSets();

// Parameter files: 16 numbers, block 0 as it travels on the wire plus pp word 15.
void SendParaToFile();
int ReadParaFromFile();
