#include "services/pump_clock.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <utility>

namespace vql {

namespace {

std::int64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

PumpClock::PumpClock(bool virtualClock, std::uint32_t pumpsPerCheck)
    : virtualClock_(virtualClock), pumpsPerCheck_(pumpsPerCheck), startNs_(SteadyNs()) {}

std::uint64_t PumpClock::NowNanoseconds() const {
  if (virtualClock_) return virtualNs_;
  return static_cast<std::uint64_t>(SteadyNs() - startNs_);
}

void PumpClock::WaitUntilNanoseconds(std::uint64_t ns) {
  if (virtualClock_) {
    virtualNs_ = std::max(virtualNs_, ns);
    return;
  }
  while (NowNanoseconds() < ns) {
  }
}

void PumpClock::WaitForEvents(std::uint32_t maxMicroseconds,
                              const std::function<void(std::uint64_t ns)>& sleep) {
  const std::uint64_t limitNs = std::uint64_t{maxMicroseconds} * 1000;
  if (virtualClock_) {
    virtualNs_ += limitNs;
    return;
  }
  std::uint64_t sleepNs = limitNs;
  if (timer_.Running()) sleepNs = std::min(sleepNs, timer_.NsUntilDue(NowNanoseconds()));
  if (sleepNs > 0) sleep(sleepNs);
  CheckAtNextPump();
}

void PumpClock::Sleep(std::uint64_t ns) {
  timespec span{};
  span.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
  span.tv_nsec = static_cast<long>(ns % 1'000'000'000);
  clock_nanosleep(CLOCK_MONOTONIC, 0, &span, nullptr);
}

void PumpClock::StartTimer(std::uint32_t periodMs, std::function<void()> onTick) {
  timer_.Start(NowNanoseconds(), periodMs, std::move(onTick));
  pumpsSinceCheck_ = 0;
}

}  // namespace vql
