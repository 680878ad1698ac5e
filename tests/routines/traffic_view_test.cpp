// The traffic window: the frames on the line as they pass, held still while paused, filtered by
// order, copied and saved as shown, and the loss of the port said in it.
#include "harness.h"

#include "app/app.h"
#include "core/panel_ids.h"
#include "core/state.h"
#include "link/traffic.h"
#include "runtime/ui.h"
#include "store/textfile.h"
#include "testkit/testing.h"

#include <filesystem>
#include <string>
#include <vector>

namespace {

class TrafficViewTest : public RoutineTest {
  protected:
    void SetUp() override {
        RoutineTest::SetUp();
        ClearTraffic();
        StartTraffic(kTrafficViewLines);
        DisplayPanel(pA);
        useSensor();
        openLink();
    }
    void TearDown() override {
        CloseTrafficView();
        RoutineTest::TearDown();
    }

    void get() {
        ClickCtrl(pA, MAIN_BTNGET);
        pump(0.5);
    }
    void openView() {
        ClickCtrl(pA, MAIN_BTNTRAFFIC);
        pump(0.01);
        ASSERT_TRUE(TrafficViewOpen());
    }
    // The lines the ring holds, as the window formats them.
    static std::vector<std::string> ringLines() {
        std::size_t first = 0;
        const auto& ring = TrafficEntries(first);
        std::vector<std::string> out;
        for (std::size_t i = 0; i < ring.size(); ++i) {
            out.push_back(FormatTrafficLine(ring[(first + i) % ring.size()], TrafficOrigin()));
        }
        return out;
    }
    static std::string joined(const std::vector<std::string>& lines) {
        std::string out;
        for (const auto& l : lines) {
            out += l + "\n";
        }
        return out;
    }
    // The bytes of a shown line, as written: "00 55 00 02 ...".
    static std::string hexOf(const std::vector<std::uint8_t>& bytes) {
        std::string out;
        char b[4];
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            std::snprintf(b, sizeof b, i ? " %02X" : "%02X", bytes[i]);
            out += b;
        }
        return out;
    }
};

TEST_F(TrafficViewTest, ShowsTheFramesSinceStartUpThenEachAsItPasses) {
    get(); // before the window opens: kept, not formatted
    openView();
    auto lines = TrafficViewLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines, ringLines());
    // The command as written and its reply, decoded, with the response time.
    EXPECT_NE(lines[0].find(" TX " + hexOf(dev.writes[0]) + " | GET RAM block 0"),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[1].find(" RX "), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find("ms after GET RAM"), std::string::npos) << lines[1];

    ClickCtrl(pA, MAIN_BTNSEND);
    pump(0.5);
    PollTrafficView();
    lines = TrafficViewLines();
    ASSERT_EQ(lines.size(), 3u); // a send awaits no reply
    EXPECT_EQ(lines, ringLines());
    EXPECT_NE(lines[2].find(" TX " + hexOf(dev.writes[1]) + " | SEND RAM"), std::string::npos);

    // Closed, it takes nothing; opened again, it shows what the ring kept meanwhile.
    CloseTrafficView();
    pump(0.01);
    EXPECT_FALSE(TrafficViewOpen());
    get();
    openView();
    EXPECT_EQ(TrafficViewLines(), ringLines());
    EXPECT_EQ(TrafficViewLines().size(), 5u);
}

TEST_F(TrafficViewTest, PauseHoldsTheViewAndTheFilterShowsOneOrder) {
    get();
    ClickCtrl(pA, MAIN_BTNSEND);
    pump(0.5);
    openView();
    const auto before = TrafficViewLines();
    ASSERT_EQ(before.size(), 3u);

    ASSERT_TRUE(ClickTrafficView("trafficPause"));
    get();
    PollTrafficView();
    EXPECT_EQ(TrafficViewLines(), before) << "paused, the view does not move";
    // A filter chosen while paused applies to what the view held.
    auto filters = TrafficViewFilters();
    ASSERT_GE(filters.size(), 3u);
    EXPECT_EQ(filters[0], "All");
    ASSERT_TRUE(ChooseTrafficViewFilter("SEND RAM"));
    EXPECT_EQ(TrafficViewLines(), std::vector<std::string>{before[2]});

    // Resumed, the lines recorded meanwhile appear, filtered.
    ASSERT_TRUE(ChooseTrafficViewFilter("GET RAM"));
    ASSERT_TRUE(ClickTrafficView("trafficPause"));
    auto gets = TrafficViewLines();
    ASSERT_EQ(gets.size(), 4u);
    for (const auto& l : gets) {
        EXPECT_NE(l.find("GET RAM"), std::string::npos) << l;
    }
    ASSERT_TRUE(ChooseTrafficViewFilter("All"));
    EXPECT_EQ(TrafficViewLines(), ringLines());
}

TEST_F(TrafficViewTest, CopyAndSaveTakeTheLinesShownAndAFailedSaveChangesNothing) {
    get();
    get();
    openView();
    const auto lines = TrafficViewLines();
    ASSERT_EQ(lines.size(), 4u);

    // Without a selection, every line shown; with one, the lines it touches, whole.
    ASSERT_TRUE(ClickTrafficView("trafficCopy"));
    EXPECT_EQ(ClipboardText(), joined(lines));
    SelectTrafficViewLines(1, 2);
    ASSERT_TRUE(ClickTrafficView("trafficCopy"));
    EXPECT_EQ(ClipboardText(), joined({lines[1], lines[2]}));
    EXPECT_EQ(TrafficViewNote(), "2 lines copied");

    // Saved: every line shown, the selection notwithstanding.
    const std::string path = tempDir + "/traffic.txt";
    QueueFileSelectAnswer(path);
    ASSERT_TRUE(ClickTrafficView("trafficSave"));
    pump(0.01);
    ASSERT_FALSE(FileSelectCalls().empty());
    EXPECT_EQ(FileSelectCalls().back().title, "Save traffic as text");
    std::string saved;
    ASSERT_TRUE(ReadWholeFile(path, saved));
    EXPECT_EQ(saved, joined(lines));
    EXPECT_EQ(TrafficViewNote(), "4 lines saved to " + path);

    // A file that cannot be written: one line naming it; the lines, the status line and the
    // file saved before stay as they were.
    const std::string status0 = status();
    const std::string bad = tempDir + "/no-such-dir/traffic.txt";
    QueueFileSelectAnswer(bad);
    ASSERT_TRUE(ClickTrafficView("trafficSave"));
    pump(0.01);
    EXPECT_EQ(TrafficViewNote().rfind(bad + ": cannot be written (", 0), 0u) << TrafficViewNote();
    EXPECT_EQ(TrafficViewNote().find('\n'), std::string::npos);
    EXPECT_EQ(TrafficViewLines(), lines);
    EXPECT_EQ(status(), status0);
    EXPECT_FALSE(std::filesystem::exists(tempDir + "/no-such-dir"));
    ASSERT_TRUE(ReadWholeFile(path, saved));
    EXPECT_EQ(saved, joined(lines));
}

TEST_F(TrafficViewTest, APortLostWhileOpenIsSaidOnceAndTheLinesStay) {
    get();
    openView();
    const auto before = TrafficViewLines();
    ASSERT_EQ(before.size(), 2u);
    dev.unplug();
    pump(0.5);
    PollTrafficView();
    PollTrafficView();
    auto lines = TrafficViewLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 2), before);
    EXPECT_NE(lines[2].find("Port COM1 lost ("), std::string::npos) << lines[2];
    // A note passes every filter.
    ASSERT_TRUE(ChooseTrafficViewFilter("DATA"));
    EXPECT_EQ(TrafficViewLines(), std::vector<std::string>{lines[2]});
}

TEST_F(TrafficViewTest, TheWindowKeepsTheLastLinesItIsGiven) {
    const char* kinds[] = {"A", "B"};
    ASSERT_EQ(OpenTrafficView(
                  pA, "Lines", kinds, 2, 5, 1.0, [] {}, nullptr),
              0);
    std::vector<TrafficViewLine> given;
    for (int i = 0; i < 8; ++i) {
        given.push_back({"line " + std::to_string(i), i % 2});
    }
    AppendTrafficViewLines(given.data(), 3);
    ASSERT_TRUE(ClickTrafficView("trafficPause"));
    AppendTrafficViewLines(given.data() + 3, 5); // more than it holds, while paused
    EXPECT_EQ(TrafficViewLines().size(), 3u);
    ASSERT_TRUE(ClickTrafficView("trafficPause"));
    EXPECT_EQ(TrafficViewLines(),
              (std::vector<std::string>{"line 3", "line 4", "line 5", "line 6", "line 7"}));
    ASSERT_TRUE(ChooseTrafficViewFilter("B"));
    EXPECT_EQ(TrafficViewLines(), (std::vector<std::string>{"line 3", "line 5", "line 7"}));
}

} // namespace
