#include "app/app.h"
#include "core/state.h"
#include "runtime/ui.h"

#include <string>

const std::string& ResourceDir();

namespace {
constexpr int kWhite = 0xFFFFFF;
constexpr int kGrey = 0x808080;
constexpr int kBlue = 0x0080FF;
} // namespace

void ShowInfoText(int background, int colour, const char* text, int left, int top, int size) {
    int id = NewCtrl(pA, CTRL_TEXT_MSG, "", top, left);
    if (id < 0) {
        return;
    }
    SetCtrlAttribute(pA, id, ATTR_TEXT_FONT, "NIApp");
    SetCtrlAttribute(pA, id, ATTR_TEXT_BOLD, 1);
    SetCtrlAttribute(pA, id, ATTR_TEXT_BGCOLOR, background);
    SetCtrlAttribute(pA, id, ATTR_TEXT_COLOR, colour);
    SetCtrlAttribute(pA, id, ATTR_TEXT_POINT_SIZE, size);
    SetCtrlVal(pA, id, text);
    // The label sizes itself to its text once the text is in.
    SetCtrlAttribute(pA, id, ATTR_TEXT_POINT_SIZE, size);
}

void ShowLogo(int mode) {
    if (mode < 0 || mode > 2) {
        return;
    }
    int banner = mode == 0 ? kWhite : kBlue;
    int text = mode == 0 ? kGrey : kWhite;
    SetCtrlAttribute(pA, MAIN_BANNER, ATTR_FRAME_COLOR, banner);
    if (mode == 2) {
        SetCtrlAttribute(pA, MAIN_PICTURE, ATTR_VISIBLE, 1);
        char path[MAX_PATHNAME_LEN];
        // A missing or unreadable bitmap is not reported: start-up goes on.
        if (MakePathname(ResourceDir().c_str(), kLogoFile, path) == 0) {
            DisplayImageFile(pA, MAIN_PICTURE, path);
        }
        ShowInfoText(banner, text, szSoftname, 310, 34, 16);
        ShowInfoText(banner, text, szSoftversion, 460, 38, 11);
    } else {
        SetCtrlAttribute(pA, MAIN_PICTURE, ATTR_VISIBLE, 0);
        ShowInfoText(banner, text, szSoftname, 200, 22, 16);
        ShowInfoText(banner, text, szSoftversion, 360, 26, 11);
    }
}

int CC_picture(int, int, int event, void*, int, int) {
    if (event != EVENT_RIGHT_DOUBLE_CLICK) {
        return 0;
    }
    if (vis == 0) {
        SetCtrlAttribute(pA, MAIN_TOGGCALIB, ATTR_VISIBLE, 1);
        vis = 1;
    } else {
        SetCtrlAttribute(pA, MAIN_TOGGCALIB, ATTR_VISIBLE, 0);
        SetCtrlVal(pA, MAIN_TOGGCALIB, 0);
        HidePanel(pCalib);
        vis = 0;
    }
    return 0;
}
