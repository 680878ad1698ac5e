// Panel numbers in the panel resource file and the control identities of both panels.
// The object names that bind them to the resource live in the binding table (app/bindings.cpp).
#pragma once

// Panel numbers inside "ZEL-A-RadovU20.ui".
inline constexpr int CALIB_PANEL_NUMBER = 1;
inline constexpr int MAIN_PANEL_NUMBER = 2;

// Main panel.
enum MainCtrl : int {
    MAIN_STATUS = 1, // status line
    MAIN_DROPDCOM,   // port selector
    MAIN_PICTURE,    // logo picture
    MAIN_BANNER,     // title banner
    MAIN_TOGGCALIB,  // calibration switch
    MAIN_TIMER50MS,  // 50 ms timer
    MAIN_FOCUS,      // start-up focus control
    MAIN_RBTRAM,     // target buttons
    MAIN_RBTEEPROM,
    MAIN_RBTFILE,
    MAIN_BTNSEND,
    MAIN_BTNGET,
    MAIN_SETTING0, // parameter fields, block 0 index 0..5, 8, 9
    MAIN_REFA,
    MAIN_REFB,
    MAIN_TOLA,
    MAIN_TOLB,
    MAIN_SETTING5,
    MAIN_FLAG0,
    MAIN_FLAG1,
    MAIN_SETTING8,
    MAIN_SETTING9,
    MAIN_BTNRUN,
    MAIN_BTNSTOP,
    MAIN_STRIPCHART,
    MAIN_RAWA,
    MAIN_RAWB,
    MAIN_LEDIN0,
    MAIN_LEDIN1,
    MAIN_LEDOUT0,
    MAIN_LEDOUT1,
    MAIN_BTNTEACH,
    MAIN_BTNREFRESHA,
    MAIN_BTNREFRESHB,
    MAIN_BTNRESET,
    MAIN_CHANNEL,     // channel switch read by teach
    MAIN_RADIOSELECT, // three selectors whose callbacks do nothing
    MAIN_RADIOTEACH,
    MAIN_BINSWCHANNEL,
    MAIN_RECORDSW, // live scope: record to CSV, pause the drawing, save and reset the view
    MAIN_PAUSESW,
    MAIN_BTNSAVECHART,
    MAIN_BTNRESETZOOM,
    MAIN_SCOPESTATS,  // the link's figures since Run
    MAIN_PARAMSGROUP, // parameter group box: its title counts the unsent words
    MAIN_BTNCOMPARE,
    MAIN_BTNFINDSENSOR, // probes every port for the sensor
    MAIN_BTNTRAFFIC,    // opens the traffic window: every frame on the line
    MAIN_BTNHISTORY,    // the parameter sets that passed the tool
    MAIN_BTNREPORT,     // the service report
};

// Calibration panel.
enum CalibCtrl : int {
    CAL_BTNFILECHA = 101,
    CAL_BTNFILECHB,
    CAL_FILEBOXA,
    CAL_FILEBOXB,
    CAL_LABELA1,
    CAL_LABELA2,
    CAL_LABELB1,
    CAL_LABELB2,
    CAL_HEADERSW,
    CAL_TABLESSW,
    CAL_H1,
    CAL_H2,
    CAL_H3A,
    CAL_H3B,
    CAL_H4A,
    CAL_H4B,
    CAL_H5A,
    CAL_H5B,
    CAL_BTNWRITE,
    CAL_ADDRESS,
    CAL_PROGRESS,
};
