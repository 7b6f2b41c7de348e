// A fresh programmer link over the simulated cable, with every port access traced
// into memory and the virtual-clock window: the world most link and device tests
// start from.
#pragma once

#include <memory>
#include <sstream>
#include <string>
#include <string_view>

#include "link/programmer_link.h"
#include "sim/sim_options.h"
#include "sim/sim_port.h"
#include "portio/trace_port.h"
#include "support/trace_decoder.h"
#include "support/virtual_window.h"

namespace vql::testing {

class LinkWorld {
 public:
  static constexpr std::uint16_t kLpt1 = 0x378;
  static constexpr std::uint16_t kLpt2 = 0x278;

  explicit LinkWorld(std::string_view simOptions = "", VirtualWindow::Settings settings = {})
      : window(settings), port(MakeSim(simOptions), MakeSink(), window), link(port, window) {
    link.Lpt1Base = kLpt1;
    link.Lpt2Base = kLpt2;
    link.ConfigPath = "/bench/CONFIG.VQL";
    link.SelectStartupPort();
  }

  void Plug(std::unique_ptr<SimTarget> target) { sim->PlugTarget(std::move(target)); }

  // The trace so far, decoded for the selected port; ClearTrace starts afresh.
  DecodedTrace Decode() const { return DecodeTrace(ParseTrace(trace->str()), link.DataPort()); }
  std::vector<TraceAccess> Accesses() const { return ParseTrace(trace->str()); }
  void ClearTrace() { trace->str(""); }

  VirtualWindow window;
  SimulatedPort* sim = nullptr;       // owned by port
  std::ostringstream* trace = nullptr;  // owned by port
  TracingPort port;
  ProgrammerLink link;

 private:
  std::unique_ptr<PortIo> MakeSim(std::string_view options) {
    auto made = std::make_unique<SimulatedPort>(window, ParseSimOptions(options));
    sim = made.get();
    return made;
  }
  std::unique_ptr<std::ostream> MakeSink() {
    auto made = std::make_unique<std::ostringstream>();
    trace = made.get();
    return made;
  }
};

}  // namespace vql::testing
