// A target for tests that answers at the level of bytes: after each byte it has
// received since the last reset, it asks a function for the byte to shift out next.
// A test can then make a chip that answers wrong a given number of times. It shifts
// like the chips do (sim/sim_chip_serial.h).
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "sim/sim_chip_serial.h"
#include "sim/sim_target.h"

namespace vql::testing {

class ProtocolTarget final : public SimTarget {
 public:
  // received: the bytes since the last reset, the newest last; returns the answer
  // for the next byte.
  using Answer = std::function<std::uint8_t(const std::vector<std::uint8_t>& received)>;

  explicit ProtocolTarget(Answer answer) : answer_(std::move(answer)) {}

  void LinesChanged(const TargetLines& lines, std::uint64_t) override {
    switch (shifter_.LinesChanged(lines)) {
      case SimSerialShifter::Event::kSessionStarted:  // a reset starts a new conversation
        received_.clear();
        shifter_.SetNextAnswer(answer_(received_));
        break;
      case SimSerialShifter::Event::kByteReceived:
        received_.push_back(shifter_.Received());
        all_.push_back(shifter_.Received());
        shifter_.SetNextAnswer(answer_(received_));
        break;
      case SimSerialShifter::Event::kSessionEnded:
      case SimSerialShifter::Event::kNone:
        break;
    }
  }

  bool Miso(std::uint64_t) override { return shifter_.Miso(); }

  const std::vector<std::uint8_t>& AllReceived() const { return all_; }

 private:
  Answer answer_;
  SimSerialShifter shifter_;
  std::vector<std::uint8_t> received_;
  std::vector<std::uint8_t> all_;
};

// Helpers for answer functions: the instruction the newest bytes complete or start.
inline bool EndsWith(const std::vector<std::uint8_t>& r, std::initializer_list<int> tail) {
  if (r.size() < tail.size()) return false;
  std::size_t i = r.size() - tail.size();
  for (const int b : tail) {
    if (b >= 0 && r[i] != b) return false;
    ++i;
  }
  return true;
}

}  // namespace vql::testing
