// zel-vavod-cli's history and service report against zel-sensor-sim over a pty: the sets it
// records, a set sent again byte for byte, a damaged history set aside, and the report's
// identity and blocks as the sensor holds them.
#include "harness.h"

#include "params/history.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;

struct CliResult {
    int code = -1;
    std::string out, err;
};

std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::size_t Lines(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

class HistoryE2E : public SimLinkTest {
  protected:
    CliResult cli(std::vector<std::string> args, bool onSim = true) {
        if (onSim) {
            args.push_back("--device");
            args.push_back(sim->ptyPath());
        }
        QStringList list;
        for (const auto& a : args) {
            list << QString::fromStdString(a);
        }
        QProcess p;
        auto env = QProcessEnvironment::systemEnvironment();
        env.remove("QT_QPA_PLATFORM"); // the tool chooses its platform itself
        p.setProcessEnvironment(env);
        p.start(ZEL_CLI_EXE, list);
        CliResult r;
        if (!p.waitForFinished(60000)) {
            p.kill();
            p.waitForFinished();
            return r;
        }
        r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        r.out = p.readAllStandardOutput().toStdString();
        r.err = p.readAllStandardError().toStdString();
        return r;
    }
    static std::vector<QJsonObject> jsonLines(const std::string& text) {
        std::vector<QJsonObject> out;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) {
            out.push_back(QJsonDocument::fromJson(QByteArray::fromStdString(line)).object());
        }
        return out;
    }
    static std::vector<int> values(const QJsonObject& entry) {
        std::vector<int> out;
        for (const auto& w : entry["words"].toArray()) {
            out.push_back(w.toObject()["value"].toInt());
        }
        return out;
    }
    // The data words of each frame the simulator received with this order ("00 01").
    std::vector<std::vector<int>> framesWith(const std::string& order) {
        std::vector<std::vector<int>> out;
        for (const auto& line : simLog()) {
            auto at = line.find(" RX 00 55 " + order + " ");
            if (at == std::string::npos) {
                continue;
            }
            std::istringstream bytes(line.substr(at + 4));
            std::vector<int> b;
            for (std::string h; bytes >> h;) {
                b.push_back(std::stoi(h, nullptr, 16));
            }
            std::vector<int> words;
            for (std::size_t i = 6; i + 1 < b.size(); i += 2) {
                words.push_back(b[i] << 8 | b[i + 1]);
            }
            out.push_back(words);
        }
        return out;
    }
    std::string historyDir() const { return tempDir + "/data/zel-vavod"; }
};

TEST_F(HistoryE2E, GotSentLoadedAndSavedSetsAreListedAndOneIsSentAgainByteForByte) {
    startSim({"--baud", "0", "--latency", "0", "--firmware", "FW-9"});
    ASSERT_EQ(cli({"send", "--to", "ram", "--set", "1=600", "--set", "12=77"}).code, 0);
    const std::string file = tempDir + "/p.cfg";
    ASSERT_EQ(cli({"get", "--from", "ram", "-o", file}).code, 0);
    ASSERT_EQ(cli({"send", "--to", "eeprom", file}).code, 0);
    ASSERT_EQ(cli({"info"}).code, 0);
    ASSERT_EQ(cli({"get", "--from", "ram", "--block", "1", "--log", tempDir + "/log.jsonl"}).code,
              0);

    CliResult list = cli({"history", "--json"}, false);
    ASSERT_EQ(list.code, 0) << list.err;
    auto h = jsonLines(list.out);
    // send --set: got, sent; get -o: got, saved; send FILE: loaded, sent; info: got 0, got 1;
    // get --block 1.
    ASSERT_EQ(h.size(), 9u) << list.out;
    const char* expected[][3] = {
        {"got", "ram", "0"},    {"sent", "ram", "0"},    {"got", "ram", "0"},
        {"saved", "file", "0"}, {"loaded", "file", "0"}, {"sent", "eeprom", "0"},
        {"got", "ram", "0"},    {"got", "ram", "1"},     {"got", "ram", "1"}};
    for (std::size_t i = 0; i < h.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(h[i]["command"].toString(), "history");
        EXPECT_EQ(h[i]["id"].toInt(), static_cast<int>(i + 1));
        EXPECT_EQ(h[i]["direction"].toString().toStdString(), expected[i][0]);
        EXPECT_EQ(h[i]["memory"].toString().toStdString(), expected[i][1]);
        EXPECT_EQ(std::to_string(h[i]["block"].toInt()), expected[i][2]);
        EXPECT_EQ(h[i]["device"].toString().toStdString(), sim->ptyPath());
        EXPECT_EQ(values(h[i]).size(), 15u);
    }
    EXPECT_EQ(values(h[1])[1], 600);
    EXPECT_EQ(values(h[1])[12], 77);
    EXPECT_EQ(h[3]["file"].toString().toStdString(), file);
    // The identity is what the run read before the set passed: info reads the hardware type
    // before the blocks and the firmware after them; --log reads both first.
    EXPECT_TRUE(h[1]["hardware"].isNull());
    EXPECT_TRUE(h[1]["firmware"].isNull());
    EXPECT_EQ(h[7]["hardware"].toInt(), 0);
    EXPECT_TRUE(h[7]["firmware"].isNull());
    EXPECT_EQ(h[8]["firmware"].toString(), "FW-9");

    // Entry 2 sent to EEPROM: the frame's data words are the entry's words.
    CliResult again = cli({"send", "--to", "eeprom", "--history", "2"});
    ASSERT_EQ(again.code, 0) << again.err;
    auto sends = framesWith("00 03");
    ASSERT_EQ(sends.size(), 2u);
    EXPECT_EQ(sends.back(), values(h[1]));
    // An id the history does not hold: one line, exit 3, nothing sent.
    CliResult unknown = cli({"send", "--to", "ram", "--history", "99"});
    EXPECT_EQ(unknown.code, 3);
    EXPECT_EQ(Lines(unknown.err), 1u) << unknown.err;
    EXPECT_TRUE(Has(unknown.err, "history entry 99 not found")) << unknown.err;
    EXPECT_EQ(framesWith("00 01").size(), 1u);
    // A block 1 set is not block 0.
    EXPECT_EQ(cli({"send", "--to", "ram", "--history", "8"}).code, 3);

    CliResult text = cli({"history"}, false);
    EXPECT_EQ(text.code, 0);
    EXPECT_TRUE(Has(text.out, "   10  ")) << text.out;
}

TEST_F(HistoryE2E, ADamagedHistoryIsSetAsideWithOneLineAndANewOneStarted) {
    startSim({"--baud", "0", "--latency", "0"});
    fs::create_directories(historyDir());
    const std::string path = historyDir() + "/history.json";
    ASSERT_EQ(cli({"get", "--from", "ram"}).code, 0);
    const std::string good = Slurp(path);
    const std::vector<std::pair<std::string, std::string>> damaged = {
        {"cut short", good.substr(0, good.size() - 10)},
        {"not JSON", "\x01\x02 garbage"},
        {"later version", "{\"format\":\"zel-vavod history\",\"version\":99,\"next_id\":1,"
                          "\"entries\":[]}"},
    };
    for (const auto& [what, text] : damaged) {
        SCOPED_TRACE(what);
        for (const auto& e : fs::directory_iterator(historyDir())) {
            if (Has(e.path().filename().string(), ".damaged-")) {
                fs::remove(e.path());
            }
        }
        std::ofstream(path, std::ios::trunc) << text;
        CliResult r = cli({"get", "--from", "eeprom"});
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(Lines(r.err), 1u) << r.err;
        EXPECT_TRUE(Has(r.err, "set aside as history.json.damaged-")) << r.err;
        int aside = 0;
        for (const auto& e : fs::directory_iterator(historyDir())) {
            if (Has(e.path().filename().string(), ".damaged-")) {
                ++aside;
                EXPECT_EQ(Slurp(e.path().string()), text);
            }
        }
        EXPECT_EQ(aside, 1);
        auto h = jsonLines(cli({"history", "--json"}, false).out);
        ASSERT_EQ(h.size(), 1u);
        EXPECT_EQ(h[0]["memory"].toString(), "eeprom");
    }
}

TEST_F(HistoryE2E, TheReportHoldsTheIdentityBothBlocksAndThisVisitAsHtmlOrPdf) {
    startSim({"--baud", "0", "--latency", "0", "--hw", "100", "--firmware", "R&D <7>"});
    ASSERT_EQ(cli({"send", "--to", "ram", "--set", "3=41"}).code, 0);
    ASSERT_EQ(cli({"send", "--to", "eeprom", "--set", "1=700"}).code, 0);
    // RAM's block 0 now 500 512 512 41 ...; EEPROM's 500 700 512 100 ...
    const std::string html = tempDir + "/report.html";
    CliResult r = cli({"report", "-o", html, "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "\"format\":\"html\",\"answered\":true,\"entries\":4")) << r.out;
    const QString doc = QString::fromStdString(Slurp(html));
    auto cell = [&](const QString& id) {
        auto m = QRegularExpression("id=\"" + QRegularExpression::escape(id) + "\"[^>]*>([^<]*)<")
                     .match(doc);
        return m.hasMatch() ? m.captured(1).toStdString() : std::string("(missing)");
    };
    EXPECT_EQ(cell("port"), "COM1");
    EXPECT_EQ(cell("device"), sim->ptyPath());
    EXPECT_EQ(cell("hardware"), "100");
    EXPECT_EQ(cell("firmware"), "R&amp;D &lt;7&gt;");
    EXPECT_EQ(cell("ram-0-3"), "41");
    EXPECT_EQ(cell("eeprom-0-3"), "100");
    EXPECT_EQ(cell("ram-0-1"), "512");
    EXPECT_EQ(cell("eeprom-0-1"), "700");
    EXPECT_EQ(cell("ram-1-0"), cell("eeprom-1-0"));
    EXPECT_EQ(cell("summary-0"), "2 of 15 words differ between RAM and EEPROM.");
    EXPECT_TRUE(doc.contains("<tr id=\"entry-4\">"));
    EXPECT_TRUE(doc.contains("bgcolor=\"#ffd2c4\">41</td>"));

    const std::string pdf = tempDir + "/report.pdf";
    CliResult p = cli({"report", "-o", pdf});
    ASSERT_EQ(p.code, 0) << p.err;
    EXPECT_EQ(Slurp(pdf).substr(0, 5), "%PDF-");
    EXPECT_FALSE(fs::exists(pdf + ".part.html"));

    // Nowhere to write: one line naming the file, exit 1.
    const std::string bad = tempDir + "/no/such/report.html";
    CliResult w = cli({"report", "-o", bad});
    EXPECT_EQ(w.code, 1);
    EXPECT_EQ(Lines(w.err), 1u) << w.err;
    EXPECT_TRUE(Has(w.err, bad)) << w.err;
}

TEST_F(HistoryE2E, WithoutAnAnswerTheReportSaysNoReply) {
    startSim({"--baud", "0", "--latency", "0", "--silent", "2,4,5,7,10"});
    const std::string html = tempDir + "/silent.html";
    CliResult r = cli({"report", "-o", html});
    EXPECT_EQ(r.code, 1);
    const std::string doc = Slurp(html);
    EXPECT_TRUE(Has(doc, "id=\"answers\">no reply</td>")) << doc.substr(0, 1500);
    EXPECT_TRUE(Has(doc, "RAM (no reply)"));
    EXPECT_TRUE(Has(doc, "id=\"firmware\">no reply</td>"));
}

} // namespace
