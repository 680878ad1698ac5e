// What the in-process benchmarks share: the program's panels loaded and shown as the window
// shows them (offscreen unless a platform is chosen), with a project folder of their own.
#pragma once

// Loads both panels from ZEL_PANEL_FILE, binds their callbacks, runs the program's start-up
// steps that need no port (InitVars, the strip chart) and shows the main panel; the project
// folder is a temporary folder named `folder`. False, with a line on stderr naming `bench`,
// when the panels do not load.
bool StartBenchWindow(int argc, char** argv, const char* bench, const char* folder);
