// The link's delays: the calibrated busy loop, the waits on the window's tick, and
// the calibration that measures the busy loop once at start-up.
#include <algorithm>

#include "link/programmer_link.h"

namespace vql {

namespace {

// How long a wait that still needs ticksToGo (1 or more) ticks of the window can
// sleep before it pumps and looks at the tick again.
std::uint32_t SleepBeforeNextPump(std::int64_t ticksToGo) {
  // The tick counts whole milliseconds and the current one began up to 1 ms ago, so
  // the last tick of the wait comes more than ticksToGo - 1 ms from now. Sleeping
  // that long, less a margin for a late wake-up, does not overshoot it.
  constexpr std::int64_t kWakeMarginUs = 250;
  // Within the last millisecond the tick may move at any moment: short sleeps watch
  // for it, so the wait ends about one of them (plus the wake-up) after the tick
  // instead of spinning through the millisecond. The next transfer takes up that
  // lateness, as it starts within the same tick.
  constexpr std::int64_t kLastMillisecondSleepUs = 100;
  // A wait of days sleeps a second at a time, so the limit never overflows.
  constexpr std::int64_t kLongestSleepUs = 1'000'000;
  const std::int64_t us = (ticksToGo - 1) * 1000 - kWakeMarginUs;
  return static_cast<std::uint32_t>(std::clamp(us, kLastMillisecondSleepUs, kLongestSleepUs));
}

}  // namespace

void ProgrammerLink::SpinDelay(std::int32_t count) const {
  // The counter is volatile so that the optimiser can neither drop nor shorten the loop.
  for (std::int32_t step = 0; step < count; ++step) {
    volatile std::int64_t i = 0;
    while (i <= LoopCalibration) {
      i = i + 1;
    }
  }
}

void ProgrammerLink::WaitMilliseconds(std::int32_t ms) {
  const bool never = false;
  WaitMilliseconds(ms, never);
}

// Between pumps the wait sleeps in the window's WaitForEvents, which returns early
// when something is pending, so handlers run as soon as they have work and a stop
// is seen after the wake-up. A wait that is already over after its first pump (0 ms
// or less) never sleeps: the poll pauses are counted in such one-pump waits.
void ProgrammerLink::WaitMilliseconds(std::int32_t ms, const bool& stop) {
  const std::uint32_t start = window_.GetTickCount();
  for (;;) {
    window_.PumpMessages();
    if (stop) return;
    // Unsigned difference: a wrap of the tick between the readings changes nothing.
    const std::uint32_t elapsed = window_.GetTickCount() - start;
    if (std::int64_t{elapsed} >= std::int64_t{ms}) return;
    window_.WaitForEvents(SleepBeforeNextPump(std::int64_t{ms} - elapsed));
  }
}

void ProgrammerLink::WaitMicroseconds(std::int64_t us, const bool& stop) {
  const std::uint64_t until = clock_.NowMicroseconds() + static_cast<std::uint64_t>(std::max<std::int64_t>(us, 0));
  for (;;) {
    window_.PumpMessages();
    if (stop) return;
    const std::uint64_t now = clock_.NowMicroseconds();
    if (now >= until) return;
    // Sleeps what is left less a margin for a late wake-up, then the rest, so that
    // the wait ends soon after its time without spinning through it.
    constexpr std::uint64_t kWakeMarginUs = 250;
    const std::uint64_t left = until - now;
    const std::uint64_t sleep = left > 2 * kWakeMarginUs ? left - kWakeMarginUs : left;
    window_.WaitForEvents(static_cast<std::uint32_t>(std::min<std::uint64_t>(sleep, 1'000'000)));
  }
}

void ProgrammerLink::CalibrateDelayLoop() {
  LoopCalibration = 0;
  window_.StartTimer(100, [this] { CountCalibrationTick(); });
  while (LoopCalibration == 0) window_.PumpMessages();  // start the count on a tick
  window_.StartTimer(500, [this] { CountCalibrationTick(); });
  std::int64_t passes = 0;
  while (LoopCalibration == 1) {
    ++passes;
    window_.PumpMessages();
  }
  window_.StopTimer();
  LoopCalibration = static_cast<std::int32_t>(passes / 500000);
  PollDelay = static_cast<std::int32_t>(std::int64_t{LoopCalibration} * DelayScale / 1000);
}

}  // namespace vql
