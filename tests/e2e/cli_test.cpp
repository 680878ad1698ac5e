// The GUI program from outside: options, bad resources, --simulate.
#include "harness.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

namespace {
struct ProgramRun {
    int code = -1;
    std::string out, err;
};

// Runs a program to its end (killed after `timeout` seconds) and collects its output.
ProgramRun RunProgram(const std::vector<std::string>& args, double timeout = 20.0) {
    std::string dir = MakeTempDir();
    std::string outPath = dir + "/out", errPath = dir + "/err";
    pid_t pid = ::fork();
    if (pid == 0) {
        FILE* o = std::freopen(outPath.c_str(), "w", stdout);
        FILE* e = std::freopen(errPath.c_str(), "w", stderr);
        (void)o;
        (void)e;
        std::vector<char*> argv;
        for (const auto& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ProgramRun r;
    int status = 0;
    for (int i = 0; i < timeout * 100; ++i) {
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            break;
        }
        ::usleep(10000);
    }
    if (r.code == -1) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    auto slurp = [](const std::string& p) {
        std::ifstream in(p);
        return std::string((std::istreambuf_iterator<char>(in)), {});
    };
    r.out = slurp(outPath);
    r.err = slurp(errPath);
    std::filesystem::remove_all(dir);
    return r;
}

// Lines the program itself wrote (Qt may add its own notes about the environment).
int Lines(const std::string& s) {
    int n = 0;
    for (std::size_t at = 0; (at = s.find("zel-vavod: ", at)) != std::string::npos; ++at) {
        ++n;
    }
    return n;
}
} // namespace

TEST(Cli, OptionsAndBadOptions) {
    ProgramRun help = RunProgram({ZEL_VAVOD_EXE, "--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_NE(help.out.find("--com N=DEVICE"), std::string::npos);
    ProgramRun version = RunProgram({ZEL_VAVOD_EXE, "--version"});
    EXPECT_EQ(version.code, 0);
    EXPECT_EQ(version.out, "zel-vavod V2.0\n");

    const std::vector<std::vector<std::string>> bad = {
        {"--bogus"},     {"--com", "256=/dev/null"},
        {"--com", "1="}, {"--com", "x=/dev/null"},
        {"--com"},       {"--dir"},
    };
    for (auto args : bad) {
        args.insert(args.begin(), ZEL_VAVOD_EXE);
        ProgramRun r = RunProgram(args);
        EXPECT_EQ(r.code, 2) << args[1];
        EXPECT_EQ(Lines(r.err), 1) << r.err;
    }
}

TEST(Cli, MissingOrBrokenPanelFileEndsBeforeAnyPortOpens) {
    std::string dir = MakeTempDir();
    std::string exe = dir + "/zel-vavod";
    std::filesystem::copy_file(ZEL_VAVOD_EXE, exe);
    zelsim::SimProcess sim(ZEL_SIM_EXE, {"--log", dir + "/sim.log"});
    ASSERT_TRUE(sim.ok());
    std::string com = "1=" + sim.ptyPath();

    ProgramRun missing = RunProgram({exe, "--com", com});
    EXPECT_EQ(missing.code, 255);
    EXPECT_EQ(Lines(missing.err), 1) << missing.err;
    EXPECT_NE(missing.err.find("ZEL-A-RadovU20.ui"), std::string::npos) << missing.err;

    for (const char* garbage : {"not a designer file", "<ui version=\"4.0\"><widget/></ui>"}) {
        std::ofstream(dir + "/ZEL-A-RadovU20.ui", std::ios::trunc) << garbage;
        ProgramRun broken = RunProgram({exe, "--com", com});
        EXPECT_EQ(broken.code, 255) << garbage;
        EXPECT_NE(broken.err.find("ZEL-A-RadovU20.ui"), std::string::npos) << broken.err;
    }
    sim.signal(SIGTERM);
    EXPECT_EQ(sim.wait(5), 0);
    std::ifstream log(dir + "/sim.log");
    std::string text((std::istreambuf_iterator<char>(log)), {});
    EXPECT_EQ(text.find(" RX "), std::string::npos) << "a frame reached the sensor";
    std::filesystem::remove_all(dir);
}

TEST(Cli, SimulateStartsTheSensorAndStopsItAtExit) {
    std::string dir = MakeTempDir();
    std::string log = dir + "/sim.log";
    pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        std::string simArgs = "--baud 0 --log " + log;
        ::execl(ZEL_VAVOD_EXE, ZEL_VAVOD_EXE, "--simulate", "--dir", dir.c_str(), "--sim-args",
                simArgs.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    // Wait until the start-up exchange reached the sensor, then close as a desktop would.
    bool talked = false;
    for (int i = 0; i < 1000 && !talked; ++i) {
        ::usleep(10000);
        std::ifstream in(log);
        std::string text((std::istreambuf_iterator<char>(in)), {});
        talked = text.find("RX 00 55 00 07") != std::string::npos;
    }
    EXPECT_TRUE(talked);
    ::usleep(200000);
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // The simulator was stopped with the program.
    std::string probe = "pgrep -f 'zel-sensor-si[m] --baud 0 --log " + log + "' >/dev/null";
    EXPECT_NE(std::system(probe.c_str()), 0);
    std::filesystem::remove_all(dir);
}

// Qt's own options are Qt's: the window starts with them, wherever they stand among the
// program's own; a form Qt does not take is refused in the program's words.
TEST(Cli, QtOwnOptionsAreTakenBeforeTheProgramsOwn) {
    const std::string dir = MakeTempDir();
    {
        std::ofstream qss(dir + "/look.qss");
        qss << "QLineEdit { color: navy; }\n";
    }
    ::setenv("XDG_DATA_HOME", dir.c_str(), 1);
    ::setenv("ZEL_STARTUP_REPORT", "exit", 1);
    ProgramRun run =
        RunProgram({ZEL_VAVOD_EXE, "-platform", "offscreen", "--dir", dir, "-reverse", "-style",
                    "Fusion", "--stylesheet=" + dir + "/look.qss", "-qwindowtitle", "Bench 2",
                    "--simulate", "--sim-args", "--baud 0 --latency 0"});
    ::unsetenv("ZEL_STARTUP_REPORT");
    ::unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_NE(run.err.find("main window shown"), std::string::npos) << run.err;

    ProgramRun bare = RunProgram({ZEL_VAVOD_EXE, "--dir", dir, "-platform"});
    EXPECT_EQ(bare.code, 2);
    EXPECT_NE(bare.err.find("zel-vavod: -platform needs a value"), std::string::npos) << bare.err;
    ProgramRun glued = RunProgram({ZEL_VAVOD_EXE, "-platform=offscreen"});
    EXPECT_EQ(glued.code, 2);
    EXPECT_NE(glued.err.find("unknown option -platform"), std::string::npos) << glued.err;
    std::filesystem::remove_all(dir);
}

// The sets got during start-up are recorded once the window is up: they wait for it, and a
// close right after it showed still finds them written.
TEST(Cli, StartupSetsReachTheHistoryWhenTheWindowIsUp) {
    const std::string dir = MakeTempDir();
    ::setenv("XDG_DATA_HOME", dir.c_str(), 1);
    ::setenv("ZEL_STARTUP_REPORT", "exit", 1);
    ProgramRun run = RunProgram(
        {ZEL_VAVOD_EXE, "--simulate", "--dir", dir, "--sim-args", "--baud 0 --latency 0"});
    ::unsetenv("ZEL_STARTUP_REPORT");
    ::unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_NE(run.err.find("main window shown"), std::string::npos) << run.err;
    std::ifstream in(dir + "/zel-vavod/history.json");
    ASSERT_TRUE(in) << "no history written";
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    // Both blocks, got from RAM, in the order they passed.
    const auto first = text.find("{\"block\":0,");
    const auto second = text.find("{\"block\":1,");
    EXPECT_NE(first, std::string::npos) << text;
    EXPECT_NE(second, std::string::npos) << text;
    EXPECT_LT(first, second);
    std::size_t got = 0;
    for (auto at = text.find("\"direction\":\"got\""); at != std::string::npos;
         at = text.find("\"direction\":\"got\"", at + 1)) {
        ++got;
    }
    EXPECT_EQ(got, 2u) << text;
    std::filesystem::remove_all(dir);
}
