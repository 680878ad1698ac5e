// Placeholder bodies until the scope routines land.
#include "scope.h"
double arrayRAW[kRawValues] = {};
std::uint16_t adcCHA = 0, adcCHB = 0, instate = 0, outstate = 0;
ZEL_CALLBACK(CC_BTNRun) { (void)panel; (void)control; (void)event; (void)callbackData; (void)eventData1; (void)eventData2; return 0; }
ZEL_CALLBACK(CC_BTNStop) { (void)panel; (void)control; (void)event; (void)callbackData; (void)eventData1; (void)eventData2; return 0; }
ZEL_CALLBACK(CC_ButtonTeach) { (void)panel; (void)control; (void)event; (void)callbackData; (void)eventData1; (void)eventData2; return 0; }
ZEL_CALLBACK(CC_ButtonRefreshCHA) { (void)panel; (void)control; (void)event; (void)callbackData; (void)eventData1; (void)eventData2; return 0; }
ZEL_CALLBACK(CC_ButtonRefreshCHB) { (void)panel; (void)control; (void)event; (void)callbackData; (void)eventData1; (void)eventData2; return 0; }
ZEL_CALLBACK(CC_ButtonReset) { (void)panel; (void)control; (void)event; (void)callbackData; (void)eventData1; (void)eventData2; return 0; }
ZEL_CALLBACK(CC_RadioSelect) { (void)panel; (void)control; (void)event; (void)callbackData; (void)eventData1; (void)eventData2; return 0; }
ZEL_CALLBACK(CC_RadioTeach) { (void)panel; (void)control; (void)event; (void)callbackData; (void)eventData1; (void)eventData2; return 0; }
ZEL_CALLBACK(CC_BINSWchannel) { (void)panel; (void)control; (void)event; (void)callbackData; (void)eventData1; (void)eventData2; return 0; }
void PlotRAWValues() {}
int FillarrayRAW(int, int) { return 0; }
void DispLEDState(int, int) {}
int Shift(const double*, int, int, double*) { return 0; }
int Copy1D(const double*, int, double*) { return 0; }
void ApplyChartSettings() {}
void SetupStripChart() {}
int ReadData64(int, int, int) { return 0; }
