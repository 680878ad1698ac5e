// zel-vavod-cli: the sensor's service operations from the command line, without a window. Every
// outcome comes from the operations' typed results and is told in the tool's own words, the
// same the window's status line uses. The commands live one group to a file and are run from
// the command table (options.cpp); this file starts and ends a run.
#include "cli/cli.h"
#include "cli/session.h"
#include "host/host.h"
#include "link/traffic.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// The end of every run: a failure told as JSON too, and stdout checked.
int Finish(Session& s, int code) {
    if (s.opts.json && code != kExitOk && s.io.failed()) {
        std::string text =
            s.io.failureJson(s.opts.command.empty() ? "zel-vavod-cli" : s.opts.command);
        // The scope's rows may fill stdout: its failure goes with its summary then.
        if (s.opts.command == "scope" && s.opts.csv.empty()) {
            std::fprintf(stderr, "%s\n", text.c_str());
        } else {
            s.io.out(text + "\n");
        }
    }
    if (s.log.failed && code == kExitOk) {
        code = kExitFailed;
    }
    if (!s.io.flushStdout()) {
        Error(WriteError("stdout", s.io.stdoutErrno()));
        return kExitFailed;
    }
    return code;
}

} // namespace

int main(int argc, char** argv) {
    // Ctrl-C and a lost port reach it through the system's callbacks until the process ends.
    static Session s;
    std::string error;
    if (!ParseCli(argc, argv, s.opts, error)) {
        std::fprintf(stderr,
                     "zel-vavod-cli: %s\nUsage: zel-vavod-cli COMMAND [options] (see --help)\n",
                     error.c_str());
        // The parse may have stopped before --json: look for it among the words.
        s.opts.json = std::any_of(argv + 1, argv + argc,
                                  [](const char* a) { return std::strcmp(a, "--json") == 0; });
        s.io.keepFailure(error);
        return Finish(s, kExitUsage);
    }
    s.io.quiet = s.opts.quiet;
    if (s.opts.version) {
        s.io.out(std::string("zel-vavod-cli ") + ZEL_CLI_VERSION + "\n");
        return Finish(s, kExitOk);
    }
    if (s.opts.help) {
        const char* text = CommandHelp(s.opts.command);
        s.io.out(text ? text : CliUsage());
        return Finish(s, kExitOk);
    }
    if (!StartHeadlessRuntime(argc, argv)) {
        s.io.fail("the run-time did not start");
        return Finish(s, kExitFailed);
    }
    StartSession(s);
    if (!s.opts.traceFile.empty()) {
        // The trace is a record beside the operation: a trace that cannot be written is named,
        // and the operation goes on and decides the exit code.
        if (std::string traceError; !StartTrace(s.opts.traceFile, traceError)) {
            Error(traceError);
        }
    }
    int code = ChoosePort(s) ? RunCommand(s) : kExitFailed;
    ClosePort(s);
    StopTrace();
    if (!TraceError().empty()) {
        Error(TraceError());
    }
    StopSimulator();
    StopHeadlessRuntime();
    return Finish(s, code);
}
