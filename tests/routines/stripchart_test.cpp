// The strip chart as the operator uses it: every trace drawn in its own look, repaints paced to
// the display however fast samples come, and zoom by wheel, rectangle, right click and double
// click that new samples do not undo.
#include "harness.h"

#include "chart/stripchart.h"
#include "core/state.h"
#include "host/clock.h"
#include "params/record.h"
#include "runtime/ui.h"
#include "scope/scope.h"
#include "testkit/testing.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QImage>
#include <QMouseEvent>
#include <QWheelEvent>

#include <cmath>
#include <limits>

namespace {

StripChart* Chart() {
    for (QWidget* w : QApplication::allWidgets()) {
        if (auto* c = qobject_cast<StripChart*>(w)) {
            return c;
        }
    }
    return nullptr;
}

class PaintCounter : public QObject {
  public:
    int paints = 0;
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint) {
            ++paints;
        }
        return false;
    }
};

class StripChartTest : public RoutineTest {
  protected:
    void SetUp() override {
        RoutineTest::SetUp();
        DisplayPanel(pA);
        chart = Chart();
        ASSERT_NE(chart, nullptr);
        settle();
    }

    // Real time for the chart's frame timer; the routines' clock is virtual here.
    static void settle(int ms = 120) {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms) {
            QApplication::processEvents(QEventLoop::AllEvents, 10);
        }
    }

    // `n` samples, raw A rising from `from`; thresholds fixed so every trace has its own height.
    void plot(int n, int from = 100) {
        refthdA = 500;
        refthdB = 520;
        upthdA = 620;
        lothdA = 380;
        upthdB = 860;
        lothdB = 180;
        for (int i = 0; i < n; ++i) {
            pp[0] = static_cast<std::uint16_t>(from + i);
            pp[1] = 700;
            pp[2] = 0;
            pp[3] = 0;
            PlotRAWValues();
            AdvanceVirtualClock(1.0 / 26.67); // the line's pace: the time axis spreads them
        }
    }

    void mouse(QEvent::Type type, Qt::MouseButton button, QPoint at) {
        QMouseEvent e(type, QPointF(at), chart->mapToGlobal(QPointF(at)), button,
                      type == QEvent::MouseMove ? Qt::NoButton : button, Qt::NoModifier);
        QApplication::sendEvent(chart, &e);
    }

    bool shows(int sample) { return !StripChartHover(pA, MAIN_STRIPCHART, sample).empty(); }

    StripChart* chart = nullptr;
};

TEST_F(StripChartTest, EveryTraceIsDrawnInItsColourWithTheNewestSampleShown) {
    plot(100);
    settle();
    QImage image = chart->grab().toImage().convertToFormat(QImage::Format_RGB32);
    auto count = [&](QRgb colour) {
        int n = 0;
        for (int y = 0; y < image.height(); ++y) {
            const QRgb* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
            for (int x = 0; x < image.width(); ++x) {
                n += (line[x] & 0xFFFFFF) == (colour & 0xFFFFFF);
            }
        }
        return n;
    };
    // Raw A and B, both references and both channels' bands (drawn without antialiasing, so the
    // pens' colours land as they are).
    for (QRgb colour : {0x1F5FD0u, 0xE06A10u, 0x0A2A78u, 0x8A3A00u, 0x4A86F0u, 0xF2923Cu}) {
        EXPECT_GT(count(colour), 40) << std::hex << colour;
    }
    // The drawing follows the data at once after the frame: what is shown is what is held.
    EXPECT_EQ(StripChartShown(pA, MAIN_STRIPCHART), StripChartTraces(pA, MAIN_STRIPCHART));

    // A value that is not a number leaves a gap and nothing else.
    double gap[8];
    std::fill(std::begin(gap), std::end(gap), std::numeric_limits<double>::quiet_NaN());
    ASSERT_EQ(PlotStripChart(pA, MAIN_STRIPCHART, gap, 8, 0, 0, VAL_DOUBLE), 0);
    settle();
    EXPECT_TRUE(std::isnan(StripChartShown(pA, MAIN_STRIPCHART)[0].back()));
    EXPECT_FALSE(chart->grab().isNull());
}

TEST_F(StripChartTest, SamplesFasterThanTheDisplayCostOneRepaintPerFrame) {
    plot(100);
    settle();
    PaintCounter counter;
    chart->installEventFilter(&counter);
    // 30 samples within one pass of the pump, then a few frames' time.
    plot(30, 300);
    settle(3 * StripChart::kFrameMs);
    chart->removeEventFilter(&counter);
    EXPECT_GE(counter.paints, 1);
    EXPECT_LE(counter.paints, 2);
    EXPECT_EQ(StripChartShown(pA, MAIN_STRIPCHART)[0].back(), 329.0);
}

TEST_F(StripChartTest, WheelRectangleRightClickAndDoubleClickZoomAndNewSamplesKeepIt) {
    plot(100);
    settle();
    ASSERT_TRUE(shows(99));
    ASSERT_TRUE(shows(0));

    // The wheel zooms in around the middle: the oldest and newest samples leave the view.
    const QPoint middle = chart->samplePos(50);
    QWheelEvent wheel(QPointF(middle), chart->mapToGlobal(QPointF(middle)), QPoint(),
                      QPoint(0, 2 * 120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(chart, &wheel);
    EXPECT_TRUE(StripChartZoomed(pA, MAIN_STRIPCHART));
    EXPECT_FALSE(shows(99));
    EXPECT_FALSE(shows(0));
    EXPECT_TRUE(shows(50));

    // A double click shows the whole history again.
    mouse(QEvent::MouseButtonDblClick, Qt::LeftButton, middle);
    EXPECT_FALSE(StripChartZoomed(pA, MAIN_STRIPCHART));
    EXPECT_TRUE(shows(99));

    // A rectangle dragged over samples 10 to 30 zooms into it.
    QPoint from = chart->samplePos(10) + QPoint(0, -40);
    QPoint to = chart->samplePos(30) + QPoint(0, 40);
    mouse(QEvent::MouseButtonPress, Qt::LeftButton, from);
    mouse(QEvent::MouseMove, Qt::NoButton, to);
    mouse(QEvent::MouseButtonRelease, Qt::LeftButton, to);
    EXPECT_TRUE(StripChartZoomed(pA, MAIN_STRIPCHART));
    EXPECT_TRUE(shows(20));
    EXPECT_FALSE(shows(45));

    // New samples scroll through the zoomed view instead of resetting it.
    plot(5, 400);
    settle();
    EXPECT_TRUE(StripChartZoomed(pA, MAIN_STRIPCHART));
    EXPECT_FALSE(shows(99));

    // A right click zooms out to twice the span around the same centre.
    mouse(QEvent::MouseButtonPress, Qt::RightButton, chart->samplePos(15));
    mouse(QEvent::MouseButtonRelease, Qt::RightButton, chart->samplePos(15));
    EXPECT_TRUE(shows(32));
    EXPECT_FALSE(shows(45));

    // Reset zoom does what the double click does.
    ClickCtrl(pA, MAIN_BTNRESETZOOM);
    pump(0.01);
    EXPECT_FALSE(StripChartZoomed(pA, MAIN_STRIPCHART));
    EXPECT_TRUE(shows(99));
}

} // namespace
