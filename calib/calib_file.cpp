#include "calib/calib.h"

#include "core/state.h"
#include "platform/textfile.h"
#include "platform/ui.h"

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

constexpr std::string_view kHeaderWord = "[HEADER]";
constexpr std::string_view kTableWord = "[XFLASH]";
constexpr int kDarkGreen = MakeColor(0, 128, 0);
constexpr int kGrey = MakeColor(128, 128, 128);

// What an integer field held.
enum class IntField { Value, Unreadable, TooWide };

// A decimal integer must fit one unsigned 16-bit word: a wrapped value would program a wrong
// word. Anything that is not a decimal integer at all is unreadable.
IntField ReadWord(std::string_view token, std::uint16_t& value) {
    bool negative = false;
    if (!token.empty() && (token[0] == '+' || token[0] == '-')) {
        negative = token[0] == '-';
        token.remove_prefix(1);
    }
    if (token.empty() ||
        !std::all_of(token.begin(), token.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return IntField::Unreadable;
    }
    std::size_t first = token.find_first_not_of('0');
    if (first == std::string_view::npos) {
        value = 0; // "-0" is still zero
        return IntField::Value;
    }
    std::uint64_t v = 0;
    if (negative || !ParseUnsigned(token.substr(first), 0xFFFF, v)) {
        return IntField::TooWide;
    }
    value = static_cast<std::uint16_t>(v);
    return IntField::Value;
}

// One header line: a label of any length (discarded) and an integer value.
bool ReadIntLine(TokenReader& in, bool& read, std::uint16_t& value) {
    in.next();
    switch (ReadWord(in.next(), value)) {
    case IntField::Value:
        read = true;
        return true;
    case IntField::Unreadable:
        read = false;
        return true;
    case IntField::TooWide:
        return false;
    }
    return false;
}

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

bool ParseCalibrationText(std::string_view text, CalibFileContent& out) {
    TokenReader in(text);
    std::string_view word = in.next();
    out.hasHeader = word.starts_with(kHeaderWord);
    if (out.hasHeader) {
        if (!ReadIntLine(in, out.h1Read, out.h1) || !ReadIntLine(in, out.h2Read, out.h2)) {
            return false;
        }
        in.next();
        double r = 0.0;
        out.h3 = ParseReal(in.next(), r) ? r : 0.0;
        if (!ReadIntLine(in, out.h4Read, out.h4) || !ReadIntLine(in, out.h5Read, out.h5)) {
            return false;
        }
    }
    // The table section must follow, whether or not a header came first.
    if (!in.next().starts_with(kTableWord)) {
        return false;
    }
    for (int k = 0; k < kCalibTableWords; ++k) {
        std::uint16_t v = 0;
        if (ReadWord(in.next(), v) != IntField::Value) {
            return false;
        }
        // The file lists the table from its last entry to its first.
        out.table[kCalibTableWords - 1 - k] = v;
    }
    return true; // anything after the last table value is ignored
}

std::string CalibFileProblem(std::string_view text) {
    CalibFileContent content;
    if (ParseCalibrationText(text, content)) {
        return "";
    }
    // The parser's walk again, this time keeping where each token stands.
    std::size_t pos = 0, at = 0;
    auto next = [&] {
        while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) {
            ++pos;
        }
        at = pos;
        while (pos < text.size() && !std::isspace(static_cast<unsigned char>(text[pos]))) {
            ++pos;
        }
        return text.substr(at, pos - at);
    };
    auto lineNo = [&](std::size_t p) {
        return 1 + std::count(text.begin(), text.begin() + p, '\n');
    };
    auto line = [&](std::size_t p) { return "line " + std::to_string(lineNo(p)); };
    auto quoted = [](std::string_view tok) {
        return "\"" + std::string(tok.substr(0, 20)) + (tok.size() > 20 ? "...\"" : "\"");
    };
    std::string_view word = next();
    if (word.starts_with(kHeaderWord)) {
        for (int i = 0; i < 5; ++i) {
            next();
            std::string_view value = next();
            std::uint16_t w = 0;
            if (i != 2 && ReadWord(value, w) == IntField::TooWide) {
                return line(at) + ": header value " + quoted(value) + " does not fit in 16 bits";
            }
        }
        word = next();
    }
    if (!word.starts_with(kTableWord)) {
        return line(at) + (word.empty() ? ": no [XFLASH] section"
                                        : ": [XFLASH] expected, not " + quoted(word));
    }
    for (int k = 0; k < kCalibTableWords; ++k) {
        std::size_t end = pos;
        std::string_view value = next();
        std::uint16_t w = 0;
        if (value.empty()) {
            return "line " + std::to_string(lineNo(end) + 1) + ": only " + std::to_string(k) +
                   " table values";
        }
        if (ReadWord(value, w) != IntField::Value) {
            return line(at) + ": " + quoted(value) + " is not a 16-bit table value";
        }
    }
    return "not a calibration file";
}

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
