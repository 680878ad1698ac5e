#include "params/record.h"

#include "link/frames.h"
#include "link/sensor.h"
#include "params/bands.h"

#include <algorithm>
#include <iterator>

std::uint16_t parameter[kRecordWords] = {};
std::uint16_t pp[16] = {};
std::uint16_t block0Reference[kBlockWords] = {};
std::int16_t refthdA = 0, refthdB = 0, upthdA = 0, lothdA = 0, upthdB = 0, lothdB = 0;

void SetParameterDefaults() {
    std::fill(std::begin(parameter), std::end(parameter), 0);
    parameter[0] = 0x55;
    parameter[1] = 1;
    parameter[2] = 0;
    std::copy_n(StartBlock0(), kBlockWords, parameter + kBlock0);
    NoteBlock0Reference();
}

void NoteBlock0Reference() {
    std::copy_n(parameter + kBlock0, kBlockWords, block0Reference);
}

static int BlockStart(std::uint32_t block) {
    return (block & 0xFFFF) == 0 ? kBlock0 : kBlock1;
}

void CopyVarsToPP(std::uint32_t block) {
    std::copy_n(parameter + BlockStart(block), kBlockWords, pp);
}

void CopyPPtoVars(std::uint32_t block) {
    std::copy_n(pp, kBlockWords, parameter + BlockStart(block));
}

void DeriveThresholds() {
    const SwitchingBands b = BandsOf(parameter[4], parameter[5], parameter[6], parameter[7]);
    refthdA = b.refA;
    refthdB = b.refB;
    upthdA = b.upA;
    lothdA = b.loA;
    upthdB = b.upB;
    lothdB = b.loB;
}

int GetRxBuf36() {
    // pp[15] keeps what the last data reply put there when this one is a standard reply.
    return TakeReplyWords(DecodeReply(szReadBuf), pp);
}
