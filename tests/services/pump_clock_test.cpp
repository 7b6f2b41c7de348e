#include "services/pump_clock.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace vql {
namespace {

struct ScriptCase {
  const char* what;
  bool virtualClock;
  std::uint32_t pumpsPerCheck;
  std::string_view script;  // p pump, w wait 5 us, n check at next pump, t start timer
  std::string_view seen;    // . pump, c check, s sleep of the whole limit, ? other sleep
  std::uint64_t virtualNs;  // the virtual clock at the end
};

// The timer's minute never falls due during a case, so on the real clock only the
// counts show.
const ScriptCase kScripts[] = {
    {"virtual: every third pump is a check", true, 3, "ppppppp", "..c..c.", 7000},
    {"virtual: a wait jumps and leaves the count", true, 3, "pwpp", "..c", 8000},
    {"virtual: a check asked for comes next", true, 3, "pnp", ".c", 2000},
    {"virtual: starting the timer restarts the count", true, 3, "pptppp", "....c", 5000},
    {"real: every third pump is a check", false, 3, "ppppppp", "..c..c.", 0},
    {"real: after a sleep the next pump is a check", false, 3, "pwpp", ".sc.", 0},
    {"real: the timer's far tick leaves the sleep whole", false, 3, "tpwp", ".sc", 0},
    {"real: a check asked for comes next", false, 3, "pnp", ".c", 0},
};

TEST(PumpClockTest, ChecksAndSleepsFollowTheScript) {
  for (const ScriptCase& c : kScripts) {
    PumpClock clock(c.virtualClock, c.pumpsPerCheck);
    std::string seen;
    for (const char op : c.script) {
      switch (op) {
        case 'p': seen += clock.Pump() ? 'c' : '.'; break;
        case 'w':
          clock.WaitForEvents(5, [&](std::uint64_t ns) { seen += ns == 5000 ? 's' : '?'; });
          break;
        case 'n': clock.CheckAtNextPump(); break;
        case 't': clock.StartTimer(60'000, [&] { seen += 'T'; }); break;
        default: FAIL() << "script op " << op;
      }
    }
    EXPECT_EQ(seen, c.seen) << c.what;
    if (c.virtualClock) {
      EXPECT_EQ(clock.NowNanoseconds(), c.virtualNs) << c.what;
    }
  }
}

TEST(PumpClockTest, VirtualTicksComeFromEveryPumpNotOnlyFromChecks) {
  PumpClock clock(true, 256);
  int ticks = 0;
  clock.StartTimer(1, [&] { ++ticks; });
  for (int pump = 1; pump < 1000; ++pump) clock.Pump();
  EXPECT_EQ(ticks, 0);
  clock.Pump();  // 1 ms of pumps
  EXPECT_EQ(ticks, 1);
  EXPECT_EQ(clock.TickMs(), 1u);

  // A long wait: one tick stands for the five missed, at the next pump.
  clock.WaitForEvents(5000, [](std::uint64_t) { FAIL() << "the virtual clock slept"; });
  EXPECT_EQ(ticks, 1);
  clock.Pump();
  EXPECT_EQ(ticks, 2);
  clock.StopTimer();
  for (int pump = 0; pump < 2000; ++pump) clock.Pump();
  EXPECT_EQ(ticks, 2);
  EXPECT_FALSE(clock.TimerRunning());
}

TEST(PumpClockTest, VirtualWaitUntilMovesOnlyForward) {
  PumpClock clock(true, 1);
  clock.WaitUntilNanoseconds(7'500'000);
  EXPECT_EQ(clock.NowNanoseconds(), 7'500'000u);
  EXPECT_EQ(clock.TickMs(), 7u);
  clock.WaitUntilNanoseconds(2'000'000);
  EXPECT_EQ(clock.NowNanoseconds(), 7'500'000u);
}

}  // namespace
}  // namespace vql
