// The block read: its frame, where the 64 words land, and what a short or long answer does.
#include "harness.h"

#include "core/state.h"
#include "link/frames.h"
#include "link/link.h"
#include "runtime/ui.h"
#include "scope/scope.h"

#include <algorithm>

namespace {

class ScopeBlockReadTest : public RoutineTest {
  protected:
    void SetUp() override {
        RoutineTest::SetUp();
        openLink();
        std::fill(std::begin(yArrayA), std::end(yArrayA), 7);
        std::fill(std::begin(yArrayB), std::end(yArrayB), 7);
    }
    // 128 bytes 1, 2, 3, ... answered to the next write.
    void answerWith(std::vector<std::uint8_t> bytes, double delay = 0.08) {
        dev.onWrite = [this, bytes, delay](std::span<const std::uint8_t>, double) {
            reply(bytes, delay);
        };
    }
    static std::vector<std::uint8_t> counting(int n) {
        std::vector<std::uint8_t> b(static_cast<std::size_t>(n));
        for (int i = 0; i < n; ++i) {
            b[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i + 1);
        }
        return b;
    }
    static int count7(const std::uint16_t* a, int from, int to) {
        return static_cast<int>(std::count(a + from, a + to, 7));
    }
};

TEST_F(ScopeBlockReadTest, SilentSensorClearsTheImageAfterTimeout) {
    ttick = 33;
    double start = Timer();
    EXPECT_EQ(ReadData64(128, 0, 64), 0);
    EXPECT_NEAR(Timer() - start, 1.5, 0.01);
    // The frame, whatever the order: sync, order, address, value, zeros.
    ASSERT_EQ(writes().size(), 1u);
    std::vector<std::uint8_t> expect(36, 0);
    expect[1] = 0x55;
    expect[3] = 64;
    expect[5] = 0x80;
    EXPECT_EQ(writes()[0], expect);
    EXPECT_EQ(statusHistory().front(), "Waiting for Data[64] ...");
    EXPECT_EQ(status(), "Timeout-RS-232 while reading 64 data-words!");
    EXPECT_EQ(count7(yArrayA, 0, 128) + count7(yArrayB, 0, 128), 0);
    EXPECT_EQ(count7(yArrayA, 128, 256) + count7(yArrayB, 128, 256), 256);
    EXPECT_EQ(ttick, 0);
}

TEST_F(ScopeBlockReadTest, AddressTableAgainstTheSensor) {
    useSensor();
    // Sensor memory word a holds a << 8 | (255 - a).
    auto word = [](unsigned a) { return static_cast<std::uint16_t>(a << 8 | (255 - a)); };
    const struct {
        int address;
        std::uint16_t* dest;
    } table[] = {{0, yArrayA}, {64, yArrayA + 64}, {128, yArrayB}, {192, yArrayB + 64}};
    for (const auto& row : table) {
        EXPECT_EQ(ReadData64(row.address, 0, 64), 64) << row.address;
        EXPECT_EQ(status(), "Data[64] block received!");
        for (unsigned i = 0; i < 64; ++i) {
            ASSERT_EQ(row.dest[i], word(row.address + i)) << row.address << "+" << i;
        }
    }
    // Outside the table: a success that changes nothing.
    std::uint16_t a[256], b[256];
    std::copy(std::begin(yArrayA), std::end(yArrayA), a);
    std::copy(std::begin(yArrayB), std::end(yArrayB), b);
    EXPECT_EQ(ReadData64(32, 0x1234, 64), 64);
    EXPECT_TRUE(std::equal(a, a + 256, yArrayA));
    EXPECT_TRUE(std::equal(b, b + 256, yArrayB));
    EXPECT_EQ(writtenWord(writes().size() - 1, 4), 32u);
    EXPECT_EQ(writtenWord(writes().size() - 1, 6), 0x1234u);
    EXPECT_EQ(count7(yArrayA, 128, 256) + count7(yArrayB, 128, 256), 256);
}

TEST_F(ScopeBlockReadTest, BlockInPiecesLandsInItsQuarterOnly) {
    auto bytes = counting(128);
    dev.onWrite = [this, bytes](std::span<const std::uint8_t>, double) {
        reply({bytes.begin(), bytes.begin() + 100}, 0.05);
        reply({bytes.begin() + 100, bytes.end()}, 0.3);
    };
    EXPECT_EQ(ReadData64(64, 0, 99), 64);
    EXPECT_EQ(yArrayA[64], 0x0102);
    EXPECT_EQ(yArrayA[65], 0x0304);
    EXPECT_EQ(yArrayA[127], 0x7F80);
    EXPECT_EQ(count7(yArrayA, 0, 64), 64);
    EXPECT_EQ(count7(yArrayB, 0, 256), 256);
    EXPECT_EQ(nBytesR, 128);
}

TEST_F(ScopeBlockReadTest, TooManyBytesAreDroppedAndTheOldStatusShown) {
    SetStatus("before");
    answerWith(counting(130));
    EXPECT_EQ(ReadData64(0, 0, 64), 0);
    EXPECT_EQ(nBytesR, 130);
    EXPECT_EQ(count7(yArrayA, 0, 256), 256);
    EXPECT_EQ(status(), "before");
}

TEST_F(ScopeBlockReadTest, ShortBlockTimesOutAndReceptionResumesAfterwards) {
    answerWith(counting(127));
    EXPECT_EQ(ReadData64(0, 0, 64), 0);
    EXPECT_EQ(nBytesR, 127);
    EXPECT_EQ(status(), "Timeout-RS-232 while reading 64 data-words!");
    EXPECT_EQ(count7(yArrayA, 0, 128), 0);
    // Frames are decoded again by the receive callback.
    rx_flag = 0;
    reply(frame({0x55, 8, 1, 2}), 0.01);
    pump(0.05);
    EXPECT_EQ(rx_flag, 8);
}

} // namespace
