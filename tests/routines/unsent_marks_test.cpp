// Unsent edits: panel fields that differ from block 0 as last sent, received, loaded or saved
// are marked by colour, by what a screen reader hears, and by a count in the group's title.
#include "harness.h"

#include "core/state.h"
#include "link/frames.h"
#include "link/link.h"
#include "params/params.h"
#include "params/record.h"
#include "runtime/ui.h"
#include "testkit/testing.h"

#include <map>
#include <set>

namespace {

constexpr int kParamFields[] = {MAIN_SETTING0, MAIN_REFA,     MAIN_REFB,  MAIN_TOLA,
                                MAIN_TOLB,     MAIN_SETTING5, MAIN_FLAG0, MAIN_FLAG1,
                                MAIN_SETTING8, MAIN_SETTING9};

class UnsentMarksTest : public RoutineTest {
  protected:
    void SetUp() override {
        RoutineTest::SetUp();
        for (int c : kParamFields) {
            GetCtrlAttribute(pA, c, ATTR_TEXT_BGCOLOR, &loadedColour[c]);
        }
    }

    // What the operator does: a new value, then leaving the field (its commit).
    void edit(int control, unsigned value) {
        SetCtrlVal(pA, control, value);
        PostCtrlEvent(pA, control, EVENT_COMMIT);
        pump(0.01);
    }
    void toggle(int control) {
        ClickCtrl(pA, control);
        pump(0.01);
    }

    // The fields shown as unsent; each must be so both by colour and for a screen reader.
    std::set<int> marked() {
        std::map<int, std::string> description;
        for (const auto& a : AccessibleControls(pA)) {
            description[a.control] = a.description;
        }
        std::set<int> out;
        for (int c : kParamFields) {
            int colour = 0;
            GetCtrlAttribute(pA, c, ATTR_TEXT_BGCOLOR, &colour);
            bool byColour = colour != loadedColour[c];
            bool bySpeech = description[c].ends_with(" (unsent)");
            EXPECT_EQ(byColour, bySpeech) << "control " << c << ": " << description[c];
            EXPECT_EQ(description[c].find("(unsent) (unsent)"), std::string::npos);
            if (byColour) {
                out.insert(c);
            }
        }
        return out;
    }

    static std::string title() {
        char text[80] = "";
        GetCtrlVal(pA, MAIN_PARAMSGROUP, text, sizeof text);
        return text;
    }

    std::map<int, int> loadedColour;
};

TEST_F(UnsentMarksTest, EditsAreMarkedUntilSentOrSaved) {
    openLink();
    EXPECT_TRUE(marked().empty());
    EXPECT_EQ(title(), "Parameter set (block 0)");

    edit(MAIN_REFA, 900);
    toggle(MAIN_FLAG1);
    EXPECT_EQ(marked(), (std::set<int>{MAIN_REFA, MAIN_FLAG1}));
    EXPECT_EQ(title(), "Parameter set (block 0, 2 unsent)");
    // An edit put back to what was sent is no longer unsent.
    edit(MAIN_REFA, 512);
    EXPECT_EQ(marked(), (std::set<int>{MAIN_FLAG1}));
    EXPECT_EQ(title(), "Parameter set (block 0, 1 unsent)");

    edit(MAIN_REFA, 900);
    CC_BTNSend(pA, MAIN_BTNSEND, EVENT_COMMIT, nullptr, 0, 0);
    ASSERT_EQ(writes().size(), 1u);
    EXPECT_TRUE(marked().empty());
    EXPECT_EQ(title(), "Parameter set (block 0)");
    // What was sent is now the reference: the old value is an edit.
    edit(MAIN_REFA, 512);
    EXPECT_EQ(marked(), (std::set<int>{MAIN_REFA}));

    // Saving to a file clears them as well.
    target = DATFILE;
    QueueFileSelectAnswer(tempDir + "/set.cfg");
    CC_BTNSend(pA, MAIN_BTNSEND, EVENT_COMMIT, nullptr, 0, 0);
    EXPECT_TRUE(marked().empty());
    // A save that fails leaves them.
    edit(MAIN_TOLB, 7);
    QueueFileSelectAnswer(tempDir + "/nodir/set.cfg");
    CC_BTNSend(pA, MAIN_BTNSEND, EVENT_COMMIT, nullptr, 0, 0);
    EXPECT_EQ(marked(), (std::set<int>{MAIN_TOLB}));

    // Loading a file brings its values, which are then the reference.
    QueueFileSelectAnswer(tempDir + "/set.cfg");
    CC_BTNGet(pA, MAIN_BTNGET, EVENT_COMMIT, nullptr, 0, 0);
    EXPECT_TRUE(marked().empty());
    unsigned short refA = 0;
    GetCtrlVal(pA, MAIN_REFA, &refA);
    EXPECT_EQ(refA, 512);
}

TEST_F(UnsentMarksTest, AGetClearsThemAndARefusedGetKeepsThem) {
    useSensor();
    openLink();
    sensor->model().ram[0][1] = 300;
    edit(MAIN_REFA, 900);
    edit(MAIN_SETTING9, 3);
    EXPECT_EQ(title(), "Parameter set (block 0, 2 unsent)");
    CC_BTNGet(pA, MAIN_BTNGET, EVENT_COMMIT, nullptr, 0, 0);
    EXPECT_TRUE(marked().empty());
    EXPECT_EQ(title(), "Parameter set (block 0)");
    unsigned short refA = 0;
    GetCtrlVal(pA, MAIN_REFA, &refA);
    EXPECT_EQ(refA, 300);

    // A send cut short takes the edit into the record but not to the sensor: still unsent.
    sensor.reset();
    dev.onWrite = nullptr;
    edit(MAIN_REFB, 700);
    dev.shortWrite = 20;
    CC_BTNSend(pA, MAIN_BTNSEND, EVENT_COMMIT, nullptr, 0, 0);
    EXPECT_EQ(marked(), (std::set<int>{MAIN_REFB}));
    dev.shortWrite = -1;
    // A data reply is not the sensor's block 0: the edit stays marked.
    dev.onWrite = [&](std::span<const std::uint8_t>, double) {
        reply(frame({0x55, 8, 500, 301, 512}), 0.02);
    };
    CC_BTNGet(pA, MAIN_BTNGET, EVENT_COMMIT, nullptr, 0, 0);
    EXPECT_EQ(status(), "Timeout-RS-232...");
    EXPECT_EQ(marked(), (std::set<int>{MAIN_REFB}));
    EXPECT_EQ(title(), "Parameter set (block 0, 1 unsent)");
    // So does a GET that times out.
    dev.onWrite = nullptr;
    CC_BTNGet(pA, MAIN_BTNGET, EVENT_COMMIT, nullptr, 0, 0);
    EXPECT_EQ(status(), "Timeout-RS-232...");
    EXPECT_EQ(marked(), (std::set<int>{MAIN_REFB}));
}

TEST_F(UnsentMarksTest, AFlagWordTheSwitchesCannotShowIsUnsentOnBoth) {
    // A file may hold a flag word above 3: the switches keep their state, and a send would
    // replace the word, so it counts as one unsent word on both switches.
    std::string path = tempDir + "/flags.cfg";
    std::FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("500 512 512 100 100 10 4 0 0 0 0 0 0 0 0 0\n", f);
    std::fclose(f);
    target = DATFILE;
    QueueFileSelectAnswer(path);
    CC_BTNGet(pA, MAIN_BTNGET, EVENT_COMMIT, nullptr, 0, 0);
    EXPECT_EQ(marked(), (std::set<int>{MAIN_FLAG0, MAIN_FLAG1}));
    EXPECT_EQ(title(), "Parameter set (block 0, 1 unsent)");
}

} // namespace
