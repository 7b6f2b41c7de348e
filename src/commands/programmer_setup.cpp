#include "commands/programmer_setup.h"

#include <utility>

namespace vql {

ProgrammerSetup SetUpProgrammer(const GetEnv& getenv, WindowServices& window,
                                MicrosecondClock& clock) {
  PortSelection selected = OpenPortIo(getenv, clock);
  ProgrammerSetup setup;
  setup.port = std::move(selected.port);
  setup.notice = std::move(selected.notice);
  setup.programmer = std::make_unique<Programmer>(*setup.port, window, clock);
  return setup;
}

}  // namespace vql
