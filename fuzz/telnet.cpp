// The Telnet/RFC 2217 codec on any bytes a server may send: the input queue and a
// subnegotiation stay within their bounds, a refused option is refused once, what is answered
// never outgrows what came, and the bytes split at any point decode as they do whole.
#include "check.h"
#include "serial/telnet_codec.h"

#include <map>
#include <string>
#include <utility>

namespace {
using namespace telnet;

struct Outcome {
    std::string data, out;
    long long discarded = 0;
    bool broken = false;
};

Outcome Decode(bool telnetOn, const char* bytes, std::size_t size, std::size_t split) {
    TelnetCodec c(telnetOn, 512);
    c.askOption(kWill, kOptComPort);
    c.expectSetting(kSetBaudRate, std::string("\x00\x00\x4b\x00", 4));
    c.takeOutgoing();
    Outcome o;
    auto feed = [&](const char* p, std::size_t n) {
        c.feed(p, n);
        FUZZ_CHECK(c.waiting() <= 512);
        char buf[64];
        // Read part of the queue between feeds, as the receive callback does.
        std::size_t got = c.take(buf, sizeof buf / 2);
        o.data.append(buf, got);
        o.out += c.takeOutgoing();
        if (c.sendSettingsWhenReady()) {
            c.takeOutgoing(); // our own requests are not answers
        }
    };
    feed(bytes, split);
    feed(bytes + split, size - split);
    std::string rest(c.waiting(), '\0');
    rest.resize(c.take(rest.data(), rest.size()));
    o.data += rest;
    o.discarded = c.discarded();
    o.broken = c.broken();
    if (!telnetOn) {
        FUZZ_CHECK(o.out.empty());
        FUZZ_CHECK(static_cast<long long>(o.data.size()) + o.discarded ==
                   static_cast<long long>(size));
    }
    // No answer is longer than the command it answers.
    FUZZ_CHECK(o.out.size() <= size);
    // A refusal is sent at most once per option and side.
    std::map<std::pair<unsigned char, unsigned char>, int> refusals;
    for (std::size_t i = 0; i + 2 < o.out.size(); i += 3) {
        FUZZ_CHECK(static_cast<unsigned char>(o.out[i]) == kIac);
        const auto verb = static_cast<unsigned char>(o.out[i + 1]);
        const auto option = static_cast<unsigned char>(o.out[i + 2]);
        FUZZ_CHECK(verb == kWill || verb == kWont || verb == kDo || verb == kDont);
        const bool supported =
            option == kOptBinary || option == kOptSuppressGoAhead || option == kOptComPort;
        if (!supported) {
            FUZZ_CHECK(verb == kWont || verb == kDont);
            const int seen = ++refusals[std::make_pair(verb, option)];
            FUZZ_CHECK(seen == 1);
        }
    }
    return o;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const auto* bytes = reinterpret_cast<const char*>(data + 1);
    const std::size_t n = size - 1;
    const std::size_t split = n == 0 ? 0 : data[0] % (n + 1);
    for (bool telnetOn : {false, true}) {
        const Outcome whole = Decode(telnetOn, bytes, n, 0);
        const Outcome parts = Decode(telnetOn, bytes, n, split);
        FUZZ_CHECK(whole.broken == parts.broken);
        FUZZ_CHECK(whole.out == parts.out);
        // The queue is read between feeds in the split run, so it may keep more; what both
        // kept agrees byte for byte.
        const std::size_t common = std::min(whole.data.size(), parts.data.size());
        FUZZ_CHECK(whole.data.compare(0, common, parts.data, 0, common) == 0);
    }
    return 0;
}
