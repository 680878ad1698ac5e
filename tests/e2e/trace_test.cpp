// The trace: every frame the program sent and received, one line each, against what the
// simulated sensor logged on its side of the line.
#include "harness.h"

#include "link/exchange.h"
#include "link/link.h"
#include "link/traffic.h"

#include <fstream>
#include <string>
#include <vector>

namespace {

// "  1.234567 TX 00 55 ... | meaning" -> {"TX", "00 55 ..."}
std::vector<std::pair<std::string, std::string>> TraceFrames(const std::string& path) {
    std::vector<std::pair<std::string, std::string>> out;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const auto dir = line.find_first_of("TR", line.find_first_not_of(" 0123456789."));
        const auto bar = line.find(" | ");
        if (dir == std::string::npos || bar == std::string::npos) {
            continue;
        }
        out.emplace_back(line.substr(dir, 2), line.substr(dir + 3, bar - dir - 3));
    }
    return out;
}

class TraceTest : public SimLinkTest {
  protected:
    void TearDown() override {
        StopTrace();
        SetFrameTap(nullptr);
        SimLinkTest::TearDown();
    }
};

TEST_F(TraceTest, EveryFrameOfTheStartupExchangeIsTracedAsTheSensorSawIt) {
    startSim({"--latency", "0"});
    const std::string path = tempDir + "/trace.txt";
    std::string error;
    ASSERT_TRUE(StartTrace(path, error)) << error;
    InitRS232(1);
    ASSERT_EQ(status(), "V2.0");
    StopTrace();

    // The sensor's RX is our TX and its TX our RX, byte for byte and in order.
    std::vector<std::pair<std::string, std::string>> sensorSide;
    for (const auto& line : simLog()) {
        for (const char* tag : {" RX ", " TX "}) {
            if (auto pos = line.find(tag); pos != std::string::npos) {
                sensorSide.emplace_back(tag[1] == 'R' ? "TX" : "RX", line.substr(pos + 4));
            }
        }
    }
    const auto traced = TraceFrames(path);
    ASSERT_EQ(traced.size(), 10u); // five requests, five replies (the firmware's 72 bytes raw)
    EXPECT_EQ(traced, sensorSide);

    // Each line says what it is.
    std::ifstream in(path);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(all.find("| LINE CHECK"), std::string::npos);
    EXPECT_NE(all.find("| GET RAM block 1"), std::string::npos);
    EXPECT_NE(all.find("standard reply, echo 10 (HARDWARE)"), std::string::npos);
    EXPECT_NE(all.find("raw reply, 72 bytes"), std::string::npos);
    EXPECT_NE(all.find(" ms after GET RAM"), std::string::npos);
}

TEST_F(TraceTest, ATraceThatCannotBeWrittenIsNamedAndTheExchangeGoesOn) {
    startSim({"--latency", "0"});
    std::string error;
    EXPECT_FALSE(StartTrace(tempDir + "/no/such/dir/trace.txt", error));
    EXPECT_NE(error.find("trace.txt: cannot be written"), std::string::npos) << error;
    // A full disk: the first line fails, the trace stops and says so once; the GET goes on.
    ASSERT_TRUE(StartTrace("/dev/full", error) || !error.empty());
    InitRS232(1);
    EXPECT_EQ(status(), "V2.0");
    EXPECT_NE(TraceError().find("/dev/full: trace not written"), std::string::npos)
        << TraceError() << error;
}

} // namespace
