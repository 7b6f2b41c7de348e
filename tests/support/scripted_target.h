// A target for tests that answers a fixed list of bytes, then FF, and records every
// byte it receives. It shifts like the chips do (sim/sim_chip_serial.h): the answer
// goes out MSB first with its first bit on MISO before the first rising edge, and a
// reset drops a partly shifted byte and starts the answer that was going out again
// from its first bit.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/sim_chip_serial.h"
#include "sim/sim_target.h"

namespace vql::testing {

class ScriptedTarget final : public SimTarget {
 public:
  explicit ScriptedTarget(std::vector<std::uint8_t> answers = {});

  void LinesChanged(const TargetLines& lines, std::uint64_t us) override;
  bool Miso(std::uint64_t) override { return shifter_.Miso(); }

  const std::vector<std::uint8_t>& Received() const { return received_; }

 private:
  std::uint8_t CurrentAnswer() const;

  std::vector<std::uint8_t> answers_;
  std::vector<std::uint8_t> received_;
  SimSerialShifter shifter_;
};

}  // namespace vql::testing
