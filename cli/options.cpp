#include "cli/cli.h"

#include "cli/commands.h"
#include "cli/session.h"
#include "host/cmdline.h"
#include "serial/serial.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <set>

namespace {

struct CommandInfo {
    const char* name;
    const char* help;
    std::set<std::string> options; // besides the common ones
    int (*run)(Session&);
    // The run ends with the operation's --log line (flash writes its own, one per sensor; scan
    // and history write none).
    bool logged;
};

const CommandInfo kCommands[] = {
    {"scan",
     "Usage: zel-vavod-cli scan [common options]\n"
     "Probes every serial port on offer and every --com binding with the line check, all at\n"
     "once; prints per port whether a sensor answers, its hardware type and firmware text.\n",
     {},
     CmdScan,
     false},
    {"info",
     "Usage: zel-vavod-cli info [common options]\n"
     "Line check, hardware type, firmware text and both parameter blocks from RAM.\n",
     {},
     CmdInfo,
     true},
    {"get",
     "Usage: zel-vavod-cli get --from ram|eeprom [--block 0|1] [-o FILE] [common options]\n"
     "Reads a parameter block and prints it, or saves block 0 as a parameter file (-o), the\n"
     "same file the tool saves.\n",
     {"--from", "--block", "-o"},
     CmdGet,
     true},
    {"send",
     "Usage: zel-vavod-cli send --to ram|eeprom (FILE | --set INDEX=VALUE ... |\n"
     "                          --history ID [--set INDEX=VALUE ...]) [common options]\n"
     "Sends block 0 from a parameter file, the sensor's current block 0 with the given\n"
     "words changed (INDEX 0..14, VALUE 0..65535; word 6 takes 0..3), or the words of a\n"
     "block 0 entry of the history (see zel-vavod-cli history).\n",
     {"--to", "--set", "--history"},
     CmdSend,
     true},
    {"diff",
     "Usage: zel-vavod-cli diff A B [common options]\n"
     "Compares block 0 word by word; A and B are each a parameter file, ram or eeprom.\n"
     "Exit 0 when equal, 1 when they differ.\n",
     {},
     CmdDiff,
     true},
    {"history",
     "Usage: zel-vavod-cli history [--json] [common options]\n"
     "Lists the parameter sets that passed the tool, in either program, oldest first: id,\n"
     "time, got/sent/loaded/saved, ram/eeprom/file, block, port, sensor and words. The\n"
     "history is kept in $XDG_DATA_HOME/zel-vavod/history.json (the newest 1000 sets).\n",
     {},
     CmdHistory,
     false},
    {"report",
     "Usage: zel-vavod-cli report -o FILE [common options]\n"
     "Reads both blocks of RAM and EEPROM and writes the service report: the sensor's\n"
     "identity, the blocks side by side with differences marked, and this visit's sets from\n"
     "the history. HTML, or PDF when FILE ends in .pdf (made by zel-vavod beside this tool).\n",
     {"-o"},
     CmdReport,
     true},
    {"teach",
     "Usage: zel-vavod-cli teach a|b [common options]\n"
     "Teaches the channel's current raw value as its new reference.\n",
     {},
     CmdSensorCommand,
     true},
    {"refresh",
     "Usage: zel-vavod-cli refresh a|b [common options]\nRefreshes a channel.\n",
     {},
     CmdSensorCommand,
     true},
    {"reset",
     "Usage: zel-vavod-cli reset [common options]\nResets the sensor: RAM takes the EEPROM.\n",
     {},
     CmdSensorCommand,
     true},
    {"scope",
     "Usage: zel-vavod-cli scope [--seconds N | --samples N] [--csv FILE] [common options]\n"
     "Streams live data as CSV rows (t_s,raw_a,raw_b,in_state,out_state,ref_a,up_a,lo_a,\n"
     "ref_b,up_b,lo_b) until N seconds or samples, a line time-out, or Ctrl-C.\n",
     {"--seconds", "--samples", "--csv"},
     CmdScope,
     true},
    {"flash",
     "Usage: zel-vavod-cli flash [--cha FILE] [--chb FILE] [--header | --no-header]\n"
     "                           [--tables | --no-tables] [--set H1=..,H3A=1.5,..]\n"
     "                           [--retries N] [--loop] [common options]\n"
     "Programs the X-FLASH as the calibration panel's Write X-FLASH does. Header values come\n"
     "from the files (CHA loaded first, then CHB) and --set (H1 H2 H3A H3B H4A H4B H5A H5B).\n"
     "--retries N erases and writes a page that missed a reply again, up to N times.\n"
     "--loop programs one sensor after another until Ctrl-C.\n",
     {"--cha", "--chb", "--header", "--no-header", "--tables", "--no-tables", "--set", "--retries",
      "--loop"},
     CmdFlash,
     false},
};

const CommandInfo* FindCommand(const std::string& name) {
    for (const auto& c : kCommands) {
        if (name == c.name) {
            return &c;
        }
    }
    return nullptr;
}

bool ParseInt(const std::string& s, long long min, long long max, long long& out) {
    if (s.empty()) {
        return false;
    }
    char* end = nullptr;
    long long v = std::strtoll(s.c_str(), &end, 10);
    if (*end != '\0' || v < min || v > max) {
        return false;
    }
    out = v;
    return true;
}

bool ParsePositive(const std::string& s, double& out) {
    char* end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    if (s.empty() || *end != '\0' || !std::isfinite(v) || v <= 0) {
        return false;
    }
    out = v;
    return true;
}

} // namespace

const char* CliUsage() {
    return "Usage: zel-vavod-cli COMMAND [options]\n"
           "Service and programming tool for the ZEL-A-2X sensor, without a window.\n\n"
           "Commands: scan, info, get, send, diff, history, report, teach, refresh, reset,\n"
           "          scope, flash (zel-vavod-cli COMMAND --help for each)\n\n"
           "Common options:\n"
           "  --port N           port number in use (default: the window's port file)\n"
           "  --com N=DEVICE     port number N means DEVICE; repeatable\n"
           "  --device PATH      the port in use means PATH\n"
           "  --simulate         start the simulated sensor and use it on the port in use\n"
           "  --sim-args \"...\"   further options for the simulated sensor\n"
           "  --json             one JSON object per result on stdout\n"
           "  --log FILE         append one JSON line per operation to FILE\n"
           "  --trace FILE       write every frame sent and received to FILE, one line each\n"
           "  --quiet            no progress or informational lines\n"
           "  --help, --version\n\n"
           "Exit codes: 0 done, 1 no answer or a step failed, 2 usage, 3 a file is unreadable or "
           "invalid.\n";
}

const char* CommandHelp(const std::string& command) {
    const CommandInfo* c = FindCommand(command);
    return c ? c->help : nullptr;
}

std::vector<std::string> CommandNames() {
    std::vector<std::string> names;
    for (const auto& c : kCommands) {
        names.emplace_back(c.name);
    }
    return names;
}

int RunCommand(Session& s) {
    const CommandInfo* c = FindCommand(s.opts.command);
    if (!c) {
        // The parser refuses such a command; a caller that fills the options itself may not.
        s.io.fail("unknown command " + s.opts.command + " (see --help)");
        return kExitUsage;
    }
    const int code = c->run(s);
    return c->logged ? Done(s, code) : code;
}

bool ParseCli(int argc, char** argv, CliOptions& o, std::string& error) {
    // Qt's parser splits the words; what each option's value means is checked below, in the
    // tool's own words.
    static const std::vector<CommandLineOption> kOptions = {
        {{"help", "h"}, false},  {{"version"}, false},   {{"json"}, false},
        {{"quiet", "q"}, false}, {{"simulate"}, false},  {{"sim-args"}, true},
        {{"log"}, true},         {{"trace"}, true},      {{"device"}, true},
        {{"port"}, true},        {{"com"}, true},        {{"to"}, true},
        {{"from"}, true},        {{"block"}, true},      {{"o"}, true},
        {{"csv"}, true},         {{"cha"}, true},        {{"chb"}, true},
        {{"seconds"}, true},     {{"samples"}, true},    {{"history"}, true},
        {{"retries"}, true},     {{"header"}, false},    {{"no-header"}, false},
        {{"tables"}, false},     {{"no-tables"}, false}, {{"loop"}, false},
        {{"set"}, true},
    };
    CommandLine line;
    std::string offending;
    const CommandLineError split = SplitCommandLine(argc, argv, kOptions, line, offending);
    const CommandInfo* named = line.positional.empty() ? nullptr : FindCommand(line.positional[0]);
    if (split == CommandLineError::UnknownOption) {
        error = "unknown option " + offending +
                (named ? " for " + std::string(named->name) : std::string()) + " (see --help)";
        return false;
    }
    if (split == CommandLineError::MissingValue) {
        error = offending == "--device"  ? "--device needs a path"
                : offending == "--trace" ? "--trace needs a file name"
                                         : offending + " needs a value";
        return false;
    }
    // The command first, then the options in the order given, then the command's words.
    std::vector<std::string> words;
    if (!line.positional.empty()) {
        words.push_back(line.positional[0]);
    }
    words.insert(words.end(), line.options.begin(), line.options.end());
    if (line.positional.size() > 1) {
        words.insert(words.end(), line.positional.begin() + 1, line.positional.end());
    }
    const int count = static_cast<int>(words.size());
    const CommandInfo* cmd = nullptr;
    for (int i = 0; i < count; ++i) {
        std::string a = words[static_cast<std::size_t>(i)];
        auto value = [&](std::string& out) {
            if (i + 1 >= count) {
                error = a + " needs a value";
                return false;
            }
            out = words[static_cast<std::size_t>(++i)];
            return true;
        };
        auto commandOption = [&] {
            if (!cmd || !cmd->options.count(a)) {
                error = "unknown option " + a + (cmd ? " for " + std::string(cmd->name) : "") +
                        " (see --help)";
                return false;
            }
            return true;
        };
        std::string v;
        long long n = 0;
        if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (a == "--version") {
            o.version = true;
        } else if (a == "--json") {
            o.json = true;
        } else if (a == "--quiet" || a == "-q") {
            o.quiet = true;
        } else if (a == "--simulate") {
            o.simulate = true;
        } else if (a == "--sim-args") {
            if (!value(o.simArgs)) {
                return false;
            }
        } else if (a == "--log") {
            if (!value(o.logFile)) {
                return false;
            }
        } else if (a == "--trace") {
            if (!value(o.traceFile) || o.traceFile.empty()) {
                error = "--trace needs a file name";
                return false;
            }
        } else if (a == "--device") {
            if (!value(o.device) || o.device.empty()) {
                error = "--device needs a path";
                return false;
            }
            if (std::string why; !CheckPortAddress(o.device, why)) {
                error = "--device " + o.device + ": " + why;
                return false;
            }
        } else if (a == "--port") {
            if (!value(v) || !ParseInt(v, 0, 255, n)) {
                error = "--port " + v + ": expected a number from 0 to 255";
                return false;
            }
            o.port = static_cast<int>(n);
        } else if (a == "--com") {
            if (!value(v)) {
                return false;
            }
            auto eq = v.find('=');
            if (eq == std::string::npos || !ParseInt(v.substr(0, eq), 0, 255, n) ||
                eq + 1 == v.size()) {
                error = "--com " + v + ": expected N=DEVICE with N from 0 to 255";
                return false;
            }
            if (std::string why; !CheckPortAddress(v.substr(eq + 1), why)) {
                error = "--com " + v + ": " + why;
                return false;
            }
            o.bindings.emplace_back(static_cast<int>(n), v.substr(eq + 1));
        } else if (a.size() > 1 && a[0] == '-') {
            if (!commandOption()) {
                return false;
            }
            if (a == "--from" || a == "--to") {
                if (!value(v) || (v != "ram" && v != "eeprom")) {
                    error = a + " " + v + ": expected ram or eeprom";
                    return false;
                }
                (a == "--from" ? o.from : o.to) = v;
            } else if (a == "--block") {
                if (!value(v) || !ParseInt(v, 0, 1, n)) {
                    error = "--block " + v + ": expected 0 or 1";
                    return false;
                }
                o.block = static_cast<int>(n);
            } else if (a == "-o" || a == "--csv" || a == "--cha" || a == "--chb") {
                if (!value(v) || v.empty()) {
                    error = a + " needs a file name";
                    return false;
                }
                (a == "-o"      ? o.output
                 : a == "--csv" ? o.csv
                 : a == "--cha" ? o.chaFile
                                : o.chbFile) = v;
            } else if (a == "--seconds") {
                if (!value(v) || !ParsePositive(v, o.seconds)) {
                    error = "--seconds " + v + ": expected a positive number";
                    return false;
                }
            } else if (a == "--samples") {
                if (!value(v) || !ParseInt(v, 1, 1000000000L, n)) {
                    error = "--samples " + v + ": expected a positive whole number";
                    return false;
                }
                o.samples = n;
            } else if (a == "--history") {
                // Every id a history can hold: whole numbers up to 2^53 - 1.
                if (!value(v) || !ParseInt(v, 1, 9007199254740991LL, n)) {
                    error =
                        "--history " + v + ": expected an entry's id (see zel-vavod-cli history)";
                    return false;
                }
                o.historyId = n;
            } else if (a == "--retries") {
                if (!value(v) || !ParseInt(v, 0, 100, n)) {
                    error = "--retries " + v + ": expected a number from 0 to 100";
                    return false;
                }
                o.retries = static_cast<int>(n);
            } else if (a == "--header" || a == "--no-header") {
                o.header = a == "--header";
            } else if (a == "--tables" || a == "--no-tables") {
                o.tables = a == "--tables";
            } else if (a == "--loop") {
                o.loop = true;
            } else if (a == "--set") {
                if (!value(v)) {
                    return false;
                }
                // send: INDEX=VALUE, one per --set; flash: NAME=VALUE[,NAME=VALUE...]
                std::size_t at = 0;
                while (at <= v.size()) {
                    std::size_t comma =
                        cmd->name == std::string("flash") ? v.find(',', at) : std::string::npos;
                    std::string item =
                        v.substr(at, comma == std::string::npos ? v.npos : comma - at);
                    auto eq = item.find('=');
                    if (eq == std::string::npos || eq == 0 || eq + 1 == item.size()) {
                        error = "--set " + v + ": expected NAME=VALUE";
                        return false;
                    }
                    std::string name = item.substr(0, eq), val = item.substr(eq + 1);
                    if (cmd->name == std::string("flash")) {
                        o.headerSets.emplace_back(name, val);
                    } else {
                        long long idx = 0, word = 0;
                        if (!ParseInt(name, 0, 14, idx) || !ParseInt(val, 0, 65535, word) ||
                            (idx == 6 && word > 3)) {
                            error = "--set " + item +
                                    ": expected INDEX=VALUE, INDEX 0..14, VALUE 0..65535 (word 6: "
                                    "0..3)";
                            return false;
                        }
                        o.sets.emplace_back(static_cast<int>(idx), static_cast<unsigned>(word));
                    }
                    if (comma == std::string::npos) {
                        break;
                    }
                    at = comma + 1;
                }
            }
        } else if (!cmd && o.command.empty()) {
            cmd = FindCommand(a);
            if (!cmd) {
                error = "unknown command " + a + " (see --help)";
                return false;
            }
            o.command = a;
        } else {
            o.args.push_back(a);
        }
    }
    if (o.help || o.version) {
        return true;
    }
    if (o.command.empty()) {
        error = "no command given (see --help)";
        return false;
    }
    const std::string& c = o.command;
    auto argCount = [&](std::size_t want) {
        if (o.args.size() != want) {
            error = c + ": expected " + std::to_string(want) + " argument" +
                    (want == 1 ? "" : "s") + " (see " + c + " --help)";
            return false;
        }
        return true;
    };
    if (c == "teach" || c == "refresh") {
        if (!argCount(1)) {
            return false;
        }
        if (o.args[0] != "a" && o.args[0] != "b") {
            error = c + " " + o.args[0] + ": expected a or b";
            return false;
        }
    } else if (c == "diff") {
        return argCount(2);
    } else if (c == "get") {
        if (o.from.empty()) {
            error = "get needs --from ram|eeprom";
            return false;
        }
        if (!o.output.empty() && o.block != 0) {
            error = "get -o saves block 0, as the panel does";
            return false;
        }
        return argCount(0);
    } else if (c == "send") {
        if (o.to.empty()) {
            error = "send needs --to ram|eeprom";
            return false;
        }
        if (o.historyId > 0 ? !o.args.empty() : o.args.size() + (o.sets.empty() ? 0 : 1) != 1) {
            error = "send needs either a parameter file, --set INDEX=VALUE or --history ID";
            return false;
        }
    } else if (c == "report") {
        if (o.output.empty()) {
            error = "report needs -o FILE (.html, or .pdf)";
            return false;
        }
        return argCount(0);
    } else if (c == "scope") {
        if (o.seconds > 0 && o.samples > 0) {
            error = "scope takes --seconds or --samples, not both";
            return false;
        }
        return argCount(0);
    } else {
        return argCount(0);
    }
    return true;
}
