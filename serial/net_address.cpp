// Network port addresses: "tcp://HOST:PORT" and "rfc2217://HOST:PORT", checked before any
// lookup or connection is tried.
#include "net_address.h"
#include "serial.h"
#include "serial_backend.h"

#include <algorithm>

namespace platform_internal {
namespace {
constexpr std::size_t kMaxHostChars = 253;

bool IsSchemeChar(char c, bool first) {
    bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    return alpha || (!first && ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'));
}

} // namespace

bool ParseAddress(const std::string& device, Address& a, std::string& error) {
    a = {};
    std::size_t sep = device.find("://");
    if (sep == std::string::npos || sep == 0) {
        return true;
    }
    for (std::size_t i = 0; i < sep; ++i) {
        if (!IsSchemeChar(device[i], i == 0)) {
            return true;
        }
    }
    std::string scheme = device.substr(0, sep);
    std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    if (scheme == "tcp") {
        a.scheme = Scheme::Tcp;
    } else if (scheme == "rfc2217") {
        a.scheme = Scheme::Rfc2217;
    } else {
        error = "unknown address type '" + scheme + "://' (tcp:// or rfc2217://)";
        return false;
    }
    std::string rest = device.substr(sep + 3);
    std::size_t colon = std::string::npos;
    if (!rest.empty() && rest[0] == '[') {
        std::size_t close = rest.find(']');
        if (close != std::string::npos) {
            a.host = rest.substr(1, close - 1);
            if (close + 1 < rest.size() && rest[close + 1] == ':') {
                colon = close + 1;
            }
        }
    } else {
        colon = rest.rfind(':');
        a.host = rest.substr(0, colon == std::string::npos ? rest.size() : colon);
    }
    std::string port = colon == std::string::npos ? "" : rest.substr(colon + 1);
    bool hostOk = !a.host.empty() && a.host.find_first_of("/ []") == std::string::npos;
    if (!hostOk || colon == std::string::npos) {
        error = "expected " + scheme + "://HOST:PORT";
        return false;
    }
    if (a.host.size() > kMaxHostChars || std::any_of(a.host.begin(), a.host.end(), [](char c) {
            return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
        })) {
        error = "the host name must be at most 253 printable characters";
        return false;
    }
    long value = 0;
    bool digits =
        !port.empty() && port.size() <= 5 &&
        std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (digits) {
        value = std::stol(port);
    }
    if (!digits || value < 1 || value > 65535) {
        error = "the port must be a number from 1 to 65535";
        return false;
    }
    a.port = static_cast<int>(value);
    return true;
}

bool IsNetworkAddress(const std::string& device) {
    Address a;
    std::string error;
    return !ParseAddress(device, a, error) || a.scheme != Scheme::Device;
}

} // namespace platform_internal

bool CheckPortAddress(const std::string& device, std::string& error) {
    platform_internal::Address a;
    return platform_internal::ParseAddress(device, a, error);
}
