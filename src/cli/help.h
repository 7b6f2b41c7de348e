// The manual page that --help prints, and the version line.
#pragma once

#include <string>
#include <string_view>

namespace vql {

inline constexpr std::string_view kVersionLine = "VQL-ISP V2.3";

// NAME, SYNOPSIS, DESCRIPTION, COMMANDS, OPTIONS, EXIT STATUS, FILES, ENVIRONMENT and
// EXAMPLES; the port layer contributes its variables.
std::string HelpText();

}  // namespace vql
