// The simulator's network front end: the RFC 2217 server side in-process, and the real binary
// on a TCP port.
#include "cli.h"
#include "rfc2217.h"
#include "sim_helpers.h"

#include <gtest/gtest.h>

#include <unistd.h>

using simtest::word;
using zelsim::connectLoopback;
using zelsim::makeFrame;
using zelsim::readBytes;
using zelsim::Rfc2217Server;
using zelsim::SimProcess;
using zelsim::writeAll;

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint8_t IAC = 255, WILL = 251, WONT = 252, DO = 253, DONT = 254, SB = 250, SE = 240,
                       CPO = 44;

Bytes feed(Rfc2217Server& s, const Bytes& in, Bytes& answers) {
    return s.feed(in.data(), in.size(), answers);
}

Bytes subneg(std::uint8_t code, Bytes value) {
    Bytes b{IAC, SB, CPO, code};
    Rfc2217Server::escape(value.data(), value.size(), b);
    b.insert(b.end(), {IAC, SE});
    return b;
}

// Data with Telnet commands and IAC doubling taken out (the client's view of the stream).
Bytes unescape(const Bytes& in) {
    Bytes out;
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] != IAC) {
            out.push_back(in[i]);
        } else if (i + 1 < in.size() && in[i + 1] == IAC) {
            out.push_back(IAC);
            ++i;
        } else if (i + 1 < in.size() && in[i + 1] == SB) {
            while (i + 1 < in.size() && !(in[i] == IAC && in[i + 1] == SE)) {
                ++i;
            }
            ++i;
        } else {
            i += 2; // IAC verb option
        }
    }
    return out;
}

} // namespace

TEST(SimRfc2217, AgreesToItsOptionsOnceAndRefusesTheRest) {
    Rfc2217Server s(19200);
    Bytes answers;
    EXPECT_TRUE(feed(s, {IAC, WILL, CPO, IAC, DO,  CPO, IAC, WILL, 0,    IAC, DO,
                         0,   IAC,  DO,  3,   IAC, DO,  1,   IAC,  WILL, 24},
                     answers)
                    .empty());
    EXPECT_EQ(answers, (Bytes{IAC, DO,  CPO,  IAC, WILL, CPO,  IAC, DO,  0,    IAC, WILL,
                              0,   IAC, WILL, 3,   IAC,  WONT, 1,   IAC, DONT, 24}));
    // A request for a state already in force is not answered again, so the sides never loop.
    answers.clear();
    feed(s, {IAC, WILL, CPO, IAC, DO, 0, IAC, WONT, 24}, answers);
    EXPECT_TRUE(answers.empty());
    // Switching an agreed option off is acknowledged once.
    feed(s, {IAC, DONT, 3, IAC, DONT, 3}, answers);
    EXPECT_EQ(answers, (Bytes{IAC, WONT, 3}));
}

TEST(SimRfc2217, AHostileClientGetsOneRefusalAndNoMemoryForAnEndlessSubnegotiation) {
    Rfc2217Server s(19200);
    Bytes answers;
    for (int i = 0; i < 100; ++i) {
        feed(s, {IAC, DO, 99, IAC, WILL, 99}, answers);
    }
    EXPECT_EQ(answers, (Bytes{IAC, WONT, 99, IAC, DONT, 99}));
    // A subnegotiation without end, then ended: ignored whole, and the stream goes on.
    answers.clear();
    feed(s, {IAC, SB, CPO, 1}, answers);
    const Bytes endless(100000, 7);
    EXPECT_TRUE(feed(s, endless, answers).empty());
    EXPECT_EQ(feed(s, {IAC, SE, 'a'}, answers), (Bytes{'a'}));
    EXPECT_TRUE(answers.empty());
    // A real one after it is answered as ever.
    feed(s, subneg(2, {8}), answers);
    EXPECT_EQ(answers, subneg(102, {8}));
}

TEST(SimRfc2217, ConfirmsLineSettingsAndRecordsThem) {
    Rfc2217Server s(19200);
    Bytes answers;
    // Asked for before the client said anything else, and split across two reads.
    Bytes asked = subneg(1, {0, 0, 0x4B, 0});
    for (const auto& b : {subneg(2, {8}), subneg(3, {1}), subneg(4, {1}), subneg(5, {1})}) {
        asked.insert(asked.end(), b.begin(), b.end());
    }
    feed(s, Bytes(asked.begin(), asked.begin() + 7), answers);
    feed(s, Bytes(asked.begin() + 7, asked.end()), answers);
    Bytes expect = subneg(101, {0, 0, 0x4B, 0});
    for (const auto& b : {subneg(102, {8}), subneg(103, {1}), subneg(104, {1}), subneg(105, {1})}) {
        expect.insert(expect.end(), b.begin(), b.end());
    }
    EXPECT_EQ(answers, expect);
    EXPECT_EQ(s.requested().baud, 19200u);
    EXPECT_EQ(s.requested().dataBits, 8);
    EXPECT_EQ(s.requested().parity, 1);
    EXPECT_EQ(s.requested().stopBits, 1);
    EXPECT_EQ(s.requested().control, 1);

    // A value holding 0xFF travels doubled both ways; a request of 0 asks for the current one.
    answers.clear();
    feed(s, subneg(1, {0, 0, 0, 0xFF}), answers);
    EXPECT_EQ(s.requested().baud, 255u);
    EXPECT_EQ(answers, subneg(101, {0, 0, 0, 0xFF}));
    Rfc2217Server fresh(9600);
    answers.clear();
    feed(fresh, subneg(1, {0, 0, 0, 0}), answers);
    EXPECT_EQ(answers, subneg(101, {0, 0, 0x25, 0x80}));
    EXPECT_EQ(fresh.requested().baud, 0u);

    answers.clear();
    feed(s, subneg(12, {1}), answers);
    feed(s, subneg(12, {2}), answers);
    EXPECT_EQ(s.purges(), 2);
}

TEST(SimRfc2217, DataPassesWithIacUndoubledBetweenCommands) {
    Rfc2217Server s(19200);
    Bytes answers;
    Bytes data = feed(s, {0x00, 0x55, IAC, IAC, 0x01, IAC, DO, 0, 0x02, IAC}, answers);
    // The trailing IAC is half a pair: it waits for its partner.
    data = Bytes(data);
    Bytes more = feed(s, {IAC, 0x03}, answers);
    data.insert(data.end(), more.begin(), more.end());
    EXPECT_EQ(data, (Bytes{0x00, 0x55, 0xFF, 0x01, 0x02, 0xFF, 0x03}));

    Bytes out;
    const Bytes raw{0xFF, 0x00, 0xFF, 0xFF};
    Rfc2217Server::escape(raw.data(), raw.size(), out);
    EXPECT_EQ(out, (Bytes{IAC, IAC, 0x00, IAC, IAC, IAC, IAC}));
}

TEST(SimCli, NetworkOptions) {
    zelsim::CommandLine cl;
    std::string err;
    ASSERT_TRUE(zelsim::parseCommandLine({"--tcp", "[::1]:0", "--rfc2217"}, cl, err)) << err;
    EXPECT_EQ(cl.tcpHost, "::1");
    EXPECT_EQ(cl.tcpPort, 0);
    EXPECT_TRUE(cl.rfc2217);
    const std::vector<std::vector<std::string>> bad = {
        {"--rfc2217"},        {"--tcp", "localhost"}, {"--tcp", ":5000"},
        {"--tcp", "h:65536"}, {"--tcp", "[::1]5000"}, {"--tcp", "h:1", "--link", "/tmp/x"}};
    for (const auto& args : bad) {
        zelsim::CommandLine c;
        EXPECT_FALSE(zelsim::parseCommandLine(args, c, err)) << args.back();
        EXPECT_EQ(err.find('\n'), std::string::npos);
    }
}

TEST(SimE2E, TcpServesOneClientAtATimeAtTheLinesPace) {
    SimProcess sim(ZEL_SIM_BINARY, {"--tcp", "127.0.0.1:0", "--latency", "0"});
    ASSERT_TRUE(sim.ok());
    ASSERT_EQ(sim.ptyPath().rfind("tcp://127.0.0.1:", 0), 0u) << sim.ptyPath();
    EXPECT_NE(sim.ptyPath(), "tcp://127.0.0.1:0"); // the port actually taken

    const int first = connectLoopback(sim.ptyPath());
    ASSERT_GE(first, 0);
    // A second client is turned away while the first is there.
    const int second = connectLoopback(sim.ptyPath());
    ASSERT_GE(second, 0);
    EXPECT_TRUE(readBytes(second, 1, 2.0).empty());
    close(second);

    const auto f = makeFrame(5, 0, {0x00AA});
    const double t0 = zelsim::monotonicSeconds();
    ASSERT_TRUE(writeAll(first, f.data(), f.size()));
    const auto reply = readBytes(first, 36, 2.0);
    const double took = zelsim::monotonicSeconds() - t0;
    ASSERT_EQ(reply.size(), 36u);
    EXPECT_EQ(word(reply, 0), 0x00AA);
    // Paced as the line is: 72 bytes of 10 bits at 19200 baud (how fast beyond that is
    // bench_sim_roundtrip's figure).
    EXPECT_GT(took, 0.036);

    // Once the first has gone, the next one is served.
    close(first);
    const int next = connectLoopback(sim.ptyPath());
    ASSERT_GE(next, 0);
    ASSERT_TRUE(writeAll(next, f.data(), f.size()));
    const auto again = readBytes(next, 36, 2.0);
    ASSERT_EQ(again.size(), 36u);
    EXPECT_EQ(word(again, 0), 0x00AA);
    EXPECT_TRUE(readBytes(next, 1, 0.2).empty());
    close(next);
    sim.signal(SIGTERM);
    EXPECT_EQ(sim.wait(5), 0);
}

TEST(SimE2E, Rfc2217DoublesIacInBothDirections) {
    SimProcess sim(ZEL_SIM_BINARY, {"--tcp", "127.0.0.1:0", "--rfc2217", "--baud", "0"});
    ASSERT_TRUE(sim.ok());
    ASSERT_EQ(sim.ptyPath().rfind("rfc2217://127.0.0.1:", 0), 0u) << sim.ptyPath();
    const int fd = connectLoopback(sim.ptyPath());
    ASSERT_GE(fd, 0);
    Bytes hello{IAC, WILL, CPO};
    const Bytes baud = subneg(1, {0, 0, 0x4B, 0});
    hello.insert(hello.end(), baud.begin(), baud.end());
    ASSERT_TRUE(writeAll(fd, hello.data(), hello.size()));
    const Bytes agreed{IAC, DO, CPO};
    Bytes expect = agreed;
    expect.insert(expect.end(), {IAC, SB, CPO, 101, 0, 0, 0x4B, 0, IAC, SE});
    EXPECT_EQ(readBytes(fd, expect.size(), 2.0), expect);

    // Refresh echoes its data words: 0xFFFF goes out doubled and comes back doubled.
    const auto f = makeFrame(11, 0xFF00, {0xFFFF, 0x12FF});
    Bytes sent;
    Rfc2217Server::escape(f.data(), f.size(), sent);
    ASSERT_TRUE(writeAll(fd, sent.data(), sent.size()));
    ASSERT_EQ(sent.size(), 40u);
    EXPECT_EQ(readBytes(fd, sent.size(), 2.0), sent);

    // The block read's raw bytes hold 0xFF (word 0 is 00 FF): 128 bytes after undoubling.
    const auto read = makeFrame(64, 0);
    ASSERT_TRUE(writeAll(fd, read.data(), read.size()));
    const Bytes block = unescape(readBytes(fd, 129, 2.0));
    ASSERT_EQ(block.size(), 128u);
    for (std::size_t a = 0; a < 64; ++a) {
        EXPECT_EQ(word(block, 2 * a), (a << 8) | (255 - a)) << a;
    }
    close(fd);
}

TEST(SimE2E, UnplugOverTcpClosesTheConnectionAndExits) {
    SimProcess sim(ZEL_SIM_BINARY, {"--tcp", "127.0.0.1:0", "--unplug-after", "1"});
    ASSERT_TRUE(sim.ok());
    const int fd = connectLoopback(sim.ptyPath());
    ASSERT_GE(fd, 0);
    const auto f = makeFrame(5, 0, {0x00AA});
    ASSERT_TRUE(writeAll(fd, f.data(), f.size()));
    // The last reply still arrives, then the end of the stream.
    EXPECT_EQ(readBytes(fd, 36, 2.0).size(), 36u);
    std::uint8_t b = 0;
    EXPECT_EQ(read(fd, &b, 1), 0);
    EXPECT_EQ(sim.wait(5), 0);
    close(fd);
}
