// teach, refresh, reset and scope: the sensor's commands and its live data, through the same
// operations as the window's buttons and scope loop.
#include "cli/blocks.h"
#include "cli/commands.h"
#include "core/line.h"
#include "host/clock.h"
#include "link/frames.h"
#include "link/sensor_commands.h"
#include "link/stream.h"
#include "params/bands.h"
#include "params/block_ops.h"
#include "scope/scope_csv.h"
#include "store/textfile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

// Teach, refresh and reset: the sensor command, then block 0 read back from RAM.
int CmdSensorCommand(Session& s) {
    if (!Connect(s)) {
        return kExitFailed;
    }
    const std::string& c = s.opts.command;
    bool b = !s.opts.args.empty() && s.opts.args[0] == "b";
    ExchangeResult r;
    std::string done = "Parameter-frame received! - Line Ok!";
    if (c == "teach") {
        r = TeachSetpoint(com, b ? 1 : 0);
        done = b ? "New setpoint value CHB teached!" : "New setpoint value CHA teached!";
    } else if (c == "reset") {
        r = ResetSensor(com, s.block0.data());
    } else {
        r = RefreshChannel(com, b, s.block0.data());
    }
    if (!CommandReplied(r)) {
        s.io.fail(CommandText(r), r);
        return kExitFailed;
    }
    if (!GetBlock(s, kMemoryRam, 0)) {
        return kExitFailed;
    }
    if (s.opts.json) {
        Json j;
        j.add("command", c);
        if (!s.opts.args.empty()) {
            j.add("channel", s.opts.args[0]);
        }
        j.raw("words", BlockJson(s.block0, 0));
        s.io.result(j);
    } else {
        s.io.note(done);
        PrintBlock(s, s.block0, 0, "Block 0 (RAM):");
    }
    return kExitOk;
}

namespace {
// Where the rows go: a file of its own, or stdout.
struct RowSink {
    FILE* out = stdout;
    std::string name = "stdout";
    int err = 0; // the first write that failed
    bool write(const char* data, std::size_t n) {
        if (err == 0 && std::fwrite(data, 1, n, out) != n) {
            err = errno ? errno : EIO;
        }
        return err == 0;
    }
    bool flush() {
        if (err == 0 && std::fflush(out) != 0) {
            err = errno ? errno : EIO;
        }
        return err == 0;
    }
    bool close(Output& io) {
        if (out == stdout) {
            flush();
            if (err != 0) {
                io.stdoutFailed(err); // told once, as a stdout failure
            }
            return err == 0;
        }
        bool flushed = flush();
        if (std::fclose(out) != 0 && flushed) {
            err = errno ? errno : EIO;
        }
        out = nullptr;
        return err == 0;
    }
};
} // namespace

int CmdScope(Session& s) {
    RowSink rows;
    if (!s.opts.csv.empty()) {
        rows.name = s.opts.csv;
        std::string why;
        rows.out = OpenOutputFile(s.opts.csv, false, why);
        if (!rows.out) {
            s.io.fail(s.opts.csv + ": cannot be written (" + why + ")");
            return kExitFailed;
        }
    }
    if (!Connect(s)) {
        rows.close(s.io);
        return kExitFailed;
    }
    const SwitchingBands bands = BandsOf(s.block0[1], s.block0[2], s.block0[3], s.block0[4]);
    rows.write(kScopeCsvHeader, std::strlen(kScopeCsvHeader));

    // Stop and wait: one data request outstanding at a time; the time-out runs from the last
    // request sent.
    ExchangeResult ended; // what ended the stream, when the line did
    ended.order = ORDER_DATA;
    long samples = 0;
    const double t0 = Timer();
    double lastFlush = t0;
    DataStream stream;
    StartStream(stream, com, s.block0.data());
    bool timedOut = false;
    for (;;) {
        const StreamSample next = NextSample(stream, s.block0.data(), &s.interrupted);
        if (next.step == StreamStep::Timeout) {
            timedOut = true;
            break;
        }
        if (next.step != StreamStep::Sample) {
            break;
        }
        const auto& w = next.words;
        double t = next.at - t0;
        ScopeSample sample{t,         w[0],      w[1],       w[2],      w[3],     bands.refA,
                           bands.upA, bands.loA, bands.refB, bands.upB, bands.loB};
        char row[kScopeCsvRowMax];
        ++samples;
        if (!rows.write(row, FormatScopeCsvRow(sample, row))) {
            break;
        }
        // At least once a second the rows reach the file, so a full disk shows early.
        if (Timer() - lastFlush >= 1.0) {
            lastFlush = Timer();
            if (!rows.flush()) {
                break;
            }
        }
        bool enough = (s.opts.samples > 0 && samples >= s.opts.samples) ||
                      (s.opts.seconds > 0 && t >= s.opts.seconds);
        if (enough || s.interrupted) {
            break;
        }
    }
    StopStream(stream);
    const double took = Timer() - t0;
    FlushQueues(com);

    int code = kExitOk;
    bool written = rows.close(s.io);
    if (s.lost || PortLost()) {
        ended.outcome = Outcome::PortLost;
        s.io.fail(PortLostText(), ended);
        code = kExitFailed;
    } else if (timedOut) {
        ended.outcome = Outcome::Timeout;
        s.io.fail("Timeout RS232-Line!", ended);
        code = kExitFailed;
    }
    if (!written) {
        if (rows.name != "stdout") {
            s.io.fail(WriteError(rows.name, rows.err));
        }
        code = kExitFailed;
    }
    double rate = took > 0 ? static_cast<double>(samples) / took : 0;
    constexpr double kLineLimit = kLineLimitPerSec;
    if (s.opts.json) {
        Json j;
        j.add("command", "scope").add("samples", static_cast<long long>(samples));
        j.add("seconds", took).add("samples_per_s", rate).add("line_limit_per_s", kLineLimit);
        j.add("timeouts", timedOut ? 1 : 0);
        std::fprintf(stderr, "%s\n", j.str().c_str());
    } else if (!s.opts.quiet) {
        std::fprintf(stderr,
                     "%ld samples in %.2f s: %.2f samples/s (%.0f %% of the line's %.2f/s), "
                     "%d time-outs\n",
                     samples, took, rate, 100.0 * rate / kLineLimit, kLineLimit, timedOut ? 1 : 0);
    }
    return code;
}
