#include "sim/sim_target.h"

#include <array>
#include <string>
#include <string_view>
#include <utility>

#include "portio/port_io.h"
#include "sim/sim_chip.h"
#include "sim/sim_chip_table.h"

namespace vql {

ScriptedTarget::ScriptedTarget(std::vector<std::uint8_t> answers) : answers_(std::move(answers)) {}

void ScriptedTarget::LinesChanged(const TargetLines& lines, std::uint64_t) {
  const TargetLines before = std::exchange(lines_, lines);
  if (!lines.rst) {
    outBit_ = 0;
    inBits_ = 0;
    inShift_ = 0;
    clocked_ = false;
    return;
  }
  // Edges count only once RST is high; an SCK that was already high when RST came
  // up was no clock, and neither is its fall.
  if (!before.rst || lines.sck == before.sck) return;
  if (lines.sck) {
    clocked_ = true;
    inShift_ = static_cast<std::uint8_t>((inShift_ << 1) | (lines.mosi ? 1 : 0));
    if (++inBits_ == 8) {
      received_.push_back(inShift_);
      inBits_ = 0;
      inShift_ = 0;
    }
  } else if (std::exchange(clocked_, false) && ++outBit_ == 8) {
    outBit_ = 0;
    ++answerIndex_;
  }
}

bool ScriptedTarget::Miso(std::uint64_t) {
  if (!lines_.rst) return true;
  return ((CurrentAnswer() >> (7 - outBit_)) & 1) != 0;
}

std::uint8_t ScriptedTarget::CurrentAnswer() const {
  return answerIndex_ < answers_.size() ? answers_[answerIndex_] : std::uint8_t{0xFF};
}

std::unique_ptr<SimTarget> MakeSimTarget(std::string_view name) {
  SimOptions options;
  options.target = std::string(name);
  return MakeSimTarget(options);
}

std::unique_ptr<SimTarget> MakeSimTarget(const SimOptions& options) {
  const std::string& name = options.target;
  if (const SimChipModel* chip = FindSimChip(name)) {
    return std::make_unique<SimChip>(*chip, options.chip);
  }
  if (name != "none" && name != "loopback") {
    throw PortError("VQLISP_SIM item \"target=" + name +
                    "\": unknown target. Valid targets: none, loopback, " + SimChipNames() + ".");
  }
  // Faults asked of a chip that is not there would pass unnoticed.
  constexpr std::array kChipKeys{"erase", "write", "echo-from", "dead", "flaky", "seed", "state"};
  for (const char* key : kChipKeys) {
    const auto item = options.items.find(std::string_view(key));
    if (item == options.items.end()) continue;
    throw PortError("VQLISP_SIM item \"" + item->first + "=" + item->second +
                    "\": only a chip takes it, but the target is " + name +
                    ". Valid chips: " + SimChipNames() + ".");
  }
  if (name == "none") return std::make_unique<NoTarget>();
  return std::make_unique<LoopbackTarget>();
}

}  // namespace vql
