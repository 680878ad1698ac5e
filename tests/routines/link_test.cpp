// The sensor link against the in-memory device: opening failures, the line check, the
// hardware and firmware requests, the start-up exchange and the port file and selector.
#include "harness.h"

#include "app/app.h"
#include "core/state.h"
#include "link/frames.h"
#include "link/link.h"
#include "params/record.h"
#include "runtime/ui.h"
#include "scope/scope.h"
#include "serial/serial.h"
#include "testkit/testing.h"

#include <filesystem>
#include <fstream>

namespace {
// 72 firmware bytes: one big-endian word per character (type 0 sensors).
std::vector<std::uint8_t> FirmwareWords(const std::vector<unsigned>& codes) {
    std::vector<std::uint8_t> out(72, 0);
    for (std::size_t i = 0; i < codes.size() && i < 36; ++i) {
        out[2 * i] = static_cast<std::uint8_t>(codes[i] >> 8);
        out[2 * i + 1] = static_cast<std::uint8_t>(codes[i] & 0xFF);
    }
    return out;
}
} // namespace

TEST_F(RoutineTest, StartupExchangeAgainstSensor) {
    useSensor();
    InitRS232(1);
    ASSERT_EQ(writes().size(), 5u);
    const unsigned orders[] = {5, 10, 2, 2, 7};
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(writtenWord(i, 2), orders[i]) << "request " << i;
    }
    EXPECT_EQ(writtenWord(2, 4), 0u);
    EXPECT_EQ(writtenWord(3, 4), 1u);
    EXPECT_EQ(status(), "V2.0");
    EXPECT_EQ(pcbtype, 0);
}

TEST_F(RoutineTest, OpeningFailuresShowTheirMessageAndSendNothing) {
    const std::pair<int, const char*> table[] = {{-1, "Unknown system error"},
                                                 {-2, "Invalid port number"},
                                                 {-3, "Port is not open"},
                                                 {-4, "Unknown I/0 error"},
                                                 {-5, "RS-232 error!"},
                                                 {-6, "No serial port found"},
                                                 {-7, "Cannot open port"},
                                                 {-8, "RS-232 error!"},
                                                 {-12, "RS-232 error!"},
                                                 {-13, "Invalid parameter"},
                                                 {-99, "Timeout"},
                                                 {-42, "RS-232 error!"}};
    for (const auto& [code, text] : table) {
        dev.openError = code;
        InitRS232(1);
        EXPECT_EQ(status(), text) << code;
    }
    EXPECT_TRUE(dev.writes.empty());
    // Port 0 and numbers above 255 are refused by the opening itself.
    InitRS232(0);
    EXPECT_EQ(status(), "Invalid port number");
    InitRS232(256);
    EXPECT_EQ(status(), "Invalid port number");
}

TEST_F(RoutineTest, LineCheckOutcomes) {
    openLink();
    struct Case {
        std::vector<std::uint8_t> reply;
        int result;
        const char* text;
    } cases[] = {
        {frame({0x00AA, 0x0005}), 1, "Echo Check - Line Ok!"},
        {frame({0x0055, 0x00AA}), 1, "Echo Check - Line Ok!"},
        {frame({0x0055, 0x0005}), 0, "read error - not sync byte 0xAA!"},
        {frame({0x00AA, 0x0008}), 0, "unchanged"}, // a data reply: status untouched
    };
    for (const auto& c : cases) {
        SetStatus("unchanged");
        dev.onWrite = [&](std::span<const std::uint8_t>, double) { reply(c.reply, 0.04); };
        EXPECT_EQ(CheckComLine(1), c.result);
        EXPECT_EQ(status(), c.text);
    }
    // After a good check pp words 0 and 1 hold the reply's first two words, and the hardware
    // request carries them.
    dev.onWrite = [&](std::span<const std::uint8_t>, double) {
        reply(frame({0x00AA, 0x0005}), 0.04);
    };
    ASSERT_EQ(CheckComLine(1), 1);
    EXPECT_EQ(pp[0], 0x00AA);
    EXPECT_EQ(pp[1], 0x0005);
    dev.onWrite = nullptr;
    GetHARDWAREInfo();
    EXPECT_EQ(writtenWord(writes().size() - 1, 6), 0x00AAu);
    EXPECT_EQ(writtenWord(writes().size() - 1, 8), 0x0005u);

    // No reply: -1 after the time-out, not before.
    double t0 = Timer();
    EXPECT_EQ(CheckComLine(1), -1);
    EXPECT_EQ(status(), "Timeout-RS-232...");
    EXPECT_GT(Timer() - t0, TIMEOUT);
    EXPECT_LT(Timer() - t0, TIMEOUT + 0.05);
}

TEST_F(RoutineTest, HardwareRequestTakesTheTypeFromEveryStandardReply) {
    openLink();
    dev.onWrite = [&](std::span<const std::uint8_t>, double) {
        reply(frame({0x55, 0x000A, 0, 0, 0, 0x0190}), 0.04);
    };
    EXPECT_EQ(GetHARDWAREInfo(), 1);
    EXPECT_EQ(pcbtype, 400);
    dev.onWrite = [&](std::span<const std::uint8_t>, double) {
        reply(frame({0x55, 0x000B, 0, 0, 0, 100}), 0.04);
    };
    EXPECT_EQ(GetHARDWAREInfo(), 0);
    EXPECT_EQ(pcbtype, 100);
    dev.onWrite = nullptr;
    EXPECT_EQ(GetHARDWAREInfo(), 0);
    EXPECT_EQ(pcbtype, 100);
}

TEST_F(RoutineTest, FirmwareTextIsAlwaysPrintable) {
    openLink();
    auto answer = [&](std::vector<std::uint8_t> bytes) {
        dev.onWrite = [this, bytes](std::span<const std::uint8_t>, double) { reply(bytes, 0.05); };
    };
    pcbtype = 0;
    answer(FirmwareWords({'V', '2', '.', '0', 0, 'X'}));
    EXPECT_EQ(GetVERSIONInfo(), 72);
    EXPECT_STREQ(szVersion, "V2.0");
    EXPECT_EQ(status(), "V2.0");
    // Words above 255 and control characters (C0, DEL, C1) show as '?'.
    answer(FirmwareWords({'A', 0x0141, 0x07, 0x7F, 0x85, 'B'}));
    GetVERSIONInfo();
    EXPECT_EQ(status(), "A????B");
    // Printable Latin-1 stays: kept as Latin-1 bytes, shown as their characters.
    answer(FirmwareWords({'2', '5', 0xB0, 'C', ' ', 0xB5, 'm', ' ', 0xC4, 0xFC, 0xA0, 0xFF}));
    GetVERSIONInfo();
    EXPECT_STREQ(szVersion, "25\xB0"
                            "C \xB5m \xC4\xFC\xA0\xFF");
    EXPECT_EQ(status(), szVersion);
    EXPECT_EQ(TextHistory(pA, MAIN_STATUS).back(), "25\u00B0C \u00B5m \u00C4\u00FC\u00A0\u00FF");

    // Other types: the bytes themselves, at most 65 characters.
    pcbtype = 100;
    std::vector<std::uint8_t> text(72, 'x');
    text[1] = '\n';
    answer(text);
    EXPECT_EQ(GetVERSIONInfo(), 72);
    EXPECT_EQ(status(), "x?" + std::string(63, 'x'));
    // Byte text: the same characters kept, the same refused; the 65 kept are characters.
    std::vector<std::uint8_t> latin(72, 0xE9);
    latin[0] = 0xB0;
    latin[1] = 0x9B;
    latin[2] = 0x1B;
    answer(latin);
    EXPECT_EQ(GetVERSIONInfo(), 72);
    std::string e;
    for (int i = 0; i < 62; ++i) {
        e += "\u00E9";
    }
    EXPECT_EQ(status(), "\xB0??" + std::string(62, '\xE9'));
    EXPECT_EQ(TextHistory(pA, MAIN_STATUS).back(), "\u00B0??" + e);

    // 80 bytes: counted, no text taken, status as before the request.
    SetStatus("before");
    answer(std::vector<std::uint8_t>(80, 'y'));
    EXPECT_EQ(GetVERSIONInfo(), 80);
    EXPECT_EQ(status(), "before");
    // Too short: the time-out message and the count that came.
    answer(std::vector<std::uint8_t>(30, 'z'));
    double t0 = Timer();
    EXPECT_EQ(GetVERSIONInfo(), 30);
    EXPECT_EQ(status(), "Timeout - reading firmware info!");
    EXPECT_GT(Timer() - t0, 2.0);
    // The receive callback is back and the queue is empty.
    EXPECT_EQ(GetInQLen(1), 0);
    reply(frame({0x55, 1}), 0.01);
    pump(0.02);
    EXPECT_EQ(rx_flag, REPLY_STANDARD);
}

TEST_F(RoutineTest, SensorThatOnlyAnswersTheLineCheck) {
    zelsim::Options opts;
    opts.silent = {2, 7, 10};
    useSensor(opts);
    double t0 = Timer();
    InitRS232(1);
    // Hardware, both GETs and the firmware request all ran, each to its time-out.
    ASSERT_EQ(writes().size(), 5u);
    EXPECT_EQ(writtenWord(4, 2), 7u);
    EXPECT_EQ(status(), "Error reading firmware-info!");
    EXPECT_GT(Timer() - t0, 3 * TIMEOUT + 2.0);
    EXPECT_LT(Timer() - t0, 3 * TIMEOUT + 2.0 + 0.5);
}

TEST_F(RoutineTest, NoSensorStopsAfterTheLineCheck) {
    InitRS232(1);
    EXPECT_EQ(writes().size(), 1u);
    EXPECT_EQ(status(), "Timeout-RS-232...");
    // The panel still shows its start values.
    unsigned short ref = 0;
    GetCtrlVal(pA, MAIN_REFA, &ref);
    EXPECT_EQ(ref, 512);
}

TEST_F(RoutineTest, PortFileIsReadStrictlyAndNeverWritten) {
    std::string path = tempDir + "/comport.cfg";
    EXPECT_EQ(ReadPortFile(path.c_str()), 1); // missing
    const std::pair<const char*, int> cases[] = {
        {"", 1},
        {"3", 3},
        {"3\r\n", 3},
        {"300", 1},
        {"255", 255},
        {"0", 0},
        {"text", 1},
        {"7 junk", 7},
        {"7junk", 7},
        {"-3", 1},
        {"99999999999999999999", 1},
        // Leading zeros and a plus sign never change the number.
        {"0000000000003", 3},
        {"0003", 3},
        {"+3", 3},
        {"+0000000000000000000000000000255\n", 255},
        {"00000000000000000000000000256", 1},
        {"256", 1},
        {"++3", 1},
        {"+-3", 1},
    };
    for (const auto& [text, port] : cases) {
        std::ofstream(path, std::ios::trunc) << text;
        EXPECT_EQ(ReadPortFile(path.c_str()), port) << '"' << text << '"';
    }
    EXPECT_EQ(ReadPortFile(tempDir.c_str()), 1); // a directory

    // Start-up reads it; picking a port leaves it alone.
    std::ofstream(path, std::ios::trunc) << "3\n";
    MemorySerialDevice dev3;
    AttachMemoryDevice(3, &dev3);
    InitVars();
    EXPECT_EQ(com, 3);
    int shown = 0;
    GetCtrlVal(pA, MAIN_DROPDCOM, &shown);
    EXPECT_EQ(shown, 3);
    auto stamp = std::filesystem::last_write_time(path);
    SetCtrlVal(pA, MAIN_DROPDCOM, 1);
    CC_DropDCom(pA, MAIN_DROPDCOM, EVENT_COMMIT, nullptr, 0, 0);
    EXPECT_EQ(com, 1);
    EXPECT_EQ(std::filesystem::last_write_time(path), stamp);
    std::ifstream in(path);
    std::string content((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(content, "3\n");
}

TEST_F(RoutineTest, PickingAPortRunsTheWholeExchangeAgain) {
    useSensor();
    InitRS232(1);
    ASSERT_EQ(writes().size(), 5u);
    stop_flag = 0;
    SetCtrlVal(pA, MAIN_DROPDCOM, 1); // the port already in use
    CC_DropDCom(pA, MAIN_DROPDCOM, EVENT_COMMIT, nullptr, 0, 0);
    EXPECT_EQ(stop_flag, 1);
    EXPECT_EQ(writes().size(), 10u);
    EXPECT_EQ(statusHistory().at(statusHistory().size() - 1), "V2.0");
    bool sawInit = false;
    for (const auto& s : statusHistory()) {
        sawInit = sawInit || s == "Init COM-Port ...";
    }
    EXPECT_TRUE(sawInit);
}
