#include "portio/port_io.h"

#include <chrono>

namespace vql {

namespace {

std::int64_t SteadyNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

SteadyMicrosecondClock::SteadyMicrosecondClock() : startNs_(SteadyNanoseconds()) {}

std::uint64_t SteadyMicrosecondClock::NowMicroseconds() {
  // A steady clock never goes back, so the difference is never negative.
  return static_cast<std::uint64_t>((SteadyNanoseconds() - startNs_) / 1000);
}

}  // namespace vql
