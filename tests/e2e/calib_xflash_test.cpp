#include "harness.h"

#include "calib/calib.h"
#include "core/state.h"
#include "runtime/ui.h"
#include "testkit/testing.h"

#include <csignal>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace {

// Table entry i of a generated file is base + i; the file lists it last entry first.
std::string WriteCalibFile(const std::string& dir, const std::string& name, unsigned base,
                           const char* header) {
    std::string path = dir + "/" + name;
    std::ofstream out(path);
    out << "[HEADER]\n" << header << "[XFLASH]\n";
    for (int k = 0; k < 1024; ++k) {
        out << base + (1023 - k) << "\n";
    }
    return path;
}

constexpr unsigned kBaseA = 0xA000;
constexpr unsigned kBaseB = 0xB000;

class CalibProgrammingE2E : public SimLinkTest {
  protected:
    void SetUp() override {
        SimLinkTest::SetUp();
        ClearCalibration();
        dumpPath = tempDir + "/flash.dump";
    }
    void start(const char* baud) {
        startSim({"--latency", "0", "--baud", baud, "--flash-dump", dumpPath});
        openLink();
    }
    void load(int button, const std::string& path) {
        QueueFileSelectAnswer(path);
        ClickCtrl(pCalib, button);
        pump(0.01);
    }
    void loadA() {
        load(CAL_BTNFILECHA,
             WriteCalibFile(tempDir, "a.dat", kBaseA, "H1\t11\nH2\t22\nH3\t1.5\nH4\t44\nH5\t55\n"));
    }
    void loadB() {
        load(CAL_BTNFILECHB, WriteCalibFile(tempDir, "b.dat", kBaseB,
                                            "H1\t111\nH2\t222\nH3\t0.25\nH4\t444\nH5\t555\n"));
    }
    void program(int header, int tables) {
        SetCtrlVal(pCalib, CAL_HEADERSW, header);
        SetCtrlVal(pCalib, CAL_TABLESSW, tables);
        ClickCtrl(pCalib, CAL_BTNWRITE);
        pump(0.01); // the whole run happens inside this pump
    }
    // Stops the simulator, which writes its flash dump, and reads it.
    std::map<unsigned, unsigned> dump() {
        sim->signal(SIGTERM);
        EXPECT_EQ(sim->wait(10.0), 0);
        std::map<unsigned, unsigned> words;
        std::ifstream in(dumpPath);
        std::string line;
        while (std::getline(in, line)) {
            unsigned a = 0, w = 0;
            std::istringstream(line) >> std::hex >> a >> w;
            words[a] = w;
        }
        return words;
    }
    // Compares the dump with the expected pages word for word; `header` null: page 1 erased.
    void expectFlash(const unsigned* header, bool tableA, bool tableB) {
        std::map<unsigned, unsigned> got = dump();
        ASSERT_EQ(got.size(), 4096u);
        int wrong = 0;
        for (unsigned a = 0x1000; a < 0x2000; ++a) {
            unsigned page = (a - 0x1000) >> 8, i = a & 0xFF, want = 0xFFFF;
            if (page == 1 && header && i < 15) {
                want = i < 8 ? header[i] : 0;
            } else if (page >= 2 && page <= 5 && tableA) {
                want = kBaseA + a - 0x1200;
            } else if (page >= 6 && page <= 9 && tableB) {
                want = kBaseB + a - 0x1600;
            }
            if (got.at(a) != want && ++wrong <= 5) {
                ADD_FAILURE() << std::hex << "word " << a << " holds " << got.at(a) << ", not "
                              << want;
            }
        }
        EXPECT_EQ(wrong, 0);
    }
    std::string dumpPath;
};

} // namespace

const unsigned kBothHeaders[8] = {111, 222, 1536, 256, 44, 444, 55, 555};

// At the real line speed: the header and both tables, every word checked.
TEST_F(CalibProgrammingE2E, FullProgrammingAt19200MatchesTheFlash) {
    start("19200");
    loadA();
    loadB();
    ASSERT_EQ(look_flagA + look_flagB, 2);
    // How long it takes against the floor of its exchanges and pauses is bench_calib's figure.
    program(1, 1);
    EXPECT_EQ(status(), "Writing X-FLASH-PAGE:  9 ... OK!");
    expectFlash(kBothHeaders, true, true);
}

TEST_F(CalibProgrammingE2E, HeaderOnly) {
    start("0");
    loadA();
    loadB();
    program(1, 0);
    EXPECT_EQ(status(), "XFLASH-PAGE1 calibration-data-writing OK!");
    expectFlash(kBothHeaders, false, false);
}

TEST_F(CalibProgrammingE2E, TablesOnly) {
    start("0");
    loadA();
    loadB();
    program(0, 1);
    expectFlash(nullptr, true, true);
}

TEST_F(CalibProgrammingE2E, OnlyChannelBLoaded) {
    start("0");
    loadB();
    program(1, 1);
    const unsigned header[8] = {111, 222, 0, 256, 0, 444, 0, 555};
    expectFlash(header, false, true);
}
