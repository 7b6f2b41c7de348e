// One run of vql-isp-cli: the window's start-up on the terminal, the options applied
// to the operator's controls, one command, and the run-mode lines at the end,
// whatever happened in between.
#pragma once

#include "cli/options.h"

namespace vql {

// Runs the command of options and returns the exit status. Throws PortError when
// the port back end cannot be built from the environment.
int RunSession(const CliOptions& options);

}  // namespace vql
