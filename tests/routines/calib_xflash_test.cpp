#include "harness.h"

#include "calib/calib.h"
#include "core/state.h"
#include "link/frames.h"
#include "link/link.h"
#include "params/record.h"
#include "runtime/ui.h"
#include "testkit/testing.h"

#include <algorithm>
#include <chrono>
#include <string>

namespace {

int Val(int panel, int control) {
    int v = -1;
    GetCtrlVal(panel, control, &v);
    return v;
}

class CalibXFlashTest : public RoutineTest {
  protected:
    void SetUp() override {
        RoutineTest::SetUp();
        ClearCalibration();
        useSensor({}, 0);
        openLink();
        for (int i = 0; i < kCalibTableWords; ++i) {
            linArrayA[i] = static_cast<std::uint16_t>(0xA000 + i);
            linArrayB[i] = static_cast<std::uint16_t>(0xB000 + i);
        }
    }
    // Sets the switches and presses the write button.
    void program(int header, int tables, int loadedA, int loadedB) {
        look_flagA = loadedA;
        look_flagB = loadedB;
        SetCtrlVal(pCalib, CAL_HEADERSW, header);
        SetCtrlVal(pCalib, CAL_TABLESSW, tables);
        SetCtrlAttribute(pCalib, CAL_BTNWRITE, ATTR_DIMMED, 0);
        ClickCtrl(pCalib, CAL_BTNWRITE);
        pump(0.01);
    }
    // Orders the program wrote, with their second words.
    std::vector<std::pair<unsigned, unsigned>> orders() const {
        std::vector<std::pair<unsigned, unsigned>> out;
        for (std::size_t i = 0; i < writes().size(); ++i) {
            out.emplace_back(writtenWord(i, 2), writtenWord(i, 4));
        }
        return out;
    }
    std::uint16_t flash(unsigned address) const { return sensor->model().flashAt(address); }
    bool pageHoldsTable(unsigned page, const std::uint16_t* entries) const {
        for (unsigned i = 0; i < 256; ++i) {
            if (flash(page + i) != entries[i]) {
                return false;
            }
        }
        return true;
    }
};

} // namespace

TEST_F(CalibXFlashTest, FullProgrammingWritesHeaderAndBothTables) {
    SetCtrlVal(pCalib, CAL_H1, 1);
    SetCtrlVal(pCalib, CAL_H3A, 0.3);
    SetCtrlVal(pCalib, CAL_H5B, 8);
    calibration[11] = 0x5A5A; // words beyond H5B are never sent as anything but 0
    program(1, 1, 1, 1);

    auto o = orders();
    ASSERT_EQ(o.size(), 266u);
    EXPECT_EQ(o[0], std::make_pair(180u, 0x1100u));
    EXPECT_EQ(o[1], std::make_pair(23u, 0x1100u));
    EXPECT_EQ(o[2], std::make_pair(180u, 0x1200u));
    EXPECT_EQ(o[5], std::make_pair(180u, 0x1500u));
    EXPECT_EQ(o[6], std::make_pair(182u, 0x1200u));
    EXPECT_EQ(o[7], std::make_pair(182u, 0x1208u));
    EXPECT_EQ(o[134], std::make_pair(180u, 0x1600u));
    EXPECT_EQ(o[265], std::make_pair(182u, 0x19F8u));

    // The block at 0x1208 carries count 8, table entries 8 to 15, then zeros; erases 0x00AA.
    for (int i = 0; i < 15; ++i) {
        EXPECT_EQ(writtenWord(7, 6 + 2 * i), i == 0 ? 8u : i <= 8 ? 0xA007u + i : 0u) << i;
        EXPECT_EQ(writtenWord(0, 6 + 2 * i), 0xAAu);
    }
    EXPECT_EQ(flash(0x1102), 307);
    EXPECT_EQ(flash(0x1107), 8);
    EXPECT_EQ(flash(0x1108), 0);
    EXPECT_TRUE(pageHoldsTable(0x1900, linArrayB + 768));
    EXPECT_EQ(status(), "Writing X-FLASH-PAGE:  9 ... OK!");
    EXPECT_EQ(Val(pCalib, CAL_ADDRESS), 0x1A00);
    EXPECT_EQ(Val(pCalib, CAL_PROGRESS), 266);
    EXPECT_EQ(parameter[1], 0xB6);
    EXPECT_EQ(parameter[2], 0x1900); // the last erased page

    auto h = statusHistory();
    EXPECT_NE(std::find(h.begin(), h.end(), "Clearing X-FLASH-PAGE:  1 ... OK!"), h.end());
    EXPECT_NE(std::find(h.begin(), h.end(), "XFLASH-PAGE1 calibration-data-writing OK!"), h.end());
}

// A screen reader hears each phase of the run once and its last word, not page by page.
TEST_F(CalibXFlashTest, AScreenReaderHearsEachPhaseOnceAndTheRunsLastWord) {
    DisplayPanel(pA);
    RecordAnnouncements(true);
    program(1, 1, 1, 1);
    auto said = [] {
        std::vector<std::string> out;
        for (const auto& a : RecordedAnnouncements()) {
            if (a.kind == "announcement") {
                out.push_back(a.text);
            }
        }
        return out;
    };
    const std::vector<std::string> phases = {"Clearing X-FLASH-PAGE:  1 ... OK!",
                                             "XFLASH-PAGE1 calibration-data-writing OK!",
                                             "Writing X-FLASH-PAGE:  2 ... OK!"};
    EXPECT_EQ(said(), phases);
    // The last word once the line has stayed on it for a while of real time.
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (said().size() <= phases.size() && std::chrono::steady_clock::now() < end) {
        ProcessSystemEvents();
    }
    auto all = phases;
    all.push_back("Writing X-FLASH-PAGE:  9 ... OK!");
    EXPECT_EQ(said(), all);
    RecordAnnouncements(false);
}

TEST_F(CalibXFlashTest, TablesWithoutALoadedTableSendNothing) {
    program(0, 1, 0, 0);
    EXPECT_TRUE(writes().empty());
}

// A write block without a reply on page 3: the page's remaining blocks are skipped, page 4
// is still written, and the run does not end on an "OK!" but names the page.
TEST_F(CalibXFlashTest, UnansweredBlockSkipsRestOfPageAndIsNamedAtTheEnd) {
    auto answer = dev.onWrite;
    dev.onWrite = [&](std::span<const std::uint8_t> bytes, double now) {
        bool lost = bytes.size() == 36 && bytes[3] == 0xB6 && bytes[4] == 0x13 && bytes[5] == 0x10;
        if (!lost) {
            answer(bytes, now);
        }
    };
    program(1, 1, 1, 0);

    auto h = statusHistory();
    EXPECT_NE(std::find(h.begin(), h.end(), "Writing X-FLASH-PAGE:  3 ... Error!"), h.end());
    for (auto [order, second] : orders()) {
        EXPECT_FALSE(order == 182 && second > 0x1310 && second < 0x1400) << std::hex << second;
    }
    EXPECT_EQ(flash(0x130F), linArrayA[256 + 15]);
    EXPECT_EQ(flash(0x1310), 0xFFFF);
    EXPECT_TRUE(pageHoldsTable(0x1400, linArrayA + 512));
    EXPECT_TRUE(pageHoldsTable(0x1500, linArrayA + 768));
    EXPECT_EQ(status(), "Error: X-FLASH-PAGE 3 not programmed!");
    EXPECT_EQ(Val(pCalib, CAL_PROGRESS), 134); // the skipped blocks count as passed
}

TEST_F(CalibXFlashTest, UnansweredEraseAndHeaderAreNamedToo) {
    dev.onWrite = [&, answer = dev.onWrite](std::span<const std::uint8_t> bytes, double now) {
        bool lost = (bytes[3] == 23) || (bytes[3] == 0xB4 && bytes[4] == 0x17);
        if (!lost) {
            answer(bytes, now);
        }
    };
    program(1, 1, 0, 1);
    auto h = statusHistory();
    EXPECT_NE(std::find(h.begin(), h.end(), "Timeout-RS-232..."), h.end());
    EXPECT_EQ(status(), "Error: X-FLASH-PAGES 1, 7 not programmed!");
}

TEST_F(CalibXFlashTest, EraseRefusesAddressesOutsideOrInsidePages) {
    for (std::uint16_t bad : {0x1000, 0x10FF, 0x1F01, 0x2000}) {
        EXPECT_EQ(ClearXFLASH(bad), 0);
        EXPECT_EQ(status(), "error:FLASH-address out of range") << std::hex << bad;
    }
    EXPECT_EQ(ClearXFLASH(0x1180), 0);
    EXPECT_EQ(status(), "page address not valid!");
    EXPECT_TRUE(writes().empty());
    EXPECT_NE(parameter[1], 0xB4);

    EXPECT_EQ(ClearXFLASH(0x1F00), 1);
    EXPECT_EQ(status(), "Clearing X-FLASH-PAGE: 15 ... OK!");
    ASSERT_EQ(writes().size(), 1u);
    EXPECT_EQ(writtenWord(0, 4), 0x1F00u);
    EXPECT_EQ(parameter[1], 0xB4);
    EXPECT_EQ(parameter[2], 0x1F00);
}

TEST_F(CalibXFlashTest, InfoBlockChecksTheEcho) {
    EXPECT_EQ(SendInfoBlockToFlash(0x1234, 0x0F80), 1);
    EXPECT_STREQ(szStatus, "ok:  SendInfoBlockToFlash!");
    EXPECT_EQ(writtenWord(0, 2), 20u);
    EXPECT_EQ(writtenWord(0, 4), 0x0F80u);
    EXPECT_EQ(writtenWord(0, 6), 0x1234u);
    EXPECT_EQ(writtenWord(0, 8), 0u);

    dev.onWrite = [&](std::span<const std::uint8_t>, double) {
        dev.send(frame({0x55, 0x14, 0x00AB}), 0.01);
    };
    EXPECT_EQ(SendInfoBlockToFlash(1, 2), -2);
    EXPECT_STREQ(szStatus, "error : unknown F801 echo at order-20!");

    dev.onWrite = [&](std::span<const std::uint8_t>, double) {
        auto f = frame({0x55, 0x14, 0x00AA});
        f.pop_back();
        dev.send(f, 0.01);
    };
    double t0 = Timer();
    EXPECT_EQ(SendInfoBlockToFlash(1, 2), -1);
    EXPECT_GE(Timer() - t0, TIMEOUT);
    EXPECT_EQ(nBytesR, 35);
    EXPECT_STREQ(szStatus, "Timeout: SendInfoBlockToFlash < 36 Bytes");
}

// While programming runs, its waits process events: a second press of the write button, or
// a file load, must not start inside it.
TEST_F(CalibXFlashTest, PanelIsLockedWhileProgramming) {
    int nested = 0;
    dev.onWrite = [&, answer = dev.onWrite](std::span<const std::uint8_t> bytes, double now) {
        if (bytes[3] == 0xB4 && bytes[4] == 0x12) {
            nested++;
            ClickCtrl(pCalib, CAL_BTNWRITE);
            ClickCtrl(pCalib, CAL_BTNFILECHA);
        }
        answer(bytes, now);
    };
    program(1, 1, 1, 0);
    EXPECT_EQ(nested, 1);
    EXPECT_EQ(orders().size(), 134u);
    EXPECT_EQ(look_flagA, 1);
    EXPECT_TRUE(FileSelectCalls().empty());
    EXPECT_EQ(Val(pCalib, CAL_PROGRESS), 134);
    int dimmed = -1;
    GetCtrlAttribute(pCalib, CAL_BTNWRITE, ATTR_DIMMED, &dimmed);
    EXPECT_EQ(dimmed, 0);
    GetCtrlAttribute(pCalib, CAL_BTNFILECHA, ATTR_DIMMED, &dimmed);
    EXPECT_EQ(dimmed, 0);
}
