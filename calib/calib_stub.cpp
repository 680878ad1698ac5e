// Placeholder bodies until the calibration routines land.
#include "calib.h"
#define UNUSED_ARGS (void)panel; (void)control; (void)event; (void)callbackData; (void)eventData1; (void)eventData2
std::uint16_t calibration[18] = {};
std::uint16_t linArrayA[1024] = {};
std::uint16_t linArrayB[1024] = {};
char calib_fnameCHA[260] = "";
char calib_fnameCHB[260] = "";
void GetCalibHeaderValues() {}
void SetCalibHeaderValues() {}
ZEL_CALLBACK(CC_TOGGcalib) { UNUSED_ARGS; return 0; }
int ReadCalibrationDataFromFileCHA(char*) { return 0; }
int ReadCalibrationDataFromFileCHB(char*) { return 0; }
ZEL_CALLBACK(CC_PICBTNCalibFileCHA) { UNUSED_ARGS; return 0; }
ZEL_CALLBACK(CC_PICBTNCalibFileCHB) { UNUSED_ARGS; return 0; }
ZEL_CALLBACK(CC_WriteXFLASHDATA) { UNUSED_ARGS; return 0; }
int ClearXFLASH(std::uint16_t) { return 0; }
void WritePageToXFLASH(std::uint16_t, const std::uint16_t*) {}
int WriteXFLASH(std::uint16_t, std::uint16_t, const std::uint16_t*) { return 0; }
void WriteXFLASHCalibData() {}
int SendInfoBlockToFlash(std::uint16_t, std::uint16_t) { return 0; }
