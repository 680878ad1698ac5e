#include "state.h"

#include "textfile.h"
#include "ui.h"

int pA = 0;
int pCalib = 0;
char proj_dir[kPathLen] = ".";
int com = 1;
char com_fname[kPathLen] = "";
char szStatus[kStatusLen] = "InitVars";
char szSoftname[kTextLen] = "ZEL-A-2X-Vavod";
char szSoftversion[kTextLen] = "V2.0";
char file_name[kPathLen] = "TRK1para.cfg";
int target = RAM;
int rx_flag = 0;
int graph_flag = 0;
int stop_flag = 1;
double scopeRequestAt = 0;
int look_flagA = 0;
int look_flagB = 0;
std::uint16_t ttick = 0;
std::uint16_t yArrayA[256] = {};
std::uint16_t yArrayB[256] = {};
int vis = 0;

void SetStatus(const char* text) {
    CopyText(szStatus, text ? text : "");
}

void ShowStatus() {
    SetCtrlVal(pA, MAIN_STATUS, szStatus);
}

void ShowText(const char* text) {
    SetCtrlVal(pA, MAIN_STATUS, text);
}
