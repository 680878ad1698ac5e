// What a command-line program needs of its console: whether a stream is a terminal, and text
// written as JSON.
#pragma once

#include <string>
#include <string_view>

// True when stderr is a terminal (progress lines that rewrite themselves make sense there).
bool StderrIsTerminal();

// `utf8` as a JSON string literal, quotes included. Bytes that are not UTF-8 become U+FFFD, so
// the result is always valid JSON.
std::string JsonString(std::string_view utf8);
