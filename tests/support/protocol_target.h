// A target for tests that answers at the level of bytes: after each byte it has
// received since the last rise of RST, it asks a function for the byte to shift out
// next. A test can then make a chip that answers wrong a given number of times.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "sim/sim_target.h"

namespace vql::testing {

class ProtocolTarget final : public SimTarget {
 public:
  // received: the bytes since the last reset, the newest last; returns the answer
  // for the next byte.
  using Answer = std::function<std::uint8_t(const std::vector<std::uint8_t>& received)>;

  explicit ProtocolTarget(Answer answer) : answer_(std::move(answer)) {}

  void LinesChanged(const TargetLines& lines, std::uint64_t) override {
    if (lines.rst && !lines_.rst) {  // a reset starts a new conversation
      received_.clear();
      bits_ = 0;
      shift_ = 0;
      out_ = answer_(received_);
      outBit_ = 0;
    }
    if (lines.rst && lines.sck && !lines_.sck) {  // sample MOSI on the rising edge
      shift_ = static_cast<std::uint8_t>((shift_ << 1) | (lines.mosi ? 1 : 0));
      ++bits_;
    }
    if (lines.rst && !lines.sck && lines_.sck) {  // move on after the falling edge
      ++outBit_;
      if (bits_ == 8) {
        received_.push_back(shift_);
        all_.push_back(shift_);
        bits_ = 0;
        out_ = answer_(received_);
        outBit_ = 0;
      }
    }
    lines_ = lines;
  }

  bool Miso(std::uint64_t) override {
    if (!lines_.rst) return true;
    return ((out_ >> (7 - (outBit_ & 7))) & 1) != 0;
  }

  const std::vector<std::uint8_t>& AllReceived() const { return all_; }

 private:
  Answer answer_;
  TargetLines lines_;
  std::vector<std::uint8_t> received_;
  std::vector<std::uint8_t> all_;
  int bits_ = 0;
  std::uint8_t shift_ = 0;
  std::uint8_t out_ = 0xFF;
  int outBit_ = 0;
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
