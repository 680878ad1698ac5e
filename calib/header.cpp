#include "calib/calib.h"

#include "core/state.h"
#include "runtime/ui.h"
#include "scope/scope.h"

std::uint16_t calibration[18] = {};

void GetCalibHeaderValues() {
    unsigned short h1 = 0, h2 = 0, h4a = 0, h4b = 0, h5a = 0, h5b = 0;
    double h3a = 0.0, h3b = 0.0;
    GetCtrlVal(pCalib, CAL_H1, &h1);
    GetCtrlVal(pCalib, CAL_H2, &h2);
    GetCtrlVal(pCalib, CAL_H3A, &h3a);
    GetCtrlVal(pCalib, CAL_H3B, &h3b);
    GetCtrlVal(pCalib, CAL_H4A, &h4a);
    GetCtrlVal(pCalib, CAL_H4B, &h4b);
    GetCtrlVal(pCalib, CAL_H5A, &h5a);
    GetCtrlVal(pCalib, CAL_H5B, &h5b);
    calibration[CALIB_H1] = h1;
    calibration[CALIB_H2] = h2;
    calibration[CALIB_H4A] = h4a;
    calibration[CALIB_H4B] = h4b;
    calibration[CALIB_H5A] = h5a;
    calibration[CALIB_H5B] = h5b;
    calibration[CALIB_H3A] = H3FromReal(h3a);
    calibration[CALIB_H3B] = H3FromReal(h3b);
}

void SetCalibHeaderValues() {
    double h3a = H3ToReal(calibration[CALIB_H3A]);
    double h3b = H3ToReal(calibration[CALIB_H3B]);
    SetCtrlVal(pCalib, CAL_H1, static_cast<unsigned>(calibration[CALIB_H1]));
    SetCtrlVal(pCalib, CAL_H2, static_cast<unsigned>(calibration[CALIB_H2]));
    SetCtrlVal(pCalib, CAL_H3A, h3a);
    SetCtrlVal(pCalib, CAL_H3B, h3b);
    SetCtrlVal(pCalib, CAL_H4A, static_cast<unsigned>(calibration[CALIB_H4A]));
    SetCtrlVal(pCalib, CAL_H4B, static_cast<unsigned>(calibration[CALIB_H4B]));
    SetCtrlVal(pCalib, CAL_H5A, static_cast<unsigned>(calibration[CALIB_H5A]));
    SetCtrlVal(pCalib, CAL_H5B, static_cast<unsigned>(calibration[CALIB_H5B]));
}

int CC_TOGGcalib(int panel, int control, int event, void*, int, int) {
    if (event == EVENT_LEFT_CLICK) {
        // The click arrives before the commit: a running scope stops first.
        StopScope();
    } else if (event == EVENT_COMMIT) {
        int on = 0;
        GetCtrlVal(panel, control, &on);
        if (on) {
            DisplayPanel(pCalib);
        } else {
            HidePanel(pCalib);
        }
    }
    return 0;
}
