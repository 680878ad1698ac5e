#include "params/service_report.h"

#include "params/block_ops.h"

#include <ctime>

namespace {
// Differing rows carry the colour in attributes as well as in the style sheet: Qt's text
// document, which prints the PDF, reads the attributes; browsers read both.
constexpr const char* kDiffers = "#ffd2c4";

std::string Escape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string Cell(const std::string& text, const std::string& attributes = "") {
    return "<td" + (attributes.empty() ? "" : " " + attributes) + ">" + Escape(text) + "</td>";
}

std::string WordLabel(int block, int index) {
    if (block == 0 && Block0Word(index).label[0] != '\0') {
        return Block0Word(index).label;
    }
    return "Word " + std::to_string(index);
}

std::string BlockTable(const ServiceReportData& d, int block) {
    const ReportBlock& ram = d.ram[block];
    const ReportBlock& eeprom = d.eeprom[block];
    const bool both = ram.answered && eeprom.answered;
    int differing = 0;
    std::string rows;
    for (int i = 0; i < 15; ++i) {
        const auto w = static_cast<std::size_t>(i);
        const bool differs = both && ram.words[w] != eeprom.words[w];
        differing += differs ? 1 : 0;
        const std::string colour = differs ? std::string(" bgcolor=\"") + kDiffers + "\"" : "";
        const std::string id = std::to_string(block) + "-" + std::to_string(i);
        rows += differs ? "<tr class=\"differs\">" : "<tr>";
        rows += Cell(std::to_string(i), "class=\"n\"" + colour);
        rows += Cell(WordLabel(block, i), colour.empty() ? "" : colour.substr(1));
        rows += Cell(ram.answered ? std::to_string(ram.words[w]) : "-",
                     "id=\"ram-" + id + "\" class=\"n\"" + colour);
        rows += Cell(eeprom.answered ? std::to_string(eeprom.words[w]) : "-",
                     "id=\"eeprom-" + id + "\" class=\"n\"" + colour);
        rows += Cell(!both ? "" : differs ? "differs" : "", colour.empty() ? "" : colour.substr(1));
        rows += "</tr>\n";
    }
    std::string summary = !ram.answered && !eeprom.answered ? "RAM and EEPROM: no reply."
                          : !ram.answered                   ? "RAM: no reply."
                          : !eeprom.answered                ? "EEPROM: no reply."
                          : differing == 0                  ? "RAM and EEPROM agree."
                                                            : std::to_string(differing) +
                                                 " of 15 words differ between RAM and EEPROM.";
    return "<h2>Block " + std::to_string(block) + "</h2>\n<p id=\"summary-" +
           std::to_string(block) + "\">" + Escape(summary) +
           "</p>\n<table border=\"1\" cellspacing=\"0\" cellpadding=\"3\">\n"
           "<tr><th>Word</th><th>Meaning</th><th>RAM" +
           (ram.answered ? "" : " (no reply)") + "</th><th>EEPROM" +
           (eeprom.answered ? "" : " (no reply)") + "</th><th>RAM/EEPROM</th></tr>\n" + rows +
           "</table>\n";
}

std::string HistoryTable(const ServiceReportData& d) {
    std::string out = "<h2>History</h2>\n<p>" + Escape(d.historyScope) + "</p>\n";
    if (d.history.empty()) {
        return out +
               "<p id=\"history-none\">No parameter sets passed the tool for this sensor.</p>\n";
    }
    out += "<table id=\"history\" border=\"1\" cellspacing=\"0\" cellpadding=\"3\">\n"
           "<tr><th>ID</th><th>Time</th><th>Set</th><th>Where</th><th>Block</th>"
           "<th>Words 0 to 14</th></tr>\n";
    for (const HistoryRecord& r : d.history) {
        std::string words;
        for (std::uint16_t w : r.words) {
            words += (words.empty() ? "" : " ") + std::to_string(w);
        }
        out += "<tr id=\"entry-" + std::to_string(r.id) + "\">";
        out += Cell(std::to_string(r.id), "class=\"n\"") + Cell(LocalTimeText(r.unixTime));
        out += Cell(r.direction) + Cell(r.memory == "file" ? r.file : r.memory);
        out += Cell(std::to_string(r.block), "class=\"n\"") + Cell(words, "class=\"w\"");
        out += "</tr>\n";
    }
    return out + "</table>\n";
}
} // namespace

std::string LocalTimeText(std::int64_t unixTime) {
    std::time_t t = static_cast<std::time_t>(unixTime);
    const std::tm* local = std::localtime(&t); // one thread: the shared buffer is ours
    char buf[32] = "";
    if (local) {
        std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", local);
    }
    return buf;
}

std::string ServiceReportHtml(const ServiceReportData& d) {
    const SensorIdentity& s = d.sensor;
    const std::string port = "COM" + std::to_string(s.port);
    const std::string noReply = d.answered ? "not read" : "no reply";
    std::string html =
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<title>Service report " +
        Escape(port + " " + LocalTimeText(d.madeAt)) +
        "</title>\n<style>\n"
        "body { font-family: sans-serif; font-size: 10pt; margin: 2em; }\n"
        "h1 { font-size: 16pt; } h2 { font-size: 12pt; margin-top: 1.2em; }\n"
        "table { border-collapse: collapse; margin-bottom: 0.6em; }\n"
        "th, td { border: 1px solid #888; padding: 2px 8px; text-align: left; }\n"
        "td.n { text-align: right; } td.w { font-family: monospace; }\n"
        "tr.differs td { background: #ffd2c4; font-weight: bold; }\n"
        "@media print { body { margin: 0; } h2 { page-break-after: avoid; }\n"
        "  table { page-break-inside: avoid; } tr.differs td { -webkit-print-color-adjust: exact;"
        " print-color-adjust: exact; } }\n"
        "</style>\n</head>\n<body>\n<h1>ZEL-A-2X service report</h1>\n<p>Made " +
        Escape(LocalTimeText(d.madeAt)) + " by " + Escape(d.program) +
        ".</p>\n<h2>Sensor</h2>\n"
        "<table id=\"identity\" border=\"1\" cellspacing=\"0\" cellpadding=\"3\">\n";
    auto row = [&](const char* title, const char* id, const std::string& value) {
        html += std::string("<tr><th>") + title + "</th>" +
                Cell(value, std::string("id=\"") + id + "\"") + "</tr>\n";
    };
    row("Port", "port", port);
    row("Device", "device", s.device);
    row("Sensor", "answers", d.answered ? "answers" : "no reply");
    row("Hardware type", "hardware", s.hardware >= 0 ? std::to_string(s.hardware) : noReply);
    row("Firmware", "firmware", !s.firmware.empty() ? s.firmware : noReply);
    html += "</table>\n";
    html += BlockTable(d, 0);
    html += BlockTable(d, 1);
    html += HistoryTable(d);
    html += "</body>\n</html>\n";
    return html;
}
