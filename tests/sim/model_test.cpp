#include "model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <unistd.h>

using zelsim::Model;

TEST(SimModel, SignalStaysOnScaleAndShowsPassingTargets) {
    Model m;
    std::uint16_t loA = 1023, hiA = 0;
    double peakA = 0, peakB = 0;
    std::uint16_t bestA = 0, bestB = 0;
    for (int i = 0; i < 1600; ++i) { // two passes at 10 ms
        const double t = i * 0.01;
        const auto a = m.raw(0, t), b = m.raw(1, t);
        ASSERT_LE(a, 1023);
        ASSERT_LE(b, 1023);
        loA = std::min(loA, a);
        hiA = std::max(hiA, a);
        if (a > bestA) {
            bestA = a, peakA = t;
        }
        if (b > bestB) {
            bestB = b, peakB = t;
        }
    }
    EXPECT_LT(loA, 250);
    EXPECT_GT(hiA, 700);
    EXPECT_NEAR(std::fmod(peakB - peakA + 16, 8.0), 0.5, 0.2) << "channel B trails A";
    EXPECT_EQ(m.raw(0, 3.21), m.raw(0, 3.21)) << "a pure function of time";
}

TEST(SimModel, StateRoundTripsAndRejectsBadFiles) {
    Model m;
    m.eeprom[0][0] = 1;
    m.eeprom[1][14] = 65535;
    const std::uint16_t w[] = {0x0001, 0xABCD};
    m.programFlash(0x1100, w, 2);
    const std::string text = m.stateText();
    EXPECT_NE(text.find("eeprom1 0 0 0 0 0 0 0 0 0 0 0 0 0 0 65535\n"), std::string::npos);
    EXPECT_NE(text.find("flash 1101 ABCD\n"), std::string::npos);

    Model copy;
    std::string err;
    ASSERT_TRUE(copy.parseState(text, err)) << err;
    EXPECT_EQ(copy.eeprom, m.eeprom);
    EXPECT_EQ(copy.ram, m.eeprom) << "loading is a power-up";
    EXPECT_EQ(copy.flash, m.flash);

    for (const char* bad : {"eeprom0 1 2 3\n", "eeprom0 1 2 3 4 5 6 7 8 9 10 11 12 13 14 70000\n",
                            "flash 0FFF 0000\n", "flash 1100\n", "colour blue\n"}) {
        Model target;
        target.eeprom[0][0] = 77;
        EXPECT_FALSE(target.parseState(bad, err)) << bad;
        EXPECT_FALSE(err.empty());
        EXPECT_EQ(target.eeprom[0][0], 77) << "a bad file changes nothing";
    }

    const std::string path = ::testing::TempDir() + "sim_state_" + std::to_string(getpid());
    std::remove(path.c_str());
    Model fresh;
    EXPECT_TRUE(fresh.loadState(path, err)) << "a missing file means factory state";
    EXPECT_EQ(fresh.eeprom, Model::factoryEeprom());
    ASSERT_TRUE(m.saveState(path, err)) << err;
    ASSERT_TRUE(fresh.loadState(path, err)) << err;
    EXPECT_EQ(fresh.eeprom, m.eeprom);
    std::remove(path.c_str());
}
