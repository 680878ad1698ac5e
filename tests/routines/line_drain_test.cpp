// A line whose output queue drains at the line's speed, as a UART's does: the window goes on
// while a request is on its way, and no request is ever cut short by the flush before the next.
#include "harness.h"

#include "core/state.h"
#include "host/clock.h"
#include "link/link.h"
#include "params/params.h"
#include "runtime/ui.h"
#include "serial/serial.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <string>

namespace {

class LineDrainTest : public RoutineTest {
  protected:
    void SetUp() override {
        RoutineTest::SetUp();
        dev.lineBaud = 19200;
    }
    const std::string request_ = std::string(36, '\x55');
};

} // namespace

TEST_F(LineDrainTest, TheWindowRunsWhileARequestIsOnTheLine) {
    useSensor();
    openLink();
    // Each request posts an event as it is handed over; the event must run while the request
    // is still leaving, not once the line has taken it.
    int posted = 0;
    int ranWhileLeaving = 0;
    auto sensorSide = dev.onWrite;
    dev.onWrite = [&](std::span<const std::uint8_t> bytes, double now) {
        sensorSide(bytes, now);
        ++posted;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [&] {
                if (dev.outputQueued(Timer()) > 0) {
                    ++ranWhileLeaving;
                }
            },
            Qt::QueuedConnection);
    };
    PushGET(RAM, 0);
    PushGET(RAM, 1);
    EXPECT_EQ(status(), "Parameter-frame received! - Line Ok!");
    EXPECT_EQ(posted, 2);
    EXPECT_EQ(ranWhileLeaving, posted);
    EXPECT_EQ(dev.outputDiscarded, 0);
}

TEST_F(LineDrainTest, ARequestOnItsWayIsNeverCutButAHeldLineIsEmptied) {
    openLink();
    ASSERT_EQ(ComWrt(1, request_.data(), 36), 36);
    EXPECT_GT(dev.outputQueued(Timer()), 0) << "handed over, not waited for";
    // The flush before the next request leaves a request that is leaving at the line's pace.
    EXPECT_EQ(FlushOutQ(1), 0);
    EXPECT_EQ(dev.outputDiscarded, 0);
    pump(0.05);
    EXPECT_EQ(dev.outputQueued(Timer()), 0);

    // A line that takes nothing (held by flow control) still takes the request, without a
    // wait; once it should have left, the flush throws it away...
    dev.outputHeld = true;
    ASSERT_EQ(ComWrt(1, request_.data(), 36), 36);
    EXPECT_EQ(FlushOutQ(1), 0);
    EXPECT_EQ(dev.outputDiscarded, 0) << "not yet: it could still be leaving";
    pump(0.2);
    EXPECT_EQ(FlushOutQ(1), 0);
    EXPECT_EQ(dev.outputDiscarded, 36);
    // ...and so does closing the port, which must not wait for a line that never drains.
    ASSERT_EQ(ComWrt(1, request_.data(), 36), 36);
    pump(0.2);
    EXPECT_EQ(CloseCom(1), 0);
    EXPECT_EQ(dev.outputDiscarded, 72);
}
