// The calibration header, calibration files and X-FLASH programming.
#pragma once

#include "calib/flash_ops.h"
#include "calib/header_words.h"
#include "core/state.h"

#include <cstdint>
#include <string>
#include <string_view>

extern int look_flagA; // a calibration table for channel A is loaded
extern int look_flagB;

// Calibration header record: 18 words laid out like a command frame.
extern std::uint16_t calibration[18];
void GetCalibHeaderValues();
void SetCalibHeaderValues();
ZEL_CALLBACK(CC_TOGGcalib);

// Record words of the header values (data word n sits at record word n + 3).
inline constexpr int CALIB_H1 = 3;
inline constexpr int CALIB_H2 = 4;
inline constexpr int CALIB_H3A = 5;
inline constexpr int CALIB_H3B = 6;
inline constexpr int CALIB_H4A = 7;
inline constexpr int CALIB_H4B = 8;
inline constexpr int CALIB_H5A = 9;
inline constexpr int CALIB_H5B = 10;

// H3FromReal, H3ToReal: calib/header_words.h.

// Calibration files.
extern std::uint16_t linArrayA[1024];
extern std::uint16_t linArrayB[1024];
extern char calib_fnameCHA[260];
extern char calib_fnameCHB[260];
int ReadCalibrationDataFromFileCHA(char* path);
int ReadCalibrationDataFromFileCHB(char* path);
ZEL_CALLBACK(CC_PICBTNCalibFileCHA);
ZEL_CALLBACK(CC_PICBTNCalibFileCHB);

inline constexpr int kCalibTableWords = kCalibWords;

// Zeroes the header record, both tables and both file names (start of run, tests).
void ClearCalibration();

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
// 1 when every write block of the page was answered, else 0.
int WritePageToXFLASH(std::uint16_t address, const std::uint16_t* words);
int WriteXFLASH(std::uint16_t address, std::uint16_t count, const std::uint16_t* words);
// 1 when the header write was answered, else 0.
int WriteXFLASHCalibData();
int SendInfoBlockToFlash(std::uint16_t first, std::uint16_t second);

// Orders of a programming run with these switches and loaded tables: 2 for the header page,
// 4 erases and 128 writes per table (drives the progress bar).
int XFlashOrderCount(int header, int tables, int loadedA, int loadedB);

inline constexpr int kXFlashPages = 16;
// The pages (0..15) the last CC_WriteXFLASHDATA run did not get through.
const bool* XFlashFailedPages();
// Called after each order of a programming run with the orders done and the run's total, for
// progress shown outside the calibration panel. nullptr removes it.
void SetXFlashProgressObserver(void (*observer)(int done, int total));
