// Panel values, sending and getting the parameter set, and parameter files.
#pragma once

#include <cstdint>

void GetPanelValues();
void SetPanelValues();

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
void PushGET(int target, std::uint32_t block);

// Parameter files: 16 numbers, block 0 as it travels on the wire plus pp word 15.
void SendParaToFile();
int ReadParaFromFile();
