#include "harness.h"

#include "link.h"
#include "state.h"
#include "ui.h"

#include <algorithm>

// The start-up exchange over a real pseudo-terminal, as the sensor sees it.
TEST_F(SimLinkTest, StartupExchangeInOrderWithPauses) {
    startSim({"--latency", "0"});
    InitRS232(1);
    EXPECT_EQ(status(), "V2.0");
    std::vector<std::string> rx;
    std::vector<double> at;
    for (const auto& line : simLog()) {
        auto pos = line.find(" RX ");
        if (pos != std::string::npos) {
            rx.push_back(line.substr(pos + 4, 11));
            at.push_back(std::stod(line.substr(0, pos)));
        }
    }
    ASSERT_EQ(rx.size(), 5u);
    EXPECT_EQ(rx[0], "00 55 00 05");
    EXPECT_EQ(rx[1], "00 55 00 0A");
    EXPECT_EQ(rx[2], "00 55 00 02");
    EXPECT_EQ(rx[3], "00 55 00 02");
    EXPECT_EQ(rx[4], "00 55 00 07");
    // Each request follows the previous reply after the 0.05 s pause.
    for (std::size_t i = 1; i < at.size(); ++i) {
        EXPECT_GE(at[i] - at[i - 1], 0.05 + 0.036) << "between request " << i - 1 << " and " << i;
    }
}
