// A clock for tests that moves only when told to, optionally by a fixed step on
// every reading so that each traced access gets a time of its own.
#pragma once

#include <cstdint>

#include "portio/port_io.h"

namespace vql::testing {

class ManualClock : public MicrosecondClock {
 public:
  explicit ManualClock(std::uint64_t startUs = 0, std::uint64_t stepPerReadingUs = 0)
      : nowUs_(startUs), stepUs_(stepPerReadingUs) {}

  std::uint64_t NowMicroseconds() override {
    const std::uint64_t now = nowUs_;
    nowUs_ += stepUs_;
    return now;
  }

  void WaitUntil(std::uint64_t us) override { nowUs_ = nowUs_ < us ? us : nowUs_; }

  void Set(std::uint64_t us) { nowUs_ = us; }
  void Advance(std::uint64_t us) { nowUs_ += us; }
  void SetStep(std::uint64_t stepPerReadingUs) { stepUs_ = stepPerReadingUs; }

 private:
  std::uint64_t nowUs_;
  std::uint64_t stepUs_;
};

}  // namespace vql::testing
