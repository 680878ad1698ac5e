// One link per port: two ports open at once keep their framing, figures and loss apart, and
// probing ports for a sensor leaves the port in use, `com` and the routines' globals alone.
#include "harness.h"

#include "core/state.h"
#include "link/frames.h"
#include "link/link.h"
#include "link/port_link.h"
#include "params/record.h"
#include "serial/serial.h"
#include "testkit/testing.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace {
// The simulated sensor behind a device of its own, answering at once.
void PlaySensor(MemorySerialDevice& device, zelsim::Engine& engine) {
    device.onWrite = [&device, &engine](std::span<const std::uint8_t> bytes, double now) {
        zelsim::Output out = engine.feed(bytes.data(), bytes.size(), now);
        double at = 0;
        for (const auto& chunk : out.chunks) {
            at += chunk.delay;
            device.send(chunk.bytes, at);
        }
    };
}

std::vector<std::uint8_t> Noise(std::size_t n) {
    return std::vector<std::uint8_t>(n, 0x13);
}
} // namespace

TEST_F(RoutineTest, TwoLinksKeepTheirFramingFiguresAndLossApart) {
    UseVirtualClock(true);
    MemorySerialDevice dev2;
    AttachMemoryDevice(2, &dev2);
    com = 1;
    ASSERT_EQ(OpenLine(1), 0);
    ASSERT_EQ(OpenLine(2), 0);
    ResetLinkStats();
    LinkOf(2).stats() = LinkStats{};

    // Half a frame on port 1, a whole reply with noise ahead of it on port 2: port 2's exchange
    // is answered, and port 1's half frame is neither taken nor dropped by it.
    const std::vector<std::uint8_t> lineOk = frame({0x0055, 0x00AA, 0, 1, 2, 3});
    reply(std::vector<std::uint8_t>(lineOk.begin(), lineOk.begin() + 20), 0.01);
    dev2.onWrite = [&](std::span<const std::uint8_t>, double) {
        std::vector<std::uint8_t> bytes = Noise(3);
        bytes.insert(bytes.end(), lineOk.begin(), lineOk.end());
        dev2.send(bytes, 0.02);
    };
    pp[3] = 4321;
    rx_flag = 0;
    graph_flag = 0;
    const std::uint16_t words[16] = {};
    ExchangeResult two = LineCheck(2, words);
    EXPECT_TRUE(two.ok()) << OutcomeName(two.outcome);
    EXPECT_EQ(two.reply.words[2], 3);
    EXPECT_EQ(GetLinkStats(2).standardReplies, 1);
    EXPECT_EQ(GetLinkStats(2).bytesDiscarded, 3);
    EXPECT_EQ(GetLinkStats(1).standardReplies, 0);
    EXPECT_EQ(GetLinkStats(1).bytesDiscarded, 0) << "port 1's half frame is still waiting";
    // Another port's replies are not the routines' replies.
    EXPECT_EQ(rx_flag, 0);
    EXPECT_EQ(graph_flag, 0);
    EXPECT_EQ(pp[3], 4321);

    // The rest of port 1's frame completes it there: the routines' receive callback decodes it
    // (once the line stayed quiet: nothing was asked on port 1).
    reply(std::vector<std::uint8_t>(lineOk.begin() + 20, lineOk.end()), 0.01);
    EXPECT_EQ(WaitRxFull(), REPLY_STANDARD);
    EXPECT_EQ(rx_flag, REPLY_STANDARD);
    EXPECT_EQ(graph_flag, 1);
    EXPECT_EQ(pp[2], 3);
    EXPECT_EQ(GetLinkStats().standardReplies, 1);
    EXPECT_EQ(GetLinkStats(2).standardReplies, 1);

    // Port 2 goes away: its own waits end, the port in use and the status line know nothing of it.
    SetStatus("before");
    ShowStatus();
    dev2.onWrite = nullptr;
    dev2.unplug();
    pump(0.05);
    EXPECT_TRUE(PortLost(2));
    EXPECT_FALSE(PortLost(1));
    EXPECT_FALSE(PortLost());
    EXPECT_EQ(status(), "before");
    EXPECT_EQ(LineCheck(2, words).outcome, Outcome::PortLost);
    // ... and port 1 still exchanges.
    dev.onWrite = [&](std::span<const std::uint8_t>, double) { reply(lineOk, 0.01); };
    EXPECT_TRUE(LineCheck(1, words).ok());
    EXPECT_EQ(GetLinkStats(1).timeouts, 0);

    // Port 1 goes away in turn: the routines hear of it, port 2's state is its own.
    dev.unplug();
    pump(0.05);
    EXPECT_TRUE(PortLost());
    EXPECT_NE(status().find("Port COM1 lost"), std::string::npos) << status();
    EXPECT_EQ(std::string(LinkOf(2).lostText()).find("COM2"), 5u);
    CloseCom(2);
}

TEST_F(RoutineTest, TheSensorsSyncWordIsLearntPerPort) {
    UseVirtualClock(true);
    MemorySerialDevice dev2;
    AttachMemoryDevice(2, &dev2);
    com = 1;
    ASSERT_EQ(OpenLine(1), 0);
    ASSERT_EQ(OpenLine(2), 0);
    // A sensor whose replies start 12 34 on port 2; port 1 has learnt nothing from it.
    dev2.onWrite = [&](std::span<const std::uint8_t>, double) {
        dev2.send(frame({0x1234, ORDER_HARDWARE, 0, 0, 0, 400}), 0.01);
    };
    const std::uint16_t words[16] = {};
    FlushQueues(2);
    ExchangeResult hw = ReadHardwareType(2, words);
    ASSERT_TRUE(hw.ok());
    EXPECT_EQ(LinkOf(2).learntSyncWord(), std::optional<std::uint16_t>(0x1234));
    EXPECT_FALSE(LearntSyncWord().has_value());
    CloseCom(2);
}

TEST_F(RoutineTest, ProbingPortsLeavesComThePortInUseAndItsGlobalsAlone) {
    UseVirtualClock(true);
    openLink(); // port 1 is in use, open, with nothing to say
    // Port 2 holds a sensor, port 3 is silent, port 4 goes away once written to, port 5 does
    // not open.
    zelsim::Engine engine2({});
    MemorySerialDevice dev2, dev3, dev4, dev5;
    PlaySensor(dev2, engine2);
    // Port 4 goes away while port 2 is identified, inside the wait for its hardware reply.
    int writes2 = 0;
    dev2.onWrite = [&, play = dev2.onWrite](std::span<const std::uint8_t> bytes, double now) {
        play(bytes, now);
        if (++writes2 == 2) {
            dev4.unplug();
        }
    };
    dev5.openError = -7;
    AttachMemoryDevice(2, &dev2);
    AttachMemoryDevice(3, &dev3);
    AttachMemoryDevice(4, &dev4);
    AttachMemoryDevice(5, &dev5);

    SetStatus("in use");
    ShowStatus();
    rx_flag = 7;
    graph_flag = 0;
    pp[3] = 1234;
    std::memset(szReadBuf, 0x5A, kFrameLen);
    std::memset(szWriteBuf, 0x5B, kFrameLen);
    ResetLinkStats();

    const std::vector<int> ports = {1, 2, 3, 4, 5};
    const std::vector<PortProbe> probes = ProbePorts(ports, StartBlock0());
    ASSERT_EQ(probes.size(), 5u);
    EXPECT_EQ(probes[0].lineCheck, -1) << "the port in use is not probed";
    EXPECT_EQ(probes[0].openResult, 0);
    EXPECT_TRUE(probes[1].answers());
    EXPECT_TRUE(probes[1].identified);
    EXPECT_TRUE(probes[1].hardware.ok());
    EXPECT_EQ(probes[1].firmware.outcome, Outcome::Answered);
    EXPECT_EQ(probes[1].firmware.text, "V2.0");
    EXPECT_EQ(probes[2].lineCheck, 0);
    EXPECT_EQ(probes[3].lineCheck, 0);
    EXPECT_EQ(probes[4].lineCheck, -1);
    EXPECT_EQ(probes[4].openResult, -7);
    for (auto* d : {&dev2, &dev3, &dev4, &dev5}) {
        EXPECT_FALSE(d->open);
    }

    // The port in use: still open, nothing written to it, its globals and figures as they were.
    EXPECT_EQ(com, 1);
    EXPECT_TRUE(dev.open);
    EXPECT_TRUE(dev.writes.empty());
    EXPECT_FALSE(PortLost());
    EXPECT_EQ(status(), "in use") << "a lost probed port is not the port in use";
    EXPECT_EQ(rx_flag, 7);
    EXPECT_EQ(graph_flag, 0);
    EXPECT_EQ(pp[3], 1234);
    EXPECT_EQ(std::count(szReadBuf, szReadBuf + kFrameLen, 0x5A), kFrameLen);
    EXPECT_EQ(std::count(szWriteBuf, szWriteBuf + kFrameLen, 0x5B), kFrameLen);
    const LinkStats& s = GetLinkStats();
    EXPECT_EQ(s.standardReplies + s.dataReplies + s.timeouts + s.bytesDiscarded, 0);

    // The port in use still answers afterwards, and a port probed again is probed afresh.
    dev.onWrite = [&](std::span<const std::uint8_t>, double) { reply(frame({0x00AA, 5}), 0.01); };
    const std::uint16_t words[16] = {};
    EXPECT_TRUE(LineCheck(1, words).ok());
    dev4.replug();
    dev4.onWrite = [&](std::span<const std::uint8_t>, double) {
        dev4.send(frame({0x0055, 0x00AA}), 0.01);
    };
    EXPECT_TRUE(ProbePort(4, words).answers());
}

TEST_F(RoutineTest, APortProbedUnderTheNumberInUseLosesNothingButItself) {
    // The command line's scan: `com` names a port that is not open, and it is probed too.
    UseVirtualClock(true);
    zelsim::Engine engine2({});
    MemorySerialDevice dev2;
    PlaySensor(dev2, engine2);
    int writes2 = 0;
    dev2.onWrite = [&, play = dev2.onWrite](std::span<const std::uint8_t> bytes, double now) {
        play(bytes, now);
        if (++writes2 == 2) {
            dev.unplug(); // port 1 goes away while port 2 is identified
        }
    };
    AttachMemoryDevice(2, &dev2);
    com = 1;
    SetStatus("before");
    ShowStatus();
    const std::vector<PortProbe> probes = ProbePorts({1, 2}, StartBlock0());
    ASSERT_EQ(probes.size(), 2u);
    EXPECT_EQ(probes[0].lineCheck, 0);
    EXPECT_TRUE(probes[1].answers());
    EXPECT_EQ(probes[1].firmware.text, "V2.0");
    EXPECT_EQ(com, 1);
    EXPECT_EQ(status(), "before") << "the loss of a probed port is not the routines' news";
    EXPECT_FALSE(PortLost());
}
