// The port selector following adapters plugged in and out.
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

bool Lists(int port) {
    auto items = RingItems(pA, MAIN_DROPDCOM);
    return std::any_of(items.begin(), items.end(), [&](const auto& i) { return i.first == port; });
}

TEST_F(RoutineTest, PortListFollowsAdaptersWithoutTouchingThePortInUse) {
    useSensor();
    openLink();
    FillPortSelector(1);
    ASSERT_FALSE(Lists(9));
    RecordEvents(true);

    // An adapter appears: listed, while the port in use stays selected, open and quiet.
    BindComPort(9, tempDir + "/ttyNEW");
    RefreshPortList();
    EXPECT_TRUE(Lists(9));
    auto items = RingItems(pA, MAIN_DROPDCOM);
    auto nine = std::find_if(items.begin(), items.end(), [](auto& i) { return i.first == 9; });
    ASSERT_NE(nine, items.end());
    EXPECT_NE(nine->second.find("ttyNEW"), std::string::npos);
    int shown = 0;
    GetCtrlVal(pA, MAIN_DROPDCOM, &shown);
    EXPECT_EQ(shown, 1);
    EXPECT_EQ(com, 1);
    EXPECT_TRUE(dev.open);
    EXPECT_TRUE(writes().empty());

    // And goes again.
    ClearComBindings();
    RefreshPortList();
    EXPECT_FALSE(Lists(9));
    GetCtrlVal(pA, MAIN_DROPDCOM, &shown);
    EXPECT_EQ(shown, 1);
    EXPECT_EQ(com, 1);
    EXPECT_TRUE(dev.open);
    EXPECT_TRUE(writes().empty());
    pump(0.05);
    for (const auto& e : RecordedEvents()) {
        EXPECT_NE(e.control, MAIN_DROPDCOM) << "event " << e.event;
    }
    RecordEvents(false);
}

} // namespace
