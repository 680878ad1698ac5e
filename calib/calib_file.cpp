#include "calib/calib.h"

#include "core/state.h"
#include "runtime/ui.h"
#include "store/textfile.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

std::uint16_t linArrayA[kCalibTableWords] = {};
std::uint16_t linArrayB[kCalibTableWords] = {};
char calib_fnameCHA[260] = "";
char calib_fnameCHB[260] = "";

int look_flagA = 0;
int look_flagB = 0;

namespace {

constexpr int kDarkGreen = MakeColor(0, 128, 0);
constexpr int kGrey = MakeColor(128, 128, 128);

struct Channel {
    std::uint16_t* table;
    int h3, h4, h5;
    int fileBox, label1, label2;
    const char* noFileText;
    int* lookFlag;
};

const Channel kChannelA{
    linArrayA,    CALIB_H3A,   CALIB_H4A,   CALIB_H5A,
    CAL_FILEBOXA, CAL_LABELA1, CAL_LABELA2, "No Calibration-Data-File CHA selected!",
    &look_flagA};
const Channel kChannelB{
    linArrayB,    CALIB_H3B,   CALIB_H4B,   CALIB_H5B,
    CAL_FILEBOXB, CAL_LABELB1, CAL_LABELB2, "No Calibration-Data-File CHB selected!",
    &look_flagB};

// Why the last chosen file was refused ("NAME: reason"); empty after a cancel or a load.
std::string g_refusal;

std::string BaseName(const char* path) {
    std::string name = path;
    auto slash = name.find_last_of("/\\");
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

int ReadCalibrationFile(const Channel& ch, char* path) {
    g_refusal.clear();
    if (FileSelectPopup(proj_dir, "XF-LINEAR.DAT", "*.dat", "ZEL-A-2X-Calibration-File",
                        VAL_LOAD_BUTTON, 0, 1, 1, 1, path) <= 0) {
        return 0;
    }
    std::string text;
    // The whole file is read and checked before anything is stored: a failed load changes
    // neither the header record nor the table.
    CalibFileContent content;
    if (!ReadWholeFile(path, text)) {
        g_refusal = BaseName(path) + ": cannot be read";
        return 0;
    }
    if (!ParseCalibrationText(text, content)) {
        g_refusal = BaseName(path) + ": " + CalibFileProblem(text);
        return 0;
    }
    if (content.hasHeader) {
        if (content.h1Read) {
            calibration[CALIB_H1] = content.h1;
        }
        if (content.h2Read) {
            calibration[CALIB_H2] = content.h2;
        }
        calibration[ch.h3] = H3FromReal(content.h3);
        if (content.h4Read) {
            calibration[ch.h4] = content.h4;
        }
        if (content.h5Read) {
            calibration[ch.h5] = content.h5;
        }
    }
    std::copy(std::begin(content.table), std::end(content.table), ch.table);
    return 1;
}

void ShowLoadOutcome(const Channel& ch, int result, const char* path) {
    if (result == 1) {
        ResetTextBox(pCalib, ch.fileBox, path);
        SetCalibHeaderValues();
        SetCtrlAttribute(pCalib, CAL_BTNWRITE, ATTR_DIMMED, 0);
        SetCtrlVal(pCalib, CAL_TABLESSW, 1);
        SetCtrlAttribute(pCalib, ch.label1, ATTR_TEXT_COLOR, kDarkGreen);
        SetCtrlAttribute(pCalib, ch.label2, ATTR_TEXT_COLOR, kDarkGreen);
        *ch.lookFlag = 1;
    } else {
        // A refused file says why; a cancelled dialog says that none is chosen.
        ResetTextBox(pCalib, ch.fileBox, g_refusal.empty() ? ch.noFileText : g_refusal.c_str());
        SetCtrlVal(pCalib, CAL_TABLESSW, 0);
        SetCtrlAttribute(pCalib, ch.label1, ATTR_TEXT_COLOR, kGrey);
        SetCtrlAttribute(pCalib, ch.label2, ATTR_TEXT_COLOR, kGrey);
        *ch.lookFlag = 0;
    }
}

} // namespace

void ClearCalibration() {
    std::fill(std::begin(calibration), std::end(calibration), 0);
    std::fill(std::begin(linArrayA), std::end(linArrayA), 0);
    std::fill(std::begin(linArrayB), std::end(linArrayB), 0);
    calib_fnameCHA[0] = '\0';
    calib_fnameCHB[0] = '\0';
}

int ReadCalibrationDataFromFileCHA(char* path) {
    return ReadCalibrationFile(kChannelA, path);
}

int ReadCalibrationDataFromFileCHB(char* path) {
    return ReadCalibrationFile(kChannelB, path);
}

int CC_PICBTNCalibFileCHA(int, int, int event, void*, int, int) {
    if (event == EVENT_COMMIT) {
        ShowLoadOutcome(kChannelA, ReadCalibrationDataFromFileCHA(calib_fnameCHA), calib_fnameCHA);
    }
    return 0;
}

int CC_PICBTNCalibFileCHB(int, int, int event, void*, int, int) {
    if (event == EVENT_COMMIT) {
        ShowLoadOutcome(kChannelB, ReadCalibrationDataFromFileCHB(calib_fnameCHB), calib_fnameCHB);
    }
    return 0;
}
