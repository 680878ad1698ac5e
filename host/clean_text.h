// Names and texts from outside (processes, groups, paths, servers) made safe to print: one
// line, at most `max` bytes, valid UTF-8 kept, control characters (C0, DEL, C1) and broken
// sequences replaced by '?', as the firmware text already is. Nothing another user named then
// reaches a terminal as a command.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

std::string CleanName(std::string_view text, std::size_t max = 200);
