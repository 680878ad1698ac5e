// The history file: the parameter sets that passed the tool, kept per user as one JSON document
// that is replaced whole on every change. Plain C++ interface; implemented on Qt Core's JSON.
#pragma once

#include "params/history_record.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The newest document layout this program reads and writes.
inline constexpr int kHistoryVersion = 1;
// A history holds at most a thousand entries of about 300 bytes: a larger file is not ours.
inline constexpr std::size_t kMaxHistoryBytes = 2 * 1024 * 1024;

struct HistoryFile {
    std::vector<HistoryRecord> records; // oldest first
    long long nextId = 1;
    // One line each, for the operator: a damaged file that was set aside and replaced by an
    // empty history (notice), or a file that could not be read or written (error).
    std::string notice;
    std::string error;
};

// The largest id a history holds: the largest whole number a JSON reader takes exactly.
inline constexpr long long kMaxHistoryId = 9007199254740991LL;

// A history document parsed: false, with the reason, when it is not one this program reads.
bool ParseHistoryDocument(std::string_view text, HistoryFile& h, std::string& why);
// The document as the program writes it.
std::string HistoryDocumentText(const HistoryFile& h);
// The highest id a text shows ("id" or "next_id" less one), damaged or not: a new history
// goes on above it.
long long HighestHistoryId(std::string_view text);

// The user's history file: GenericDataLocation/zel-vavod/history.json ($XDG_DATA_HOME on Linux).
std::string HistoryFilePath();

// Reads a history. A missing file is an empty history. A file that cannot be one of ours (cut
// short, not JSON, a later version, a value out of range, over kMaxHistoryBytes) is renamed to
// PATH.damaged-YYYYmmdd-HHMMSS, which `notice` names, and the history starts empty.
HistoryFile ReadHistory(const std::string& path);

// Adds `record` with the next id and the time now (unless unixTime is set), keeps the newest
// `limit` entries and replaces the file atomically, under a lock shared with every process of
// the program. Returns the history as written; `error` says why it was not.
HistoryFile AppendHistory(const std::string& path, HistoryRecord record, std::size_t limit);
