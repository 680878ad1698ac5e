// The parameter set as operations without a face: read and write a block in the sensor,
// parameter files, and the one table of what each block 0 word means.
#pragma once

#include "link/exchange.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>

inline constexpr int kMemoryRam = 1;    // RAM
inline constexpr int kMemoryEeprom = 2; // EEPROM
inline constexpr int kParamFileWords = 16;

using BlockWords = std::array<std::uint16_t, 15>;

// Order 2 (RAM) or 4 (EEPROM) for `block` (its low 16 bits go out as the second word), with
// `sent` as data words; the queues are flushed first. Answered for a standard reply, whatever it
// echoes; its first 15 words are the block. `written` runs once the request went out whole.
ExchangeResult ReadBlock(int port, int memory, std::uint32_t block, const std::uint16_t* sent,
                         const std::function<void()>& written = {});
// Order 1 (RAM) or 3 (EEPROM) with block 0; no reply is awaited. Answered when written whole.
ExchangeResult WriteBlock(int port, int memory, const std::uint16_t* words);

// A block 0 word: the panel field's object name and its label ("" for words kept only in the
// record).
struct WordInfo {
    const char* name;
    const char* label;
};
const WordInfo& Block0Word(int index);

struct ParamFileLoad {
    bool ok = false;
    std::array<std::uint16_t, kParamFileWords> words{}; // low 16 bits of each number
    int line = 0;       // where it went wrong (1-based), 0 when the file could not be read
    std::string reason; // "\"x\" is not a parameter word", "15 numbers, a parameter file holds 16"
    std::string message() const; // "PATH:LINE: REASON" or "PATH: cannot be read (...)"
    std::string path;
};
// Reads the first 16 numbers of a parameter file (a plus sign and leading zeros allowed, each
// at most 4294967295).
ParamFileLoad LoadParamFile(const std::string& path);
// Writes 16 words, one per line, atomically. False with `error` set when it failed.
bool SaveParamFile(const std::string& path, const std::uint16_t* words16, std::string& error);
