// The service report: the sensor's identity, both parameter blocks of RAM and EEPROM side by
// side, and the sets that passed the tool for it, as one self-contained, printable HTML
// document. Both programs make it through this one function; the window prints it as PDF.
#pragma once

#include "params/history.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

struct ReportBlock {
    bool answered = false; // false: the sensor gave no reply to the read
    std::array<std::uint16_t, 15> words{};
};

struct ServiceReportData {
    std::string program;     // who made it, "ZEL-A-2X-Vavod V2.0"
    std::int64_t madeAt = 0; // seconds since 1970
    SensorIdentity sensor;
    bool answered = false; // the sensor answered the line check or a read
    ReportBlock ram[2], eeprom[2];
    std::vector<HistoryRecord> history; // oldest first
    std::string historyScope;           // which entries these are, in words
};

std::string ServiceReportHtml(const ServiceReportData& report);

// Seconds since 1970 as local time, "2024-05-01 10:22:03".
std::string LocalTimeText(std::int64_t unixTime);
