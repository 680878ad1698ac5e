// A port that will not open is named with its cause and, where there is one, its cure: a
// device the user may not open, one another program holds, one that is not there.
#include "harness.h"

#include "serial/port_trouble.h"

#include <array>
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct CliOutcome {
    int code = -1;
    std::string err;
};

// The command-line tool, optionally as the unprivileged user "nobody" (root may open anything).
CliOutcome Cli(const std::string& args, bool asNobody) {
    std::string cmd =
        std::string(asNobody ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "") +
        ZEL_CLI_EXE + " " + args + " 2>&1 >/dev/null";
    CliOutcome r;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) {
        return r;
    }
    std::array<char, 512> buf{};
    while (std::fgets(buf.data(), buf.size(), p)) {
        r.err += buf.data();
    }
    const int status = ::pclose(p);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

class PortTroubleTest : public SimLinkTest {};

TEST_F(PortTroubleTest, EachCauseIsNamedWithItsCure) {
    startSim({"--latency", "0"});
    const std::string pty = sim->ptyPath();

    // Missing: the ports present are listed instead.
    CliOutcome missing = Cli("info --device /dev/ttyZEL-missing", false);
    EXPECT_EQ(missing.code, 1);
    EXPECT_NE(missing.err.find("/dev/ttyZEL-missing: no such device (present:"), std::string::npos)
        << missing.err;

    // In use: another program holds it open (the tool itself, streaming).
    FILE* holder = ::popen((std::string(ZEL_CLI_EXE) + " scope --seconds 3 --quiet --device " +
                            pty + " >/dev/null 2>&1")
                               .c_str(),
                           "r");
    ASSERT_NE(holder, nullptr);
    ::usleep(800 * 1000);
    CliOutcome busy = Cli("info --device " + pty, false);
    ::pclose(holder);
    EXPECT_EQ(busy.code, 1);
    EXPECT_NE(busy.err.find("in use by"), std::string::npos) << busy.err;
    EXPECT_NE(busy.err.find("zel-vavod-cli (PID "), std::string::npos) << busy.err;

    // Permission: a device of group dialout, opened by a user outside it.
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(pty.c_str(), 0, 20), 0);
        ASSERT_EQ(::chmod(pty.c_str(), 0660), 0);
        CliOutcome denied = Cli("info --device " + pty, true);
        EXPECT_EQ(denied.code, 1);
        EXPECT_NE(denied.err.find("permission denied (group dialout); to get access: sudo "
                                  "usermod -aG dialout $USER"),
                  std::string::npos)
            << denied.err;
    } else {
        GTEST_SKIP() << "needs root to give the device to another group";
    }
}

TEST(PortTrouble, TheCauseAloneFitsTheStatusLine) {
    const std::string cause =
        TroubleCause("permission denied (group dialout); to get access: sudo usermod -aG "
                     "dialout $USER, then log in again");
    EXPECT_EQ(cause, "permission denied (group dialout)");
    EXPECT_LE(std::string("Cannot open port: " + cause).size(), 65u);
    EXPECT_EQ(TroubleCause("in use by minicom (PID 12)"), "in use by minicom (PID 12)");
}

} // namespace
