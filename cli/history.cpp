// history: the parameter sets that passed the tool, in either program.
#include "params/history.h"
#include "cli/blocks.h"
#include "cli/commands.h"
#include "params/service_report.h"
#include "store/textfile.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace {
std::string HistoryEntryJson(const HistoryRecord& e) {
    Json j;
    j.add("command", "history").add("id", e.id).add("time", e.time).add("port", e.port);
    j.add("device", e.device);
    j.raw("hardware", e.hardware < 0 ? "null" : std::to_string(e.hardware));
    j.raw("firmware", e.firmware.empty() ? "null" : Json::quote(e.firmware));
    j.add("direction", e.direction).add("memory", e.memory);
    j.raw("file", e.file.empty() ? "null" : Json::quote(e.file));
    j.add("block", e.block);
    Image words{};
    std::copy(e.words.begin(), e.words.end(), words.begin());
    j.raw("words", BlockJson(words, e.block));
    return j.str();
}
} // namespace

int CmdHistory(Session& s) {
    const HistoryFile h = ReadHistory(HistoryFilePath());
    TellHistory(s, h.notice, "");
    if (!h.error.empty()) {
        s.io.fail(h.error);
        return kExitFile;
    }
    for (const HistoryRecord& e : h.records) {
        if (s.opts.json) {
            s.io.out(HistoryEntryJson(e) + "\n");
            continue;
        }
        char line[512];
        std::snprintf(line, sizeof line, "%5lld  %s  %-6s  %-6s  block %d  COM%d %s  hw %s  %s\n",
                      e.id, LocalTimeText(e.unixTime).c_str(), e.direction.c_str(),
                      e.memory.c_str(), e.block, e.port, e.device.c_str(),
                      e.hardware < 0 ? "-" : std::to_string(e.hardware).c_str(),
                      e.firmware.empty() ? "-" : e.firmware.c_str());
        std::string text = line;
        if (!e.file.empty()) {
            text += "       file " + e.file + "\n";
        }
        text += "      ";
        for (std::uint16_t w : e.words) {
            text += " " + std::to_string(w);
        }
        s.io.out(text + "\n");
    }
    if (!s.opts.json && h.records.empty()) {
        s.io.note("No parameter sets in " + HistoryFilePath());
    }
    return kExitOk;
}
