#include "cli/blocks.h"

#include "params/block_ops.h"
#include "serial/serial.h"

#include <algorithm>
#include <cstdio>

int MemoryOf(const std::string& name) {
    return name == "eeprom" ? kMemoryEeprom : kMemoryRam;
}

SetMemory SetMemoryOf(int memory) {
    return memory == kMemoryEeprom ? SetMemory::Eeprom : SetMemory::Ram;
}

Image& BlockInHand(Session& s, int block) {
    return block == 0 ? s.block0 : s.block1;
}

std::string BlockJson(const Image& words, int block) {
    std::string out = "[";
    for (int i = 0; i < kBlockWordCount; ++i) {
        Json w;
        w.add("index", i).add("value", static_cast<unsigned>(words[i]));
        w.add("name", block == 0 ? Block0Word(i).name : "");
        w.add("label", block == 0 ? Block0Word(i).label : "");
        out += i ? "," : "";
        out += w.str();
    }
    return out + "]";
}

void PrintBlock(Session& s, const Image& words, int block, const std::string& title) {
    std::string text = title + "\n";
    for (int i = 0; i < kBlockWordCount; ++i) {
        char line[96];
        std::snprintf(line, sizeof line, "  %2d %6u  %s\n", i, static_cast<unsigned>(words[i]),
                      block == 0 ? Block0Word(i).label : "");
        text += line;
    }
    s.io.out(text);
}

bool GetBlock(Session& s, int memory, int block) {
    ExchangeResult r =
        ReadBlock(com, memory, static_cast<std::uint32_t>(block), BlockInHand(s, block).data());
    if (!r.ok()) {
        s.io.fail(BlockReadText(r), r);
        return false;
    }
    std::copy_n(r.reply.words.begin(), kBlockWordCount, BlockInHand(s, block).begin());
    Record(s, SetDirection::Got, SetMemoryOf(memory), block, r.reply.words.data());
    return true;
}

bool LoadParams(Session& s, const std::string& path) {
    ParamFileLoad file = LoadParamFile(path);
    if (!file.ok) {
        s.io.fail(file.message());
        return false;
    }
    std::copy_n(file.words.begin(), kBlockWordCount, s.block0.begin());
    Record(s, SetDirection::Loaded, SetMemory::File, 0, file.words.data(), path);
    return true;
}

SensorIdentity CliSensor(const Session& s) {
    SensorIdentity id;
    id.port = com;
    id.device = ComDeviceName(com);
    id.hardware = s.hardwareRead ? static_cast<int>(s.hardware) : -1;
    id.firmware = s.log.identified ? s.log.firmware : "";
    return id;
}

void TellHistory(Session& s, const std::string& notice, const std::string& error) {
    for (const std::string& line : {notice, error}) {
        if (!line.empty() && s.historyTold.insert(line).second) {
            Error(line);
        }
    }
}

void Record(Session& s, SetDirection direction, SetMemory memory, int block,
            const std::uint16_t* words, const std::string& file) {
    const HistoryNote note = RecordSet(CliSensor(s), direction, memory, block, words, file);
    TellHistory(s, note.notice, note.error);
}
