// The clock of a front end whose message pump delivers the timer ticks: the steady
// clock since construction, or virtual time that moves on by a microsecond with
// every pump and by the whole limit of every wait for events, so that waits cost no
// real time. It keeps the window services' periodic timer and runs its ticks from
// the pump.
//
// The pump runs twice per clocked bit, so most pumps only count: every so many is a
// check. On the real clock a check reads the steady clock and delivers a tick that
// fell due; on the virtual clock every pump delivers, and a check only tells the
// front end, which may handle its own events then.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "services/pump_timer.h"

namespace vql {

class PumpClock {
 public:
  // Virtual time that one pump takes.
  static constexpr std::uint64_t kVirtualPumpNs = 1000;

  // pumpsPerCheck: every so many pumps is a check (1 or 0: every pump).
  PumpClock(bool virtualClock, std::uint32_t pumpsPerCheck);

  bool VirtualClock() const { return virtualClock_; }

  std::uint64_t NowNanoseconds() const;
  // The millisecond tick, wrapping to 0 after 2^32 ms.
  std::uint32_t TickMs() const { return static_cast<std::uint32_t>(NowNanoseconds() / 1'000'000); }
  // Virtual time jumps there (never back); the real clock spins.
  void WaitUntilNanoseconds(std::uint64_t ns);

  // One pump. At a check, returns the clock's reading taken before the tick ran;
  // otherwise nothing. Inline: a pump that only counts costs an increment.
  std::optional<std::uint64_t> Pump() {
    if (virtualClock_) {
      virtualNs_ += kVirtualPumpNs;
      timer_.DeliverDue(virtualNs_);
    }
    if (++pumpsSinceCheck_ < pumpsPerCheck_) return std::nullopt;
    pumpsSinceCheck_ = 0;
    const std::uint64_t now = NowNanoseconds();
    if (!virtualClock_) timer_.DeliverDue(now);
    return now;
  }
  // The next pump is a check, whatever the count says.
  void CheckAtNextPump() { pumpsSinceCheck_ = pumpsPerCheck_ - 1; }

  // A wait for events of at most maxMicroseconds. Virtual time jumps by the whole
  // limit. The real clock calls sleep with the limit, or less when the timer falls
  // due sooner (not at all when that is now), and the next pump is a check: a tick
  // that fell due during the sleep comes from there.
  void WaitForEvents(std::uint32_t maxMicroseconds,
                     const std::function<void(std::uint64_t ns)>& sleep);
  // Sleeps on the monotonic clock. A signal ends the sleep early: it is not resumed.
  static void Sleep(std::uint64_t ns);

  // The periodic timer; starting it restarts the count to the next check.
  void StartTimer(std::uint32_t periodMs, std::function<void()> onTick);
  void StopTimer() { timer_.Stop(); }
  bool TimerRunning() const { return timer_.Running(); }

 private:
  const bool virtualClock_;
  const std::uint32_t pumpsPerCheck_;
  const std::int64_t startNs_;         // the steady clock at construction
  std::uint64_t virtualNs_ = 0;        // virtual time, moved on by pumps and waits
  std::uint32_t pumpsSinceCheck_ = 0;  // pumps since the last check
  PumpTimer timer_;
};

}  // namespace vql
