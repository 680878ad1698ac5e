#include "model.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#ifdef _WIN32
#include <io.h>
#define WIN32_LEAN_AND_MEAN
#include <windows.h> // not <process.h>: the simulator's own process.h would be found first
#else
#include <unistd.h>
#endif

namespace zelsim {

namespace {

constexpr double kPi = 3.14159265358979323846;

// Deterministic jitter so raw() is a pure function of time: the same instant always reads
// the same value, which lets tests predict what a teach stores.
std::uint64_t mix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

void putWord(std::vector<std::uint8_t>& out, std::uint16_t w) {
    out.push_back(static_cast<std::uint8_t>(w >> 8));
    out.push_back(static_cast<std::uint8_t>(w & 0xFF));
}

bool parseNumber(const std::string& tok, int base, unsigned long& value) {
    if (tok.empty() || tok[0] == '-' || tok[0] == '+') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    value = std::strtoul(tok.c_str(), &end, base);
    return errno == 0 && *end == '\0' && value <= 0xFFFF;
}

} // namespace

Model::Model(int hwType, std::string firmwareText) : hw(hwType), firmware(std::move(firmwareText)) {
    eeprom = factoryEeprom();
    powerUp();
    flash.fill(0xFFFF);
    for (int a = 0; a < kDataMemoryWords; ++a) {
        dataMemory[a] = dataPattern(a);
    }
}

std::array<Block, 2> Model::factoryEeprom() {
    std::array<Block, 2> e{};
    e[0] = Block{500, 512, 512, 100, 100, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    return e;
}

std::uint16_t Model::dataPattern(int a) {
    return static_cast<std::uint16_t>(((a & 0xFF) << 8) | (0xFF - (a & 0xFF)));
}

std::uint16_t Model::raw(int channel, double t) const {
    // A target passes every 8 s: a smooth bump over a drifting background. Channel B sees
    // it half a second after channel A and a little weaker.
    constexpr double period = 8.0;
    const double shift = channel == 0 ? 0.0 : 0.5;
    double phase = std::fmod(t - shift, period);
    if (phase < 0) {
        phase += period;
    }
    const double d = (phase - period / 2) / 0.7;
    const double amplitude = channel == 0 ? 620.0 : 560.0;
    const double base = 180.0 + 20.0 * std::sin(2 * kPi * t / 37.0);
    const auto tick = static_cast<std::int64_t>(std::floor(t * 200.0));
    const auto h =
        mix(static_cast<std::uint64_t>(tick) ^ (static_cast<std::uint64_t>(channel) << 48));
    const double jitter = static_cast<double>(h % 13) - 6.0;
    const double v = base + amplitude * std::exp(-0.5 * d * d) + jitter;
    return static_cast<std::uint16_t>(std::lround(std::clamp(v, 0.0, 1023.0)));
}

std::uint16_t Model::inputState(double t) const {
    const auto a = static_cast<std::int64_t>(std::floor(t / 3.0));
    const auto b = static_cast<std::int64_t>(std::floor(t / 5.0));
    return static_cast<std::uint16_t>((a & 1) | ((b & 1) << 1));
}

std::uint16_t Model::outputState(std::uint16_t rawA, std::uint16_t rawB) const {
    const Block& b = ram[0];
    auto within = [](int v, int ref, int tol) { return v >= ref - tol && v <= ref + tol; };
    std::uint16_t out = 0;
    if (within(rawA, b[1], b[3])) {
        out |= 1;
    }
    if (within(rawB, b[2], b[4])) {
        out |= 2;
    }
    return out;
}

bool Model::erasePage(std::uint16_t address) {
    if (address < 0x1100 || address > 0x1F00 || (address & 0xFF) != 0) {
        return false;
    }
    const std::size_t first = address - kFlashBase;
    std::fill_n(flash.begin() + static_cast<std::ptrdiff_t>(first), kPageWords, 0xFFFF);
    return true;
}

void Model::programFlash(std::uint32_t address, const std::uint16_t* words, int count) {
    for (int i = 0; i < count; ++i) {
        const std::uint32_t a = address + static_cast<std::uint32_t>(i);
        if (inFlash(a)) {
            flash[a - kFlashBase] &= words[i];
        }
    }
}

std::vector<std::uint8_t> Model::firmwareReply() const {
    std::vector<std::uint8_t> out;
    out.reserve(72);
    if (hw == 0) {
        // At most 35 characters, so the text always ends with a 0 word.
        for (std::size_t i = 0; i < 36; ++i) {
            const std::uint8_t c =
                i < 35 && i < firmware.size() ? static_cast<std::uint8_t>(firmware[i]) : 0;
            putWord(out, c);
        }
    } else {
        for (std::size_t i = 0; i < 72; ++i) {
            out.push_back(i < firmware.size() ? static_cast<std::uint8_t>(firmware[i]) : 0);
        }
    }
    return out;
}

std::vector<std::uint8_t> Model::blockRead(std::uint16_t start) const {
    std::vector<std::uint8_t> out;
    out.reserve(128);
    for (int i = 0; i < 64; ++i) {
        putWord(out, dataMemory[(start + i) % kDataMemoryWords]);
    }
    return out;
}

std::string Model::stateText() const {
    std::ostringstream s;
    s << "# zel-sensor-sim state: EEPROM blocks (decimal), programmed X-FLASH words (hex)\n";
    for (int b = 0; b < 2; ++b) {
        s << "eeprom" << b;
        for (auto w : eeprom[b]) {
            s << ' ' << w;
        }
        s << '\n';
    }
    char line[32];
    for (std::size_t i = 0; i < flash.size(); ++i) {
        if (flash[i] == 0xFFFF) {
            continue;
        }
        std::snprintf(line, sizeof line, "flash %04X %04X\n", unsigned(kFlashBase + i),
                      unsigned(flash[i]));
        s << line;
    }
    return s.str();
}

bool Model::parseState(const std::string& text, std::string& err) {
    auto newEeprom = factoryEeprom();
    std::array<std::uint16_t, kFlashPages * kPageWords> newFlash;
    newFlash.fill(0xFFFF);

    std::istringstream in(text);
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        std::istringstream ls(line);
        std::string key;
        if (!(ls >> key) || key[0] == '#') {
            continue;
        }
        std::vector<std::string> toks;
        for (std::string t; ls >> t;) {
            toks.push_back(t);
        }
        auto fail = [&](const char* what) {
            err = "line " + std::to_string(lineNo) + ": " + what;
            return false;
        };
        if (key == "eeprom0" || key == "eeprom1") {
            if (toks.size() != kBlockWords) {
                return fail("an EEPROM block needs 15 words");
            }
            Block& blk = newEeprom[key == "eeprom0" ? 0 : 1];
            for (int i = 0; i < kBlockWords; ++i) {
                unsigned long v = 0;
                if (!parseNumber(toks[i], 10, v)) {
                    return fail("EEPROM word is not a number 0..65535");
                }
                blk[i] = static_cast<std::uint16_t>(v);
            }
        } else if (key == "flash") {
            unsigned long a = 0, w = 0;
            if (toks.size() != 2 || !parseNumber(toks[0], 16, a) || !parseNumber(toks[1], 16, w)) {
                return fail("expected: flash ADDR WORD (hex)");
            }
            if (!inFlash(static_cast<std::uint32_t>(a))) {
                return fail("flash address outside 1000..1FFF");
            }
            newFlash[a - kFlashBase] = static_cast<std::uint16_t>(w);
        } else {
            return fail("unknown key");
        }
    }
    eeprom = newEeprom;
    flash = newFlash;
    powerUp();
    return true;
}

bool Model::loadState(const std::string& path, std::string& err) {
    std::ifstream f(path);
    if (!f) {
        if (access(path.c_str(), F_OK) != 0) {
            return true;
        }
        err = path + ": cannot read";
        return false;
    }
    std::stringstream buf;
    buf << f.rdbuf();
    if (!parseState(buf.str(), err)) {
        err = path + ": " + err;
        return false;
    }
    return true;
}

bool Model::saveState(const std::string& path, std::string& err) const {
    return writeFileAtomically(path, stateText(), err);
}

std::string Model::flashDumpText() const {
    std::string s;
    s.reserve(flash.size() * 10);
    char line[16];
    for (std::size_t i = 0; i < flash.size(); ++i) {
        std::snprintf(line, sizeof line, "%04X %04X\n", unsigned(kFlashBase + i),
                      unsigned(flash[i]));
        s += line;
    }
    return s;
}

bool Model::writeFlashDump(const std::string& path, std::string& err) const {
    return writeFileAtomically(path, flashDumpText(), err);
}

namespace {

// The bytes are on the disk before the rename makes them the file.
bool syncToDisk(std::FILE* f) {
#ifdef _WIN32
    return _commit(_fileno(f)) == 0;
#else
    return fsync(fileno(f)) == 0;
#endif
}

int processId() {
#ifdef _WIN32
    return static_cast<int>(GetCurrentProcessId());
#else
    return static_cast<int>(getpid());
#endif
}

} // namespace

bool writeFileAtomically(const std::string& path, const std::string& text, std::string& err) {
    const std::string tmp = path + ".tmp" + std::to_string(processId());
    std::FILE* f = std::fopen(tmp.c_str(), "w");
    if (!f) {
        err = tmp + ": " + std::strerror(errno);
        return false;
    }
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size() &&
                    std::fflush(f) == 0 && syncToDisk(f);
    const bool closed = std::fclose(f) == 0;
    if (!ok || !closed || std::rename(tmp.c_str(), path.c_str()) != 0) {
        err = path + ": " + std::strerror(errno);
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

} // namespace zelsim
