#include "params.h"

#include "record.h"
#include "state.h"
#include "textfile.h"
#include "ui.h"

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
    if (ArrayToFileU32(file_name, values, kFileWords, kFieldWidth, &error) != 0) {
        std::string msg = std::string("Cannot save ") + file_name + " (" + error + ")";
        // Keep the end of a long path: the file name is the part that tells.
        if (msg.size() > static_cast<std::size_t>(kStatusLen - 1)) {
            msg = "Cannot save ..." + msg.substr(msg.size() - (kStatusLen - 1 - 15));
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
    return 1;
}
