// Host name lookups off the GUI thread. Each runs the system's resolver on a thread of its own
// that touches nothing but its own shared result, so a lookup still running when the program
// ends has nothing to crash into (Qt's lookup manager is torn down at exit; ours is not used).
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace platform_internal {

class HostLookup {
  public:
    virtual ~HostLookup() = default;
    virtual bool done() const = 0;
    // Numeric addresses (IPv4 or IPv6), or empty with the reason once done.
    virtual std::vector<std::string> addresses() const = 0;
    virtual std::string error() const = 0;
};

// Starts looking `host` up; a lookup of the same host still running is shared rather than
// started again. Null, with `error` set, when too many lookups are already running (a name
// server that answers nobody must not cost a thread per second).
std::shared_ptr<HostLookup> StartHostLookup(const std::string& host, std::string& error);

} // namespace platform_internal
