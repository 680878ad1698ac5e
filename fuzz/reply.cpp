// The receive path and the reply operations on any bytes from the sensor, headless: no panels,
// no window. The framing is fed directly, chunk by chunk, as the serial service would call it;
// the operations run their real waits on a virtual clock with a coarse idle step, so a run that
// times out costs a handful of event passes.
//
// Input: [operation] [option] then chunks of [length] [bytes...].
#include "calib/flash_ops.h"
#include "check.h"
#include "host/clock.h"
#include "host/host.h"
#include "host/virtual_clock.h"
#include "link/exchange.h"
#include "link/sensor.h"
#include "params/block_ops.h"
#include "serial/memserial.h"
#include "serial/serial.h"

#include <QByteArray>
#include <QtGlobal>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {
MemorySerialDevice dev;
constexpr int kPort = 1;
constexpr double kIdleStep = 0.25; // virtual seconds an idle event pass moves the clock

// What the line delivers in this run, in order.
std::vector<std::uint8_t> g_stream;
long g_received = 0; // frames the receiver formed

// Whether `frame` is 36 consecutive bytes of what the line delivered.
bool CameOffTheLine(const char* frame) {
    for (std::size_t i = 0; i + kFrameLen <= g_stream.size(); ++i) {
        if (std::memcmp(g_stream.data() + i, frame, kFrameLen) == 0) {
            return true;
        }
    }
    return false;
}

// Every frame formed is checked as it passes.
void Tap(bool sent, const char* bytes, int count, double) {
    if (!sent && count == kFrameLen) {
        ++g_received;
        FUZZ_CHECK(CameOffTheLine(bytes));
    }
}

bool Printable(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char ch) {
        const auto c = static_cast<unsigned char>(ch);
        return c >= 0x20 && !(c >= 0x7F && c < 0xA0);
    });
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static char arg0[] = "fuzz_reply";
    static char* argv[] = {arg0, nullptr};
    // The plain Unix event dispatcher: an event pass costs a fraction of GLib's.
    qputenv("QT_NO_GLIB", QByteArray("1"));
    FUZZ_CHECK(StartHeadlessRuntime(1, argv));
    UseVirtualClock(true, kIdleStep);
    AttachMemoryDevice(kPort, &dev);
    InitExchange();
    SetFrameTap(&Tap);
    com = kPort;
    FUZZ_CHECK(OpenLine(kPort) == 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const int operation = data[0] % 6;
    const int option = data[1];
    // The chunks: a length byte, then that many bytes. No allocation per chunk: the fuzzer
    // watches every allocation of a run.
    constexpr std::size_t kMaxChunks = 512;
    std::array<std::span<const std::uint8_t>, kMaxChunks> chunks;
    std::size_t nChunks = 0;
    g_stream.clear();
    for (std::size_t i = 2; i < size && nChunks < kMaxChunks;) {
        const std::size_t len = std::min<std::size_t>(data[i], size - (i + 1));
        chunks[nChunks++] = std::span<const std::uint8_t>(data + i + 1, len);
        g_stream.insert(g_stream.end(), data + i + 1, data + i + 1 + len);
        i += 1 + len;
    }
    const std::vector<std::uint8_t>& stream = g_stream;

    // A quiet line and the link's start values.
    dev.pending.clear();
    dev.inq.clear();
    dev.writes.clear();
    dev.written.clear();
    dev.onWrite = nullptr;
    FlushQueues(kPort);
    EndDataStream();
    ResetLinkStats();
    g_received = 0;

    const std::uint16_t* words = StartBlock0();
    if (operation == 0) {
        // The framing alone: a request of some order goes out, then the bytes come in pieces,
        // the receiver called after each as the serial service calls it.
        static constexpr int kOrders[] = {ORDER_GET_RAM,  ORDER_GET_EEPROM, ORDER_LINE_CHECK,
                                          ORDER_HARDWARE, ORDER_TEACH,      ORDER_DATA};
        const int order = kOrders[option % 6];
        if (option & 0x80) {
            NoteDataRequest(0);
        }
        FillTxBuf(order, 0, words);
        FUZZ_CHECK(SendFrame(kPort) == kFrameLen);
        for (std::size_t k = 0; k < nChunks; ++k) {
            dev.inq.insert(dev.inq.end(), chunks[k].begin(), chunks[k].end());
            ReceiveFrame(kPort, LWRS_RECEIVE);
        }
        FUZZ_CHECK(g_received <= static_cast<long>(stream.size() / kFrameLen));
        const LinkStats& st = GetLinkStats();
        FUZZ_CHECK(st.standardReplies + st.dataReplies == g_received);
        FUZZ_CHECK(st.bytesDiscarded + kFrameLen * g_received <= static_cast<long>(stream.size()));
        std::array<std::uint16_t, 16> sample{};
        if (TakeDataReply(sample)) {
            FUZZ_CHECK(option & 0x80); // only while the scope streams
        }
        return 0;
    }

    // An operation with its real wait: the bytes arrive in pieces after the request, the first
    // pieces one by one, the rest together (a line delivers a few pieces per reply at most).
    constexpr std::size_t kPieces = 8;
    dev.onWrite = [&chunks, nChunks](std::span<const std::uint8_t>, double) {
        double at = 0.0;
        std::size_t taken = 0;
        for (std::size_t k = 0; k < nChunks && k + 1 < kPieces; ++k) {
            dev.send(chunks[k], at);
            taken += chunks[k].size();
            at += 0.01;
        }
        if (nChunks >= kPieces) {
            dev.send(std::span<const std::uint8_t>(g_stream).subspan(taken), at);
        }
        dev.onWrite = nullptr;
    };
    const double t0 = Timer();
    double limit = TIMEOUT;
    switch (operation) {
    case 1:
    case 2: {
        const int memory = operation == 1 ? kMemoryRam : kMemoryEeprom;
        const ExchangeResult r = ReadBlock(kPort, memory, option & 1, words);
        if (r.ok()) {
            // A block is taken only from a whole standard reply off the line (its echo is the
            // sensor's business).
            FUZZ_CHECK(r.reply.kind == REPLY_STANDARD);
            FUZZ_CHECK(CameOffTheLine(r.reply.bytes.data()));
        }
        break;
    }
    case 3: {
        const ExchangeResult r = LineCheck(kPort, words);
        if (r.ok()) {
            FUZZ_CHECK(r.reply.sync == 0x00AA || r.reply.echo == 0x00AA);
            FUZZ_CHECK(CameOffTheLine(r.reply.bytes.data()));
        }
        break;
    }
    case 4: {
        const ExchangeResult r = ReadHardwareType(kPort, words);
        FUZZ_CHECK(!r.ok() || r.reply.echo == ORDER_HARDWARE);
        break;
    }
    case 5: {
        limit = kFirmwareTimeoutSec;
        const FirmwareResult r = ReadFirmware(kPort, words, static_cast<std::uint16_t>(option & 1));
        FUZZ_CHECK(r.read >= 0 && static_cast<std::size_t>(r.read) <= stream.size());
        FUZZ_CHECK(r.text.size() <= 65);
        FUZZ_CHECK(Printable(r.text));
        FUZZ_CHECK(r.outcome != Outcome::Answered || r.read == kFirmwareBytes);
        break;
    }
    }
    // No wait outlasts its limit by more than one event pass.
    FUZZ_CHECK(Timer() - t0 <= limit + kIdleStep + 1e-6);
    dev.onWrite = nullptr;
    return 0;
}
