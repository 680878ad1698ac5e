// Qt's own options taken out of the command line before the program reads its own.
#include "host/cmdline.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {
struct Split {
    bool ok = false;
    std::vector<std::string> qt, rest;
    std::string offending;
};

Split Take(std::vector<std::string> args) {
    args.insert(args.begin(), "zel-vavod");
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    SplitArgv words;
    Split s;
    s.ok = TakeQtOptions(static_cast<int>(argv.size()), argv.data(), words, s.offending);
    for (char* w : words.qt) {
        s.qt.emplace_back(w);
    }
    for (char* w : words.rest) {
        s.rest.emplace_back(w);
    }
    return s;
}

using Words = std::vector<std::string>;
} // namespace

TEST(QtOptions, QtsOwnGoToQtWithTheirValuesTheRestStayInOrder) {
    const Split s = Take({"--com", "3=COM3", "-platform", "windows:fontengine=freetype", "-reverse",
                          "--dir", "C:\\Users\\x", "--style=fusion", "-stylesheet", "a.qss",
                          "--qwindowtitle", "Bench 2", "-qmljsdebugger=port:1234", "--simulate"});
    ASSERT_TRUE(s.ok);
    EXPECT_EQ(s.qt, (Words{"zel-vavod", "-platform", "windows:fontengine=freetype", "-reverse",
                           "--style=fusion", "-stylesheet", "a.qss", "--qwindowtitle", "Bench 2",
                           "-qmljsdebugger=port:1234"}));
    EXPECT_EQ(s.rest,
              (Words{"zel-vavod", "--com", "3=COM3", "--dir", "C:\\Users\\x", "--simulate"}));
}

TEST(QtOptions, FormsQtDoesNotTakeAndWordsAfterTheEndStayTheProgramsToRefuse) {
    // Qt reads -platform's value only as the next word, -reverse takes none, -qmljsdebugger
    // only after '='; a value word that looks like an option is still the value.
    const Split s = Take({"-platform=offscreen", "-reverse=1", "-qmljsdebugger", "-style",
                          "-reverse", "-", "--", "-reverse", "-platform", "x"});
    ASSERT_TRUE(s.ok);
    EXPECT_EQ(s.qt, (Words{"zel-vavod", "-style", "-reverse"}));
    EXPECT_EQ(s.rest, (Words{"zel-vavod", "-platform=offscreen", "-reverse=1", "-qmljsdebugger",
                             "-", "--", "-reverse", "-platform", "x"}));
}

TEST(QtOptions, AValueMissingAtTheEndIsRefusedNamingTheOption) {
    const Split s = Take({"--dir", "d", "--platform"});
    EXPECT_FALSE(s.ok);
    EXPECT_EQ(s.offending, "--platform");
    EXPECT_TRUE(Take({}).ok);
}
