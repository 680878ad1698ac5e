// The simulated sensor's state: parameter blocks in RAM and EEPROM, the X-FLASH,
// the block-read data memory, identity, and the live signal it measures.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace zelsim {

inline constexpr int kBlockWords = 15;
inline constexpr int kFlashPages = 16;
inline constexpr int kPageWords = 256;
inline constexpr std::uint16_t kFlashBase = 0x1000;
inline constexpr int kDataMemoryWords = 256;

using Block = std::array<std::uint16_t, kBlockWords>;

class Model {
  public:
    Model(int hwType = 0, std::string firmwareText = "V2.0");

    // Factory content of a fresh EEPROM.
    static std::array<Block, 2> factoryEeprom();
    // Word `a` of the block-read memory: address in the high byte, its complement in the
    // low byte, so a swapped or shifted read is obvious.
    static std::uint16_t dataPattern(int a);

    // RAM is loaded from EEPROM at power-up and by the reset order.
    void powerUp() { ram = eeprom; }

    // Raw 10-bit value of channel 0 (A) or 1 (B) at `t` seconds since power-up.
    std::uint16_t raw(int channel, double t) const;
    // Two input bits that toggle slowly (bit 0 every 3 s, bit 1 every 5 s).
    std::uint16_t inputState(double t) const;
    // Bit n set while channel n's raw value lies within reference +/- tolerance of RAM block 0.
    std::uint16_t outputState(std::uint16_t rawA, std::uint16_t rawB) const;

    static bool inFlash(std::uint32_t address) {
        return address >= kFlashBase && address < kFlashBase + kFlashPages * kPageWords;
    }
    std::uint16_t flashAt(std::uint16_t address) const { return flash[address - kFlashBase]; }
    // Erases the page starting at `address`. Only page starts 0x1100..0x1F00 are accepted;
    // page 0 holds the sensor's own data and is never erased. Returns whether it erased.
    bool erasePage(std::uint16_t address);
    // Programs words from `address` on. Flash cells only go from 1 to 0, so a write ANDs
    // into what is there: writing over unerased words leaves the AND of old and new.
    // Words that would fall outside the flash are dropped.
    void programFlash(std::uint32_t address, const std::uint16_t* words, int count);

    // The 72-byte firmware answer: one character per big-endian word for hardware type 0,
    // the plain text bytes otherwise.
    std::vector<std::uint8_t> firmwareReply() const;
    // The 128-byte block read: 64 big-endian words from `start` on, wrapping at 256.
    std::vector<std::uint8_t> blockRead(std::uint16_t start) const;

    // State file (EEPROM and programmed flash). Layout in the README; parse errors are
    // reported in `err` and leave the model untouched.
    std::string stateText() const;
    bool parseState(const std::string& text, std::string& err);
    // Missing file: nothing loaded, success. Loading powers the sensor up again.
    bool loadState(const std::string& path, std::string& err);
    bool saveState(const std::string& path, std::string& err) const;

    // Flash dump: one line "AAAA WWWW" (upper-case hex) per word, all 16 pages.
    std::string flashDumpText() const;
    bool writeFlashDump(const std::string& path, std::string& err) const;

    std::array<Block, 2> ram{};
    std::array<Block, 2> eeprom{};
    std::array<std::uint16_t, kFlashPages * kPageWords> flash{};
    std::array<std::uint16_t, kDataMemoryWords> dataMemory{};
    int hw = 0;
    std::string firmware;
};

// Replaces `path` with `text` via a temporary beside it, so an interrupted write never
// leaves a half-written file behind.
bool writeFileAtomically(const std::string& path, const std::string& text, std::string& err);

} // namespace zelsim
