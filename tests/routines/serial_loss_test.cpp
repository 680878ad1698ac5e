// A device that goes away while its port is open: the serial calls fail at once instead of
// waiting out the time-out, and the loss is reported once, from event processing.
#include "harness.h"

#include "runtime/ui.h"
#include "serial/serial.h"

#include <vector>

namespace {
std::vector<int> g_lostPorts;
void RecordLoss(int port) {
    g_lostPorts.push_back(port);
}
void CloseOnLoss(int port) {
    g_lostPorts.push_back(port);
    EXPECT_TRUE(ComPortLost(port));
    EXPECT_EQ(CloseCom(port), 0);
}

class SerialLossTest : public RoutineTest {
  protected:
    void SetUp() override {
        RoutineTest::SetUp();
        g_lostPorts.clear();
        SetComLostHandler(&RecordLoss);
        ASSERT_EQ(OpenComConfig(1, "", 19200, 0, 8, 1, 4096, 4096), 0);
        ASSERT_EQ(SetComTime(1, 5.0), 0);
    }
    void TearDown() override {
        SetComLostHandler(nullptr);
        RoutineTest::TearDown();
    }
};
} // namespace

TEST_F(SerialLossTest, CallsOnALostPortFailAtOnce) {
    reply({1, 2, 3}, 0.5);
    EXPECT_FALSE(ComPortLost(1));
    dev.unplug();
    EXPECT_TRUE(ComPortLost(1));

    double t0 = Timer();
    char buf[8] = {};
    EXPECT_EQ(ComRd(1, buf, 3), kComIoError);
    EXPECT_EQ(ComWrt(1, "abc", 3), kComIoError);
    EXPECT_EQ(GetInQLen(1), kComIoError);
    EXPECT_EQ(FlushInQ(1), kComIoError);
    EXPECT_EQ(SetComTime(1, 1.0), kComIoError);
    EXPECT_LT(Timer() - t0, 0.01) << "no call waits out the time-out";
    EXPECT_TRUE(dev.writes.empty()) << "nothing reaches a device that is gone";

    // The bytes that were on their way never arrive, not even after a replug.
    dev.replug();
    pump(1.0);
    EXPECT_TRUE(ComPortLost(1)) << "a lost port stays lost until it is closed";
    EXPECT_EQ(GetInQLen(1), kComIoError);
}

TEST_F(SerialLossTest, LossIsReportedOnceFromEventProcessing) {
    dev.unplug();
    EXPECT_TRUE(g_lostPorts.empty()) << "reported from the pump, not from inside the loss";
    pump(0.5);
    EXPECT_EQ(g_lostPorts, std::vector<int>{1});
    pump(0.5);
    char buf[4];
    EXPECT_EQ(ComRd(1, buf, 4), kComIoError);
    pump(0.5);
    EXPECT_EQ(g_lostPorts, std::vector<int>{1}) << "one report per loss";

    // Closing ends the lost state; the port opens again once the device is back.
    EXPECT_EQ(CloseCom(1), 0);
    EXPECT_FALSE(ComPortLost(1));
    EXPECT_EQ(GetInQLen(1), kComPortNotOpen);
    EXPECT_EQ(OpenComConfig(1, "", 19200, 0, 8, 1, 4096, 4096), kComNoSerialPort);
    dev.replug();
    ASSERT_EQ(OpenComConfig(1, "", 19200, 0, 8, 1, 4096, 4096), 0);
    EXPECT_FALSE(ComPortLost(1));
    EXPECT_EQ(ComWrt(1, "ok", 2), 2);
    reply({7}, 0.01);
    pump(0.1);
    EXPECT_EQ(GetInQLen(1), 1);

    // A second loss is a second report.
    dev.unplug();
    pump(0.5);
    EXPECT_EQ(g_lostPorts, (std::vector<int>{1, 1}));
}

TEST_F(SerialLossTest, HandlerMayCloseThePort) {
    int calls = 0;
    InstallComCallback(
        1, LWRS_RECEIVE, 1, 0, [](int, int, void* data) { ++*static_cast<int*>(data); }, &calls);
    SetComLostHandler(&CloseOnLoss);
    dev.unplug();
    pump(0.5);
    EXPECT_EQ(g_lostPorts, std::vector<int>{1});
    EXPECT_FALSE(ComPortLost(1));
    EXPECT_EQ(GetInQLen(1), kComPortNotOpen);
    EXPECT_EQ(calls, 0) << "no receive callback for a port that is gone";
    EXPECT_FALSE(dev.open);
}

TEST_F(SerialLossTest, UnplugWhileClosedIsNoLoss) {
    EXPECT_EQ(CloseCom(1), 0);
    dev.unplug();
    pump(0.5);
    EXPECT_TRUE(g_lostPorts.empty());
    EXPECT_EQ(OpenComConfig(1, "", 19200, 0, 8, 1, 4096, 4096), kComNoSerialPort);
}
