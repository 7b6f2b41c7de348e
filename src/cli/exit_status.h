// The exit statuses of vql-isp-cli, and which one a command's outcome gives.
#pragma once

#include <string_view>

#include "devices/outcome.h"

namespace vql {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;    // the chip operation failed
inline constexpr int kExitUsage = 2;     // usage, configuration and file errors
inline constexpr int kExitStopped = 130; // Ctrl-C or a termination signal

// 0 for Done; 1 for what went wrong on the chip or the cable; 2 for what was wrong
// before the chip was touched (a file, the port, the device, the request); 130 for
// a stop.
int ExitStatusOf(Outcome outcome);

}  // namespace vql
