#pragma once

#include "engine.h"
#include "process.h"

#include <cstdint>
#include <vector>

namespace simtest {

inline std::uint16_t word(const std::vector<std::uint8_t>& b, std::size_t offset) {
    return static_cast<std::uint16_t>((b.at(offset) << 8) | b.at(offset + 1));
}

inline std::vector<std::uint8_t> bytesOf(const zelsim::Output& out) {
    std::vector<std::uint8_t> all;
    for (const auto& c : out.chunks) {
        all.insert(all.end(), c.bytes.begin(), c.bytes.end());
    }
    return all;
}

// Sends one frame and returns every byte of the answer.
inline std::vector<std::uint8_t> ask(zelsim::Engine& e, std::uint16_t order,
                                     std::uint16_t second = 0,
                                     const std::vector<std::uint16_t>& words = {},
                                     double now = 1.0) {
    const auto f = zelsim::makeFrame(order, second, words);
    return bytesOf(e.feed(f.data(), f.size(), now));
}

inline std::vector<std::uint16_t> dataWords(const std::vector<std::uint8_t>& reply) {
    std::vector<std::uint16_t> w;
    for (std::size_t i = 6; i + 1 < reply.size(); i += 2) {
        w.push_back(word(reply, i));
    }
    return w;
}

} // namespace simtest
