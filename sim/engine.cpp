#include "engine.h"

#include <algorithm>

namespace zelsim {

namespace {

std::uint16_t wordAt(const std::uint8_t* p, std::size_t offset) {
    return static_cast<std::uint16_t>((p[offset] << 8) | p[offset + 1]);
}

void putWord(std::vector<std::uint8_t>& out, std::uint16_t w) {
    out.push_back(static_cast<std::uint8_t>(w >> 8));
    out.push_back(static_cast<std::uint8_t>(w & 0xFF));
}

std::vector<std::uint8_t> standardReply(std::uint16_t first, std::uint16_t order,
                                        std::uint16_t second, const Block& words) {
    std::vector<std::uint8_t> out;
    out.reserve(kFrameBytes);
    putWord(out, first);
    putWord(out, order);
    putWord(out, second);
    for (auto w : words) {
        putWord(out, w);
    }
    return out;
}

// Uniform in [0, 1) from one draw; spelled out so runs repeat across standard libraries.
double unit(std::mt19937& rng) {
    return static_cast<double>(rng()) / 4294967296.0;
}

} // namespace

Engine::Engine(Options opts)
    : opts_(std::move(opts)), model_(opts_.hw, opts_.firmware), rng_(opts_.seed) {
    applyEepromWords();
}

void Engine::applyEepromWords() {
    if (opts_.eepromWords.empty()) {
        return;
    }
    for (const auto& [word, value] : opts_.eepromWords) {
        model_.eeprom[0][static_cast<std::size_t>(word)] = value;
    }
    model_.powerUp();
}

void Engine::setEpoch(double t0) {
    epoch_ = t0;
    haveEpoch_ = true;
}

Output Engine::feed(const std::uint8_t* data, std::size_t n, double now) {
    Output out;
    if (!haveEpoch_) {
        setEpoch(now);
    }
    if (unplugged_) {
        out.unplug = true;
        return out;
    }
    if (n == 0) {
        return out;
    }

    // Inter-byte time-out: whatever was half-received before a pause is noise.
    if (now - lastByte_ > kInterByteTimeout) {
        discard(pending_.size(), lastByte_);
        flushLog();
    }
    lastByte_ = now;
    pending_.insert(pending_.end(), data, data + n);

    while (!pending_.empty() && !unplugged_) {
        // A frame starts with 00 55; everything before the first such pair is dropped.
        std::size_t start = 0;
        while (start + 1 < pending_.size() &&
               !(pending_[start] == 0x00 && pending_[start + 1] == 0x55)) {
            ++start;
        }
        if (start + 1 >= pending_.size() && pending_.back() != 0x00) {
            start = pending_.size(); // no sync, and no 00 that a 55 could still follow
        }
        discard(start, now);
        if (pending_.size() < kFrameBytes) {
            break;
        }
        std::uint8_t frame[kFrameBytes];
        std::copy_n(pending_.begin(), kFrameBytes, frame);
        pending_.erase(pending_.begin(), pending_.begin() + kFrameBytes);
        answer(frame, now, out);
    }
    return out;
}

void Engine::discard(std::size_t n, double now) {
    if (n == 0) {
        return;
    }
    if (log_) {
        discarded_.insert(discarded_.end(), pending_.begin(),
                          pending_.begin() + static_cast<std::ptrdiff_t>(n));
        discardedAt_ = now;
        if (discarded_.size() >= 64) {
            flushLog();
        }
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(n));
}

void Engine::flushLog() {
    if (!discarded_.empty()) {
        logLine(discardedAt_, "DISCARD", discarded_.data(), discarded_.size());
    }
    discarded_.clear();
}

void Engine::answer(const std::uint8_t* frame, double now, Output& out) {
    flushLog();
    logLine(now, "RX", frame, kFrameBytes);
    ++exchanges_;
    if (opts_.unplugAfter >= 0 && exchanges_ > opts_.unplugAfter) {
        unplugged_ = true;
        out.unplug = true;
        logLine(now, "UNPLUG", nullptr, 0);
        return;
    }

    const int order = wordAt(frame, 2);
    const bool lost = opts_.drop > 0 && unit(rng_) < opts_.drop;
    if (!lost && !opts_.silent.count(order)) {
        auto bytes = reply(frame, now);
        if (!bytes.empty()) {
            const std::size_t before = out.chunks.size();
            addFaults(std::move(bytes), out);
            std::vector<std::uint8_t> sent;
            for (std::size_t i = before; i < out.chunks.size(); ++i) {
                sent.insert(sent.end(), out.chunks[i].bytes.begin(), out.chunks[i].bytes.end());
            }
            logLine(now + out.chunks[before].delay, "TX", sent.data(), sent.size());
        }
    }

    if (opts_.unplugAfter >= 0 && exchanges_ == opts_.unplugAfter) {
        unplugged_ = true;
        out.unplug = true;
        logLine(now, "UNPLUG", nullptr, 0);
    }
}

std::vector<std::uint8_t> Engine::reply(const std::uint8_t* frame, double now) {
    const std::uint16_t order = wordAt(frame, 2);
    const std::uint16_t second = wordAt(frame, 4);
    Block words{};
    for (int i = 0; i < kBlockWords; ++i) {
        words[i] = wordAt(frame, 6 + 2 * i);
    }
    const double t = since(now);
    Model& m = model_;

    std::uint16_t first = opts_.sync;
    std::uint16_t secondOut = second;
    Block data = words; // orders without data of their own echo the request's words
    bool standard = true;
    std::vector<std::uint8_t> rawBytes;

    switch (order) {
    case 1:
    case 3: {
        Block& dest = order == 1 ? m.ram[0] : m.eeprom[0];
        dest = words;
        if (!opts_.ackSends) {
            return {};
        }
        data = dest;
        break;
    }
    case 2:
        data = m.ram[second == 0 ? 0 : 1];
        break;
    case 4:
        data = m.eeprom[second == 0 ? 0 : 1];
        break;
    case 5:
        first = 0x00AA;
        break;
    case 6:
        if (second == 0) {
            m.ram[0][1] = m.raw(0, t);
        } else {
            m.ram[0][2] = m.raw(1, t);
        }
        data = m.ram[0];
        break;
    case 7:
        standard = false;
        rawBytes = m.firmwareReply();
        break;
    case 8: {
        const std::uint16_t a = m.raw(0, t);
        const std::uint16_t b = m.raw(1, t);
        std::vector<std::uint8_t> out;
        out.reserve(kFrameBytes);
        putWord(out, opts_.sync);
        putWord(out, 0x0008);
        const std::uint16_t live[16] = {a, b, m.inputState(t), m.outputState(a, b)};
        for (auto w : live) {
            putWord(out, w);
        }
        return out;
    }
    case 10:
        data = Block{};
        data[2] = static_cast<std::uint16_t>(m.hw);
        break;
    case 13:
        m.powerUp();
        data = m.ram[0];
        break;
    case 20:
        secondOut = 0x00AA;
        break;
    case 23:
        if (second == 0x1100) {
            m.programFlash(0x1100, words.data(), kBlockWords);
        }
        break;
    case 180:
        m.erasePage(second);
        break;
    case 182:
        m.programFlash(second, words.data() + 1, std::min<int>(words[0], 8));
        break;
    case kBlockReadOrder:
        standard = false;
        rawBytes = m.blockRead(second);
        break;
    default:
        break;
    }

    if (!standard) {
        return rawBytes;
    }
    std::uint16_t echo = order;
    if (opts_.wrongEcho) {
        echo = static_cast<std::uint16_t>(order + 1);
    } else if (order != 10) {
        switch (opts_.echo) {
        case Options::Echo::Order:
            break;
        case Options::Echo::Zero:
            echo = 0;
            break;
        case Options::Echo::OrderPlusOne:
            echo = static_cast<std::uint16_t>(order + 1);
            break;
        case Options::Echo::Second:
            echo = second;
            break;
        }
    }
    return standardReply(first, echo, secondOut, data);
}

void Engine::addFaults(std::vector<std::uint8_t> bytes, Output& out) {
    if (opts_.noise > 0 && unit(rng_) < opts_.noise) {
        const int count = 1 + static_cast<int>(rng_() % 8);
        std::vector<std::uint8_t> stray;
        for (int i = 0; i < count; ++i) {
            stray.push_back(static_cast<std::uint8_t>(rng_() & 0xFF));
        }
        bytes.insert(bytes.begin(), stray.begin(), stray.end());
    }
    if (opts_.lookalikeNoise > 0 && unit(rng_) < opts_.lookalikeNoise) {
        // Pieces of frame starts: sync words, data and echo markers, the line check's 00 AA.
        static const std::uint8_t kPieces[][2] = {{0x00, 0x55}, {0x00, 0x08}, {0x00, 0x02},
                                                  {0x00, 0xAA}, {0x00, 0x0A}, {0x00, 0x00}};
        const int count = 1 + static_cast<int>(rng_() % 8);
        std::vector<std::uint8_t> stray;
        while (static_cast<int>(stray.size()) < count) {
            const auto& piece = kPieces[rng_() % (sizeof kPieces / sizeof kPieces[0])];
            stray.push_back(piece[0]);
            stray.push_back(piece[1]);
        }
        stray.resize(static_cast<std::size_t>(count));
        bytes.insert(bytes.begin(), stray.begin(), stray.end());
    }
    bytes.insert(bytes.end(), static_cast<std::size_t>(std::max(opts_.extra, 0)), kExtraByte);
    bytes.insert(bytes.end(), opts_.trailer.begin(), opts_.trailer.end());

    const double latency = opts_.latencyMs / 1000.0;
    if (opts_.split && bytes.size() > kSplitFirst) {
        std::vector<std::uint8_t> rest(bytes.begin() + kSplitFirst, bytes.end());
        bytes.resize(kSplitFirst);
        out.chunks.push_back({latency, std::move(bytes)});
        out.chunks.push_back({kSplitGap, std::move(rest)});
    } else {
        out.chunks.push_back({latency, std::move(bytes)});
    }
}

void Engine::logLine(double now, const char* tag, const std::uint8_t* data, std::size_t n) {
    if (!log_) {
        return;
    }
    std::fprintf(log_, "%.6f %s", since(now), tag);
    for (std::size_t i = 0; i < n; ++i) {
        std::fprintf(log_, " %02X", data[i]);
    }
    std::fputc('\n', log_);
    std::fflush(log_);
}

} // namespace zelsim
