// get, send and diff: parameter blocks between the sensor, files and the history.
#include "cli/blocks.h"
#include "cli/commands.h"
#include "params/block_ops.h"
#include "params/history.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace {
// Block 0 of a history entry into the words in hand; false (reported) when there is none.
bool TakeHistoryEntry(Session& s, long long id) {
    const std::string path = HistoryFilePath();
    const HistoryFile h = ReadHistory(path);
    TellHistory(s, h.notice, "");
    if (!h.error.empty()) {
        s.io.fail(h.error);
        return false;
    }
    const HistoryRecord* e = FindHistoryEntry(h.records, id);
    if (!e) {
        s.io.fail("history entry " + std::to_string(id) + " not found in " + path);
        return false;
    }
    if (e->block != 0) {
        s.io.fail("history entry " + std::to_string(id) + " holds block 1; send takes block 0");
        return false;
    }
    std::copy(e->words.begin(), e->words.end(), s.block0.begin());
    return true;
}
} // namespace

int CmdGet(Session& s) {
    if (!Connect(s)) {
        return kExitFailed;
    }
    if (!GetBlock(s, MemoryOf(s.opts.from), s.opts.block)) {
        return kExitFailed;
    }
    const Image& words = BlockInHand(s, s.opts.block);
    if (!s.opts.output.empty()) {
        // The file the window's Send to File saves: block 0 and a sixteenth word of 0.
        Image file = s.block0;
        file[15] = 0;
        std::string error;
        if (!SaveParamFile(s.opts.output, file.data(), error)) {
            auto colon = error.find(": ");
            s.io.fail("Cannot save " + s.opts.output + ": " +
                      (colon == std::string::npos ? error : error.substr(colon + 2)));
            return kExitFailed;
        }
        Record(s, SetDirection::Saved, SetMemory::File, 0, file.data(), s.opts.output);
        s.io.note("Saved block 0 from " + s.opts.from + " to " + s.opts.output);
    }
    if (s.opts.json) {
        Json j;
        j.add("command", "get").add("from", s.opts.from).add("block", s.opts.block);
        j.raw("words", BlockJson(words, s.opts.block));
        if (!s.opts.output.empty()) {
            j.add("file", s.opts.output);
        }
        s.io.result(j);
    } else if (s.opts.output.empty()) {
        PrintBlock(s, words, s.opts.block,
                   "Block " + std::to_string(s.opts.block) + " (" + s.opts.from + "):");
    }
    return kExitOk;
}

int CmdSend(Session& s) {
    // A file or an entry is read and checked before the port is opened: a bad one sends nothing.
    if (!s.opts.args.empty() && !LoadParams(s, s.opts.args[0])) {
        return kExitFile;
    }
    if (s.opts.historyId > 0 && !TakeHistoryEntry(s, s.opts.historyId)) {
        return kExitFile;
    }
    if (!Connect(s)) {
        return kExitFailed;
    }
    int memory = MemoryOf(s.opts.to);
    if (s.opts.historyId > 0) {
        for (const auto& [index, value] : s.opts.sets) {
            s.block0[static_cast<std::size_t>(index)] = static_cast<std::uint16_t>(value);
        }
    } else if (s.opts.args.empty()) {
        if (!GetBlock(s, memory, 0)) {
            return kExitFailed;
        }
        for (const auto& [index, value] : s.opts.sets) {
            s.block0[static_cast<std::size_t>(index)] = static_cast<std::uint16_t>(value);
        }
    }
    ExchangeResult r = WriteBlock(com, memory, s.block0.data());
    if (!r.ok()) {
        s.io.fail(r.outcome == Outcome::PortLost ? PortLostText() : "Timeout-RS-232...", r);
        return kExitFailed;
    }
    Record(s, SetDirection::Sent, SetMemoryOf(memory), 0, s.block0.data());
    if (s.opts.json) {
        Json j;
        j.add("command", "send").add("to", s.opts.to).raw("words", BlockJson(s.block0, 0));
        s.io.result(j);
    } else {
        s.io.note("Transmit para1 Ok!");
    }
    return kExitOk;
}

int CmdDiff(Session& s) {
    Image sides[2];
    auto inSensor = [](const std::string& a) { return a == "ram" || a == "eeprom"; };
    // Files first: an invalid one ends the run before the port is opened.
    for (int side = 0; side < 2; ++side) {
        if (!inSensor(s.opts.args[side])) {
            if (!LoadParams(s, s.opts.args[side])) {
                return kExitFile;
            }
            sides[side] = s.block0;
        }
    }
    for (int side = 0; side < 2; ++side) {
        const std::string& a = s.opts.args[side];
        if (inSensor(a)) {
            if ((!s.portOpen && !Connect(s)) || !GetBlock(s, MemoryOf(a), 0)) {
                return kExitFailed;
            }
            sides[side] = s.block0;
        }
    }
    std::string list = "[";
    int differ = 0;
    for (int i = 0; i < kBlockWordCount; ++i) {
        if (sides[0][i] == sides[1][i]) {
            continue;
        }
        Json d;
        d.add("index", i).add("a", static_cast<unsigned>(sides[0][i]));
        d.add("b", static_cast<unsigned>(sides[1][i])).add("name", Block0Word(i).name);
        list += differ++ ? "," : "";
        list += d.str();
        if (!s.opts.json) {
            char line[96];
            std::snprintf(line, sizeof line, "%2d %6u %6u  %s\n", i,
                          static_cast<unsigned>(sides[0][i]), static_cast<unsigned>(sides[1][i]),
                          Block0Word(i).label);
            s.io.out(line);
        }
    }
    if (s.opts.json) {
        Json j;
        j.add("command", "diff").add("a", s.opts.args[0]).add("b", s.opts.args[1]);
        j.add("equal", differ == 0).raw("differences", list + "]");
        s.io.result(j);
    }
    return differ == 0 ? kExitOk : kExitFailed;
}
