// flash: X-FLASH programming as the calibration panel's Write X-FLASH does it, once or for one
// sensor after another.
#include "calib/flash_ops.h"
#include "calib/header_words.h"
#include "cli/commands.h"
#include "host/clock.h"
#include "host/console.h"
#include "link/sensor.h"
#include "serial/serial.h"
#include "store/textfile.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

struct FlashSetup {
    FlashPlan plan;
    std::vector<std::uint16_t> tableA, tableB;
};
struct FlashRun {
    double t0 = 0;
    bool progress = false;
    bool shown = false;
};

// One run of the flash command: what goes out, and how far it has come.
struct FlashJob {
    FlashSetup setup;
    FlashRun run;
};

void OnFlashEvent(const FlashEvent& e, void* context) {
    FlashRun& run = *static_cast<FlashRun*>(context);
    if (!run.progress || e.before || e.total <= 0) {
        return;
    }
    double elapsed = Timer() - run.t0;
    double left = e.done > 0 ? elapsed * (e.total - e.done) / e.done : 0;
    std::fprintf(stderr, "\rX-FLASH page %2d  %3d %%  %5.1f s left ", e.page,
                 100 * e.done / e.total, left);
    run.shown = true;
}

// The header words a calibration file sets, as the calibration panel takes them.
void TakeHeader(FlashSetup& setup, const CalibFileContent& c, bool channelB) {
    if (!c.hasHeader) {
        return;
    }
    auto& h = setup.plan.headerWords; // H1, H2, H3A, H3B, H4A, H4B, H5A, H5B
    if (c.h1Read) {
        h[0] = c.h1;
    }
    if (c.h2Read) {
        h[1] = c.h2;
    }
    h[channelB ? 3 : 2] = H3FromReal(c.h3);
    if (c.h4Read) {
        h[channelB ? 5 : 4] = c.h4;
    }
    if (c.h5Read) {
        h[channelB ? 7 : 6] = c.h5;
    }
}

bool LoadCalib(Session& s, FlashSetup& setup, const std::string& path, bool channelB) {
    CalibFileLoad load = LoadCalibFile(path);
    if (!load.ok) {
        s.io.fail(path + ": " + load.problem);
        return false;
    }
    TakeHeader(setup, load.content, channelB);
    (channelB ? setup.tableB : setup.tableA)
        .assign(std::begin(load.content.table), std::end(load.content.table));
    return true;
}

// H3 as the panel's field holds it: within +-1000, ten decimals.
double AsH3Field(double v) {
    v = std::clamp(v, -1000.0, 1000.0);
    return std::round(v * 1e10) / 1e10;
}

bool ApplyHeaderSets(Session& s, FlashSetup& setup) {
    static const std::map<std::string, int> kWords = {{"H1", 0},  {"H2", 1},  {"H3A", 2},
                                                      {"H3B", 3}, {"H4A", 4}, {"H4B", 5},
                                                      {"H5A", 6}, {"H5B", 7}};
    for (const auto& [name, value] : s.opts.headerSets) {
        auto it = kWords.find(name);
        if (it == kWords.end()) {
            s.io.fail("--set " + name + ": expected one of H1 H2 H3A H3B H4A H4B H5A H5B");
            return false;
        }
        auto& word = setup.plan.headerWords[static_cast<std::size_t>(it->second)];
        if (name.rfind("H3", 0) == 0) {
            double v = 0;
            if (!ParseReal(value, v)) {
                s.io.fail("--set " + name + "=" + value + ": expected a number");
                return false;
            }
            word = H3FromReal(AsH3Field(v));
        } else {
            std::uint64_t v = 0;
            if (!ParseUnsigned(value, 0xFFFF, v)) {
                s.io.fail("--set " + name + "=" + value + ": expected 0 to 65535");
                return false;
            }
            word = static_cast<std::uint16_t>(v);
        }
    }
    return true;
}

struct FlashOutcome {
    bool failed[kFlashPages] = {};
    bool retried[kFlashPages] = {};
    bool programmed[kFlashPages] = {};
    bool interrupted = false; // Ctrl-C or SIGTERM ended it after the order in progress
    double seconds = 0;
    bool ok() const {
        return std::none_of(std::begin(failed), std::end(failed), [](bool b) { return b; });
    }
};

std::string PageList(const bool* pages, const char* separator) {
    std::string s;
    for (int p = 0; p < kFlashPages; ++p) {
        if (pages[p]) {
            s += (s.empty() ? "" : separator) + std::to_string(p);
        }
    }
    return s;
}

FlashOutcome FlashOnce(Session& s, FlashJob& job) {
    FlashOutcome r;
    job.run.t0 = Timer();
    job.run.shown = false;
    job.setup.plan.stop = &s.interrupted;
    FlashReport report = ProgramXFlash(com, job.setup.plan, OnFlashEvent, &job.run);
    for (int p = 0; p < kFlashPages; ++p) {
        const PageOutcome& page = report.pages[static_cast<std::size_t>(p)];
        r.failed[p] = !page.ok;
        r.programmed[p] = page.attempted && page.ok;
    }
    for (int attempt = 0; attempt < s.opts.retries && !r.ok() && !s.lost && !s.interrupted;
         ++attempt) {
        for (int p = 0; p < kFlashPages && !s.interrupted; ++p) {
            if (r.failed[p]) {
                r.retried[p] = true;
                r.failed[p] = !ProgramPage(com, p, job.setup.plan).ok;
                r.programmed[p] = !r.failed[p];
            }
        }
    }
    r.interrupted = s.interrupted;
    if (job.run.shown) {
        std::fprintf(stderr, "\n");
    }
    r.seconds = Timer() - job.run.t0;
    return r;
}

void ReportFlash(Session& s, const FlashOutcome& r) {
    s.log.failedPages.clear();
    for (int p = 0; p < kFlashPages; ++p) {
        if (r.failed[p]) {
            s.log.failedPages.push_back(p);
        }
    }
    if (s.opts.json) {
        Json j;
        j.add("command", "flash").add("port", com).add("ok", r.ok()).add("seconds", r.seconds);
        j.raw("failed_pages", "[" + PageList(r.failed, ",") + "]");
        j.raw("retried_pages", "[" + PageList(r.retried, ",") + "]");
        j.add("interrupted", r.interrupted);
        s.io.result(j);
        return;
    }
    std::string line = r.ok() ? "X-FLASH programmed"
                              : "X-FLASH pages " + PageList(r.failed, ", ") + " not programmed";
    if (r.interrupted) {
        const std::string done = PageList(r.programmed, ", ");
        line = "X-FLASH interrupted: pages " + (done.empty() ? std::string("none") : done) +
               " programmed, pages " + PageList(r.failed, ", ") + " not programmed";
    }
    char took[32];
    std::snprintf(took, sizeof took, " in %.1f s", r.seconds);
    line += took;
    if (!PageList(r.retried, ", ").empty()) {
        line += "; retried pages " + PageList(r.retried, ", ");
    }
    if (r.ok()) {
        if (!s.opts.quiet) {
            s.io.out(line + "\n");
            s.io.flushStdout();
        }
    } else {
        Error(line);
    }
}

int FlashLoop(Session& s, FlashJob& job) {
    int programmed = 0, failed = 0;
    double total = 0;
    s.io.note("Waiting for a sensor on " + PortName(com) + " (Ctrl-C ends)");
    auto lineAnswers = [&s] { return LineCheck(com, s.block0.data()).ok(); };
    while (!s.interrupted) {
        // A sensor answers the line check.
        if (!s.portOpen && OpenLine(com) == 0) {
            s.portOpen = true;
        }
        if (!s.portOpen || !lineAnswers()) {
            if (s.portOpen && (s.lost || ComPortLost(com))) {
                ClosePort(s);
            }
            Wait(s, 0.5);
            continue;
        }
        Identify(s);
        FlashOutcome r = FlashOnce(s, job);
        (r.ok() ? programmed : failed) += 1;
        total += r.seconds;
        ReportFlash(s, r);
        LogOperation(s, r.ok() ? "ok" : "failed");
        // The line goes silent: that sensor has been taken away.
        while (!s.interrupted) {
            if (s.lost || ComPortLost(com) || !lineAnswers()) {
                break;
            }
            Wait(s, 0.5);
        }
        if (s.portOpen && (s.lost || ComPortLost(com))) {
            ClosePort(s);
        }
    }
    int n = programmed + failed;
    if (s.opts.json) {
        Json j;
        j.add("command", "flash-loop").add("programmed", programmed).add("failed", failed);
        j.add("seconds_per_sensor", n ? total / n : 0.0);
        s.io.result(j);
    } else {
        std::fprintf(stderr, "%d programmed, %d failed, %.1f s per sensor\n", programmed, failed,
                     n ? total / n : 0.0);
    }
    s.log.failedPages.clear();
    return failed == 0 ? kExitOk : kExitFailed;
}

} // namespace

int CmdFlash(Session& s) {
    FlashJob job;
    // CHA first, then CHB: both may set the shared header values, and the later file wins.
    if (!s.opts.chaFile.empty() && !LoadCalib(s, job.setup, s.opts.chaFile, false)) {
        return kExitFile;
    }
    if (!s.opts.chbFile.empty() && !LoadCalib(s, job.setup, s.opts.chbFile, true)) {
        return kExitFile;
    }
    if (!ApplyHeaderSets(s, job.setup)) {
        return kExitUsage;
    }
    // The panel's switches: the header page on, the tables on once a file is loaded.
    bool loaded = !job.setup.tableA.empty() || !job.setup.tableB.empty();
    job.setup.plan.header = s.opts.header >= 0 ? s.opts.header == 1 : true;
    bool tables = s.opts.tables >= 0 ? s.opts.tables == 1 : loaded;
    job.setup.plan.tableA = tables && !job.setup.tableA.empty() ? job.setup.tableA.data() : nullptr;
    job.setup.plan.tableB = tables && !job.setup.tableB.empty() ? job.setup.tableB.data() : nullptr;
    job.run.progress = !s.opts.quiet && StderrIsTerminal();
    if (s.opts.loop) {
        return FlashLoop(s, job); // logs each sensor itself
    }
    if (!Connect(s)) {
        return Done(s, kExitFailed);
    }
    FlashOutcome r = FlashOnce(s, job);
    ReportFlash(s, r);
    LostReported(s);
    return Done(s, r.ok() ? kExitOk : kExitFailed);
}
