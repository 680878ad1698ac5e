// report: the service report, as HTML or (through the window program) PDF.
#include "cli/blocks.h"
#include "cli/commands.h"
#include "host/host.h"
#include "params/block_ops.h"
#include "params/history.h"
#include "params/service_report.h"
#include "store/textfile.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <string>

namespace {
bool EndsWith(const std::string& s, const std::string& end) {
    if (s.size() < end.size()) {
        return false;
    }
    return std::equal(end.rbegin(), end.rend(), s.rbegin(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == static_cast<unsigned char>(b);
    });
}

// The report as PDF: the window program lays it out (Qt Gui), so this tool stays free of it.
bool WritePdfThroughWindowProgram(Session& s, const std::string& html, const std::string& path) {
    // The page goes to a file of our own, made exclusively beside the report (nothing planted
    // there is followed), and only that file is removed; the window program gets absolute
    // names, so none of them reads as an option.
    std::string temp, error;
    if (!WritePrivateTempFile(FolderOf(path), ".html", html, temp, &error)) {
        s.io.fail(path + ": cannot be written (" + error + ")");
        return false;
    }
    const std::string program = GetExecutableDir() + "/zel-vavod";
    int code =
        RunProgram(program, {"--html-to-pdf", temp, AbsolutePath(path)}, kPdfLimitSec, error);
    std::remove(temp.c_str());
    if (code != 0) {
        s.io.fail(path + ": no PDF made (" + error + ")");
        return false;
    }
    return true;
}
} // namespace

int CmdReport(Session& s) {
    ServiceReportData d;
    d.program = std::string("zel-vavod-cli ") + ZEL_CLI_VERSION;
    d.madeAt = static_cast<std::int64_t>(std::time(nullptr));
    // A sensor that does not answer is reported as such: the report is written all the same.
    d.answered = Connect(s, false);
    bool complete = d.answered;
    if (d.answered) {
        Identify(s);
        for (int block = 0; block < 2; ++block) {
            for (int memory : {kMemoryRam, kMemoryEeprom}) {
                ExchangeResult r = ReadBlock(com, memory, static_cast<std::uint32_t>(block),
                                             BlockInHand(s, block).data());
                ReportBlock& out = memory == kMemoryRam ? d.ram[block] : d.eeprom[block];
                out.answered = r.ok();
                if (r.ok()) {
                    std::copy_n(r.reply.words.begin(), out.words.size(), out.words.begin());
                } else {
                    s.io.fail(BlockReadText(r), r);
                    complete = false;
                }
            }
        }
    }
    d.sensor = CliSensor(s);
    const HistoryFile h = ReadHistory(HistoryFilePath());
    TellHistory(s, h.notice, h.error);
    d.history = SensorVisit(h.records, d.sensor, kVisitGapSeconds);
    d.historyScope = "Parameter sets that passed the tool for this sensor in this visit (back to "
                     "the first pause of more than 30 minutes), oldest first.";
    const std::string html = ServiceReportHtml(d);
    const bool pdf = EndsWith(s.opts.output, ".pdf");
    bool written = false;
    if (pdf) {
        written = WritePdfThroughWindowProgram(s, html, s.opts.output);
    } else {
        std::string error;
        written = WriteFileAtomic(s.opts.output, html, &error);
        if (!written) {
            s.io.fail(s.opts.output + ": cannot be written (" + error + ")");
        }
    }
    if (!written) {
        return kExitFailed;
    }
    if (s.opts.json) {
        Json j;
        j.add("command", "report").add("file", s.opts.output).add("format", pdf ? "pdf" : "html");
        j.add("answered", d.answered).add("entries", static_cast<long long>(d.history.size()));
        s.io.result(j);
    } else {
        s.io.note("Service report written to " + s.opts.output);
    }
    return complete ? kExitOk : kExitFailed;
}
