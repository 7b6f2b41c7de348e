// The bench that the link and programmer worlds stand on: the virtual-clock window,
// the simulated cable behind a port that traces every access into memory, and the
// port set-up of start-up (LPT1 at 0378, LPT2 at 0278, LPT1 selected).
#pragma once

#include <cstdint>
#include <memory>
#include <sstream>
#include <string_view>
#include <vector>

#include "link/programmer_link.h"
#include "portio/trace_port.h"
#include "sim/sim_options.h"
#include "sim/sim_port.h"
#include "support/trace_decoder.h"
#include "support/virtual_window.h"

namespace vql::testing {

class CableBench {
 public:
  static constexpr std::uint16_t kLpt1 = 0x378;
  static constexpr std::uint16_t kLpt2 = 0x278;

  // simOptions: what sits behind the cable. Untraced benches (whole-chip tests: the
  // trace grows by megabytes per pass) give the tracer a sink without a buffer,
  // which it skips.
  explicit CableBench(std::string_view simOptions, VirtualWindow::Settings settings,
                      bool traced = true)
      : window(settings), port(MakeSim(simOptions), MakeSink(traced), window) {}

  // What start-up does with the configuration, read from a file on the bench.
  static void SetUpPorts(ProgrammerLink& link) {
    link.Lpt1Base = kLpt1;
    link.Lpt2Base = kLpt2;
    link.ConfigPath = "/bench/CONFIG.VQL";
    link.SelectStartupPort();
  }

  void Plug(std::unique_ptr<SimTarget> target) { sim->PlugTarget(std::move(target)); }

  // The trace so far; ClearTrace starts afresh.
  std::vector<TraceAccess> Accesses() const { return ParseTrace(trace->str()); }
  DecodedTrace DecodeFor(std::uint16_t dataPort) const { return DecodeTrace(Accesses(), dataPort); }
  void ClearTrace() { trace->str(""); }

  VirtualWindow window;
  SimulatedPort* sim = nullptr;         // owned by port
  std::ostringstream* trace = nullptr;  // owned by port
  TracingPort port;

 private:
  std::unique_ptr<PortIo> MakeSim(std::string_view options) {
    auto made = std::make_unique<SimulatedPort>(window, ParseSimOptions(options));
    sim = made.get();
    return made;
  }
  std::unique_ptr<std::ostream> MakeSink(bool traced) {
    auto made = std::make_unique<std::ostringstream>();
    trace = made.get();
    if (!traced) made->std::ostream::rdbuf(nullptr);
    return made;
  }
};

}  // namespace vql::testing
