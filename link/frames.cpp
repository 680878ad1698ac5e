#include "link/frames.h"

#include <algorithm>
#include <iterator>

char szWriteBuf[kBufLen] = {};
char szReadBuf[kBufLen] = {};

void BuildFrame(char* out, long order, long second, const std::uint16_t* words) {
    // The sync bytes are a constant, whatever `sync` holds.
    out[0] = 0x00;
    out[1] = 0x55;
    PutWord(out, 2, static_cast<unsigned>(order) & 0xFFFF);
    PutWord(out, 4, static_cast<unsigned>(second) & 0xFFFF);
    for (int i = 0; i < 15; ++i) {
        PutWord(out, 6 + 2 * i, words[i]);
    }
}

void FillTxBuf(long order, long second, const std::uint16_t* words) {
    BuildFrame(szWriteBuf, order, second, words);
}

FrameWords FlashEraseWords() {
    FrameWords f;
    std::fill(std::begin(f.words), std::end(f.words), 0x00AA);
    return f;
}

FrameWords FlashWriteWords(std::uint16_t count, const std::uint16_t* words) {
    constexpr int kMostWords = 8;
    FrameWords f;
    f.words[0] = count; // the count as given; never more than 8 words follow
    const int n = words ? std::min<int>(count, kMostWords) : 0;
    std::copy_n(words, std::max(n, 0), f.words + 1);
    return f;
}

FrameWords FirstWordOnly(std::uint16_t first) {
    FrameWords f;
    f.words[0] = first;
    return f;
}
