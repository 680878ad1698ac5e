#include "bench_window.h"

#include "app/app.h"
#include "core/state.h"
#include "runtime/ui.h"
#include "scope/scope.h"

#include <QByteArray>

#include <cstdio>
#include <filesystem>
#include <string>

bool StartBenchWindow(int argc, char** argv, const char* bench, const char* folder) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    InitCVIRTE(argc, argv);
    pA = LoadPanel(0, ZEL_PANEL_FILE, MAIN_PANEL_NUMBER);
    pCalib = pA > 0 ? LoadPanel(pA, ZEL_PANEL_FILE, CALIB_PANEL_NUMBER) : -1;
    if (pA < 0 || pCalib < 0 || BindMainPanel(pA) < 0 || BindCalibPanel(pCalib) < 0) {
        std::fprintf(stderr, "%s: %s\n", bench, UiLastError());
        return false;
    }
    InstallPanelCallback(pA, CC_PANEL, nullptr);
    const std::string dir = (std::filesystem::temp_directory_path() / folder).string();
    std::filesystem::create_directories(dir);
    SetProjectDir(dir.c_str());
    GetProjectDir(proj_dir);
    SetupStripChart();
    InitVars();
    DisplayPanel(pA); // drawn like the real window, chart repaints included
    return true;
}
