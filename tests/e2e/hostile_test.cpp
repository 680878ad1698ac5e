// Both programs against what an attacker or a broken system may put in their way: network
// servers that misbehave (tests/support/hostile_server.py), FIFOs and devices where files are
// expected, planted links, names with terminal escapes, nodes no group may open.
#include "harness.h"
#include "process.h"

#include "host/clock.h"
#include "serial/serial.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

using zelsim::SimProcess;

std::string HostileServerScript() {
    std::string f = __FILE__;
    return f.substr(0, f.rfind("/e2e/")) + "/support/hostile_server.py";
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

struct Outcome {
    int code = -1;
    std::string out, err;
    long peakRssMiB = 0;
};

// A program to its end (killed after `timeout` s), with its output and its peak memory.
// AddressSanitizer keeps freed memory aside; a small quarantine keeps the figure the
// program's own.
Outcome RunProgram(const std::vector<std::string>& args, const std::string& cwd = {},
                   double timeout = 30) {
    const std::string dir = MakeTempDir();
    const std::string outPath = dir + "/out", errPath = dir + "/err";
    pid_t pid = ::fork();
    if (pid == 0) {
        if (!std::freopen(outPath.c_str(), "w", stdout) ||
            !std::freopen(errPath.c_str(), "w", stderr) || (!cwd.empty() && ::chdir(cwd.c_str()))) {
            ::_exit(126);
        }
        std::vector<char*> argv;
        for (const auto& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ::setenv("ASAN_OPTIONS", "quarantine_size_mb=4:detect_leaks=0", 1);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    Outcome r;
    int status = 0;
    rusage ru{};
    for (int i = 0; i < timeout * 100; ++i) {
        if (::wait4(pid, &status, WNOHANG, &ru) == pid) {
            r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            break;
        }
        ::usleep(10000);
    }
    if (r.code == -1) {
        ::kill(pid, SIGKILL);
        ::wait4(pid, &status, 0, &ru);
    }
    r.peakRssMiB = ru.ru_maxrss / 1024;
    r.out = Slurp(outPath);
    r.err = Slurp(errPath);
    fs::remove_all(dir);
    return r;
}

// The window on `address` for `seconds`, then closed as a desktop closes it; its exit code
// and peak memory.
Outcome Window(const std::string& address, double seconds) {
    const std::string dir = MakeTempDir();
    std::ofstream(dir + "/comport.cfg") << "1\n";
    pid_t pid = ::fork();
    if (pid == 0) {
        const std::string err = dir + "/err";
        if (!std::freopen(err.c_str(), "w", stderr)) {
            ::_exit(126);
        }
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ::setenv("ASAN_OPTIONS", "quarantine_size_mb=4:detect_leaks=0", 1);
        const std::string bind = "1=" + address;
        ::execl(ZEL_VAVOD_EXE, ZEL_VAVOD_EXE, "--dir", dir.c_str(), "--com", bind.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::usleep(static_cast<useconds_t>(seconds * 1e6));
    Outcome r;
    int status = 0;
    rusage ru{};
    const bool alive = ::wait4(pid, &status, WNOHANG, &ru) == 0;
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 1000 && ::wait4(pid, &status, WNOHANG, &ru) == 0; ++i) {
        ::usleep(10000);
    }
    if (::kill(pid, 0) == 0) {
        ::kill(pid, SIGKILL);
        ::wait4(pid, &status, 0, &ru);
    }
    r.code = alive && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.peakRssMiB = ru.ru_maxrss / 1024;
    r.err = Slurp(dir + "/err");
    fs::remove_all(dir);
    return r;
}

struct Hostile {
    std::unique_ptr<SimProcess> server;
    explicit Hostile(const std::string& mode, const std::string& scheme = "tcp") {
        server = std::make_unique<SimProcess>(
            "/usr/bin/python3",
            std::vector<std::string>{HostileServerScript(), mode, "--scheme", scheme});
    }
    std::string address() const { return server->ptyPath(); }
};

// Memory the tool may take whatever a peer sends: what it needs plus the sanitizers' share.
constexpr long kRssBoundMiB = 200;

} // namespace

TEST(HostilePeer, EachMisbehavingServerEndsInOneClearLineWithMemoryBounded) {
    struct Case {
        const char* mode;
        const char* scheme;
        const char* says;
    };
    const Case cases[] = {
        {"subneg", "rfc2217", "subnegotiation longer than 256 bytes"},
        {"options", "rfc2217", "no answer to the RFC 2217 negotiation"},
        {"flood", "tcp", ""},
        {"flood", "rfc2217", ""},
        {"noread", "tcp", "Timeout"},
        {"noaccept", "tcp", "no connection within 1.5 s"},
        {"reset", "tcp", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.scheme) + " " + c.mode);
        Hostile server(c.mode, c.scheme);
        ASSERT_TRUE(server.server->ok());
        const std::string address = server.address();
        Outcome r = RunProgram({ZEL_CLI_EXE, "info", "--com", "1=" + address, "--port", "1"});
        EXPECT_EQ(r.code, 1) << r.err;
        EXPECT_EQ(Count(r.err, "\n"), 1) << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_LE(Count(r.err, address), 1) << r.err;
        EXPECT_LT(r.peakRssMiB, kRssBoundMiB);
    }
}

TEST(HostilePeer, TheWindowOutlivesFloodsAndEndlessNegotiationWithMemoryBounded) {
    for (const auto& [mode, scheme] : std::vector<std::pair<std::string, std::string>>{
             {"flood", "tcp"}, {"subneg", "rfc2217"}, {"options", "rfc2217"}}) {
        SCOPED_TRACE(scheme + " " + mode);
        Hostile server(mode, scheme);
        ASSERT_TRUE(server.server->ok());
        Outcome w = Window(server.address(), 4);
        EXPECT_EQ(w.code, 0) << w.err;
        EXPECT_LT(w.peakRssMiB, kRssBoundMiB) << w.err;
    }
}

TEST(HostilePeer, ScanTriesEveryAddressOnceAndKeepsItsReason) {
    Hostile hang("noaccept"), mute("noread");
    ASSERT_TRUE(hang.server->ok() && mute.server->ok());
    Outcome r = RunProgram({ZEL_CLI_EXE, "scan", "--json", "--com", "5=" + hang.address(), "--com",
                            "6=tcp://nosuchhost.invalid:7", "--com", "7=" + mute.address()});
    EXPECT_EQ(r.code, 1) << r.err;
    for (const std::string& row :
         {std::string("\"port\":5,\"device\":\"") + hang.address() +
              "\",\"answers\":false,\"hardware\":null,\"firmware\":null,\"status\":\"Cannot "
              "open port\"",
          std::string("\"port\":6,\"device\":\"tcp://nosuchhost.invalid:7\",\"answers\":false,"
                      "\"hardware\":null,\"firmware\":null,\"status\":\"Cannot open port\""),
          std::string("\"port\":7,\"device\":\"") + mute.address() +
              "\",\"answers\":false,\"hardware\":null,\"firmware\":null,\"status\":\"Timeout-RS-"
              "232...\""}) {
        EXPECT_NE(r.out.find(row), std::string::npos) << row << "\n" << r.out;
    }
}

TEST(HostileFiles, FifosAndDevicesWhereFilesAreExpectedAreRefusedAtOnce) {
    const std::string dir = MakeTempDir();
    const std::string fifo = dir + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

    // A trace nobody reads is refused, not waited on.
    Outcome trace = RunProgram({ZEL_CLI_EXE, "info", "--device", "/dev/null", "--trace", fifo});
    EXPECT_EQ(trace.code, 1);
    EXPECT_NE(trace.err.find(fifo + ": cannot be written (a FIFO nobody reads)"), std::string::npos)
        << trace.err;
    // /dev/null is no serial port, and no shell holding it is named.
    EXPECT_NE(trace.err.find("/dev/null: not a serial device"), std::string::npos) << trace.err;
    EXPECT_EQ(trace.err.find("(PID"), std::string::npos) << trace.err;

    // A history that is a FIFO: said, and no lock left behind.
    const std::string data = dir + "/data";
    fs::create_directories(data + "/zel-vavod");
    ASSERT_EQ(::mkfifo((data + "/zel-vavod/history.json").c_str(), 0600), 0);
    ::setenv("XDG_DATA_HOME", data.c_str(), 1);
    Outcome history = RunProgram({ZEL_CLI_EXE, "history"});
    ::unsetenv("XDG_DATA_HOME");
    EXPECT_NE(history.code, 0);
    EXPECT_NE(history.err.find("history.json: not a regular file"), std::string::npos)
        << history.err;
    EXPECT_FALSE(fs::exists(data + "/zel-vavod/history.json.lock"));

    // A full device: the cause as it is.
    Outcome full = RunProgram({ZEL_CLI_EXE, "get", "--from", "ram", "--simulate", "--sim-args",
                               "--baud 0 --latency 0", "-o", "/dev/full"});
    EXPECT_NE(full.code, 0) << full.err;
    EXPECT_NE(full.err.find("/dev/full: No space left on device"), std::string::npos) << full.err;
    fs::remove_all(dir);
}

TEST(HostileFiles, TheReportsPageIsItsOwnFileAndNoNameReadsAsAnOption) {
    const std::string dir = MakeTempDir();
    const std::string victim = dir + "/victim", planted = dir + "/r.pdf.part.html";
    std::ofstream(victim) << "keep me\n";
    fs::create_symlink(victim, planted);
    Outcome r = RunProgram({ZEL_CLI_EXE, "report", "-o", "r.pdf", "--device", "/dev/null"}, dir);
    EXPECT_EQ(Slurp(victim), "keep me\n");
    EXPECT_TRUE(fs::is_symlink(planted));
    EXPECT_TRUE(fs::exists(dir + "/r.pdf")) << r.err;
    // A name that starts with '-' is a file, not an option of the window program.
    Outcome dash =
        RunProgram({ZEL_CLI_EXE, "report", "-o", "-x.pdf", "--device", "/dev/null"}, dir);
    EXPECT_TRUE(fs::exists(dir + "/-x.pdf")) << dash.err;
    EXPECT_EQ(dash.err.find("unknown option"), std::string::npos) << dash.err;
    // Nothing else of ours is left in the folder.
    int ours = 0;
    for (const auto& e : fs::directory_iterator(dir)) {
        ours += e.path().filename().string().rfind(".zel-", 0) == 0;
    }
    EXPECT_EQ(ours, 0);
    fs::remove_all(dir);
}

TEST(HostileFiles, AReadOnlyHistoryIsShownAndItsWriteNamesTheCause) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to run as another user";
    }
    const std::string dir = MakeTempDir();
    const std::string folder = dir + "/zel-vavod";
    fs::create_directories(folder);
    std::ofstream(folder + "/history.json")
        << "{\"format\":\"zel-vavod history\",\"version\":1,\"next_id\":8,\"entries\":[\n"
           "{\"id\":7,\"unix\":1700000000,\"time\":\"2023-11-14T22:13:20+00:00\",\"port\":1,"
           "\"device\":\"/dev/ttyS0\",\"hardware\":400,\"firmware\":\"V2.0\",\"direction\":"
           "\"got\",\"memory\":\"ram\",\"file\":null,\"block\":0,\"words\":[1,2,3,4,5,6,7,8,9,"
           "10,11,12,13,14,15]}\n]}\n";
    ::chmod(dir.c_str(), 0755);
    ::chmod(folder.c_str(), 0555);
    ::chmod((folder + "/history.json").c_str(), 0644);
    const std::string cmd = "XDG_DATA_HOME=" + dir +
                            " QT_QPA_PLATFORM=offscreen setpriv --reuid=65534 --regid=65534 "
                            "--clear-groups " +
                            ZEL_CLI_EXE + " history 2>&1";
    std::string out;
    if (FILE* p = ::popen(cmd.c_str(), "r")) {
        char buf[512];
        while (std::fgets(buf, sizeof buf, p)) {
            out += buf;
        }
        EXPECT_EQ(::pclose(p), 0) << out;
    }
    EXPECT_NE(out.find("2023-11-14 22:13:20  got     ram     block 0"), std::string::npos) << out;
    EXPECT_EQ(out.find("in use by another program"), std::string::npos) << out;

    // A set got there cannot be recorded: the cause is the folder, not another program.
    out.clear();
    const std::string get = "XDG_DATA_HOME=" + dir +
                            " setpriv --reuid=65534 --regid=65534 --clear-groups " + ZEL_CLI_EXE +
                            " get --from ram --simulate --sim-args '--baud 0 --latency 0' 2>&1";
    if (FILE* p = ::popen(get.c_str(), "r")) {
        char buf[512];
        while (std::fgets(buf, sizeof buf, p)) {
            out += buf;
        }
        ::pclose(p);
    }
    EXPECT_NE(out.find("history.json: cannot be written (permission denied in " + folder + ")"),
              std::string::npos)
        << out;
    fs::remove_all(dir);
}

TEST(HostileNames, AHoldersNameIsPrintedCleanAndACureIsOnlyOneThatWorks) {
    SimProcess sim(ZEL_SIM_EXE, {"--latency", "0"});
    ASSERT_TRUE(sim.ok());
    const std::string pty = sim.ptyPath();
    // A holder whose name carries terminal escapes: the tool itself under such a name.
    const std::string dir = MakeTempDir();
    const std::string evil = dir + "/\x1b]0;PWN\x07\x1b[2J";
    fs::copy_file(ZEL_CLI_EXE, evil);
    pid_t holder = ::fork();
    if (holder == 0) {
        ::setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execl(evil.c_str(), evil.c_str(), "scope", "--seconds", "4", "--quiet", "--device",
                pty.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::usleep(1000 * 1000);
    Outcome busy = RunProgram({ZEL_CLI_EXE, "info", "--device", pty});
    ::kill(holder, SIGTERM);
    ::waitpid(holder, nullptr, 0);
    EXPECT_EQ(busy.code, 1);
    EXPECT_NE(busy.err.find("?]0;PWN??[2J (PID "), std::string::npos) << busy.err;
    EXPECT_EQ(busy.err.find('\x1b'), std::string::npos);

    if (::geteuid() == 0) {
        // Root's node that no group may open: no group to join, root's least of all.
        ASSERT_EQ(::chown(pty.c_str(), 0, 0), 0);
        ASSERT_EQ(::chmod(pty.c_str(), 0600), 0);
        const std::string cmd = "setpriv --reuid=65534 --regid=65534 --clear-groups " +
                                std::string(ZEL_CLI_EXE) + " info --device " + pty + " 2>&1";
        std::string out;
        if (FILE* p = ::popen(cmd.c_str(), "r")) {
            char buf[512];
            while (std::fgets(buf, sizeof buf, p)) {
                out += buf;
            }
            ::pclose(p);
        }
        EXPECT_NE(out.find("permission denied (owner root, mode 0600)"), std::string::npos) << out;
        EXPECT_NE(out.find("udev rule"), std::string::npos) << out;
        EXPECT_EQ(out.find("usermod"), std::string::npos) << out;
    }
    fs::remove_all(dir);
}

TEST(HostileNames, OneAddressCheckForComAndDeviceAndEveryIdAHistoryHolds) {
    for (const std::string bad : {"tcp://host:99999", "rfc2217://:5000", "xyz://h:1"}) {
        Outcome device = RunProgram({ZEL_CLI_EXE, "info", "--device", bad});
        Outcome com = RunProgram({ZEL_CLI_EXE, "info", "--com", "1=" + bad, "--port", "1"});
        EXPECT_EQ(device.code, 2) << device.err;
        EXPECT_EQ(com.code, 2) << com.err;
        // The same reason for both.
        const auto reason = [&](const std::string& err) {
            const auto at = err.find(bad + ": ");
            return at == std::string::npos ? err : err.substr(at, err.find('\n', at) - at);
        };
        EXPECT_EQ(reason(device.err), reason(com.err));
    }
    // An id above 2^31 is an id, looked for in the history, not a usage error.
    const std::string dir = MakeTempDir();
    ::setenv("XDG_DATA_HOME", dir.c_str(), 1);
    Outcome big = RunProgram({ZEL_CLI_EXE, "send", "--to", "ram", "--history", "9007199254740991",
                              "--device", "/dev/null"});
    Outcome over = RunProgram({ZEL_CLI_EXE, "send", "--to", "ram", "--history", "9007199254740992",
                               "--device", "/dev/null"});
    ::unsetenv("XDG_DATA_HOME");
    EXPECT_NE(big.code, 2) << big.err;
    EXPECT_EQ(over.code, 2) << over.err;
    fs::remove_all(dir);
}

namespace {

// A listener on a loopback port that counts the connections it accepts.
struct Listener {
    int fd = -1;
    explicit Listener(int port) {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    ~Listener() { ::close(fd); }
    int accepted() const {
        int n = 0;
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        for (int c; (c = ::accept(fd, nullptr, nullptr)) >= 0; ++n) {
            ::close(c);
        }
        return n;
    }
};

int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), len);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

class NetPresenceTest : public SimLinkTest {};

} // namespace

// The lost-port check's question for a network port: never a connect it waits for, but one in
// the background, tried again with back-off, whose connection the reopen then takes.
TEST_F(NetPresenceTest, ALostAddressIsLookedForInTheBackgroundAndItsConnectionKept) {
    const int port = FreePort();
    BindComPort(9, "tcp://127.0.0.1:" + std::to_string(port));
    int asked = 0;
    auto present = [&] {
        ++asked;
        return ComPortPresent(9);
    };
    EXPECT_FALSE(present()); // an attempt starts; nobody listens
    for (double end = Timer() + 0.5; Timer() < end;) {
        EXPECT_FALSE(present());
        ProcessSystemEventsUntil(Timer() + 0.05);
    }
    Listener server(port);
    ASSERT_GE(server.fd, 0);
    bool back = false;
    for (double end = Timer() + 6; !back && Timer() < end;) {
        back = present();
        ProcessSystemEventsUntil(Timer() + 0.05);
    }
    ASSERT_TRUE(back);
    EXPECT_GT(asked, 10); // asked often, answered without waiting
    ASSERT_EQ(OpenComConfig(9, "", 19200, 0, 8, 1, 4096, 4096), 0) << ComOpenFailureReason(9);
    // The open took the connection the check made: the server saw one, not two.
    EXPECT_EQ(server.accepted(), 1);
    CloseCom(9);
}
