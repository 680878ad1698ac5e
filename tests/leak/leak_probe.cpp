// Leaks one block from inside an event-loop callback, as a leak of ours would. The suppressions
// must not hide it: the test that runs this expects LeakSanitizer to fail the process.
#include "runtime/ui.h"

#include <cstdio>
#include <cstdlib>

namespace {
void* g_kept = nullptr;

void LeakOnce() {
    static int calls = 0;
    if (++calls == 1) {
        g_kept = std::malloc(4096); // forgotten below: the leak
        g_kept = nullptr;
        QuitUserInterface(0);
    }
}
} // namespace

int main(int argc, char** argv) {
    static char platform[] = "QT_QPA_PLATFORM=offscreen";
    ::putenv(platform);
    if (!InitCVIRTE(argc, argv)) {
        return 1;
    }
    SetPeriodicCall(0.01, &LeakOnce);
    RunUserInterface();
    SetPeriodicCall(0, &LeakOnce);
    CloseCVIRTE();
    std::puts(g_kept ? "kept" : "leaked");
    return 0;
}
