#include "sim/sim_chip_serial.h"

#include <utility>

namespace vql {

SimSerialShifter::Event SimSerialShifter::LinesChanged(const TargetLines& lines) {
  const TargetLines before = std::exchange(lines_, lines);
  if (lines.rst != before.rst) {
    // Whatever SCK did in the same instant belongs to the reset, not to a byte.
    listening_ = lines.rst && !lines.sck;
    fresh_ = listening_;
    clocked_ = false;
    inBits_ = 0;
    outBit_ = 0;
    inShift_ = 0;
    answer_ = 0xFF;
    answerPending_ = false;
    if (!lines.rst) return Event::kSessionEnded;
    return listening_ ? Event::kSessionStarted : Event::kNone;
  }
  if (!listening_ || lines.sck == before.sck) return Event::kNone;

  if (lines.sck) {
    clocked_ = true;
    fresh_ = false;
    inShift_ = static_cast<std::uint8_t>((inShift_ << 1) | (lines.mosi ? 1 : 0));
    if (++inBits_ < 8) return Event::kNone;
    received_ = inShift_;
    nextAnswer_ = received_;
    inBits_ = 0;
    inShift_ = 0;
    answerPending_ = true;
    return Event::kByteReceived;
  }
  if (!std::exchange(clocked_, false)) return Event::kNone;
  if (answerPending_) {
    answerPending_ = false;
    answer_ = nextAnswer_;
    outBit_ = 0;
  } else if (outBit_ < 7) {
    ++outBit_;
  }
  return Event::kNone;
}

void SimSerialShifter::SetNextAnswer(std::uint8_t answer) {
  if (fresh_) {
    answer_ = answer;
  } else {
    nextAnswer_ = answer;
  }
}

bool SimSerialShifter::Miso() const {
  if (!lines_.rst || !listening_) return true;
  return ((answer_ >> (7 - outBit_)) & 1) != 0;
}

}  // namespace vql
