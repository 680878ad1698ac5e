// Which resource control carries which identity and callback: the panel file and this table
// read side by side.
#include "app/app.h"
#include "calib/calib.h"
#include "core/panel_ids.h"
#include "params/params.h"
#include "runtime/ui.h"
#include "scope/inspect.h"
#include "scope/record.h"
#include "scope/scope.h"

#include <iterator>

namespace {
const CtrlBinding kMain[] = {
    {MAIN_STATUS, "statusLine", nullptr},
    {MAIN_DROPDCOM, "portSelector", CC_DropDCom},
    {MAIN_BTNFINDSENSOR, "findSensorButton", CC_BTNFindSensor},
    {MAIN_BTNTRAFFIC, "trafficButton", CC_BTNTraffic},
    {MAIN_PICTURE, "logoPicture", CC_picture},
    {MAIN_BANNER, "titleBanner", nullptr},
    {MAIN_TOGGCALIB, "calibSwitch", CC_TOGGcalib},
    {MAIN_TIMER50MS, "timer50ms", CC_Timer50ms},
    {MAIN_RBTRAM, "targetRam", CC_RBTRam},
    {MAIN_RBTEEPROM, "targetEeprom", CC_RBTEeprom},
    {MAIN_RBTFILE, "targetFile", CC_RBTFile},
    {MAIN_BTNSEND, "sendButton", CC_BTNSend},
    {MAIN_BTNGET, "getButton", CC_BTNGet},
    {MAIN_BTNCOMPARE, "compareButton", CC_BTNCompare},
    {MAIN_BTNHISTORY, "historyButton", CC_BTNHistory},
    {MAIN_BTNREPORT, "reportButton", CC_BTNReport},
    {MAIN_SETTING0, "setting0", CC_ParamField},
    {MAIN_REFA, "referenceA", CC_ParamField},
    {MAIN_REFB, "referenceB", CC_ParamField},
    {MAIN_TOLA, "toleranceA", CC_ParamField},
    {MAIN_TOLB, "toleranceB", CC_ParamField},
    {MAIN_SETTING5, "setting5", CC_ParamField},
    {MAIN_FLAG0, "flag0", CC_ParamField},
    {MAIN_FLAG1, "flag1", CC_ParamField},
    {MAIN_SETTING8, "setting8", CC_ParamField},
    {MAIN_SETTING9, "setting9", CC_ParamField},
    {MAIN_BTNRUN, "runButton", CC_BTNRun},
    {MAIN_FOCUS, "setting0", nullptr},
    {MAIN_BTNSTOP, "stopButton", CC_BTNStop},
    {MAIN_STRIPCHART, "stripChart", nullptr},
    {MAIN_RAWA, "rawA", nullptr},
    {MAIN_RAWB, "rawB", nullptr},
    {MAIN_LEDIN0, "ledIn0", nullptr},
    {MAIN_LEDIN1, "ledIn1", nullptr},
    {MAIN_LEDOUT0, "ledOut0", nullptr},
    {MAIN_LEDOUT1, "ledOut1", nullptr},
    {MAIN_BTNTEACH, "teachButton", CC_ButtonTeach},
    {MAIN_BTNREFRESHA, "refreshAButton", CC_ButtonRefreshCHA},
    {MAIN_BTNREFRESHB, "refreshBButton", CC_ButtonRefreshCHB},
    {MAIN_BTNRESET, "resetButton", CC_ButtonReset},
    {MAIN_CHANNEL, "channelSwitch", nullptr},
    {MAIN_RADIOSELECT, "radioSelect", CC_RadioSelect},
    {MAIN_RADIOTEACH, "radioTeach", CC_RadioTeach},
    {MAIN_BINSWCHANNEL, "binSwitchChannel", CC_BINSWchannel},
    {MAIN_RECORDSW, "recordSwitch", CC_TOGGRecord},
    {MAIN_PAUSESW, "pauseSwitch", CC_TOGGPause},
    {MAIN_BTNSAVECHART, "saveChartButton", CC_BTNSaveChart},
    {MAIN_BTNRESETZOOM, "resetZoomButton", CC_BTNResetZoom},
    {MAIN_SCOPESTATS, "scopeStats", nullptr},
    {MAIN_PARAMSGROUP, "paramsGroup", nullptr},
};

const CtrlBinding kCalib[] = {
    {CAL_BTNFILECHA, "calibFileAButton", CC_PICBTNCalibFileCHA},
    {CAL_BTNFILECHB, "calibFileBButton", CC_PICBTNCalibFileCHB},
    {CAL_FILEBOXA, "calibFileABox", nullptr},
    {CAL_FILEBOXB, "calibFileBBox", nullptr},
    {CAL_LABELA1, "calibLabelA1", nullptr},
    {CAL_LABELA2, "calibLabelA2", nullptr},
    {CAL_LABELB1, "calibLabelB1", nullptr},
    {CAL_LABELB2, "calibLabelB2", nullptr},
    {CAL_HEADERSW, "headerSwitch", nullptr},
    {CAL_TABLESSW, "tablesSwitch", nullptr},
    {CAL_H1, "headerH1", nullptr},
    {CAL_H2, "headerH2", nullptr},
    {CAL_H3A, "headerH3A", nullptr},
    {CAL_H3B, "headerH3B", nullptr},
    {CAL_H4A, "headerH4A", nullptr},
    {CAL_H4B, "headerH4B", nullptr},
    {CAL_H5A, "headerH5A", nullptr},
    {CAL_H5B, "headerH5B", nullptr},
    {CAL_BTNWRITE, "writeFlashButton", CC_WriteXFLASHDATA},
    {CAL_ADDRESS, "flashAddress", nullptr},
    {CAL_PROGRESS, "flashProgress", nullptr},
};
} // namespace

int BindMainPanel(int panel) {
    return BindControls(panel, kMain, std::size(kMain));
}

int BindCalibPanel(int panel) {
    return BindControls(panel, kCalib, std::size(kCalib));
}
