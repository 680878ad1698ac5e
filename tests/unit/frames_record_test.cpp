// Frames byte for byte, block copies and thresholds at their limits.
#include "link/frames.h"
#include "params/record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {
std::vector<unsigned> TxBytes() {
    std::vector<unsigned> out;
    for (int i = 0; i < kFrameLen; ++i) {
        out.push_back(static_cast<unsigned char>(szWriteBuf[i]));
    }
    return out;
}

void SetRx(const std::vector<unsigned>& bytes) {
    std::memset(szReadBuf, 0, kFrameLen);
    for (std::size_t i = 0; i < bytes.size() && i < static_cast<std::size_t>(kFrameLen); ++i) {
        szReadBuf[i] = static_cast<char>(bytes[i]);
    }
}

class FramesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SetParameterDefaults();
        std::fill(std::begin(pp), std::end(pp), 0);
    }
};
} // namespace

TEST_F(FramesTest, CommandFrameLayout) {
    FillTxBuf(5, 0, pp);
    std::vector<unsigned> expected(kFrameLen, 0);
    expected[1] = 0x55;
    expected[3] = 0x05;
    EXPECT_EQ(TxBytes(), expected);

    // The EEPROM send of the start-up block: exactly these bytes on the line.
    CopyVarsToPP(0);
    FillTxBuf(ORDER_SEND_EEPROM, 0, pp);
    std::vector<unsigned> send = {0x00, 0x55, 0x00, 0x03, 0x00, 0x00, 0x01, 0xF4, 0x02,
                                  0x00, 0x02, 0x00, 0x00, 0x64, 0x00, 0x64, 0x00, 0x0A};
    send.resize(kFrameLen, 0);
    EXPECT_EQ(TxBytes(), send);

    // High byte first; only the low 16 bits of order, second word and words go out; pp[15]
    // never does.
    pp[0] = 0x1234;
    pp[14] = 0xFFFF;
    pp[15] = 0xBEEF;
    FillTxBuf(0x10008, 0x1FFFF, pp);
    auto b = TxBytes();
    EXPECT_EQ(b[2], 0x00u);
    EXPECT_EQ(b[3], 0x08u);
    EXPECT_EQ(b[4], 0xFFu);
    EXPECT_EQ(b[5], 0xFFu);
    EXPECT_EQ(b[6], 0x12u);
    EXPECT_EQ(b[7], 0x34u);
    EXPECT_EQ(b[34], 0xFFu);
    EXPECT_EQ(b[35], 0xFFu);
}

TEST_F(FramesTest, ReplyKindsDecodeDifferently) {
    std::vector<unsigned> data(kFrameLen);
    for (int i = 0; i < kFrameLen; ++i) {
        data[i] = static_cast<unsigned>(i);
    }
    data[2] = 0x00;
    data[3] = 0x08;
    SetRx(data);
    EXPECT_EQ(GetRxBuf36(), REPLY_DATA);
    EXPECT_EQ(pp[0], 0x0405);
    EXPECT_EQ(pp[15], (34u << 8) | 35u);

    // 08 00 is 2048, not 8: a standard reply, from byte 6 on, pp[15] kept.
    data[2] = 0x08;
    data[3] = 0x00;
    SetRx(data);
    EXPECT_EQ(GetRxBuf36(), REPLY_STANDARD);
    EXPECT_EQ(pp[0], 0x0607);
    EXPECT_EQ(pp[14], (34u << 8) | 35u);
    EXPECT_EQ(pp[15], (34u << 8) | 35u);
}

TEST_F(FramesTest, BlockCopiesSelectByLow16Bits) {
    for (int i = 0; i < kRecordWords; ++i) {
        parameter[i] = static_cast<std::uint16_t>(100 + i);
    }
    pp[15] = 777;
    CopyVarsToPP(2); // any non-zero block is block 1
    EXPECT_EQ(pp[0], 100 + kBlock1);
    CopyVarsToPP(0x10000); // low 16 bits 0: block 0
    EXPECT_EQ(pp[0], 100 + kBlock0);
    EXPECT_EQ(pp[14], 100 + kBlock0 + 14);
    EXPECT_EQ(pp[15], 777);

    std::uint16_t before[kRecordWords];
    std::copy(std::begin(parameter), std::end(parameter), before);
    std::fill(pp, pp + 15, 9);
    CopyPPtoVars(1);
    for (int i = 0; i < kRecordWords; ++i) {
        EXPECT_EQ(parameter[i], i >= kBlock1 ? 9 : before[i]) << "word " << i;
    }
    EXPECT_EQ(pp[15], 777);
}

TEST_F(FramesTest, ThresholdsClampToTheTenBitScale) {
    struct Case {
        std::uint16_t ref, tol;
        int up, lo;
    } cases[] = {{1000, 100, 1023, 900},
                 {50, 100, 150, 0},
                 {512, 0, 512, 512},
                 {0, 65535, 1023, 0},
                 {65535, 0, 1023, 32767}};
    for (const auto& c : cases) {
        parameter[4] = c.ref;
        parameter[6] = c.tol;
        parameter[5] = c.ref;
        parameter[7] = c.tol;
        DeriveThresholds();
        EXPECT_EQ(upthdA, c.up) << c.ref << "+" << c.tol;
        EXPECT_EQ(lothdA, c.lo) << c.ref << "-" << c.tol;
        EXPECT_EQ(upthdB, c.up);
        EXPECT_EQ(lothdB, c.lo);
    }
}
