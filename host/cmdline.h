// The command line, split by Qt's parser (QCommandLineParser): options as the program declares
// them, in the order given, with their values; the other words after. Callers check the values
// and word their own refusals.
#pragma once

#include <string>
#include <vector>

struct CommandLineOption {
    std::vector<std::string> names; // without dashes: {"help", "h"}, {"dir"}, {"o"}
    bool takesValue = false;
};

// The command line rebuilt in a canonical form: every option occurrence as "--name" (or "-n"
// for a one-letter name) followed by its value as a word of its own, in the order given; the
// other words ("positional") apart, in their order.
struct CommandLine {
    std::vector<std::string> options;
    std::vector<std::string> positional;
};

enum class CommandLineError { None, UnknownOption, MissingValue };

// Splits argv[1..argc). On a refusal, `offending` holds the word as typed (up to any '=').
CommandLineError SplitCommandLine(int argc, char** argv,
                                  const std::vector<CommandLineOption>& declared, CommandLine& out,
                                  std::string& offending);

// Qt's own options, which every Qt window program accepts (-platform, -style, -stylesheet,
// -reverse, ...; with one dash or two, a value as the next word or after '='), taken out of
// argv before the program reads its own: `qt` gets argv[0] and them, for the application
// object; `rest` gets argv[0] and every other word, in order. Words after "--" are never Qt's.
// False, with the option in `offending`, when a Qt option that takes a value ends the line.
struct SplitArgv {
    std::vector<char*> qt;
    std::vector<char*> rest;
};
bool TakeQtOptions(int argc, char** argv, SplitArgv& out, std::string& offending);
