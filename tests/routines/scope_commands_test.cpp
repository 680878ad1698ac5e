// Teach, refresh and reset while the scope is idle: frames, accepted replies, messages.
#include "harness.h"

#include "core/state.h"
#include "link/frames.h"
#include "params/record.h"
#include "runtime/ui.h"
#include "scope/scope.h"
#include "testkit/testing.h"

#include <algorithm>

namespace {

class ScopeCommandTest : public RoutineTest {
  protected:
    void SetUp() override {
        RoutineTest::SetUp();
        openLink();
    }
    // Answers each write of `order` with `bytes` after `delay`; other writes go unanswered.
    void answer(unsigned order, std::vector<std::uint8_t> bytes, double delay = 0.05) {
        answers.push_back({order, std::move(bytes), delay});
        dev.onWrite = [this](std::span<const std::uint8_t> w, double) {
            unsigned o = static_cast<unsigned>(w[2] << 8 | w[3]);
            for (const auto& a : answers) {
                if (a.order == o) {
                    reply(a.bytes, a.delay);
                }
            }
        };
    }
    double click(int control) {
        double start = Timer();
        ClickCtrl(pA, control);
        pump(0.001);
        return Timer() - start;
    }
    bool shown(const std::string& text) const {
        auto h = statusHistory();
        return std::find(h.begin(), h.end(), text) != h.end();
    }

    struct Answer {
        unsigned order;
        std::vector<std::uint8_t> bytes;
        double delay;
    };
    std::vector<Answer> answers;
};

TEST_F(ScopeCommandTest, TeachFramePerChannelThenGetAndMessage) {
    useSensor();
    pp[15] = 0x1234;
    click(MAIN_BTNTEACH);
    ASSERT_EQ(writes().size(), 2u);
    std::vector<std::uint8_t> teachA(36, 0);
    teachA[1] = 0x55;
    teachA[3] = 6;
    EXPECT_EQ(writes()[0], teachA);
    EXPECT_EQ(writtenWord(1, 2), 2u); // the GET of block 0 from RAM
    EXPECT_EQ(writtenWord(1, 4), 0u);
    auto h = statusHistory();
    ASSERT_GE(h.size(), 3u);
    EXPECT_EQ(h[0], "Teach new Reference-Value ...");
    EXPECT_EQ(h[1], "Line Ok!");
    EXPECT_EQ(status(), "New setpoint value CHA teached!");
    EXPECT_EQ(parameter[kBlock0 + 1], sensor->model().ram[0][1]);
    EXPECT_EQ(refthdA, sensor->model().ram[0][1]);
    EXPECT_EQ(rx_flag, 1); // idle: no re-arm

    SetCtrlVal(pA, MAIN_CHANNEL, 1);
    click(MAIN_BTNTEACH);
    ASSERT_EQ(writes().size(), 4u);
    EXPECT_EQ(writtenWord(2, 4), 1u);
    EXPECT_EQ(status(), "New setpoint value CHB teached!");
    EXPECT_EQ(parameter[kBlock0 + 2], sensor->model().ram[0][2]);
}

TEST_F(ScopeCommandTest, TeachTakesADataReplyAndKeepsItsMessageOverAFailedGet) {
    answer(6, frame({0x55, 8, 1, 2, 3, 4}));
    click(MAIN_BTNTEACH);
    ASSERT_EQ(writes().size(), 2u);
    EXPECT_TRUE(shown("Waiting for parameter-frame ..."));
    EXPECT_EQ(status(), "New setpoint value CHA teached!");
}

TEST_F(ScopeCommandTest, TeachTimeoutStillReArmsARunningLoop) {
    stop_flag = 0; // as if nested in the scope loop, whose reply is 1 s overdue
    NoteDataRequest(Timer() - 1.0);
    double took = click(MAIN_BTNTEACH);
    EXPECT_EQ(writes().size(), 1u);
    EXPECT_NEAR(took, 0.5 + TIMEOUT, 0.01); // the rest of the loop's wait, then its own
    EXPECT_EQ(status(), "Timeout RS-232!!");
    EXPECT_EQ(rx_flag, 8);
    StopScope();
}

TEST_F(ScopeCommandTest, RefreshAndResetFramesDifferOnlyInTheOrderByte) {
    useSensor();
    const int controls[] = {MAIN_BTNREFRESHA, MAIN_BTNREFRESHB, MAIN_BTNRESET};
    for (int control : controls) {
        SetCtrlVal(pA, MAIN_REFA, 700); // the panel, read at the press, is what goes out
        click(control);
        EXPECT_EQ(status(), "Parameter-frame received! - Line Ok!");
        EXPECT_FALSE(shown("Timeout RS-232!!"));
    }
    ASSERT_EQ(writes().size(), 6u);
    const auto a = writes()[0];
    EXPECT_EQ(a[3], 0x0B);
    EXPECT_EQ(writtenWord(0, 8), 700u);
    for (std::size_t i : {2u, 4u}) {
        auto b = writes()[i];
        EXPECT_EQ(b[3], i == 2 ? 0x0C : 0x0D);
        b[3] = 0x0B;
        EXPECT_EQ(b, a);
        EXPECT_EQ(writtenWord(i + 1, 2), 2u);
    }
    EXPECT_EQ(parameter[1], 2u); // the GET prepared the last command
}

TEST_F(ScopeCommandTest, RefreshWaitsForAStandardReplyOnly) {
    answer(11, frame({0x55, 8, 1, 2, 3, 4}));
    SetCtrlVal(pA, MAIN_REFA, 700);
    double took = click(MAIN_BTNREFRESHA);
    EXPECT_EQ(writes().size(), 1u); // no GET
    EXPECT_NEAR(took, TIMEOUT, 0.01);
    EXPECT_EQ(status(), "Timeout RS-232!!");
    EXPECT_EQ(parameter[kBlock0 + 1], 700u); // block 0 keeps what the panel held
    EXPECT_EQ(rx_flag, 8);
}

} // namespace
