// What a network peer sends, taken apart without a network: the Telnet/RFC 2217 codec's
// bounds and answers, and the cleaning of names from outside before they are printed.
#include "host/clean_text.h"
#include "serial/telnet_codec.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace telnet;

std::string B(std::initializer_list<unsigned char> bytes) {
    std::string s;
    for (unsigned char c : bytes) {
        s.push_back(static_cast<char>(c));
    }
    return s;
}

void Feed(TelnetCodec& c, const std::string& s) {
    c.feed(s.data(), s.size());
}

std::string Take(TelnetCodec& c) {
    std::string out(c.waiting(), '\0');
    out.resize(c.take(out.data(), out.size()));
    return out;
}

TEST(TelnetCodec, DataPassesWithIacUndoubledAndCommandsTakenOutAcrossReads) {
    TelnetCodec c(true);
    // A doubled IAC split between two reads, a NOP and a whole subnegotiation between data.
    Feed(c, B({'a', kIac}));
    Feed(c, B({kIac, 'b', kIac, 241, 'c', kIac, kSb, kOptComPort, 107, 3, kIac, kSe, 'd'}));
    EXPECT_EQ(Take(c), B({'a', kIac, 'b', 'c', 'd'}));
    EXPECT_FALSE(c.broken());
    EXPECT_EQ(c.encodeData("\xff\x01", 2), B({kIac, kIac, 1}));
    TelnetCodec raw(false);
    Feed(raw, B({kIac, kSb, 1}));
    EXPECT_EQ(Take(raw), B({kIac, kSb, 1}));
    EXPECT_EQ(raw.encodeData("\xff", 1), B({kIac}));
}

TEST(TelnetCodec, TheInputQueueIsBoundedAndTheRestCounted) {
    for (bool telnetOn : {false, true}) {
        TelnetCodec c(telnetOn, 100);
        const std::string flood(250, 'x');
        Feed(c, flood);
        Feed(c, flood);
        EXPECT_EQ(c.waiting(), 100u);
        EXPECT_EQ(c.discarded(), 400);
        // Taken out, room again: the newest bytes are kept from then on.
        char buf[60];
        EXPECT_EQ(c.take(buf, sizeof buf), 60u);
        Feed(c, "yz");
        EXPECT_EQ(c.waiting(), 42u);
    }
}

TEST(TelnetCodec, ASubnegotiationWithoutEndBreaksTheStreamAtItsCap) {
    TelnetCodec c(true);
    Feed(c, B({kIac, kSb, kOptComPort}));
    std::string endless(kTelnetMaxSubnegotiation, '\x01');
    Feed(c, endless);
    EXPECT_TRUE(c.broken());
    EXPECT_NE(c.brokenReason().find("subnegotiation longer than 256 bytes"), std::string::npos);
    // Nothing more is taken once broken: no data, no answers, no growth.
    Feed(c, B({'a', kIac, kDo, 99}));
    EXPECT_EQ(c.waiting(), 0u);
    EXPECT_EQ(c.outgoingSize(), 0u);

    // The longest real message (a baud rate, with doubled IACs) is far inside the cap.
    TelnetCodec ok(true);
    ok.expectSetting(kSetBaudRate, B({0, 0, 0xFF, 0xFF}));
    ok.askOption(kWill, kOptComPort);
    Feed(ok, B({kIac, kDo, kOptComPort}));
    EXPECT_TRUE(ok.sendSettingsWhenReady());
    Feed(ok, B({kIac, kSb, kOptComPort, 101, 0, 0, kIac, kIac, kIac, kIac, kIac, kSe}));
    EXPECT_FALSE(ok.broken());
    EXPECT_TRUE(ok.allSettingsAnswered());
    unsigned char code = 0;
    std::string wanted, answered;
    EXPECT_FALSE(ok.settingRefused(code, wanted, answered));
}

TEST(TelnetCodec, AnOptionIsRefusedOnceAndAnsweredOnlyWhenItsStateChanges) {
    TelnetCodec c(true);
    // A flood of requests for an option nobody supports: one refusal for each side.
    for (int i = 0; i < 1000; ++i) {
        Feed(c, B({kIac, kDo, 99, kIac, kWill, 99}));
    }
    EXPECT_EQ(c.takeOutgoing(), B({kIac, kWont, 99, kIac, kDont, 99}));
    // A supported option is agreed to once, not again while it is on.
    Feed(c, B({kIac, kDo, kOptBinary, kIac, kDo, kOptBinary}));
    EXPECT_EQ(c.takeOutgoing(), B({kIac, kWill, kOptBinary}));
    // Our own request is switched by the answer, never answered.
    c.askOption(kWill, kOptComPort);
    c.takeOutgoing();
    Feed(c, B({kIac, kDont, kOptComPort}));
    EXPECT_TRUE(c.comPortRefused());
    EXPECT_EQ(c.outgoingSize(), 0u);
}

TEST(TelnetCodec, ASettingAnsweredWithAnotherValueIsNamed) {
    TelnetCodec c(true);
    c.expectSetting(kSetDataSize, B({8}));
    c.expectSetting(kSetParity, B({1}));
    EXPECT_FALSE(c.sendSettingsWhenReady()); // not before the server speaks RFC 2217
    Feed(c, B({kIac, kWill, kOptComPort}));
    EXPECT_TRUE(c.sendSettingsWhenReady());
    EXPECT_FALSE(c.sendSettingsWhenReady());
    Feed(c, B({kIac, kSb, kOptComPort, 102, 7, kIac, kSe}));
    EXPECT_FALSE(c.allSettingsAnswered());
    Feed(c, B({kIac, kSb, kOptComPort, 103, 1, kIac, kSe}));
    EXPECT_TRUE(c.allSettingsAnswered());
    unsigned char code = 0;
    std::string wanted, answered;
    ASSERT_TRUE(c.settingRefused(code, wanted, answered));
    EXPECT_EQ(code, kSetDataSize);
    EXPECT_EQ(answered, B({7}));
}

TEST(CleanName, ControlCharactersAndBrokenSequencesBecomeQuestionMarks) {
    EXPECT_EQ(CleanName("minicom"), "minicom");
    EXPECT_EQ(CleanName("\x1b]0;PWN\x07\x1b[2J"), "?]0;PWN??[2J");
    EXPECT_EQ(CleanName("a\x7f"
                        "b\n"),
              "a?b?");
    // UTF-8 text stays; C1 controls in UTF-8 (CSI is U+009B) and stray bytes do not.
    EXPECT_EQ(CleanName("Zähler µ"), "Zähler µ");
    EXPECT_EQ(CleanName("x\xc2\x9b"
                        "2J"),
              "x?2J");
    EXPECT_EQ(CleanName("\x9b\xff\xe2\x82"), "????");
    EXPECT_EQ(CleanName(std::string(500, 'n')).size(), 200u);
    EXPECT_EQ(CleanName("ab\xc3\xa4", 3), "ab?"); // a character cut by the bound is not half kept
}

} // namespace
