// The operations under both faces, against the in-memory sensor on the virtual clock: the data
// stream (start, next sample, stop) and teach, refresh and reset, without a panel in the way.
#include "harness.h"

#include "host/clock.h"
#include "link/exchange.h"
#include "link/frames.h"
#include "link/sensor_commands.h"
#include "link/stream.h"

#include <functional>
#include <vector>

namespace {

class StreamOpsTest : public RoutineTest {
  protected:
    void SetUp() override {
        RoutineTest::SetUp();
        openLink();
        ResetLinkStats();
    }
    void TearDown() override {
        EndDataStream();
        RoutineTest::TearDown();
    }
    // Each write is handed to `script` with its number (from 0) and order; the script answers.
    void onEachWrite(std::function<void(std::size_t n, unsigned order)> script) {
        dev.onWrite = [this, script](std::span<const std::uint8_t> w, double) {
            script(dev.writes.size() - 1, static_cast<unsigned>(w[2] << 8 | w[3]));
        };
    }
    // A data reply carrying `n` as its raw value A.
    static std::vector<std::uint8_t> dataReply(unsigned n) { return frame({0x55, 8, n, 7, 1, 2}); }

    const std::uint16_t block0[16] = {500, 512, 512, 100, 100, 10};
};

TEST_F(StreamOpsTest, EachSampleIsTheReplyToItsOwnRequestAndAStopEndsItBetweenSamples) {
    bool stop = false;
    onEachWrite([&](std::size_t n, unsigned) {
        reply(dataReply(static_cast<unsigned>(100 + n)), 0.03);
        if (n == 4) {
            stop = true; // the operator stops while the fifth request is in flight
        }
    });
    DataStream s;
    ASSERT_EQ(StartStream(s, 1, block0), kFrameLen);
    std::vector<unsigned> values;
    StreamSample r;
    for (;;) {
        r = NextSample(s, block0, &stop);
        if (r.step != StreamStep::Sample) {
            break;
        }
        values.push_back(r.words[0]);
        EXPECT_EQ(r.words[1], 7u);
    }
    StopStream(s);
    EXPECT_EQ(r.step, StreamStep::Stopped);
    EXPECT_EQ(values, (std::vector<unsigned>{100, 101, 102, 103}));
    ASSERT_EQ(writes().size(), 5u); // nothing is sent once stopped
    for (std::size_t i = 0; i < writes().size(); ++i) {
        EXPECT_EQ(writtenWord(i, 2), 8u);
        EXPECT_EQ(writtenWord(i, 4), 0u);
        EXPECT_EQ(writtenWord(i, 6), 500u);
        EXPECT_EQ(writtenWord(i, 8), 512u);
    }
    // The reply to the request in flight reaches no one once the stream is stopped.
    pump(0.1);
    SampleWords late;
    EXPECT_FALSE(TakeSample(s, late));
    EXPECT_EQ(s.requests, 5);
    EXPECT_EQ(s.samples, 4);
}

TEST_F(StreamOpsTest, ALostReplyEndsTheStreamOneTimeOutAfterItsRequest) {
    double thirdSent = 0;
    onEachWrite([&](std::size_t n, unsigned) {
        if (n == 2) {
            thirdSent = Timer(); // this request's reply is lost
            return;
        }
        reply(dataReply(static_cast<unsigned>(n)), 0.03);
    });
    DataStream s;
    StartStream(s, 1, block0);
    EXPECT_EQ(NextSample(s, block0).step, StreamStep::Sample);
    EXPECT_EQ(NextSample(s, block0).step, StreamStep::Sample);
    const StreamSample r = NextSample(s, block0);
    EXPECT_EQ(r.step, StreamStep::Timeout);
    EXPECT_GT(Timer() - thirdSent, TIMEOUT);
    EXPECT_LT(Timer() - thirdSent, TIMEOUT + 0.01);
    EXPECT_EQ(GetLinkStats().timeouts, 1);
    // Asked again, it stays ended: no request goes out without a reply to the last one.
    EXPECT_EQ(NextSample(s, block0).step, StreamStep::Timeout);
    EXPECT_EQ(writes().size(), 3u);
}

TEST_F(StreamOpsTest, TrailersAndNoiseAroundAReplyNeverBecomeSamples) {
    onEachWrite([&](std::size_t n, unsigned) {
        std::vector<std::uint8_t> bytes = dataReply(static_cast<unsigned>(200 + n));
        if (n == 1) {
            // Bytes after the reply in the same burst: the reply counts, the rest is dropped.
            bytes.insert(bytes.end(), {0xDE, 0xAD, 0xBE, 0xEF, 0x00});
        }
        if (n == 2) {
            // Bytes before it: the data reply's own marker places it.
            bytes.insert(bytes.begin(), {0x08, 0x00, 0x08});
        }
        reply(bytes, 0.03);
    });
    DataStream s;
    StartStream(s, 1, block0);
    std::vector<unsigned> values;
    for (int i = 0; i < 4; ++i) {
        const StreamSample r = NextSample(s, block0);
        ASSERT_EQ(r.step, StreamStep::Sample) << "sample " << i;
        values.push_back(r.words[0]);
    }
    EXPECT_EQ(values, (std::vector<unsigned>{200, 201, 202, 203}));
    EXPECT_EQ(GetLinkStats().bytesDiscarded, 5 + 3);
    EXPECT_EQ(GetLinkStats().samplesLost, 0);
}

TEST_F(StreamOpsTest, APulledDeviceEndsTheStreamAtOnce) {
    onEachWrite([&](std::size_t n, unsigned) {
        if (n < 2) {
            reply(dataReply(static_cast<unsigned>(n)), 0.03);
        }
    });
    DataStream s;
    StartStream(s, 1, block0);
    EXPECT_EQ(NextSample(s, block0).step, StreamStep::Sample);
    EXPECT_EQ(NextSample(s, block0).step, StreamStep::Sample);
    const double before = Timer();
    dev.unplug();
    EXPECT_EQ(NextSample(s, block0).step, StreamStep::PortLost);
    EXPECT_LT(Timer() - before, TIMEOUT); // not the time-out
    StopStream(s);
    ClearPortLost();
}

TEST_F(StreamOpsTest, ARequestWhosePredecessorWasNotAnsweredCountsALostSample) {
    onEachWrite([&](std::size_t n, unsigned) { reply(dataReply(static_cast<unsigned>(n)), 0.03); });
    DataStream s;
    StartStream(s, 1, block0);
    // A nested command took the reply and re-armed the stream: the next request goes at once.
    RequestNext(s, block0);
    EXPECT_EQ(GetLinkStats().samplesLost, 1);
    EXPECT_EQ(NextSample(s, block0).step, StreamStep::Sample);
    EXPECT_EQ(GetLinkStats().samplesLost, 1);
}

// ---- teach, refresh and reset ----

TEST_F(StreamOpsTest, CommandsSendTheirFrameAndAcceptTheirReplyKind) {
    onEachWrite([&](std::size_t, unsigned order) {
        // A data reply to everything, then a standard reply to refresh B and reset only.
        reply(dataReply(1), 0.02);
        if (order == ORDER_REFRESH_B || order == ORDER_RESET) {
            reply(frame({0x55, order}), 0.05);
        }
    });
    int written = 0;
    const ExchangeResult teach = TeachSetpoint(1, 0x0102, [&] { ++written; });
    EXPECT_TRUE(CommandReplied(teach)); // any kind of reply will do
    EXPECT_EQ(teach.reply.kind, REPLY_DATA);
    std::vector<std::uint8_t> teachFrame(36, 0);
    teachFrame[1] = 0x55;
    teachFrame[3] = 6;
    teachFrame[4] = 0x01;
    teachFrame[5] = 0x02;
    EXPECT_EQ(writes()[0], teachFrame);

    const double t0 = Timer();
    const ExchangeResult refreshA = RefreshChannel(1, false, block0, [&] { ++written; });
    EXPECT_FALSE(CommandReplied(refreshA)); // a data reply does not end its wait
    EXPECT_EQ(refreshA.outcome, Outcome::Timeout);
    EXPECT_NEAR(Timer() - t0, TIMEOUT, 0.01);

    EXPECT_TRUE(CommandReplied(RefreshChannel(1, true, block0)));
    EXPECT_TRUE(CommandReplied(ResetSensor(1, block0)));
    EXPECT_EQ(written, 2);
    ASSERT_EQ(writes().size(), 4u);
    // Refresh A, refresh B and reset carry block 0 and differ only in their order byte.
    for (std::size_t i : {1u, 2u, 3u}) {
        auto w = writes()[i];
        EXPECT_EQ(w[3], i == 1 ? 0x0B : i == 2 ? 0x0C : 0x0D);
        EXPECT_EQ(writtenWord(i, 4), 0u);
        EXPECT_EQ(writtenWord(i, 6), 500u);
        EXPECT_EQ(writtenWord(i, 16), 10u);
        w[3] = 0x0B;
        EXPECT_EQ(w, writes()[1]);
    }
}

TEST_F(StreamOpsTest, ACommandThatDoesNotGoOutWholeDoesNotWait) {
    dev.shortWrite = 20;
    bool told = false;
    const double t0 = Timer();
    const ExchangeResult r = ResetSensor(1, block0, [&] { told = true; });
    EXPECT_EQ(r.outcome, Outcome::NotWritten);
    EXPECT_FALSE(CommandReplied(r));
    EXPECT_FALSE(told);
    EXPECT_LT(Timer() - t0, 0.01);
    EXPECT_EQ(r.order, ORDER_RESET);
}

} // namespace
