// The window's history: every set the panel gets, sends, loads or saves is recorded with the
// sensor it belongs to; a history that cannot be written never changes the operation; the view
// takes a set onto the panel unsent; the service report reads fresh and names what it could not.
#include "harness.h"

#include "core/state.h"
#include "link/frames.h"
#include "link/link.h"
#include "params/history.h"
#include "params/params.h"
#include "params/record.h"
#include "runtime/ui.h"
#include "testkit/testing.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class HistoryTest : public RoutineTest {
  protected:
    void SetUp() override {
        RoutineTest::SetUp();
        zelsim::Options opts;
        opts.firmware = "FW-7";
        useSensor(opts);
        openLink();
        for (int w = 0; w < kBlockWords; ++w) {
            sensor->model().ram[0][w] = static_cast<std::uint16_t>(100 + w);
            sensor->model().eeprom[0][w] = static_cast<std::uint16_t>(200 + w);
            sensor->model().ram[1][w] = static_cast<std::uint16_t>(300 + w);
            sensor->model().eeprom[1][w] = static_cast<std::uint16_t>(300 + w);
        }
        sensor->model().ram[0][6] = 1;
        sensor->model().eeprom[0][6] = 2;
        sensor->model().eeprom[1][4] = 999;
    }

    static std::vector<HistoryRecord> entries() { return ReadHistory(HistoryFilePath()).records; }
    static std::vector<std::uint16_t> words(const HistoryRecord& r) {
        return {r.words.begin(), r.words.end()};
    }
    static std::vector<std::uint16_t> range(std::uint16_t from) {
        std::vector<std::uint16_t> out;
        for (int w = 0; w < kBlockWords; ++w) {
            out.push_back(static_cast<std::uint16_t>(from + w));
        }
        return out;
    }
    void click(CtrlCallbackPtr callback, int control) {
        callback(pA, control, EVENT_COMMIT, nullptr, 0, 0);
        pump(0.1);
    }
};

TEST_F(HistoryTest, GotSentLoadedAndSavedSetsAreRecordedWithTheirSensor) {
    InitRS232(1); // the start-up exchange: hardware type, both blocks from RAM, firmware
    target = EEPROM;
    click(CC_BTNGet, MAIN_BTNGET);
    SetCtrlVal(pA, MAIN_REFA, 777u);
    target = RAM;
    click(CC_BTNSend, MAIN_BTNSEND);
    const std::string saved = tempDir + "/saved.cfg";
    QueueFileSelectAnswer(saved);
    target = DATFILE;
    click(CC_BTNSend, MAIN_BTNSEND);
    QueueFileSelectAnswer(saved);
    click(CC_BTNGet, MAIN_BTNGET);

    const auto h = entries();
    ASSERT_EQ(h.size(), 6u);
    auto is = [&](std::size_t i, const char* direction, const char* memory, int block) {
        SCOPED_TRACE(i);
        EXPECT_EQ(h[i].direction, direction);
        EXPECT_EQ(h[i].memory, memory);
        EXPECT_EQ(h[i].block, block);
        EXPECT_EQ(h[i].id, static_cast<long long>(i + 1));
        EXPECT_EQ(h[i].port, 1);
        EXPECT_EQ(h[i].hardware, 0);
    };
    is(0, "got", "ram", 0);
    is(1, "got", "ram", 1);
    is(2, "got", "eeprom", 0);
    is(3, "sent", "ram", 0);
    is(4, "saved", "file", 0);
    is(5, "loaded", "file", 0);
    // Start-up reads the blocks before the firmware: only the later sets know it.
    EXPECT_EQ(h[0].firmware, "");
    EXPECT_EQ(h[2].firmware, "FW-7");
    EXPECT_EQ(words(h[1]), range(300));
    auto eeprom = range(200);
    eeprom[6] = 2;
    EXPECT_EQ(words(h[2]), eeprom);
    // What was sent is what the frame carried, and what the sensor now holds.
    auto sent = eeprom;
    sent[1] = 777;
    EXPECT_EQ(words(h[3]), sent);
    EXPECT_EQ(sensor->model().ram[0][1], 777);
    EXPECT_EQ(words(h[4]), sent);
    EXPECT_EQ(h[4].file, saved);
    EXPECT_EQ(h[5].file, saved);
    EXPECT_EQ(words(h[5]), sent);
}

TEST_F(HistoryTest, AGetThatIsNotTakenIsNotRecorded) {
    dev.onWrite = nullptr; // nobody answers
    target = RAM;
    click(CC_BTNGet, MAIN_BTNGET);
    EXPECT_EQ(status(), "Timeout-RS-232...");
    EXPECT_TRUE(entries().empty());
}

TEST_F(HistoryTest, AHistoryThatCannotBeWrittenLeavesTheSendAsItWas) {
    // A file where the history's directory should be.
    std::ofstream(tempDir + "/data") << "x";
    SetCtrlVal(pA, MAIN_REFA, 640u);
    ASSERT_EQ(RefreshUnsentMarks(), 1);
    target = EEPROM;
    click(CC_BTNSend, MAIN_BTNSEND);
    EXPECT_EQ(sensor->model().eeprom[0][1], 640);
    EXPECT_EQ(RefreshUnsentMarks(), 0);
    const auto shown = statusHistory();
    ASSERT_GE(shown.size(), 2u);
    EXPECT_EQ(shown[shown.size() - 2], "Transmit para1 Ok!");
    EXPECT_EQ(shown.back(), "Cannot write history.json!");
}

TEST_F(HistoryTest, ADamagedHistoryIsSetAsideWithOneLineAndANewOneStarted) {
    const std::string path = HistoryFilePath();
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << "{\"format\":\"zel-vavod history\",\"version\":7}";
    target = RAM;
    click(CC_BTNGet, MAIN_BTNGET);
    EXPECT_EQ(statusHistory().back(), "history.json damaged: set aside, a new one started");
    EXPECT_EQ(entries().size(), 1u);
    int aside = 0;
    for (const auto& e :
         std::filesystem::directory_iterator(std::filesystem::path(path).parent_path())) {
        aside += e.path().filename().string().rfind("history.json.damaged-", 0) == 0;
    }
    EXPECT_EQ(aside, 1);
    // The Get itself was taken.
    EXPECT_EQ(parameter[kBlock0 + 14], 114);
}

TEST_F(HistoryTest, TheViewListsNewestFirstAndTakesABlock0SetOntoThePanelUnsent) {
    InitRS232(1);
    target = EEPROM;
    click(CC_BTNGet, MAIN_BTNGET);
    target = RAM;
    click(CC_BTNGet, MAIN_BTNGET); // the panel holds RAM again
    SetCtrlVal(pA, MAIN_SETTING9, 5u);

    // Closed: nothing changes.
    click(CC_BTNHistory, MAIN_BTNHISTORY);
    ASSERT_EQ(HistoryCalls().size(), 1u);
    const HistoryCall& shown = HistoryCalls()[0];
    EXPECT_EQ(shown.ids, (std::vector<long long>{4, 3, 2, 1}));
    EXPECT_EQ(shown.directions[1], "got");
    EXPECT_EQ(shown.memories[1], "EEPROM");
    EXPECT_EQ(shown.blocks, (std::vector<int>{0, 0, 1, 0}));
    EXPECT_EQ(shown.panel[9], 5); // the panel's block 0, unsent edit included
    EXPECT_EQ(shown.words[1][0], 200);
    EXPECT_EQ(RefreshUnsentMarks(), 1);

    // A block 1 set is not taken; the EEPROM set is, unsent, and nothing is sent.
    const auto writesBefore = writes().size();
    QueueHistoryAnswer(2);
    click(CC_BTNHistory, MAIN_BTNHISTORY);
    EXPECT_EQ(parameter[kBlock0 + 0], 100);
    QueueHistoryAnswer(1);
    click(CC_BTNHistory, MAIN_BTNHISTORY);
    EXPECT_EQ(parameter[kBlock0 + 0], 200);
    EXPECT_EQ(parameter[kBlock0 + 14], 214);
    int refA = 0;
    GetCtrlVal(pA, MAIN_REFA, &refA);
    EXPECT_EQ(refA, 201);
    EXPECT_EQ(RefreshUnsentMarks(), 9);
    EXPECT_EQ(writes().size(), writesBefore);
    EXPECT_EQ(entries().size(), 4u);
}

TEST_F(HistoryTest, TheReportReadsBothMemoriesFreshAndHoldsThisSessionsSets) {
    InitRS232(1);
    const auto recordBefore = std::vector<std::uint16_t>(parameter, parameter + kRecordWords);
    const std::string html = tempDir + "/report.html";
    QueueFileSelectAnswer(html);
    click(CC_BTNReport, MAIN_BTNREPORT);
    EXPECT_EQ(status(), "Service report saved: report.html");
    const std::string text = Slurp(html);
    EXPECT_TRUE(Has(text, "id=\"firmware\">FW-7</td>")) << text.substr(0, 2000);
    EXPECT_TRUE(Has(text, "id=\"hardware\">0</td>"));
    EXPECT_TRUE(Has(text, "id=\"ram-0-0\" class=\"n\" bgcolor=\"#ffd2c4\">100</td>"));
    EXPECT_TRUE(Has(text, "id=\"eeprom-0-0\" class=\"n\" bgcolor=\"#ffd2c4\">200</td>"));
    EXPECT_TRUE(Has(text, "id=\"eeprom-1-4\" class=\"n\" bgcolor=\"#ffd2c4\">999</td>"));
    EXPECT_TRUE(Has(text, "id=\"ram-1-5\" class=\"n\">305</td>"));
    EXPECT_TRUE(Has(text, "<tr id=\"entry-1\">") && Has(text, "<tr id=\"entry-2\">"));
    // Four reads, no trace: the record, the history and the figures are as they were.
    EXPECT_EQ(std::vector<std::uint16_t>(parameter, parameter + kRecordWords), recordBefore);
    EXPECT_EQ(entries().size(), 2u);

    const std::string pdf = tempDir + "/report.pdf";
    QueueFileSelectAnswer(pdf);
    click(CC_BTNReport, MAIN_BTNREPORT);
    EXPECT_EQ(Slurp(pdf).substr(0, 5), "%PDF-");

    // The sensor gone: the report says so. A place that cannot be written: one line naming it.
    dev.onWrite = nullptr;
    QueueFileSelectAnswer(html);
    click(CC_BTNReport, MAIN_BTNREPORT);
    EXPECT_TRUE(Has(Slurp(html), "RAM (no reply)"));
    QueueFileSelectAnswer(tempDir + "/no/such/dir/r.html");
    click(CC_BTNReport, MAIN_BTNREPORT);
    EXPECT_EQ(statusHistory().back(), "Cannot write r.html!");
}

} // namespace
