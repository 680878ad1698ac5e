// The parameter set: panel values, send and get, targets, parameter files.
#include "harness.h"

#include "core/state.h"
#include "link/frames.h"
#include "link/link.h"
#include "params/params.h"
#include "params/record.h"
#include "runtime/ui.h"
#include "scope/scope.h"
#include "serial/serial.h"
#include "testkit/testing.h"

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {
std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

void Commit(int control) {
    ClickCtrl(pA, control);
    for (int i = 0; i < 3; ++i) {
        ProcessSystemEvents();
    }
}

unsigned short Field(int control) {
    unsigned short v = 0;
    GetCtrlVal(pA, control, &v);
    return v;
}
} // namespace

TEST_F(RoutineTest, PanelValuesAndFlagWord) {
    SetCtrlVal(pA, MAIN_FLAG0, 1);
    SetCtrlVal(pA, MAIN_FLAG1, 1);
    parameter[10] = 0xAAAA; // words without a field survive
    parameter[13] = 0xBBBB;
    GetPanelValues();
    EXPECT_EQ(parameter[9], 3);
    SetCtrlVal(pA, MAIN_FLAG0, 0);
    GetPanelValues();
    EXPECT_EQ(parameter[9], 2);

    // A flag word of 4 or more leaves both switches alone; the next read replaces it.
    parameter[9] = 7;
    SetPanelValues();
    int f0 = -1, f1 = -1;
    GetCtrlVal(pA, MAIN_FLAG0, &f0);
    GetCtrlVal(pA, MAIN_FLAG1, &f1);
    EXPECT_EQ(f0, 0);
    EXPECT_EQ(f1, 1);
    GetPanelValues();
    EXPECT_EQ(parameter[9], 2);
    EXPECT_EQ(parameter[10], 0xAAAA);
    EXPECT_EQ(parameter[13], 0xBBBB);

    // Full 16-bit values pass unchanged both ways.
    parameter[4] = 65535;
    SetPanelValues();
    EXPECT_EQ(Field(MAIN_REFA), 65535);
    GetPanelValues();
    EXPECT_EQ(parameter[4], 65535);
}

TEST_F(RoutineTest, TargetButtonsKeepExactlyOneOn) {
    auto on = [&](int c) {
        int v = 0;
        GetCtrlVal(pA, c, &v);
        return v;
    };
    Commit(MAIN_RBTEEPROM);
    EXPECT_EQ(target, EEPROM);
    EXPECT_EQ(on(MAIN_RBTRAM) + on(MAIN_RBTEEPROM) + on(MAIN_RBTFILE), 1);
    Commit(MAIN_RBTFILE);
    EXPECT_EQ(target, DATFILE);
    EXPECT_EQ(on(MAIN_RBTFILE), 1);
    EXPECT_EQ(on(MAIN_RBTEEPROM), 0);
    Commit(MAIN_RBTFILE); // switching it off falls back to RAM
    EXPECT_EQ(target, RAM);
    EXPECT_EQ(on(MAIN_RBTRAM), 1);
    Commit(MAIN_RBTRAM); // RAM cannot be switched off
    EXPECT_EQ(target, RAM);
    EXPECT_EQ(on(MAIN_RBTRAM), 1);
    EXPECT_EQ(on(MAIN_RBTRAM) + on(MAIN_RBTEEPROM) + on(MAIN_RBTFILE), 1);
}

TEST_F(RoutineTest, SendToEepromPutsTheBlockOnTheLine) {
    openLink();
    target = EEPROM;
    SetCtrlVal(pA, MAIN_SETTING8, 7u); // an unsent edit goes out with the send
    CC_BTNSend(pA, MAIN_BTNSEND, EVENT_LEFT_CLICK, nullptr, 0, 0);
    EXPECT_EQ(status(), "Transmit...");
    CC_BTNSend(pA, MAIN_BTNSEND, EVENT_COMMIT, nullptr, 0, 0);
    ASSERT_EQ(writes().size(), 1u);
    std::vector<std::uint8_t> expected = {0x00, 0x55, 0x00, 0x03, 0x00, 0x00, 0x01, 0xF4, 0x02,
                                          0x00, 0x02, 0x00, 0x00, 0x64, 0x00, 0x64, 0x00, 0x0A};
    expected.resize(36, 0);
    expected[6 + 2 * 8 + 1] = 7;
    EXPECT_EQ(writes()[0], expected);
    EXPECT_EQ(status(), "Transmit para1 Ok!");
    EXPECT_EQ(rx_flag, 0); // not re-armed when no scope runs

    // A short write gets no confirmation; inside a running scope the send re-arms it.
    dev.shortWrite = 20;
    stop_flag = 0;
    NoteDataRequest(Timer());
    SetStatus("x");
    ShowStatus();
    CC_BTNSend(pA, MAIN_BTNSEND, EVENT_COMMIT, nullptr, 0, 0);
    EXPECT_EQ(status(), "x");
    EXPECT_EQ(rx_flag, REPLY_DATA);
}

TEST_F(RoutineTest, GetFromRamAndEeprom) {
    useSensor();
    openLink();
    sensor->model().ram[0][1] = 300;
    sensor->model().eeprom[0][1] = 400;
    sensor->model().ram[1][0] = 0x1234;

    CC_BTNGet(pA, MAIN_BTNGET, EVENT_COMMIT, nullptr, 0, 0);
    EXPECT_EQ(Field(MAIN_REFA), 300);
    EXPECT_EQ(refthdA, 300);
    EXPECT_EQ(status(), "Parameter-frame received! - Line Ok!");
    target = EEPROM;
    CC_BTNGet(pA, MAIN_BTNGET, EVENT_COMMIT, nullptr, 0, 0);
    EXPECT_EQ(writtenWord(writes().size() - 1, 2), 4u);
    EXPECT_EQ(Field(MAIN_REFA), 400);

    // Block 1: its request carries the record's current block 1, and only words 18-32 change.
    std::uint16_t before[kRecordWords];
    std::copy(std::begin(parameter), std::end(parameter), before);
    PushGET(RAM, 1);
    std::vector<std::uint8_t> request = {0x00, 0x55, 0x00, 0x02, 0x00, 0x01};
    request.resize(36, 0);
    EXPECT_EQ(writes().back(), request);
    EXPECT_EQ(parameter[18], 0x1234);
    for (int i = 3; i < 18; ++i) {
        EXPECT_EQ(parameter[i], before[i]) << "word " << i;
    }
    EXPECT_EQ(Field(MAIN_REFA), 400);
}

TEST_F(RoutineTest, FailedGetRedrawsThePanelFromTheUnchangedRecord) {
    openLink();
    GetPanelValues();
    SetCtrlVal(pA, MAIN_REFA, 900u); // an edit neither sent nor saved
    // No reply.
    double t0 = Timer();
    CC_BTNGet(pA, MAIN_BTNGET, EVENT_COMMIT, nullptr, 0, 0);
    EXPECT_GT(Timer() - t0, TIMEOUT);
    EXPECT_EQ(status(), "Timeout-RS-232...");
    EXPECT_EQ(Field(MAIN_REFA), 512);
    EXPECT_EQ(upthdA, 612);
    // A data reply instead of a standard one.
    SetCtrlVal(pA, MAIN_REFA, 900u);
    dev.onWrite = [&](std::span<const std::uint8_t>, double) {
        reply(frame({0x55, 0x0008, 999, 999, 999}), 0.04);
    };
    CC_BTNGet(pA, MAIN_BTNGET, EVENT_COMMIT, nullptr, 0, 0);
    EXPECT_EQ(status(), "Timeout-RS-232...");
    EXPECT_EQ(parameter[4], 512);
    EXPECT_EQ(Field(MAIN_REFA), 512);
}

TEST_F(RoutineTest, ParameterFileRoundTripAndFormat) {
    target = DATFILE;
    std::string path = tempDir + "/set.cfg";
    // Start values, pp word 15 still 0: the 16 lines of a fresh file.
    QueueFileSelectAnswer(path);
    CC_BTNSend(pA, MAIN_BTNSEND, EVENT_COMMIT, nullptr, 0, 0);
    ASSERT_EQ(FileSelectCalls().size(), 1u);
    EXPECT_EQ(FileSelectCalls()[0].title, "ZEL-A-Parameter File");
    EXPECT_EQ(FileSelectCalls()[0].fileName, "TRK10para.cfg");
    EXPECT_EQ(FileSelectCalls()[0].filter, "*.cfg");
    EXPECT_EQ(FileSelectCalls()[0].directory, tempDir);
    EXPECT_EQ(Slurp(path), "  500\n  512\n  512\n  100\n  100\n   10\n    0\n    0\n    0\n    0\n"
                           "    0\n    0\n    0\n    0\n    0\n    0\n");

    // Save with odd values, change everything, load: words 3-17 and pp[15] come back.
    for (int i = 3; i < 18; ++i) {
        parameter[i] = static_cast<std::uint16_t>(1000 * i + 1);
    }
    parameter[9] = 2;
    SetPanelValues();
    pp[15] = 65535;
    std::uint16_t saved[kRecordWords];
    QueueFileSelectAnswer(path);
    CC_BTNSend(pA, MAIN_BTNSEND, EVENT_COMMIT, nullptr, 0, 0);
    std::copy(std::begin(parameter), std::end(parameter), saved);
    for (int i = 3; i < 18; ++i) {
        parameter[i] = 0;
    }
    pp[15] = 0;
    QueueFileSelectAnswer(path);
    CC_BTNGet(pA, MAIN_BTNGET, EVENT_COMMIT, nullptr, 0, 0);
    EXPECT_EQ(FileSelectCalls().back().title, "VOREN-TRK1 Parameter File");
    EXPECT_EQ(FileSelectCalls().back().buttonKind, VAL_LOAD_BUTTON);
    for (int i = 3; i < 18; ++i) {
        EXPECT_EQ(parameter[i], saved[i]) << "word " << i;
    }
    EXPECT_EQ(pp[15], 65535);
    EXPECT_EQ(Field(MAIN_SETTING0), 3001);
}

TEST_F(RoutineTest, ParameterFileReaderToleranceAndRefusals) {
    std::string path = tempDir + "/p.cfg";
    auto load = [&](const std::string& content) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
        QueueFileSelectAnswer(path);
        return ReadParaFromFile();
    };
    // All 16 on one line, large values cut to 16 bits, a flag word of 4 kept as it is.
    SetCtrlVal(pA, MAIN_FLAG0, 1);
    EXPECT_EQ(load("1 2 3 4 5 6 4 8 9 10 11 12 13 14 70000 65536 trailing"), 1);
    EXPECT_EQ(parameter[3], 1);
    EXPECT_EQ(parameter[9], 4);
    EXPECT_EQ(parameter[17], 4464);
    EXPECT_EQ(pp[15], 0);
    SetPanelValues();
    int f0 = 0;
    GetCtrlVal(pA, MAIN_FLAG0, &f0);
    EXPECT_EQ(f0, 1);

    // Each of these leaves the record and pp unchanged.
    std::uint16_t rec[kRecordWords], img[16];
    std::copy(std::begin(parameter), std::end(parameter), rec);
    std::copy(std::begin(pp), std::end(pp), img);
    std::string fifteen;
    for (int i = 0; i < 15; ++i) {
        fifteen += "9\n";
    }
    const std::string bad[] = {
        fifteen,
        "1 2 3 4 5 six 7 8 9 10 11 12 13 14 15 16",
        "1 2 3 4 5 -6 7 8 9 10 11 12 13 14 15 16",
        "1 2 3 4 5 123456789012345678901234567890 7 8 9 10 11 12 13 14 15 16",
        std::string("\x00\xff\x13\x37garbage\x01", 12),
        "",
    };
    for (const auto& content : bad) {
        EXPECT_EQ(load(content), 0);
        EXPECT_TRUE(std::equal(std::begin(parameter), std::end(parameter), rec));
        EXPECT_TRUE(std::equal(std::begin(pp), std::end(pp), img));
    }
    QueueFileSelectAnswer(tempDir); // a directory
    EXPECT_EQ(ReadParaFromFile(), 0);
    QueueFileSelectAnswer(""); // cancelled
    EXPECT_EQ(ReadParaFromFile(), 0);
    EXPECT_TRUE(std::equal(std::begin(parameter), std::end(parameter), rec));
    if (::geteuid() != 0) { // root reads anything
        std::ofstream(path, std::ios::trunc) << "1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16";
        ::chmod(path.c_str(), 0);
        QueueFileSelectAnswer(path);
        EXPECT_EQ(ReadParaFromFile(), 0);
        EXPECT_TRUE(std::equal(std::begin(parameter), std::end(parameter), rec));
    }
}

TEST_F(RoutineTest, FailedSaveSaysSoAndKeepsTheOldFile) {
    target = DATFILE;
    std::string path = tempDir + "/keep.cfg";
    std::ofstream(path) << "old";
    // The directory cannot take the temporary file.
    std::string ro = tempDir + "/nodir/keep.cfg";
    QueueFileSelectAnswer(ro);
    CC_BTNSend(pA, MAIN_BTNSEND, EVENT_COMMIT, nullptr, 0, 0);
    EXPECT_NE(status().find("Cannot save"), std::string::npos) << status();
    EXPECT_NE(status().find("keep.cfg"), std::string::npos) << status();
    // A path that is a directory is not replaced.
    std::filesystem::create_directory(tempDir + "/adir");
    QueueFileSelectAnswer(tempDir + "/adir");
    CC_BTNSend(pA, MAIN_BTNSEND, EVENT_COMMIT, nullptr, 0, 0);
    EXPECT_NE(status().find("Cannot save"), std::string::npos) << status();
    EXPECT_TRUE(std::filesystem::is_directory(tempDir + "/adir"));
    EXPECT_EQ(Slurp(path), "old");
    // Cancel: nothing written, file_name kept.
    QueueFileSelectAnswer("");
    CC_BTNSend(pA, MAIN_BTNSEND, EVENT_COMMIT, nullptr, 0, 0);
    EXPECT_EQ(Slurp(path), "old");
}

TEST_F(RoutineTest, SaveDialogAddsTheFilterExtensionToABareNewName) {
    target = DATFILE;
    // A bare new name is saved as NAME.cfg, which the load dialog then lists and loads.
    QueueFileSelectAnswer(tempDir + "/station3");
    CC_BTNSend(pA, MAIN_BTNSEND, EVENT_COMMIT, nullptr, 0, 0);
    EXPECT_TRUE(std::filesystem::exists(tempDir + "/station3.cfg"));
    EXPECT_FALSE(std::filesystem::exists(tempDir + "/station3"));
    EXPECT_EQ(std::string(file_name), tempDir + "/station3.cfg");
    // A name with its own extension, or a dotted directory, is left alone.
    std::filesystem::create_directory(tempDir + "/v1.2");
    QueueFileSelectAnswer(tempDir + "/v1.2/set.txt");
    CC_BTNSend(pA, MAIN_BTNSEND, EVENT_COMMIT, nullptr, 0, 0);
    EXPECT_TRUE(std::filesystem::exists(tempDir + "/v1.2/set.txt"));
    QueueFileSelectAnswer(tempDir + "/v1.2/bare");
    CC_BTNSend(pA, MAIN_BTNSEND, EVENT_COMMIT, nullptr, 0, 0);
    EXPECT_TRUE(std::filesystem::exists(tempDir + "/v1.2/bare.cfg"));
    // Loading never renames: a bare name is looked for as it is.
    std::ofstream(tempDir + "/plain") << "1 2 3 4 5 6 1 8 9 10 11 12 13 14 15 16";
    QueueFileSelectAnswer(tempDir + "/plain");
    EXPECT_EQ(ReadParaFromFile(), 1);
    EXPECT_EQ(parameter[3], 1);
}
