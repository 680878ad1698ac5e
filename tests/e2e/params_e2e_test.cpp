// The parameter set through the simulated sensor over a pty, as a technician uses it.
#include "harness.h"

#include "core/state.h"
#include "link/link.h"
#include "params/params.h"
#include "params/record.h"
#include "runtime/ui.h"

TEST_F(SimLinkTest, EditSendToEepromAndGetItBack) {
    startSim({"--baud", "0", "--latency", "0"});
    InitRS232(1);
    ASSERT_EQ(status(), "V2.0");
    SetCtrlVal(pA, MAIN_TOLA, 42u);
    target = EEPROM;
    CC_BTNSend(pA, MAIN_BTNSEND, EVENT_COMMIT, nullptr, 0, 0);
    EXPECT_EQ(status(), "Transmit para1 Ok!");
    SetCtrlVal(pA, MAIN_TOLA, 7u); // overwritten by the next Get
    CC_BTNGet(pA, MAIN_BTNGET, EVENT_COMMIT, nullptr, 0, 0);
    EXPECT_EQ(status(), "Parameter-frame received! - Line Ok!");
    unsigned short tol = 0;
    GetCtrlVal(pA, MAIN_TOLA, &tol);
    EXPECT_EQ(tol, 42);
    EXPECT_EQ(upthdA, 512 + 42);

    // The sensor saw the send frame exactly, and the start-up GET of block 1.
    bool sawSend = false, sawBlock1 = false;
    for (const auto& line : simLog()) {
        sawSend = sawSend || line.find("RX 00 55 00 03 00 00 01 F4 02 00 02 00 00 2A 00 64 00 0A "
                                       "00 00") != std::string::npos;
        sawBlock1 = sawBlock1 || line.find("RX 00 55 00 02 00 01 00 00 00 00") != std::string::npos;
    }
    EXPECT_TRUE(sawSend);
    EXPECT_TRUE(sawBlock1);
}
