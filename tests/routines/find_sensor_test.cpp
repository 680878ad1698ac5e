// Find sensor: the line check on several ports at once, no other pick meanwhile, and the
// message when none answers.
#include "harness.h"

#include "app/app.h"
#include "core/state.h"
#include "link/frames.h"
#include "link/link.h"
#include "params/params.h"
#include "params/record.h"
#include "runtime/ui.h"
#include "serial/memserial.h"
#include "serial/serial.h"
#include "testkit/testing.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

TEST_F(RoutineTest, ProbeSendsTheLineCheckEverywhereAtOnceAndLeavesThePortInUseAlone) {
    UseVirtualClock(true);
    openLink();
    // Port 2 answers the line check, 3 stays silent, 4 answers with a frame that is no echo,
    // 5 does not open.
    MemorySerialDevice dev2, dev3, dev4;
    double written2 = -1, written4 = -1;
    dev2.onWrite = [&](std::span<const std::uint8_t>, double now) {
        written2 = now;
        dev2.send(frame({0x00AA, 5}), 0.05);
    };
    dev4.onWrite = [&](std::span<const std::uint8_t>, double now) {
        written4 = now;
        dev4.send(frame({0x0055, 5}), 0.05);
    };
    AttachMemoryDevice(2, &dev2);
    AttachMemoryDevice(3, &dev3);
    AttachMemoryDevice(4, &dev4);
    BindComPort(5, tempDir + "/absent");

    parameter[1] = 2; // the record's order words stay as they are
    parameter[2] = 1;
    parameter[kBlock0 + 3] = 321;
    pp[3] = 1234;
    rx_flag = 7;
    std::array<char, kFrameLen> tx;
    std::memset(szWriteBuf, 0x5A, kFrameLen);
    std::memcpy(tx.data(), szWriteBuf, kFrameLen);

    const int ports[] = {1, 2, 3, 4, 5};
    int answered[5] = {9, 9, 9, 9, 9};
    const double t0 = Timer();
    EXPECT_EQ(ProbeLineCheck(ports, 5, answered), 1);
    const double took = Timer() - t0;
    EXPECT_EQ((std::vector<int>(answered, answered + 5)), (std::vector<int>{-1, 1, 0, 0, -1}));
    // All frames went out before any wait; the silent port costs one time-out, not one each.
    EXPECT_NEAR(written2, t0, 0.01);
    EXPECT_NEAR(written4, t0, 0.01);
    EXPECT_LT(took, TIMEOUT + 0.1);
    EXPECT_GE(took, TIMEOUT);
    // The frame is the line check, order 5 from block 0.
    for (auto* d : {&dev2, &dev3, &dev4}) {
        ASSERT_EQ(d->writes.size(), 1u);
        ASSERT_EQ(d->writes[0].size(), static_cast<std::size_t>(kFrameLen));
        EXPECT_EQ(d->writes[0][0], 0x00);
        EXPECT_EQ(d->writes[0][1], 0x55);
        EXPECT_EQ(d->writes[0][3], ORDER_LINE_CHECK);
        EXPECT_EQ((d->writes[0][6 + 6] << 8) | d->writes[0][6 + 7], 321) << "words of block 0";
        EXPECT_FALSE(d->open);
    }
    EXPECT_TRUE(dev.writes.empty());
    EXPECT_TRUE(dev.open);
    EXPECT_EQ(rx_flag, 7);
    EXPECT_EQ(pp[3], 1234);
    EXPECT_EQ(parameter[1], 2);
    EXPECT_EQ(parameter[2], 1);
    EXPECT_EQ(std::memcmp(tx.data(), szWriteBuf, kFrameLen), 0);
}

TEST_F(RoutineTest, APickFromTheSelectorWhilePortsAreProbedIsIgnored) {
    UseVirtualClock(true);
    openLink(); // port 1: no sensor
    MemorySerialDevice dev2, dev3;
    dev2.onWrite = [&](std::span<const std::uint8_t>, double) {
        dev2.send(frame({0x00AA, 5}), 0.05);
        // The operator picks port 3 while the probe waits.
        SetCtrlVal(pA, MAIN_DROPDCOM, 3);
        PostCtrlEvent(pA, MAIN_DROPDCOM, EVENT_COMMIT);
    };
    AttachMemoryDevice(2, &dev2);
    AttachMemoryDevice(3, &dev3);
    FillPortSelector(1);
    CC_BTNFindSensor(pA, MAIN_BTNFINDSENSOR, EVENT_COMMIT, nullptr, 0, 0);
    EXPECT_EQ(com, 2);
    int shown = 0;
    GetCtrlVal(pA, MAIN_DROPDCOM, &shown);
    EXPECT_EQ(shown, 2);
    EXPECT_EQ(dev3.writes.size(), 1u) << "only the probe's line check";
    EXPECT_FALSE(dev3.open);
    int dimmed = 1;
    GetCtrlAttribute(pA, MAIN_DROPDCOM, ATTR_DIMMED, &dimmed);
    EXPECT_EQ(dimmed, 0);
    GetCtrlAttribute(pA, MAIN_BTNFINDSENSOR, ATTR_DIMMED, &dimmed);
    EXPECT_EQ(dimmed, 0);
    CloseCom(2);
}

TEST(FindSensorText, NamesThePortsTriedAndFitsTheStatusLine) {
    EXPECT_EQ(NoSensorText({1, 2, 3}), "No sensor found (tried COM1, COM2, COM3)");
    EXPECT_EQ(NoSensorText({}), "No sensor found (no port to try)");
    std::vector<int> many;
    for (int n = 1; n <= 20; ++n) {
        many.push_back(n + 100);
    }
    std::string text = NoSensorText(many);
    EXPECT_LE(text.size(), 65u);
    EXPECT_EQ(text.rfind("No sensor found (tried COM101, COM102, ", 0), 0u) << text;
    EXPECT_EQ(text.substr(text.size() - 6), ", ...)") << text;
    // 65 characters still fit whole; one more and the list is cut before a whole port name.
    EXPECT_EQ(NoSensorText({1, 2, 3, 4, 5, 6, 77}),
              "No sensor found (tried COM1, COM2, COM3, COM4, COM5, COM6, COM77)");
    EXPECT_EQ(NoSensorText({1, 2, 3, 4, 5, 6, 200}),
              "No sensor found (tried COM1, COM2, COM3, COM4, COM5, COM6, ...)");
}

} // namespace
