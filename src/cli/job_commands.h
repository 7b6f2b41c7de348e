// The terminal's production-job commands: job-new writes a job for a HEX file, and
// job runs one - the chip on the cable now, or chip after chip with --loop - with a
// line on standard output for every chip.
#pragma once

#include <string>
#include <string_view>

#include "cli/options.h"
#include "cli/terminal_window.h"
#include "commands/programmer.h"

namespace vql {

// How a job run ended, for the session: the exit status and, after a failure, why.
struct JobVerdict {
  int status = 0;
  std::string reason;
  std::string_view token = "ok";
};

// job-new FILE.hex --device D ... -o JOB. Returns the exit status; errors go to
// standard error.
int MakeJobFile(const CliOptions& options);

// job FILE [--loop [--loop-count N]] [--log FILE], on a programmer that has started up.
JobVerdict RunJobFile(const CliOptions& options, Programmer& programmer, TerminalWindow& window);

}  // namespace vql
