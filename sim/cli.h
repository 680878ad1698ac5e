// Command line of zel-sensor-sim.
#pragma once

#include "engine.h"

#include <string>
#include <vector>

namespace zelsim {

struct CommandLine {
    Options options;
    std::string stateFile;
    std::string flashDumpFile;
    std::string logFile;
    std::string linkPath;
    bool help = false;
    bool version = false;
};

// Fills `cl` from the arguments (without the program name). On a bad argument returns
// false with a one-line reason in `err`.
bool parseCommandLine(const std::vector<std::string>& args, CommandLine& cl, std::string& err);

const char* usageText();

} // namespace zelsim
