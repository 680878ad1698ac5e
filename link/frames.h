// The 36-byte command and reply frames, and the order codes the program sends.
#pragma once

#include <cstdint>

inline constexpr int kFrameLen = 36;
inline constexpr int kBufLen = 4096;

// Order codes.
inline constexpr int ORDER_SEND_RAM = 1;
inline constexpr int ORDER_GET_RAM = 2;
inline constexpr int ORDER_SEND_EEPROM = 3;
inline constexpr int ORDER_GET_EEPROM = 4;
inline constexpr int ORDER_LINE_CHECK = 5;
inline constexpr int ORDER_TEACH = 6;
inline constexpr int ORDER_FIRMWARE = 7;
inline constexpr int ORDER_DATA = 8;
inline constexpr int ORDER_HARDWARE = 10;
inline constexpr int ORDER_REFRESH_A = 11;
inline constexpr int ORDER_REFRESH_B = 12;
inline constexpr int ORDER_RESET = 13;
inline constexpr int ORDER_INFO_BLOCK = 20;
inline constexpr int ORDER_CALIB_HEADER = 23;
inline constexpr int ORDER_FLASH_ERASE = 180;
inline constexpr int ORDER_FLASH_WRITE = 182;

// Reply kinds.
inline constexpr int REPLY_STANDARD = 1;
inline constexpr int REPLY_DATA = 8;

// The sync value, also the receive callback's event character. Namespaced: POSIX already has a
// global sync().
namespace zel {
inline constexpr int sync = 0x55;
}
inline constexpr int eventMask = 0x8006;
inline constexpr int kNotifyCount = 36;

extern char szWriteBuf[kBufLen];
extern char szReadBuf[kBufLen];

// Builds a command frame in `out` (36 bytes): 0x0055, order, second, words[0..14], all
// big-endian; only the low 16 bits of each value are sent. Every frame is built here.
void BuildFrame(char* out, long order, long second, const std::uint16_t* words);
// The same in szWriteBuf.
void FillTxBuf(long order, long second, const std::uint16_t* words);
// Decodes the reply in szReadBuf into pp; returns its kind (REPLY_DATA or REPLY_STANDARD).
int GetRxBuf36();

// The data words of the orders whose frames carry more than a block: X-FLASH erase (every word
// 0x00AA), X-FLASH write (the count, then up to 8 words, the rest 0), and the orders with one
// argument in data word 0 (info block, block read).
struct FrameWords {
    std::uint16_t words[15] = {};
};
FrameWords FlashEraseWords();
FrameWords FlashWriteWords(std::uint16_t count, const std::uint16_t* words);
FrameWords FirstWordOnly(std::uint16_t first);

// Big-endian helpers on the byte buffers.
inline void PutWord(char* buf, int at, unsigned value) {
    buf[at] = static_cast<char>((value >> 8) & 0xFF);
    buf[at + 1] = static_cast<char>(value & 0xFF);
}
inline std::uint16_t GetWord(const char* buf, int at) {
    return static_cast<std::uint16_t>((static_cast<unsigned char>(buf[at]) << 8) |
                                      static_cast<unsigned char>(buf[at + 1]));
}
