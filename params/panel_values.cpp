#include "params/params.h"

#include "core/state.h"
#include "params/record.h"
#include "runtime/ui.h"

#include <algorithm>
#include <cstdio>

namespace {
struct Field {
    int control;
    int word;
};
// Numeric fields and the record words they hold, in reading order.
constexpr Field kFields[] = {
    {MAIN_SETTING0, 3}, {MAIN_REFA, 4},     {MAIN_REFB, 5},      {MAIN_TOLA, 6},
    {MAIN_TOLB, 7},     {MAIN_SETTING5, 8}, {MAIN_SETTING8, 11}, {MAIN_SETTING9, 12},
};
constexpr int kFlagWord = 9;
constexpr int kUnsentColor = MakeColor(255, 214, 140); // light amber
constexpr const char* kGroupTitle = "Parameter set (block 0)";

unsigned Reference(int word) {
    return block0Reference[word - kBlock0];
}

void Mark(int control, bool unsent) {
    SetCtrlAttribute(pA, control, ATTR_TEXT_BGCOLOR, unsent ? kUnsentColor : VAL_DEFAULT_COLOR);
    SetCtrlAttribute(pA, control, ATTR_ACCESSIBLE_SUFFIX, unsent ? " (unsent)" : "");
}
} // namespace

void PanelBlock0(std::uint16_t* words) {
    std::copy_n(parameter + kBlock0, kBlockWords, words);
    for (int i = 0; i < 6; ++i) {
        GetCtrlVal(pA, kFields[i].control, &words[kFields[i].word - kBlock0]);
    }
    int flag0 = 0, flag1 = 0;
    GetCtrlVal(pA, MAIN_FLAG0, &flag0);
    GetCtrlVal(pA, MAIN_FLAG1, &flag1);
    words[kFlagWord - kBlock0] = static_cast<std::uint16_t>(flag0 + 2 * flag1);
    GetCtrlVal(pA, MAIN_SETTING8, &words[11 - kBlock0]);
    GetCtrlVal(pA, MAIN_SETTING9, &words[12 - kBlock0]);
}

void GetPanelValues() {
    for (int i = 0; i < 6; ++i) {
        GetCtrlVal(pA, kFields[i].control, &parameter[kFields[i].word]);
    }
    int flag0 = 0, flag1 = 0;
    GetCtrlVal(pA, MAIN_FLAG0, &flag0);
    GetCtrlVal(pA, MAIN_FLAG1, &flag1);
    parameter[9] = static_cast<std::uint16_t>(flag0 + 2 * flag1);
    GetCtrlVal(pA, MAIN_SETTING8, &parameter[11]);
    GetCtrlVal(pA, MAIN_SETTING9, &parameter[12]);
    DeriveThresholds();
}

void SetPanelValues() {
    for (const Field& f : kFields) {
        SetCtrlVal(pA, f.control, static_cast<unsigned>(parameter[f.word]));
    }
    // A flag word outside 0..3 leaves both switches as they are.
    if (parameter[9] <= 3) {
        SetCtrlVal(pA, MAIN_FLAG0, parameter[9] & 1);
        SetCtrlVal(pA, MAIN_FLAG1, (parameter[9] >> 1) & 1);
    }
    DeriveThresholds();
    RefreshUnsentMarks();
}

int RefreshUnsentMarks() {
    int unsent = 0;
    for (const Field& f : kFields) {
        unsigned short v = 0;
        GetCtrlVal(pA, f.control, &v);
        bool differs = v != Reference(f.word);
        Mark(f.control, differs);
        unsent += differs ? 1 : 0;
    }
    // The flag word goes out as the two switches make it: a reference above 3 differs whatever
    // they show, so both are marked.
    int flag[2] = {0, 0};
    GetCtrlVal(pA, MAIN_FLAG0, &flag[0]);
    GetCtrlVal(pA, MAIN_FLAG1, &flag[1]);
    unsigned ref = Reference(kFlagWord);
    for (int bit = 0; bit < 2; ++bit) {
        Mark(bit == 0 ? MAIN_FLAG0 : MAIN_FLAG1,
             ref > 3 || static_cast<unsigned>(flag[bit]) != ((ref >> bit) & 1));
    }
    unsent += static_cast<unsigned>(flag[0] + 2 * flag[1]) != ref ? 1 : 0;

    char title[64];
    if (unsent == 0) {
        std::snprintf(title, sizeof title, "%s", kGroupTitle);
    } else {
        std::snprintf(title, sizeof title, "Parameter set (block 0, %d unsent)", unsent);
    }
    SetCtrlAttribute(pA, MAIN_PARAMSGROUP, ATTR_LABEL_TEXT, title);
    return unsent;
}

int CC_ParamField(int, int, int event, void*, int, int) {
    if (event == EVENT_COMMIT) {
        RefreshUnsentMarks();
    }
    return 0;
}
