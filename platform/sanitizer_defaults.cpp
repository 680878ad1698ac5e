// Leak checking stays on for our code; the GUI and font libraries keep caches until exit,
// which are not leaks of ours.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig\n"
           "leak:libQt6\n"
           "leak:libglib\n"
           "leak:libgobject\n"
           "leak:libdbus\n"
           "leak:libxkbcommon\n"
           "leak:libharfbuzz\n"
           "leak:libfreetype\n";
}
