// The event pump while a wait polls with nothing to do: CPU use of the blocking pump against a
// pump that only runs pending events (what a naive polling loop does).
#include "runtime/ui.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <cstdio>
#include <sys/resource.h>

namespace {
double CpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
}

template <typename F> void Measure(const char* name, F pass, double seconds) {
    double c0 = CpuSeconds(), t0 = Timer();
    long passes = 0;
    while (Timer() - t0 < seconds) {
        pass();
        ++passes;
    }
    double wall = Timer() - t0, cpu = CpuSeconds() - c0;
    std::printf("{\"bench\":\"pump\",\"variant\":\"%s\",\"cpu_percent_of_one_core\":%.1f,"
                "\"passes_per_s\":%.0f}\n",
                name, 100.0 * cpu / wall, passes / wall);
}
} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    InitCVIRTE(argc, argv);
    Measure(
        "blocking (ProcessSystemEvents)", [] { ProcessSystemEvents(); }, 3.0);
    Measure(
        "spinning (processEvents only)",
        [] { QCoreApplication::processEvents(QEventLoop::AllEvents); }, 3.0);
    return 0;
}
