#include "core/state.h"
#include "link/link.h"
#include "params/params.h"
#include "params/record.h"
#include "platform/ui.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

namespace {
constexpr int kFieldControls[] = {MAIN_SETTING0, MAIN_REFA,     MAIN_REFB,  MAIN_TOLA,
                                  MAIN_TOLB,     MAIN_SETTING5, MAIN_FLAG0, MAIN_FLAG1,
                                  MAIN_SETTING8, MAIN_SETTING9};

const char* const kRowTitles[kBlockWords] = {
    "Word 0 (Setting 0)",
    "Word 1 (Reference CHA)",
    "Word 2 (Reference CHB)",
    "Word 3 (Tolerance CHA)",
    "Word 4 (Tolerance CHB)",
    "Word 5 (Setting 5)",
    "Word 6 (Flags)",
    "Word 7",
    "Word 8 (Setting 8)",
    "Word 9 (Setting 9)",
    "Word 10",
    "Word 11",
    "Word 12",
    "Word 13",
    "Word 14",
};

// Everything a GET or a file load may change, so that reading for the comparison leaves no
// trace: the panel then still shows the operator's own edits.
struct Saved {
    std::uint16_t record[kRecordWords];
    std::uint16_t image[16];
    std::uint16_t reference[kBlockWords];
    std::int16_t thresholds[6];
    int fields[std::size(kFieldControls)];
    int tgt;
    char status[kStatusLen];
    char file[kPathLen];
};

Saved Save() {
    Saved s{};
    std::copy(std::begin(parameter), std::end(parameter), s.record);
    std::copy(std::begin(pp), std::end(pp), s.image);
    std::copy(std::begin(block0Reference), std::end(block0Reference), s.reference);
    const std::int16_t t[6] = {refthdA, refthdB, upthdA, lothdA, upthdB, lothdB};
    std::copy(std::begin(t), std::end(t), s.thresholds);
    for (std::size_t i = 0; i < std::size(kFieldControls); ++i) {
        GetCtrlVal(pA, kFieldControls[i], &s.fields[i]);
    }
    s.tgt = target;
    std::memcpy(s.status, szStatus, sizeof s.status);
    std::memcpy(s.file, file_name, sizeof s.file);
    return s;
}

void RestoreRecord(const Saved& s) {
    std::copy(std::begin(s.record), std::end(s.record), parameter);
    std::copy(std::begin(s.image), std::end(s.image), pp);
    std::copy(std::begin(s.reference), std::end(s.reference), block0Reference);
    refthdA = s.thresholds[0];
    refthdB = s.thresholds[1];
    upthdA = s.thresholds[2];
    lothdA = s.thresholds[3];
    upthdB = s.thresholds[4];
    lothdB = s.thresholds[5];
    target = s.tgt;
    std::memcpy(file_name, s.file, sizeof s.file);
}

void RestoreAll(const Saved& s) {
    RestoreRecord(s);
    for (std::size_t i = 0; i < std::size(kFieldControls); ++i) {
        SetCtrlVal(pA, kFieldControls[i], s.fields[i]);
    }
    std::memcpy(szStatus, s.status, sizeof s.status);
    ShowStatus();
    RefreshUnsentMarks();
}

struct Column {
    std::string title;
    int words[kBlockWords];
};

Column RecordColumn(const std::string& title) {
    Column c{title, {}};
    for (int i = 0; i < kBlockWords; ++i) {
        c.words[i] = parameter[kBlock0 + i];
    }
    return c;
}

Column Missing(const std::string& title) {
    Column c{title, {}};
    std::fill(std::begin(c.words), std::end(c.words), -1);
    return c;
}

// Block 0 from the sensor through the GET itself, then the record as it was.
Column SensorColumn(const Saved& s, int memory, const char* title) {
    int taken = PushGET(memory, 0);
    Column c = taken ? RecordColumn(title) : Missing(std::string(title) + " (no reply)");
    RestoreRecord(s);
    return c;
}

std::string BaseName(const char* path) {
    std::string name = path;
    auto slash = name.find_last_of("/\\");
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

int ShowColumns(const std::vector<Column>& columns, bool offerFile) {
    int n = static_cast<int>(columns.size());
    std::vector<const char*> titles;
    for (const Column& c : columns) {
        titles.push_back(c.title.c_str());
    }
    std::vector<int> values(static_cast<std::size_t>(kBlockWords * n));
    for (int r = 0; r < kBlockWords; ++r) {
        for (int c = 0; c < n; ++c) {
            values[static_cast<std::size_t>(r * n + c)] =
                columns[static_cast<std::size_t>(c)].words[r];
        }
    }
    return ShowCompareDialog("Compare parameter set (block 0)", titles.data(), n, kRowTitles,
                             kBlockWords, values.data(), offerFile ? 1 : 0);
}
} // namespace

int CC_BTNCompare(int, int, int event, void*, int, int) {
    if (event == EVENT_LEFT_CLICK) {
        ShowText("Compare...");
        return 0;
    }
    if (event != EVENT_COMMIT) {
        return 0;
    }
    // As for Get: a data reply in flight lands first, before the record is saved.
    LetDataReplyLand();
    Saved saved = Save();

    // What a Send would send: the panel's fields over the record's other words.
    GetPanelValues();
    std::vector<Column> columns = {RecordColumn("Panel")};
    RestoreRecord(saved);
    columns.push_back(SensorColumn(saved, RAM, "RAM"));
    columns.push_back(SensorColumn(saved, EEPROM, "EEPROM"));
    RestoreAll(saved);

    int choice = -1;
    for (;;) {
        choice = ShowColumns(columns, true);
        if (choice != VAL_COMPARE_ADD_FILE) {
            break;
        }
        if (ReadParaFromFile()) {
            columns.push_back(RecordColumn(BaseName(file_name)));
        }
        RestoreAll(saved);
    }
    // Taking a column puts it into the record and on the panel, to be sent when the operator
    // sends; the marks then show what differs from block 0 as last sent, received or loaded.
    if (choice > 0 && choice < static_cast<int>(columns.size()) &&
        columns[static_cast<std::size_t>(choice)].words[0] >= 0) {
        const Column& c = columns[static_cast<std::size_t>(choice)];
        for (int i = 0; i < kBlockWords; ++i) {
            parameter[kBlock0 + i] = static_cast<std::uint16_t>(c.words[i]);
        }
        SetPanelValues();
    }
    return 0;
}
