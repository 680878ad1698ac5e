// Parameter blocks as the commands handle them: read from the sensor, loaded from a file,
// printed or told as JSON, and recorded in the history.
#pragma once

#include "cli/session.h"
#include "params/history.h"

#include <cstdint>
#include <string>

// kMemoryRam or kMemoryEeprom for "ram" or "eeprom".
int MemoryOf(const std::string& name);
SetMemory SetMemoryOf(int memory);
// The words in hand for block 0 or 1.
Image& BlockInHand(Session& s, int block);

// [{"index":0,"value":..,"name":..,"label":..}, ...]
std::string BlockJson(const Image& words, int block);
// The title, then one line per word with its label.
void PrintBlock(Session& s, const Image& words, int block, const std::string& title);

// Reads a block into the words in hand; false (reported) when the reply was not the block.
bool GetBlock(Session& s, int memory, int block);
// Loads a parameter file into block 0; false (reported) when it is refused.
bool LoadParams(Session& s, const std::string& path);

// The sensor as this run knows it: hardware type and firmware text only once they were read.
SensorIdentity CliSensor(const Session& s);
// Each history problem is told once a run; it never changes the command's outcome.
void TellHistory(Session& s, const std::string& notice, const std::string& error);
// A set that passed the tool, into the history.
void Record(Session& s, SetDirection direction, SetMemory memory, int block,
            const std::uint16_t* words, const std::string& file = "");
