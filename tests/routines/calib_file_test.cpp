#include "harness.h"

#include "calib/calib.h"
#include "core/state.h"
#include "runtime/ui.h"
#include "scope/scope.h"
#include "testkit/testing.h"

#include <algorithm>
#include <fstream>
#include <string>

namespace {

// Writes a calibration file whose table entry i is base + i (listed last entry first).
std::string WriteCalibFile(const std::string& path, unsigned base, const std::string& h1,
                           const char* rest, int values = 1024) {
    std::ofstream out(path);
    out << "[HEADER]\nOffset\t" << h1 << "\n" << rest << "[XFLASH]\n";
    for (int k = 0; k < values; ++k) {
        out << base + (1023 - k) << "\n";
    }
    return path;
}

int Attr(int control, int attribute) {
    int v = -1;
    GetCtrlAttribute(pCalib, control, attribute, &v);
    return v;
}

int Val(int panel, int control) {
    int v = -1;
    GetCtrlVal(panel, control, &v);
    return v;
}

std::string Text(int control) {
    char buf[300];
    GetCtrlVal(pCalib, control, buf, sizeof buf);
    return buf;
}

constexpr int kGreen = MakeColor(0, 128, 0);
constexpr int kGrey = MakeColor(128, 128, 128);

class CalibFileTest : public RoutineTest {
  protected:
    void SetUp() override {
        RoutineTest::SetUp();
        ClearCalibration();
        fileA = WriteCalibFile(tempDir + "/a.dat", 0xA000, "11", "G\t22\nS\t1.5\nL\t44\nH\t55\n");
        fileB = WriteCalibFile(tempDir + "/b.dat", 0xB000, "111", "G\t222\nS\t.25\nL\t4\nH\t5\n");
    }
    // Answers the file dialog with `path` ("" cancels) and presses the channel's file button.
    void load(int button, const std::string& path) {
        QueueFileSelectAnswer(path);
        ClickCtrl(pCalib, button);
        pump(0.01);
    }
    std::string fileA, fileB;
};

} // namespace

TEST_F(CalibFileTest, LoadsFillTablesSharedHeaderAndPanel) {
    EXPECT_EQ(Attr(CAL_BTNWRITE, ATTR_DIMMED), 1);
    load(CAL_BTNFILECHA, fileA);
    ASSERT_EQ(FileSelectCalls().size(), 1u);
    const auto& call = FileSelectCalls()[0];
    EXPECT_EQ(call.directory + "|" + call.fileName + "|" + call.filter + "|" + call.title,
              std::string(proj_dir) + "|XF-LINEAR.DAT|*.dat|ZEL-A-2X-Calibration-File");
    EXPECT_EQ(call.buttonKind, VAL_LOAD_BUTTON);

    EXPECT_EQ(look_flagA, 1);
    EXPECT_EQ(linArrayA[0], 0xA000);
    EXPECT_EQ(linArrayA[1023], 0xA3FF);
    EXPECT_EQ(Text(CAL_FILEBOXA), fileA);
    EXPECT_EQ(Attr(CAL_BTNWRITE, ATTR_DIMMED), 0);
    EXPECT_EQ(Val(pCalib, CAL_TABLESSW), 1);
    EXPECT_EQ(Attr(CAL_LABELA1, ATTR_TEXT_COLOR), kGreen);
    EXPECT_EQ(Attr(CAL_LABELA2, ATTR_TEXT_COLOR), kGreen);
    EXPECT_TRUE(statusHistory().empty()); // the file box carries the outcome

    // Channel B's file sets the shared H1 and H2 and leaves channel A's own words alone.
    load(CAL_BTNFILECHB, fileB);
    const std::uint16_t want[] = {111, 222, 1536, 256, 44, 4, 55, 5};
    EXPECT_TRUE(std::equal(want, want + 8, calibration + CALIB_H1));
    EXPECT_EQ(Val(pCalib, CAL_H1), 111);
    EXPECT_EQ(Val(pCalib, CAL_H4A), 44);
}

// A failed load changes neither the header record nor the table: only the channel's flag
// and its feedback.
TEST_F(CalibFileTest, FailedLoadChangesNothingButTheFlag) {
    // Each refused file says why in its box; a cancelled dialog says that none is chosen.
    const std::pair<std::string, std::string> bad[] = {
        {WriteCalibFile(tempDir + "/short.dat", 0, "1", "G\t2\nS\t3\nL\t4\nH\t5\n", 1023),
         "short.dat: line 1031: only 1023 table values"},
        {WriteCalibFile(tempDir + "/wideh.dat", 0, "65536", "G\t2\nS\t3\nL\t4\nH\t5\n"),
         "wideh.dat: line 2: header value \"65536\" does not fit in 16 bits"},
        {WriteCalibFile(tempDir + "/widet.dat", 0xFF00, "1", "G\t2\nS\t3\nL\t4\nH\t5\n"),
         "widet.dat: line 8: \"66303\" is not a 16-bit table value"},
        {tempDir + "/missing.dat", "missing.dat: cannot be read"},
        {"", "No Calibration-Data-File CHA selected!"}, // cancelled
    };
    for (const auto& [path, says] : bad) {
        load(CAL_BTNFILECHA, fileA);
        ASSERT_EQ(look_flagA, 1);
        std::uint16_t header[18], table[1024];
        std::copy(std::begin(calibration), std::end(calibration), header);
        std::copy(std::begin(linArrayA), std::end(linArrayA), table);

        load(CAL_BTNFILECHA, path);
        EXPECT_EQ(look_flagA, 0) << path;
        EXPECT_TRUE(std::equal(std::begin(header), std::end(header), calibration)) << path;
        EXPECT_TRUE(std::equal(std::begin(table), std::end(table), linArrayA)) << path;
        EXPECT_EQ(Text(CAL_FILEBOXA), says) << path;
        EXPECT_EQ(Val(pCalib, CAL_TABLESSW), 0) << path;
        EXPECT_EQ(Attr(CAL_LABELA1, ATTR_TEXT_COLOR), kGrey) << path;
        EXPECT_EQ(Attr(CAL_LABELA2, ATTR_TEXT_COLOR), kGrey) << path;
        EXPECT_EQ(Val(pCalib, CAL_H1), 11) << path;
    }
    EXPECT_EQ(std::string(calib_fnameCHA), fileA); // a cancelled dialog leaves the path alone
}

TEST_F(CalibFileTest, HeaderPanelRoundTrip) {
    SetCtrlVal(pCalib, CAL_H1, 65535);
    SetCtrlVal(pCalib, CAL_H3A, 0.3);
    SetCtrlVal(pCalib, CAL_H3B, -0.5);
    GetCalibHeaderValues();
    EXPECT_EQ(calibration[CALIB_H1], 65535);
    EXPECT_EQ(calibration[CALIB_H3A], 307);
    EXPECT_EQ(calibration[CALIB_H3B], 65024);
    SetCalibHeaderValues();
    double h3a = 0, h3b = 0;
    GetCtrlVal(pCalib, CAL_H3A, &h3a);
    GetCtrlVal(pCalib, CAL_H3B, &h3b);
    EXPECT_DOUBLE_EQ(h3a, 0.2998046875);
    EXPECT_DOUBLE_EQ(h3b, 63.5);

    // A file load rewrites every field from the record, dropping unprogrammed edits.
    SetCtrlVal(pCalib, CAL_H4B, 1234);
    load(CAL_BTNFILECHA, fileA);
    EXPECT_EQ(Val(pCalib, CAL_H4B), 0);
}

TEST_F(CalibFileTest, LogoGestureShowsAndHidesTheCalibrationSwitch) {
    auto switchShown = [] {
        int v = -1;
        GetCtrlAttribute(pA, MAIN_TOGGCALIB, ATTR_VISIBLE, &v);
        return v;
    };
    SetCtrlAttribute(pA, MAIN_TOGGCALIB, ATTR_VISIBLE, 0); // as start-up leaves it
    PostCtrlEvent(pA, MAIN_PICTURE, EVENT_LEFT_CLICK);
    PostCtrlEvent(pA, MAIN_PICTURE, EVENT_COMMIT);
    pump(0.01);
    EXPECT_EQ(switchShown(), 0);

    PostCtrlEvent(pA, MAIN_PICTURE, EVENT_RIGHT_DOUBLE_CLICK);
    pump(0.01);
    EXPECT_EQ(switchShown(), 1);
    EXPECT_EQ(Val(pA, MAIN_TOGGCALIB), 0);

    // Switching it on shows the panel and stops a running scope.
    stop_flag = 0;
    ClickCtrl(pA, MAIN_TOGGCALIB);
    pump(0.01);
    EXPECT_EQ(stop_flag, 1);
    EXPECT_EQ(Attr(CAL_BTNWRITE, ATTR_VISIBLE), 1);

    // Hiding the switch turns it off and takes the panel with it.
    PostCtrlEvent(pA, MAIN_PICTURE, EVENT_RIGHT_DOUBLE_CLICK);
    pump(0.01);
    EXPECT_EQ(switchShown(), 0);
    EXPECT_EQ(Val(pA, MAIN_TOGGCALIB), 0);
    EXPECT_EQ(Attr(CAL_BTNWRITE, ATTR_VISIBLE), 0);
}
