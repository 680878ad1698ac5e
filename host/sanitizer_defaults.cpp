// Leak checking stays on for our code. Suppressed are only libraries that keep caches until
// exit and never call back into our code, so no leak of ours can hide behind them: the font
// configuration and rendering caches, the keymap tables and the session-bus connection. The
// Qt and GLib libraries are deliberately not listed: every callback of ours runs below their
// event loop, so naming them would suppress every leak we could make.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig\n"
           "leak:libfreetype\n"
           "leak:libharfbuzz\n"
           "leak:libxkbcommon\n"
           "leak:libdbus\n";
}
