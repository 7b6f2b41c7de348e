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
    nextAnswer_ = 0xFF;
    // In mode 1 the first answer goes out at the first rise, as every later one does.
    answerPending_ = mode_ == SimSpiMode::kMode1;
    if (!lines.rst) return Event::kSessionEnded;
    return listening_ ? Event::kSessionStarted : Event::kNone;
  }
  if (!listening_ || lines.sck == before.sck) return Event::kNone;

  if (lines.sck) {
    clocked_ = true;
    fresh_ = false;
  } else if (!std::exchange(clocked_, false)) {
    return Event::kNone;  // a fall with no rise of this session before it
  }
  if (SamplesOn(lines.sck)) return Sample(lines.mosi);
  MoveOut();
  return Event::kNone;
}

SimSerialShifter::Event SimSerialShifter::Sample(bool mosi) {
  inShift_ = static_cast<std::uint8_t>((inShift_ << 1) | (mosi ? 1 : 0));
  if (++inBits_ < 8) return Event::kNone;
  received_ = inShift_;
  nextAnswer_ = received_;
  inBits_ = 0;
  inShift_ = 0;
  answerPending_ = true;
  return Event::kByteReceived;
}

void SimSerialShifter::MoveOut() {
  if (std::exchange(answerPending_, false)) {
    answer_ = nextAnswer_;
    outBit_ = 0;
  } else if (outBit_ < 7) {
    ++outBit_;
  }
}

void SimSerialShifter::SetNextAnswer(std::uint8_t answer) {
  if (fresh_) answer_ = answer;
  nextAnswer_ = answer;
}

bool SimSerialShifter::Miso() const {
  if (!lines_.rst || !listening_) return true;
  return ((answer_ >> (7 - outBit_)) & 1) != 0;
}

}  // namespace vql
