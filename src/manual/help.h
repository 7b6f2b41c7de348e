// The manual pages that --help prints, of both programs, and the version line. The
// installed man pages are made from the same texts (see man_page.h).
#pragma once

#include <string>
#include <string_view>

namespace vql {

inline constexpr std::string_view kVersionLine = "VQL-ISP V2.3";

// What --version prints, as GNU programs do: the program, the package and the
// version, then the copyright and the licence.
std::string VersionText(std::string_view program);

// What --help prints: the usage, the commands, the common options and where the
// manual is, under 80 columns.
std::string ShortHelpText();

// The whole manual (--manual, and the man page): NAME, SYNOPSIS, DESCRIPTION, COMMANDS, OPTIONS, EXIT STATUS, FILES, ENVIRONMENT and
// EXAMPLES; the port layer contributes its variables.
std::string HelpText();

// The window's: NAME, SYNOPSIS, DESCRIPTION, and the FILES and ENVIRONMENT sections
// of the terminal front end's.
std::string WindowHelpText();

}  // namespace vql
