// The calibration header, calibration files and X-FLASH programming.
#pragma once

#include "scope.h"

#include <cstdint>

// Calibration header record: 18 words laid out like a command frame.
extern std::uint16_t calibration[18];
void GetCalibHeaderValues();
void SetCalibHeaderValues();
ZEL_CALLBACK(CC_TOGGcalib);

// Calibration files.
extern std::uint16_t linArrayA[1024];
extern std::uint16_t linArrayB[1024];
extern char calib_fnameCHA[260];
extern char calib_fnameCHB[260];
int ReadCalibrationDataFromFileCHA(char* path);
int ReadCalibrationDataFromFileCHB(char* path);
ZEL_CALLBACK(CC_PICBTNCalibFileCHA);
ZEL_CALLBACK(CC_PICBTNCalibFileCHB);

// X-FLASH programming.
inline constexpr std::uint16_t PAGE0 = 0x1000;
inline constexpr std::uint16_t PAGE1 = 0x1100;
inline constexpr std::uint16_t PAGE2 = 0x1200;
inline constexpr std::uint16_t PAGE3 = 0x1300;
inline constexpr std::uint16_t PAGE4 = 0x1400;
inline constexpr std::uint16_t PAGE5 = 0x1500;
inline constexpr std::uint16_t PAGE6 = 0x1600;
inline constexpr std::uint16_t PAGE7 = 0x1700;

ZEL_CALLBACK(CC_WriteXFLASHDATA);
int ClearXFLASH(std::uint16_t address);
void WritePageToXFLASH(std::uint16_t address, const std::uint16_t* words);
int WriteXFLASH(std::uint16_t address, std::uint16_t count, const std::uint16_t* words);
void WriteXFLASHCalibData();
int SendInfoBlockToFlash(std::uint16_t first, std::uint16_t second);
