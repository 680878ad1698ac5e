// Every time-out and pause of the program, in seconds. The sensor's timing is fixed by its
// firmware, so these are protocol constants, not settings.
#pragma once

// Reply waits.
inline constexpr double kReplyTimeoutSec = 1.5;     // port time-out and limit of a reply wait
inline constexpr double TIMEOUT = kReplyTimeoutSec; // the name the routines know it by
inline constexpr double kFirmwareTimeoutSec = 2.0;  // the firmware text is longer than a frame
inline constexpr double kBlockReadTimeoutSec = 1.5; // the block read's own limit

// Pauses.
inline constexpr double kStartupPauseSec = 0.05;   // between the requests of the start-up exchange
inline constexpr double kPortChangePauseSec = 0.1; // before and after closing the old port
inline constexpr double kStopPauseSec = 0.2;       // after Stop, so the last reply drains
inline constexpr double kClosePauseSec = 0.2;      // on closing the main panel
inline constexpr double kFlashErasePauseSec = 0.3; // lets the sensor finish an erase
inline constexpr double kInfoBlockPauseSec = 0.05; // before the info-block echo is read

// The port selector's list is compared with the ports present this often.
inline constexpr double kPortListPeriodSec = 2.0;
// An open traffic window takes the frames that came this often, not one by one: twice a second
// keeps its cost while the scope streams within a point of a core.
inline constexpr double kTrafficViewPeriodSec = 0.5;

// Limits of the platform.
inline constexpr double kPortDefaultTimeoutSec = 5.0; // a port's time-out until it is set
inline constexpr double kSimStartLimitSec = 5.0;      // the simulator prints its terminal's path
inline constexpr double kPdfLimitSec = 60.0;          // the window program lays out a report as PDF
// Opening a network port: the connection, then the RFC 2217 line settings, each this long.
inline constexpr double kNetConnectTimeoutSec = kReplyTimeoutSec;
inline constexpr double kNetNegotiationTimeoutSec = kReplyTimeoutSec;
