// The platform's event order and serial notification, the tick counter, and the whole
// program's start and close.
#include "harness.h"

#include "app/app.h"
#include "core/state.h"
#include "link/frames.h"
#include "link/link.h"
#include "params/params.h"
#include "params/record.h"
#include "runtime/ui.h"
#include "scope/scope.h"
#include "serial/serial.h"
#include "testkit/testing.h"

#include <QTimer>

#include <filesystem>
#include <fstream>
#include <vector>

namespace {
std::vector<int> g_events;
int Recorder(int, int, int event, void*, int, int) {
    g_events.push_back(event);
    return 0;
}
} // namespace

TEST_F(RoutineTest, LeftClickArrivesBeforeCommit) {
    const CtrlBinding rebind[] = {{MAIN_BTNSEND, "sendButton", Recorder},
                                  {MAIN_RBTFILE, "targetFile", Recorder}};
    ASSERT_EQ(BindControls(pA, rebind, 2), 0);
    g_events.clear();
    ClickCtrl(pA, MAIN_BTNSEND);
    ClickCtrl(pA, MAIN_RBTFILE);
    EXPECT_TRUE(g_events.empty()) << "callbacks run from the pump, not inside the click";
    ProcessSystemEvents();
    EXPECT_EQ(g_events, (std::vector<int>{EVENT_LEFT_CLICK, EVENT_COMMIT, EVENT_LEFT_CLICK,
                                          EVENT_VAL_CHANGED, EVENT_COMMIT}));
    // A dimmed control gives no events.
    g_events.clear();
    SetCtrlAttribute(pA, MAIN_BTNSEND, ATTR_DIMMED, 1);
    ClickCtrl(pA, MAIN_BTNSEND);
    ProcessSystemEvents();
    EXPECT_TRUE(g_events.empty());
}

TEST_F(RoutineTest, NotifyCallbackWaitsForAWholeFrame) {
    openLink();
    auto f = frame({0x0055, 0x0001, 0, 0x1111, 0x2222});
    // A frame in two pieces: nothing until all 36 bytes wait, then one decode.
    reply(std::vector<std::uint8_t>(f.begin(), f.begin() + 20), 0.001);
    pump(0.01);
    EXPECT_EQ(rx_flag, 0);
    EXPECT_EQ(GetInQLen(1), 20);
    reply(std::vector<std::uint8_t>(f.begin() + 20, f.end()), 0.001);
    pump(0.01);
    EXPECT_EQ(rx_flag, REPLY_STANDARD);
    EXPECT_EQ(graph_flag, 1);
    EXPECT_EQ(pp[0], 0x1111);

    // 40 bytes at once: the first 36 are decoded, the other 4 discarded.
    rx_flag = 0;
    auto g = frame({0x0055, 0x0008, 0x0123});
    g.insert(g.end(), {1, 2, 3, 4});
    reply(g, 0.001);
    pump(0.01);
    EXPECT_EQ(rx_flag, REPLY_DATA);
    EXPECT_EQ(pp[0], 0x0123);
    EXPECT_EQ(GetInQLen(1), 0);

    // With the callback removed, bytes stay queued.
    rx_flag = 0;
    InstallComCallback(1, 0, 0, 0, nullptr, nullptr);
    reply(frame({0x55, 1}), 0.001);
    pump(0.01);
    EXPECT_EQ(rx_flag, 0);
    EXPECT_EQ(GetInQLen(1), 36);
}

TEST_F(RoutineTest, TickCounterSaturatesAt60000) {
    ttick = 0;
    CC_Timer50ms(pA, MAIN_TIMER50MS, EVENT_TIMER_TICK, nullptr, 0, 0);
    CC_Timer50ms(pA, MAIN_TIMER50MS, EVENT_COMMIT, nullptr, 0, 0); // not a tick
    EXPECT_EQ(ttick, 1);
    ttick = 59999;
    for (int i = 0; i < 3; ++i) {
        CC_Timer50ms(pA, MAIN_TIMER50MS, EVENT_TIMER_TICK, nullptr, 0, 0);
    }
    EXPECT_EQ(ttick, 60000);
}

TEST_F(RoutineTest, ClosingThePanelClosesThePortAndEndsTheLoop) {
    useSensor();
    openLink();
    PostCtrlEvent(pA, 0, EVENT_CLOSE);
    EXPECT_EQ(RunUserInterface(), 0); // returns once the close has asked it to
    EXPECT_EQ(stop_flag, 1);
    EXPECT_FALSE(dev.open);
    std::string before = status();
    EXPECT_EQ(CloseCom(com), 0); // a second close does nothing and says nothing
    EXPECT_EQ(status(), before);
}

// The whole program in-process: start-up against the simulated sensor, close, exit code 0.
TEST(Program, StartsTalksAndClosesWithExitCode0) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static char arg0[] = "zel-tests";
    static char* initArgv[] = {arg0, nullptr};
    InitCVIRTE(1, initArgv);
    UseVirtualClock(true);
    std::string dir = MakeTempDir();
    std::ofstream(dir + "/comport.cfg") << "7\n";

    MemorySerialDevice dev;
    zelsim::Engine sensor({});
    dev.onWrite = [&](std::span<const std::uint8_t> b, double now) {
        for (const auto& c : sensor.feed(b.data(), b.size(), now).chunks) {
            dev.send(c.bytes, c.delay + 0.02);
        }
    };
    AttachMemoryDevice(7, &dev);
    std::string exeDir = std::filesystem::path(ZEL_VAVOD_EXE).parent_path().string();
    std::string dirArg = dir;
    std::vector<std::string> args = {exeDir + "/zel-vavod", "--dir", dirArg};
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    std::vector<std::string> seen;
    QTimer watch;
    watch.setInterval(1);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (pA <= 0 || !PanelVisible(pA) || !seen.empty()) {
            return;
        }
        char buf[128];
        GetCtrlVal(pA, MAIN_STATUS, buf, sizeof buf);
        seen.push_back(buf);
        int port = 0;
        GetCtrlVal(pA, MAIN_DROPDCOM, &port);
        seen.push_back(std::to_string(port));
        PostCtrlEvent(pA, 0, EVENT_CLOSE);
    });
    watch.start();
    int code = WinMain(static_cast<int>(args.size()), argv.data());
    EXPECT_EQ(code, 0);
    // When the panel was first shown its status line held the start-up outcome.
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], "V2.0");
    EXPECT_EQ(seen[1], "7");
    EXPECT_FALSE(dev.open);
    EXPECT_EQ(dev.writes.size(), 5u);
    DetachAllMemoryDevices();
    UseVirtualClock(false);
    std::filesystem::remove_all(dir);
}
