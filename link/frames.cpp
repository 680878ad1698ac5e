#include "link/frames.h"

#include "params/record.h"

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

int GetRxBuf36() {
    if (GetWord(szReadBuf, 2) == REPLY_DATA) {
        for (int i = 0; i < 16; ++i) {
            pp[i] = GetWord(szReadBuf, 4 + 2 * i);
        }
        return REPLY_DATA;
    }
    // pp[15] keeps what the last data reply put there.
    for (int i = 0; i < 15; ++i) {
        pp[i] = GetWord(szReadBuf, 6 + 2 * i);
    }
    return REPLY_STANDARD;
}
