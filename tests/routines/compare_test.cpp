// Compare: block 0 as the panel, the sensor's RAM and EEPROM and a parameter file hold it,
// read without a trace, and one column taken onto the panel on request.
#include "harness.h"

#include "core/state.h"
#include "link/link.h"
#include "params/params.h"
#include "params/record.h"
#include "runtime/ui.h"
#include "testkit/testing.h"

#include <algorithm>
#include <fstream>
#include <iterator>

namespace {

constexpr int kFields[] = {MAIN_SETTING0, MAIN_REFA,  MAIN_REFB,  MAIN_TOLA,     MAIN_TOLB,
                           MAIN_SETTING5, MAIN_FLAG0, MAIN_FLAG1, MAIN_SETTING8, MAIN_SETTING9};

class CompareTest : public RoutineTest {
  protected:
    void SetUp() override {
        RoutineTest::SetUp();
        useSensor();
        openLink();
        for (int w = 0; w < kBlockWords; ++w) {
            sensor->model().ram[0][w] = static_cast<std::uint16_t>(100 + w);
            sensor->model().eeprom[0][w] = static_cast<std::uint16_t>(200 + w);
        }
        sensor->model().ram[0][6] = 1;
        sensor->model().eeprom[0][6] = 2;
    }

    std::vector<int> panelFields() {
        std::vector<int> out;
        for (int c : kFields) {
            int v = 0;
            GetCtrlVal(pA, c, &v);
            out.push_back(v);
        }
        return out;
    }

    // Column `c` of the table shown by call `call`.
    static std::vector<int> column(std::size_t call, int c) {
        const CompareCall& k = CompareCalls().at(call);
        std::vector<int> out;
        for (std::size_t r = 0; r < k.rows.size(); ++r) {
            out.push_back(k.values[r * k.columns.size() + static_cast<std::size_t>(c)]);
        }
        return out;
    }

    void compare() { CC_BTNCompare(pA, MAIN_BTNCOMPARE, EVENT_COMMIT, nullptr, 0, 0); }
};

TEST_F(CompareTest, ReadsRamAndEepromAndLeavesEverythingAsItWasWhenClosed) {
    // An unsent edit on the panel, a record word without a field, a target and a status.
    SetCtrlVal(pA, MAIN_REFA, 900u);
    parameter[kBlock0 + 12] = 0x4321;
    target = EEPROM;
    std::fill(std::begin(pp), std::end(pp), 0x7777);
    SetStatus("before");
    ShowStatus();
    RefreshUnsentMarks();
    std::uint16_t record[kRecordWords], image[16];
    std::copy(std::begin(parameter), std::end(parameter), record);
    std::copy(std::begin(pp), std::end(pp), image);
    auto fields = panelFields();

    compare();

    // Two GETs, RAM then EEPROM, each carrying the record's block 0 as it was.
    ASSERT_EQ(writes().size(), 2u);
    EXPECT_EQ(writtenWord(0, 2), 2u);
    EXPECT_EQ(writtenWord(1, 2), 4u);
    EXPECT_EQ(writtenWord(1, 6 + 2 * 12), 0x4321u);
    EXPECT_EQ(writtenWord(1, 6 + 2 * 1), 512u);

    ASSERT_EQ(CompareCalls().size(), 1u);
    const CompareCall& shown = CompareCalls()[0];
    EXPECT_EQ(shown.columns, (std::vector<std::string>{"Panel", "RAM", "EEPROM"}));
    ASSERT_EQ(shown.rows.size(), static_cast<std::size_t>(kBlockWords));
    EXPECT_TRUE(shown.offerFile);
    // The panel column is what a Send would send: the fields over the record's other words.
    std::vector<int> panel = column(0, 0);
    EXPECT_EQ(panel[1], 900);
    EXPECT_EQ(panel[12], 0x4321);
    std::vector<int> ram = column(0, 1), eeprom = column(0, 2);
    EXPECT_EQ(ram[0], 100);
    EXPECT_EQ(ram[14], 114);
    EXPECT_EQ(eeprom[6], 2);
    EXPECT_EQ(eeprom[9], 209);

    // Closed: nothing changed, nor are the marks gone.
    EXPECT_TRUE(std::equal(std::begin(parameter), std::end(parameter), record));
    EXPECT_TRUE(std::equal(pp, pp + 15, image));
    EXPECT_EQ(panelFields(), fields);
    EXPECT_EQ(target, EEPROM);
    EXPECT_EQ(status(), "before");
    EXPECT_EQ(RefreshUnsentMarks(), 1);
}

TEST_F(CompareTest, TakingTheEepromColumnPutsItOnThePanelAsUnsent) {
    QueueCompareAnswer(2);
    compare();
    std::vector<int> expected = {200, 201, 202, 203, 204, 205, 0, 1, 208, 209};
    EXPECT_EQ(panelFields(), expected); // flag word 2: bit 1 on
    EXPECT_EQ(parameter[kBlock0 + 14], 214);
    // Taken, not sent: the panel differs from block 0 as last read, word by word.
    EXPECT_EQ(RefreshUnsentMarks(), 9);
    EXPECT_EQ(writes().size(), 2u);
    // A Send then writes EEPROM's block to RAM.
    target = RAM;
    CC_BTNSend(pA, MAIN_BTNSEND, EVENT_COMMIT, nullptr, 0, 0);
    pump(0.1);
    EXPECT_EQ(sensor->model().ram[0][4], 204);
    EXPECT_EQ(RefreshUnsentMarks(), 0);
}

TEST_F(CompareTest, AFileColumnAndAMissingReply) {
    std::string path = tempDir + "/other.cfg";
    std::ofstream(path) << "1 2 3 4 5 6 0 8 9 10 11 12 13 14 15 16\n";
    std::string before = file_name;
    QueueCompareAnswer(VAL_COMPARE_ADD_FILE);
    QueueFileSelectAnswer(path);
    QueueCompareAnswer(3);
    sensor->model().eeprom[0][0] = 200;
    // The EEPROM GET goes unanswered.
    int sent = 0;
    auto answer = dev.onWrite;
    dev.onWrite = [&](std::span<const std::uint8_t> bytes, double now) {
        if (++sent == 1) {
            answer(bytes, now);
        }
    };
    compare();
    ASSERT_EQ(CompareCalls().size(), 2u);
    EXPECT_EQ(CompareCalls()[1].columns,
              (std::vector<std::string>{"Panel", "RAM", "EEPROM (no reply)", "other.cfg"}));
    EXPECT_EQ(column(1, 2), std::vector<int>(kBlockWords, -1));
    EXPECT_EQ(column(1, 3)[14], 15);
    // The file was read for the comparison only: the chosen name stays, its values are taken.
    EXPECT_EQ(std::string(file_name), before);
    EXPECT_EQ(panelFields()[0], 1);
    EXPECT_EQ(parameter[kBlock0 + 14], 15);
}

} // namespace
