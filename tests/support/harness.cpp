#include "harness.h"

#include "app/app.h"
#include "calib/calib.h"
#include "core/state.h"
#include "host/clock.h"
#include "link/frames.h"
#include "link/link.h"
#include "params/params.h"
#include "params/record.h"
#include "runtime/ui.h"
#include "scope/scope.h"
#include "serial/serial.h"
#include "testkit/testing.h"

#include <QApplication>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

#ifndef ZEL_PANEL_FILE
#error "ZEL_PANEL_FILE must name the panel resource"
#endif

std::string MakeTempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "zeltest-XXXXXX").string();
    char* made = mkdtemp(tmpl.data());
    return made ? std::string(made) : std::string();
}

void RoutineTest::SetUp() {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static char arg0[] = "zel-tests";
    static char* argv[] = {arg0, nullptr};
    InitCVIRTE(1, argv);
    UseVirtualClock(true);
    ClearFileSelectCalls();
    ClearCompareCalls();

    pA = LoadPanel(0, ZEL_PANEL_FILE, MAIN_PANEL_NUMBER);
    ASSERT_GT(pA, 0) << UiLastError();
    pCalib = LoadPanel(pA, ZEL_PANEL_FILE, CALIB_PANEL_NUMBER);
    ASSERT_GT(pCalib, 0) << UiLastError();
    ASSERT_EQ(BindMainPanel(pA), 0) << UiLastError();
    ASSERT_EQ(BindCalibPanel(pCalib), 0) << UiLastError();
    InstallPanelCallback(pA, CC_PANEL, nullptr);

    tempDir = MakeTempDir();
    ASSERT_FALSE(tempDir.empty());
    // The history of parameter sets goes to the test's own directory, never the user's.
    ::setenv("XDG_DATA_HOME", (tempDir + "/data").c_str(), 1);
    ClearHistoryCalls();
    SetProjectDir(tempDir.c_str());
    GetProjectDir(proj_dir);
    AttachMemoryDevice(1, &dev);
    SetupStripChart();
    InitVars();
    std::fill(std::begin(pp), std::end(pp), 0);
    pcbtype = 0;
    std::fill(std::begin(arrayRAW), std::end(arrayRAW), 0.0);
    ClearTextHistory();
}

void RoutineTest::TearDown() {
    CloseCom(1);
    DetachAllMemoryDevices();
    ClearComBindings();
    if (pA > 0) {
        DiscardPanel(pA);
    }
    pA = pCalib = 0;
    // Let deferred deletions run before the next test.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
    ClearFileSelectCalls();
    ClearCompareCalls();
    UseVirtualClock(false);
    if (!tempDir.empty()) {
        std::error_code ec;
        std::filesystem::permissions(tempDir, std::filesystem::perms::owner_all, ec);
        std::filesystem::remove_all(tempDir, ec);
    }
}

void RoutineTest::useSensor(zelsim::Options opts, int baud) {
    sensor = std::make_unique<zelsim::Engine>(opts);
    lineFree_ = 0;
    dev.onWrite = [this, baud](std::span<const std::uint8_t> bytes, double now) {
        auto wire = [baud](std::size_t n) { return baud > 0 ? n * 10.0 / baud : 0.0; };
        // The request itself takes its time on the line before the sensor has it.
        double at = now + wire(bytes.size());
        zelsim::Output out = sensor->feed(bytes.data(), bytes.size(), at);
        for (const auto& chunk : out.chunks) {
            // One reply after another: the sensor's line carries one byte at a time.
            at = std::max(at + chunk.delay, lineFree_);
            at += wire(chunk.bytes.size());
            lineFree_ = at;
            dev.send(chunk.bytes, at - now);
        }
    };
}

void RoutineTest::openLink() {
    ASSERT_EQ(OpenComConfig(1, "", 19200, 0, 8, 1, 4096, 4096), 0);
    SetComTime(1, TIMEOUT);
    InstallComCallback(1, eventMask, kNotifyCount, zel::sync, RX_Receive_Function, nullptr);
    com = 1;
}

std::vector<std::uint8_t> RoutineTest::frame(std::initializer_list<unsigned> words) {
    std::vector<std::uint8_t> f(kFrameLen, 0);
    int i = 0;
    for (unsigned w : words) {
        if (i >= 18) {
            break;
        }
        f[2 * i] = static_cast<std::uint8_t>(w >> 8);
        f[2 * i + 1] = static_cast<std::uint8_t>(w & 0xFF);
        ++i;
    }
    return f;
}

void RoutineTest::reply(const std::vector<std::uint8_t>& bytes, double delay) {
    dev.send(bytes, delay);
}

void RoutineTest::pump(double seconds) {
    double end = Timer() + seconds;
    while (Timer() < end) {
        ProcessSystemEvents();
    }
}

std::vector<std::string> RoutineTest::statusHistory() const {
    return TextHistory(pA, MAIN_STATUS);
}

std::string RoutineTest::status() const {
    char buf[256];
    GetCtrlVal(pA, MAIN_STATUS, buf, sizeof buf);
    return buf;
}

unsigned RoutineTest::writtenWord(std::size_t i, int at) const {
    const auto& w = dev.writes.at(i);
    return (static_cast<unsigned>(w.at(at)) << 8) | w.at(at + 1);
}

#include "process.h"

#include <fstream>

void SimLinkTest::SetUp() {
    RoutineTest::SetUp();
    DetachAllMemoryDevices();
    UseVirtualClock(false);
}

void SimLinkTest::TearDown() {
    CloseCom(1);
    if (sim) {
        sim->signal(SIGTERM);
        sim->wait(5.0);
        sim.reset();
    }
    RoutineTest::TearDown();
}

void SimLinkTest::startSim(std::vector<std::string> args) {
    logPath = tempDir + "/sim.log";
    args.push_back("--log");
    args.push_back(logPath);
    sim = std::make_unique<zelsim::SimProcess>(ZEL_SIM_EXE, args);
    ASSERT_TRUE(sim->ok()) << "zel-sensor-sim did not start";
    BindComPort(1, sim->ptyPath());
}

std::vector<std::string> SimLinkTest::simLog() const {
    std::vector<std::string> lines;
    std::ifstream in(logPath);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

static std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

int SpawnCli(const std::vector<std::string>& args, const std::string& out, const std::string& err) {
    pid_t pid = ::fork();
    if (pid == 0) {
        FILE* o = std::freopen(out.c_str(), "w", stdout);
        FILE* e = std::freopen(err.c_str(), "w", stderr);
        (void)o;
        (void)e;
        std::vector<char*> argv{const_cast<char*>(ZEL_CLI_EXE)};
        for (const auto& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        ::unsetenv("QT_QPA_PLATFORM"); // the tool chooses its platform itself
        ::execv(ZEL_CLI_EXE, argv.data());
        ::_exit(127);
    }
    return pid;
}

int ReapCli(pid_t pid, double timeout) {
    int status = 0;
    for (int i = 0; i < timeout * 100; ++i) {
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        ::usleep(10000);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -2;
}

CliRun RunCli(const std::vector<std::string>& args, const std::string& dir, double timeout) {
    CliRun r;
    std::string out = dir + "/cli.out", err = dir + "/cli.err";
    double t0 = Timer();
    r.code = ReapCli(SpawnCli(args, out, err), timeout);
    r.seconds = Timer() - t0;
    r.out = Slurp(out);
    r.err = Slurp(err);
    return r;
}
