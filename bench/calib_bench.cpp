// Full X-FLASH programming (header page and both tables) at 19200 baud against
// zel-sensor-sim, through the real panels, file loads and write button. Prints one JSON line
// with the time against the floor: 266 exchanges of 37.5 ms plus 11 pauses of 0.3 s.
// Usage: bench_calib [RUNS]   (default 1)
#include "app/app.h"
#include "calib/calib.h"
#include "core/state.h"
#include "link/frames.h"
#include "link/link.h"
#include "process.h"
#include "runtime/ui.h"
#include "serial/serial.h"
#include "testkit/testing.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

constexpr double kFloor = 266 * 0.0375 + 11 * 0.3;

std::string WriteCalibFile(const std::string& dir, const char* name, unsigned base) {
    std::string path = dir + "/" + name;
    std::ofstream out(path);
    out << "[HEADER]\nH1\t1\nH2\t2\nH3\t1.5\nH4\t4\nH5\t5\n[XFLASH]\n";
    for (int k = 0; k < 1024; ++k) {
        out << base + (1023 - k) << "\n";
    }
    return path;
}

int Fail(const char* what) {
    std::fprintf(stderr, "bench_calib: %s\n", what);
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1;
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    if (!InitCVIRTE(argc, argv)) {
        return Fail("run-time did not start");
    }
    pA = LoadPanel(0, ZEL_PANEL_FILE, MAIN_PANEL_NUMBER);
    pCalib = pA > 0 ? LoadPanel(pA, ZEL_PANEL_FILE, CALIB_PANEL_NUMBER) : -1;
    if (pCalib < 0 || BindMainPanel(pA) < 0 || BindCalibPanel(pCalib) < 0) {
        return Fail(UiLastError());
    }
    std::string dir = (std::filesystem::temp_directory_path() / "zel-bench-calib").string();
    std::filesystem::create_directories(dir);
    SetProjectDir(dir.c_str());
    GetProjectDir(proj_dir);
    InitVars();

    zelsim::SimProcess sim(ZEL_SIM_BINARY, {"--latency", "0"});
    if (!sim.ok()) {
        return Fail("simulator did not start");
    }
    BindComPort(1, sim.ptyPath());
    com = 1;
    if (OpenComConfig(com, "", 19200, 0, 8, 1, 4096, 4096) < 0) {
        return Fail("cannot open the simulator's terminal");
    }
    SetComTime(com, TIMEOUT);
    InstallComCallback(com, eventMask, kNotifyCount, zel::sync, RX_Receive_Function, nullptr);

    QueueFileSelectAnswer(WriteCalibFile(dir, "a.dat", 0xA000));
    CC_PICBTNCalibFileCHA(pCalib, CAL_BTNFILECHA, EVENT_COMMIT, nullptr, 0, 0);
    QueueFileSelectAnswer(WriteCalibFile(dir, "b.dat", 0xB000));
    CC_PICBTNCalibFileCHB(pCalib, CAL_BTNFILECHB, EVENT_COMMIT, nullptr, 0, 0);
    if (look_flagA != 1 || look_flagB != 1) {
        return Fail("calibration files not loaded");
    }
    SetCtrlVal(pCalib, CAL_HEADERSW, 1);
    SetCtrlVal(pCalib, CAL_TABLESSW, 1);

    double best = 1e9;
    for (int r = 0; r < runs; ++r) {
        double t0 = Timer();
        CC_WriteXFLASHDATA(pCalib, CAL_BTNWRITE, EVENT_COMMIT, nullptr, 0, 0);
        double took = Timer() - t0;
        if (std::string(szStatus) != "Writing X-FLASH-PAGE:  9 ... OK!") {
            return Fail(szStatus);
        }
        best = std::min(best, took);
    }
    std::printf("{\"bench\":\"calib\",\"metric\":\"programming_seconds\",\"value\":%.3f,"
                "\"floor\":%.3f,\"over_floor_percent\":%.2f}\n",
                best, kFloor, (best / kFloor - 1.0) * 100.0);
    std::fflush(stdout);

    CloseCom(com);
    sim.signal(SIGTERM);
    sim.wait(5.0);
    DiscardPanel(pA);
    CloseCVIRTE();
    std::filesystem::remove_all(dir);
    return 0;
}
