// zel-vavod-cli on network ports: raw TCP to the simulator's --tcp, RFC 2217 through pyserial's
// server side (rfc2217_server.py in front of the simulator's terminal), and the ways an
// address or a server can fail.
#include "harness.h"
#include "process.h"

#include "runtime/ui.h"
#include "serial/serial.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <spawn.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using zelsim::monotonicSeconds;
using zelsim::SimProcess;

// The system's interpreter: python3-serial is a Debian package.
constexpr const char* kPython = "/usr/bin/python3";

std::string Here() {
    std::string f = __FILE__;
    return f.substr(0, f.rfind('/'));
}

std::string TempPath(const std::string& name) {
    return ::testing::TempDir() + "net_" + std::to_string(getpid()) + "_" + name;
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) {
        lines.push_back(l);
    }
    return lines;
}

CliRun Cli(const std::vector<std::string>& args, double timeout = 60) {
    CliRun r;
    const std::string out = TempPath("cli.out"), err = TempPath("cli.err");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> all{ZEL_CLI_EXE};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    const double t0 = monotonicSeconds();
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, ZEL_CLI_EXE, &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        return r;
    }
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (monotonicSeconds() - t0 > timeout) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            r.code = -2;
            break;
        }
        usleep(5000);
    }
    r.seconds = monotonicSeconds() - t0;
    if (r.code != -2) {
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    r.out = Slurp(out);
    r.err = Slurp(err);
    return r;
}

// A listening socket on a free loopback port that never says a word; its port number.
struct MuteServer {
    int fd = -1;
    int port = 0;
    MuteServer() {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), len) == 0 && listen(fd, 4) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
            port = ntohs(a.sin_port);
        }
    }
    ~MuteServer() { close(fd); }
    // Connections made so far, taken off the queue.
    int accepted() const {
        int n = 0;
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        for (int c; (c = accept(fd, nullptr, nullptr)) >= 0; ++n) {
            close(c);
        }
        return n;
    }
};

// The simulator on its terminal, with pyserial's RFC 2217 server in front of it.
struct Bridge {
    std::unique_ptr<SimProcess> sim;
    std::unique_ptr<SimProcess> server;
    std::string log = TempPath("bridge.log");
    Bridge() {
        std::remove(log.c_str());
        sim = std::make_unique<SimProcess>(ZEL_SIM_EXE, std::vector<std::string>{});
        if (sim->ok()) {
            server = std::make_unique<SimProcess>(
                kPython, std::vector<std::string>{Here() + "/rfc2217_server.py", sim->ptyPath(),
                                                  "--log", log});
        }
    }
    bool ok() const { return server && server->ok(); }
    std::string address() const { return server->ptyPath(); }
    // The per-client summaries ("client N: baud=... "), once the server has written them.
    std::vector<std::string> clients(std::size_t want) const {
        std::vector<std::string> found;
        for (double end = monotonicSeconds() + 3; monotonicSeconds() < end; usleep(20000)) {
            found.clear();
            for (const auto& l : Lines(Slurp(log))) {
                if (l.rfind("client ", 0) == 0) {
                    found.push_back(l);
                }
            }
            if (found.size() >= want) {
                break;
            }
        }
        return found;
    }
};

} // namespace

TEST(NetworkPorts, InfoAndGetOverRawTcp) {
    SimProcess sim(ZEL_SIM_EXE, {"--tcp", "127.0.0.1:0", "--hw", "400"});
    ASSERT_TRUE(sim.ok());
    const std::string bind = "1=" + sim.ptyPath();

    CliRun info = Cli({"info", "--com", bind, "--port", "1", "--json"});
    ASSERT_EQ(info.code, 0) << info.err;
    EXPECT_NE(info.out.find("\"hardware\":400"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find(sim.ptyPath()), std::string::npos) << info.out;

    // The simulator serves the next client: a second run on the same address.
    CliRun get = Cli({"get", "--from", "eeprom", "--com", bind, "--port", "1", "--json"});
    ASSERT_EQ(get.code, 0) << get.err;
    EXPECT_NE(get.out.find("{\"index\":0,\"value\":500"), std::string::npos) << get.out;
}

TEST(NetworkPorts, Rfc2217ThroughPyserialNegotiates19200_8N1AndStreams) {
    Bridge bridge;
    ASSERT_TRUE(bridge.ok()) << "pyserial's RFC 2217 server did not start (python3-serial is "
                                "installed by scripts/setup.sh test)";
    const std::string bind = "1=" + bridge.address();

    CliRun info = Cli({"info", "--com", bind, "--port", "1", "--json"});
    ASSERT_EQ(info.code, 0) << info.err;
    EXPECT_NE(info.out.find("\"firmware\":\"V2.0\""), std::string::npos) << info.out;

    CliRun get = Cli({"get", "--from", "ram", "--block", "0", "--com", bind, "--port", "1"});
    ASSERT_EQ(get.code, 0) << get.err;
    EXPECT_NE(get.out.find("500"), std::string::npos) << get.out;

    const std::string csv = TempPath("scope.csv");
    CliRun scope = Cli({"scope", "--seconds", "3", "--csv", csv, "--com", bind, "--port", "1"});
    ASSERT_EQ(scope.code, 0) << scope.err;
    auto rows = Lines(Slurp(csv));
    ASSERT_GT(rows.size(), 10u);
    rows.erase(rows.begin()); // the header
    const double first = std::stod(rows.front()), last = std::stod(rows.back());
    const double rate = static_cast<double>(rows.size() - 1) / (last - first);
    // It streams stop-and-wait without stalls; the rate itself is the benchmark's figure
    // (bench/rfc2217_scope.sh), not something a loaded test machine can promise.
    EXPECT_GE(rate, 0.5 * 19200.0 / 10 / 72) << rows.size() << " samples over " << last - first;

    // What each run asked the server for, as pyserial saw it.
    const auto clients = bridge.clients(3);
    ASSERT_EQ(clients.size(), 3u) << Slurp(bridge.log);
    for (const auto& c : clients) {
        EXPECT_NE(c.find("baud=19200 data=8 parity=N stop=1 flow=none"), std::string::npos) << c;
    }
}

TEST(NetworkPorts, BadAddressesAndServersFailInOneLine) {
    MuteServer mute;
    ASSERT_GT(mute.port, 0);
    const std::string live = "tcp://127.0.0.1:" + std::to_string(mute.port);

    // A malformed address is a usage error: nothing is opened, not even a good port beside it.
    for (const std::string bad : {"xyz://127.0.0.1:5000", "tcp://127.0.0.1", "rfc2217://:5000",
                                  "tcp://127.0.0.1:0", "tcp://127.0.0.1:65536"}) {
        CliRun r = Cli({"info", "--com", "2=" + live, "--com", "1=" + bad, "--port", "2"});
        EXPECT_EQ(r.code, 2) << bad;
        EXPECT_NE(r.err.find(bad), std::string::npos) << r.err;
    }
    EXPECT_EQ(mute.accepted(), 0);

    // Refused: a port nobody listens on.
    int closedPort = 0;
    {
        MuteServer gone;
        closedPort = gone.port;
    }
    CliRun refused =
        Cli({"info", "--com", "1=tcp://127.0.0.1:" + std::to_string(closedPort), "--port", "1"});
    EXPECT_EQ(refused.code, 1);
    EXPECT_EQ(Lines(refused.err).size(), 1u) << refused.err;
    EXPECT_LT(refused.seconds, 1.0);

    // Accepted, and then not a word of RFC 2217: the negotiation gives up after the reply
    // time-out.
    CliRun silent =
        Cli({"info", "--com", "1=rfc2217://127.0.0.1:" + std::to_string(mute.port), "--port", "1"});
    EXPECT_EQ(silent.code, 1);
    EXPECT_EQ(Lines(silent.err).size(), 1u) << silent.err;
    EXPECT_GE(silent.seconds, 1.4);
    EXPECT_LT(silent.seconds, 3.5);
    EXPECT_EQ(mute.accepted(), 1);
}

namespace {

// The serial service itself on a network port, with the real clock and event pump.
class NetworkSerialTest : public SimLinkTest {
  protected:
    static void OnReceive(int port, int, void* self) {
        auto* t = static_cast<NetworkSerialTest*>(self);
        char buf[256];
        int n = ComRd(port, buf, std::min(GetInQLen(port), static_cast<int>(sizeof buf)));
        t->received.insert(t->received.end(), buf, buf + std::max(n, 0));
    }
    static void OnLost(int port) { lostPorts.push_back(port); }

    void SetUp() override {
        SimLinkTest::SetUp();
        lostPorts.clear();
        SetComLostHandler(&OnLost);
    }
    void TearDown() override {
        SetComLostHandler(nullptr);
        SimLinkTest::TearDown();
    }

    // A line check written, its reply delivered by the event pump to the receive callback.
    void lineCheck() {
        received.clear();
        ASSERT_EQ(InstallComCallback(1, LWRS_RECEIVE, 36, 0, &OnReceive, this), 0);
        const auto f = zelsim::makeFrame(5, 0, {0x00AA});
        ASSERT_EQ(ComWrt(1, reinterpret_cast<const char*>(f.data()), 36), 36);
        for (double end = Timer() + 2; received.size() < 36 && Timer() < end;) {
            ProcessSystemEvents();
        }
        ASSERT_EQ(received.size(), 36u);
        EXPECT_EQ(received[0], 0x00);
        EXPECT_EQ(static_cast<unsigned char>(received[1]), 0xAA);
    }

    // A refresh echoes its words: bytes 0xFF go out and come back whole (doubled on the wire
    // under RFC 2217, which neither end may show).
    void echoOfIac() {
        received.clear();
        const auto f = zelsim::makeFrame(11, 0xFFFF, {0xFF00, 0x00FF, 0xFFFF});
        ASSERT_EQ(ComWrt(1, reinterpret_cast<const char*>(f.data()), 36), 36);
        for (double end = Timer() + 2; received.size() < 36 && Timer() < end;) {
            ProcessSystemEvents();
        }
        ASSERT_EQ(received.size(), 36u);
        EXPECT_TRUE(std::equal(f.begin(), f.end(), received.begin(), [](std::uint8_t a, char b) {
            return a == static_cast<std::uint8_t>(b);
        }));
    }

    // The peer closes the connection (the simulator's unplug); then a new simulator on the
    // same address.
    void lossAndReopen(std::vector<std::string> args) {
        args.insert(args.end(), {"--tcp", "127.0.0.1:0", "--unplug-after", "2"});
        startSim(args);
        const std::string address = sim->ptyPath();
        EXPECT_EQ(ComDeviceName(1), address);
        ASSERT_EQ(OpenComConfig(1, "", 19200, 0, 8, 1, 4096, 4096), 0) << ComOpenFailureReason(1);
        SetComTime(1, 1.5);
        lineCheck();
        echoOfIac();

        for (double end = Timer() + 3; lostPorts.empty() && Timer() < end;) {
            ProcessSystemEvents();
        }
        EXPECT_EQ(lostPorts, std::vector<int>{1});
        EXPECT_TRUE(ComPortLost(1));
        EXPECT_EQ(ComWrt(1, "x", 1), kComIoError);
        EXPECT_EQ(sim->wait(5), 0);

        // Nobody listens now: the open fails at once, saying why.
        EXPECT_EQ(OpenComConfig(1, "", 19200, 0, 8, 1, 4096, 4096), kComCannotOpen);
        EXPECT_EQ(ComOpenFailureReason(1).rfind(address + ": ", 0), 0u) << ComOpenFailureReason(1);

        // Back on the same address: it opens and answers again.
        args.erase(args.end() - 4, args.end());
        args.insert(args.end(), {"--tcp", address.substr(address.find("//") + 2)});
        startSim(args);
        ASSERT_EQ(sim->ptyPath(), address);
        ASSERT_EQ(OpenComConfig(1, "", 19200, 0, 8, 1, 4096, 4096), 0) << ComOpenFailureReason(1);
        EXPECT_TRUE(ComOpenFailureReason(1).empty());
        EXPECT_FALSE(ComPortLost(1));
        lineCheck();
        EXPECT_EQ(lostPorts, std::vector<int>{1});
    }

    std::vector<char> received;
    static inline std::vector<int> lostPorts;
};

} // namespace

TEST_F(NetworkSerialTest, RawTcpPeerLossIsAPortLossAndTheAddressReopens) {
    lossAndReopen({});
}

TEST_F(NetworkSerialTest, Rfc2217PeerLossIsAPortLossAndTheAddressReopens) {
    lossAndReopen({"--rfc2217"});
}
