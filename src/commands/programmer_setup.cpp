#include "commands/programmer_setup.h"

#include <string>
#include <utility>

namespace vql {

namespace {

class NoPort final : public PortIo {
 public:
  void AttachPort(std::string_view name, std::uint16_t) override {
    throw PortError(std::string(name) + " is not used by this command.");
  }
  std::uint16_t Inport(std::uint16_t) override { return 0xFF; }
  void Outport(std::uint16_t, std::uint16_t) override {}
  std::string Description() const override { return "none"; }
};

}  // namespace

ProgrammerSetup SetUpProgrammer(const GetEnv& getenv, WindowServices& window,
                                MicrosecondClock& clock) {
  PortSelection selected = OpenPortIo(getenv, clock);
  ProgrammerSetup setup;
  setup.port = std::move(selected.port);
  setup.adapter = std::move(selected.adapter);
  setup.notice = std::move(selected.notice);
  setup.programmer = std::make_unique<Programmer>(*setup.port, window, clock);
  if (setup.adapter != nullptr) setup.programmer->Link.AttachAdapter(*setup.adapter);
  return setup;
}

ProgrammerSetup SetUpProgrammerWithoutPort(WindowServices& window, MicrosecondClock& clock) {
  ProgrammerSetup setup;
  setup.port = std::make_unique<NoPort>();
  setup.programmer = std::make_unique<Programmer>(*setup.port, window, clock);
  return setup;
}

}  // namespace vql
