#include "harness.h"

#include "app.h"
#include "calib.h"
#include "state.h"
#include "testing.h"
#include "ui.h"

#include <algorithm>
#include <fstream>
#include <string>

namespace {

struct HeaderLines {
    std::string h1, h2, h3, h4, h5;
};

// Writes a calibration file whose table entry i is base + i (listed last entry first).
std::string WriteCalibFile(const std::string& dir, const std::string& name, unsigned base,
                           const HeaderLines& h, int values = 1024) {
    std::string path = dir + "/" + name;
    std::ofstream out(path);
    out << "[HEADER]\nOffset\t" << h.h1 << "\nGain\t" << h.h2 << "\nSlope\t" << h.h3 << "\nMin\t"
        << h.h4 << "\nMax\t" << h.h5 << "\n[XFLASH]\n";
    for (int k = 0; k < values; ++k) {
        out << base + (1023 - k) << "\n";
    }
    return path;
}

std::string Text(int panel, int control) {
    char buf[300];
    GetCtrlVal(panel, control, buf, sizeof buf);
    return buf;
}

int Attr(int panel, int control, int attribute) {
    int v = -1;
    GetCtrlAttribute(panel, control, attribute, &v);
    return v;
}

int Val(int panel, int control) {
    int v = -1;
    GetCtrlVal(panel, control, &v);
    return v;
}

double Real(int panel, int control) {
    double v = -1;
    GetCtrlVal(panel, control, &v);
    return v;
}

class CalibFileTest : public RoutineTest {
  protected:
    void SetUp() override {
        RoutineTest::SetUp();
        ClearCalibration();
    }
    // Answers the file dialog with `path` ("" cancels) and presses the channel's file button.
    void load(char channel, const std::string& path) {
        QueueFileSelectAnswer(path);
        ClickCtrl(pCalib, channel == 'A' ? CAL_BTNFILECHA : CAL_BTNFILECHB);
        pump(0.01);
    }
    const HeaderLines a{"11", "22", "1.5", "44", "55"};
    const HeaderLines b{"111", "222", "0.25", "444", "555"};
};

constexpr int kGreen = MakeColor(0, 128, 0);
constexpr int kGrey = MakeColor(128, 128, 128);

} // namespace

TEST_F(CalibFileTest, GoodLoadFillsTableHeaderAndPanel) {
    std::string path = WriteCalibFile(tempDir, "a.dat", 0xA000, a);
    EXPECT_EQ(Attr(pCalib, CAL_BTNWRITE, ATTR_DIMMED), 1);
    load('A', path);

    ASSERT_EQ(FileSelectCalls().size(), 1u);
    const auto& call = FileSelectCalls()[0];
    EXPECT_EQ(call.directory, proj_dir);
    EXPECT_EQ(call.fileName, "XF-LINEAR.DAT");
    EXPECT_EQ(call.filter, "*.dat");
    EXPECT_EQ(call.title, "ZEL-A-2X-Calibration-File");
    EXPECT_EQ(call.buttonKind, VAL_LOAD_BUTTON);

    EXPECT_EQ(look_flagA, 1);
    EXPECT_EQ(linArrayA[0], 0xA000);
    EXPECT_EQ(linArrayA[1023], 0xA000 + 1023);
    EXPECT_EQ(calibration[CALIB_H1], 11);
    EXPECT_EQ(calibration[CALIB_H3A], 1536);
    EXPECT_EQ(calibration[CALIB_H5A], 55);
    EXPECT_EQ(calibration[CALIB_H3B], 0);
    EXPECT_EQ(Text(pCalib, CAL_FILEBOXA), path);
    EXPECT_EQ(Val(pCalib, CAL_H4A), 44);
    EXPECT_DOUBLE_EQ(Real(pCalib, CAL_H3A), 1.5);
    EXPECT_EQ(Val(pCalib, CAL_H4B), 0);
    EXPECT_EQ(Attr(pCalib, CAL_BTNWRITE, ATTR_DIMMED), 0);
    EXPECT_EQ(Val(pCalib, CAL_TABLESSW), 1);
    EXPECT_EQ(Attr(pCalib, CAL_LABELA1, ATTR_TEXT_COLOR), kGreen);
    EXPECT_EQ(Attr(pCalib, CAL_LABELA2, ATTR_TEXT_COLOR), kGreen);
    EXPECT_EQ(statusHistory().size(), 0u); // the file box carries the outcome, not the status

    // Channel B shares H1 and H2 and keeps channel A's own words.
    load('B', WriteCalibFile(tempDir, "b.dat", 0xB000, b));
    EXPECT_EQ(look_flagB, 1);
    EXPECT_EQ(linArrayB[5], 0xB005);
    EXPECT_EQ(calibration[CALIB_H1], 111);
    EXPECT_EQ(calibration[CALIB_H2], 222);
    EXPECT_EQ(calibration[CALIB_H3A], 1536);
    EXPECT_EQ(calibration[CALIB_H3B], 256);
    EXPECT_EQ(calibration[CALIB_H4A], 44);
    EXPECT_EQ(calibration[CALIB_H4B], 444);
    EXPECT_EQ(Val(pCalib, CAL_H1), 111);
}

// A failed load changes neither the header record nor the table, only the channel's flag
// and its feedback.
TEST_F(CalibFileTest, FailedLoadChangesNothingButTheFlag) {
    load('A', WriteCalibFile(tempDir, "a.dat", 0xA000, a));
    std::uint16_t header[18], table[1024];
    std::copy(std::begin(calibration), std::end(calibration), header);
    std::copy(std::begin(linArrayA), std::end(linArrayA), table);

    struct Bad {
        const char* why;
        std::string path;
    } bad[] = {
        {"1023 values", WriteCalibFile(tempDir, "short.dat", 0x1000, b, 1023)},
        {"header too wide",
         WriteCalibFile(tempDir, "wide.dat", 0x1000, {"65536", "1", "2", "3", "4"})},
        {"table too wide", WriteCalibFile(tempDir, "wider.dat", 0xFF00, b)},
        {"missing file", tempDir + "/none.dat"},
    };
    for (const auto& [why, path] : bad) {
        load('A', path);
        EXPECT_EQ(look_flagA, 0) << why;
        EXPECT_TRUE(std::equal(std::begin(header), std::end(header), calibration)) << why;
        EXPECT_TRUE(std::equal(std::begin(table), std::end(table), linArrayA)) << why;
        EXPECT_EQ(Text(pCalib, CAL_FILEBOXA), "No Calibration-Data-File CHA selected!") << why;
        EXPECT_EQ(Val(pCalib, CAL_TABLESSW), 0) << why;
        EXPECT_EQ(Attr(pCalib, CAL_LABELA1, ATTR_TEXT_COLOR), kGrey) << why;
        EXPECT_EQ(Attr(pCalib, CAL_LABELA2, ATTR_TEXT_COLOR), kGrey) << why;
        EXPECT_EQ(Val(pCalib, CAL_H1), 11) << why; // the header fields stay as they were
        // Back to loaded for the next case.
        load('A', WriteCalibFile(tempDir, "a.dat", 0xA000, a));
        ASSERT_EQ(look_flagA, 1);
    }
}

TEST_F(CalibFileTest, CancelAfterGoodLoadDropsTheChannelOnly) {
    std::string path = WriteCalibFile(tempDir, "b.dat", 0xB000, b);
    load('B', path);
    ASSERT_EQ(look_flagB, 1);
    load('B', "");
    EXPECT_EQ(look_flagB, 0);
    EXPECT_EQ(Val(pCalib, CAL_TABLESSW), 0);
    EXPECT_EQ(Text(pCalib, CAL_FILEBOXB), "No Calibration-Data-File CHB selected!");
    EXPECT_EQ(std::string(calib_fnameCHB), path); // a cancelled dialog leaves the path alone
    EXPECT_EQ(linArrayB[0], 0xB000);              // kept, but no longer programmed
    EXPECT_EQ(calibration[CALIB_H4B], 444);
}

TEST_F(CalibFileTest, HeaderPanelRoundTrip) {
    SetCtrlVal(pCalib, CAL_H1, 65535);
    SetCtrlVal(pCalib, CAL_H3A, 0.3);
    SetCtrlVal(pCalib, CAL_H3B, -0.5);
    SetCtrlVal(pCalib, CAL_H5B, 9);
    GetCalibHeaderValues();
    EXPECT_EQ(calibration[CALIB_H1], 65535);
    EXPECT_EQ(calibration[CALIB_H3A], 307);
    EXPECT_EQ(calibration[CALIB_H3B], 65024);
    EXPECT_EQ(calibration[CALIB_H5B], 9);
    SetCalibHeaderValues();
    EXPECT_DOUBLE_EQ(Real(pCalib, CAL_H3A), 0.2998046875);
    EXPECT_DOUBLE_EQ(Real(pCalib, CAL_H3B), 63.5);
    EXPECT_EQ(Val(pCalib, CAL_H1), 65535);

    SetCtrlVal(pCalib, CAL_H3A, 64.0);
    GetCalibHeaderValues();
    EXPECT_EQ(calibration[CALIB_H3A], 0);

    // A file load rewrites every field from the record, dropping unprogrammed edits.
    SetCtrlVal(pCalib, CAL_H4B, 1234);
    load('A', WriteCalibFile(tempDir, "a.dat", 0xA000, a));
    EXPECT_EQ(Val(pCalib, CAL_H4B), 0);
}

TEST_F(CalibFileTest, LogoGestureShowsAndHidesTheCalibrationSwitch) {
    SetCtrlAttribute(pA, MAIN_TOGGCALIB, ATTR_VISIBLE, 0); // as start-up leaves it

    PostCtrlEvent(pA, MAIN_PICTURE, EVENT_LEFT_CLICK);
    PostCtrlEvent(pA, MAIN_PICTURE, EVENT_COMMIT);
    pump(0.01);
    EXPECT_EQ(Attr(pA, MAIN_TOGGCALIB, ATTR_VISIBLE), 0);

    PostCtrlEvent(pA, MAIN_PICTURE, EVENT_RIGHT_DOUBLE_CLICK);
    pump(0.01);
    EXPECT_EQ(Attr(pA, MAIN_TOGGCALIB, ATTR_VISIBLE), 1);
    EXPECT_EQ(Val(pA, MAIN_TOGGCALIB), 0);

    // Switching it on shows the panel and stops a running scope.
    stop_flag = 0;
    ClickCtrl(pA, MAIN_TOGGCALIB);
    pump(0.01);
    EXPECT_EQ(stop_flag, 1);
    EXPECT_EQ(Attr(pCalib, CAL_BTNWRITE, ATTR_VISIBLE), 1);

    // Hiding the switch turns it off and takes the panel with it.
    PostCtrlEvent(pA, MAIN_PICTURE, EVENT_RIGHT_DOUBLE_CLICK);
    pump(0.01);
    EXPECT_EQ(Attr(pA, MAIN_TOGGCALIB, ATTR_VISIBLE), 0);
    EXPECT_EQ(Val(pA, MAIN_TOGGCALIB), 0);
    EXPECT_EQ(Attr(pCalib, CAL_BTNWRITE, ATTR_VISIBLE), 0);
}
