#include "core/state.h"
#include "link/frames.h"
#include "link/link.h"
#include "runtime/ui.h"
#include "scope/scope.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr int kBlockWords = 64;
constexpr int kBlockBytes = 2 * kBlockWords;
constexpr int kImageHalf = 128; // words of yArrayA (and of yArrayB) the block read fills

// Where the block starting at `address` lands; nullptr for an address outside the table.
std::uint16_t* Destination(unsigned address) {
    switch (address) {
    case 0:
        return yArrayA;
    case 64:
        return yArrayA + 64;
    case 128:
        return yArrayB;
    case 192:
        return yArrayB + 64;
    default:
        return nullptr;
    }
}
} // namespace

int ReadData64(int startAddress, int value, int order) {
    // The block is no frame: keep the receive callback away from it.
    SuspendReceiver();

    const unsigned address = static_cast<unsigned>(startAddress) & 0xFFFF;
    FillTxBuf(order, address, FirstWordOnly(static_cast<std::uint16_t>(value)).words);

    FlushQueues(com);
    rx_flag = 0;
    int written = SendFrame(com);
    ShowText("Waiting for Data[64] ...");

    bool timedOut = true;
    int waiting = 0;
    if (written == kFrameLen) {
        waiting = WaitForRawBytes(kBlockBytes, kBlockReadTimeoutSec, timedOut);
    }
    if (timedOut) {
        SetStatus("Timeout-RS-232 while reading 64 data-words!");
        std::fill(yArrayA, yArrayA + kImageHalf, 0);
        std::fill(yArrayB, yArrayB + kImageHalf, 0);
        ttick = 0;
    }
    ReadRawBytes(waiting);

    int result = 0;
    if (nBytesR == kBlockBytes) {
        SetStatus("Data[64] block received!");
        if (std::uint16_t* dest = Destination(address)) {
            for (int i = 0; i < kBlockWords; ++i) {
                dest[i] = GetWord(szReadBuf, 2 * i);
            }
        }
        result = kBlockWords;
    }

    ResumeReceiver(com);
    ShowStatus();
    return result;
}
