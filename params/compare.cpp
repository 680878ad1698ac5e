#include "core/state.h"
#include "link/link.h"
#include "params/block_ops.h"
#include "params/params.h"
#include "params/record.h"
#include "runtime/ui.h"

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

} // namespace

const char* const* Block0RowTitles() {
    return kRowTitles;
}

namespace {
struct Column {
    std::string title;
    int words[kBlockWords];
};

Column WordsColumn(const std::string& title, const std::uint16_t* words) {
    Column c{title, {}};
    for (int i = 0; i < kBlockWords; ++i) {
        c.words[i] = words[i];
    }
    return c;
}

Column Missing(const std::string& title) {
    Column c{title, {}};
    std::fill(std::begin(c.words), std::end(c.words), -1);
    return c;
}

// Block 0 from the sensor through the read-block operation: the record, pp, the status line
// and the link figures are not touched, so the panel still shows the operator's own edits.
Column SensorColumn(int memory, const char* title) {
    std::uint16_t sent[16];
    std::copy_n(parameter + kBlock0, kBlockWords, sent);
    sent[15] = 0;
    const LinkStats before = GetLinkStats();
    const ExchangeResult r = ReadBlock(com, memory, 0, sent);
    RestoreLinkStats(before);
    if (!r.ok()) {
        return Missing(std::string(title) + " (no reply)");
    }
    return WordsColumn(title, r.reply.words.data());
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
    // As for Get: a data reply in flight lands first.
    LetDataReplyLand();

    std::uint16_t panel[kBlockWords];
    PanelBlock0(panel);
    std::vector<Column> columns = {WordsColumn("Panel", panel)};
    columns.push_back(SensorColumn(kMemoryRam, "RAM"));
    columns.push_back(SensorColumn(kMemoryEeprom, "EEPROM"));
    ResumeDataStream(); // a running scope goes on once the dialog closes

    int choice = -1;
    for (;;) {
        choice = ShowColumns(columns, true);
        if (choice != VAL_COMPARE_ADD_FILE) {
            break;
        }
        char path[kPathLen] = "";
        if (FileSelectPopup(proj_dir, "TRK10para.cfg", "*.cfg", "VOREN-TRK1 Parameter File",
                            VAL_LOAD_BUTTON, 0, 1, 1, 1, path) > 0) {
            const ParamFileLoad file = LoadParamFile(path);
            if (file.ok) {
                columns.push_back(WordsColumn(BaseName(path), file.words.data()));
            }
        }
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
