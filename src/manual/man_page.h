// The installed man pages, made at build time from the texts that --help prints, so
// that the two cannot tell different stories.
#pragma once

#include <string>
#include <string_view>

namespace vql {

// Converts a --help text to a man page (troff with the man macros) for program in
// the given manual section. The text is laid out as a terminal manual: headings in
// column 0, everything else indented. Under a heading:
//   - a line with a two-space gap ("load FILE       load an Intel HEX file") is an
//     entry, its term before the gap, its description after it and on the deeper
//     indented lines that follow;
//   - a line alone followed by deeper indented lines is an entry too, unless it ends
//     in ":", which makes it the lead-in of the deeper lines;
//   - other lines of the same indent are a paragraph, refilled by man.
// NAME becomes "program \- what it does"; SYNOPSIS and EXAMPLES are kept line by
// line, as they stand.
std::string ManPage(std::string_view helpText, std::string_view program, int section,
                    std::string_view source);

}  // namespace vql
