// The history of parameter sets: every set got from the sensor, sent to it, loaded from or
// saved to a parameter file, in either program, with where it went and which sensor it was.
// Headless: the window's routines and the command-line tool record through it alike.
#pragma once

#include "store/history_store.h"

#include <cstdint>
#include <string>
#include <vector>

// The newest entries kept; older ones are dropped as new ones come.
inline constexpr std::size_t kHistoryLimit = 1000;

// The sensor a set belongs to: the port in use and what the program last read of it.
struct SensorIdentity {
    int port = 0;
    std::string device;
    int hardware = -1;    // -1: not read
    std::string firmware; // "": not read
};

enum class SetDirection { Got, Sent, Loaded, Saved };
enum class SetMemory { Ram, Eeprom, File };

const char* DirectionName(SetDirection direction);
const char* MemoryName(SetMemory memory);

// What recording one set did. A history that cannot be written never fails the operation that
// passed the set: the caller tells the operator the notice and the error, and goes on.
struct HistoryNote {
    long long id = 0; // the entry's id, 0 when it was not written
    std::string notice, error;
    bool written() const { return id > 0; }
};

// Appends one set (15 words) to the user's history; `unixTime` is when it passed (0: now).
HistoryNote RecordSet(const SensorIdentity& sensor, SetDirection direction, SetMemory memory,
                      int block, const std::uint16_t* words, const std::string& file = "",
                      std::int64_t unixTime = 0);

// The entry with this id, or nullptr.
const HistoryRecord* FindHistoryEntry(const std::vector<HistoryRecord>& entries, long long id);

// The same sensor: the same device, and the same hardware type and firmware text where both
// are known (a set got before the firmware was read still belongs to it).
bool SameSensor(const HistoryRecord& entry, const SensorIdentity& sensor);

// This sensor's entries since `since` (seconds since 1970), oldest first: a window's session.
std::vector<HistoryRecord> SensorEntriesSince(const std::vector<HistoryRecord>& entries,
                                              const SensorIdentity& sensor, std::int64_t since);
// This sensor's newest entries back to the first pause longer than `gapSeconds`, oldest first:
// one service visit, as separate command-line runs make it up.
std::vector<HistoryRecord> SensorVisit(const std::vector<HistoryRecord>& entries,
                                       const SensorIdentity& sensor, std::int64_t gapSeconds);
inline constexpr std::int64_t kVisitGapSeconds = 30 * 60;
