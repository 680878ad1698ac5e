// Which port addresses are taken before anything is opened.
#include "serial/serial.h"

#include <gtest/gtest.h>

TEST(PortAddress, NetworkAddressesNeedHostAndPortDevicePathsPass) {
    for (const char* good : {"tcp://127.0.0.1:1", "rfc2217://sensor-bench.local:4001",
                             "RFC2217://[::1]:65535", "tcp://[fe80::1%eth0]:23", "/dev/ttyUSB0",
                             "COM3", "\\\\.\\COM10", "/tmp/a:b", "C:\\ports\\x"}) {
        std::string error;
        EXPECT_TRUE(CheckPortAddress(good, error)) << good << ": " << error;
    }
    for (const char* bad :
         {"xyz://host:1", "telnet://host:23", "tcp://host", "tcp://:5000",
          "tcp://host:", "tcp://host:0", "tcp://host:65536", "tcp://host:12x", "rfc2217://[::1]",
          "rfc2217://[::1]5000", "tcp://host/x:5", "tcp://ho st:5", "tcp://"}) {
        std::string error;
        EXPECT_FALSE(CheckPortAddress(bad, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
        EXPECT_EQ(error.find('\n'), std::string::npos);
    }
}
