// Choosing the port back end once at start-up, from the environment:
//
//   VQLISP_PORT   the name of a back end in the table in port_factory.cpp. Unset:
//                 the first back end whose probe says yes (ppdev when the kernel
//                 knows a parallel port, otherwise the simulator), with its notice.
//   VQLISP_SIM    options of the simulated programmer, comma-separated key=value.
//   VQLISP_FTDI   which USB adapter VQLISP_PORT=ftdi opens (portio/ftdi_selector.h).
//   VQLISP_TRACE  a file to which every port access is appended as one line.
//   VQLISP_DIRECT_ANY_ADDRESS  1: the direct back end takes any address, not only
//                 one that the kernel shows to be a parallel port's or free.
//   XDG_RUNTIME_DIR  where the real back ends put their port lock when /run/lock
//                 will not take it.
//
// No other part of the program reads these variables.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "portio/ftdi_io.h"
#include "portio/port_io.h"

namespace vql {

// Looks up an environment variable; nullptr when unset. Tests pass their own.
using GetEnv = std::function<const char*(const char* name)>;

struct PortSelection {
  std::unique_ptr<PortIo> port;
  // A USB programming cable, when the back end is one (VQLISP_PORT=ftdi, or the
  // simulated programmer with an adapter): the program drives it instead of a
  // printer port, and port then only says so.
  std::unique_ptr<FtdiIo> adapter;
  // For the operator when the choice was not asked for explicitly, e.g. "No parallel
  // port found: using the simulated programmer. Set VQLISP_PORT=ppdev or direct for a
  // real cable." Empty otherwise.
  std::string notice;
};

// Builds the back end the environment asks for, wrapped in a tracer when
// VQLISP_TRACE is set. Throws PortError for an unknown back end or bad options.
// sysRoot prefixes /proc, /sys and /dev, so tests can use a fake tree.
PortSelection OpenPortIo(const GetEnv& getenv, MicrosecondClock& clock,
                         const std::string& sysRoot = "");

// True when the simulated programmer is the back end that OpenPortIo would build and
// its options ask for clock=virtual. Front ends ask before they build their clock,
// which the port needs. Throws PortError for bad simulator options.
bool SimWantsVirtualClock(const GetEnv& getenv, const std::string& sysRoot = "");

// Whether VQLISP_SIM names what is plugged into the simulated programmer (a chip,
// none or loopback). Throws PortError for bad simulator options.
bool SimTargetNamed(const GetEnv& getenv);
// The help text that front ends show for the variables above.
std::string PortEnvironmentHelp();

}  // namespace vql
