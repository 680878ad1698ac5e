// zel-vavod-cli: the tool's routines driven from the command line. The panels are loaded on Qt's
// offscreen platform, because the routines read their input from panel controls; the tool sets
// those controls the way an operator would and then runs the same callback.
#include "app/app.h"
#include "calib/calib.h"
#include "cli/cli.h"
#include "core/state.h"
#include "link/link.h"
#include "params/params.h"
#include "params/record.h"
#include "platform/host.h"
#include "platform/serial.h"
#include "platform/textfile.h"
#include "platform/ui.h"
#include "scope/record.h"
#include "scope/scope.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

CliOptions g_opts;
int g_argc = 0;
char** g_argv = nullptr;
bool g_interrupted = false;
bool g_lost = false;

// ---- output ----

void Note(const std::string& line) {
    if (!g_opts.quiet) {
        std::fprintf(stderr, "%s\n", line.c_str());
    }
}

void Error(const std::string& line) {
    std::fprintf(stderr, "zel-vavod-cli: %s\n", line.c_str());
}

void Result(const Json& j) {
    std::printf("%s\n", j.str().c_str());
    std::fflush(stdout);
}

// The status text holds Latin-1 bytes (a firmware text may carry a degree sign); the terminal,
// JSON and the log take UTF-8.
std::string Utf8(const char* latin1) {
    std::string out;
    for (const char* c = latin1; *c; ++c) {
        auto b = static_cast<unsigned char>(*c);
        if (b < 0x80) {
            out += static_cast<char>(b);
        } else {
            out += static_cast<char>(0xC0 | (b >> 6));
            out += static_cast<char>(0x80 | (b & 0x3F));
        }
    }
    return out;
}

std::string StatusLine() {
    char buf[256] = "";
    GetCtrlVal(pA, MAIN_STATUS, buf, sizeof buf);
    return buf;
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
};
LogEntry g_log;

void LogOperation(const std::string& outcome) {
    if (g_opts.logFile.empty()) {
        return;
    }
    Json j;
    j.add("time", Now()).add("port", com).add("device", ComDeviceName(com));
    j.raw("hardware", g_log.identified ? std::to_string(pcbtype) : "null");
    j.raw("firmware", g_log.identified ? Json::quote(g_log.firmware) : "null");
    j.add("command", g_opts.command).add("outcome", outcome);
    std::string pages = "[";
    for (std::size_t i = 0; i < g_log.failedPages.size(); ++i) {
        pages += (i ? "," : "") + std::to_string(g_log.failedPages[i]);
    }
    j.raw("failed_pages", pages + "]");
    if (FILE* f = std::fopen(g_opts.logFile.c_str(), "a")) {
        std::fprintf(f, "%s\n", j.str().c_str());
        std::fclose(f);
    } else {
        Error("cannot append to " + g_opts.logFile + ": " + std::strerror(errno));
    }
}

// Ends an operation: the log line, and the exit code.
int Done(int code) {
    LogOperation(code == kExitOk ? "ok" : code == kExitFile ? "file error" : "failed");
    return code;
}

// ---- panels, port and sensor ----

std::string FindPanelFile(const std::string& exeDir) {
    const std::string candidates[] = {exeDir + "/" + kPanelFile,
                                      exeDir + "/../share/zel-vavod/" + kPanelFile};
    for (const auto& c : candidates) {
        struct stat st {};
        if (::stat(c.c_str(), &st) == 0) {
            return c;
        }
    }
    return candidates[0];
}

// The link closed the port that went away; the tool ends what it was doing.
void OnPortState(int, bool lost) {
    if (lost) {
        g_lost = true;
        StopScope();
    }
}

void OnInterrupt() {
    g_interrupted = true;
    if (stop_flag == 0) {
        CC_BTNStop(pA, MAIN_BTNSTOP, EVENT_COMMIT, nullptr, 0, 0);
    }
}

// Pumps events for `seconds`, so callbacks (and Ctrl-C) are served meanwhile.
void Wait(double seconds) {
    double t0 = Timer();
    while (Timer() - t0 < seconds && !g_interrupted) {
        ProcessSystemEvents();
    }
}

// Loads and binds both panels and sets up the globals as the tool does at start-up.
bool StartProgram() {
    if (InitCVIRTE(g_argc, g_argv) == 0) {
        Error("the run-time did not start");
        return false;
    }
    std::string exeDir = GetExecutableDir();
    std::string panelFile = FindPanelFile(exeDir);
    pA = LoadPanel(0, panelFile.c_str(), MAIN_PANEL_NUMBER);
    pCalib = pA > 0 ? LoadPanel(pA, panelFile.c_str(), CALIB_PANEL_NUMBER) : -1;
    if (pA < 0 || pCalib < 0 || BindMainPanel(pA) < 0 || BindCalibPanel(pCalib) < 0) {
        Error(UiLastError());
        return false;
    }
    InstallTerminationHandler(OnInterrupt);
    for (const auto& [n, dev] : g_opts.bindings) {
        BindComPort(n, dev);
    }
    SetProjectDir(exeDir.c_str());
    GetProjectDir(proj_dir);
    SetupStripChart();
    InitVars();
    SetPortStateObserver(&OnPortState);
    SetReopenLostPort(false); // the tool itself decides when to open the port again
    ClearCalibration();
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
        std::string device =
            ok ? StartSimulator(exeDir + "/zel-sensor-sim", simArgs, kSimStartLimitSec, simError)
               : "";
        if (device.empty()) {
            Error("simulated sensor not started: " + simError);
            return false;
        }
        BindComPort(com, device);
    }
    return true;
}

void EndProgram() {
    CloseCom(com);
    StopSimulator();
    DiscardPanel(pA);
    pA = pCalib = 0;
}

bool PortOpen = false;

bool OpenPort() {
    int r = OpenLinkPort(com);
    if (r < 0) {
        Error(std::string(ComOpenErrorText(r)) + ": COM" + std::to_string(com) + " " +
              ComDeviceName(com));
        return false;
    }
    PortOpen = true;
    return true;
}

// Reads hardware type and firmware text; true when both came.
bool Identify() {
    bool hw = GetHARDWAREInfo() == 1;
    bool fw = GetVERSIONInfo() >= 72;
    g_log.identified = hw || fw;
    g_log.firmware = fw ? Utf8(szStatus) : "";
    return hw && fw;
}

// Opens the port and checks the line; a failure has been reported.
bool Connect() {
    if (!OpenPort()) {
        return false;
    }
    if (CheckComLine(com) != 1) {
        Error(szStatus);
        return false;
    }
    if (!g_opts.logFile.empty()) {
        Identify();
    }
    return true;
}

bool LostReported() {
    if (g_lost) {
        // The link's own words, as the status line shows them.
        Error(PortLost() ? std::string(PortLostText())
                         : "Port COM" + std::to_string(com) + " lost (" + ComDeviceName(com) + ")");
        return true;
    }
    return false;
}

// ---- parameter blocks ----

struct WordName {
    const char* name;  // the panel field's object name
    const char* label; // its label
};
const WordName kBlock0Names[kBlockWords] = {
    {"setting0", "Setting 0 (word 0)"},
    {"referenceA", "Reference CHA"},
    {"referenceB", "Reference CHB"},
    {"toleranceA", "Tolerance CHA"},
    {"toleranceB", "Tolerance CHB"},
    {"setting5", "Setting 5 (word 5)"},
    {"flag0+flag1", "Flags (word 6)"},
    {"", ""},
    {"setting8", "Setting 8 (word 8)"},
    {"setting9", "Setting 9 (word 9)"},
    {"", ""},
    {"", ""},
    {"", ""},
    {"", ""},
    {"", ""},
};
// The panel field of each block 0 word (0: none, the word is kept in the record only).
const int kBlock0Fields[kBlockWords] = {MAIN_SETTING0, MAIN_REFA,     MAIN_REFB, MAIN_TOLA,
                                        MAIN_TOLB,     MAIN_SETTING5, 0,         0,
                                        MAIN_SETTING8, MAIN_SETTING9};

using Block = std::vector<unsigned>;

Block RecordBlock(int block) {
    int at = block == 0 ? kBlock0 : kBlock1;
    return Block(parameter + at, parameter + at + kBlockWords);
}

std::string BlockJson(const Block& words, int block) {
    std::string out = "[";
    for (int i = 0; i < kBlockWords; ++i) {
        Json w;
        w.add("index", i).add("value", words[i]);
        w.add("name", block == 0 ? kBlock0Names[i].name : "");
        w.add("label", block == 0 ? kBlock0Names[i].label : "");
        out += (i ? "," : "") + w.str();
    }
    return out + "]";
}

void PrintBlock(const Block& words, int block, const char* title) {
    std::printf("%s\n", title);
    for (int i = 0; i < kBlockWords; ++i) {
        const char* label = block == 0 ? kBlock0Names[i].label : "";
        std::printf("  %2d %6u  %s\n", i, words[i], label);
    }
}

bool GetBlock(int memory, int block) {
    PushGET(memory, static_cast<std::uint32_t>(block));
    if (std::strcmp(szStatus, "Parameter-frame received! - Line Ok!") != 0) {
        Error(szStatus);
        return false;
    }
    return true;
}

int MemoryOf(const std::string& name) {
    return name == "eeprom" ? EEPROM : RAM;
}

// Why a parameter file the tool refused is invalid: the file, the line and the reason.
std::string ParamFileProblem(const std::string& path) {
    std::string text;
    if (!ReadWholeFile(path, text)) {
        return path + ": cannot be read (" + std::strerror(errno) + ")";
    }
    int line = 1, found = 0;
    for (std::size_t i = 0; i < text.size() && found < 16;) {
        if (text[i] == '\n') {
            ++line;
        }
        if (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n') {
            ++i;
            continue;
        }
        std::size_t end = text.find_first_of(" \t\r\n", i);
        std::string tok = text.substr(i, end == std::string::npos ? end : end - i);
        std::uint64_t v = 0;
        if (!ParseUnsigned(tok, 0xFFFFFFFFull, v)) {
            return path + ":" + std::to_string(line) + ": \"" + tok + "\" is not a parameter word";
        }
        ++found;
        i = end == std::string::npos ? text.size() : end;
    }
    return path + ":" + std::to_string(line) + ": " + std::to_string(found) +
           " numbers, a parameter file holds 16";
}

// Loads a parameter file into block 0 and the panel, as Get from File does.
bool LoadParamFile(const std::string& path) {
    const char* answer = path.c_str();
    AnswerFileSelectsWith(&answer, 1);
    if (ReadParaFromFile() != 1) {
        Error(ParamFileProblem(path));
        return false;
    }
    SetPanelValues();
    return true;
}

// ---- commands ----

int CmdInfo() {
    if (!Connect()) {
        return kExitFailed;
    }
    std::string line = szStatus;
    Delay(kStartupPauseSec);
    bool hw = GetHARDWAREInfo() == 1;
    if (!hw) {
        Error("Error reading HARDWARE-info!");
    }
    Delay(kStartupPauseSec);
    bool ok0 = GetBlock(RAM, 0);
    Block b0 = RecordBlock(0);
    Delay(kStartupPauseSec);
    bool ok1 = GetBlock(RAM, 1);
    Block b1 = RecordBlock(1);
    Delay(kStartupPauseSec);
    bool fw = GetVERSIONInfo() >= 72;
    std::string firmware = fw ? Utf8(szStatus) : "";
    if (!fw) {
        Error("Error reading firmware-info!");
    }
    g_log.identified = true;
    g_log.firmware = firmware;
    if (g_opts.json) {
        Json j;
        j.add("command", "info").add("port", com).add("device", ComDeviceName(com));
        j.add("line", line).add("hardware", static_cast<unsigned>(pcbtype));
        j.add("firmware", firmware).raw("block0", BlockJson(b0, 0)).raw("block1", BlockJson(b1, 1));
        Result(j);
    } else {
        std::printf("Port:          COM%d %s\n", com, ComDeviceName(com).c_str());
        std::printf("Line:          %s\n", line.c_str());
        std::printf("Hardware type: %u\n", static_cast<unsigned>(pcbtype));
        std::printf("Firmware:      %s\n", firmware.c_str());
        PrintBlock(b0, 0, "Block 0 (RAM):");
        PrintBlock(b1, 1, "Block 1 (RAM):");
    }
    return hw && ok0 && ok1 && fw ? kExitOk : kExitFailed;
}

int CmdGet() {
    if (!Connect()) {
        return kExitFailed;
    }
    int memory = MemoryOf(g_opts.from);
    if (!GetBlock(memory, g_opts.block)) {
        return kExitFailed;
    }
    Block words = RecordBlock(g_opts.block);
    if (!g_opts.output.empty()) {
        // The panel's Send to File: it saves what the panel now shows.
        const char* answer = g_opts.output.c_str();
        AnswerFileSelectsWith(&answer, 1);
        target = DATFILE;
        CC_BTNSend(pA, MAIN_BTNSEND, EVENT_COMMIT, nullptr, 0, 0);
        target = RAM;
        if (StatusLine().rfind("Cannot save", 0) == 0) {
            Error(StatusLine());
            return kExitFailed;
        }
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
        std::string title = "Block " + std::to_string(g_opts.block) + " (" + g_opts.from + "):";
        PrintBlock(words, g_opts.block, title.c_str());
    }
    return kExitOk;
}

int CmdSend() {
    // A file is read and checked before the port is opened: a bad file sends nothing.
    if (!g_opts.args.empty() && !LoadParamFile(g_opts.args[0])) {
        return kExitFile;
    }
    if (!Connect()) {
        return kExitFailed;
    }
    int memory = MemoryOf(g_opts.to);
    if (g_opts.args.empty()) {
        if (!GetBlock(memory, 0)) {
            return kExitFailed;
        }
        for (const auto& [index, value] : g_opts.sets) {
            if (index == 6) {
                SetCtrlVal(pA, MAIN_FLAG0, static_cast<int>(value & 1));
                SetCtrlVal(pA, MAIN_FLAG1, static_cast<int>((value >> 1) & 1));
            } else if (kBlock0Fields[index] != 0) {
                SetCtrlVal(pA, kBlock0Fields[index], value);
            } else {
                parameter[kBlock0 + index] = static_cast<std::uint16_t>(value);
            }
        }
    } else {
        SetPanelValues(); // the line check left the record alone; the panel shows the file
    }
    target = memory;
    CC_BTNSend(pA, MAIN_BTNSEND, EVENT_COMMIT, nullptr, 0, 0);
    target = RAM;
    if (StatusLine() != "Transmit para1 Ok!") {
        Error("Timeout-RS-232...");
        return kExitFailed;
    }
    Block words = RecordBlock(0);
    if (g_opts.json) {
        Json j;
        j.add("command", "send").add("to", g_opts.to).raw("words", BlockJson(words, 0));
        Result(j);
    } else {
        Note("Transmit para1 Ok!");
    }
    return kExitOk;
}

int CmdDiff() {
    Block sides[2];
    // Files first: an invalid one ends the run before the port is opened.
    for (int s = 0; s < 2; ++s) {
        const std::string& a = g_opts.args[s];
        if (a != "ram" && a != "eeprom") {
            if (!LoadParamFile(a)) {
                return kExitFile;
            }
            sides[s] = RecordBlock(0);
        }
    }
    for (int s = 0; s < 2; ++s) {
        const std::string& a = g_opts.args[s];
        if (a == "ram" || a == "eeprom") {
            if ((!PortOpen && !Connect()) || !GetBlock(MemoryOf(a), 0)) {
                return kExitFailed;
            }
            sides[s] = RecordBlock(0);
        }
    }
    std::string list = "[";
    int differ = 0;
    for (int i = 0; i < kBlockWords; ++i) {
        if (sides[0][i] == sides[1][i]) {
            continue;
        }
        Json d;
        d.add("index", i).add("a", sides[0][i]).add("b", sides[1][i]);
        d.add("name", kBlock0Names[i].name);
        list += (differ++ ? "," : "") + d.str();
        if (!g_opts.json) {
            std::printf("%2d %6u %6u  %s\n", i, sides[0][i], sides[1][i], kBlock0Names[i].label);
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

int CmdPanelCommand() {
    if (!Connect()) {
        return kExitFailed;
    }
    const std::string& c = g_opts.command;
    bool b = !g_opts.args.empty() && g_opts.args[0] == "b";
    std::string want = "Parameter-frame received! - Line Ok!";
    if (c == "teach") {
        SetCtrlVal(pA, MAIN_CHANNEL, b ? 1 : 0);
        CC_ButtonTeach(pA, MAIN_BTNTEACH, EVENT_COMMIT, nullptr, 0, 0);
        want = b ? "New setpoint value CHB teached!" : "New setpoint value CHA teached!";
    } else if (c == "refresh") {
        (b ? CC_ButtonRefreshCHB : CC_ButtonRefreshCHA)(pA, 0, EVENT_COMMIT, nullptr, 0, 0);
    } else {
        CC_ButtonReset(pA, MAIN_BTNRESET, EVENT_COMMIT, nullptr, 0, 0);
    }
    std::string shown = StatusLine();
    bool ok = shown == want && std::strcmp(szStatus, "Parameter-frame received! - Line Ok!") == 0;
    if (!ok) {
        Error(shown == want ? szStatus : shown.c_str());
        return kExitFailed;
    }
    Block words = RecordBlock(0);
    if (g_opts.json) {
        Json j;
        j.add("command", c);
        if (!g_opts.args.empty()) {
            j.add("channel", g_opts.args[0]);
        }
        j.raw("words", BlockJson(words, 0));
        Result(j);
    } else {
        Note(shown);
        PrintBlock(words, 0, "Block 0 (RAM):");
    }
    return kExitOk;
}

// ---- scope ----

struct ScopeRun {
    FILE* out = nullptr;
    double t0 = 0;
    long samples = 0;
} g_scope;

void OnSample() {
    double t = Timer() - g_scope.t0;
    char row[kScopeCsvRowMax];
    std::fwrite(row, 1, FormatScopeCsvRow(CurrentScopeSample(t), row), g_scope.out);
    ++g_scope.samples;
    bool enough = (g_opts.samples > 0 && g_scope.samples >= g_opts.samples) ||
                  (g_opts.seconds > 0 && t >= g_opts.seconds);
    if (enough && stop_flag == 0) {
        CC_BTNStop(pA, MAIN_BTNSTOP, EVENT_COMMIT, nullptr, 0, 0);
    }
}

int CmdScope() {
    g_scope.out = stdout;
    if (!g_opts.csv.empty()) {
        g_scope.out = std::fopen(g_opts.csv.c_str(), "w");
        if (!g_scope.out) {
            Error(g_opts.csv + ": cannot be written (" + std::strerror(errno) + ")");
            return kExitFailed;
        }
    }
    int code = kExitOk;
    if (Connect()) {
        std::fputs(kScopeCsvHeader, g_scope.out);
        SetPlotObserver(OnSample);
        g_scope.t0 = Timer();
        CC_BTNRun(pA, MAIN_BTNRUN, EVENT_COMMIT, nullptr, 0, 0);
        double took = Timer() - g_scope.t0;
        SetPlotObserver(nullptr);
        bool timedOut = StatusLine() == "Timeout RS232-Line!";
        if (LostReported()) {
            code = kExitFailed;
        } else if (timedOut) {
            Error("Timeout RS232-Line!");
            code = kExitFailed;
        }
        double rate = took > 0 ? g_scope.samples / took : 0;
        constexpr double kLineLimit = 19200.0 / 10 / 72;
        if (g_opts.json) {
            Json j;
            j.add("command", "scope").add("samples", static_cast<long long>(g_scope.samples));
            j.add("seconds", took).add("samples_per_s", rate).add("line_limit_per_s", kLineLimit);
            j.add("timeouts", timedOut ? 1 : 0);
            std::fprintf(stderr, "%s\n", j.str().c_str());
        } else if (!g_opts.quiet) {
            std::fprintf(stderr,
                         "%ld samples in %.2f s: %.2f samples/s (%.0f %% of the line's %.2f/s), "
                         "%d time-outs\n",
                         g_scope.samples, took, rate, 100.0 * rate / kLineLimit, kLineLimit,
                         timedOut ? 1 : 0);
        }
    } else {
        code = kExitFailed;
    }
    if (g_scope.out != stdout) {
        std::fclose(g_scope.out);
    } else {
        std::fflush(stdout);
    }
    return code;
}

// ---- flash ----

struct FlashRun {
    double t0 = 0;
    bool progress = false;
    bool shown = false;
} g_flash;

void OnFlashProgress(int done, int total) {
    if (!g_flash.progress || total <= 0) {
        return;
    }
    int address = 0;
    GetCtrlVal(pCalib, CAL_ADDRESS, &address);
    int page = address >= 0x1000 ? std::min((address - 0x1000) / 0x100, 15) : 0;
    double elapsed = Timer() - g_flash.t0;
    double left = done > 0 ? elapsed * (total - done) / done : 0;
    std::fprintf(stderr, "\rX-FLASH page %2d  %3d %%  %5.1f s left ", page, 100 * done / total,
                 left);
    g_flash.shown = true;
}

// Why a calibration file the tool refused is invalid: the file, the line and the reason.
std::string CalibFileRefusal(const std::string& path) {
    std::string text;
    if (!ReadWholeFile(path, text)) {
        return path + ": cannot be read (" + std::strerror(errno) + ")";
    }
    return path + ": " + CalibFileProblem(text);
}

bool LoadCalibFile(const std::string& path, bool channelB) {
    const char* answer = path.c_str();
    AnswerFileSelectsWith(&answer, 1);
    if (channelB) {
        CC_PICBTNCalibFileCHB(pCalib, CAL_BTNFILECHB, EVENT_COMMIT, nullptr, 0, 0);
    } else {
        CC_PICBTNCalibFileCHA(pCalib, CAL_BTNFILECHA, EVENT_COMMIT, nullptr, 0, 0);
    }
    if ((channelB ? look_flagB : look_flagA) != 1) {
        Error(CalibFileRefusal(path));
        return false;
    }
    return true;
}

bool ApplyHeaderSets() {
    static const std::map<std::string, int> kFields = {
        {"H1", CAL_H1},   {"H2", CAL_H2},   {"H3A", CAL_H3A}, {"H3B", CAL_H3B},
        {"H4A", CAL_H4A}, {"H4B", CAL_H4B}, {"H5A", CAL_H5A}, {"H5B", CAL_H5B}};
    for (const auto& [name, value] : g_opts.headerSets) {
        auto it = kFields.find(name);
        if (it == kFields.end()) {
            Error("--set " + name + ": expected one of H1 H2 H3A H3B H4A H4B H5A H5B");
            return false;
        }
        if (name.rfind("H3", 0) == 0) {
            double v = 0;
            if (!ParseReal(value, v)) {
                Error("--set " + name + "=" + value + ": expected a number");
                return false;
            }
            SetCtrlVal(pCalib, it->second, v);
        } else {
            std::uint64_t v = 0;
            if (!ParseUnsigned(value, 0xFFFF, v)) {
                Error("--set " + name + "=" + value + ": expected 0 to 65535");
                return false;
            }
            SetCtrlVal(pCalib, it->second, static_cast<unsigned>(v));
        }
    }
    return true;
}

struct FlashOutcome {
    bool failed[kXFlashPages] = {};
    bool retried[kXFlashPages] = {};
    double seconds = 0;
    bool ok() const {
        return std::none_of(std::begin(failed), std::end(failed), [](bool b) { return b; });
    }
};

std::string PageList(const bool* pages) {
    std::string s;
    for (int p = 0; p < kXFlashPages; ++p) {
        if (pages[p]) {
            s += (s.empty() ? "" : ", ") + std::to_string(p);
        }
    }
    return s;
}

std::string PageJson(const bool* pages) {
    std::string s = "[";
    bool first = true;
    for (int p = 0; p < kXFlashPages; ++p) {
        if (pages[p]) {
            s += (first ? "" : ",") + std::to_string(p);
            first = false;
        }
    }
    return s + "]";
}

// Erases and writes one page again: the header page from the header record, a table page from
// its table.
bool RetryPage(int page) {
    auto address = static_cast<std::uint16_t>(0x1000 + 0x100 * page);
    bool ok = ClearXFLASH(address) == 1;
    Delay(kFlashErasePauseSec);
    if (page == 1) {
        ok = WriteXFLASHCalibData() == 1 && ok;
        Delay(kFlashErasePauseSec);
    } else if (page >= 2 && page <= 5) {
        ok = WritePageToXFLASH(address, linArrayA + 256 * (page - 2)) == 1 && ok;
    } else if (page >= 6 && page <= 9) {
        ok = WritePageToXFLASH(address, linArrayB + 256 * (page - 6)) == 1 && ok;
    }
    return ok;
}

FlashOutcome FlashOnce() {
    FlashOutcome r;
    g_flash.t0 = Timer();
    g_flash.shown = false;
    CC_WriteXFLASHDATA(pCalib, CAL_BTNWRITE, EVENT_COMMIT, nullptr, 0, 0);
    std::copy_n(XFlashFailedPages(), kXFlashPages, r.failed);
    for (int attempt = 0; attempt < g_opts.retries && !r.ok() && !g_lost; ++attempt) {
        for (int p = 0; p < kXFlashPages; ++p) {
            if (r.failed[p]) {
                r.retried[p] = true;
                r.failed[p] = !RetryPage(p);
            }
        }
    }
    if (g_flash.shown) {
        std::fprintf(stderr, "\n");
    }
    r.seconds = Timer() - g_flash.t0;
    return r;
}

void ReportFlash(const FlashOutcome& r) {
    g_log.failedPages.clear();
    for (int p = 0; p < kXFlashPages; ++p) {
        if (r.failed[p]) {
            g_log.failedPages.push_back(p);
        }
    }
    if (g_opts.json) {
        Json j;
        j.add("command", "flash").add("port", com).add("ok", r.ok()).add("seconds", r.seconds);
        j.raw("failed_pages", PageJson(r.failed)).raw("retried_pages", PageJson(r.retried));
        Result(j);
        return;
    }
    std::string line =
        r.ok() ? "X-FLASH programmed" : "X-FLASH pages " + PageList(r.failed) + " not programmed";
    char took[32];
    std::snprintf(took, sizeof took, " in %.1f s", r.seconds);
    line += took;
    if (!PageList(r.retried).empty()) {
        line += "; retried pages " + PageList(r.retried);
    }
    if (r.ok()) {
        if (!g_opts.quiet) {
            std::printf("%s\n", line.c_str());
        }
    } else {
        Error(line);
    }
}

int FlashLoop() {
    int programmed = 0, failed = 0;
    double total = 0;
    Note("Waiting for a sensor on COM" + std::to_string(com) + " " + ComDeviceName(com) +
         " (Ctrl-C ends)");
    auto dropPort = [] {
        CloseCom(com);
        PortOpen = false;
        g_lost = false;
    };
    while (!g_interrupted) {
        // A sensor answers the line check.
        if (!PortOpen && OpenLinkPort(com) == 0) {
            PortOpen = true;
        }
        if (!PortOpen || CheckComLine(com) != 1) {
            if (PortOpen && (g_lost || ComPortLost(com))) {
                dropPort();
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
            if (g_lost || ComPortLost(com) || CheckComLine(com) != 1) {
                break;
            }
            Wait(0.5);
        }
        if (PortOpen && (g_lost || ComPortLost(com))) {
            dropPort();
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
    // The files are loaded as the panel loads them, CHA first: both may set the shared header
    // values, and the later file wins.
    if (!g_opts.chaFile.empty() && !LoadCalibFile(g_opts.chaFile, false)) {
        return kExitFile;
    }
    if (!g_opts.chbFile.empty() && !LoadCalibFile(g_opts.chbFile, true)) {
        return kExitFile;
    }
    if (!ApplyHeaderSets()) {
        return kExitUsage;
    }
    if (g_opts.header >= 0) {
        SetCtrlVal(pCalib, CAL_HEADERSW, g_opts.header);
    }
    if (g_opts.tables >= 0) {
        SetCtrlVal(pCalib, CAL_TABLESSW, g_opts.tables);
    }
    g_flash.progress = !g_opts.quiet && ::isatty(2);
    SetXFlashProgressObserver(OnFlashProgress);
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

// One port, in a child process of scan: a tab-separated line on stdout.
int CmdProbe() {
    if (g_opts.args.size() != 2) {
        return kExitUsage;
    }
    com = std::atoi(g_opts.args[0].c_str());
    BindComPort(com, g_opts.args[1]);
    int r = OpenLinkPort(com);
    if (r < 0) {
        std::printf("0\t\t\t%s\n", ComOpenErrorText(r));
        return kExitFailed;
    }
    if (CheckComLine(com) != 1) {
        std::printf("0\t\t\t%s\n", szStatus);
        return kExitFailed;
    }
    std::string line = szStatus;
    bool hw = GetHARDWAREInfo() == 1;
    bool fw = GetVERSIONInfo() >= 72;
    std::printf("1\t%s\t%s\t%s\n", hw ? std::to_string(pcbtype).c_str() : "",
                fw ? Utf8(szStatus).c_str() : "", line.c_str());
    return kExitOk;
}

std::vector<std::string> SplitTabs(const std::string& s) {
    std::vector<std::string> out;
    std::size_t at = 0;
    for (;;) {
        std::size_t tab = s.find('\t', at);
        out.push_back(s.substr(at, tab == std::string::npos ? tab : tab - at));
        if (tab == std::string::npos) {
            return out;
        }
        at = tab + 1;
    }
}

int CmdScan() {
    struct Child {
        ComPortChoice port;
        pid_t pid = -1;
        int fd = -1;
        std::string out;
    };
    std::vector<Child> children;
    std::string self = GetExecutableDir() + "/zel-vavod-cli";
    for (const ComPortChoice& p : ListComPorts(com)) {
        int fds[2];
        if (::pipe(fds) != 0) {
            continue;
        }
        pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(fds[1], 1);
            ::close(fds[0]);
            ::close(fds[1]);
            std::string n = std::to_string(p.number);
            const char* argv[] = {self.c_str(), "__probe", n.c_str(), p.device.c_str(), nullptr};
            ::execv(self.c_str(), const_cast<char* const*>(argv));
            ::_exit(127);
        }
        ::close(fds[1]);
        children.push_back({p, pid, fds[0], ""});
    }
    // Every probe runs at once: the time is one reply time-out, not one per port.
    for (;;) {
        std::vector<pollfd> fds;
        for (const auto& c : children) {
            if (c.fd >= 0) {
                fds.push_back({c.fd, POLLIN, 0});
            }
        }
        if (fds.empty()) {
            break;
        }
        ::poll(fds.data(), fds.size(), 100);
        for (auto& c : children) {
            if (c.fd < 0) {
                continue;
            }
            pollfd one{c.fd, POLLIN, 0};
            if (::poll(&one, 1, 0) > 0) {
                char buf[512];
                ssize_t n = ::read(c.fd, buf, sizeof buf);
                if (n > 0) {
                    c.out.append(buf, static_cast<std::size_t>(n));
                } else {
                    ::close(c.fd);
                    c.fd = -1;
                }
            }
        }
    }
    int answering = 0;
    for (auto& c : children) {
        int status = 0;
        ::waitpid(c.pid, &status, 0);
        std::string line = c.out.substr(0, c.out.find('\n'));
        std::vector<std::string> f = SplitTabs(line);
        f.resize(4);
        bool answers = f[0] == "1";
        answering += answers;
        if (g_opts.json) {
            Json j;
            j.add("command", "scan").add("port", c.port.number).add("device", c.port.device);
            j.add("answers", answers);
            j.raw("hardware", f[1].empty() ? "null" : f[1]);
            j.raw("firmware", f[2].empty() ? "null" : Json::quote(f[2]));
            j.add("status", f[3]);
            Result(j);
        } else {
            std::printf("COM%-3d %-24s %-10s %-6s %-20s %s\n", c.port.number, c.port.device.c_str(),
                        answers ? "answers" : "silent", f[1].empty() ? "-" : f[1].c_str(),
                        f[2].empty() ? "-" : f[2].c_str(), f[3].c_str());
        }
    }
    return answering > 0 ? kExitOk : kExitFailed;
}

int Run() {
    const std::string& c = g_opts.command;
    if (c == "scan") {
        return CmdScan();
    }
    if (c == "__probe") {
        return CmdProbe();
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
    if (c == "scope") {
        return Done(CmdScope());
    }
    if (c == "flash") {
        return CmdFlash();
    }
    return Done(CmdPanelCommand());
}

} // namespace

int main(int argc, char** argv) {
    g_argc = argc;
    g_argv = argv;
    std::string error;
    if (!ParseCli(argc, argv, g_opts, error)) {
        std::fprintf(stderr,
                     "zel-vavod-cli: %s\nUsage: zel-vavod-cli COMMAND [options] (see --help)\n",
                     error.c_str());
        return kExitUsage;
    }
    if (g_opts.version) {
        std::printf("zel-vavod-cli %s\n", szSoftversion);
        return kExitOk;
    }
    if (g_opts.help) {
        const char* text = CommandHelp(g_opts.command);
        std::fputs(text ? text : CliUsage(), stdout);
        return kExitOk;
    }
    // No window is ever shown: the panels live on the offscreen platform, whatever the
    // environment holds.
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // Qt wants a private runtime directory and says so on stderr when there is none (a root
    // shell, a service): give it one, so the tool's stderr holds only its own lines.
    if (!std::getenv("XDG_RUNTIME_DIR")) {
        std::string dir = "/tmp/runtime-" + std::to_string(::getuid());
        ::mkdir(dir.c_str(), 0700);
        ::setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    }
    if (!StartProgram()) {
        return kExitFailed;
    }
    int code = Run();
    EndProgram();
    CloseCVIRTE();
    return code;
}
