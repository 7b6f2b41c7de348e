#include "support/scripted_target.h"

#include <utility>

namespace vql::testing {

ScriptedTarget::ScriptedTarget(std::vector<std::uint8_t> answers) : answers_(std::move(answers)) {}

void ScriptedTarget::LinesChanged(const TargetLines& lines, std::uint64_t) {
  switch (shifter_.LinesChanged(lines)) {
    case SimSerialShifter::Event::kByteReceived:
      received_.push_back(shifter_.Received());
      shifter_.SetNextAnswer(CurrentAnswer());
      break;
    case SimSerialShifter::Event::kSessionStarted:
      shifter_.SetNextAnswer(CurrentAnswer());
      break;
    case SimSerialShifter::Event::kSessionEnded:
    case SimSerialShifter::Event::kNone:
      break;
  }
}

// One answer per byte received, across resets.
std::uint8_t ScriptedTarget::CurrentAnswer() const {
  return received_.size() < answers_.size() ? answers_[received_.size()] : std::uint8_t{0xFF};
}

}  // namespace vql::testing
