#include "params/params.h"

#include "core/state.h"
#include "params/record.h"
#include "platform/textfile.h"
#include "platform/ui.h"

#include <cstdio>
#include <string>

namespace {
constexpr int kFileWords = 16;
constexpr int kFieldWidth = 5;
} // namespace

void SendParaToFile() {
    GetPanelValues();
    CopyVarsToPP(0);
    std::uint32_t values[kFileWords];
    for (int i = 0; i < kFileWords; ++i) {
        values[i] = pp[i];
    }
    std::string error;
    // Written beside the target and renamed over it: a failed save keeps the last good file.
    if (ArrayToFileU32(file_name, values, kFileWords, kFieldWidth, &error) == 0) {
        NoteBlock0Reference();
        RefreshUnsentMarks();
    } else {
        // The status line holds 65 characters: name the file, then the reason if it fits.
        std::string name = file_name;
        auto slash = name.find_last_of("/\\");
        if (slash != std::string::npos) {
            name = name.substr(slash + 1);
        }
        std::string reason =
            error.substr(error.find(": ") == std::string::npos ? 0 : error.find(": ") + 2);
        std::string msg = "Cannot save " + name + ": " + reason;
        if (msg.size() > static_cast<std::size_t>(kStatusLen - 1)) {
            msg = "Cannot save " + name + "!";
        }
        SetStatus(msg.c_str());
        ShowStatus();
    }
}

int ReadParaFromFile() {
    if (FileSelectPopup(proj_dir, "TRK10para.cfg", "*.cfg", "VOREN-TRK1 Parameter File",
                        VAL_LOAD_BUTTON, 0, 1, 1, 1, file_name) <= 0) {
        return 0;
    }
    std::uint32_t values[kFileWords];
    if (FileToArrayU32(file_name, values, kFileWords) != 0) {
        return 0; // nothing has changed
    }
    for (int i = 0; i < kFileWords; ++i) {
        pp[i] = static_cast<std::uint16_t>(values[i] & 0xFFFF);
    }
    CopyPPtoVars(0);
    NoteBlock0Reference();
    return 1;
}
