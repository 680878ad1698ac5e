// The scope loop against the in-memory sensor on the virtual clock: streaming, stopping,
// time-outs, and the commands that run nested inside the loop.
#include "harness.h"

#include "core/state.h"
#include "link/frames.h"
#include "params/record.h"
#include "runtime/ui.h"
#include "scope/scope.h"
#include "serial/serial.h"
#include "testkit/testing.h"

#include <algorithm>
#include <functional>

namespace {

struct Write {
    unsigned order;
    double at;
};

class ScopeLoopTest : public RoutineTest {
  protected:
    // Records every frame the program writes; `script` may act on each (n counts from 0).
    // Without a sensor nothing answers.
    void watchWrites(bool withSensor, std::function<void(std::size_t n, unsigned order)> script) {
        if (withSensor) {
            useLineSensor();
        }
        auto inner = dev.onWrite;
        dev.onWrite = [this, inner, script](std::span<const std::uint8_t> bytes, double now) {
            if (inner) {
                inner(bytes, now);
            }
            unsigned order = bytes.size() >= 4 ? (bytes[2] << 8 | bytes[3]) : 0;
            log.push_back({order, now});
            if (script) {
                script(log.size() - 1, order);
            }
        };
    }

    // The simulated sensor at 19200 baud on one line: a reply waits until the previous one
    // has left, as on the real wire, instead of overlapping it.
    void useLineSensor() {
        sensor = std::make_unique<zelsim::Engine>(zelsim::Options{});
        dev.onWrite = [this](std::span<const std::uint8_t> bytes, double now) {
            constexpr double kByte = 10.0 / 19200;
            double at = now + static_cast<double>(bytes.size()) * kByte;
            zelsim::Output out = sensor->feed(bytes.data(), bytes.size(), at);
            for (const auto& chunk : out.chunks) {
                at = std::max(at + chunk.delay, lineFreeAt);
                at += static_cast<double>(chunk.bytes.size()) * kByte;
                dev.send(chunk.bytes, at - now);
                lineFreeAt = at;
            }
        };
    }

    // Presses Run and pumps until the loop is over; returns the clock time at its end.
    double runScope() {
        ClickCtrl(pA, MAIN_BTNRUN);
        ProcessSystemEvents(); // the loop runs in here
        int dimmed = 1;
        GetCtrlAttribute(pA, MAIN_BTNRUN, ATTR_DIMMED, &dimmed);
        EXPECT_EQ(dimmed, 0) << "the loop did not end";
        return Timer();
    }

    std::vector<unsigned> orders() const {
        std::vector<unsigned> o;
        for (const auto& w : log) {
            o.push_back(w.order);
        }
        return o;
    }

    std::size_t countOrder(unsigned order) const {
        const std::vector<unsigned> all = orders(); // one list: begin and end must be its own
        return static_cast<std::size_t>(std::count(all.begin(), all.end(), order));
    }

    // The loop has cleaned up after itself, however it ended.
    void expectIdle() const {
        EXPECT_EQ(stop_flag, 1);
        EXPECT_EQ(rx_flag, 0);
        EXPECT_EQ(graph_flag, 0);
    }

    std::vector<Write> log;
    double lineFreeAt = 0;
};

TEST_F(ScopeLoopTest, StreamsOneRequestPerDataReplyUntilStop) {
    openLink();
    watchWrites(true, [](std::size_t n, unsigned) {
        if (n == 29) {
            ClickCtrl(pA, MAIN_BTNSTOP);
        }
    });
    SetCtrlVal(pA, MAIN_TOGGCALIB, 1);
    DisplayPanel(pCalib);
    SetCtrlAttribute(pA, MAIN_TIMER50MS, ATTR_ENABLED, 1);
    runScope();

    ASSERT_EQ(log.size(), 30u);
    for (std::size_t i = 0; i < dev.writes.size(); ++i) {
        const auto& w = dev.writes[i];
        ASSERT_EQ(w.size(), 36u);
        EXPECT_EQ(writtenWord(i, 0), 0x0055u);
        EXPECT_EQ(writtenWord(i, 2), 8u);
        EXPECT_EQ(writtenWord(i, 4), 0u);
        for (int k = 0; k < 15; ++k) {
            EXPECT_EQ(writtenWord(i, 6 + 2 * k), parameter[kBlock0 + k]) << "write " << i;
        }
    }
    // Strict request and reply: each request waits for the previous 72 bytes on the line.
    for (std::size_t i = 1; i < log.size(); ++i) {
        EXPECT_GE(log[i].at - log[i - 1].at, 72 * 10.0 / 19200);
    }
    EXPECT_EQ(parameter[1], 8u);
    EXPECT_EQ(statusHistory().front(), "Line Ok!");
    // 29 replies plotted, the oldest samples of the 100 still empty; raw A around 180.
    auto traces = StripChartTraces(pA, MAIN_STRIPCHART);
    ASSERT_EQ(traces.size(), 8u);
    ASSERT_EQ(traces[0].size(), 100u);
    EXPECT_EQ(traces[0][70], 0.0);
    EXPECT_GT(traces[0][71], 100.0);
    EXPECT_EQ(traces[2].back(), refthdA);
    int ctrl = 0;
    GetCtrlVal(pA, MAIN_RAWA, &ctrl);
    EXPECT_EQ(ctrl, adcCHA);

    // Run pressed down switched calibration off; Stop cleared the whole history and the timer.
    GetCtrlVal(pA, MAIN_TOGGCALIB, &ctrl);
    EXPECT_EQ(ctrl, 0);
    EXPECT_TRUE(
        std::all_of(std::begin(arrayRAW), std::end(arrayRAW), [](double v) { return v == 0.0; }));
    GetCtrlAttribute(pA, MAIN_TIMER50MS, ATTR_ENABLED, &ctrl);
    EXPECT_EQ(ctrl, 0);
    expectIdle();
}

TEST_F(ScopeLoopTest, RunPressedDownButNotReleasedStartsNothing) {
    openLink();
    watchWrites(true, nullptr);
    SetCtrlVal(pA, MAIN_TOGGCALIB, 1);
    DisplayPanel(pCalib);
    PostCtrlEvent(pA, MAIN_BTNRUN, EVENT_LEFT_CLICK);
    pump(0.1);
    int on = 1;
    GetCtrlVal(pA, MAIN_TOGGCALIB, &on);
    EXPECT_EQ(on, 0);
    GetCtrlAttribute(pA, MAIN_BTNRUN, ATTR_DIMMED, &on);
    EXPECT_EQ(on, 0);
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(stop_flag, 1);
}

TEST_F(ScopeLoopTest, SilentSensorEndsTheLoopOneAndAHalfSecondsAfterTheRequest) {
    openLink();
    watchWrites(false, nullptr);
    double end = runScope();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_GT(end - log[0].at, TIMEOUT);
    EXPECT_LT(end - log[0].at, TIMEOUT + 0.01);
    EXPECT_EQ(status(), "Timeout RS232-Line!");
    expectIdle();
}

TEST_F(ScopeLoopTest, UnopenedPortShowsNoLineOkAndStillTimesOut) {
    com = 1; // never opened
    double start = Timer();
    double end = runScope();
    EXPECT_TRUE(dev.writes.empty());
    EXPECT_EQ(statusHistory(), std::vector<std::string>{"Timeout RS232-Line!"});
    EXPECT_NEAR(end - start, TIMEOUT, 0.01);
    expectIdle();
}

// A standard reply is plotted but asks for nothing more; the time-out counts from the last
// data request, not from the last frame received.
TEST_F(ScopeLoopTest, StandardReplyIsNeitherPlottedNorLeadsToARequest) {
    openLink();
    watchWrites(false, [this](std::size_t n, unsigned) {
        if (n == 0) {
            reply(frame({0x55, 8, 300, 400, 1, 2}), 0.04);
        } else {
            reply(frame({0x55, 2, 0, 11, 22, 3, 0}), 1.2);
        }
    });
    double end = runScope();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_GT(end - log[1].at, TIMEOUT);
    EXPECT_LT(end - log[1].at, TIMEOUT + 0.01);
    EXPECT_EQ(status(), "Timeout RS232-Line!");
    // Only the data reply is a sample: a standard reply's words never reach the chart.
    EXPECT_EQ(arrayRAW[784], 0.0);
    EXPECT_EQ(arrayRAW[792], 300.0);
    EXPECT_EQ(arrayRAW[793], 400.0);
    // The LEDs show the data reply's states (inputs 1, outputs 2), not the standard reply's.
    int led = 0;
    GetCtrlVal(pA, MAIN_LEDIN1, &led);
    EXPECT_EQ(led, 0);
    GetCtrlVal(pA, MAIN_LEDOUT1, &led);
    EXPECT_EQ(led, 1);
    expectIdle();
}

TEST_F(ScopeLoopTest, StopWhileIdleClearsAndPausesButSendsNothing) {
    openLink();
    std::fill(std::begin(arrayRAW), std::end(arrayRAW), 5.0);
    SetCtrlAttribute(pA, MAIN_TIMER50MS, ATTR_ENABLED, 1);
    rx_flag = 8;
    graph_flag = 1;
    ClearTextHistory();
    double start = Timer();
    ClickCtrl(pA, MAIN_BTNSTOP);
    ProcessSystemEvents();
    EXPECT_GE(Timer() - start, 0.2 - 1e-9);
    EXPECT_TRUE(dev.writes.empty());
    EXPECT_TRUE(statusHistory().empty());
    EXPECT_TRUE(
        std::all_of(std::begin(arrayRAW), std::end(arrayRAW), [](double v) { return v == 0.0; }));
    int on = 1;
    GetCtrlAttribute(pA, MAIN_TIMER50MS, ATTR_ENABLED, &on);
    EXPECT_EQ(on, 0);
    GetCtrlAttribute(pA, MAIN_BTNRUN, ATTR_DIMMED, &on);
    EXPECT_EQ(on, 0);
    expectIdle();
}

// Closing the main panel mid-run: the panel callback stops the loop, closes the port and asks
// the event loop to end, which it does once the loop has unwound.
TEST_F(ScopeLoopTest, ClosingThePanelWhileRunningEndsLoopAndEventLoop) {
    openLink();
    watchWrites(true, [](std::size_t n, unsigned) {
        if (n == 4) {
            PostCtrlEvent(pA, 0, EVENT_CLOSE);
        }
        if (n > 50) {
            QuitUserInterface(0); // safety net only: the test fails below
        }
    });
    ClickCtrl(pA, MAIN_BTNRUN);
    EXPECT_EQ(RunUserInterface(), 0);
    EXPECT_EQ(log.size(), 5u);
    EXPECT_FALSE(dev.open);
    int dimmed = 1;
    GetCtrlAttribute(pA, MAIN_BTNRUN, ATTR_DIMMED, &dimmed);
    EXPECT_EQ(dimmed, 0);
    expectIdle();
}

struct NestedCase {
    const char* name;
    int control;
    unsigned order;     // the command's own order on the line
    bool loopCarriesOn; // reaches the Stop pressed later, rather than timing out
};

class ScopeNestedTest : public ScopeLoopTest, public ::testing::WithParamInterface<NestedCase> {};

// A command given in the middle of a run: teach and send re-arm the loop; refresh, reset and
// get let the loop's outstanding reply land, take their own reply and leave the loop to time
// out, since they do not re-arm it.
TEST_P(ScopeNestedTest, CommandDuringRun) {
    const NestedCase& c = GetParam();
    openLink();
    std::size_t commandAt = 0;
    watchWrites(true, [&](std::size_t n, unsigned order) {
        if (n == 4) {
            ClickCtrl(pA, c.control);
        }
        if (order == c.order) {
            commandAt = n;
        }
        if (n == commandAt + 10 && commandAt > 0) {
            ClickCtrl(pA, MAIN_BTNSTOP);
        }
    });
    double end = runScope();
    ASSERT_GT(commandAt, 0u) << "the command was not sent";
    auto o = orders();
    if (c.loopCarriesOn) {
        EXPECT_NE(status(), "Timeout RS232-Line!");
        EXPECT_GE(std::count(o.begin() + static_cast<long>(commandAt), o.end(), 8u), 5);
    } else {
        EXPECT_EQ(status(), "Timeout RS232-Line!");
        // Nothing after the command and its GET (a Get is its own); the time-out ran from the
        // fifth request.
        EXPECT_EQ(o.size(), commandAt + (c.order == 2 ? 1 : 2));
        EXPECT_EQ(o.back(), 2u);
        EXPECT_GT(end - log[4].at, TIMEOUT);
        EXPECT_LT(end - log[4].at, TIMEOUT + 0.01);
    }
    expectIdle();
}

INSTANTIATE_TEST_SUITE_P(ScopeDuringRun, ScopeNestedTest,
                         ::testing::Values(NestedCase{"Teach", MAIN_BTNTEACH, 6, true},
                                           NestedCase{"Send", MAIN_BTNSEND, 1, true},
                                           NestedCase{"Get", MAIN_BTNGET, 2, false},
                                           NestedCase{"RefreshA", MAIN_BTNREFRESHA, 11, false},
                                           NestedCase{"RefreshB", MAIN_BTNREFRESHB, 12, false},
                                           NestedCase{"Reset", MAIN_BTNRESET, 13, false}),
                         [](const auto& param) { return std::string(param.param.name); });

// A command given while the loop's data reply is half in: the command lets it land before it
// flushes, so the line stays in step and the GET brings back the real block, not a garbled one.
TEST_F(ScopeLoopTest, TeachWhileADataReplyIsHalfInKeepsTheLineInStep) {
    openLink();
    // Every reply comes in two pieces, as over a slow line.
    auto split = [this](const std::vector<std::uint8_t>& f, double at) {
        reply({f.begin(), f.begin() + 20}, at);
        reply({f.begin() + 20, f.end()}, at + 0.01);
    };
    const auto data = frame({0x55, 8, 180, 190, 1, 0});
    const auto block = frame({0x55, 2, 0, 500, 300, 512, 100, 100, 10});
    watchWrites(false, [&](std::size_t n, unsigned order) {
        if (order == 8 && n == 4) {
            // The first piece is already in when the teach starts.
            ClickCtrl(pA, MAIN_BTNTEACH);
            split(data, 0.0);
        } else if (order == 8) {
            split(data, 0.03);
        } else if (order == 6 || order == 2) {
            split(block, 0.03);
        }
        if (n == 15) {
            ClickCtrl(pA, MAIN_BTNSTOP);
        }
    });
    runScope();
    EXPECT_EQ(parameter[kBlock0 + 1], 300u);
    EXPECT_EQ(refthdA, 300);
    EXPECT_EQ(status(), "New setpoint value CHA teached!");
    EXPECT_EQ(log.size(), 16u) << "the loop did not carry on";
    expectIdle();
}

// Teach mid-run: the sensor takes the current raw value as the new setpoint, the GET brings
// it onto the panel, and the reference trace steps to it.
TEST_F(ScopeLoopTest, TeachDuringRunMovesTheReferenceTrace) {
    openLink();
    std::size_t stopAt = 1000;
    watchWrites(true, [&](std::size_t n, unsigned order) {
        if (n == 10) {
            ClickCtrl(pA, MAIN_BTNTEACH);
        }
        if (order == 2) {
            stopAt = n + 20;
        }
        if (n == stopAt) {
            ClickCtrl(pA, MAIN_BTNSTOP);
        }
    });
    int before = refthdA;
    runScope();
    auto hist = statusHistory();
    EXPECT_NE(std::find(hist.begin(), hist.end(), "New setpoint value CHA teached!"), hist.end());
    EXPECT_EQ(parameter[kBlock0 + 1], sensor->model().ram[0][1]);
    EXPECT_NE(refthdA, before);
    auto ref = StripChartTraces(pA, MAIN_STRIPCHART)[2];
    EXPECT_EQ(ref.back(), refthdA);
    EXPECT_NE(std::find(ref.begin(), ref.end(), static_cast<double>(before)), ref.end());
    expectIdle();
}

// Compare and the service report read both memories nested in a running scope: the loop goes
// on afterwards instead of running out its time-out.
TEST_F(ScopeLoopTest, CompareAndReportDuringRunCostNoTimeout) {
    openLink();
    const std::string report = tempDir + "/report.html";
    long timeoutsBefore = 0;
    watchWrites(true, [&](std::size_t n, unsigned) {
        if (n == 5) {
            timeoutsBefore = GetLinkStats().timeouts;
            ClickCtrl(pA, MAIN_BTNCOMPARE); // its dialog closes without taking a column
        }
        if (n == 15) {
            QueueFileSelectAnswer(report);
            ClickCtrl(pA, MAIN_BTNREPORT);
        }
        if (n == 30) {
            ClickCtrl(pA, MAIN_BTNSTOP);
        }
    });
    runScope();
    auto hist = statusHistory();
    EXPECT_EQ(std::find(hist.begin(), hist.end(), "Timeout RS232-Line!"), hist.end());
    EXPECT_EQ(GetLinkStats().timeouts, timeoutsBefore);
    EXPECT_EQ(log.size(), 31u) << "the loop did not carry on";
    EXPECT_GE(countOrder(ORDER_GET_EEPROM), 3u);
    expectIdle();
}

} // namespace
