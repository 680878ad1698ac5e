// Sensors that answer as the byte tables allow, not as our simulator does by default: another
// echo in a standard reply, another sync word, bytes after each reply, look-alike noise before
// replies, an instant sensor. The window's routines over a pseudo-terminal: every action is
// answered, and nothing the sensor did not send reaches the record, the chart or the status.
#include "harness.h"

#include "calib/calib.h"
#include "core/state.h"
#include "link/link.h"
#include "params/params.h"
#include "params/record.h"
#include "runtime/ui.h"
#include "scope/scope.h"
#include "serial/serial.h"
#include "testkit/testing.h"

#include <QObject>
#include <QTimer>

#include <csignal>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace {

struct Variant {
    const char* name;
    std::vector<std::string> args;
    bool firmwareText; // the 72-byte firmware reply comes without extra bytes
};

const Variant kVariants[] = {
    {"echo zero", {"--echo", "zero"}, true},
    {"echo order+1", {"--echo", "order+1"}, true},
    {"echo second word", {"--echo", "second"}, true},
    {"sync 12 34", {"--sync", "0x1234"}, true},
    {"sync 00 00, echo zero", {"--sync", "0", "--echo", "zero"}, true},
    {"CR LF after each reply, UART FIFO", {"--trailer", "0D0A", "--fifo", "8"}, false},
    {"EE EE EE after each reply, wrong echo", {"--extra", "3", "--echo", "order+1"}, false},
    {"instant sensor", {"--baud", "0", "--latency", "0"}, true},
    {"instant sensor, echo zero, trailer",
     {"--baud", "0", "--latency", "0", "--echo", "zero", "--trailer", "0D0A"},
     false},
    {"look-alike noise", {"--lookalike-noise", "0.3", "--seed", "5"}, false},
};

class SensorVariantTest : public SimLinkTest {
  protected:
    void start(const Variant& v) {
        auto args = v.args;
        if (std::find(args.begin(), args.end(), "--latency") == args.end()) {
            args.insert(args.end(), {"--latency", "0"});
        }
        startSim(args);
    }
    void stop() {
        CloseCom(1);
        sim->signal(SIGTERM);
        sim->wait(5);
    }
    void commit(int control) {
        ClickCtrl(pA, control);
        ProcessSystemEvents();
    }
    // Every raw A value the sensor sent in a data reply (its sync word, 00 08, then raw A), from
    // its own log; a reply may follow noise in the same line, so every 00 08 counts.
    std::set<double> rawASent() const {
        std::set<double> sent;
        for (const auto& line : simLog()) {
            const auto tx = line.find(" TX ");
            if (tx == std::string::npos) {
                continue;
            }
            for (auto at = line.find("00 08 ", tx); at != std::string::npos;
                 at = line.find("00 08 ", at + 1)) {
                if (at + 11 <= line.size()) {
                    sent.insert(std::stoi(line.substr(at + 6, 2), nullptr, 16) * 256 +
                                std::stoi(line.substr(at + 9, 2), nullptr, 16));
                }
            }
        }
        return sent;
    }
};

TEST_F(SensorVariantTest, EveryActionIsAnsweredAndOnlyTheSensorsValuesAreShown) {
    for (const Variant& v : kVariants) {
        SCOPED_TRACE(v.name);
        start(v);
        // Start-up: line check, hardware type, both blocks, firmware.
        InitRS232(1);
        EXPECT_EQ(parameter[kBlock0 + 1], 512);
        EXPECT_EQ(parameter[kBlock0], 500);
        if (v.firmwareText) {
            EXPECT_EQ(status(), "V2.0");
        } else {
            // More than 72 bytes: no text is taken from bytes that may be shifted, and the
            // status line keeps the message before the request.
            EXPECT_TRUE(status() == "V2.0" || status() == "Parameter-frame received! - Line Ok!")
                << status();
        }
        // Send a new reference, then Get it back.
        SetCtrlVal(pA, MAIN_REFA, static_cast<unsigned short>(601));
        commit(MAIN_BTNSEND);
        EXPECT_EQ(status(), "Transmit para1 Ok!");
        SetCtrlVal(pA, MAIN_REFA, static_cast<unsigned short>(1));
        commit(MAIN_BTNGET);
        EXPECT_EQ(status(), "Parameter-frame received! - Line Ok!");
        unsigned short refA = 0;
        GetCtrlVal(pA, MAIN_REFA, &refA);
        EXPECT_EQ(refA, 601);
        // Teach, refresh A and B, reset: each answered, each followed by its read-back.
        commit(MAIN_BTNTEACH);
        EXPECT_EQ(status(), "New setpoint value CHA teached!");
        for (int control : {MAIN_BTNREFRESHA, MAIN_BTNREFRESHB, MAIN_BTNRESET}) {
            commit(control);
            EXPECT_EQ(status(), "Parameter-frame received! - Line Ok!") << control;
        }
        // The scope for a second: no time-out, every value plotted one the sensor sent.
        ClearTextHistory();
        QObject timers;
        QTimer::singleShot(1000, Qt::PreciseTimer, &timers, [] { ClickCtrl(pA, MAIN_BTNSTOP); });
        ClickCtrl(pA, MAIN_BTNRUN);
        ProcessSystemEvents();
        auto hist = statusHistory();
        EXPECT_EQ(std::find(hist.begin(), hist.end(), "Timeout RS232-Line!"), hist.end());
        const std::set<double> sent = rawASent();
        const auto rawA = StripChartTraces(pA, MAIN_STRIPCHART)[0];
        int shown = 0;
        for (double value : rawA) {
            if (value != 0) { // the cleared history scrolling out
                ++shown;
                EXPECT_TRUE(sent.count(value)) << value;
            }
        }
        EXPECT_GE(shown, 10);
        stop();
    }
}

TEST_F(SensorVariantTest, XFlashIsProgrammedWhateverTheEchoAndTrailer) {
    const Variant variants[] = {
        {"echo second word, trailer, FIFO",
         {"--echo", "second", "--trailer", "0D0A", "--fifo", "8", "--baud", "0"},
         false},
        {"wrong echo, EE after each reply", {"--wrong-echo", "--extra", "2", "--baud", "0"}, false},
    };
    for (const Variant& v : variants) {
        SCOPED_TRACE(v.name);
        start(v);
        InitRS232(1);
        // The header page: erase, header words.
        SetCtrlVal(pCalib, CAL_HEADERSW, 1);
        SetCtrlVal(pCalib, CAL_TABLESSW, 0);
        SetCtrlAttribute(pCalib, CAL_BTNWRITE, ATTR_DIMMED, 0);
        ClearTextHistory();
        ClickCtrl(pCalib, CAL_BTNWRITE);
        ProcessSystemEvents();
        auto hist = statusHistory();
        for (const auto& line : hist) {
            EXPECT_EQ(line.find("Timeout"), std::string::npos) << line;
        }
        stop();
    }
}

// The command-line tool against the same sensors: every command answered, exit 0, and a
// recording that holds only what the sensor sent.
TEST_F(SensorVariantTest, TheCommandLineToolTakesEveryValidReply) {
    for (const Variant& v : kVariants) {
        SCOPED_TRACE(v.name);
        start(v);
        auto run = [&](std::vector<std::string> args) {
            args.insert(args.end(), {"--device", sim->ptyPath()});
            return RunCli(args, tempDir, 60);
        };
        CliRun info = run({"info", "--json"});
        EXPECT_EQ(info.code, v.firmwareText ? 0 : 1) << info.err;
        EXPECT_NE(info.out.find("\"hardware\":0"), std::string::npos) << info.out;
        CliRun send = run({"send", "--to", "ram", "--set", "1=602"});
        EXPECT_EQ(send.code, 0) << send.err;
        const std::string trace = tempDir + "/trace.txt";
        CliRun get = run({"get", "--from", "ram", "--json", "--trace", trace});
        EXPECT_EQ(get.code, 0) << get.err;
        EXPECT_NE(get.out.find("\"value\":602"), std::string::npos) << get.out;
        if (std::find(v.args.begin(), v.args.end(), "0D0A") != v.args.end()) {
            // What was dropped is named in the trace, not lost without a word.
            std::ifstream in(trace);
            const std::string text((std::istreambuf_iterator<char>(in)), {});
            EXPECT_NE(text.find("0D 0A | dropped, 2 bytes after the reply"), std::string::npos)
                << text;
        }
        for (std::vector<std::string> command : {std::vector<std::string>{"teach", "a"},
                                                 {"refresh", "a"},
                                                 {"refresh", "b"},
                                                 {"reset"}}) {
            CliRun r = run(command);
            EXPECT_EQ(r.code, 0) << command[0] << ": " << r.err;
        }
        const std::string csv = tempDir + "/scope.csv";
        CliRun scope = run({"scope", "--seconds", "1", "--csv", csv});
        EXPECT_EQ(scope.code, 0) << scope.err;
        const std::set<double> sent = rawASent();
        std::ifstream in(csv);
        std::string line;
        std::getline(in, line); // the header
        int rows = 0;
        while (std::getline(in, line)) {
            ++rows;
            const auto comma = line.find(',');
            const double rawA = std::stod(line.substr(comma + 1));
            EXPECT_TRUE(sent.count(rawA)) << line;
        }
        EXPECT_GE(rows, 10);
        CliRun flash = run({"flash", "--no-tables"});
        EXPECT_EQ(flash.code, 0) << flash.err;
        stop();
    }
}

} // namespace

namespace {
// Unplugged, power-cycled with another Reference CHB in its EEPROM, plugged back on the same
// path: the window reads the set again, shows the sensor's new value where the operator left
// the panel alone and keeps the edit that was not sent.
TEST_F(SensorVariantTest, APowerCycledSensorIsReadAgainWhenItComesBack) {
    const std::string link = tempDir + "/sensor";
    startSim({"--unplug-after", "6", "--link", link, "--latency", "0"});
    BindComPort(1, link);
    InitRS232(1);
    ASSERT_EQ(status(), "V2.0");
    SetCtrlVal(pA, MAIN_REFA, static_cast<unsigned short>(555));
    RefreshUnsentMarks();
    CheckComLine(1); // the sixth request: the line drops after its reply
    auto pumpUntil = [](double limit, auto done) {
        const double end = Timer() + limit;
        while (Timer() < end && !done()) {
            ProcessSystemEvents();
        }
    };
    pumpUntil(3.0, [] { return PortLost(); });
    ASSERT_TRUE(PortLost());
    EXPECT_EQ(sim->wait(5), 0);
    zelsim::SimProcess again(ZEL_SIM_EXE, {"--link", link, "--eeprom-word", "2=733"});
    ASSERT_TRUE(again.ok());
    pumpUntil(4.0, [] { return !PortLost() && std::string(szStatus).rfind("COM1 back", 0) == 0; });
    EXPECT_EQ(status(), "COM1 back: the sensor's set changed (1 word); 1 unsent edit kept");
    unsigned short refA = 0, refB = 0;
    GetCtrlVal(pA, MAIN_REFA, &refA);
    GetCtrlVal(pA, MAIN_REFB, &refB);
    EXPECT_EQ(refA, 555);
    EXPECT_EQ(refB, 733);
    CloseCom(1);
    again.signal(SIGTERM);
    EXPECT_EQ(again.wait(5), 0);
}
} // namespace
