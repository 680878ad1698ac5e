// X-FLASH programming as operations: each page's outcome, the progress a caller is told, single
// pages again, and what is refused without a frame.
#include "harness.h"

#include "calib/flash_ops.h"
#include "host/clock.h"
#include "link/exchange.h"

#include <algorithm>
#include <array>
#include <vector>

namespace {

class FlashOpsTest : public RoutineTest {
  protected:
    void SetUp() override {
        RoutineTest::SetUp();
        useSensor({}, 0);
        openLink();
        for (int i = 0; i < kCalibWords; ++i) {
            tableA[static_cast<std::size_t>(i)] = static_cast<std::uint16_t>(0xA000 + i);
        }
        plan.header = true;
        plan.headerWords = {1, 2, 307, 4, 5, 6, 7, 8};
        plan.tableA = tableA.data();
    }
    // Frames whose order and second word match are written but never answered.
    void loseFrames(unsigned order, unsigned from, unsigned to) {
        dev.onWrite = [=, answer = dev.onWrite](std::span<const std::uint8_t> bytes, double now) {
            unsigned o = bytes[2] << 8 | bytes[3], second = bytes[4] << 8 | bytes[5];
            if (!(o == order && second >= from && second <= to)) {
                answer(bytes, now);
            }
        };
    }
    std::uint16_t flash(unsigned address) const { return sensor->model().flashAt(address); }

    std::array<std::uint16_t, kCalibWords> tableA{};
    FlashPlan plan;
};

struct Progress {
    std::vector<FlashEvent> done; // the events after each order
    static void Note(const FlashEvent& e, void* self) {
        if (!e.before) {
            static_cast<Progress*>(self)->done.push_back(e);
        }
    }
};

} // namespace

TEST_F(FlashOpsTest, HeaderAndTableAreProgrammedWithTheirPauses) {
    Progress progress;
    double t0 = Timer();
    FlashReport report = ProgramXFlash(1, plan, &Progress::Note, &progress);
    double took = Timer() - t0;

    EXPECT_TRUE(report.ok());
    EXPECT_TRUE(report.pages[1].attempted && report.pages[2].attempted &&
                report.pages[5].attempted);
    EXPECT_FALSE(report.pages[6].attempted);
    EXPECT_EQ(flash(0x1102), 307);
    EXPECT_EQ(flash(0x1107), 8);
    EXPECT_EQ(flash(0x1200), 0xA000);
    EXPECT_EQ(flash(0x15FF), 0xA3FF);
    // 0.3 s before the header erase, after it, after the header, after each table erase.
    EXPECT_GE(took, 7 * kFlashErasePauseSec);
    EXPECT_LT(took, 7 * kFlashErasePauseSec + 1.0);

    ASSERT_EQ(static_cast<int>(progress.done.size()), FlashOrderCount(plan));
    EXPECT_EQ(progress.done.back().done, 134);
    EXPECT_EQ(progress.done.back().total, 134);
    EXPECT_EQ(progress.done[1].step, FlashStep::Header);
    EXPECT_EQ(progress.done.back().address, 0x15F8);
    EXPECT_EQ(progress.done.back().page, 5);
}

// A block without a reply skips the rest of its page; the report names the page, how it failed
// and where, and the progress still reaches its total.
TEST_F(FlashOpsTest, AnUnansweredBlockFailsItsPageOnly) {
    loseFrames(ORDER_FLASH_WRITE, 0x1310, 0x1310);
    Progress progress;
    FlashReport report = ProgramXFlash(1, plan, &Progress::Note, &progress);

    EXPECT_FALSE(report.ok());
    for (int p = 0; p < kFlashPages; ++p) {
        EXPECT_EQ(report.pages[static_cast<std::size_t>(p)].ok, p != 3) << p;
    }
    EXPECT_EQ(report.pages[3].failure, Outcome::Timeout);
    EXPECT_EQ(report.pages[3].failedAddress, 0x1310);
    EXPECT_EQ(flash(0x1311), 0xFFFF); // skipped
    EXPECT_EQ(flash(0x1400), 0xA200); // the next page still written
    EXPECT_EQ(progress.done.back().done, FlashOrderCount(plan));
    EXPECT_LT(static_cast<int>(progress.done.size()), FlashOrderCount(plan));

    // The page again, on its own: erased and written whole.
    useSensor({}, 0);
    std::size_t before = writes().size();
    PageOutcome again = ProgramPage(1, 3, plan);
    EXPECT_TRUE(again.ok);
    EXPECT_EQ(writes().size() - before, 1u + 32u);
    EXPECT_EQ(writtenWord(before, 2), static_cast<unsigned>(ORDER_FLASH_ERASE));
    EXPECT_EQ(flash(0x13FF), 0xA1FF);

    before = writes().size();
    EXPECT_TRUE(ProgramPage(1, 1, plan).ok);
    ASSERT_EQ(writes().size() - before, 2u);
    EXPECT_EQ(writtenWord(before + 1, 2), static_cast<unsigned>(ORDER_CALIB_HEADER));
    EXPECT_EQ(writtenWord(before + 1, 4), 0x1100u);
}

TEST_F(FlashOpsTest, PagesOutsideTheErasableRangeAreRefusedWithoutAFrame) {
    for (std::uint16_t address : {std::uint16_t{0x1000}, std::uint16_t{0x1180},
                                  std::uint16_t{0x2000}, std::uint16_t{0x0F00}}) {
        ExchangeResult r = ErasePage(1, address);
        EXPECT_EQ(r.outcome, Outcome::NotWritten) << std::hex << address;
        EXPECT_EQ(r.order, ORDER_FLASH_ERASE);
        EXPECT_EQ(r.address, address);
    }
    EXPECT_TRUE(writes().empty());
    EXPECT_TRUE(ErasePage(1, 0x1F00).ok());
}

TEST_F(FlashOpsTest, TheWriteFrameCarriesTheCountAsGivenAndNeverMoreThanEightWords) {
    std::array<std::uint16_t, 12> words{};
    for (std::size_t i = 0; i < words.size(); ++i) {
        words[i] = static_cast<std::uint16_t>(0xB000 + i);
    }
    WriteFlashWords(1, 0x1208, 11, words.data());
    WriteFlashWords(1, 0x1210, 3, nullptr);
    ErasePage(1, 0x1300);
    ASSERT_EQ(writes().size(), 3u);
    std::vector<std::uint8_t> write(36, 0);
    write[1] = 0x55;
    write[3] = ORDER_FLASH_WRITE;
    write[4] = 0x12;
    write[5] = 0x08;
    write[7] = 11;
    for (int i = 0; i < 8; ++i) {
        write[8 + 2 * i] = 0xB0;
        write[9 + 2 * i] = static_cast<std::uint8_t>(i);
    }
    EXPECT_EQ(writes()[0], write) << "the count as given, eight words, the rest 0";
    std::vector<std::uint8_t> countOnly(36, 0);
    countOnly[1] = 0x55;
    countOnly[3] = ORDER_FLASH_WRITE;
    countOnly[4] = 0x12;
    countOnly[5] = 0x10;
    countOnly[7] = 3;
    EXPECT_EQ(writes()[1], countOnly) << "no words: only the count";
    std::vector<std::uint8_t> erase(36, 0);
    erase[1] = 0x55;
    erase[2] = 0x00;
    erase[3] = static_cast<std::uint8_t>(ORDER_FLASH_ERASE);
    erase[4] = 0x13;
    for (int i = 0; i < 15; ++i) {
        erase[7 + 2 * i] = 0xAA;
    }
    EXPECT_EQ(writes()[2], erase) << "every data word 0x00AA";
}
