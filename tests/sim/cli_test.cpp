#include "cli.h"

#include <gtest/gtest.h>

using zelsim::CommandLine;
using zelsim::parseCommandLine;

TEST(SimCli, ParsesEveryOption) {
    CommandLine cl;
    std::string err;
    ASSERT_TRUE(parseCommandLine(
        {"--hw",         "400",     "--firmware",     "X 1",     "--ack-sends", "--drop",
         "0.25",         "--split", "--noise=0.5",    "--extra", "4",           "--wrong-echo",
         "--silent",     "5,10",    "--unplug-after", "7",       "--seed",      "99",
         "--baud",       "0",       "--latency",      "1.5",     "--state",     "s",
         "--flash-dump", "f",       "--log",          "l",       "--link",      "k"},
        cl, err))
        << err;
    const auto& o = cl.options;
    EXPECT_EQ(o.hw, 400);
    EXPECT_EQ(o.firmware, "X 1");
    EXPECT_TRUE(o.ackSends && o.split && o.wrongEcho);
    EXPECT_DOUBLE_EQ(o.drop, 0.25);
    EXPECT_DOUBLE_EQ(o.noise, 0.5);
    EXPECT_EQ(o.extra, 4);
    EXPECT_EQ(o.silent, (std::set<int>{5, 10}));
    EXPECT_EQ(o.unplugAfter, 7);
    EXPECT_EQ(o.seed, 99u);
    EXPECT_EQ(o.baud, 0);
    EXPECT_DOUBLE_EQ(o.latencyMs, 1.5);
    EXPECT_EQ(cl.stateFile + cl.flashDumpFile + cl.logFile + cl.linkPath, "sflk");
}

TEST(SimCli, RejectsBadArgumentsWithAReason) {
    const std::vector<std::vector<std::string>> bad = {
        {"--drop", "2"},  {"--noise", "x"},   {"--hw", "-1"},         {"--baud"},
        {"--silent", ""}, {"--silent", "5,"}, {"--extra", "1e3"},     {"--bogus"},
        {"--split=1"},    {"--seed", "-3"},   {"--unplug-after", ""}, {"--latency", "nan"}};
    for (const auto& args : bad) {
        CommandLine cl;
        std::string err;
        EXPECT_FALSE(parseCommandLine(args, cl, err)) << args[0];
        EXPECT_FALSE(err.empty());
        EXPECT_EQ(err.find('\n'), std::string::npos);
    }
}
