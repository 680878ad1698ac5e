// The command line parser.
#include "app/app.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {
bool Parse(std::vector<std::string> args, Options& opts, std::string& error) {
    args.insert(args.begin(), "zel-vavod");
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    return ParseOptions(static_cast<int>(args.size()), argv.data(), opts, error);
}
} // namespace

TEST(Options, ARefusalIsOneLineWhateverTheArgumentHolds) {
    const std::vector<std::vector<std::string>> bad = {
        {"\n"},
        {"--bo\ngus"},
        {"--dir\r"},
        {"--com", "x\n=/dev/tty"},
        {"--com", "3\x1b[2J"},
        {"--com", "3=/dev/tty", "--sim-args\x7f"},
    };
    for (const auto& args : bad) {
        Options opts;
        std::string error;
        EXPECT_FALSE(Parse(args, opts, error)) << args[0];
        ASSERT_FALSE(error.empty());
        for (char c : error) {
            unsigned char u = static_cast<unsigned char>(c);
            EXPECT_TRUE(u >= 0x20 && u != 0x7F) << "control character in: " << error;
        }
    }
    Options opts;
    std::string error;
    EXPECT_FALSE(Parse({"--bo\ngus"}, opts, error));
    EXPECT_EQ(error, "unknown option --bo?gus (see --help)");
    ASSERT_TRUE(Parse({"--com", "003=/dev/ttyUSB0", "--dir=/tmp"}, opts, error)) << error;
    ASSERT_EQ(opts.ports.size(), 1u);
    EXPECT_EQ(opts.ports[0].first, 3);
    EXPECT_EQ(opts.dir, "/tmp");
}
