// The command-line tool's command table: every command the usage names runs from it, with its
// help, and a command it does not hold is refused before anything is opened.
#include "cli/cli.h"
#include "cli/session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The names after "Commands:" in the usage text, up to the first blank line.
std::vector<std::string> NamesInUsage() {
    const std::string usage = CliUsage();
    const auto from = usage.find("Commands:");
    const auto to = usage.find("\n\n", from);
    std::string list = usage.substr(from + 9, to - from - 9);
    const auto paren = list.find('(');
    list = list.substr(0, paren);
    std::replace(list.begin(), list.end(), ',', ' ');
    std::istringstream in(list);
    std::vector<std::string> names;
    for (std::string word; in >> word;) {
        names.push_back(word);
    }
    return names;
}

TEST(CommandTable, EveryCommandTheUsageNamesRunsFromTheTableWithItsOwnHelp) {
    const std::vector<std::string> table = CommandNames();
    EXPECT_EQ(NamesInUsage(), table);
    for (const std::string& name : table) {
        const char* help = CommandHelp(name);
        ASSERT_NE(help, nullptr) << name;
        EXPECT_EQ(std::string(help).rfind("Usage: zel-vavod-cli " + name + " ", 0), 0u) << name;
    }
}

TEST(CommandTable, ACommandTheTableDoesNotHoldIsAUsageErrorAndOpensNothing) {
    Session s;
    s.opts.command = "frobnicate";
    EXPECT_EQ(RunCommand(s), kExitUsage);
    EXPECT_FALSE(s.portOpen);
    EXPECT_EQ(
        s.io.failureJson("frobnicate"),
        R"js({"command":"frobnicate","ok":false,"error":"unknown command frobnicate (see --help)"})js");
    // The parser refuses it the same way, before a session exists.
    const char* argv[] = {"zel-vavod-cli", "frobnicate"};
    CliOptions opts;
    std::string error;
    EXPECT_FALSE(ParseCli(2, const_cast<char**>(argv), opts, error));
    EXPECT_EQ(error, "unknown command frobnicate (see --help)");
}

} // namespace
