// One parameter set as the history keeps it: when, from which sensor, which way it went and
// its words. The domain's record; store/history_store.h keeps a file of them.
#pragma once

#include <array>
#include <cstdint>
#include <string>

struct HistoryRecord {
    long long id = 0;          // 1, 2, ...: never reused within one history file
    std::int64_t unixTime = 0; // seconds since 1970, UTC
    std::string time;          // the same instant, local time in ISO 8601 with its offset
    int port = 0;
    std::string device;
    int hardware = -1;     // -1: not read
    std::string firmware;  // "": not read
    std::string direction; // got, sent, loaded, saved
    std::string memory;    // ram, eeprom, file
    std::string file;      // the parameter file (memory "file")
    int block = 0;         // 0 or 1
    std::array<std::uint16_t, 15> words{};
};
