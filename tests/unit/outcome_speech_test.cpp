// What a screen reader is told to speak of the status line's messages.
#include "runtime/outcome_speech.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Feeds messages at given times and collects what is said, due texts included.
struct Listener {
    OutcomeSpeech speech;
    double now = 0;
    std::vector<std::string> said;

    void advance(double to) {
        while (speech.dueAt() >= 0 && speech.dueAt() <= to) {
            now = speech.dueAt();
            take(speech.due(now));
        }
        now = to;
    }
    void write(const std::string& text, double at) {
        advance(at);
        take(speech.written(text, now));
    }
    void take(const std::string& text) {
        if (!text.empty()) {
            said.push_back(text);
        }
    }
};

TEST(OutcomeSpeech, AnActionsOutcomeIsSaidAtOnceAndAgainWhenTheActionIsRepeated) {
    Listener l;
    for (double t : {1.0, 3.0}) {
        l.speech.operatorActed();
        l.write("Waiting for parameter-frame ...", t);
        l.write("Parameter-frame received! - Line Ok!", t + 0.05);
    }
    // The same text twice in a row, each from its own action (a chart saved twice).
    l.speech.operatorActed();
    l.write("Chart saved to /tmp/a.png", 5.0);
    l.speech.operatorActed();
    l.write("Chart saved to /tmp/a.png", 5.5);
    l.advance(30);
    EXPECT_EQ(l.said,
              (std::vector<std::string>{"Parameter-frame received! - Line Ok!",
                                        "Parameter-frame received! - Line Ok!",
                                        "Chart saved to /tmp/a.png", "Chart saved to /tmp/a.png"}));
}

TEST(OutcomeSpeech, AWaitIsSaidOnlyWhenItLastsAndATimeOutIsAnOutcome) {
    EXPECT_TRUE(OutcomeSpeech::IsWaiting("Init COM-Port ..."));
    EXPECT_TRUE(OutcomeSpeech::IsWaiting("Transmit..."));
    EXPECT_FALSE(OutcomeSpeech::IsWaiting("Timeout-RS-232..."));
    EXPECT_FALSE(OutcomeSpeech::IsWaiting("Writing X-FLASH-PAGE:  2 ... OK!"));

    Listener l;
    l.speech.operatorActed();
    l.write("Waiting for parameter-frame ...", 1.0); // a silent sensor: the wait runs out
    l.write("Timeout-RS-232...", 2.5);
    EXPECT_EQ(l.said, std::vector<std::string>{"Timeout-RS-232..."});

    l.speech.operatorActed();
    l.write("Looking for the sensor ...", 10.0); // a long wait is said once, after a while
    l.advance(10.0 + OutcomeSpeech::kWaitSpeakSec - 0.01);
    EXPECT_EQ(l.said.size(), 1u);
    l.advance(20.0);
    l.write("No sensor found (tried COM1, COM2)", 20.0);
    EXPECT_EQ(l.said, (std::vector<std::string>{"Timeout-RS-232...", "Looking for the sensor ...",
                                                "No sensor found (tried COM1, COM2)"}));
    // Blank lines say nothing and cancel nothing that was said.
    l.write("   ", 21.0);
    l.advance(40.0);
    EXPECT_EQ(l.said.size(), 3u);
}

TEST(OutcomeSpeech, AProgrammingRunSaysEachPhaseOnceAndItsLastWord) {
    Listener l;
    l.speech.operatorActed();
    double t = 1.0;
    l.write("Writing XFLASH-PAGE1-calibration-Data...", t);
    l.write("XFLASH-PAGE1 calibration-data-writing OK!", t += 0.05);
    for (int page = 2; page <= 9; ++page) {
        l.write("Clearing X-FLASH-PAGE: " + std::to_string(page) + " ... OK!", t += 0.35);
        for (int block = 0; block < 32; ++block) {
            l.write("Writing X-FLASH-PAGE: " + std::to_string(page) + " ... OK!", t += 0.04);
        }
    }
    l.advance(t + 0.5);
    EXPECT_EQ(l.said.size(), 3u) << "no page by page progress";
    l.advance(t + 5);
    EXPECT_EQ(l.said, (std::vector<std::string>{"XFLASH-PAGE1 calibration-data-writing OK!",
                                                "Clearing X-FLASH-PAGE: 2 ... OK!",
                                                "Writing X-FLASH-PAGE: 2 ... OK!",
                                                "Writing X-FLASH-PAGE: 9 ... OK!"}));

    // A dead line: each page's time-out is the same message, said once.
    Listener dead;
    dead.speech.operatorActed();
    for (int i = 0; i < 6; ++i) {
        dead.write("Timeout-RS-232...", 1.0 + 1.5 * i);
    }
    dead.write("Error: X-FLASH-PAGES 2, 3, 4 not programmed!", 10.0);
    dead.advance(30);
    EXPECT_EQ(dead.said, (std::vector<std::string>{
                             "Timeout-RS-232...", "Error: X-FLASH-PAGES 2, 3, 4 not programmed!"}));
}

TEST(OutcomeSpeech, FiguresWithinAPhaseAreNotSaidButAPhaseComingBackLaterIs) {
    EXPECT_EQ(OutcomeSpeech::PhaseOf("Recorded 1234 samples to /tmp/r1.csv"),
              "Recorded # samples to /tmp/r#.csv");
    EXPECT_EQ(OutcomeSpeech::PhaseOf("Writing X-FLASH-PAGE:  2 ..."),
              OutcomeSpeech::PhaseOf("Writing X-FLASH-PAGE: 12 ..."));

    Listener l;
    l.speech.operatorActed();
    l.write("Line Ok!", 1.0);
    for (int i = 1; i <= 50; ++i) {
        l.write("Recording " + std::to_string(i * 26) + " samples", 1.0 + i * 0.2);
    }
    // The port goes and comes back without the operator: each change of phase is said.
    l.write("Port COM1 lost", 20.0);
    l.write("COM1 back: checking line and sensor ...", 21.0);
    l.write("COM1 back: Echo Check - Line Ok!", 21.1);
    l.write("Port COM1 lost", 22.0); // lost again soon after: said once the line stays on it
    l.advance(60.0);
    l.write("Port COM1 lost", 60.0); // long after: a new event
    EXPECT_EQ(l.said, (std::vector<std::string>{"Line Ok!", "Recording 26 samples",
                                                "Recording 1300 samples", "Port COM1 lost",
                                                "COM1 back: Echo Check - Line Ok!",
                                                "Port COM1 lost", "Port COM1 lost"}));
}

} // namespace
