#include "core/state.h"

#include "runtime/ui.h"
#include "store/textfile.h"

int pA = 0;
int pCalib = 0;
char proj_dir[kPathLen] = ".";
char szStatus[kStatusLen] = "InitVars";
std::uint16_t ttick = 0;

void SetStatus(const char* text) {
    CopyText(szStatus, text ? text : "");
}

void ShowStatus() {
    SetCtrlVal(pA, MAIN_STATUS, szStatus);
}

void ShowText(const char* text) {
    SetCtrlVal(pA, MAIN_STATUS, text);
}
