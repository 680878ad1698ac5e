#include "sim_helpers.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

using simtest::ask;
using simtest::bytesOf;
using simtest::dataWords;
using simtest::word;
using zelsim::Block;
using zelsim::Engine;
using zelsim::Options;

namespace {

const std::vector<std::uint16_t> kBlock = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 0xBEEF};

} // namespace

TEST(SimEngine, StandardRepliesEchoOrderAndSecondWord) {
    Engine e(Options{.hw = 400});

    auto r = ask(e, 5, 0, kBlock);
    ASSERT_EQ(r.size(), 36u);
    EXPECT_EQ(word(r, 0), 0x00AA) << "line check marks its first word";
    EXPECT_EQ(word(r, 2), 5);

    r = ask(e, 10);
    ASSERT_EQ(r.size(), 36u);
    EXPECT_EQ(word(r, 0), 0x0055);
    EXPECT_EQ(word(r, 2), 10);
    EXPECT_EQ(r[10], 0x01);
    EXPECT_EQ(r[11], 0x90);

    for (std::uint16_t order : {11, 12, 99, 0x1234}) {
        r = ask(e, order, 0x0102, kBlock);
        ASSERT_EQ(r.size(), 36u) << order;
        EXPECT_EQ(word(r, 2), order);
        EXPECT_EQ(word(r, 4), 0x0102);
        EXPECT_EQ(dataWords(r), kBlock) << "unknown orders echo their data words";
    }

    r = ask(e, 20, 0x7777, {0x1234});
    EXPECT_EQ(word(r, 2), 20);
    EXPECT_EQ(word(r, 4), 0x00AA) << "info block acknowledges in its second word";
}

TEST(SimEngine, FirmwareReplyDependsOnHardwareType) {
    Engine zero(Options{.hw = 0, .firmware = "V2.0"});
    auto r = ask(zero, 7);
    ASSERT_EQ(r.size(), 72u);
    EXPECT_EQ(word(r, 0), 'V');
    EXPECT_EQ(word(r, 2), '2');
    EXPECT_EQ(word(r, 6), '0');
    EXPECT_EQ(word(r, 8), 0);

    Engine longText(Options{.hw = 0, .firmware = std::string(50, 'x')});
    r = ask(longText, 7);
    ASSERT_EQ(r.size(), 72u);
    EXPECT_EQ(word(r, 68), 'x');
    EXPECT_EQ(word(r, 70), 0) << "text cut to 35 characters so a 0 word ends it";

    Engine typed(Options{.hw = 100, .firmware = "ZEL-A 2.1"});
    r = ask(typed, 7);
    ASSERT_EQ(r.size(), 72u);
    EXPECT_EQ(std::string(r.begin(), r.begin() + 9), "ZEL-A 2.1");
    EXPECT_EQ(r[9], 0);
    EXPECT_EQ(r[71], 0);

    Engine full(Options{.hw = 400, .firmware = std::string(80, 'y')});
    r = ask(full, 7);
    ASSERT_EQ(r.size(), 72u);
    EXPECT_EQ(r[71], 'y');
}

TEST(SimEngine, ParameterBlocksKeepRamAndEepromApart) {
    Engine e(Options{});
    const auto factory = zelsim::Model::factoryEeprom();

    EXPECT_TRUE(ask(e, 1, 0, kBlock).empty()) << "sends are not answered by default";
    auto r = ask(e, 2, 0);
    EXPECT_EQ(word(r, 2), 2);
    EXPECT_EQ(dataWords(r), kBlock);
    r = ask(e, 4, 0);
    EXPECT_EQ(word(r, 2), 4);
    EXPECT_EQ(dataWords(r), std::vector<std::uint16_t>(factory[0].begin(), factory[0].end()));

    const std::vector<std::uint16_t> other(15, 42);
    EXPECT_TRUE(ask(e, 3, 0, other).empty());
    EXPECT_EQ(dataWords(ask(e, 4, 0)), other);
    EXPECT_EQ(dataWords(ask(e, 2, 0)), kBlock) << "an EEPROM store leaves RAM alone";

    e.model().ram[1][0] = 7;
    r = ask(e, 2, 2, kBlock);
    EXPECT_EQ(word(r, 4), 2) << "second word echoed";
    EXPECT_EQ(word(r, 6), 7) << "any non-zero block number reads block 1";

    r = ask(e, 13);
    EXPECT_EQ(word(r, 2), 13);
    EXPECT_EQ(e.model().ram[0], e.model().eeprom[0]) << "reset reloads RAM from EEPROM";
    EXPECT_EQ(e.model().ram[1], e.model().eeprom[1]);

    Engine acked(Options{.ackSends = true});
    r = ask(acked, 3, 0, kBlock);
    ASSERT_EQ(r.size(), 36u);
    EXPECT_EQ(word(r, 2), 3);
}

TEST(SimEngine, LiveDataAndTeachFollowTheSignal) {
    Engine e(Options{});
    e.setEpoch(0);
    zelsim::Model& m = e.model();
    const double t = 4.0; // channel A at the top of a pass
    const auto a = m.raw(0, t), b = m.raw(1, t);

    m.ram[0][1] = a; // reference A exactly on the signal, tolerance 0
    m.ram[0][3] = 0;
    m.ram[0][2] = 0; // reference B far below, tolerance too small to reach it
    m.ram[0][4] = 10;
    auto r = ask(e, 8, 0, {}, t);
    ASSERT_EQ(r.size(), 36u);
    EXPECT_EQ(word(r, 2), 8);
    EXPECT_EQ(word(r, 4), a);
    EXPECT_EQ(word(r, 6), b);
    EXPECT_EQ(word(r, 8), m.inputState(t));
    EXPECT_EQ(word(r, 10), 1) << "output bit 0 only";
    for (std::size_t i = 12; i < 36; i += 2) {
        EXPECT_EQ(word(r, i), 0);
    }

    m.ram[0][2] = b;
    m.ram[0][4] = 0;
    EXPECT_EQ(word(ask(e, 8, 0, {}, t), 10), 3);

    const double t2 = 5.3;
    r = ask(e, 6, 0, {}, t2);
    EXPECT_EQ(word(r, 2), 6);
    EXPECT_EQ(m.ram[0][1], m.raw(0, t2));
    ask(e, 6, 1, {}, t2);
    EXPECT_EQ(m.ram[0][2], m.raw(1, t2));
    EXPECT_EQ(m.eeprom[0][1], 512) << "teach changes RAM only";
}

TEST(SimEngine, FlashEraseWriteAndHeader) {
    Engine e(Options{});
    auto& m = e.model();

    auto r = ask(e, 182, 0x1208, {8, 1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_EQ(word(r, 2), 182);
    EXPECT_EQ(m.flashAt(0x1208), 1);
    EXPECT_EQ(m.flashAt(0x120F), 8);
    EXPECT_EQ(m.flashAt(0x1210), 0xFFFF);

    ask(e, 182, 0x1208, {1, 0x00F0});
    EXPECT_EQ(m.flashAt(0x1208), 0x0000) << "unerased cells keep the AND of old and new";

    ask(e, 182, 0x1FFC, {8, 9, 9, 9, 9, 9, 9, 9, 9}); // runs past the end of the flash
    EXPECT_EQ(m.flashAt(0x1FFF), 9);
    ask(e, 182, 0x1300, {14, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1});
    EXPECT_EQ(m.flashAt(0x1307), 1);
    EXPECT_EQ(m.flashAt(0x1308), 0xFFFF) << "at most 8 words per write";

    r = ask(e, 180, 0x1200, std::vector<std::uint16_t>(15, 0xAA));
    EXPECT_EQ(word(r, 2), 180);
    EXPECT_EQ(m.flashAt(0x1208), 0xFFFF);
    EXPECT_EQ(m.flashAt(0x1300), 1) << "only the named page is erased";

    for (std::uint16_t bad : {0x1000, 0x1301, 0x2000}) {
        r = ask(e, 180, bad);
        EXPECT_EQ(r.size(), 36u) << "answered anyway";
        EXPECT_EQ(m.flashAt(0x1300), 1) << std::hex << bad;
    }

    ask(e, 23, 0x1100, kBlock);
    EXPECT_EQ(m.flashAt(0x1100), 1);
    EXPECT_EQ(m.flashAt(0x110E), 0xBEEF);
    EXPECT_EQ(m.flashAt(0x110F), 0xFFFF);
    ask(e, 23, 0x1200, kBlock);
    EXPECT_EQ(m.flashAt(0x1200), 0xFFFF) << "header goes to page 1 only";

    const std::string dump = m.flashDumpText();
    EXPECT_EQ(std::count(dump.begin(), dump.end(), '\n'), 4096);
    EXPECT_EQ(dump.substr(0, 10), "1000 FFFF\n");
    EXPECT_NE(dump.find("\n1100 0001\n"), std::string::npos);
    EXPECT_NE(dump.find("\n110E BEEF\n"), std::string::npos);
}

TEST(SimEngine, BlockReadReturnsRawWordsAndWraps) {
    Engine e(Options{});
    auto r = ask(e, zelsim::kBlockReadOrder, 64);
    ASSERT_EQ(r.size(), 128u);
    EXPECT_EQ(r[0], 0x40);
    EXPECT_EQ(r[1], 0xBF);
    EXPECT_EQ(word(r, 126), zelsim::Model::dataPattern(127));

    r = ask(e, zelsim::kBlockReadOrder, 250);
    EXPECT_EQ(word(r, 10), zelsim::Model::dataPattern(0xFF));
    EXPECT_EQ(word(r, 12), zelsim::Model::dataPattern(0));
}

TEST(SimEngine, ResynchronisesOnGarbageAndShortFrames) {
    Engine e(Options{});
    const auto f = zelsim::makeFrame(10);

    std::vector<std::uint8_t> noisy = {0x12, 0x55, 0x00, 0x00};
    noisy.insert(noisy.end(), f.begin(), f.end());
    auto r = bytesOf(e.feed(noisy.data(), noisy.size(), 1.0));
    ASSERT_EQ(r.size(), 36u) << "leading bytes skipped up to 00 55";
    EXPECT_EQ(word(r, 2), 10);

    // A frame trickling in byte by byte, including a split 00 | 55, still counts.
    r.clear();
    for (std::size_t i = 0; i < f.size(); ++i) {
        for (auto& c : e.feed(&f[i], 1, 2.0 + 0.001 * static_cast<double>(i)).chunks) {
            r.insert(r.end(), c.bytes.begin(), c.bytes.end());
        }
    }
    EXPECT_EQ(r.size(), 36u);

    // A short frame followed by silence is forgotten; the next whole frame is answered.
    const auto line = zelsim::makeFrame(5);
    EXPECT_TRUE(bytesOf(e.feed(line.data(), 20, 3.0)).empty());
    r = bytesOf(e.feed(f.data(), f.size(), 3.0 + zelsim::kInterByteTimeout * 1.5));
    ASSERT_EQ(r.size(), 36u);
    EXPECT_EQ(word(r, 2), 10);

    // Two frames in one read give two replies in order.
    std::vector<std::uint8_t> two(line.begin(), line.end());
    two.insert(two.end(), f.begin(), f.end());
    const auto out = e.feed(two.data(), two.size(), 4.0);
    ASSERT_EQ(out.chunks.size(), 2u);
    EXPECT_EQ(word(out.chunks[0].bytes, 2), 5);
    EXPECT_EQ(word(out.chunks[1].bytes, 2), 10);
}

TEST(SimEngine, FaultSwitches) {
    {
        Engine e(Options{.split = true, .latencyMs = 3});
        const auto f = zelsim::makeFrame(10);
        const auto out = e.feed(f.data(), f.size(), 1.0);
        ASSERT_EQ(out.chunks.size(), 2u);
        EXPECT_EQ(out.chunks[0].bytes.size(), zelsim::kSplitFirst);
        EXPECT_DOUBLE_EQ(out.chunks[0].delay, 0.003);
        EXPECT_EQ(out.chunks[1].bytes.size(), 36u - zelsim::kSplitFirst);
        EXPECT_DOUBLE_EQ(out.chunks[1].delay, zelsim::kSplitGap);
    }
    {
        Engine e(Options{.extra = 3});
        const auto r = ask(e, 10);
        ASSERT_EQ(r.size(), 39u);
        EXPECT_EQ(word(r, 2), 10);
        EXPECT_EQ(r[38], zelsim::kExtraByte);
    }
    {
        Engine e(Options{.noise = 1, .seed = 7});
        Engine twin(Options{.noise = 1, .seed = 7});
        for (int i = 0; i < 10; ++i) {
            const auto r = ask(e, 10);
            EXPECT_EQ(r, ask(twin, 10)) << "same seed, same bytes";
            ASSERT_GE(r.size(), 37u);
            ASSERT_LE(r.size(), 44u);
            const std::size_t n = r.size() - 36;
            EXPECT_EQ(word(r, n), 0x0055);
            EXPECT_EQ(word(r, n + 2), 10);
        }
    }
    {
        Engine e(Options{.wrongEcho = true});
        EXPECT_EQ(word(ask(e, 10), 2), 11);
        auto r = ask(e, 5);
        EXPECT_EQ(word(r, 0), 0x00AA);
        EXPECT_EQ(word(r, 2), 6);
        EXPECT_EQ(word(ask(e, 8), 2), 8) << "data replies keep their kind";
    }
    {
        Engine e(Options{.silent = {5}});
        EXPECT_TRUE(ask(e, 5).empty());
        EXPECT_EQ(ask(e, 10).size(), 36u);
    }
    {
        auto pattern = [](std::uint32_t seed) {
            Engine e(Options{.drop = 0.5, .seed = seed});
            std::string p;
            for (int i = 0; i < 200; ++i) {
                p += ask(e, 10).empty() ? '-' : 'x';
            }
            return p;
        };
        const auto p = pattern(3);
        EXPECT_EQ(p, pattern(3));
        EXPECT_NE(p, pattern(4));
        const auto lost = std::count(p.begin(), p.end(), '-');
        EXPECT_GT(lost, 60);
        EXPECT_LT(lost, 140);

        Engine e(Options{.drop = 1});
        ask(e, 1, 0, kBlock);
        EXPECT_NE(e.model().ram[0][0], 1) << "a lost frame is not acted on";
    }
    {
        Engine e(Options{.unplugAfter = 2});
        const auto f = zelsim::makeFrame(10);
        EXPECT_FALSE(e.feed(f.data(), f.size(), 1).unplug);
        const auto last = e.feed(f.data(), f.size(), 2);
        EXPECT_TRUE(last.unplug);
        EXPECT_EQ(bytesOf(last).size(), 36u) << "the last frame is still answered";
        const auto after = e.feed(f.data(), f.size(), 3);
        EXPECT_TRUE(after.unplug);
        EXPECT_TRUE(after.chunks.empty());

        Engine now(Options{.unplugAfter = 0});
        const auto first = now.feed(f.data(), f.size(), 1);
        EXPECT_TRUE(first.unplug);
        EXPECT_TRUE(first.chunks.empty());
    }
}

TEST(SimEngine, LogHasOneLinePerFrameAndReply) {
    std::FILE* log = std::tmpfile();
    ASSERT_NE(log, nullptr);
    Engine e(Options{.latencyMs = 2});
    e.setLog(log);
    e.setEpoch(10.0);
    const std::uint8_t junk[] = {0x01, 0x02};
    e.feed(junk, sizeof junk, 10.5);
    ask(e, 5, 0, {}, 11.25);

    std::rewind(log);
    std::string text;
    for (int c; (c = std::fgetc(log)) != EOF;) {
        text += static_cast<char>(c);
    }
    std::fclose(log);
    EXPECT_NE(text.find("0.500000 DISCARD 01 02\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\n1.250000 RX 00 55 00 05 00 00 00"), std::string::npos) << text;
    EXPECT_NE(text.find("\n1.252000 TX 00 AA 00 05 00 00 00"), std::string::npos) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3);
}
