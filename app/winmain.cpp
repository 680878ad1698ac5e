#include "app/app.h"
#include "app/places.h"
#include "calib/calib.h"
#include "core/state.h"
#include "host/cmdline.h"
#include "host/host.h"
#include "link/link.h"
#include "link/traffic.h"
#include "params/params.h"
#include "params/record.h"
#include "runtime/ui.h"
#include "scope/record.h"
#include "scope/scope.h"
#include "serial/serial.h"
#include "store/textfile.h"
#include "views/pdf.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

char com_fname[kPathLen] = "";
char szSoftname[kTextLen] = "ZEL-A-2X-Vavod";
char szSoftversion[kTextLen] = "V2.0";
int vis = 0;

namespace {
// Where the calibration panel sits inside the main panel.
constexpr int kCalibTop = 375;
constexpr int kCalibLeft = 90;

std::string g_resourceDir = ".";
// The port file WinMain chose for InitVars; empty: the one in the program directory.
std::string g_portFile;

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

// An argument as quoted in an error: the reason stays one line whatever the argument holds.
std::string Shown(const std::string& arg) {
    std::string out = arg;
    for (char& c : out) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            c = '?';
        }
    }
    return out;
}
} // namespace

const std::string& ResourceDir() {
    return g_resourceDir;
}

const char* UsageText() {
    return "Usage: zel-vavod [options]\n"
           "Service and configuration tool for the ZEL-A-2X two-channel sensor.\n\n"
           "Options:\n"
           "  --dir DIR          program directory: port file \"comport.cfg\" and the default\n"
           "                     directory of file dialogs (default: the executable's in a\n"
           "                     build tree; installed: ~/.config/zel-vavod/comport.cfg, else\n"
           "                     /etc/zel-vavod/comport.cfg, and the documents directory)\n"
           "  --com N=DEVICE     port number N (0..255) means DEVICE, e.g. --com 3=/dev/ttyUSB0;\n"
           "                     repeatable (default: COMn on Windows, /dev/ttyS(n-1) elsewhere)\n"
           "  --simulate         start the simulated sensor (zel-sensor-sim) and use it on the\n"
           "                     port in use\n"
           "  --sim-args \"...\"   further options for the simulated sensor\n"
           "  --trace FILE       write every frame sent and received to FILE, one line each\n"
           "  --help             this text\n"
           "  --version          the program's version\n"
           "\n"
           "Qt's own options are taken too: -platform NAME[:OPTIONS], -style NAME,\n"
           "-stylesheet FILE, -reverse, -qwindowgeometry WxH+X+Y, -qwindowtitle TEXT, ...\n"
           "(under Wine: -platform windows:fontengine=freetype draws the fields' text)\n";
}

bool ParseOptions(int argc, char** argv, Options& opts, std::string& error) {
    // Qt's parser splits the words; the values are checked here, in the program's own words.
    static const std::vector<CommandLineOption> kOptions = {
        {{"help", "h"}, false}, {{"version"}, false},     {{"simulate"}, false},
        {{"dir"}, true},        {{"sim-args"}, true},     {{"trace"}, true},
        {{"com"}, true},        {{"html-to-pdf"}, false}, // takes two words: IN.html OUT.pdf
    };
    CommandLine line;
    std::string offending;
    switch (SplitCommandLine(argc, argv, kOptions, line, offending)) {
    case CommandLineError::UnknownOption:
        error = "unknown option " + Shown(offending) + " (see --help)";
        return false;
    case CommandLineError::MissingValue:
        error = offending == "--com" ? "--com needs N=DEVICE" : Shown(offending) + " needs a value";
        return false;
    case CommandLineError::None:
        break;
    }
    std::vector<std::string> words = line.options;
    if (std::find(words.begin(), words.end(), "--html-to-pdf") != words.end()) {
        if (line.positional.size() < 2) {
            error = "--html-to-pdf needs IN.html OUT.pdf";
            return false;
        }
        opts.htmlIn = line.positional[0];
        opts.pdfOut = line.positional[1];
        line.positional.erase(line.positional.begin(), line.positional.begin() + 2);
    }
    words.insert(words.end(), line.positional.begin(), line.positional.end());
    const int count = static_cast<int>(words.size());
    for (int i = 0; i < count; ++i) {
        std::string a = words[static_cast<std::size_t>(i)];
        auto value = [&](std::string& out) {
            if (i + 1 >= count) {
                error = Shown(a) + " needs a value";
                return false;
            }
            out = words[static_cast<std::size_t>(++i)];
            return true;
        };
        if (a == "--help" || a == "-h") {
            opts.help = true;
        } else if (a == "--version") {
            opts.version = true;
        } else if (a == "--simulate") {
            opts.simulate = true;
        } else if (a == "--dir") {
            if (!value(opts.dir)) {
                return false;
            }
            if (opts.dir.empty() || opts.dir.size() >= kPathLen - 16) {
                error = "--dir: the directory name is empty or too long";
                return false;
            }
        } else if (a == "--trace") {
            if (!value(opts.trace)) {
                return false;
            }
            if (opts.trace.empty()) {
                error = "--trace: the file name is empty";
                return false;
            }
        } else if (a == "--sim-args") {
            if (!value(opts.simArgs)) {
                return false;
            }
        } else if (a == "--html-to-pdf") {
            // its two words were taken above
        } else if (a == "--com") {
            if (i + 1 >= count) {
                error = "--com needs N=DEVICE";
                return false;
            }
            std::string spec = words[static_cast<std::size_t>(++i)];
            auto eq = spec.find('=');
            std::uint64_t n = 0;
            if (eq == std::string::npos || !ParseUnsigned(spec.substr(0, eq), 255, n)) {
                error = "--com " + Shown(spec) + ": expected N=DEVICE with N from 0 to 255";
                return false;
            }
            std::string dev = spec.substr(eq + 1);
            if (dev.empty()) {
                error = "--com " + Shown(spec) + ": the device is empty";
                return false;
            }
            if (std::string why; !CheckPortAddress(dev, why)) {
                error = "--com " + Shown(spec) + ": " + why;
                return false;
            }
            opts.ports.emplace_back(static_cast<int>(n), dev);
        } else {
            error = "unknown option " + Shown(a) + " (see --help)";
            return false;
        }
    }
    return true;
}

int WinMain(int argc, char** argv) {
    // Qt's own options go to the application object, the rest to the program's parser. Kept
    // for the whole run: the application object holds on to its argv.
    static SplitArgv words;
    std::string offending;
    if (!TakeQtOptions(argc, argv, words, offending)) {
        std::fprintf(stderr, "zel-vavod: %s needs a value\n", Shown(offending).c_str());
        return 2;
    }
    const int qtArgc = static_cast<int>(words.qt.size());
    words.qt.push_back(nullptr);
    Options opts;
    std::string error;
    if (!ParseOptions(static_cast<int>(words.rest.size()), words.rest.data(), opts, error)) {
        std::fprintf(stderr, "zel-vavod: %s\n", error.c_str());
        return 2;
    }
    if (opts.help) {
        std::fputs(UsageText(), stdout);
        return 0;
    }
    if (opts.version) {
        std::printf("zel-vavod %s\n", szSoftversion);
        return 0;
    }
    if (!opts.htmlIn.empty()) {
        return ConvertHtmlFileToPdf(qtArgc, words.qt.data(), opts.htmlIn, opts.pdfOut);
    }
    // -platform names where the window goes (offscreen, vnc, ...): no display needed then.
    const bool platformGiven = std::any_of(words.qt.begin() + 1, words.qt.end(), [](char* w) {
        return w && (std::strcmp(w, "-platform") == 0 || std::strcmp(w, "--platform") == 0);
    });
    if (!platformGiven && !DisplayAvailable()) {
        std::fprintf(stderr, "zel-vavod: no display found; run it in a desktop session, or "
                             "headless as: xvfb-run -a zel-vavod\n");
        return -1;
    }

    const double launched = Timer();
    if (InitCVIRTE(qtArgc, words.qt.data()) == 0) {
        return -1;
    }
    std::string exeDir = GetExecutableDir();
    std::string panelFile = FindResource(exeDir, kPanelFile);
    g_resourceDir = panelFile.substr(0, panelFile.find_last_of('/'));

    pA = LoadPanel(0, panelFile.c_str(), MAIN_PANEL_NUMBER);
    if (pA < 0) {
        std::fprintf(stderr, "zel-vavod: %s\n", UiLastError());
        return -1;
    }
    pCalib = LoadPanel(pA, panelFile.c_str(), CALIB_PANEL_NUMBER);
    if (pCalib < 0) {
        std::fprintf(stderr, "zel-vavod: %s\n", UiLastError());
        DiscardPanel(pA);
        return -1;
    }
    if (BindMainPanel(pA) < 0 || BindCalibPanel(pCalib) < 0) {
        std::fprintf(stderr, "zel-vavod: %s in %s\n", UiLastError(), panelFile.c_str());
        DiscardPanel(pA);
        return -1;
    }
    InstallPanelCallback(pA, CC_PANEL, nullptr);
    InstallTerminationHandler([] { CC_PANEL(pA, 0, EVENT_CLOSE, nullptr, 0, 0); });
    // The calibration switch appears only through the logo gesture.
    SetCtrlAttribute(pA, MAIN_TOGGCALIB, ATTR_VISIBLE, 0);

    for (const auto& [n, dev] : opts.ports) {
        BindComPort(n, dev);
    }
    PlaceInputs where;
    where.exeDir = exeDir;
    where.dirOption = opts.dir;
    where.configHome = Env("XDG_CONFIG_HOME");
    where.home = Env("HOME");
    where.documentsDir = DocumentsDir();
    where.exeDirWritable = DirectoryWritable(exeDir);
    const Places places = ChoosePlaces(where);
    SetProjectDir(places.dialogDir.c_str());
    GetProjectDir(proj_dir);

    SetupStripChart();
    g_portFile = places.portFile;
    InitVars();
    g_portFile.clear();

    if (opts.simulate) {
        bool ok = true;
        std::vector<std::string> simArgs = SplitArgs(opts.simArgs, ok);
        std::string simError;
        std::string device =
            ok ? StartSimulator(exeDir + "/zel-sensor-sim", simArgs, kSimStartLimitSec, simError)
               : "";
        if (!ok) {
            simError = "--sim-args has an unmatched quote";
        }
        if (device.empty()) {
            std::fprintf(stderr, "zel-vavod: simulated sensor not started: %s\n", simError.c_str());
        } else {
            BindComPort(com, device);
            FillPortSelector(com);
            SetPortStateObserver(&ShowPortState);
        }
    }

    if (!opts.trace.empty()) {
        // A trace that cannot be written is said once; the program runs on without it.
        if (std::string traceError; !StartTrace(opts.trace, traceError)) {
            std::fprintf(stderr, "zel-vavod: %s\n", traceError.c_str());
        }
    }

    // The traffic window shows the frames from the start-up exchange on; until it is opened they
    // are only kept, never formatted.
    StartTraffic(kTrafficViewLines);
    HoldSets();
    InitRS232(com);
    WatchPortList();

    DisplayPanel(pA);
    SetActivePanel(pA);
    SetActiveCtrl(pA, MAIN_FOCUS);
    // Diagnostics: ZEL_STARTUP_REPORT=1 prints how long start-up took; "exit" also closes.
    if (const char* report = std::getenv("ZEL_STARTUP_REPORT")) {
        // Shown means on the screen: mapped by the display server and painted once.
        WaitForPanelOnScreen(pA, 5.0);
        // The steady clock's reading lets a launcher time the start from its own side too.
        const double steady =
            std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
                .count();
        std::fprintf(stderr, "zel-vavod: main window shown after %.3f s (steady clock %.6f)\n",
                     Timer() - launched, steady);
        ReportShownValues();
        if (std::strcmp(report, "exit") == 0) {
            CC_PANEL(pA, 0, EVENT_CLOSE, nullptr, 0, 0);
        }
    }
    // The start-up's sets go into the history once the window is on the screen.
    WaitForPanelOnScreen(pA, 2.0);
    WriteHeldSets();
    StartAutorunIfAsked();
    RunUserInterface();
    WriteHeldSets(); // a close before the window showed still records them

    CloseCom(com);
    StopTrace();
    if (!TraceError().empty()) {
        std::fprintf(stderr, "zel-vavod: %s\n", TraceError().c_str());
    }
    DiscardPanel(pCalib);
    DiscardPanel(pA);
    StopSimulator();
    return 0;
}

void InitVars() {
    SetParameterDefaults();
    InitLink();
    com = 1;
    target = RAM;
    rx_flag = 0;
    graph_flag = 0;
    StopScope();
    look_flagA = 0;
    look_flagB = 0;
    ttick = 0;
    vis = 0;
    SetStatus("InitVars");
    CopyText(file_name, "TRK1para.cfg");

    if (g_portFile.empty()) {
        MakePathname(proj_dir, kPortFile, com_fname);
    } else if (g_portFile.size() < sizeof com_fname) {
        CopyText(com_fname, g_portFile);
    } else {
        com_fname[0] = '\0'; // too long to hold: read as missing, never a truncated name
    }
    com = ReadPortFile(com_fname);
    FillPortSelector(com);

    CopyText(szSoftname, "ZEL-A-2X-Vavod");
    CopyText(szSoftversion, "V2.0");
    ShowLogo(2);

    SetPanelAttribute(pCalib, ATTR_TOP, kCalibTop);
    SetPanelAttribute(pCalib, ATTR_LEFT, kCalibLeft);
    ShowStatus();
    GetPanelValues();
    FillarrayRAW(0, 0);
    std::fill(std::begin(yArrayA), std::end(yArrayA), 0);
    std::fill(std::begin(yArrayB), std::end(yArrayB), 0);
}

int CC_PANEL(int, int, int event, void*, int, int) {
    if (event == EVENT_CLOSE) {
        StopScope();
        StopRecording(false); // the loop closes it too; this covers a close outside the loop
        Delay(kClosePauseSec);
        CloseCom(com);
        QuitUserInterface(0);
    }
    return 0;
}

int CC_Timer50ms(int, int, int event, void*, int, int) {
    if (event == EVENT_TIMER_TICK) {
        unsigned next = ttick + 1u;
        ttick = static_cast<std::uint16_t>(next > 60000 ? 60000 : next);
    }
    return 0;
}
