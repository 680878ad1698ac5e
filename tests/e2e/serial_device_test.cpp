// The system's serial device as the program sets it up, on a pseudo-terminal: every byte value
// passes as it is both ways, the device is held while open, and a peer that hangs up is the
// port's loss, reported once.
#include "harness.h"

#include "host/clock.h"
#include "runtime/ui.h"
#include "serial/serial.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

std::vector<int> g_lost;
void NoteLoss(int port) {
    g_lost.push_back(port);
}

class SerialDeviceTest : public SimLinkTest {
  protected:
    void SetUp() override {
        SimLinkTest::SetUp();
        g_lost.clear();
        peer_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(peer_, 0);
        ASSERT_EQ(::grantpt(peer_), 0);
        ASSERT_EQ(::unlockpt(peer_), 0);
        path_ = ::ptsname(peer_);
        BindComPort(1, path_);
        ASSERT_EQ(OpenComConfig(1, "", 19200, 0, 8, 1, 4096, 4096), 0);
        ASSERT_EQ(SetComTime(1, 2.0), 0);
        SetComLostHandler(&NoteLoss);
    }
    void TearDown() override {
        SetComLostHandler(nullptr);
        CloseCom(1);
        CloseCom(2);
        if (peer_ >= 0) {
            ::close(peer_);
        }
        SimLinkTest::TearDown();
    }

    // What the other end reads, up to `want` bytes or `seconds`.
    std::string peerRead(std::size_t want, double seconds = 2.0) {
        std::string got;
        const double end = Timer() + seconds;
        char buf[512];
        while (got.size() < want && Timer() < end) {
            pollfd p{peer_, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0) {
                const ssize_t n = ::read(peer_, buf, sizeof buf);
                if (n <= 0) {
                    break;
                }
                got.append(buf, static_cast<std::size_t>(n));
            }
        }
        return got;
    }
    void pumpFor(double seconds) {
        const double end = Timer() + seconds;
        while (Timer() < end) {
            ProcessSystemEventsUntil(end);
        }
    }

    int peer_ = -1;
    std::string path_;
};

} // namespace

TEST_F(SerialDeviceTest, EveryByteValuePassesAsItIsBothWays) {
    // CR and LF, XON and XOFF, Ctrl-C, DEL and 0xFF mean nothing to a raw line.
    std::string all(256, '\0');
    for (int i = 0; i < 256; ++i) {
        all[static_cast<std::size_t>(i)] = static_cast<char>(i);
    }
    ASSERT_EQ(ComWrt(1, all.data(), 256), 256);
    EXPECT_EQ(peerRead(256), all);

    ASSERT_EQ(::write(peer_, all.data(), all.size()), 256);
    std::string got(256, '\0');
    EXPECT_EQ(ComRd(1, got.data(), 256), 256);
    EXPECT_EQ(got, all);
    EXPECT_EQ(peerRead(1, 0.2), "") << "nothing echoed back";
}

TEST_F(SerialDeviceTest, TheDeviceIsHeldWhileOpen) {
    BindComPort(2, path_);
    EXPECT_EQ(OpenComConfig(2, "", 19200, 0, 8, 1, 4096, 4096), kComCannotOpen);
    EXPECT_NE(ComOpenFailureReason(2).find("in use by"), std::string::npos)
        << ComOpenFailureReason(2);
    EXPECT_EQ(CloseCom(1), 0);
    EXPECT_EQ(OpenComConfig(2, "", 19200, 0, 8, 1, 4096, 4096), 0);
}

TEST_F(SerialDeviceTest, APeerThatHangsUpIsTheLossOfThePort) {
    ::close(peer_);
    peer_ = -1;
    pumpFor(0.3);
    EXPECT_EQ(g_lost, std::vector<int>{1});
    EXPECT_TRUE(ComPortLost(1));
    EXPECT_EQ(ComWrt(1, "x", 1), kComIoError);
    pumpFor(0.3);
    EXPECT_EQ(g_lost, std::vector<int>{1}) << "one report per loss";
}
