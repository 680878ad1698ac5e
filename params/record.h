// The parameter record (header words and the sensor's two parameter blocks), the word image pp
// through which every frame's data words pass, and the thresholds drawn on the strip chart.
#pragma once

#include <cstdint>

inline constexpr int kRecordWords = 33;
inline constexpr int kBlockWords = 15;
inline constexpr int kBlock0 = 3;  // record word of block 0 index 0
inline constexpr int kBlock1 = 18; // record word of block 1 index 0

extern std::uint16_t parameter[kRecordWords];
extern std::uint16_t pp[16];

extern std::int16_t refthdA, refthdB, upthdA, lothdA, upthdB, lothdB;

// Block 0 as last sent, received, loaded or saved: the panel fields that differ from it are
// unsent edits.
extern std::uint16_t block0Reference[kBlockWords];
// The record's block 0 becomes the reference.
void NoteBlock0Reference();

// Start values of the record (and the reference).
void SetParameterDefaults();
// Block 0 for block number 0 (low 16 bits), block 1 for any other.
void CopyVarsToPP(std::uint32_t block);
void CopyPPtoVars(std::uint32_t block);
// Reference values and switching bands from record words 4-7.
void DeriveThresholds();
