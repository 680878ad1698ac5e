// The scope against zel-sensor-sim over a pseudo-terminal, on the real clock.
#include "harness.h"

#include "core/state.h"
#include "params/record.h"
#include "runtime/ui.h"
#include "scope/scope.h"
#include "serial/serial.h"
#include "testkit/testing.h"

#include <QObject>
#include <QTimer>

#include <algorithm>
#include <set>
#include <utility>

namespace {

class ScopeSimTest : public SimLinkTest {
  protected:
    // Presses Run, clicks the given controls at the given seconds from now, and returns the
    // seconds until the loop ended.
    double run(const std::vector<std::pair<double, int>>& clicks) {
        QObject timers; // pending clicks die with it
        for (auto [at, control] : clicks) {
            QTimer::singleShot(static_cast<int>(at * 1000), Qt::PreciseTimer, &timers,
                               [c = control] { ClickCtrl(pA, c); });
        }
        double start = Timer();
        ClickCtrl(pA, MAIN_BTNRUN);
        ProcessSystemEvents(); // the loop runs in here
        double took = Timer() - start;
        int dimmed = 1;
        GetCtrlAttribute(pA, MAIN_BTNRUN, ATTR_DIMMED, &dimmed);
        EXPECT_EQ(dimmed, 0);
        EXPECT_EQ(stop_flag, 1);
        return took;
    }

    // Times (seconds since the simulator started) of the frames it received with `order`.
    std::vector<double> received(unsigned order) const {
        char tag[32];
        std::snprintf(tag, sizeof tag, " RX 00 55 %02X %02X", order >> 8, order & 0xFF);
        std::vector<double> at;
        for (const auto& line : simLog()) {
            if (line.find(tag) != std::string::npos) {
                at.push_back(std::stod(line));
            }
        }
        return at;
    }

    void pumpReal(double seconds) {
        double end = Timer() + seconds;
        while (Timer() < end) {
            ProcessSystemEvents();
        }
    }
};

// 72 bytes per exchange at 19200 baud allow 26.67 samples a second.
TEST_F(ScopeSimTest, StreamsAtTheLineRateUntilStop) {
    startSim({"--latency", "0"});
    openLink();
    double took = run({{10.0, MAIN_BTNSTOP}});
    EXPECT_GT(took, 10.0);
    // It streams, stop-and-wait, for the whole run. How close it comes to the line's 266
    // round trips in 10 s is bench_scope's figure (this build has sanitizers and a busy machine).
    auto requests = received(8);
    EXPECT_GE(requests.size(), 100u) << "samples in 10 s";
    EXPECT_NE(status(), "Timeout RS232-Line!");
    auto raw = StripChartTraces(pA, MAIN_STRIPCHART)[0];
    EXPECT_TRUE(std::all_of(raw.begin(), raw.end(), [](double v) { return v > 100 && v < 900; }));

    // Stopped means silent.
    pumpReal(0.3);
    EXPECT_EQ(received(8).size(), requests.size());
}

TEST_F(ScopeSimTest, TeachDuringRunMovesTheReferenceLine) {
    startSim();
    openLink();
    const double before = refthdA;
    run({{1.0, MAIN_BTNTEACH}, {2.5, MAIN_BTNSTOP}});
    auto hist = statusHistory();
    EXPECT_NE(std::find(hist.begin(), hist.end(), "New setpoint value CHA teached!"), hist.end());
    EXPECT_NE(refthdA, before);
    auto ref = StripChartTraces(pA, MAIN_STRIPCHART)[2];
    EXPECT_EQ(ref.back(), refthdA);
    EXPECT_NE(std::find(ref.begin(), ref.end(), before), ref.end());
    // The taught value is where raw A was: near the sensor's resting level.
    EXPECT_GT(refthdA, 120);
    EXPECT_LT(refthdA, 900);
    // The loop went on after the teach.
    auto teach = received(6);
    ASSERT_EQ(teach.size(), 1u);
    auto data = received(8);
    EXPECT_GE(std::count_if(data.begin(), data.end(), [&](double t) { return t > teach[0]; }), 20);
}

// Noise before replies and stray bytes after them: the loop stays in step, keeps nearly the
// full rate, and shows only raw values the simulator sent.
TEST_F(ScopeSimTest, NoiseAndStrayBytesNeitherStopTheLoopNorShowFalseValues) {
    const std::vector<std::string> faults[] = {{"--noise", "0.2"}, {"--extra", "3"}};
    for (const auto& fault : faults) {
        SCOPED_TRACE(fault[0]);
        CloseCom(1);
        auto args = fault;
        args.insert(args.end(), {"--latency", "0", "--seed", "3"});
        startSim(args);
        openLink();
        ClearTextHistory();
        const double seconds = 6.0;
        double took = run({{seconds, MAIN_BTNSTOP}});
        EXPECT_GT(took, seconds);
        auto hist = statusHistory();
        EXPECT_EQ(std::find(hist.begin(), hist.end(), "Timeout RS232-Line!"), hist.end());
        // The fault-free line gives 26.67 samples a second; extra bytes cost their own time.
        double floor = fault[0] == "--extra" ? 0.9 * 19200.0 / 10 / 75 : 0.9 * 19200.0 / 10 / 72;
        EXPECT_GE(static_cast<double>(received(8).size()), 0.9 * floor * seconds);
        // Every raw A value shown was a data reply's first data word on the line.
        std::set<double> sent;
        for (const auto& line : simLog()) {
            auto at = line.find(" TX ");
            auto data = line.find("00 55 00 08 ", at);
            if (at == std::string::npos || data == std::string::npos) {
                continue;
            }
            sent.insert(std::stoi(line.substr(data + 12, 2), nullptr, 16) * 256 +
                        std::stoi(line.substr(data + 15, 2), nullptr, 16));
        }
        const auto rawA = StripChartTraces(pA, MAIN_STRIPCHART)[0];
        for (double v : rawA) {
            if (v != 0) { // the cleared history scrolling out
                EXPECT_TRUE(sent.count(v)) << v;
            }
        }
    }
}

// Line faults during a run: the loop carries on, or ends by its time-out; nothing hangs.
TEST_F(ScopeSimTest, LineFaultsEndInStopOrTimeout) {
    struct Fault {
        std::vector<std::string> args;
        bool intact; // data replies get through unharmed
    };
    const Fault faults[] = {
        {{"--drop", "0.1"}, false}, {{"--split"}, true},      {{"--noise", "0.2"}, false},
        {{"--extra", "3"}, false},  {{"--wrong-echo"}, true}, {{"--unplug-after", "5"}, false},
    };
    for (const auto& fault : faults) {
        SCOPED_TRACE(fault.args[0]);
        CloseCom(1);
        auto args = fault.args;
        args.insert(args.end(), {"--latency", "0", "--seed", "7"});
        startSim(args);
        openLink();
        ClearTextHistory();
        const bool unplug = fault.args[0] == "--unplug-after";
        // No teach on the unplugged line: its own waits would hold the loop past the Stop.
        double took =
            unplug ? run({{2.5, MAIN_BTNSTOP}}) : run({{0.5, MAIN_BTNTEACH}, {2.5, MAIN_BTNSTOP}});
        EXPECT_LT(took, 2.5 + TIMEOUT + 0.5);
        auto hist = statusHistory();
        bool timedOut = std::find(hist.begin(), hist.end(), "Timeout RS232-Line!") != hist.end();
        if (took < 2.5 && !unplug) {
            EXPECT_TRUE(timedOut) << "ended early without the time-out message";
        }
        if (fault.intact) {
            EXPECT_FALSE(timedOut);
            EXPECT_GE(received(8).size(), 20u);
        }
        if (unplug) {
            // The vanished device is named, not mistaken for a silent sensor.
            EXPECT_FALSE(timedOut);
            EXPECT_EQ(status().rfind("Port COM1 lost (", 0), 0u) << status();
            EXPECT_LT(took, 2.5);
        }
    }
}

} // namespace
