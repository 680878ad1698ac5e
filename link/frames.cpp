#include "link/frames.h"

char szWriteBuf[kBufLen] = {};
char szReadBuf[kBufLen] = {};

void FillTxBuf(long order, long second, const std::uint16_t* words) {
    // The sync bytes are a constant, whatever `sync` holds.
    szWriteBuf[0] = 0x00;
    szWriteBuf[1] = 0x55;
    PutWord(szWriteBuf, 2, static_cast<unsigned>(order) & 0xFFFF);
    PutWord(szWriteBuf, 4, static_cast<unsigned>(second) & 0xFFFF);
    for (int i = 0; i < 15; ++i) {
        PutWord(szWriteBuf, 6 + 2 * i, words[i]);
    }
}
