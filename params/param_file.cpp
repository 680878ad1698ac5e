#include "params/block_ops.h"
#include "params/params.h"

#include "core/state.h"
#include "params/record.h"
#include "runtime/ui.h"
#include "store/textfile.h"

#include <algorithm>
#include <cstdio>
#include <string>

void SendParaToFile() {
    GetPanelValues();
    CopyVarsToPP(0);
    std::string error;
    // Written beside the target and renamed over it: a failed save keeps the last good file.
    if (SaveParamFile(file_name, pp, error)) {
        NoteBlock0Reference();
        RefreshUnsentMarks();
        NoteSetPassed(SetDirection::Saved, SetMemory::File, 0, pp, file_name);
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
    const ParamFileLoad file = LoadParamFile(file_name);
    if (!file.ok) {
        return 0; // nothing has changed
    }
    std::copy(file.words.begin(), file.words.end(), pp);
    CopyPPtoVars(0);
    NoteBlock0Reference();
    NoteSetPassed(SetDirection::Loaded, SetMemory::File, 0, file.words.data(), file_name);
    return 1;
}
