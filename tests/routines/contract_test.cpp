// What the sensor said, what the operator typed and what the tool reports stay apart: a
// command's reply never becomes a scope sample, a sensor that comes back never overwrites the
// panel, and framing never bets on the sensor's sync word.
#include "harness.h"

#include "core/state.h"
#include "link/frames.h"
#include "link/link.h"
#include "params/params.h"
#include "params/record.h"
#include "runtime/ui.h"
#include "scope/record.h"
#include "scope/scope.h"
#include "store/textfile.h"
#include "testkit/testing.h"

#include <fstream>

#include <span>
#include <utility>
#include <vector>

namespace {

std::vector<std::pair<int, int>> g_samples; // raw A and raw B of every plotted sample

void CollectSample() {
    g_samples.emplace_back(adcCHA, adcCHB);
}

class ContractTest : public RoutineTest {
  protected:
    void TearDown() override {
        SetPlotObserver(nullptr);
        RoutineTest::TearDown();
    }
    unsigned orderOf(std::span<const std::uint8_t> b) const {
        return b.size() >= 4 ? static_cast<unsigned>(b[2] << 8 | b[3]) : 0;
    }
};

TEST_F(ContractTest, CommandsDuringTheScopeNeverBecomeSamples) {
    openLink();
    // The sensor streams 500 / 520; its block 0 holds words that would look like samples
    // (400, 300, 700, 50) if a command's reply reached the chart.
    const auto data = frame({0x55, 8, 500, 520, 1, 2});
    // Send and Teach re-arm the loop; Get and Refresh leave it to its time-out, so they come last
    // in a run.
    std::vector<std::pair<int, int>> presses = {{4, MAIN_BTNSEND},
                                                {9, MAIN_BTNTEACH},
                                                {14, MAIN_BTNSEND},
                                                {19, MAIN_BTNTEACH},
                                                {24, MAIN_BTNGET}};
    int requests = 0;
    dev.onWrite = [&](std::span<const std::uint8_t> b, double) {
        const unsigned order = orderOf(b);
        if (order == ORDER_DATA) {
            ++requests;
            reply(data, 0.03);
            for (const auto& [at, control] : presses) {
                if (requests == at) {
                    ClickCtrl(pA, control);
                }
            }
            if (requests == 50) {
                ClickCtrl(pA, MAIN_BTNSTOP);
            }
        } else if (order != ORDER_SEND_RAM && order != ORDER_SEND_EEPROM) {
            reply(frame({0x55, order, 0, 400, 300, 700, 50, 100, 10}), 0.03);
        }
    };
    g_samples.clear();
    SetPlotObserver(&CollectSample);
    // Recorded, as an operator would keep it: the file must hold only what the sensor sent.
    CopyText(proj_dir, tempDir);
    SetCtrlVal(pA, MAIN_RECORDSW, 1);
    ClickCtrl(pA, MAIN_BTNRUN);
    ProcessSystemEvents(); // the loop runs in here, until its time-out after the Get
    const std::size_t firstRun = g_samples.size();
    {
        std::ifstream csv(RecordPath());
        std::string row;
        ASSERT_TRUE(std::getline(csv, row)) << RecordPath(); // the header
        int rows = 0;
        while (std::getline(csv, row)) {
            ++rows;
            // t_s,raw_a,raw_b,in_state,out_state,...
            const auto a = row.find(',') + 1, b = row.find(',', a) + 1, c = row.find(',', b) + 1;
            ASSERT_EQ(row.substr(a, b - a - 1), "500") << row;
            ASSERT_EQ(row.substr(b, c - b - 1), "520") << row;
        }
        EXPECT_EQ(static_cast<std::size_t>(rows), firstRun);
    }
    SetCtrlVal(pA, MAIN_RECORDSW, 0);
    ASSERT_GE(firstRun, 20u);
    requests = 0;
    presses = {{4, MAIN_BTNREFRESHA}};
    ClickCtrl(pA, MAIN_BTNRUN);
    ProcessSystemEvents();
    ASSERT_GE(g_samples.size(), firstRun + 3);
    // Every sample plotted is one the sensor sent as a data reply.
    for (const auto& [a, b] : g_samples) {
        ASSERT_EQ(a, 500);
        ASSERT_EQ(b, 520);
    }
    for (int i = 0; i < kRawSamples; ++i) {
        const double rawA = arrayRAW[i * kRawTraces], rawB = arrayRAW[i * kRawTraces + 1];
        EXPECT_TRUE((rawA == 0 && rawB == 0) || (rawA == 500 && rawB == 520)) << i;
    }
}

TEST_F(ContractTest, APortThatComesBackKeepsAnUnsentEdit) {
    useSensor();
    InitRS232(1);
    ASSERT_EQ(status(), "V2.0");
    const std::uint16_t recordBefore = parameter[kBlock0 + 1];
    // The operator types a new reference and has not sent it yet.
    SetCtrlVal(pA, MAIN_REFA, 549u);
    dev.unplug();
    pump(0.05);
    ASSERT_TRUE(PortLost());
    dev.replug();
    useSensor();
    CheckLostPort();
    EXPECT_FALSE(PortLost());
    // The sensor's set was read again and is unchanged; the edit stays on the panel.
    EXPECT_EQ(status(), "COM1 back: V2.0; 1 unsent edit kept");
    int shown = 0;
    GetCtrlVal(pA, MAIN_REFA, &shown);
    EXPECT_EQ(shown, 549) << "the sensor that came back overwrote the edit";
    EXPECT_EQ(parameter[kBlock0 + 1], recordBefore);
    EXPECT_EQ(RefreshUnsentMarks(), 1) << "the edit is still marked unsent";
}

TEST_F(ContractTest, FramingDoesNotDependOnTheSyncWord) {
    openLink();
    // A sensor whose replies start 12 34: its line check answers 12 34 00 AA.
    dev.onWrite = [this](std::span<const std::uint8_t> b, double) {
        if (orderOf(b) == ORDER_LINE_CHECK) {
            reply(frame({0x1234, 0x00AA, 0, 1, 2}), 0.02);
        } else if (orderOf(b) == ORDER_GET_RAM) {
            reply(frame({0x1234, 2, 0, 500, 0x0055, 0x00AA, 100}), 0.02);
        }
    };
    EXPECT_EQ(CheckComLine(1), 1);
    EXPECT_EQ(status(), "Echo Check - Line Ok!");
    EXPECT_EQ(PushGET(RAM, 0), 1);
    EXPECT_EQ(parameter[kBlock0 + 1], 0x0055);
    EXPECT_EQ(parameter[kBlock0 + 2], 0x00AA);

    // A sensor whose replies start 00 00 streams raw values 85 and 170 (00 55 and 00 AA inside
    // the frame): every reply is a sample, the scope runs until stopped.
    int requests = 0;
    dev.onWrite = [&](std::span<const std::uint8_t> b, double) {
        if (orderOf(b) != ORDER_DATA) {
            return;
        }
        reply(frame({0x0000, 8, 85, 170, 0, 0}), 0.03);
        if (++requests == 30) {
            ClickCtrl(pA, MAIN_BTNSTOP);
        }
    };
    g_samples.clear();
    SetPlotObserver(&CollectSample);
    ClickCtrl(pA, MAIN_BTNRUN);
    ProcessSystemEvents();
    EXPECT_NE(status(), "Timeout RS232-Line!");
    EXPECT_GE(g_samples.size(), 28u);
    for (const auto& [a, b] : g_samples) {
        ASSERT_EQ(a, 85);
        ASSERT_EQ(b, 170);
    }
    EXPECT_EQ(GetLinkStats().bytesDiscarded, 0);
}

TEST_F(ContractTest, AReplyWithAnotherEchoIsDecodedAsItStands) {
    openLink();
    // A 36-byte reply echoing another order that holds the awaited order's code inside (00 02
    // at bytes 9-10): nothing else follows, so it is one whole frame, and a GET takes it: its
    // echo is the sensor's business.
    dev.onWrite = [this](std::span<const std::uint8_t>, double) {
        reply(frame({0x55, 3, 0, 500, 512, 2, 100}), 0.02);
    };
    PushGET(RAM, 0);
    EXPECT_EQ(status(), "Parameter-frame received! - Line Ok!");
    EXPECT_EQ(parameter[kBlock0 + 1], 512);
    EXPECT_EQ(parameter[kBlock0 + 2], 2);
}

} // namespace
