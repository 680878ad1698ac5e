// A line that misbehaves: noise, stray and cut bytes, junk and wrong replies, a device that
// goes away and comes back, and commands given while programming or streaming.
#include "harness.h"

#include "calib/calib.h"
#include "core/state.h"
#include "link/frames.h"
#include "link/link.h"
#include "params/params.h"
#include "params/record.h"
#include "runtime/ui.h"
#include "scope/scope.h"
#include "serial/serial.h"
#include "testkit/testing.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class LineFaultTest : public RoutineTest {
  protected:
    // Each GET is answered by `bytes`, in pieces: {offset, delay} marks where a piece starts.
    void answerGet(const Bytes& bytes, std::vector<std::pair<std::size_t, double>> pieces = {}) {
        dev.onWrite = [this, bytes, pieces](std::span<const std::uint8_t>, double) {
            if (pieces.empty()) {
                reply(bytes, 0.02);
                return;
            }
            for (std::size_t i = 0; i < pieces.size(); ++i) {
                std::size_t from = pieces[i].first;
                std::size_t to = i + 1 < pieces.size() ? pieces[i + 1].first : bytes.size();
                reply(Bytes(bytes.begin() + static_cast<long>(from),
                            bytes.begin() + static_cast<long>(to)),
                      pieces[i].second);
            }
        };
    }
    Bytes block(unsigned order, unsigned ref) { return frame({0x55, order, 0, 500, ref, 512}); }
    // The hardware reply carries its marker (the echo 10): the sensor's sync word is learnt
    // from it, as at start-up.
    void learnSync() {
        answerGet(frame({0x55, ORDER_HARDWARE, 0, 0, 0, 0}));
        ASSERT_EQ(GetHARDWAREInfo(), 1);
        ASSERT_EQ(LearntSyncWord(), std::optional<std::uint16_t>(0x55));
    }
};

TEST_F(LineFaultTest, GetFindsTheFrameAmongNoiseStrayAndCutBytes) {
    openLink();
    // With nothing learnt yet, exactly one frame's bytes are decoded as they are, whatever their
    // first word.
    answerGet(frame({0x1234, 2, 0, 500, 305}));
    PushGET(RAM, 0);
    EXPECT_EQ(parameter[kBlock0 + 1], 305);
    learnSync();
    struct Case {
        const char* what;
        Bytes bytes;
        std::vector<std::pair<std::size_t, double>> pieces;
        long discarded;
    };
    const Bytes noise = {0x13, 0x00, 0x37};
    const Bytes stray = {0xEE, 0xEE, 0xEE};
    const Case cases[] = {
        {"leading noise", Cat(noise, block(2, 301)), {}, 3},
        {"stray bytes first", Cat(stray, block(2, 302)), {{0, 0.001}, {3, 0.02}}, 3},
        {"noise, then a frame in two pieces",
         Cat(noise, block(2, 303)),
         {{0, 0.01}, {23, 0.04}},
         3},
        {"trailing bytes", Cat(block(2, 304), stray), {}, 3},
    };
    for (const Case& c : cases) {
        long before = GetLinkStats().bytesDiscarded;
        answerGet(c.bytes, c.pieces);
        PushGET(RAM, 0);
        EXPECT_EQ(status(), "Parameter-frame received! - Line Ok!") << c.what;
        EXPECT_EQ(parameter[kBlock0 + 1], 301 + (&c - cases)) << c.what;
        EXPECT_EQ(GetLinkStats().bytesDiscarded - before, c.discarded) << c.what;
    }
}

TEST_F(LineFaultTest, JunkNeverReachesTheRecordAndAnyEchoIsTaken) {
    openLink();
    learnSync();
    parameter[kBlock0 + 1] = 512;
    const std::uint16_t before[2] = {parameter[kBlock0], parameter[kBlock0 + 1]};
    // Junk without the sensor's sync word: nothing is decoded, the wait runs out.
    Bytes junk(50, 0x41);
    answerGet(junk);
    PushGET(RAM, 0);
    EXPECT_EQ(status(), "Timeout-RS-232...");
    EXPECT_EQ(parameter[kBlock0], before[0]);
    EXPECT_EQ(parameter[kBlock0 + 1], before[1]);
    // A Send afterwards writes the panel's values, not the junk.
    dev.onWrite = nullptr;
    dev.writes.clear();
    CC_BTNSend(pA, MAIN_BTNSEND, EVENT_COMMIT, nullptr, 0, 0);
    ASSERT_EQ(writes().size(), 1u);
    EXPECT_EQ(writtenWord(0, 8), before[1]);
    // The GET reply's echo is not examined: a sensor may answer 0, order+1 or the second word
    // there, to RAM and EEPROM alike.
    const unsigned echoes[] = {0, 3, 1, 0x1234};
    for (unsigned echo : echoes) {
        for (int tgt : {RAM, EEPROM}) {
            answerGet(block(echo, 1000 + echo));
            PushGET(tgt, 0);
            EXPECT_EQ(status(), "Parameter-frame received! - Line Ok!") << echo;
            EXPECT_EQ(parameter[kBlock0 + 1], 1000 + echo) << echo;
        }
    }
    // A data reply is no parameter block.
    answerGet(frame({0x55, 8, 77, 88}));
    PushGET(RAM, 0);
    EXPECT_EQ(status(), "Timeout-RS-232...");
    EXPECT_EQ(parameter[kBlock0 + 1], 1000 + 0x1234);
    // A GET request cut short is never said to be waited for.
    dev.shortWrite = 20;
    std::size_t shown = statusHistory().size();
    PushGET(RAM, 0);
    dev.shortWrite = -1;
    const auto hist = statusHistory();
    EXPECT_EQ(std::find(hist.begin() + static_cast<long>(shown), hist.end(),
                        "Waiting for parameter-frame ..."),
              hist.end());
    EXPECT_EQ(status(), "Timeout-RS-232...");
}

TEST_F(LineFaultTest, ALostPortEndsTheWaitAtOnceAndIsFoundAgain) {
    useSensor();
    InitRS232(1);
    ASSERT_EQ(status(), "V2.0");
    // The device goes away while a GET waits.
    dev.onWrite = [this](std::span<const std::uint8_t>, double) { dev.unplug(); };
    double t0 = Timer();
    PushGET(RAM, 0);
    EXPECT_LT(Timer() - t0, 0.1);
    EXPECT_TRUE(PortLost());
    EXPECT_EQ(status(), "Port COM1 lost ((memory device))");
    // Everything after it fails at once, with the same line.
    t0 = Timer();
    CC_ButtonReset(pA, MAIN_BTNRESET, EVENT_COMMIT, nullptr, 0, 0);
    EXPECT_LT(Timer() - t0, 0.1);
    EXPECT_EQ(status(), "Port COM1 lost ((memory device))");
    // Still gone: the check says nothing new. Back: the line and hardware type are checked,
    // both blocks read again from RAM, and the firmware read (orders 5, 10, 2, 2, 7).
    CheckLostPort();
    EXPECT_TRUE(PortLost());
    dev.replug();
    useSensor();
    std::size_t writesBefore = writes().size();
    CheckLostPort();
    EXPECT_FALSE(PortLost());
    ASSERT_EQ(writes().size() - writesBefore, 5u);
    EXPECT_EQ(writtenWord(writesBefore, 2), ORDER_LINE_CHECK);
    EXPECT_EQ(writtenWord(writesBefore + 1, 2), ORDER_HARDWARE);
    EXPECT_EQ(writtenWord(writesBefore + 2, 2), ORDER_GET_RAM);
    EXPECT_EQ(writtenWord(writesBefore + 3, 2), ORDER_GET_RAM);
    EXPECT_EQ(writtenWord(writesBefore + 3, 4), 1);
    EXPECT_EQ(writtenWord(writesBefore + 4, 2), ORDER_FIRMWARE);
    EXPECT_EQ(status(), "COM1 back: V2.0");
}

TEST_F(LineFaultTest, ASensorThatComesBackChangedIsReadAgainAndEditsAreKept) {
    useSensor();
    InitRS232(1);
    ASSERT_EQ(status(), "V2.0");
    // The operator edits Reference CHA and does not send it.
    SetCtrlVal(pA, MAIN_REFA, static_cast<unsigned short>(321));
    RefreshUnsentMarks();
    // Unplugged; power-cycled meanwhile with Reference CHB now 733 in its EEPROM (RAM is
    // reloaded from it); plugged back on the same path.
    dev.unplug();
    pump(0.05);
    ASSERT_TRUE(PortLost());
    dev.replug();
    useSensor();
    sensor->model().eeprom[0][2] = 733;
    sensor->model().powerUp();
    CheckLostPort();
    EXPECT_FALSE(PortLost());
    EXPECT_EQ(status(), "COM1 back: the sensor's set changed (1 word); 1 unsent edit kept");
    unsigned short refA = 0, refB = 0;
    GetCtrlVal(pA, MAIN_REFA, &refA);
    GetCtrlVal(pA, MAIN_REFB, &refB);
    EXPECT_EQ(refB, 733); // untouched: the sensor's value now
    EXPECT_EQ(refA, 321); // the edit stays, still unsent
    EXPECT_EQ(RefreshUnsentMarks(), 1);
    // A Send now writes the sensor's new value with the operator's edit, not the old set.
    dev.writes.clear();
    CC_BTNSend(pA, MAIN_BTNSEND, EVENT_COMMIT, nullptr, 0, 0);
    ASSERT_GE(writes().size(), 1u);
    EXPECT_EQ(writtenWord(0, 8), 321);
    EXPECT_EQ(writtenWord(0, 10), 733);
}

TEST_F(LineFaultTest, ALostPortEndsTheScopeLoop) {
    useSensor();
    InitRS232(1);
    int requests = 0;
    auto engineWrite = dev.onWrite;
    dev.onWrite = [&](std::span<const std::uint8_t> b, double now) {
        if (++requests == 5) {
            dev.unplug();
            return;
        }
        engineWrite(b, now);
    };
    double t0 = Timer();
    ClickCtrl(pA, MAIN_BTNRUN);
    pump(0.01);
    EXPECT_LT(Timer() - t0, 1.0);
    EXPECT_EQ(status(), "Port COM1 lost ((memory device))");
    EXPECT_EQ(stop_flag, 1);
}

TEST_F(LineFaultTest, ProgrammingLocksEveryControlThatSendsAFrame) {
    useSensor({}, 0);
    openLink();
    const int mainCtrls[] = {MAIN_BTNSEND,  MAIN_BTNGET, MAIN_BTNTEACH, MAIN_BTNREFRESHA,
                             MAIN_BTNRESET, MAIN_BTNRUN, MAIN_DROPDCOM};
    bool allDimmed = true;
    auto engineWrite = dev.onWrite;
    dev.onWrite = [&](std::span<const std::uint8_t> b, double now) {
        for (int c : mainCtrls) {
            int dimmed = 0;
            GetCtrlAttribute(pA, c, ATTR_DIMMED, &dimmed);
            allDimmed = allDimmed && dimmed == 1;
        }
        engineWrite(b, now);
    };
    SetCtrlVal(pCalib, CAL_HEADERSW, 1);
    SetCtrlVal(pCalib, CAL_TABLESSW, 0);
    SetCtrlAttribute(pCalib, CAL_BTNWRITE, ATTR_DIMMED, 0);
    ClickCtrl(pCalib, CAL_BTNWRITE);
    pump(0.01);
    ASSERT_GE(writes().size(), 2u);
    EXPECT_TRUE(allDimmed);
    for (int c : mainCtrls) {
        int dimmed = 1;
        GetCtrlAttribute(pA, c, ATTR_DIMMED, &dimmed);
        EXPECT_EQ(dimmed, 0) << c;
    }
}

TEST_F(LineFaultTest, SendInARunningScopeLetsTheDataReplyLandFirst) {
    openLink();
    stop_flag = 0;
    NoteDataRequest(Timer());
    double replyDone = Timer() + 0.03;
    reply(frame({0x55, 8, 700, 800}), 0.03);
    double sentAt = -1;
    dev.onWrite = [&](std::span<const std::uint8_t>, double now) { sentAt = now; };
    CC_BTNSend(pA, MAIN_BTNSEND, EVENT_COMMIT, nullptr, 0, 0);
    EXPECT_GE(sentAt, replyDone);
    EXPECT_EQ(rx_flag, REPLY_DATA);
    StopScope();
}

} // namespace
