#include "params/params.h"

#include "core/state.h"
#include "params/record.h"
#include "platform/ui.h"

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
} // namespace

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
}
