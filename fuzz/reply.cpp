// The receive path on any bytes from the sensor: the input picks one of the routines that
// await a reply and splits the rest into chunks that arrive at chosen (virtual) times after the
// request went out.
//
// Input: [routine] [option] then chunks of [delay in 10 ms, 255: already on the line before the
// request] [length] [bytes...].
#include "app/app.h"
#include "check.h"
#include "core/state.h"
#include "link/frames.h"
#include "link/link.h"
#include "params/params.h"
#include "params/record.h"
#include "platform/memserial.h"
#include "platform/serial.h"
#include "platform/testing.h"
#include "platform/ui.h"
#include "scope/scope.h"

#include <QCoreApplication>
#include <QEvent>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <vector>

#ifndef ZEL_PANEL_FILE
#error "ZEL_PANEL_FILE must name the panel resource"
#endif
// On: a GET takes a reply only when it echoes the order sent.
#ifndef ZEL_FUZZ_STRICT_GET
#define ZEL_FUZZ_STRICT_GET 1
#endif

namespace {
MemorySerialDevice dev;
constexpr double kIdleStep = 0.0005; // the virtual clock's step in an idle event pass

// The receive callback's longest call while it is the one installed first.
double longestCallback = 0;

void Spy(int port, int events, void* data) {
    const double t = Timer();
    RX_Receive_Function(port, events, data);
    longestCallback = std::max(longestCallback, Timer() - t);
}

void CheckStatus() {
    const void* end = std::memchr(szStatus, '\0', kStatusLen);
    FUZZ_CHECK(end != nullptr);
    std::size_t len = std::strlen(szStatus);
    FUZZ_CHECK(len <= static_cast<std::size_t>(kStatusLen - 1));
    for (std::size_t i = 0; i < len; ++i) {
        unsigned char c = static_cast<unsigned char>(szStatus[i]);
        FUZZ_CHECK(c >= 0x20 && !(c >= 0x7F && c < 0xA0));
    }
}

struct Chunk {
    double delay;
    bool early;
    std::vector<std::uint8_t> bytes;
};
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static char arg0[] = "fuzz_reply";
    static char* argv[] = {arg0, nullptr};
    FUZZ_CHECK(InitCVIRTE(1, argv) != 0);
    UseVirtualClock(true, kIdleStep);
    pA = LoadPanel(0, ZEL_PANEL_FILE, MAIN_PANEL_NUMBER);
    FUZZ_CHECK(pA > 0);
    pCalib = LoadPanel(pA, ZEL_PANEL_FILE, CALIB_PANEL_NUMBER);
    FUZZ_CHECK(pCalib > 0);
    FUZZ_CHECK(BindMainPanel(pA) == 0);
    FUZZ_CHECK(BindCalibPanel(pCalib) == 0);
    InstallPanelCallback(pA, CC_PANEL, nullptr);

    // A project directory of its own, without a port file: port 1.
    std::string tmpl = (std::filesystem::temp_directory_path() / "zelfuzz-XXXXXX").string();
    FUZZ_CHECK(mkdtemp(tmpl.data()) != nullptr);
    SetProjectDir(tmpl.c_str());
    GetProjectDir(proj_dir);
    AttachMemoryDevice(1, &dev);
    SetupStripChart();
    InitVars();
    std::filesystem::remove_all(tmpl);

    FUZZ_CHECK(OpenComConfig(1, "", 19200, 0, 8, 1, 4096, 4096) == 0);
    SetComTime(1, TIMEOUT);
    com = 1;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const int routine = data[0] % 6;
    const int option = data[1];
    std::vector<Chunk> chunks;
    std::size_t total = 0;
    double at = 0;
    for (std::size_t i = 2; i + 1 < size;) {
        Chunk c;
        c.early = data[i] == 0xFF;
        if (!c.early) {
            at += data[i] * 0.01;
        }
        c.delay = at;
        std::size_t len = std::min<std::size_t>(data[i + 1], size - (i + 2));
        c.bytes.assign(data + i + 2, data + i + 2 + len);
        total += len;
        chunks.push_back(std::move(c));
        i += 2 + len;
    }

    // A quiet line, the start values, the receive callback watched.
    dev.pending.clear();
    dev.inq.clear();
    dev.writes.clear();
    dev.written.clear();
    FlushInQ(1);
    ClearTextHistory();
    SetParameterDefaults();
    EndDataStream();
    rx_flag = 0;
    pcbtype = 0;
    nBytesR = 0;
    SetStatus("");
    longestCallback = 0;
    InstallComCallback(1, eventMask, kNotifyCount, zel::sync, Spy, nullptr);

    for (const auto& c : chunks) {
        if (c.early) {
            dev.send(c.bytes, 0);
        }
    }
    bool answered = false;
    dev.onWrite = [&](std::span<const std::uint8_t>, double) {
        if (answered) {
            return;
        }
        answered = true;
        for (const auto& c : chunks) {
            if (!c.early) {
                dev.send(c.bytes, c.delay);
            }
        }
    };

    std::uint16_t before[kRecordWords];
    std::copy(std::begin(parameter), std::end(parameter), before);
    const double t0 = Timer();
    double limit = TIMEOUT;
    int order = 0;
    std::uint32_t block = 0;
    switch (routine) {
    case 0:
        CheckComLine(1);
        break;
    case 1:
        GetHARDWAREInfo();
        break;
    case 2:
    case 3:
        pcbtype = routine == 2 ? 0 : static_cast<std::uint16_t>(1 + option);
        limit = kFirmwareTimeoutSec;
        GetVERSIONInfo();
        break;
    case 4: {
        const int addresses[] = {0, 64, 128, 192, 7};
        limit = kBlockReadTimeoutSec;
        ReadData64(addresses[option % 5], option >> 3, ORDER_DATA);
        break;
    }
    case 5: {
        int tgt = option & 1 ? EEPROM : RAM;
        order = tgt == EEPROM ? ORDER_GET_EEPROM : ORDER_GET_RAM;
        block = (option >> 1) & 1;
        PushGET(tgt, block);
        break;
    }
    }
    const double elapsed = Timer() - t0;
    dev.onWrite = nullptr;

    CheckStatus();
    FUZZ_CHECK(nBytesR >= 0 && nBytesR <= kBufLen);
    FUZZ_CHECK(static_cast<std::size_t>(nBytesR) <= total);
    // A blocking read inside the callback ends at the port's time-out.
    FUZZ_CHECK(longestCallback <= TIMEOUT + 1e-6);
    FUZZ_CHECK(elapsed <= limit + std::max(kIdleStep, longestCallback) + 1e-6);

    if (routine == 5) {
        const int first = block == 0 ? kBlock0 : kBlock1;
        bool changed = false;
        for (int i = 0; i < kRecordWords; ++i) {
            if (i >= first && i < first + kBlockWords) {
                changed = changed || parameter[i] != before[i];
            } else if (i != 1 && i != 2) { // order and second of the request
                FUZZ_CHECK(parameter[i] == before[i]);
            }
        }
        if (changed) {
            // The new block is the data of the frame last taken, and that frame came off the
            // line whole: 36 bytes in a row of what the input delivered. (The receive callback
            // installs itself again, so the frame is looked for in the byte stream.)
            bool standard = GetWord(szReadBuf, 2) != REPLY_DATA;
#if ZEL_FUZZ_STRICT_GET
            standard = standard && GetWord(szReadBuf, 2) == order;
#endif
            FUZZ_CHECK(standard);
            for (int k = 0; k < kBlockWords; ++k) {
                FUZZ_CHECK(parameter[first + k] == GetWord(szReadBuf, 6 + 2 * k));
            }
            std::vector<std::uint8_t> stream;
            for (const auto& c : chunks) {
                stream.insert(stream.end(), c.bytes.begin(), c.bytes.end());
            }
            bool whole = false;
            for (std::size_t i = 0; !whole && i + kFrameLen <= stream.size(); ++i) {
                whole = std::memcmp(stream.data() + i, szReadBuf, kFrameLen) == 0;
            }
            FUZZ_CHECK(whole);
        }
    }
    FlushInQ(1);
    return 0;
}
