// A port's reply on a real terminal device: while the reply cannot be complete yet, the event
// pump does not watch the port; it must still take every byte, as soon as the line can have
// brought it and at once when it comes later.
#include "harness.h"

#include "host/clock.h"
#include "runtime/ui.h"
#include "serial/serial.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

constexpr int kReply = 200; // long enough that the line's time for it is well above a tick

struct Taken {
    double at = -1;
    std::string bytes;
};
Taken g_taken;

void TakeReply(int port, int, void*) {
    char buf[kReply] = {};
    const int n = ComRd(port, buf, kReply);
    if (n > 0 && g_taken.at < 0) {
        g_taken.at = Timer();
        g_taken.bytes.assign(buf, static_cast<std::size_t>(n));
    }
}

class SerialPaceTest : public SimLinkTest {
  protected:
    void SetUp() override {
        SimLinkTest::SetUp();
        g_taken = {};
        peer_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(peer_, 0);
        ASSERT_EQ(::grantpt(peer_), 0);
        ASSERT_EQ(::unlockpt(peer_), 0);
        BindComPort(1, ::ptsname(peer_));
        ASSERT_EQ(OpenComConfig(1, "", 19200, 0, 8, 1, 4096, 4096), 0);
        ASSERT_EQ(SetComTime(1, 2.0), 0);
        ASSERT_EQ(InstallComCallback(1, LWRS_RECEIVE, kReply, 0, &TakeReply, nullptr), 0);
    }
    void TearDown() override {
        CloseCom(1);
        if (peer_ >= 0) {
            ::close(peer_);
        }
        SimLinkTest::TearDown();
    }

    // Sends a request and returns when it went out.
    double request() {
        const std::string req(36, '\x55');
        const double at = Timer();
        EXPECT_EQ(ComWrt(1, req.data(), static_cast<int>(req.size())), 36);
        char buf[64];
        for (int got = 0; got < 36;) { // the peer takes it off the line
            const ssize_t n = ::read(peer_, buf, sizeof buf);
            if (n <= 0) {
                break;
            }
            got += static_cast<int>(n);
        }
        return at;
    }
    void answer() {
        const std::string reply(kReply, '\xAA');
        ASSERT_EQ(::write(peer_, reply.data(), reply.size()), static_cast<ssize_t>(kReply));
    }
    void pumpUntilTaken(double limit) {
        const double end = Timer() + limit;
        while (g_taken.at < 0 && Timer() < end) {
            ProcessSystemEventsUntil(end);
        }
    }

    int peer_ = -1;
    // The request and the reply, each character 10 bits at 19200 baud.
    const double lineTime_ = (36 + kReply) * 10.0 / 19200.0;
};

} // namespace

TEST_F(SerialPaceTest, AReplyFasterThanTheLineIsTakenWhenTheLineCouldHaveBroughtIt) {
    // A peer that answers at once, faster than any line: its bytes wait in the driver until the
    // pump looks again, which is no later than the line's time for request and reply.
    const double sent = request();
    answer();
    pumpUntilTaken(2.0);
    ASSERT_GE(g_taken.at, 0) << "the reply was never taken";
    EXPECT_EQ(g_taken.bytes, std::string(kReply, '\xAA'));
    EXPECT_LT(g_taken.at - sent, lineTime_ + 0.25);
}

TEST_F(SerialPaceTest, AReplyLaterThanTheLineTimeIsTakenAtOnce) {
    request();
    // The sensor is slow today: its reply comes well after the line could have brought it.
    const double end = Timer() + lineTime_ + 0.2;
    while (Timer() < end) {
        ProcessSystemEventsUntil(end);
    }
    ASSERT_LT(g_taken.at, 0);
    const double answered = Timer();
    answer();
    pumpUntilTaken(2.0);
    ASSERT_GE(g_taken.at, 0) << "the reply was never taken";
    EXPECT_EQ(g_taken.bytes.size(), static_cast<std::size_t>(kReply));
    EXPECT_LT(g_taken.at - answered, 0.1) << "the port is watched again after the line time";
}
