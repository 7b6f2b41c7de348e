// A fresh programmer link over the simulated cable, with every port access traced
// into memory and the virtual-clock window: the world most link and device tests
// start from.
#pragma once

#include <cstdint>
#include <string_view>

#include "link/programmer_link.h"
#include "support/cable_bench.h"

namespace vql::testing {

class LinkWorld : public CableBench {
 public:
  explicit LinkWorld(std::string_view simOptions = "", VirtualWindow::Settings settings = {})
      : CableBench(simOptions, settings), link(port, window, window) {
    SetUpPorts(link);
  }

  // The trace so far, decoded for the selected port.
  DecodedTrace Decode() const { return DecodeFor(static_cast<std::uint16_t>(link.DataPort())); }

  ProgrammerLink link;
};

}  // namespace vql::testing
