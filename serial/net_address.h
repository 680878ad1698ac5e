// Network port addresses, parsed apart from the sockets that use them.
#pragma once

#include <string>

namespace platform_internal {

enum class Scheme { Device, Tcp, Rfc2217 };

struct Address {
    Scheme scheme = Scheme::Device;
    std::string host;
    int port = 0;
};

// Splits "SCHEME://HOST:PORT"; a name without "SCHEME://" is a device path. HOST may be an
// IPv6 address in brackets. False, with the reason in `error`, for a malformed address.
bool ParseAddress(const std::string& device, Address& a, std::string& error);

} // namespace platform_internal
