// A whole programmer on the port back end that the environment chooses, for a front
// end that is both its window and its clock. Both front ends build theirs here, so
// that the order of construction and destruction is written once.
#pragma once

#include <memory>
#include <string>

#include "commands/programmer.h"
#include "backends/port_factory.h"
#include "portio/port_io.h"
#include "services/window_services.h"

namespace vql {

struct ProgrammerSetup {
  std::unique_ptr<PortIo> port;
  std::unique_ptr<FtdiIo> adapter;  // a USB cable, when the back end is one
  // For the operator when the back end was not asked for explicitly; empty otherwise.
  std::string notice;
  // Declared last, so that it is destroyed first: it uses the port and the window.
  std::unique_ptr<Programmer> programmer;
};

// Throws PortError for an unknown back end or bad simulator options. The window and
// the clock must outlive the result. Start-up is left to the caller.
ProgrammerSetup SetUpProgrammer(const GetEnv& getenv, WindowServices& window,
                                MicrosecondClock& clock);
// A programmer with no port at all, for what needs no chip (loading a file): its port
// attaches nothing, so a command that would drive the cable is refused.
ProgrammerSetup SetUpProgrammerWithoutPort(WindowServices& window, MicrosecondClock& clock);

}  // namespace vql
