#include "params/history.h"

#include <algorithm>

const char* DirectionName(SetDirection direction) {
    switch (direction) {
    case SetDirection::Got:
        return "got";
    case SetDirection::Sent:
        return "sent";
    case SetDirection::Loaded:
        return "loaded";
    case SetDirection::Saved:
        return "saved";
    }
    return "got";
}

const char* MemoryName(SetMemory memory) {
    switch (memory) {
    case SetMemory::Ram:
        return "ram";
    case SetMemory::Eeprom:
        return "eeprom";
    case SetMemory::File:
        return "file";
    }
    return "ram";
}

HistoryNote RecordSet(const SensorIdentity& sensor, SetDirection direction, SetMemory memory,
                      int block, const std::uint16_t* words, const std::string& file,
                      std::int64_t unixTime) {
    HistoryRecord r;
    r.unixTime = unixTime;
    r.port = sensor.port;
    r.device = sensor.device;
    r.hardware = sensor.hardware;
    r.firmware = sensor.firmware;
    r.direction = DirectionName(direction);
    r.memory = MemoryName(memory);
    // The file's name is what tells a file entry apart; one without a name is still the file's.
    r.file = memory == SetMemory::File ? (file.empty() ? "?" : file) : "";
    r.block = block == 0 ? 0 : 1;
    std::copy_n(words, r.words.size(), r.words.begin());
    HistoryFile h = AppendHistory(HistoryFilePath(), std::move(r), kHistoryLimit);
    HistoryNote note;
    note.notice = h.notice;
    note.error = h.error;
    if (h.error.empty() && !h.records.empty()) {
        note.id = h.records.back().id;
    }
    return note;
}

const HistoryRecord* FindHistoryEntry(const std::vector<HistoryRecord>& entries, long long id) {
    auto it = std::find_if(entries.begin(), entries.end(),
                           [id](const HistoryRecord& r) { return r.id == id; });
    return it == entries.end() ? nullptr : &*it;
}

bool SameSensor(const HistoryRecord& entry, const SensorIdentity& sensor) {
    if (entry.memory == "file") {
        return false; // a file's set came from no sensor
    }
    if (entry.device != sensor.device) {
        return false;
    }
    if (entry.hardware >= 0 && sensor.hardware >= 0 && entry.hardware != sensor.hardware) {
        return false;
    }
    return entry.firmware.empty() || sensor.firmware.empty() || entry.firmware == sensor.firmware;
}

std::vector<HistoryRecord> SensorEntriesSince(const std::vector<HistoryRecord>& entries,
                                              const SensorIdentity& sensor, std::int64_t since) {
    std::vector<HistoryRecord> out;
    for (const HistoryRecord& r : entries) {
        if (r.unixTime >= since && SameSensor(r, sensor)) {
            out.push_back(r);
        }
    }
    return out;
}

std::vector<HistoryRecord> SensorVisit(const std::vector<HistoryRecord>& entries,
                                       const SensorIdentity& sensor, std::int64_t gapSeconds) {
    std::vector<HistoryRecord> out;
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
        if (!SameSensor(*it, sensor)) {
            continue;
        }
        if (!out.empty() && out.back().unixTime - it->unixTime > gapSeconds) {
            break;
        }
        out.push_back(*it);
    }
    std::reverse(out.begin(), out.end());
    return out;
}
