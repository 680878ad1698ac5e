// zel-vavod-cli from outside, against zel-sensor-sim over a pty: every command, its files and
// frames against the panel's, and its exit codes.
#include "harness.h"

#include "calib/calib.h"
#include "core/state.h"
#include "link/link.h"
#include "params/params.h"
#include "runtime/ui.h"
#include "testkit/testing.h"

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>

#include <csignal>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

class CliE2E : public SimLinkTest {
  protected:
    CliRun cli(std::vector<std::string> args, double timeout = 60) {
        return RunCli(args, tempDir, timeout);
    }
    // The same with the simulator's port in use.
    CliRun onSim(std::vector<std::string> args, double timeout = 60) {
        args.push_back("--device");
        args.push_back(sim->ptyPath());
        return cli(args, timeout);
    }
    std::vector<std::string> framesReceived(const std::vector<std::string>& orders) {
        std::vector<std::string> frames;
        for (const auto& line : simLog()) {
            auto at = line.find(" RX ");
            if (at == std::string::npos) {
                continue;
            }
            std::string bytes = line.substr(at + 4);
            for (const auto& o : orders) {
                if (bytes.rfind("00 55 " + o, 0) == 0) {
                    frames.push_back(bytes);
                }
            }
        }
        return frames;
    }
    std::string write(const std::string& name, const std::string& text) {
        std::string path = tempDir + "/" + name;
        std::ofstream(path) << text;
        return path;
    }
};

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The one JSON object a line holds; an empty object when it is not one.
QJsonObject JsonLine(const std::string& text) {
    QJsonParseError error{};
    QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(text), &error);
    return error.error == QJsonParseError::NoError && doc.isObject() ? doc.object() : QJsonObject{};
}

std::string CalibFile(unsigned base, const char* header) {
    std::ostringstream out;
    out << "[HEADER]\n" << header << "[XFLASH]\n";
    for (int k = 0; k < 1024; ++k) {
        out << base + (1023 - k) << "\n";
    }
    return out.str();
}

} // namespace

TEST_F(CliE2E, UsageErrorsExitTwoWithoutOpeningThePort) {
    startSim({"--baud", "0"});
    EXPECT_EQ(cli({"--version"}).out, "zel-vavod-cli V2.0\n");
    CliRun help = cli({"flash", "--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_TRUE(Has(help.out, "--retries N"));
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"bogus"},
        {"info", "--bogus"},
        {"get"},
        {"get", "--from", "flash"},
        {"get", "--from", "ram", "--block", "1", "-o", "x.cfg"},
        {"teach", "c"},
        {"send", "--to", "ram"},
        {"send", "--to", "ram", "--set", "6=4"},
        {"scope", "--seconds", "1", "--samples", "3"},
        {"flash", "--retries", "x"},
        {"diff", "ram"},
    };
    for (auto args : bad) {
        args.push_back("--device");
        args.push_back(sim->ptyPath());
        CliRun r = cli(args);
        EXPECT_EQ(r.code, 2) << args[0];
        EXPECT_TRUE(Has(r.err, "Usage: zel-vavod-cli")) << r.err;
    }
    EXPECT_TRUE(framesReceived({""}).empty()) << "a frame reached the sensor";
}

TEST_F(CliE2E, NoAnswerAndUnopenablePortExitOne) {
    startSim({"--baud", "0", "--silent", "5"});
    CliRun silent = onSim({"info"});
    EXPECT_EQ(silent.code, 1);
    EXPECT_TRUE(Has(silent.err, "Timeout-RS-232...")) << silent.err;
    EXPECT_LT(silent.seconds, 5.0);
    CliRun missing = cli({"info", "--device", tempDir + "/no-such-port"});
    EXPECT_EQ(missing.code, 1);
    EXPECT_TRUE(Has(missing.err, "No serial port found")) << missing.err;
}

TEST_F(CliE2E, InvalidFilesExitThreeNamingLineAndNothingIsSent) {
    startSim({"--baud", "0"});
    CliRun badParams = onSim({"send", "--to", "eeprom", write("p.cfg", "1\n2\nthree\n")});
    EXPECT_EQ(badParams.code, 3);
    EXPECT_TRUE(Has(badParams.err, "p.cfg:3: \"three\"")) << badParams.err;
    CliRun shortParams = onSim({"diff", write("s.cfg", "1 2 3\n"), "ram"});
    EXPECT_EQ(shortParams.code, 3);
    CliRun badCalib = onSim({"flash", "--cha", write("a.dat", "[HEADER]\nH1 1\n[XFLASH]\n1\n2\n")});
    EXPECT_EQ(badCalib.code, 3);
    EXPECT_TRUE(Has(badCalib.err, "a.dat:")) << badCalib.err;
    EXPECT_TRUE(framesReceived({""}).empty()) << "a frame reached the sensor";
}

// What `get -o` writes is the panel's own save of the same block, byte for byte.
TEST_F(CliE2E, SendSetGetFileDiffAndInfo) {
    startSim({"--baud", "0", "--latency", "0"});
    ASSERT_EQ(
        onSim({"send", "--to", "ram", "--set", "1=600", "--set", "6=3", "--set", "12=77"}).code, 0);
    std::string cliFile = tempDir + "/cli.cfg";
    ASSERT_EQ(onSim({"get", "--from", "ram", "-o", cliFile}).code, 0);

    CliRun diff = onSim({"diff", "ram", "eeprom", "--json"});
    EXPECT_EQ(diff.code, 1);
    EXPECT_TRUE(Has(diff.out, "{\"index\":1,\"a\":600,\"b\":512,\"name\":\"referenceA\"}"))
        << diff.out;
    EXPECT_TRUE(Has(diff.out, "{\"index\":12,\"a\":77,\"b\":0")) << diff.out;
    EXPECT_EQ(onSim({"diff", cliFile, "ram"}).code, 0);
    ASSERT_EQ(onSim({"send", "--to", "eeprom", cliFile}).code, 0);
    EXPECT_EQ(onSim({"diff", "eeprom", "ram"}).code, 0);

    CliRun info = onSim({"info", "--json"});
    EXPECT_EQ(info.code, 0) << info.err;
    EXPECT_TRUE(Has(info.out, "\"hardware\":0,\"firmware\":\"V2.0\"")) << info.out;
    EXPECT_TRUE(Has(info.out, "{\"index\":1,\"value\":600,\"name\":\"referenceA\"")) << info.out;

    // The panel, on the same sensor: Get from RAM, then Send to a file.
    openLink();
    CC_BTNGet(pA, MAIN_BTNGET, EVENT_COMMIT, nullptr, 0, 0);
    std::string guiFile = tempDir + "/gui.cfg";
    QueueFileSelectAnswer(guiFile);
    target = DATFILE;
    CC_BTNSend(pA, MAIN_BTNSEND, EVENT_COMMIT, nullptr, 0, 0);
    ASSERT_FALSE(Slurp(guiFile).empty());
    EXPECT_EQ(Slurp(cliFile), Slurp(guiFile));
}

TEST_F(CliE2E, TeachRefreshAndReset) {
    startSim({"--baud", "0", "--latency", "0"});
    for (std::vector<std::string> args : {std::vector<std::string>{"teach", "a"},
                                          {"teach", "b"},
                                          {"refresh", "a"},
                                          {"refresh", "b"},
                                          {"reset"}}) {
        CliRun r = onSim(args);
        EXPECT_EQ(r.code, 0) << args[0] << r.err;
    }
    std::vector<std::string> teach = framesReceived({"00 06"});
    ASSERT_EQ(teach.size(), 2u);
    EXPECT_EQ(teach[0].substr(12, 5), "00 00"); // channel A
    EXPECT_EQ(teach[1].substr(12, 5), "00 01"); // channel B
    EXPECT_EQ(framesReceived({"00 0B", "00 0C", "00 0D"}).size(), 3u);
    // Reset brought RAM back to the EEPROM, which teach never touched.
    EXPECT_EQ(onSim({"diff", "ram", "eeprom"}).code, 0);
}

TEST_F(CliE2E, ScopeWritesCsvAndEndsCleanlyOnCtrlC) {
    startSim({"--latency", "0"});
    CliRun n = onSim({"scope", "--samples", "20"});
    EXPECT_EQ(n.code, 0) << n.err;
    std::istringstream rows(n.out);
    std::string line;
    std::getline(rows, line);
    EXPECT_EQ(line, "t_s,raw_a,raw_b,in_state,out_state,ref_a,up_a,lo_a,ref_b,up_b,lo_b");
    int count = 0;
    while (std::getline(rows, line)) {
        ++count;
        EXPECT_EQ(std::count(line.begin(), line.end(), ','), 10) << line;
        EXPECT_TRUE(Has(line, ",512,612,412,512,612,412")) << line;
    }
    EXPECT_EQ(count, 20);
    EXPECT_TRUE(Has(n.err, "20 samples")) << n.err;

    std::string csv = tempDir + "/scope.csv";
    pid_t pid = SpawnCli({"scope", "--seconds", "60", "--csv", csv, "--device", sim->ptyPath()},
                         tempDir + "/o", tempDir + "/e");
    ::usleep(1500000);
    ::kill(pid, SIGINT);
    EXPECT_EQ(ReapCli(pid, 5), 0);
    std::string text = Slurp(csv);
    EXPECT_GT(std::count(text.begin(), text.end(), '\n'), 10);
    EXPECT_EQ(text.back(), '\n');
    EXPECT_TRUE(Has(Slurp(tempDir + "/e"), "0 time-outs"));
}

TEST_F(CliE2E, SensorUnpluggedMidScopeEndsWithOneLine) {
    startSim({"--latency", "0", "--unplug-after", "30"});
    CliRun r = onSim({"scope", "--seconds", "30"}, 20);
    EXPECT_EQ(r.code, 1);
    EXPECT_LT(r.seconds, 5.0);
    EXPECT_TRUE(Has(r.err, "zel-vavod-cli: ")) << r.err;
}

// The CLI programs with the calibration panel's frames, in its order, from the same files.
TEST_F(CliE2E, FlashFramesMatchThePanels) {
    std::string a = write("A.DAT", CalibFile(0xA000, "H1\t11\nH2\t22\nH3\t1.5\nH4\t44\nH5\t55\n"));
    std::string b =
        write("B.DAT", CalibFile(0xB000, "H1\t111\nH2\t222\nH3\t0.25\nH4\t444\nH5\t555\n"));
    startSim({"--baud", "0", "--latency", "0"});
    std::string log = tempDir + "/ops.jsonl";
    CliRun r = onSim({"flash", "--cha", a, "--chb", b, "--set", "H4B=4444", "--log", log});
    EXPECT_EQ(r.code, 0) << r.err;
    const std::vector<std::string> flashOrders = {"00 B4", "00 B6", "00 17"};
    std::vector<std::string> fromCli = framesReceived(flashOrders);
    EXPECT_EQ(fromCli.size(), 2u + 2 * (4 + 128));
    EXPECT_TRUE(Has(Slurp(log), "\"command\":\"flash\",\"outcome\":\"ok\",\"failed_pages\":[]"));
    EXPECT_TRUE(Has(Slurp(log), "\"hardware\":0,\"firmware\":\"V2.0\""));

    sim->signal(SIGTERM);
    sim->wait(5);
    startSim({"--baud", "0", "--latency", "0"});
    openLink();
    ClearCalibration();
    QueueFileSelectAnswer(a);
    ClickCtrl(pCalib, CAL_BTNFILECHA);
    pump(0.01);
    QueueFileSelectAnswer(b);
    ClickCtrl(pCalib, CAL_BTNFILECHB);
    pump(0.01);
    SetCtrlVal(pCalib, CAL_H4B, 4444u);
    ClickCtrl(pCalib, CAL_BTNWRITE);
    pump(0.01);
    EXPECT_EQ(fromCli, framesReceived(flashOrders));
}

TEST_F(CliE2E, FlashNamesFailedPagesAndRetriesThem) {
    std::string a = write("A.DAT", CalibFile(0xA000, "H1\t11\nH2\t22\nH3\t1.5\nH4\t44\nH5\t55\n"));
    startSim({"--baud", "0", "--latency", "0", "--drop", "0.02", "--seed", "3"});
    CliRun once = onSim({"flash", "--cha", a, "--no-header", "--json"});
    EXPECT_EQ(once.code, 1);
    EXPECT_TRUE(Has(once.out, "\"ok\":false")) << once.out;
    // The same sensor and the same lost frames again, this time with retries.
    sim->signal(SIGTERM);
    sim->wait(5);
    startSim({"--baud", "0", "--latency", "0", "--drop", "0.02", "--seed", "3"});
    CliRun retried = onSim({"flash", "--cha", a, "--no-header", "--retries", "5", "--json"});
    EXPECT_EQ(retried.code, 0) << retried.out << retried.err;
    EXPECT_FALSE(Has(retried.out, "\"retried_pages\":[]")) << retried.out;
}

TEST_F(CliE2E, ScanProbesAllPortsAtOnce) {
    startSim({"--latency", "0"});
    std::vector<std::string> args = {"scan", "--json", "--com", "20=" + sim->ptyPath()};
    std::vector<std::unique_ptr<zelsim::SimProcess>> silent;
    for (int i = 0; i < 3; ++i) {
        silent.push_back(std::make_unique<zelsim::SimProcess>(
            ZEL_SIM_EXE, std::vector<std::string>{"--silent", "5"}));
        args.push_back("--com");
        args.push_back(std::to_string(21 + i) + "=" + silent.back()->ptyPath());
    }
    CliRun r = cli(args);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "\"port\":20,\"device\":\"" + sim->ptyPath() +
                               "\",\"answers\":true,\"hardware\":0,\"firmware\":\"V2.0\""))
        << r.out;
    EXPECT_TRUE(
        Has(r.out, "\"port\":21,\"device\":\"" + silent[0]->ptyPath() + "\",\"answers\":false"))
        << r.out;
    // Four silent time-outs one after another would take 6 s.
    EXPECT_LT(r.seconds, 5.0);
}

// A write that does not reach its file ends the run with one line naming the file: a full disk,
// a directory, a full stdout, a log that cannot be appended to.
TEST_F(CliE2E, FailedWritesNameTheFileAndExitOne) {
    startSim({"--baud", "0", "--latency", "0"});
    CliRun full = onSim({"scope", "--samples", "5", "--csv", "/dev/full"});
    EXPECT_EQ(full.code, 1);
    EXPECT_TRUE(Has(full.err, "zel-vavod-cli: /dev/full: cannot be written")) << full.err;
    CliRun dir = onSim({"scope", "--samples", "5", "--csv", tempDir});
    EXPECT_EQ(dir.code, 1);
    EXPECT_TRUE(Has(dir.err, tempDir + ": cannot be written")) << dir.err;

    for (std::vector<std::string> args : {std::vector<std::string>{"scope", "--samples", "5"},
                                          {"info"},
                                          {"get", "--from", "ram", "--json"}}) {
        args.push_back("--device");
        args.push_back(sim->ptyPath());
        std::string err = tempDir + "/full.err";
        EXPECT_EQ(ReapCli(SpawnCli(args, "/dev/full", err), 30), 1) << args[0];
        std::string text = Slurp(err);
        EXPECT_TRUE(Has(text, "zel-vavod-cli: stdout: cannot be written")) << text;
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), args[0] == "scope" ? 2 : 1) << text;
    }

    CliRun log = onSim({"get", "--from", "ram", "--log", "/dev/full"});
    EXPECT_EQ(log.code, 1);
    EXPECT_TRUE(Has(log.err, "cannot append to /dev/full")) << log.err;
}

// With --json a failure is an object on stdout too: what went wrong and, after an exchange, its
// outcome, order and address.
TEST_F(CliE2E, JsonFailuresAreObjects) {
    startSim({"--baud", "0", "--silent", "5,2"});
    QJsonObject timeout = JsonLine(onSim({"info", "--json"}).out);
    EXPECT_EQ(timeout["command"].toString(), "info");
    EXPECT_EQ(timeout.value("ok"), QJsonValue(false));
    EXPECT_EQ(timeout["error"].toString(), "Timeout-RS-232...");
    EXPECT_EQ(timeout["outcome"].toString(), "timeout");
    EXPECT_EQ(timeout["order"].toInt(), 5);

    QJsonObject missing = JsonLine(
        cli({"get", "--from", "eeprom", "--json", "--device", tempDir + "/no-such-port"}).out);
    EXPECT_EQ(missing.value("ok"), QJsonValue(false));
    EXPECT_TRUE(missing["error"].toString().startsWith("No serial port found"))
        << missing["error"].toString().toStdString();
    EXPECT_FALSE(missing.contains("outcome"));

    CliRun bad = onSim({"diff", write("bad\x01.cfg", "1\n2\n\"x\"\n"), "ram", "--json"});
    EXPECT_EQ(bad.code, 3);
    QJsonObject file = JsonLine(bad.out);
    EXPECT_EQ(file["command"].toString(), "diff");
    EXPECT_EQ(file.value("ok"), QJsonValue(false));
    EXPECT_TRUE(file["error"].toString().contains(":3: ")) << bad.out;

    CliRun usage = cli({"get", "--json", "--block", "7"});
    EXPECT_EQ(usage.code, 2);
    EXPECT_EQ(JsonLine(usage.out).value("ok"), QJsonValue(false)) << usage.out;
}

// The tool runs where no display library is installed: it links Qt Core and SerialPort alone.
TEST(CliBuild, LinksNoGuiLibrary) {
    std::string out = MakeTempDir() + "/ldd.out";
    ASSERT_EQ(std::system(("ldd " + std::string(ZEL_CLI_EXE) + " > " + out).c_str()), 0);
    std::string libs = Slurp(out);
    EXPECT_TRUE(Has(libs, "libQt6Core")) << libs;
    EXPECT_FALSE(Has(libs, "libQt6Gui")) << libs;
    EXPECT_FALSE(Has(libs, "libQt6Widgets")) << libs;
}

namespace {
// The trace holds the frames the sensor saw, in order; one that cannot be written is named
// and the command still does its work.
TEST_F(CliE2E, TraceHoldsEveryFrameAndAnUnwritableOneDoesNotStopTheCommand) {
    startSim({"--latency", "0"});
    const std::string trace = tempDir + "/trace.txt";
    CliRun r = onSim({"get", "--from", "ram", "--trace", trace});
    ASSERT_EQ(r.code, 0) << r.err;
    std::vector<std::string> tx;
    std::istringstream in(Slurp(trace));
    for (std::string line; std::getline(in, line);) {
        if (auto at = line.find(" TX "); at != std::string::npos) {
            tx.push_back(line.substr(at + 4, line.find(" | ") - at - 4));
        }
    }
    EXPECT_EQ(tx, framesReceived({"00 05", "00 02"}));
    EXPECT_EQ(tx.size(), 2u);

    r = onSim({"get", "--from", "ram", "--trace", "/dev/full"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find("/dev/full: trace not written"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("Reference CHA"), std::string::npos);
}
} // namespace

namespace {
// Ctrl-C during programming: the order in progress ends the run, the pages done and not are
// named, exit 1; a second signal ends the tool at once.
TEST_F(CliE2E, FlashEndsOnCtrlCAfterTheOrderInProgress) {
    std::string a = write("A.DAT", CalibFile(0xA000, "H1\t11\nH2\t22\nH3\t1.5\nH4\t44\nH5\t55\n"));
    startSim({"--latency", "0"});
    const std::string out = tempDir + "/o", err = tempDir + "/e";
    const double t0 = Timer();
    int pid = SpawnCli({"flash", "--cha", a, "--device", sim->ptyPath()}, out, err);
    ::usleep(2500 * 1000); // the header page and part of table A are done by then
    ::kill(pid, SIGINT);
    EXPECT_EQ(ReapCli(pid, 10), 1);
    EXPECT_LT(Timer() - t0, 5.0) << "a full run takes about 13 s";
    const std::string text = Slurp(err);
    EXPECT_TRUE(Has(text, "X-FLASH interrupted: pages 1")) << text;
    EXPECT_TRUE(Has(text, "not programmed")) << text;
    // Nothing was sent after the order in progress.
    const std::size_t frames = framesReceived({"00 B4", "00 B6", "00 17"}).size();
    ::usleep(300 * 1000);
    EXPECT_EQ(framesReceived({"00 B4", "00 B6", "00 17"}).size(), frames);

    // Two signals: the second ends it at once.
    pid = SpawnCli({"flash", "--cha", a, "--device", sim->ptyPath()}, out, err);
    ::usleep(1500 * 1000);
    ::kill(pid, SIGTERM);
    ::usleep(100 * 1000); // two signals sent at once may arrive as one
    ::kill(pid, SIGTERM);
    EXPECT_EQ(ReapCli(pid, 10), 130);
}
} // namespace
