#include "net_lookup.h"

#include "host/clean_text.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <sys/socket.h>
#endif

#include <map>
#include <mutex>
#include <thread>

namespace platform_internal {
namespace {

constexpr int kMaxRunningLookups = 8;

class ThreadLookup final : public HostLookup {
  public:
    bool done() const override {
        std::lock_guard<std::mutex> g(m_);
        return done_;
    }
    std::vector<std::string> addresses() const override {
        std::lock_guard<std::mutex> g(m_);
        return addresses_;
    }
    std::string error() const override {
        std::lock_guard<std::mutex> g(m_);
        return error_;
    }

    // On the lookup's own thread.
    void run(const std::string& host) {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* list = nullptr;
        const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &list);
        std::vector<std::string> found;
        std::string why;
        if (rc != 0) {
            why = rc == EAI_NONAME ? "host not found" : "name lookup failed (" + Text(rc) + ")";
        } else {
            for (addrinfo* a = list; a && found.size() < 16; a = a->ai_next) {
                char text[NI_MAXHOST] = {};
                if (::getnameinfo(a->ai_addr, static_cast<socklen_t>(a->ai_addrlen), text,
                                  sizeof text, nullptr, 0, NI_NUMERICHOST) == 0) {
                    found.emplace_back(text);
                }
            }
            ::freeaddrinfo(list);
            if (found.empty()) {
                why = "host not found";
            }
        }
        std::lock_guard<std::mutex> g(m_);
        addresses_ = std::move(found);
        error_ = std::move(why);
        done_ = true;
    }

  private:
    static std::string Text(int rc) {
#ifdef _WIN32
        return CleanName(::gai_strerrorA(rc)); // UNICODE builds map gai_strerror to wide text
#else
        return CleanName(::gai_strerror(rc));
#endif
    }

    mutable std::mutex m_;
    bool done_ = false;
    std::vector<std::string> addresses_;
    std::string error_;
};

std::map<std::string, std::shared_ptr<ThreadLookup>>& Running() {
    static std::map<std::string, std::shared_ptr<ThreadLookup>> running;
    return running;
}

} // namespace

std::shared_ptr<HostLookup> StartHostLookup(const std::string& host, std::string& error) {
#ifdef _WIN32
    // The resolver needs Winsock up, which Qt does only with its first socket.
    static const bool winsock = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)winsock;
#endif
    auto& running = Running();
    for (auto it = running.begin(); it != running.end();) {
        it = it->second->done() ? running.erase(it) : std::next(it);
    }
    if (auto it = running.find(host); it != running.end()) {
        return it->second;
    }
    if (static_cast<int>(running.size()) >= kMaxRunningLookups) {
        error = "the name server does not answer (" + std::to_string(kMaxRunningLookups) +
                " lookups still running)";
        return nullptr;
    }
    auto lookup = std::make_shared<ThreadLookup>();
    try {
        // Detached: the thread owns its share of the result and nothing else, and may outlive
        // every port and the program's objects without harm.
        std::thread([lookup, host] { lookup->run(host); }).detach();
    } catch (const std::system_error&) {
        error = "no thread for the name lookup";
        return nullptr;
    }
    running[host] = lookup;
    return lookup;
}

} // namespace platform_internal
