#include "portio/sim_target.h"

#include <string>
#include <utility>

#include "portio/port_io.h"

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
  if (name == "none") return std::make_unique<NoTarget>();
  if (name == "loopback") return std::make_unique<LoopbackTarget>();
  throw PortError("VQLISP_SIM item \"target=" + std::string(name) +
                  "\": unknown target. Valid targets: none, loopback.");
}

}  // namespace vql
