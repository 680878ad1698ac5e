// The framing alone, on any bytes: every frame it takes is 36 bytes as they came off the line,
// every byte is accounted for, the buffer stays bounded, and a valid reply after up to 32
// bytes of noise is the frame taken, whatever the noise holds.
//
// Input: [mode] [sync hi] [sync lo] [noise length] [chunk size] [noise...] [32 reply bytes]
// then any bytes, fed afterwards as a second phase.
#include "link/framing.h"
#include "check.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

struct Feed {
    Framer framer;
    std::vector<std::uint8_t> line; // everything appended, in order
    std::vector<std::vector<std::uint8_t>> frames;
    long dropped = 0;
    long overflow = 0;

    bool cameOffTheLine(const char* frame) const {
        for (std::size_t i = 0; i + kFrameLen <= line.size(); ++i) {
            if (std::memcmp(line.data() + i, frame, kFrameLen) == 0) {
                return true;
            }
        }
        return false;
    }

    // Decides as the receiver does; `settled` once the line is quiet.
    void decide(const Awaited& a, bool settled) {
        for (int guard = 0; guard < 4 * Framer::kCapacity; ++guard) {
            FrameStep s = framer.decide(a, settled);
            FUZZ_CHECK(s.at >= 0 && s.at <= framer.size());
            if (s.kind == FrameStep::Junk) {
                FUZZ_CHECK(s.at > 0);
                dropped += s.at;
                framer.drop(s.at);
                continue;
            }
            if (s.kind != FrameStep::Take) {
                FUZZ_CHECK(s.want > framer.size() || s.kind == FrameStep::Settle);
                return;
            }
            char frame[kFrameLen];
            dropped += framer.take(s, a, frame);
            FUZZ_CHECK(cameOffTheLine(frame));
            frames.emplace_back(frame, frame + kFrameLen);
            // Bytes beyond a frame are discarded, as the receiver does.
            dropped += framer.size();
            framer.clear();
        }
        FUZZ_CHECK(false); // a decision that never ends
    }

    void feed(const std::uint8_t* bytes, std::size_t n, std::size_t chunk, const Awaited& a) {
        for (std::size_t i = 0; i < n; i += chunk) {
            const std::size_t len = std::min(chunk, n - i);
            line.insert(line.end(), bytes + i, bytes + i + len);
            overflow +=
                framer.append(reinterpret_cast<const char*>(bytes + i), static_cast<int>(len));
            FUZZ_CHECK(framer.size() <= Framer::kCapacity);
            decide(a, false);
        }
        decide(a, true);
        FUZZ_CHECK(dropped + overflow + framer.size() +
                       kFrameLen * static_cast<long>(frames.size()) ==
                   static_cast<long>(line.size()));
    }
};

void PutWord(std::vector<std::uint8_t>& out, unsigned w) {
    out.push_back(static_cast<std::uint8_t>(w >> 8));
    out.push_back(static_cast<std::uint8_t>(w));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kHead = 5, kReplyTail = kFrameLen - 4;
    if (size < kHead) {
        return 0;
    }
    static constexpr int kOrders[] = {ORDER_GET_RAM, ORDER_DATA, ORDER_TEACH, ORDER_RESET};
    const int mode = data[0];
    Awaited a;
    a.order = kOrders[mode & 3];
    a.dataStream = (mode & 4) != 0;
    const std::uint16_t sync = static_cast<std::uint16_t>(data[1] << 8 | data[2]);
    const std::size_t noise = std::min<std::size_t>(data[3] % 33, size - kHead);
    const std::size_t chunk = 1 + data[4] % 40;
    const std::uint8_t* rest = data + kHead;
    std::size_t restLen = size - kHead;

    Feed f;
    // The sensor's sync word, learnt from a hardware reply as at start-up.
    std::vector<std::uint8_t> hardware;
    PutWord(hardware, sync);
    PutWord(hardware, ORDER_HARDWARE);
    hardware.resize(kFrameLen, 0);
    f.feed(hardware.data(), hardware.size(), kFrameLen, Awaited{ORDER_HARDWARE, false});
    FUZZ_CHECK(f.frames.size() == 1 && f.framer.sync() == sync);

    if (restLen >= noise + kReplyTail) {
        // A valid reply after the noise: the sync word, a data reply's 8 when a data reply is
        // awaited (anything else otherwise), and 32 bytes of the input.
        std::vector<std::uint8_t> reply;
        PutWord(reply, sync);
        const bool data8 = a.order == ORDER_DATA || (a.dataStream && (mode & 8));
        PutWord(reply, data8 ? REPLY_DATA : static_cast<unsigned>(rest[noise] << 8 | 3));
        reply.insert(reply.end(), rest + noise, rest + noise + kReplyTail);
        std::vector<std::uint8_t> bytes(rest, rest + noise);
        bytes.insert(bytes.end(), reply.begin(), reply.end());
        f.frames.clear();
        f.dropped = 0;
        f.line.clear();
        f.feed(bytes.data(), bytes.size(), chunk, a);
        FUZZ_CHECK(f.frames.size() == 1);
        FUZZ_CHECK(f.frames.back() == reply);
        rest += noise + kReplyTail;
        restLen -= noise + kReplyTail;
    }
    // Anything at all afterwards.
    f.frames.clear();
    f.dropped = 0;
    f.overflow = 0;
    f.line.clear();
    f.framer.clear();
    f.feed(rest, restLen, chunk, a);
    return 0;
}
