// The window's side of the history: what the panel records, the History view, and the service
// report.
#include "core/state.h"
#include "link/link.h"
#include "params/block_ops.h"
#include "params/history.h"
#include "params/params.h"
#include "params/record.h"
#include "params/service_report.h"
#include "runtime/ui.h"
#include "serial/serial.h"
#include "store/textfile.h"
#include "views/pdf.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace {
// The session's sets in the report are those since the program started.
const std::int64_t g_sessionStart = static_cast<std::int64_t>(std::time(nullptr));

std::string BaseName(const std::string& path) {
    auto slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The status line holds 65 characters: the whole line goes to stderr, the line shows its gist.
void Tell(const std::string& full, const std::string& shown) {
    std::fprintf(stderr, "zel-vavod: %s\n", full.c_str());
    std::string text = shown.size() < static_cast<std::size_t>(kStatusLen)
                           ? shown
                           : shown.substr(0, static_cast<std::size_t>(kStatusLen - 1));
    ShowText(text.c_str());
}

void TellHistory(const HistoryFile& h) {
    const std::string name = BaseName(HistoryFilePath());
    if (!h.notice.empty()) {
        Tell(h.notice, name + " damaged: set aside, a new one started");
    }
    if (!h.error.empty()) {
        Tell(h.error, "Cannot write " + name + "!");
    }
}

SensorIdentity PanelSensor() {
    SensorIdentity s;
    s.port = com;
    s.device = ComDeviceName(com);
    s.hardware = pcbtype;
    s.firmware = FirmwareText();
    return s;
}

bool EndsWithPdf(const std::string& path) {
    if (path.size() < 4) {
        return false;
    }
    std::string end = path.substr(path.size() - 4);
    std::transform(end.begin(), end.end(), end.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return end == ".pdf";
}

// A block read for the report alone: the record, pp, the status line and the link figures stay.
ReportBlock ReadForReport(int memory, std::uint32_t block) {
    std::uint16_t sent[16];
    std::copy_n(parameter + kBlock0, kBlockWords, sent);
    sent[15] = 0;
    const LinkStats before = GetLinkStats();
    const ExchangeResult r = ReadBlock(com, memory, block, sent);
    RestoreLinkStats(before);
    ReportBlock out;
    out.answered = r.ok();
    if (out.answered) {
        std::copy_n(r.reply.words.begin(), out.words.size(), out.words.begin());
    }
    return out;
}
} // namespace

namespace {
// A set that passed while sets are held: as it was then, the sensor as known then.
struct HeldSet {
    SensorIdentity sensor;
    SetDirection direction;
    SetMemory memory;
    int block;
    decltype(HistoryRecord::words) words;
    std::string file;
    std::int64_t unixTime;
};
bool g_holdSets = false;
std::vector<HeldSet> g_heldSets;

void Record(const SensorIdentity& sensor, SetDirection direction, SetMemory memory, int block,
            const std::uint16_t* words, const std::string& file, std::int64_t unixTime) {
    const HistoryNote note = RecordSet(sensor, direction, memory, block, words, file, unixTime);
    HistoryFile h;
    h.notice = note.notice;
    h.error = note.error;
    TellHistory(h);
}
} // namespace

void NoteSetPassed(SetDirection direction, SetMemory memory, int block, const std::uint16_t* words,
                   const char* file) {
    if (g_holdSets) {
        HeldSet s{PanelSensor(),
                  direction,
                  memory,
                  block,
                  {},
                  file ? file : "",
                  static_cast<std::int64_t>(std::time(nullptr))};
        std::copy_n(words, s.words.size(), s.words.begin());
        g_heldSets.push_back(std::move(s));
        return;
    }
    Record(PanelSensor(), direction, memory, block, words, file ? file : "", 0);
}

void HoldSets() {
    g_holdSets = true;
}

void WriteHeldSets() {
    g_holdSets = false;
    std::vector<HeldSet> held;
    held.swap(g_heldSets);
    for (const HeldSet& s : held) {
        Record(s.sensor, s.direction, s.memory, s.block, s.words.data(), s.file, s.unixTime);
    }
}

int CC_BTNHistory(int, int, int event, void*, int, int) {
    if (event == EVENT_LEFT_CLICK) {
        ShowText("History...");
        return 0;
    }
    if (event != EVENT_COMMIT) {
        return 0;
    }
    const HistoryFile h = ReadHistory(HistoryFilePath());
    TellHistory(h);
    const std::vector<HistoryRecord> entries(h.records.rbegin(), h.records.rend());
    // The texts the rows point at live as long as the dialog.
    std::vector<std::string> times, memories, ports;
    std::vector<HistoryViewRow> rows;
    for (const HistoryRecord& e : entries) {
        times.push_back(LocalTimeText(e.unixTime));
        memories.push_back(e.memory == "ram"      ? "RAM"
                           : e.memory == "eeprom" ? "EEPROM"
                                                  : BaseName(e.file));
        ports.push_back("COM" + std::to_string(e.port) + " " + e.device);
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const HistoryRecord& e = entries[i];
        rows.push_back({e.id, times[i].c_str(), e.direction.c_str(), memories[i].c_str(),
                        ports[i].c_str(), e.firmware.c_str(), e.block, e.words.data()});
    }
    std::uint16_t panel[kBlockWords];
    PanelBlock0(panel);
    const int choice = ShowHistoryDialog("Parameter set history", rows.data(),
                                         static_cast<int>(rows.size()), panel, Block0RowTitles());
    // As Compare's take: the record and the panel hold the set, the marks show it as unsent.
    if (choice >= 0 && choice < static_cast<int>(entries.size()) &&
        entries[static_cast<std::size_t>(choice)].block == 0) {
        const HistoryRecord& e = entries[static_cast<std::size_t>(choice)];
        std::copy(e.words.begin(), e.words.end(), parameter + kBlock0);
        SetPanelValues();
    }
    return 0;
}

int CC_BTNReport(int, int, int event, void*, int, int) {
    if (event == EVENT_LEFT_CLICK) {
        ShowText("Service report...");
        return 0;
    }
    if (event != EVENT_COMMIT) {
        return 0;
    }
    ServiceReportData d;
    d.madeAt = static_cast<std::int64_t>(std::time(nullptr));
    std::string name = "service-report-" + LocalTimeText(d.madeAt) + ".html";
    std::replace(name.begin(), name.end(), ' ', '_');
    std::replace(name.begin(), name.end(), ':', '-');
    char path[kPathLen] = "";
    if (FileSelectPopup(proj_dir, name.c_str(), "*.html",
                        "Service report (HTML; PDF for a name ending in .pdf)", VAL_OK_BUTTON, 0, 0,
                        1, 1, path) <= 0) {
        return 0;
    }
    // As for Get: a data reply in flight lands first.
    LetDataReplyLand();
    for (int block = 0; block < 2; ++block) {
        d.ram[block] = ReadForReport(kMemoryRam, static_cast<std::uint32_t>(block));
        d.eeprom[block] = ReadForReport(kMemoryEeprom, static_cast<std::uint32_t>(block));
        d.answered = d.answered || d.ram[block].answered || d.eeprom[block].answered;
    }
    ResumeDataStream(); // a running scope goes on
    d.program = "ZEL-A-2X-Vavod";
    d.sensor = PanelSensor();
    const HistoryFile h = ReadHistory(HistoryFilePath());
    TellHistory(h);
    d.history = SensorEntriesSince(h.records, d.sensor, g_sessionStart);
    d.historyScope = "Parameter sets that passed the tool for this sensor since the program "
                     "started (" +
                     LocalTimeText(g_sessionStart) + "), oldest first.";
    const std::string html = ServiceReportHtml(d);
    std::string error;
    bool written = false;
    if (EndsWithPdf(path)) {
        written = WriteHtmlAsPdf(html, path, "Service report", error);
    } else if (!(written = WriteFileAtomic(path, html, &error))) {
        error = std::string(path) + ": cannot be written (" + error + ")";
    }
    if (written) {
        SetStatus(("Service report saved: " + BaseName(path)).c_str());
        ShowStatus();
    } else {
        Tell(error, "Cannot write " + BaseName(path) + "!");
    }
    return 0;
}
