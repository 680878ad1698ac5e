#include "harness.h"

#include "app/app.h"
#include "core/state.h"
#include "link/link.h"
#include "params/params.h"
#include "runtime/ui.h"
#include "serial/serial.h"

#include <algorithm>
#include <csignal>
#include <initializer_list>
#include <memory>

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

TEST_F(SimLinkTest, FirmwareTextByHardwareType) {
    startSim({"--hw", "100", "--firmware", "ZEL A2X fw 3.1", "--baud", "0"});
    InitRS232(1);
    EXPECT_EQ(pcbtype, 100);
    EXPECT_EQ(status(), "ZEL A2X fw 3.1");
}

TEST_F(SimLinkTest, LineFaultsEndInTheirMessages) {
    struct Case {
        std::vector<std::string> args;
        const char* status;
    } cases[] = {
        // A reply in two pieces is read as one.
        {{"--split"}, "V2.0"},
        // Extra bytes after each reply are dropped with the frame; the firmware reply then
        // counts 76 bytes, which takes no text and keeps the previous message.
        {{"--extra", "4"}, "Parameter-frame received! - Line Ok!"},
        // A wrong echo fails the hardware request; the exchange goes on.
        {{"--wrong-echo"}, "V2.0"},
        // Silence after the line check: every later request ends by its time-out.
        {{"--silent", "10,2,7"}, "Error reading firmware-info!"},
    };
    for (auto& c : cases) {
        c.args.push_back("--baud");
        c.args.push_back("0");
        startSim(c.args);
        InitRS232(1);
        EXPECT_EQ(status(), c.status) << c.args[0];
        CloseCom(1);
        sim->signal(SIGTERM);
        sim->wait(5);
    }
}

TEST_F(SimLinkTest, DeviceVanishingDuringStartupThenPickingAgain) {
    // The line goes away after the hardware request: the GETs and the firmware request end by
    // their time-outs, nothing hangs, and a port picked afterwards works.
    startSim({"--unplug-after", "2", "--baud", "0"});
    double t0 = Timer();
    InitRS232(1);
    double took = Timer() - t0;
    EXPECT_EQ(status(), "Error reading firmware-info!");
    EXPECT_LT(took, 2 * TIMEOUT + 2.0 + 1.0);

    auto second =
        std::make_unique<zelsim::SimProcess>(ZEL_SIM_EXE, std::vector<std::string>{"--baud", "0"});
    ASSERT_TRUE(second->ok());
    BindComPort(2, second->ptyPath());
    FillPortSelector(1);
    SetCtrlVal(pA, MAIN_DROPDCOM, 2);
    CC_DropDCom(pA, MAIN_DROPDCOM, EVENT_COMMIT, nullptr, 0, 0);
    EXPECT_EQ(com, 2);
    EXPECT_EQ(status(), "V2.0");
    CloseCom(2);
    second->signal(SIGTERM);
    EXPECT_EQ(second->wait(5), 0);
}

TEST_F(SimLinkTest, ALostDeviceIsNamedAndFoundAgainOnItsPath) {
    const std::string link = tempDir + "/sensor";
    startSim({"--unplug-after", "6", "--link", link});
    BindComPort(1, link);
    InitRS232(1);
    ASSERT_EQ(status(), "V2.0");
    // The simulator drops the line after the start-up exchange and one more request: the port
    // is named as lost.
    CheckComLine(1);
    auto pumpUntil = [](double limit, auto done) {
        double end = Timer() + limit;
        while (Timer() < end && !done()) {
            ProcessSystemEvents();
        }
    };
    pumpUntil(3.0, [] { return PortLost(); });
    ASSERT_TRUE(PortLost());
    EXPECT_EQ(status(), "Port COM1 lost (" + link + ")");
    EXPECT_EQ(sim->wait(5), 0);
    // A GET now ends at once instead of waiting out its time-out.
    double t0 = Timer();
    PushGET(RAM, 0);
    EXPECT_LT(Timer() - t0, 0.2);
    // The same path comes back: found within about a second, with the start-up exchange.
    zelsim::SimProcess again(ZEL_SIM_EXE, {"--link", link});
    ASSERT_TRUE(again.ok());
    pumpUntil(3.0, [] { return !PortLost() && std::string(szStatus).rfind("COM1 back", 0) == 0; });
    EXPECT_EQ(status(), "COM1 back: V2.0");
    CloseCom(1);
    again.signal(SIGTERM);
    EXPECT_EQ(again.wait(5), 0);
}

namespace {
// Simulated sensors on ports 2, 3 and 4; `answers` says which of them answer the line check.
struct ThreeSensors {
    explicit ThreeSensors(std::initializer_list<bool> answers) {
        int port = 2;
        for (bool answer : answers) {
            std::vector<std::string> args = {"--baud", "0"};
            if (!answer) {
                args.insert(args.end(), {"--silent", "5"});
            }
            sims.push_back(std::make_unique<zelsim::SimProcess>(ZEL_SIM_EXE, args));
            if (sims.back()->ok()) {
                BindComPort(port, sims.back()->ptyPath());
            }
            ++port;
        }
    }
    ~ThreeSensors() {
        for (auto& s : sims) {
            s->signal(SIGTERM);
            s->wait(5);
        }
    }
    bool ok() const {
        return std::all_of(sims.begin(), sims.end(), [](auto& s) { return s->ok(); });
    }
    std::vector<std::unique_ptr<zelsim::SimProcess>> sims;
};
} // namespace

TEST_F(SimLinkTest, FindSensorProbesAllPortsAtOnceAndPicksTheOneThatAnswers) {
    startSim({"--silent", "5", "--baud", "0"});
    InitRS232(1);
    ThreeSensors three({false, true, false});
    ASSERT_TRUE(three.ok());
    FillPortSelector(com);
    double t0 = Timer();
    CC_BTNFindSensor(pA, MAIN_BTNFINDSENSOR, EVENT_COMMIT, nullptr, 0, 0);
    double took = Timer() - t0;
    EXPECT_EQ(com, 3);
    EXPECT_EQ(status(), "V2.0");
    int shown = 0;
    GetCtrlVal(pA, MAIN_DROPDCOM, &shown);
    EXPECT_EQ(shown, 3);
    // The port in use and the probe of the others: one time-out each, not one per port.
    EXPECT_LT(took, 2 * TIMEOUT + 1.0);
    CloseCom(3);
}

TEST_F(SimLinkTest, FindSensorNamesThePortsTriedWhenNoneAnswers) {
    startSim({"--silent", "5", "--baud", "0"});
    InitRS232(1);
    ThreeSensors three({false, false, false});
    ASSERT_TRUE(three.ok());
    CC_BTNFindSensor(pA, MAIN_BTNFINDSENSOR, EVENT_COMMIT, nullptr, 0, 0);
    EXPECT_EQ(com, 1);
    EXPECT_EQ(status().rfind("No sensor found (tried COM1, COM2, COM3, COM4", 0), 0u) << status();
    // The port in use stays open and in use.
    EXPECT_GE(GetInQLen(1), 0);
}
