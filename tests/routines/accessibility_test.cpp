// Screen readers and the keyboard: every control is named, every accessibility action gives the
// program the events a click gives, and the panels work with keys alone.
#include "harness.h"

#include "app/app.h"
#include "core/state.h"
#include "link/frames.h"
#include "link/link.h"
#include "params/params.h"
#include "runtime/ui.h"
#include "scope/scope.h"
#include "serial/memserial.h"
#include "testkit/testing.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <set>

namespace {

class AccessTest : public RoutineTest {
  protected:
    void SetUp() override {
        RoutineTest::SetUp();
        DisplayPanel(pA);
    }
    void TearDown() override {
        RecordEvents(false);
        RecordAnnouncements(false);
        RoutineTest::TearDown();
    }

    // The events one control got, in order.
    static std::vector<int> eventsOf(int panel, int control) {
        std::vector<int> out;
        for (const auto& e : RecordedEvents()) {
            if (e.panel == panel && e.control == control) {
                out.push_back(e.event);
            }
        }
        return out;
    }

    static int val(int control) {
        int v = 0;
        GetCtrlVal(pA, control, &v);
        return v;
    }

    // Pumps until `done` holds, for at most two seconds of real time (a mnemonic shows its
    // button down for 100 ms before the click lands).
    template <class F> static bool pumpUntil(F done) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (!done() && std::chrono::steady_clock::now() < end) {
            ProcessSystemEvents();
        }
        return done();
    }

    static bool pressAction(const AccessibleControl& a) {
        return std::count(a.actions.begin(), a.actions.end(), "Press") > 0;
    }
    static bool toggleAction(const AccessibleControl& a) {
        return std::count(a.actions.begin(), a.actions.end(), "Toggle") > 0;
    }
};

const std::vector<int> kButtonClick = {EVENT_LEFT_CLICK, EVENT_COMMIT};
const std::vector<int> kSwitchClick = {EVENT_LEFT_CLICK, EVENT_VAL_CHANGED, EVENT_COMMIT};

TEST_F(AccessTest, EveryControlIsNamedAndFieldsSayWhatTheyMean) {
    for (int panel : {pA, pCalib}) {
        auto controls = AccessibleControls(panel);
        ASSERT_FALSE(controls.empty());
        for (const auto& a : controls) {
            EXPECT_FALSE(a.name.empty()) << a.objectName;
            if (a.tabStop) {
                EXPECT_FALSE(a.description.empty()) << a.objectName;
            }
        }
    }
    std::map<std::string, AccessibleControl> byName;
    for (int panel : {pA, pCalib}) {
        for (const auto& a : AccessibleControls(panel)) {
            byName[a.objectName] = a;
        }
    }
    // The name is the visible label without its mnemonic mark, also for fields named by a label.
    EXPECT_EQ(byName["sendButton"].name, "Send");
    EXPECT_EQ(byName["targetEeprom"].name, "EEPROM");
    EXPECT_EQ(byName["referenceA"].name, "Reference CHA (word 1)");
    EXPECT_EQ(byName["headerH3A"].name, "H3 CHA");
    EXPECT_EQ(byName["recordSwitch"].name, "Record");
    EXPECT_EQ(byName["resetZoomButton"].name, "Reset zoom");
    EXPECT_EQ(byName["scopeStats"].name, "Link");
    // A list says its choice as its name; the label it is related to names it.
    auto labelled = [&](const std::string& object, const std::string& label) {
        const auto& l = byName[object].labelledBy;
        return std::find(l.begin(), l.end(), label) != l.end();
    };
    EXPECT_TRUE(labelled("portSelector", "Port"));
    EXPECT_TRUE(labelled("referenceA", "Reference CHA (word 1)"));
    EXPECT_NE(byName["referenceA"].description.find("0 to 1023"), std::string::npos);
    EXPECT_NE(byName["toleranceB"].description.find("channel B"), std::string::npos);
    // A button renamed at run time is announced by its new name.
    SetCtrlAttribute(pA, MAIN_BTNSEND, ATTR_LABEL_TEXT, "&Transmit");
    for (const auto& a : AccessibleControls(pA)) {
        if (a.control == MAIN_BTNSEND) {
            EXPECT_EQ(a.name, "Transmit");
        }
    }
}

TEST_F(AccessTest, AccessibilityActionsGiveTheEventsOfAClickAndAClickGivesThemOnce) {
    int checked = 0;
    for (int panel : {pA, pCalib}) {
        for (const auto& a : AccessibleControls(panel)) {
            // The mouse reaches what is on top: the calibration panel covers part of the main
            // one (and its switch shows and hides it).
            if (panel == pCalib) {
                DisplayPanel(pCalib);
            } else {
                HidePanel(pCalib);
            }
            // A list's Press opens it, as a click does; tested on its own.
            bool list = std::count(a.actions.begin(), a.actions.end(), "ShowMenu") > 0;
            if (list || (!pressAction(a) && !toggleAction(a))) {
                continue;
            }
            const auto& expected = toggleAction(a) ? kSwitchClick : kButtonClick;
            RecordEvents(true);
            MouseClick(panel, a.control);
            ASSERT_TRUE(FinishClicks());
            pump(0.01);
            std::vector<int> byMouse = eventsOf(panel, a.control);
            EXPECT_EQ(byMouse, expected) << a.objectName << " clicked";

            RecordEvents(true);
            ASSERT_TRUE(DoAccessibleAction(panel, a.control, toggleAction(a) ? "Toggle" : "Press"))
                << a.objectName;
            ASSERT_TRUE(FinishClicks()) << a.objectName;
            pump(0.01);
            EXPECT_EQ(eventsOf(panel, a.control), byMouse) << a.objectName << " by its action";
            ++checked;
        }
    }
    EXPECT_GE(checked, 20);
}

TEST_F(AccessTest, TargetChosenByAScreenReaderIsTheOneSendUses) {
    openLink();
    ASSERT_TRUE(DoAccessibleAction(pA, MAIN_RBTEEPROM, "Toggle"));
    pump(0.01);
    EXPECT_EQ(target, EEPROM);
    EXPECT_EQ(val(MAIN_RBTEEPROM), 1);
    EXPECT_EQ(val(MAIN_RBTRAM), 0);
    ClickCtrl(pA, MAIN_BTNSEND);
    pump(0.05);
    ASSERT_EQ(writes().size(), 1u);
    EXPECT_EQ(writtenWord(0, 2), static_cast<unsigned>(ORDER_SEND_EEPROM));

    ASSERT_TRUE(DoAccessibleAction(pA, MAIN_RBTFILE, "Toggle"));
    pump(0.01);
    EXPECT_EQ(target, DATFILE);
    EXPECT_EQ(val(MAIN_RBTFILE) + val(MAIN_RBTEEPROM) + val(MAIN_RBTRAM), 1);
    // Toggling the shown target off falls back to RAM, as a click does.
    ASSERT_TRUE(DoAccessibleAction(pA, MAIN_RBTFILE, "Toggle"));
    pump(0.01);
    EXPECT_EQ(target, RAM);
    EXPECT_EQ(val(MAIN_RBTRAM), 1);
    // The program's own writes to the radios are no operator events.
    RecordEvents(true);
    SetCtrlVal(pA, MAIN_RBTEEPROM, 1);
    SetCtrlVal(pA, MAIN_TOGGCALIB, 1);
    pump(0.01);
    EXPECT_TRUE(RecordedEvents().empty());
}

TEST_F(AccessTest, ListsOpenByTheirActionAndReportNothingUntilAChoice) {
    RecordEvents(true);
    ASSERT_TRUE(DoAccessibleAction(pA, MAIN_CHANNEL, "ShowMenu"));
    pump(0.01);
    ASSERT_TRUE(DoAccessibleAction(pA, MAIN_CHANNEL, "ShowMenu")); // closes it again
    pump(0.01);
    EXPECT_TRUE(RecordedEvents().empty());
}

// The raw fields change with every sample, faster than a screen repaints: the window shows (and
// a screen reader hears) the value of the moment it paints, while the program reads back every
// value it wrote at once.
TEST_F(AccessTest, ADisplayWrittenFasterThanTheScreenPaintsSaysOnlyItsLastValue) {
    pump(0.2); // any paint from setting up is done
    RecordAnnouncements(true);
    for (int v = 100; v < 150; ++v) {
        SetCtrlVal(pA, MAIN_RAWB, v);
    }
    pump(0.5);
    std::vector<std::string> said;
    for (const auto& a : RecordedAnnouncements()) {
        if (a.control == MAIN_RAWB) {
            said.push_back(a.kind + " " + a.text);
        }
    }
    EXPECT_EQ(said, std::vector<std::string>{"value 149"});

    SetCtrlVal(pA, MAIN_RAWB, 7);
    int back = 0;
    GetCtrlVal(pA, MAIN_RAWB, &back);
    EXPECT_EQ(back, 7);
}

TEST_F(AccessTest, LedsDisplaysAndTheStatusLineAnnounceTheirChanges) {
    RecordAnnouncements(true);
    SetCtrlVal(pA, MAIN_LEDIN1, 1);
    SetCtrlVal(pA, MAIN_LEDIN1, 1); // unchanged: nothing to say
    SetCtrlVal(pA, MAIN_LEDIN1, 0);
    SetCtrlVal(pA, MAIN_RAWA, 321);
    SetCtrlVal(pA, MAIN_STATUS, "Line Ok!");
    std::vector<std::pair<std::string, std::string>> led, raw, statusLine;
    for (const auto& a : RecordedAnnouncements()) {
        auto entry = std::make_pair(a.kind, a.text);
        if (a.control == MAIN_LEDIN1) {
            led.push_back(entry);
        } else if (a.control == MAIN_RAWA) {
            raw.push_back(entry);
        } else if (a.control == MAIN_STATUS) {
            statusLine.push_back(entry);
        }
    }
    using P = std::pair<std::string, std::string>;
    EXPECT_EQ(led, (std::vector<P>{{"description", "on"}, {"description", "off"}}));
    EXPECT_EQ(raw, (std::vector<P>{{"value", "321"}}));
    EXPECT_NE(std::find(statusLine.begin(), statusLine.end(), P{"description", "Line Ok!"}),
              statusLine.end());
    // A line has no value: its new text is what a screen reader is told.
    EXPECT_NE(std::find(statusLine.begin(), statusLine.end(), P{"text", "Line Ok!"}),
              statusLine.end());
}

TEST_F(AccessTest, MnemonicsAreUniquePerPanelAndNameTheMainActions) {
    std::map<char, std::string> mainKeys;
    for (int panel : {pA, pCalib}) {
        std::map<char, std::string> seen;
        for (const auto& m : Mnemonics(panel)) {
            EXPECT_TRUE(seen.emplace(m.key, m.target).second)
                << "'" << m.key << "' on " << m.target << " and " << seen[m.key];
        }
        if (panel == pA) {
            mainKeys = seen;
        }
    }
    EXPECT_EQ(mainKeys['S'], "sendButton");
    EXPECT_EQ(mainKeys['G'], "getButton");
    EXPECT_EQ(mainKeys['W'], "compareButton");
    EXPECT_EQ(mainKeys['R'], "runButton");
    EXPECT_EQ(mainKeys['O'], "stopButton");
    EXPECT_EQ(mainKeys['E'], "targetEeprom");
    EXPECT_EQ(mainKeys['1'], "referenceA");
    EXPECT_EQ(mainKeys['Z'], "resetZoomButton");
    EXPECT_EQ(mainKeys['F'], "trafficButton");
    EXPECT_EQ(mainKeys['6'], "flag0"); // the flags word, as Alt+1 reaches word 1
}

// The rule for every control of the window, not a list of them: one Tab cycle visits each
// control that takes the focus once, in the order the window's layouts read (group by group,
// row by row, left to right); Shift+Tab goes the same way back; the logo is no stop.
TEST_F(AccessTest, TabVisitsEachControlOnceInTheOrderTheLayoutsRead) {
    ASSERT_TRUE(ActivatePanelWindow(pA));
    const auto reading = LayoutReadingOrder(pA);
    ASSERT_GT(reading.size(), 10u);
    EXPECT_EQ(std::count(reading.begin(), reading.end(), "logo"), 0);
    for (const auto& a : AccessibleControls(pA)) {
        if (a.tabStop && std::count(reading.begin(), reading.end(), a.objectName) == 0) {
            ADD_FAILURE() << a.objectName << " takes the focus but is not in the reading order";
        }
    }

    SetActiveCtrl(pA, MAIN_TOGGCALIB);
    auto cycle = [&](const char* key) {
        std::vector<std::string> order = {FocusedObjectName()};
        for (std::size_t i = 0;
             i <= reading.size() && (order.size() < 2 || order.back() != order[0]); ++i) {
            PressKeys(key);
            order.push_back(FocusedObjectName());
        }
        order.pop_back(); // the start again
        return order;
    };
    const auto forward = cycle("Tab");
    ASSERT_FALSE(forward.empty());
    // The cycle starts where the reading order does.
    EXPECT_EQ(forward.front(), reading.front());
    EXPECT_EQ(forward, reading);

    auto backward = cycle("Shift+Tab");
    std::reverse(backward.begin() + 1, backward.end());
    EXPECT_EQ(backward, forward);
}

TEST_F(AccessTest, SendGetRunAndStopWithKeysAlone) {
    useSensor();
    openLink();
    ASSERT_TRUE(ActivatePanelWindow(pA));
    SetActiveCtrl(pA, MAIN_SETTING8);

    // Alt+E chooses EEPROM, Alt+S sends there.
    PressKeys("Alt+E");
    ASSERT_TRUE(FinishClicks());
    EXPECT_EQ(target, EEPROM);
    PressKeys("Alt+S");
    ASSERT_TRUE(pumpUntil([&] { return !writes().empty(); }));
    pump(0.05);
    EXPECT_EQ(writtenWord(0, 2), static_cast<unsigned>(ORDER_SEND_EEPROM));
    EXPECT_EQ(status(), "Transmit para1 Ok!");

    // Alt+G gets the block back from the same target.
    PressKeys("Alt+G");
    ASSERT_TRUE(pumpUntil([&] { return writes().size() >= 2; }));
    pump(0.5);
    EXPECT_EQ(writtenWord(1, 2), static_cast<unsigned>(ORDER_GET_EEPROM));

    // Tab to Run and Space starts the scope; Alt+O from inside the running loop stops it.
    auto inner = dev.onWrite;
    int requests = 0;
    dev.onWrite = [&, inner](std::span<const std::uint8_t> bytes, double now) {
        inner(bytes, now);
        if (bytes.size() >= 4 && (bytes[2] << 8 | bytes[3]) == ORDER_DATA && ++requests == 3) {
            PressKeys("Alt+O");
        }
    };
    SetActiveCtrl(pA, MAIN_BINSWCHANNEL);
    PressKeys("Tab");
    EXPECT_EQ(FocusedCtrl(pA), MAIN_BTNRUN);
    PressKeys("Space");
    ASSERT_TRUE(pumpUntil([&] { return requests >= 3 && stop_flag == 1; }));
    EXPECT_NE(status(), "Timeout RS232-Line!");
    int dimmed = 1;
    GetCtrlAttribute(pA, MAIN_BTNRUN, ATTR_DIMMED, &dimmed);
    EXPECT_EQ(dimmed, 0);
    // Alt+R starts it again by its mnemonic.
    requests = 0;
    PressKeys("Alt+R");
    ASSERT_TRUE(pumpUntil([&] { return requests >= 3 && stop_flag == 1; }));
}

TEST_F(AccessTest, EnterCommitsANumericFieldAndEscapeDropsThePendingEdit) {
    ASSERT_TRUE(ActivatePanelWindow(pA));
    SetActiveCtrl(pA, MAIN_REFA);
    RecordEvents(true);
    PressKeys("Ctrl+A");
    TypeText("700");
    pump(0.01);
    EXPECT_TRUE(eventsOf(pA, MAIN_REFA).empty()); // typing alone commits nothing
    PressKeys("Return");
    pump(0.01);
    EXPECT_EQ(eventsOf(pA, MAIN_REFA), (std::vector<int>{EVENT_COMMIT}));
    EXPECT_EQ(val(MAIN_REFA), 700);

    PressKeys("Ctrl+A");
    TypeText("9");
    PressKeys("Up"); // a step is an edit too
    PressKeys("Esc");
    EXPECT_EQ(val(MAIN_REFA), 700);
    EXPECT_EQ(FocusedCtrl(pA), MAIN_REFA);
    PressKeys("Tab");
    pump(0.01);
    EXPECT_EQ(val(MAIN_REFA), 700);

    // A value the program writes is the one Escape goes back to.
    SetCtrlVal(pA, MAIN_TOLB, 42);
    SetActiveCtrl(pA, MAIN_TOLB);
    PressKeys("Ctrl+A");
    TypeText("5");
    PressKeys("Esc");
    PressKeys("Return");
    EXPECT_EQ(val(MAIN_TOLB), 42);
}

} // namespace

namespace {
TEST_F(AccessTest, AShortcutActsOnTheValueJustTyped) {
    useSensor();
    openLink();
    ASSERT_TRUE(ActivatePanelWindow(pA));
    // Typed, no Enter, then Alt+S: the send carries the typed value, which is now the field's.
    SetActiveCtrl(pA, MAIN_REFA);
    PressKeys("Ctrl+A");
    TypeText("700");
    PressKeys("Alt+S");
    ASSERT_TRUE(pumpUntil([&] { return !writes().empty(); }));
    pump(0.05);
    EXPECT_EQ(writtenWord(0, 2), static_cast<unsigned>(ORDER_SEND_RAM));
    EXPECT_EQ(writtenWord(0, 6 + 2), 700u);
    EXPECT_EQ(val(MAIN_REFA), 700);
    // Escape now goes back to the value taken, not to the one before.
    SetActiveCtrl(pA, MAIN_REFA);
    PressKeys("Ctrl+A");
    TypeText("3");
    PressKeys("Esc");
    EXPECT_EQ(val(MAIN_REFA), 700);

    // A switch's shortcut reads the panel as well: typed into word 8, Alt+E then Alt+S.
    SetActiveCtrl(pA, MAIN_SETTING8);
    PressKeys("Ctrl+A");
    TypeText("9");
    PressKeys("Alt+E");
    ASSERT_TRUE(FinishClicks());
    EXPECT_EQ(val(MAIN_SETTING8), 9);
    PressKeys("Alt+S");
    ASSERT_TRUE(pumpUntil([&] { return writes().size() >= 2; }));
    EXPECT_EQ(writtenWord(1, 2), static_cast<unsigned>(ORDER_SEND_EEPROM));
    EXPECT_EQ(writtenWord(1, 6 + 2 * 8), 9u);
}
} // namespace

namespace {
TEST_F(AccessTest, ThePortChangesOnlyByAChoiceFromTheOpenedList) {
    useSensor();
    static MemorySerialDevice dev2; // outlives the fixture, which closes the ports
    AttachMemoryDevice(2, &dev2);
    InitRS232(1);
    FillPortSelector(1);
    ASSERT_TRUE(ActivatePanelWindow(pA));
    std::size_t sent = writes().size();
    RecordEvents(true);
    // The wheel over the closed selector, either way, and keys that would step it: no event,
    // no frame, the port in use stays.
    WheelOver(pA, MAIN_DROPDCOM, -1);
    WheelOver(pA, MAIN_DROPDCOM, 2);
    SetActiveCtrl(pA, MAIN_DROPDCOM);
    PressKeys("c");
    pump(0.05);
    EXPECT_TRUE(eventsOf(pA, MAIN_DROPDCOM).empty());
    EXPECT_EQ(val(MAIN_DROPDCOM), 1);
    // Down opens the list instead of stepping it.
    PressKeys("Down");
    pump(0.05);
    EXPECT_TRUE(ListOpen(pA, MAIN_DROPDCOM));
    EXPECT_TRUE(eventsOf(pA, MAIN_DROPDCOM).empty());
    EXPECT_EQ(writes().size(), sent);
    EXPECT_TRUE(dev2.writes.empty());
    EXPECT_EQ(com, 1);
    // A choice from the opened list is taken: the start-up exchange runs on port 2.
    PressKeys("Down");
    PressKeys("Return");
    ASSERT_TRUE(pumpUntil([&] { return com == 2; }));
    EXPECT_EQ(eventsOf(pA, MAIN_DROPDCOM), (std::vector<int>{EVENT_VAL_CHANGED, EVENT_COMMIT}));
    EXPECT_FALSE(dev2.writes.empty());
    EXPECT_EQ(writes().size(), sent);
}
} // namespace

namespace {
// The status line is a status bar that says each message as text, and a Get and a scope run tell
// screen readers nothing the desktop's bridge has to refuse: a value change from a line, which
// has no value, printed a toolkit warning for each message and each refresh of the link figures.
TEST_F(AccessTest, TheStatusBarSaysEachMessageAndNothingIsSentThatAReaderCannotRead) {
    useSensor();
    openLink();
    const AccessibleFace statusFace = AccessibleFaceOf(pA, MAIN_STATUS);
    EXPECT_EQ(statusFace.role, "StatusBar");
    EXPECT_TRUE(statusFace.text);
    CaptureToolkitMessages(true);
    RecordAnnouncements(true);

    ClickCtrl(pA, MAIN_BTNGET);
    pump(0.5);
    auto inner = dev.onWrite;
    int requests = 0;
    dev.onWrite = [&, inner](std::span<const std::uint8_t> bytes, double now) {
        inner(bytes, now);
        if (bytes.size() >= 4 && (bytes[2] << 8 | bytes[3]) == ORDER_DATA && ++requests == 40) {
            ClickCtrl(pA, MAIN_BTNSTOP);
        }
    };
    ClickCtrl(pA, MAIN_BTNRUN);
    ASSERT_TRUE(pumpUntil([&] { return requests >= 40 && stop_flag == 1; }));
    SetCtrlVal(pA, MAIN_STATUS, "Line Ok!");
    SetCtrlVal(pA, MAIN_STATUS, "Line Ok!"); // the same outcome again is said again

    std::map<int, std::set<std::string>> kinds;
    int lineOk = 0;
    for (const auto& a : RecordedAnnouncements()) {
        kinds[a.control].insert(a.kind);
        const AccessibleFace face = AccessibleFaceOf(a.panel, a.control);
        if (a.kind == "value") {
            EXPECT_TRUE(face.value) << "control " << a.control << " (" << face.role << ")";
        } else if (a.kind == "text") {
            EXPECT_TRUE(face.text) << "control " << a.control << " (" << face.role << ")";
        }
        lineOk += a.control == MAIN_STATUS && a.kind == "text" && a.text == "Line Ok!";
    }
    EXPECT_EQ(kinds[MAIN_STATUS].count("text"), 1u);
    EXPECT_EQ(kinds[MAIN_SCOPESTATS].count("text"), 1u);
    EXPECT_EQ(kinds[MAIN_RAWA].count("value"), 1u);
    EXPECT_GE(lineOk, 2);
    for (const auto& m : ToolkitMessages()) {
        EXPECT_EQ(m.find("qt.accessibility"), std::string::npos) << m;
    }
    CaptureToolkitMessages(false);
}
} // namespace

namespace {
// Outcomes reach a screen reader as notifications it speaks wherever the focus is: each action's
// outcome, a time-out, and a scope run's start once, not its samples.
TEST_F(AccessTest, EachActionsOutcomeIsAnnouncedOnceAndAScopeRunDoesNotFloodTheReader) {
    auto announced = [] {
        std::vector<std::string> out;
        for (const auto& a : RecordedAnnouncements()) {
            if (a.kind == "announcement") {
                EXPECT_EQ(a.control, MAIN_STATUS);
                out.push_back(a.text);
            }
        }
        return out;
    };
    openLink(); // nothing answers yet
    RecordAnnouncements(true);
    ClickCtrl(pA, MAIN_BTNGET);
    pump(2.0);
    EXPECT_EQ(announced(), std::vector<std::string>{"Timeout-RS-232..."});

    useSensor();
    RecordAnnouncements(true);
    ClickCtrl(pA, MAIN_BTNGET);
    pump(0.5);
    ClickCtrl(pA, MAIN_BTNGET); // the same outcome again is said again
    pump(0.5);
    const std::string got = "Parameter-frame received! - Line Ok!";
    EXPECT_EQ(announced(), (std::vector<std::string>{got, got}));

    RecordAnnouncements(true);
    auto inner = dev.onWrite;
    int requests = 0;
    dev.onWrite = [&, inner](std::span<const std::uint8_t> bytes, double now) {
        inner(bytes, now);
        if (bytes.size() >= 4 && (bytes[2] << 8 | bytes[3]) == ORDER_DATA && ++requests == 60) {
            ClickCtrl(pA, MAIN_BTNSTOP);
        }
    };
    ClickCtrl(pA, MAIN_BTNRUN);
    ASSERT_TRUE(pumpUntil([&] { return requests >= 60 && stop_flag == 1; }));
    pump(0.5);
    EXPECT_EQ(announced(), std::vector<std::string>{"Line Ok!"});
}
} // namespace
