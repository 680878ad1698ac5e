// Recording, pausing and inspecting the live scope against the in-memory sensor: the CSV file
// against the replies the sensor sent, how it ends with the run, the frozen chart, the cursor,
// the PNG export and the link's figures since Run.
#include "harness.h"

#include "core/state.h"
#include "link/frames.h"
#include "params/record.h"
#include "runtime/ui.h"
#include "scope/inspect.h"
#include "scope/record.h"
#include "scope/scope.h"
#include "store/textfile.h"
#include "testkit/testing.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <thread>

namespace {

struct DataReply {
    unsigned rawA, rawB, in, out;
};

class ScopeRecordTest : public RoutineTest {
  protected:
    void SetUp() override {
        RoutineTest::SetUp();
        CopyText(proj_dir, tempDir);
        openLink();
    }

    // The sensor at 19200 baud; every data reply it sends is kept. `script` runs on each
    // request (n counts from 0) before the sensor sees it; it may silence the sensor.
    void sensorLine(std::function<void(int n)> script = {}) {
        sensor = std::make_unique<zelsim::Engine>(zelsim::Options{});
        dev.onWrite = [this, script](std::span<const std::uint8_t> bytes, double now) {
            int n = requests++;
            if (script) {
                script(n);
            }
            if (silent) {
                return;
            }
            constexpr double kByte = 10.0 / 19200;
            double at = now + static_cast<double>(bytes.size()) * kByte;
            zelsim::Output out = sensor->feed(bytes.data(), bytes.size(), at);
            for (const auto& chunk : out.chunks) {
                at = std::max(at + chunk.delay, lineFree);
                at += static_cast<double>(chunk.bytes.size()) * kByte;
                lineFree = at;
                dev.send(chunk.bytes, at - now);
                const auto& b = chunk.bytes;
                auto word = [&](std::size_t i) { return unsigned(b[i] << 8 | b[i + 1]); };
                if (b.size() == kFrameLen && word(2) == ORDER_DATA) {
                    sent.push_back({word(4), word(6), word(8), word(10)});
                }
            }
        };
    }

    void runScope() {
        ClickCtrl(pA, MAIN_BTNRUN);
        ProcessSystemEvents(); // the loop runs in here
        ASSERT_EQ(stop_flag, 1);
    }

    // The chart redraws at most ten times a second of real time, the last samples by a timer.
    static void settleChart() {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(400);
        while (std::chrono::steady_clock::now() < end) {
            ProcessSystemEvents();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    static std::string text(int control) {
        char buf[512] = {};
        GetCtrlVal(pA, control, buf, sizeof buf);
        return buf;
    }

    static std::vector<std::string> lines(const std::string& path) {
        std::ifstream in(path);
        std::vector<std::string> out;
        for (std::string l; std::getline(in, l);) {
            out.push_back(l);
        }
        return out;
    }

    static std::vector<double> fields(const std::string& row) {
        std::vector<double> out;
        std::stringstream ss(row);
        for (std::string f; std::getline(ss, f, ',');) {
            out.push_back(std::stod(f));
        }
        return out;
    }

    std::vector<DataReply> sent;
    int requests = 0;
    bool silent = false;
    double lineFree = 0;
};

TEST_F(ScopeRecordTest, RecordedFileHoldsEverySampleTheSensorSentAndIsCompleteAfterStop) {
    sensorLine([](int n) {
        if (n == 60) {
            ClickCtrl(pA, MAIN_BTNSTOP);
        }
    });
    SetCtrlVal(pA, MAIN_RECORDSW, 1);
    runScope();

    // A new file in the program directory, named by date and time, closed with the run.
    EXPECT_FALSE(Recording());
    std::string path = RecordPath();
    EXPECT_EQ(std::filesystem::path(path).parent_path(), std::filesystem::path(tempDir));
    EXPECT_TRUE(std::regex_match(std::filesystem::path(path).filename().string(),
                                 std::regex(R"(scope-\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d\.csv)")))
        << path;
    auto rows = lines(path);
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows[0] + "\n", kScopeCsvHeader);
    rows.erase(rows.begin());

    // One row per sample plotted, each the words of the data reply it came from, in order.
    ASSERT_GE(sent.size(), 55u);
    EXPECT_EQ(static_cast<long>(rows.size()), ScopeSamples());
    ASSERT_LE(rows.size(), sent.size()); // a reply in flight at Stop is never plotted
    EXPECT_GE(rows.size() + 1, sent.size());
    double lastT = -1;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        auto f = fields(rows[i]);
        ASSERT_EQ(f.size(), 11u) << rows[i];
        EXPECT_EQ(f[1], sent[i].rawA) << "row " << i;
        EXPECT_EQ(f[2], sent[i].rawB) << "row " << i;
        EXPECT_EQ(f[3], sent[i].in) << "row " << i;
        EXPECT_EQ(f[4], sent[i].out) << "row " << i;
        EXPECT_EQ(f[5], refthdA);
        EXPECT_EQ(f[9], upthdB);
        // Seconds since Run, one exchange (72 bytes at 19200 baud) apart.
        EXPECT_GT(f[0], lastT);
        if (i > 0) {
            EXPECT_NEAR(f[0] - lastT, 72 * 10.0 / 19200, 0.01);
        }
        lastT = f[0];
    }
    EXPECT_LT(fields(rows[0])[0], 0.1);

    // The figures since Run say what was recorded; a second run makes a second file.
    EXPECT_NE(text(MAIN_SCOPESTATS)
                  .find("recorded " + std::to_string(rows.size()) + " samples to " + path),
              std::string::npos)
        << text(MAIN_SCOPESTATS);
}

TEST_F(ScopeRecordTest, RecordingEndsCompleteOnATimeOutAndTheTimeOutStaysOnTheStatusLine) {
    sensorLine([this](int n) { silent = n >= 20; });
    SetCtrlVal(pA, MAIN_RECORDSW, 1);
    runScope();
    EXPECT_EQ(status(), "Timeout RS232-Line!");
    EXPECT_FALSE(Recording());
    auto rows = lines(RecordPath());
    EXPECT_EQ(static_cast<long>(rows.size()) - 1, ScopeSamples());
    EXPECT_EQ(ScopeSamples(), 20);
    EXPECT_NE(text(MAIN_SCOPESTATS).find("1 time-outs"), std::string::npos);
}

TEST_F(ScopeRecordTest, SwitchedOnDuringARunItRecordsFromThenAndOffClosesTheFile) {
    long at = -1, offAt = -1;
    sensorLine([&](int n) {
        if (n == 10) {
            SetCtrlVal(pA, MAIN_RECORDSW, 1);
            PostCtrlEvent(pA, MAIN_RECORDSW, EVENT_COMMIT);
        } else if (n == 11) {
            at = ScopeSamples();
        } else if (n == 30) {
            SetCtrlVal(pA, MAIN_RECORDSW, 0);
            PostCtrlEvent(pA, MAIN_RECORDSW, EVENT_COMMIT);
        } else if (n == 31) {
            offAt = ScopeSamples();
            EXPECT_FALSE(Recording());
        } else if (n == 40) {
            ClickCtrl(pA, MAIN_BTNSTOP);
        }
    });
    runScope();
    auto rows = lines(RecordPath());
    // Request n goes out after sample n: on after sample 10, off after sample 30.
    ASSERT_EQ(at, 11);
    ASSERT_EQ(offAt, 31);
    EXPECT_EQ(rows.size() - 1, 20u);
    // Column 1 still counts from Run, not from the switch.
    EXPECT_GT(fields(rows[1])[0], 9 * 72 * 10.0 / 19200);
}

TEST_F(ScopeRecordTest, AFileThatCannotBeWrittenIsSaidAndTheScopeRunsOn) {
    CopyText(proj_dir, tempDir + "/missing/dir");
    sensorLine([](int n) {
        if (n == 15) {
            ClickCtrl(pA, MAIN_BTNSTOP);
        }
    });
    SetCtrlVal(pA, MAIN_RECORDSW, 1);
    runScope();
    auto history = statusHistory();
    EXPECT_TRUE(std::any_of(history.begin(), history.end(), [](const std::string& s) {
        return s.rfind("Record failed: ", 0) == 0;
    }));
    int on = 1;
    GetCtrlVal(pA, MAIN_RECORDSW, &on);
    EXPECT_EQ(on, 0);
    EXPECT_GE(ScopeSamples(), 14);
}

TEST(BoundedFileWriter, StopsAtItsLimitAndOnAFailedWrite) {
    std::string dir = MakeTempDir();
    BoundedFileWriter w(100);
    ASSERT_TRUE(w.open(dir + "/a.csv"));
    EXPECT_TRUE(w.write(std::string(60, 'x')));
    EXPECT_FALSE(w.write(std::string(60, 'y'))); // would pass 100 bytes
    EXPECT_FALSE(w.write("z"));                  // ended: nothing more is taken
    EXPECT_FALSE(w.close());
    EXPECT_EQ(w.error(), "file size limit reached");
    std::string back;
    ASSERT_TRUE(ReadWholeFile(dir + "/a.csv", back));
    EXPECT_EQ(back, std::string(60, 'x')); // what was taken reached the file

    // More than a buffer full goes out in pieces, all of it.
    BoundedFileWriter big;
    ASSERT_TRUE(big.open(dir + "/b.csv"));
    std::string chunk(1000, 'q');
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(big.write(chunk));
    }
    EXPECT_TRUE(big.close());
    EXPECT_EQ(std::filesystem::file_size(dir + "/b.csv"), 200000u);

    if (std::filesystem::exists("/dev/full")) {
        BoundedFileWriter full;
        ASSERT_TRUE(full.open("/dev/full"));
        EXPECT_TRUE(full.write("abc")); // buffered
        EXPECT_FALSE(full.flush());
        EXPECT_FALSE(full.error().empty());
    }
    EXPECT_FALSE(BoundedFileWriter().open(dir + "/no/such/dir/c.csv"));
    std::filesystem::remove_all(dir);
}

TEST_F(ScopeRecordTest, PauseFreezesTheChartWhileTheLoopAndTheRecordingGoOn) {
    std::vector<std::vector<double>> atPause;
    long samplesAtPause = 0;
    sensorLine([&](int n) {
        if (n == 20) {
            ClickCtrl(pA, MAIN_PAUSESW);
        } else if (n == 22) {
            atPause = StripChartShown(pA, MAIN_STRIPCHART);
            samplesAtPause = ScopeSamples();
        } else if (n == 50) {
            ClickCtrl(pA, MAIN_BTNSTOP);
        }
    });
    SetCtrlVal(pA, MAIN_RECORDSW, 1);
    runScope();
    pump(0.5);
    EXPECT_GE(ScopeSamples(), samplesAtPause + 25);
    EXPECT_EQ(static_cast<long>(lines(RecordPath()).size()) - 1, ScopeSamples());
    // The drawing stayed as it was; the chart itself took every sample.
    EXPECT_EQ(StripChartShown(pA, MAIN_STRIPCHART), atPause);
    auto held = StripChartTraces(pA, MAIN_STRIPCHART);
    EXPECT_EQ(held[0].back(), sent[static_cast<std::size_t>(ScopeSamples() - 1)].rawA);
    EXPECT_NE(held, atPause);
    // Off again: the live history at once.
    ClickCtrl(pA, MAIN_PAUSESW);
    pump(0.01);
    EXPECT_EQ(StripChartShown(pA, MAIN_STRIPCHART), held);
}

TEST_F(ScopeRecordTest, CursorReadsTheSampleUnderTheMouseOnATimeAxisAndTheChartSavesAsPng) {
    DisplayPanel(pA);
    sensorLine([](int n) {
        if (n == 120) {
            ClickCtrl(pA, MAIN_BTNSTOP);
        }
    });
    runScope();
    settleChart();
    // The newest sample at the right, in seconds since Run; 100 samples of history.
    std::string newest = StripChartHover(pA, MAIN_STRIPCHART, 99);
    char t[32];
    std::snprintf(t, sizeof t, "t %.3f s", timesRAW[99]);
    EXPECT_EQ(newest.rfind(t, 0), 0u) << newest;
    // 72 bytes on the line and the sensor's 2 ms for each.
    EXPECT_NEAR(timesRAW[99] - timesRAW[0], 99 * (72 * 10.0 / 19200 + 0.002), 0.02);
    for (const char* name : {"Raw CHA: ", "Raw CHB: ", "Ref CHA: ", "Ref CHB: ", "Upper CHA: ",
                             "Lower CHA: ", "Upper CHB: ", "Lower CHB: "}) {
        EXPECT_NE(newest.find(name), std::string::npos) << name;
    }
    EXPECT_NE(newest.find("Raw CHA: " + std::to_string(adcCHA) + "\n"), std::string::npos)
        << newest;
    std::string older = StripChartHover(pA, MAIN_STRIPCHART, 40);
    // Stop clears the history; the chart keeps what it drew.
    auto held = StripChartTraces(pA, MAIN_STRIPCHART);
    EXPECT_NE(older.find("Raw CHB: " + std::to_string(static_cast<int>(held[1][40])) + "\n"),
              std::string::npos)
        << older;

    std::string png = tempDir + "/chart.png";
    QueueFileSelectAnswer(png);
    ClickCtrl(pA, MAIN_BTNSAVECHART);
    pump(0.1);
    ASSERT_FALSE(FileSelectCalls().empty());
    EXPECT_EQ(FileSelectCalls().back().filter, "*.png");
    std::string bytes;
    ASSERT_TRUE(ReadWholeFile(png, bytes));
    EXPECT_EQ(bytes.substr(0, 4), "\x89PNG");
    EXPECT_EQ(status(), "Chart saved to " + png);
    QueueFileSelectAnswer(tempDir + "/no/such/chart.png");
    ClickCtrl(pA, MAIN_BTNSAVECHART);
    pump(0.1);
    EXPECT_EQ(status().rfind("Chart not saved", 0), 0u) << status();
}

TEST_F(ScopeRecordTest, LinkFiguresCountFromRun) {
    sensorLine([this](int n) { silent = n >= 10; });
    runScope();
    ASSERT_EQ(status(), "Timeout RS232-Line!");
    silent = false;
    requests = 0;
    sensorLine([](int n) {
        if (n == 80) {
            ClickCtrl(pA, MAIN_BTNSTOP);
        }
    });
    runScope();
    std::string line = text(MAIN_SCOPESTATS);
    EXPECT_NE(line.find(" of 26.7/s ("), std::string::npos) << line;
    EXPECT_NE(line.find("0 time-outs, 0 other frames, 0 B noise, 80 samples"), std::string::npos)
        << line;
    double rate = std::stod(line);
    EXPECT_GT(rate, 24.5); // 72 bytes and the sensor's 2 ms a sample
    EXPECT_LT(rate, 26.8);
}

} // namespace
