// The periodic timer of the window services, for front ends that deliver its ticks
// from their own message pump: it keeps the due time, and the pump hands it the
// clock's reading.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>

namespace vql {

class PumpTimer {
 public:
  // Starting a running timer restarts its period from nowNs.
  void Start(std::uint64_t nowNs, std::uint32_t periodMs, std::function<void()> onTick) {
    periodNs_ = std::uint64_t{periodMs} * 1'000'000;
    dueNs_ = nowNs + periodNs_;
    onTick_ = std::move(onTick);
  }
  void Stop() { periodNs_ = 0; }
  bool Running() const { return periodNs_ != 0; }
  // How long a sleep from nowNs may last before the next tick falls due.
  std::uint64_t NsUntilDue(std::uint64_t nowNs) const { return nowNs >= dueNs_ ? 0 : dueNs_ - nowNs; }

  // Runs the tick once when it fell due by nowNs. After a long time without pumps,
  // one tick stands for all that were missed.
  void DeliverDue(std::uint64_t nowNs) {
    if (periodNs_ == 0 || nowNs < dueNs_) return;
    dueNs_ += periodNs_;
    if (dueNs_ <= nowNs) dueNs_ = nowNs + periodNs_;
    auto onTick = onTick_;  // the handler may restart or stop the timer
    onTick();
  }

 private:
  std::uint64_t periodNs_ = 0;  // 0: stopped
  std::uint64_t dueNs_ = 0;
  std::function<void()> onTick_;
};

}  // namespace vql
