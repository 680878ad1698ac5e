// The real zel-sensor-sim binary over its pseudo-terminal.
#include "sim_helpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using simtest::word;
using zelsim::makeFrame;
using zelsim::readBytes;
using zelsim::SimProcess;
using zelsim::writeAll;

namespace {

std::string tempPath(const std::string& name) {
    return ::testing::TempDir() + "simE2E_" + std::to_string(getpid()) + "_" + name;
}

std::string slurp(const std::string& path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

std::vector<std::uint8_t> exchange(int fd, std::uint16_t order, std::size_t expect,
                                   std::uint16_t second = 0,
                                   const std::vector<std::uint16_t>& words = {}) {
    const auto f = makeFrame(order, second, words);
    if (!writeAll(fd, f.data(), f.size())) {
        return {};
    }
    return readBytes(fd, expect, 2.0);
}

// User plus system CPU time of a process, in clock ticks.
long cpuTicks(pid_t pid) {
    std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    std::istringstream in(stat.substr(close + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && in >> field; ++i) {
        if (i == 14) {
            utime = std::stol(field);
        }
        if (i == 15) {
            stime = std::stol(field);
        }
    }
    return utime + stime;
}

} // namespace

TEST(SimE2E, AnswersEveryReplyShape) {
    SimProcess sim(ZEL_SIM_BINARY, {"--baud", "0", "--hw", "100", "--firmware", "FW-9"});
    ASSERT_TRUE(sim.ok());
    const int fd = sim.openPort();
    ASSERT_GE(fd, 0);

    auto r = exchange(fd, 5, 36);
    ASSERT_EQ(r.size(), 36u);
    EXPECT_EQ(word(r, 0), 0x00AA);
    r = exchange(fd, 7, 72);
    ASSERT_EQ(r.size(), 72u);
    EXPECT_EQ(std::string(r.begin(), r.begin() + 4), "FW-9");
    r = exchange(fd, zelsim::kBlockReadOrder, 128, 192);
    ASSERT_EQ(r.size(), 128u);
    EXPECT_EQ(word(r, 0), zelsim::Model::dataPattern(192));

    // Garbage and a truncated frame must not wedge the line.
    const std::uint8_t junk[] = {0xFF, 0x00, 0x13, 0x00, 0x55, 0x00, 0x05};
    ASSERT_TRUE(writeAll(fd, junk, sizeof junk));
    usleep(120000);
    r = exchange(fd, 2, 36);
    ASSERT_EQ(r.size(), 36u);
    EXPECT_EQ(word(r, 2), 2);
    EXPECT_TRUE(readBytes(fd, 1, 0.1).empty()) << "nothing else was sent";
    close(fd);
}

TEST(SimE2E, PacingMatchesTheLineRate) {
    SimProcess sim(ZEL_SIM_BINARY, {"--baud", "19200", "--latency", "0"});
    ASSERT_TRUE(sim.ok());
    const int fd = sim.openPort();
    ASSERT_GE(fd, 0);
    const auto f = makeFrame(8);
    std::vector<double> ms;
    for (int i = 0; i < 21; ++i) {
        const double t0 = zelsim::monotonicSeconds();
        ASSERT_TRUE(writeAll(fd, f.data(), f.size()));
        ASSERT_EQ(readBytes(fd, 36, 2.0).size(), 36u);
        ms.push_back((zelsim::monotonicSeconds() - t0) * 1000);
    }
    close(fd);
    std::sort(ms.begin(), ms.end());
    // 72 bytes of 10 bits at 19200 baud; a busy machine only ever makes it slower.
    EXPECT_NEAR(ms[ms.size() / 2], 37.5, 37.5 * 0.05);
}

TEST(SimE2E, LogLinkStateAndSignals) {
    const std::string link = tempPath("link"), state = tempPath("state"), dump = tempPath("dump"),
                      log = tempPath("log");
    for (const auto& p : {link, state, dump, log}) {
        std::remove(p.c_str());
    }
    ASSERT_EQ(symlink("/nonexistent", link.c_str()), 0) << "a stale link gets replaced";

    std::vector<std::string> args = {"--baud", "0",     "--link", link,           "--state",
                                     state,    "--log", log,      "--flash-dump", dump};
    {
        SimProcess sim(ZEL_SIM_BINARY, args);
        ASSERT_TRUE(sim.ok());
        const int fd = sim.openPort(link);
        ASSERT_GE(fd, 0) << "the link leads to the terminal";
        const std::vector<std::uint16_t> block = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5};
        const auto f = makeFrame(3, 0, block);
        ASSERT_TRUE(writeAll(fd, f.data(), f.size()));
        exchange(fd, 182, 36, 0x1100, {2, 0x0001, 0x0002});
        ASSERT_EQ(exchange(fd, 5, 36).size(), 36u);

        sim.signal(SIGUSR1);
        for (int i = 0; i < 100 && slurp(dump).empty(); ++i) {
            usleep(20000);
        }
        EXPECT_NE(slurp(dump).find("\n1101 0002\n"), std::string::npos);

        const std::string text = slurp(log);
        EXPECT_NE(text.find(" RX 00 55 00 03 00 00 00 09"), std::string::npos) << text;
        EXPECT_NE(text.find(" RX 00 55 00 05"), std::string::npos);
        EXPECT_NE(text.find(" TX 00 AA 00 05"), std::string::npos);
        close(fd);

        sim.signal(SIGTERM);
        EXPECT_EQ(sim.wait(10), 0);
        struct stat st {};
        EXPECT_NE(lstat(link.c_str(), &st), 0) << "link removed at exit";
        EXPECT_NE(slurp(state).find("eeprom0 9 8 7 6 5 4 3 2 1 0 1 2 3 4 5\n"), std::string::npos);
        EXPECT_NE(slurp(state).find("flash 1100 0001\n"), std::string::npos);
    }
    {
        SimProcess again(ZEL_SIM_BINARY, {"--baud", "0", "--state", state});
        ASSERT_TRUE(again.ok());
        const int fd = again.openPort();
        ASSERT_GE(fd, 0);
        const auto r = exchange(fd, 2, 36);
        ASSERT_EQ(r.size(), 36u);
        EXPECT_EQ(word(r, 6), 9) << "RAM comes up from the saved EEPROM";
        close(fd);
        again.signal(SIGINT);
        EXPECT_EQ(again.wait(10), 0);
    }
    for (const auto& p : {link, state, dump, log}) {
        std::remove(p.c_str());
    }
}

TEST(SimE2E, UnplugAfterDropsTheLineAndExits) {
    SimProcess sim(ZEL_SIM_BINARY, {"--baud", "0", "--unplug-after", "2"});
    ASSERT_TRUE(sim.ok());
    const int fd = sim.openPort();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(exchange(fd, 5, 36).size(), 36u);
    EXPECT_EQ(exchange(fd, 10, 36).size(), 36u) << "the last frame is still answered";
    EXPECT_EQ(sim.wait(5), 0);
    EXPECT_TRUE(exchange(fd, 5, 36).empty());
    close(fd);
}

TEST(SimE2E, StaysIdleWhenTheClientLeaves) {
    SimProcess sim(ZEL_SIM_BINARY, {"--baud", "19200"});
    ASSERT_TRUE(sim.ok());
    int fd = sim.openPort();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(exchange(fd, 5, 36).size(), 36u);
    close(fd);
    usleep(100000);
    const long before = cpuTicks(sim.pid());
    usleep(1000000);
    EXPECT_LE(cpuTicks(sim.pid()) - before, 5) << "no busy loop after the client closed";

    fd = sim.openPort(); // and a new client is served
    ASSERT_GE(fd, 0);
    EXPECT_EQ(exchange(fd, 10, 36).size(), 36u);
    close(fd);
}

TEST(SimE2E, BadOptionExitsWithStatus2) {
    SimProcess sim(ZEL_SIM_BINARY, {"--drop", "7"}, 2.0);
    EXPECT_FALSE(sim.ok());
    EXPECT_EQ(sim.wait(5), 2);
    const std::string err = sim.stderrText();
    EXPECT_NE(err.find("--drop"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
}
