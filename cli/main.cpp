// zel-vavod-cli: the sensor's service operations from the command line, without a window. Every
// outcome comes from the operations' typed results and is told in the tool's own words, the
// same the window's status line uses.
#include "app/places.h"
#include "calib/flash_ops.h"
#include "calib/header_words.h"
#include "cli/cli.h"
#include "link/exchange.h"
#include "link/sensor.h"
#include "link/traffic.h"
#include "params/bands.h"
#include "params/block_ops.h"
#include "params/history.h"
#include "params/service_report.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/host.h"
#include "platform/serial.h"
#include "platform/textfile.h"
#include "scope/scope_csv.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

CliOptions g_opts;
bool g_interrupted = false;
bool g_lost = false;
bool g_portOpen = false;

// The words a frame carries: block 0 as the tool starts with it, or as last read or loaded.
using Image = std::array<std::uint16_t, 16>;
constexpr int kBlockWordCount = static_cast<int>(std::tuple_size_v<BlockWords>);
Image g_block0{};
Image g_block1{};
std::uint16_t g_hardware = 0;
bool g_hardwareRead = false;

// ---- output ----

// Everything for stdout goes through here, so that a write that fails is noticed.
int g_stdoutErrno = 0;

void Out(const std::string& text) {
    if (g_stdoutErrno == 0 && std::fputs(text.c_str(), stdout) == EOF) {
        g_stdoutErrno = errno ? errno : EIO;
    }
}

// Flushes stdout; false (and the reason kept) when what was written did not get out.
bool FlushStdout() {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        if (g_stdoutErrno == 0) {
            g_stdoutErrno = errno ? errno : EIO;
        }
    }
    return g_stdoutErrno == 0;
}

void Note(const std::string& line) {
    if (!g_opts.quiet) {
        std::fprintf(stderr, "%s\n", line.c_str());
    }
}

void Error(const std::string& line) {
    std::fprintf(stderr, "zel-vavod-cli: %s\n", line.c_str());
}

std::string WriteError(const std::string& name, int err) {
    return name + ": cannot be written (" + std::strerror(err) + ")";
}

void Result(const Json& j) {
    Out(j.str() + "\n");
    FlushStdout();
}

// The first thing that went wrong, for the JSON failure object.
struct Failure {
    bool set = false;
    std::string message;
    bool exchanged = false; // an exchange's result stands behind it
    Outcome outcome = Outcome::Answered;
    int order = 0;
    unsigned address = 0;
} g_failure;

void Fail(const std::string& message) {
    Error(message);
    if (!g_failure.set) {
        g_failure.set = true;
        g_failure.message = message;
    }
}

void Fail(const std::string& message, const ExchangeResult& r) {
    bool first = !g_failure.set;
    Fail(message);
    if (first) {
        g_failure.exchanged = true;
        g_failure.outcome = r.outcome;
        g_failure.order = r.order;
        g_failure.address = r.address;
    }
}

std::string FailureJson(const std::string& command) {
    Json j;
    j.add("command", command).add("ok", false).add("error", g_failure.message);
    if (g_failure.exchanged) {
        j.add("outcome", OutcomeName(g_failure.outcome)).add("order", g_failure.order);
        j.add("address", g_failure.address);
    }
    return j.str();
}

std::string Now() {
    std::time_t t = std::time(nullptr);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S%z", std::localtime(&t));
    return buf;
}

struct LogEntry {
    bool identified = false; // hardware type and firmware text were read
    std::string firmware;
    std::vector<int> failedPages;
    bool failed = false; // a line could not be appended
} g_log;

void LogOperation(const std::string& outcome) {
    if (g_opts.logFile.empty()) {
        return;
    }
    Json j;
    j.add("time", Now()).add("port", com).add("device", ComDeviceName(com));
    j.raw("hardware", g_log.identified && g_hardwareRead ? std::to_string(g_hardware) : "null");
    j.raw("firmware", g_log.identified ? Json::quote(g_log.firmware) : "null");
    j.add("command", g_opts.command).add("outcome", outcome);
    std::string pages = "[";
    for (std::size_t i = 0; i < g_log.failedPages.size(); ++i) {
        pages += i ? "," : "";
        pages += std::to_string(g_log.failedPages[i]);
    }
    j.raw("failed_pages", pages + "]");
    const std::string line = j.str() + "\n";
    errno = 0;
    std::string why;
    FILE* f = OpenOutputFile(g_opts.logFile, true, why);
    bool ok = f && std::fputs(line.c_str(), f) != EOF;
    int err = errno;
    if (f && std::fclose(f) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        Error("cannot append to " + g_opts.logFile + ": " +
              (f ? std::strerror(err ? err : EIO) : why));
        g_log.failed = true;
    }
}

// Ends an operation: the log line, and the exit code.
int Done(int code) {
    LogOperation(code == kExitOk ? "ok" : code == kExitFile ? "file error" : "failed");
    return code;
}

// ---- port and sensor ----

void OnPortLost(int) {
    g_lost = true;
}

void OnInterrupt() {
    g_interrupted = true;
}

// Pumps events for `seconds`, so the port and Ctrl-C are served meanwhile.
void Wait(double seconds) {
    double t0 = Timer();
    while (Timer() - t0 < seconds && !g_interrupted) {
        ProcessSystemEvents();
    }
}

std::string PortName(int port) {
    return "COM" + std::to_string(port) + " " + ComDeviceName(port);
}

bool OpenPort() {
    int r = OpenLine(com);
    if (r < 0) {
        // The reason names the device itself; the address is said once.
        std::string why = ComOpenFailureReason(com);
        if (const std::string device = ComDeviceName(com) + ": "; why.rfind(device, 0) == 0) {
            why.erase(0, device.size());
        }
        Fail(std::string(ComOpenErrorText(r)) + ": " + PortName(com) +
             (why.empty() ? "" : ": " + why));
        return false;
    }
    g_portOpen = true;
    return true;
}

void ClosePort() {
    if (g_portOpen) {
        CloseCom(com);
        g_portOpen = false;
    }
    ClearPortLost();
    g_lost = false;
}

// The window's words for an exchange that did not get its reply.
std::string LineCheckText(const ExchangeResult& r) {
    if (r.outcome == Outcome::PortLost) {
        return PortLostText();
    }
    if (r.outcome == Outcome::Timeout || r.outcome == Outcome::NotWritten) {
        return "Timeout-RS-232...";
    }
    return "read error - not sync byte 0xAA!";
}

std::string BlockReadText(const ExchangeResult& r) {
    if (r.ok()) {
        return "Parameter-frame received! - Line Ok!";
    }
    if (r.outcome == Outcome::PortLost) {
        return PortLostText();
    }
    return "Timeout-RS-232...";
}

std::string CommandText(const ExchangeResult& r) {
    return r.outcome == Outcome::PortLost ? PortLostText() : "Timeout RS-232!!";
}

// Reads hardware type and firmware text; true when both came.
bool Identify() {
    ExchangeResult hw = ReadHardwareType(com, g_block0.data());
    if (hw.reply.kind == REPLY_STANDARD) {
        g_hardware = HardwareTypeOf(hw);
    }
    g_hardwareRead = hw.ok();
    FirmwareResult fw = ReadFirmware(com, g_block0.data(), g_hardware);
    bool fwOk = fw.outcome == Outcome::Answered;
    g_log.identified = hw.ok() || fwOk;
    g_log.firmware = fwOk ? Latin1ToUtf8(fw.text) : "";
    return hw.ok() && fwOk;
}

// Opens the port and checks the line; a failure has been reported.
bool Connect(bool identify = true) {
    if (!g_portOpen && !OpenPort()) {
        return false;
    }
    ExchangeResult r = LineCheck(com, g_block0.data());
    if (!r.ok()) {
        Fail(LineCheckText(r), r);
        return false;
    }
    if (identify && !g_opts.logFile.empty()) {
        Identify();
    }
    return true;
}

bool LostReported() {
    if (g_lost) {
        Fail(PortLostText());
        return true;
    }
    return false;
}

// ---- history ----

// The sensor as this run knows it: hardware type and firmware text only once they were read.
SensorIdentity CliSensor() {
    SensorIdentity s;
    s.port = com;
    s.device = ComDeviceName(com);
    s.hardware = g_hardwareRead ? static_cast<int>(g_hardware) : -1;
    s.firmware = g_log.identified ? g_log.firmware : "";
    return s;
}

// Each history problem is told once a run; it never changes the command's outcome.
void TellHistory(const std::string& notice, const std::string& error) {
    static std::set<std::string> told;
    for (const std::string& line : {notice, error}) {
        if (!line.empty() && told.insert(line).second) {
            Error(line);
        }
    }
}

void Record(SetDirection direction, SetMemory memory, int block, const std::uint16_t* words,
            const std::string& file = "") {
    const HistoryNote note = RecordSet(CliSensor(), direction, memory, block, words, file);
    TellHistory(note.notice, note.error);
}

SetMemory SetMemoryOf(int memory) {
    return memory == kMemoryEeprom ? SetMemory::Eeprom : SetMemory::Ram;
}

// ---- parameter blocks ----

int MemoryOf(const std::string& name) {
    return name == "eeprom" ? kMemoryEeprom : kMemoryRam;
}

Image& BlockInHand(int block) {
    return block == 0 ? g_block0 : g_block1;
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

void PrintBlock(const Image& words, int block, const std::string& title) {
    std::string text = title + "\n";
    for (int i = 0; i < kBlockWordCount; ++i) {
        char line[96];
        std::snprintf(line, sizeof line, "  %2d %6u  %s\n", i, static_cast<unsigned>(words[i]),
                      block == 0 ? Block0Word(i).label : "");
        text += line;
    }
    Out(text);
}

// Reads a block into the words in hand; false (reported) when the reply was not the block.
bool GetBlock(int memory, int block) {
    ExchangeResult r =
        ReadBlock(com, memory, static_cast<std::uint32_t>(block), BlockInHand(block).data());
    if (!r.ok()) {
        Fail(BlockReadText(r), r);
        return false;
    }
    std::copy_n(r.reply.words.begin(), kBlockWordCount, BlockInHand(block).begin());
    Record(SetDirection::Got, SetMemoryOf(memory), block, r.reply.words.data());
    return true;
}

// Loads a parameter file into block 0; false (reported) when it is refused.
bool LoadParams(const std::string& path) {
    ParamFileLoad file = LoadParamFile(path);
    if (!file.ok) {
        Fail(file.message());
        return false;
    }
    std::copy_n(file.words.begin(), kBlockWordCount, g_block0.begin());
    Record(SetDirection::Loaded, SetMemory::File, 0, file.words.data(), path);
    return true;
}

// ---- commands ----

int CmdInfo() {
    if (!Connect(false)) {
        return kExitFailed;
    }
    const std::string line = "Echo Check - Line Ok!";
    // The start-up exchange's steps, with its pauses.
    Delay(kStartupPauseSec);
    ExchangeResult hwr = ReadHardwareType(com, g_block0.data());
    if (hwr.reply.kind == REPLY_STANDARD) {
        g_hardware = HardwareTypeOf(hwr);
    }
    g_hardwareRead = hwr.ok();
    if (!hwr.ok()) {
        Fail("Error reading HARDWARE-info!", hwr);
    }
    Delay(kStartupPauseSec);
    bool ok0 = GetBlock(kMemoryRam, 0);
    Delay(kStartupPauseSec);
    bool ok1 = GetBlock(kMemoryRam, 1);
    Delay(kStartupPauseSec);
    FirmwareResult fwr = ReadFirmware(com, g_block1.data(), g_hardware);
    bool fw = fwr.outcome == Outcome::Answered;
    std::string firmware = fw ? Latin1ToUtf8(fwr.text) : "";
    if (!fw) {
        Fail("Error reading firmware-info!");
    }
    g_log.identified = true;
    g_log.firmware = firmware;
    if (g_opts.json) {
        Json j;
        j.add("command", "info").add("port", com).add("device", ComDeviceName(com));
        // What was not read is null: 0 is a real hardware type, "" a real firmware text.
        j.add("line", line).raw("hardware", g_hardwareRead ? std::to_string(g_hardware) : "null");
        if (fw) {
            j.add("firmware", firmware);
        } else {
            j.raw("firmware", "null");
        }
        j.raw("block0", ok0 ? BlockJson(g_block0, 0) : "null");
        j.raw("block1", ok1 ? BlockJson(g_block1, 1) : "null");
        Result(j);
    } else {
        Out("Port:          " + PortName(com) + "\n");
        Out("Line:          " + line + "\n");
        Out("Hardware type: " + (g_hardwareRead ? std::to_string(g_hardware) : "(not read)") +
            "\n");
        Out("Firmware:      " + (fw ? firmware : "(not read)") + "\n");
        if (ok0) {
            PrintBlock(g_block0, 0, "Block 0 (RAM):");
        }
        if (ok1) {
            PrintBlock(g_block1, 1, "Block 1 (RAM):");
        }
    }
    return hwr.ok() && ok0 && ok1 && fw ? kExitOk : kExitFailed;
}

int CmdGet() {
    if (!Connect()) {
        return kExitFailed;
    }
    if (!GetBlock(MemoryOf(g_opts.from), g_opts.block)) {
        return kExitFailed;
    }
    const Image& words = BlockInHand(g_opts.block);
    if (!g_opts.output.empty()) {
        // The file the window's Send to File saves: block 0 and a sixteenth word of 0.
        Image file = g_block0;
        file[15] = 0;
        std::string error;
        if (!SaveParamFile(g_opts.output, file.data(), error)) {
            auto colon = error.find(": ");
            Fail("Cannot save " + g_opts.output + ": " +
                 (colon == std::string::npos ? error : error.substr(colon + 2)));
            return kExitFailed;
        }
        Record(SetDirection::Saved, SetMemory::File, 0, file.data(), g_opts.output);
        Note("Saved block 0 from " + g_opts.from + " to " + g_opts.output);
    }
    if (g_opts.json) {
        Json j;
        j.add("command", "get").add("from", g_opts.from).add("block", g_opts.block);
        j.raw("words", BlockJson(words, g_opts.block));
        if (!g_opts.output.empty()) {
            j.add("file", g_opts.output);
        }
        Result(j);
    } else if (g_opts.output.empty()) {
        PrintBlock(words, g_opts.block,
                   "Block " + std::to_string(g_opts.block) + " (" + g_opts.from + "):");
    }
    return kExitOk;
}

// Block 0 of a history entry into the words in hand; false (reported) when there is none.
bool TakeHistoryEntry(long long id) {
    const std::string path = HistoryFilePath();
    const HistoryFile h = ReadHistory(path);
    TellHistory(h.notice, "");
    if (!h.error.empty()) {
        Fail(h.error);
        return false;
    }
    const HistoryRecord* e = FindHistoryEntry(h.records, id);
    if (!e) {
        Fail("history entry " + std::to_string(id) + " not found in " + path);
        return false;
    }
    if (e->block != 0) {
        Fail("history entry " + std::to_string(id) + " holds block 1; send takes block 0");
        return false;
    }
    std::copy(e->words.begin(), e->words.end(), g_block0.begin());
    return true;
}

int CmdSend() {
    // A file or an entry is read and checked before the port is opened: a bad one sends nothing.
    if (!g_opts.args.empty() && !LoadParams(g_opts.args[0])) {
        return kExitFile;
    }
    if (g_opts.historyId > 0 && !TakeHistoryEntry(g_opts.historyId)) {
        return kExitFile;
    }
    if (!Connect()) {
        return kExitFailed;
    }
    int memory = MemoryOf(g_opts.to);
    if (g_opts.historyId > 0) {
        for (const auto& [index, value] : g_opts.sets) {
            g_block0[static_cast<std::size_t>(index)] = static_cast<std::uint16_t>(value);
        }
    } else if (g_opts.args.empty()) {
        if (!GetBlock(memory, 0)) {
            return kExitFailed;
        }
        for (const auto& [index, value] : g_opts.sets) {
            g_block0[static_cast<std::size_t>(index)] = static_cast<std::uint16_t>(value);
        }
    }
    ExchangeResult r = WriteBlock(com, memory, g_block0.data());
    if (!r.ok()) {
        Fail(r.outcome == Outcome::PortLost ? PortLostText() : "Timeout-RS-232...", r);
        return kExitFailed;
    }
    Record(SetDirection::Sent, SetMemoryOf(memory), 0, g_block0.data());
    if (g_opts.json) {
        Json j;
        j.add("command", "send").add("to", g_opts.to).raw("words", BlockJson(g_block0, 0));
        Result(j);
    } else {
        Note("Transmit para1 Ok!");
    }
    return kExitOk;
}

int CmdDiff() {
    Image sides[2];
    auto inSensor = [](const std::string& a) { return a == "ram" || a == "eeprom"; };
    // Files first: an invalid one ends the run before the port is opened.
    for (int s = 0; s < 2; ++s) {
        if (!inSensor(g_opts.args[s])) {
            if (!LoadParams(g_opts.args[s])) {
                return kExitFile;
            }
            sides[s] = g_block0;
        }
    }
    for (int s = 0; s < 2; ++s) {
        const std::string& a = g_opts.args[s];
        if (inSensor(a)) {
            if ((!g_portOpen && !Connect()) || !GetBlock(MemoryOf(a), 0)) {
                return kExitFailed;
            }
            sides[s] = g_block0;
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
        if (!g_opts.json) {
            char line[96];
            std::snprintf(line, sizeof line, "%2d %6u %6u  %s\n", i,
                          static_cast<unsigned>(sides[0][i]), static_cast<unsigned>(sides[1][i]),
                          Block0Word(i).label);
            Out(line);
        }
    }
    if (g_opts.json) {
        Json j;
        j.add("command", "diff").add("a", g_opts.args[0]).add("b", g_opts.args[1]);
        j.add("equal", differ == 0).raw("differences", list + "]");
        Result(j);
    }
    return differ == 0 ? kExitOk : kExitFailed;
}

// ---- history and report ----

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

int CmdHistory() {
    const HistoryFile h = ReadHistory(HistoryFilePath());
    TellHistory(h.notice, "");
    if (!h.error.empty()) {
        Fail(h.error);
        return kExitFile;
    }
    for (const HistoryRecord& e : h.records) {
        if (g_opts.json) {
            Out(HistoryEntryJson(e) + "\n");
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
        Out(text + "\n");
    }
    if (!g_opts.json && h.records.empty()) {
        Note("No parameter sets in " + HistoryFilePath());
    }
    return kExitOk;
}

bool EndsWith(const std::string& s, const std::string& end) {
    if (s.size() < end.size()) {
        return false;
    }
    return std::equal(end.rbegin(), end.rend(), s.rbegin(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == static_cast<unsigned char>(b);
    });
}

// The report as PDF: the window program lays it out (Qt Gui), so this tool stays free of it.
bool WritePdfThroughWindowProgram(const std::string& html, const std::string& path) {
    // The page goes to a file of our own, made exclusively beside the report (nothing planted
    // there is followed), and only that file is removed; the window program gets absolute
    // names, so none of them reads as an option.
    std::string temp, error;
    if (!WritePrivateTempFile(FolderOf(path), ".html", html, temp, &error)) {
        Fail(path + ": cannot be written (" + error + ")");
        return false;
    }
    const std::string program = GetExecutableDir() + "/zel-vavod";
    int code =
        RunProgram(program, {"--html-to-pdf", temp, AbsolutePath(path)}, kPdfLimitSec, error);
    std::remove(temp.c_str());
    if (code != 0) {
        Fail(path + ": no PDF made (" + error + ")");
        return false;
    }
    return true;
}

int CmdReport() {
    ServiceReportData d;
    d.program = std::string("zel-vavod-cli ") + ZEL_CLI_VERSION;
    d.madeAt = static_cast<std::int64_t>(std::time(nullptr));
    // A sensor that does not answer is reported as such: the report is written all the same.
    d.answered = Connect(false);
    bool complete = d.answered;
    if (d.answered) {
        Identify();
        for (int block = 0; block < 2; ++block) {
            for (int memory : {kMemoryRam, kMemoryEeprom}) {
                ExchangeResult r = ReadBlock(com, memory, static_cast<std::uint32_t>(block),
                                             BlockInHand(block).data());
                ReportBlock& out = memory == kMemoryRam ? d.ram[block] : d.eeprom[block];
                out.answered = r.ok();
                if (r.ok()) {
                    std::copy_n(r.reply.words.begin(), out.words.size(), out.words.begin());
                } else {
                    Fail(BlockReadText(r), r);
                    complete = false;
                }
            }
        }
    }
    d.sensor = CliSensor();
    const HistoryFile h = ReadHistory(HistoryFilePath());
    TellHistory(h.notice, h.error);
    d.history = SensorVisit(h.records, d.sensor, kVisitGapSeconds);
    d.historyScope = "Parameter sets that passed the tool for this sensor in this visit (back to "
                     "the first pause of more than 30 minutes), oldest first.";
    const std::string html = ServiceReportHtml(d);
    const bool pdf = EndsWith(g_opts.output, ".pdf");
    bool written = false;
    if (pdf) {
        written = WritePdfThroughWindowProgram(html, g_opts.output);
    } else {
        std::string error;
        written = WriteFileAtomic(g_opts.output, html, &error);
        if (!written) {
            Fail(g_opts.output + ": cannot be written (" + error + ")");
        }
    }
    if (!written) {
        return kExitFailed;
    }
    if (g_opts.json) {
        Json j;
        j.add("command", "report").add("file", g_opts.output).add("format", pdf ? "pdf" : "html");
        j.add("answered", d.answered).add("entries", static_cast<long long>(d.history.size()));
        Result(j);
    } else {
        Note("Service report written to " + g_opts.output);
    }
    return complete ? kExitOk : kExitFailed;
}

// The command waits: the reply is tested before the first pass; a reply decoded in a pass that
// began once the time was up is not looked at.
constexpr ReplyWait kCommandWaitAny{kAnyReply, true, LastPass::IgnoresPassAfterLimit, TIMEOUT,
                                    nullptr};
constexpr ReplyWait kCommandWaitStandard{REPLY_STANDARD, true, LastPass::IgnoresPassAfterLimit,
                                         TIMEOUT, nullptr};

// Teach, refresh and reset: the sensor command, then block 0 read back from RAM.
int CmdSensorCommand() {
    if (!Connect()) {
        return kExitFailed;
    }
    const std::string& c = g_opts.command;
    bool b = !g_opts.args.empty() && g_opts.args[0] == "b";
    FlushQueues(com);
    ExchangeResult r;
    std::string done = "Parameter-frame received! - Line Ok!";
    if (c == "teach") {
        const Image none{};
        r = Exchange(com, ORDER_TEACH, b ? 1 : 0, none.data(), kCommandWaitAny, ReplyExpect::Any);
        done = b ? "New setpoint value CHB teached!" : "New setpoint value CHA teached!";
    } else {
        int order = c == "reset" ? ORDER_RESET : b ? ORDER_REFRESH_B : ORDER_REFRESH_A;
        r = Exchange(com, order, 0, g_block0.data(), kCommandWaitStandard, ReplyExpect::Any);
    }
    if (!r.ok()) {
        Fail(CommandText(r), r);
        return kExitFailed;
    }
    if (!GetBlock(kMemoryRam, 0)) {
        return kExitFailed;
    }
    if (g_opts.json) {
        Json j;
        j.add("command", c);
        if (!g_opts.args.empty()) {
            j.add("channel", g_opts.args[0]);
        }
        j.raw("words", BlockJson(g_block0, 0));
        Result(j);
    } else {
        Note(done);
        PrintBlock(g_block0, 0, "Block 0 (RAM):");
    }
    return kExitOk;
}

// ---- scope ----

// Where the rows go: a file of its own, or stdout.
struct RowSink {
    FILE* out = stdout;
    std::string name = "stdout";
    int err = 0; // the first write that failed
    bool write(const char* data, std::size_t n) {
        if (err == 0 && std::fwrite(data, 1, n, out) != n) {
            err = errno ? errno : EIO;
        }
        return err == 0;
    }
    bool flush() {
        if (err == 0 && std::fflush(out) != 0) {
            err = errno ? errno : EIO;
        }
        return err == 0;
    }
    bool close() {
        if (out == stdout) {
            flush();
            if (err != 0) {
                g_stdoutErrno = err; // told once, as a stdout failure
            }
            return err == 0;
        }
        bool flushed = flush();
        if (std::fclose(out) != 0 && flushed) {
            err = errno ? errno : EIO;
        }
        out = nullptr;
        return err == 0;
    }
};

int CmdScope() {
    RowSink rows;
    if (!g_opts.csv.empty()) {
        rows.name = g_opts.csv;
        std::string why;
        rows.out = OpenOutputFile(g_opts.csv, false, why);
        if (!rows.out) {
            Fail(g_opts.csv + ": cannot be written (" + why + ")");
            return kExitFailed;
        }
    }
    if (!Connect()) {
        rows.close();
        return kExitFailed;
    }
    const SwitchingBands bands = BandsOf(g_block0[1], g_block0[2], g_block0[3], g_block0[4]);
    rows.write(kScopeCsvHeader, std::strlen(kScopeCsvHeader));

    // Stop and wait: one data request outstanding at a time; the time-out runs from the last
    // request sent.
    ExchangeResult ended; // what ended the stream, when the line did
    ended.order = ORDER_DATA;
    long samples = 0;
    const double t0 = Timer();
    double lastFlush = t0;
    auto request = [&] {
        FlushQueues(com);
        double at = Timer();
        NoteDataRequest(at);
        SendFrame(com, ORDER_DATA, 0, g_block0.data());
        return at;
    };
    double sentAt = request();
    bool timedOut = false;
    for (;;) {
        std::array<std::uint16_t, 16> w;
        if (TakeDataReply(w)) {
            double t = Timer() - t0;
            ScopeSample s{t,         w[0],      w[1],       w[2],      w[3],     bands.refA,
                          bands.upA, bands.loA, bands.refB, bands.upB, bands.loB};
            char row[kScopeCsvRowMax];
            ++samples;
            if (!rows.write(row, FormatScopeCsvRow(s, row))) {
                break;
            }
            // At least once a second the rows reach the file, so a full disk shows early.
            if (Timer() - lastFlush >= 1.0) {
                lastFlush = Timer();
                if (!rows.flush()) {
                    break;
                }
            }
            bool enough = (g_opts.samples > 0 && samples >= g_opts.samples) ||
                          (g_opts.seconds > 0 && t >= g_opts.seconds);
            if (enough || g_interrupted) {
                break;
            }
            sentAt = request();
        }
        if (Timer() - sentAt > TIMEOUT) {
            timedOut = true;
            CountTimeout();
            break;
        }
        // With nothing to do, the pass blocks until the reply's bytes or the request's time-out.
        ProcessSystemEventsUntil(sentAt + TIMEOUT + 0.0005);
        if (g_lost || PortLost() || g_interrupted) {
            break;
        }
    }
    EndDataStream();
    const double took = Timer() - t0;
    FlushQueues(com);

    int code = kExitOk;
    bool written = rows.close();
    if (g_lost || PortLost()) {
        ended.outcome = Outcome::PortLost;
        Fail(PortLostText(), ended);
        code = kExitFailed;
    } else if (timedOut) {
        ended.outcome = Outcome::Timeout;
        Fail("Timeout RS232-Line!", ended);
        code = kExitFailed;
    }
    if (!written) {
        if (rows.name != "stdout") {
            Fail(WriteError(rows.name, rows.err));
        }
        code = kExitFailed;
    }
    double rate = took > 0 ? static_cast<double>(samples) / took : 0;
    constexpr double kLineLimit = 19200.0 / 10 / 72;
    if (g_opts.json) {
        Json j;
        j.add("command", "scope").add("samples", static_cast<long long>(samples));
        j.add("seconds", took).add("samples_per_s", rate).add("line_limit_per_s", kLineLimit);
        j.add("timeouts", timedOut ? 1 : 0);
        std::fprintf(stderr, "%s\n", j.str().c_str());
    } else if (!g_opts.quiet) {
        std::fprintf(stderr,
                     "%ld samples in %.2f s: %.2f samples/s (%.0f %% of the line's %.2f/s), "
                     "%d time-outs\n",
                     samples, took, rate, 100.0 * rate / kLineLimit, kLineLimit, timedOut ? 1 : 0);
    }
    return code;
}

// ---- flash ----

struct FlashSetup {
    FlashPlan plan;
    std::vector<std::uint16_t> tableA, tableB;
} g_setup;

struct FlashRun {
    double t0 = 0;
    bool progress = false;
    bool shown = false;
} g_flash;

void OnFlashEvent(const FlashEvent& e, void*) {
    if (!g_flash.progress || e.before || e.total <= 0) {
        return;
    }
    double elapsed = Timer() - g_flash.t0;
    double left = e.done > 0 ? elapsed * (e.total - e.done) / e.done : 0;
    std::fprintf(stderr, "\rX-FLASH page %2d  %3d %%  %5.1f s left ", e.page,
                 100 * e.done / e.total, left);
    g_flash.shown = true;
}

// The header words a calibration file sets, as the calibration panel takes them.
void TakeHeader(const CalibFileContent& c, bool channelB) {
    if (!c.hasHeader) {
        return;
    }
    auto& h = g_setup.plan.headerWords; // H1, H2, H3A, H3B, H4A, H4B, H5A, H5B
    if (c.h1Read) {
        h[0] = c.h1;
    }
    if (c.h2Read) {
        h[1] = c.h2;
    }
    h[channelB ? 3 : 2] = H3FromReal(c.h3);
    if (c.h4Read) {
        h[channelB ? 5 : 4] = c.h4;
    }
    if (c.h5Read) {
        h[channelB ? 7 : 6] = c.h5;
    }
}

bool LoadCalib(const std::string& path, bool channelB) {
    CalibFileLoad load = LoadCalibFile(path);
    if (!load.ok) {
        Fail(path + ": " + load.problem);
        return false;
    }
    TakeHeader(load.content, channelB);
    (channelB ? g_setup.tableB : g_setup.tableA)
        .assign(std::begin(load.content.table), std::end(load.content.table));
    return true;
}

// H3 as the panel's field holds it: within +-1000, ten decimals.
double AsH3Field(double v) {
    v = std::clamp(v, -1000.0, 1000.0);
    return std::round(v * 1e10) / 1e10;
}

bool ApplyHeaderSets() {
    static const std::map<std::string, int> kWords = {{"H1", 0},  {"H2", 1},  {"H3A", 2},
                                                      {"H3B", 3}, {"H4A", 4}, {"H4B", 5},
                                                      {"H5A", 6}, {"H5B", 7}};
    for (const auto& [name, value] : g_opts.headerSets) {
        auto it = kWords.find(name);
        if (it == kWords.end()) {
            Fail("--set " + name + ": expected one of H1 H2 H3A H3B H4A H4B H5A H5B");
            return false;
        }
        auto& word = g_setup.plan.headerWords[static_cast<std::size_t>(it->second)];
        if (name.rfind("H3", 0) == 0) {
            double v = 0;
            if (!ParseReal(value, v)) {
                Fail("--set " + name + "=" + value + ": expected a number");
                return false;
            }
            word = H3FromReal(AsH3Field(v));
        } else {
            std::uint64_t v = 0;
            if (!ParseUnsigned(value, 0xFFFF, v)) {
                Fail("--set " + name + "=" + value + ": expected 0 to 65535");
                return false;
            }
            word = static_cast<std::uint16_t>(v);
        }
    }
    return true;
}

struct FlashOutcome {
    bool failed[kFlashPages] = {};
    bool retried[kFlashPages] = {};
    bool programmed[kFlashPages] = {};
    bool interrupted = false; // Ctrl-C or SIGTERM ended it after the order in progress
    double seconds = 0;
    bool ok() const {
        return std::none_of(std::begin(failed), std::end(failed), [](bool b) { return b; });
    }
};

std::string PageList(const bool* pages, const char* separator) {
    std::string s;
    for (int p = 0; p < kFlashPages; ++p) {
        if (pages[p]) {
            s += (s.empty() ? "" : separator) + std::to_string(p);
        }
    }
    return s;
}

FlashOutcome FlashOnce() {
    FlashOutcome r;
    g_flash.t0 = Timer();
    g_flash.shown = false;
    g_setup.plan.stop = &g_interrupted;
    FlashReport report = ProgramXFlash(com, g_setup.plan, OnFlashEvent, nullptr);
    for (int p = 0; p < kFlashPages; ++p) {
        const PageOutcome& page = report.pages[static_cast<std::size_t>(p)];
        r.failed[p] = !page.ok;
        r.programmed[p] = page.attempted && page.ok;
    }
    for (int attempt = 0; attempt < g_opts.retries && !r.ok() && !g_lost && !g_interrupted;
         ++attempt) {
        for (int p = 0; p < kFlashPages && !g_interrupted; ++p) {
            if (r.failed[p]) {
                r.retried[p] = true;
                r.failed[p] = !ProgramPage(com, p, g_setup.plan).ok;
                r.programmed[p] = !r.failed[p];
            }
        }
    }
    r.interrupted = g_interrupted;
    if (g_flash.shown) {
        std::fprintf(stderr, "\n");
    }
    r.seconds = Timer() - g_flash.t0;
    return r;
}

void ReportFlash(const FlashOutcome& r) {
    g_log.failedPages.clear();
    for (int p = 0; p < kFlashPages; ++p) {
        if (r.failed[p]) {
            g_log.failedPages.push_back(p);
        }
    }
    if (g_opts.json) {
        Json j;
        j.add("command", "flash").add("port", com).add("ok", r.ok()).add("seconds", r.seconds);
        j.raw("failed_pages", "[" + PageList(r.failed, ",") + "]");
        j.raw("retried_pages", "[" + PageList(r.retried, ",") + "]");
        j.add("interrupted", r.interrupted);
        Result(j);
        return;
    }
    std::string line = r.ok() ? "X-FLASH programmed"
                              : "X-FLASH pages " + PageList(r.failed, ", ") + " not programmed";
    if (r.interrupted) {
        const std::string done = PageList(r.programmed, ", ");
        line = "X-FLASH interrupted: pages " + (done.empty() ? std::string("none") : done) +
               " programmed, pages " + PageList(r.failed, ", ") + " not programmed";
    }
    char took[32];
    std::snprintf(took, sizeof took, " in %.1f s", r.seconds);
    line += took;
    if (!PageList(r.retried, ", ").empty()) {
        line += "; retried pages " + PageList(r.retried, ", ");
    }
    if (r.ok()) {
        if (!g_opts.quiet) {
            Out(line + "\n");
            FlushStdout();
        }
    } else {
        Error(line);
    }
}

int FlashLoop() {
    int programmed = 0, failed = 0;
    double total = 0;
    Note("Waiting for a sensor on " + PortName(com) + " (Ctrl-C ends)");
    auto lineAnswers = [] { return LineCheck(com, g_block0.data()).ok(); };
    while (!g_interrupted) {
        // A sensor answers the line check.
        if (!g_portOpen && OpenLine(com) == 0) {
            g_portOpen = true;
        }
        if (!g_portOpen || !lineAnswers()) {
            if (g_portOpen && (g_lost || ComPortLost(com))) {
                ClosePort();
            }
            Wait(0.5);
            continue;
        }
        Identify();
        FlashOutcome r = FlashOnce();
        (r.ok() ? programmed : failed) += 1;
        total += r.seconds;
        ReportFlash(r);
        LogOperation(r.ok() ? "ok" : "failed");
        // The line goes silent: that sensor has been taken away.
        while (!g_interrupted) {
            if (g_lost || ComPortLost(com) || !lineAnswers()) {
                break;
            }
            Wait(0.5);
        }
        if (g_portOpen && (g_lost || ComPortLost(com))) {
            ClosePort();
        }
    }
    int n = programmed + failed;
    if (g_opts.json) {
        Json j;
        j.add("command", "flash-loop").add("programmed", programmed).add("failed", failed);
        j.add("seconds_per_sensor", n ? total / n : 0.0);
        Result(j);
    } else {
        std::fprintf(stderr, "%d programmed, %d failed, %.1f s per sensor\n", programmed, failed,
                     n ? total / n : 0.0);
    }
    g_log.failedPages.clear();
    return failed == 0 ? kExitOk : kExitFailed;
}

int CmdFlash() {
    // CHA first, then CHB: both may set the shared header values, and the later file wins.
    if (!g_opts.chaFile.empty() && !LoadCalib(g_opts.chaFile, false)) {
        return kExitFile;
    }
    if (!g_opts.chbFile.empty() && !LoadCalib(g_opts.chbFile, true)) {
        return kExitFile;
    }
    if (!ApplyHeaderSets()) {
        return kExitUsage;
    }
    // The panel's switches: the header page on, the tables on once a file is loaded.
    bool loaded = !g_setup.tableA.empty() || !g_setup.tableB.empty();
    g_setup.plan.header = g_opts.header >= 0 ? g_opts.header == 1 : true;
    bool tables = g_opts.tables >= 0 ? g_opts.tables == 1 : loaded;
    g_setup.plan.tableA = tables && !g_setup.tableA.empty() ? g_setup.tableA.data() : nullptr;
    g_setup.plan.tableB = tables && !g_setup.tableB.empty() ? g_setup.tableB.data() : nullptr;
    g_flash.progress = !g_opts.quiet && StderrIsTerminal();
    if (g_opts.loop) {
        return FlashLoop(); // logs each sensor itself
    }
    if (!Connect()) {
        return Done(kExitFailed);
    }
    FlashOutcome r = FlashOnce();
    ReportFlash(r);
    LostReported();
    return Done(r.ok() ? kExitOk : kExitFailed);
}

// ---- scan ----

struct ScanRow {
    ComPortChoice port;
    bool answers = false;
    std::string hardware, firmware, status;
};

int CmdScan() {
    std::vector<ComPortChoice> ports = ListComPorts(com);
    std::vector<int> numbers;
    for (const auto& p : ports) {
        numbers.push_back(p.number);
    }
    // Each port on its own link: the line check goes to all at once (silent ports cost one reply
    // time-out together), and a port that answers is identified while the others wait.
    std::vector<PortProbe> probes = ProbePorts(numbers, g_block0.data());
    std::vector<ScanRow> rows;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        const PortProbe& p = probes[i];
        ScanRow row{ports[i], p.answers(), "", "", "Timeout-RS-232..."};
        if (p.answers()) {
            row.status = "Echo Check - Line Ok!";
            const std::uint16_t type =
                p.hardware.reply.kind == REPLY_STANDARD ? HardwareTypeOf(p.hardware) : 0;
            row.hardware = p.identified && p.hardware.ok() ? std::to_string(type) : "";
            row.firmware = p.identified && p.firmware.outcome == Outcome::Answered
                               ? Latin1ToUtf8(p.firmware.text)
                               : "";
        } else if (p.openResult < 0) {
            row.status = ComOpenErrorText(p.openResult);
        }
        rows.push_back(row);
    }

    int answering = 0;
    for (const auto& r : rows) {
        answering += r.answers;
        if (g_opts.json) {
            Json j;
            j.add("command", "scan").add("port", r.port.number).add("device", r.port.device);
            j.add("answers", r.answers);
            j.raw("hardware", r.hardware.empty() ? "null" : r.hardware);
            j.raw("firmware", r.firmware.empty() ? "null" : Json::quote(r.firmware));
            j.add("status", r.status);
            Out(j.str() + "\n");
        } else {
            char line[512];
            std::snprintf(line, sizeof line, "COM%-3d %-24s %-10s %-6s %-20s %s\n", r.port.number,
                          r.port.device.c_str(), r.answers ? "answers" : "silent",
                          r.hardware.empty() ? "-" : r.hardware.c_str(),
                          r.firmware.empty() ? "-" : r.firmware.c_str(), r.status.c_str());
            Out(line);
        }
    }
    return answering > 0 ? kExitOk : kExitFailed;
}

int Run() {
    const std::string& c = g_opts.command;
    if (c == "scan") {
        return CmdScan();
    }
    if (c == "info") {
        return Done(CmdInfo());
    }
    if (c == "get") {
        return Done(CmdGet());
    }
    if (c == "send") {
        return Done(CmdSend());
    }
    if (c == "diff") {
        return Done(CmdDiff());
    }
    if (c == "history") {
        return CmdHistory();
    }
    if (c == "report") {
        return Done(CmdReport());
    }
    if (c == "scope") {
        return Done(CmdScope());
    }
    if (c == "flash") {
        return CmdFlash();
    }
    return Done(CmdSensorCommand());
}

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

// Binds the ports and chooses the one in use, as the window does: its port file (the user's,
// then the system's once installed; beside the executable in a build tree), then the options.
bool ChoosePort() {
    for (const auto& [n, dev] : g_opts.bindings) {
        BindComPort(n, dev);
    }
    PlaceInputs where;
    where.exeDir = GetExecutableDir();
    where.configHome = Env("XDG_CONFIG_HOME");
    where.home = Env("HOME");
    com = ReadPortFile(ChoosePlaces(where).portFile.c_str());
    if (g_opts.port >= 0) {
        com = g_opts.port;
    }
    if (!g_opts.device.empty()) {
        BindComPort(com, g_opts.device);
    }
    if (g_opts.simulate) {
        bool ok = true;
        std::vector<std::string> simArgs = SplitArgs(g_opts.simArgs, ok);
        std::string simError = ok ? "" : "--sim-args has an unmatched quote";
        std::string device = ok ? StartSimulator(where.exeDir + "/zel-sensor-sim", simArgs,
                                                 kSimStartLimitSec, simError)
                                : "";
        if (device.empty()) {
            Fail("simulated sensor not started: " + simError);
            return false;
        }
        BindComPort(com, device);
    }
    return true;
}

// The end of every run: a failure told as JSON too, and stdout checked.
int Finish(int code) {
    if (g_opts.json && code != kExitOk && g_failure.set) {
        std::string text = FailureJson(g_opts.command.empty() ? "zel-vavod-cli" : g_opts.command);
        // The scope's rows may fill stdout: its failure goes with its summary then.
        if (g_opts.command == "scope" && g_opts.csv.empty()) {
            std::fprintf(stderr, "%s\n", text.c_str());
        } else {
            Out(text + "\n");
        }
    }
    if (g_log.failed && code == kExitOk) {
        code = kExitFailed;
    }
    if (!FlushStdout()) {
        Error(WriteError("stdout", g_stdoutErrno));
        return kExitFailed;
    }
    return code;
}

} // namespace

int main(int argc, char** argv) {
    std::string error;
    if (!ParseCli(argc, argv, g_opts, error)) {
        std::fprintf(stderr,
                     "zel-vavod-cli: %s\nUsage: zel-vavod-cli COMMAND [options] (see --help)\n",
                     error.c_str());
        // The parse may have stopped before --json: look for it among the words.
        g_opts.json = std::any_of(argv + 1, argv + argc,
                                  [](const char* a) { return std::strcmp(a, "--json") == 0; });
        g_failure.set = true;
        g_failure.message = error;
        return Finish(kExitUsage);
    }
    if (g_opts.version) {
        Out(std::string("zel-vavod-cli ") + ZEL_CLI_VERSION + "\n");
        return Finish(kExitOk);
    }
    if (g_opts.help) {
        const char* text = CommandHelp(g_opts.command);
        Out(text ? text : CliUsage());
        return Finish(kExitOk);
    }
    if (!StartHeadlessRuntime(argc, argv)) {
        Fail("the run-time did not start");
        return Finish(kExitFailed);
    }
    InstallTerminationHandler(OnInterrupt);
    InitExchange();
    SetPortLossHandler(OnPortLost);
    std::copy_n(StartBlock0(), kBlockWordCount, g_block0.begin());
    if (!g_opts.traceFile.empty()) {
        // The trace is a record beside the operation: a trace that cannot be written is named,
        // and the operation goes on and decides the exit code.
        if (std::string traceError; !StartTrace(g_opts.traceFile, traceError)) {
            Error(traceError);
        }
    }
    int code = ChoosePort() ? Run() : kExitFailed;
    ClosePort();
    StopTrace();
    if (!TraceError().empty()) {
        Error(TraceError());
    }
    StopSimulator();
    StopHeadlessRuntime();
    return Finish(code);
}
