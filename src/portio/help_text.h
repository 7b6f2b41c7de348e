// Layout for the manual's environment section, which the port layer and the
// simulator write from their tables.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vql {

// Breaks text at spaces into lines of at most width columns, the first line starting
// at column firstColumn and the others at indent; the lines are joined by '\n' and
// the indent is not included, so the caller places it.
std::string WrapHelp(std::string_view text, std::size_t firstColumn, std::size_t indent,
                     std::size_t width);

// Lines joined by '\n' as the rest of a manual entry: every line after the first
// indented to indent, and a '\n' at the end.
std::string IndentHelp(std::string_view lines, std::size_t indent);

}  // namespace vql
