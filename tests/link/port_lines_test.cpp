#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/link_world.h"

namespace vql {
namespace {

using testing::LinkWorld;
using testing::VirtualWindow;

// --- Waits -------------------------------------------------------------------

struct WaitCase {
  std::string name;
  std::uint32_t startTick;
  std::uint64_t stepNs;
  std::int32_t ms;      // WaitMilliseconds argument, or
  std::int32_t scaled;  // WaitScaled argument when ms is kNotUsed
  std::int32_t lasts;   // milliseconds of the tick that the wait takes
};
constexpr std::int32_t kNotUsed = -999999;
// However long a wait is, it sleeps through it and pumps only a few times: after
// its start, after each long sleep, and after the short sleeps of its last
// millisecond. Pumping through a 5 ms wait in 0.1 ms steps would take 50.
constexpr std::uint64_t kFewPumps = 10;

TEST(Waits, SleepUntilTheTickHasMovedAndPumpAtLeastOnce) {
  const WaitCase cases[] = {
      {"zero pumps once", 0, 100'000, 0, kNotUsed, 0},
      {"negative pumps once", 0, 100'000, -5, kNotUsed, 0},
      {"5 ms in 0.1 ms pumps", 0, 100'000, 5, kNotUsed, 5},
      {"5 ms in 1 ms pumps", 0, 1'000'000, 5, kNotUsed, 5},
      {"50 ms in 1 us pumps", 0, 1'000, 50, kNotUsed, 50},
      {"across the tick wrap", 0xFFFF'FFFEu, 100'000, 5, kNotUsed, 5},
      {"starting on the last tick", 0xFFFF'FFFFu, 1'000'000, 3, kNotUsed, 3},
      {"scaled 19999 is 0 ms", 0, 100'000, kNotUsed, 19999, 0},
      {"scaled 20000 is 1 ms", 0, 100'000, kNotUsed, 20000, 1},
      {"scaled 39999 is 1 ms", 0, 100'000, kNotUsed, 39999, 1},
      {"scaled 65535 is 3 ms", 0, 100'000, kNotUsed, 65535, 3},
      {"scaled -20000 pumps once", 0, 100'000, kNotUsed, -20000, 0},
      {"scaled -19999 pumps once", 0, 100'000, kNotUsed, -19999, 0},
  };
  for (const auto& c : cases) {
    LinkWorld world("", VirtualWindow::Settings{c.stepNs, c.startTick});
    if (c.ms != kNotUsed) {
      world.link.WaitMilliseconds(c.ms);
    } else {
      world.link.WaitScaled(c.scaled);
    }
    VirtualWindow& window = world.window;
    if (c.lasts == 0) {
      // The poll pauses are counted in such waits: the window is pumped, but the
      // wait neither sleeps nor lets the tick move.
      EXPECT_GE(window.pumps, 1u) << c.name;
      EXPECT_EQ(window.waits, 0u) << c.name;
      EXPECT_LT(window.NowNanoseconds(), 1'000'000u) << c.name;
      continue;
    }
    EXPECT_GE(window.waits, 1u) << c.name;
    EXPECT_LE(window.pumps, kFewPumps) << c.name;
    // Over once the tick has moved c.lasts, and before it moves once more.
    EXPECT_GE(window.NowNanoseconds(), std::uint64_t(c.lasts) * 1'000'000) << c.name;
    EXPECT_LT(window.NowNanoseconds(), std::uint64_t(c.lasts + 1) * 1'000'000) << c.name;
  }
}

TEST(Waits, ALongWaitAcrossTheWrapLastsItsFullLength) {
  LinkWorld world("", VirtualWindow::Settings{1'000'000, 0xFFFF'FF00u});
  world.link.WaitMilliseconds(1000);  // the tick wraps 256 ms in
  EXPECT_GE(world.window.NowNanoseconds(), 1000u * 1'000'000u);
  EXPECT_LT(world.window.NowNanoseconds(), 1001u * 1'000'000u);
  EXPECT_LE(world.window.pumps, kFewPumps);
}

TEST(Waits, TheStopFlagEndsAWaitAfterThePumpThatSetIt) {
  struct Case {
    std::string name;
    std::uint64_t stopAtPump;  // the handler inside this pump sets the flag
    std::uint64_t sleeps;      // WaitForEvents calls before the wait ends
  };
  const Case cases[] = {
      {"set by the first pump: no sleep", 1, 0},
      {"set after the first sleep", 2, 1},
      {"set after the second sleep", 3, 2},
  };
  for (const auto& c : cases) {
    LinkWorld world;
    bool stop = false;
    world.window.onPump = [&] {
      if (world.window.pumps == c.stopAtPump) stop = true;
    };
    world.link.WaitMilliseconds(10'000, stop);
    // No sleep after the pump that set it, and at most one pump more.
    EXPECT_LE(world.window.pumps, c.stopAtPump + 1) << c.name;
    EXPECT_EQ(world.window.waits, c.sleeps) << c.name;
    // Each sleep is a second at the most, so 10 s are far from over.
    EXPECT_LE(world.window.NowNanoseconds(), c.sleeps * 1'000'000'000 + c.stopAtPump * 1000)
        << c.name;
  }
}

// --- Calibration -------------------------------------------------------------

TEST(Calibration, CountsPumpsPerMicrosecondOverOneTimerPeriod) {
  struct Case {
    std::uint64_t stepNs;
    std::int32_t delayScale;
    std::int32_t loopCalibration;
    std::int32_t pollDelay;
  };
  const Case cases[] = {
      {100, 10000, 10, 100},  // 5,000,000 pumps in 500 ms
      {100, 0, 10, 0},
      {100, 999, 10, 9},
      {100, -4369, 10, -43},  // a malformed value is used as read
      {1000, 10000, 1, 10},   // exactly 500,000 pumps
      {1001, 10000, 0, 0},    // fewer than 500,000 pumps
      {50, 65535, 20, 1310},
  };
  for (const auto& c : cases) {
    LinkWorld world("", VirtualWindow::Settings{c.stepNs, 0});
    world.link.DelayScale = c.delayScale;
    world.link.CalibrateDelayLoop();
    EXPECT_EQ(world.link.LoopCalibration, c.loopCalibration) << c.stepNs;
    EXPECT_EQ(world.link.PollDelay, c.pollDelay) << c.stepNs << " " << c.delayScale;
    EXPECT_FALSE(world.window.TimerRunning());
    EXPECT_EQ(world.window.waits, 0u);  // it counts pumps, so it must never sleep
    EXPECT_EQ(world.window.timerTicks, 2u);
    // The first tick after 100 ms, the second 500 ms after the period was reset.
    EXPECT_GE(world.window.NowNanoseconds(), 600'000'000u);
    EXPECT_LT(world.window.NowNanoseconds(), 600'000'000u + 2 * c.stepNs);
  }
}

// --- Port selection ----------------------------------------------------------

TEST(PortSelection, CaptionsShowTheBaseInHexWithoutLeadingZeros) {
  LinkWorld world;
  const std::pair<std::int32_t, std::string> cases[] = {
      {0x378, "378"}, {0, "0"}, {0xD010, "D010"}, {-1, "FFFFFFFF"}, {0x3BC, "3BC"}};
  for (const auto& [base, text] : cases) {
    world.link.Lpt1Base = base;
    world.link.Lpt2Base = base;
    EXPECT_EQ(world.link.PortCaption(1), "LPT1 : " + text);
    EXPECT_EQ(world.link.PortCaption(2), "LPT2 : " + text);
  }
}

TEST(PortSelection, SwitchingPortsDrivesNoLine) {
  LinkWorld world;
  world.link.HoldTargetInProgramMode();
  world.ClearTrace();
  world.link.ChooseLpt(2);
  EXPECT_EQ(world.link.DataPort(), LinkWorld::kLpt2);
  EXPECT_EQ(world.link.StatusPort(), LinkWorld::kLpt2 + 1);
  EXPECT_EQ(world.link.SelectedLpt(), 2);
  world.link.ChooseLpt(1);
  EXPECT_EQ(world.link.DataPort(), LinkWorld::kLpt1);
  EXPECT_EQ(world.link.SelectedLpt(), 1);
  EXPECT_TRUE(world.Accesses().empty());
  EXPECT_TRUE(world.window.messageBoxes.empty());
}

TEST(PortSelection, EqualBasesSelectTheSamePort) {
  LinkWorld world;
  world.link.Lpt2Base = LinkWorld::kLpt1;
  world.link.ChooseLpt(2);
  EXPECT_EQ(world.link.DataPort(), LinkWorld::kLpt1);
  EXPECT_TRUE(world.link.PortUsable());
}

TEST(PortSelection, AnUnusableBaseRefusesEveryCableOperationAndTouchesNoAddress) {
  struct Case {
    std::int32_t base;
    std::string says;
    std::string text = {};  // the base's characters in the configuration file
  };
  const Case cases[] = {
      {0, "LPT1 has no port address: its base address is 0000 in the configuration file "
          "\"/bench/CONFIG.VQL\""},
      {1, "LPT1 has the base address 0001 in the configuration file \"/bench/CONFIG.VQL\", "
          "which is no usable I/O address"},
      {-4369, "LPT1 has the base address -1111"},
      {-4369, "LPT1 has the base address \"ZZZZ\"", "ZZZZ"},  // as the warning shows it
      {0xFFFF, "LPT1 has the base address FFFF"},
  };
  for (const auto& c : cases) {
    LinkWorld world;
    world.link.Lpt1Base = c.base;
    world.link.Lpt1BaseText = c.text;
    world.link.SelectStartupPort();
    ASSERT_EQ(world.window.messageBoxes.size(), 1u);
    world.link.ChooseLpt(1);  // the entry already selected: nothing changes, nothing is said
    ASSERT_EQ(world.window.messageBoxes.size(), 1u);
    EXPECT_NE(world.window.messageBoxes[0].find(c.says), std::string::npos)
        << world.window.messageBoxes[0];

    world.link.HoldTargetInProgramMode();
    world.link.ReleaseTargetToRun();
    world.link.PulseRstLow();
    world.link.RunLoopTest();
    EXPECT_FALSE(world.link.SendByteDigits('A', 'C'));
    EXPECT_FALSE(world.link.SendByteBits(1, 0, 1, 0, 1, 1, 0, 0));
    EXPECT_FALSE(world.link.SetLine(Line::Sck, true));
    EXPECT_FALSE(world.link.ReadMiso());
    EXPECT_TRUE(world.Accesses().empty()) << c.base;
    EXPECT_EQ(world.window.messageBoxes.size(), 4u);  // selection, hold, release, loop test
  }
}

// --- Modes -------------------------------------------------------------------

TEST(Modes, ProgramAndRunModeDriveTheirLinesInOrderAndLeaveD0ToD2) {
  struct Case {
    std::string name;
    bool program;
    std::vector<std::string> changes;
  };
  const Case cases[] = {
      {"program mode", true, {"RST=1", "MODE7=0", "MODE3=0"}},
      {"run mode", false, {"RST=0", "MODE7=1", "MODE3=1"}},
  };
  for (const std::uint8_t start : {0x00, 0xFF, 0x05, 0x9A}) {
    for (const auto& c : cases) {
      LinkWorld world;
      world.port.Outport(LinkWorld::kLpt1, start);
      world.ClearTrace();
      const auto before = world.port.Inport(LinkWorld::kLpt1);
      world.ClearTrace();
      if (c.program) {
        world.link.HoldTargetInProgramMode();
      } else {
        world.link.ReleaseTargetToRun();
      }
      const auto accesses = world.Accesses();
      // Three read-modify-writes of the data register, nothing else.
      ASSERT_EQ(accesses.size(), 6u) << c.name;
      for (std::size_t i = 0; i < accesses.size(); ++i) {
        EXPECT_EQ(accesses[i].write, i % 2 == 1);
        EXPECT_EQ(accesses[i].address, LinkWorld::kLpt1);
      }
      std::vector<std::string> changes;
      for (const auto& change : world.Decode().changes) {
        changes.push_back(change.line + "=" + (change.level ? "1" : "0"));
      }
      // A line already at its level is rewritten, so it shows no change.
      std::vector<std::string> expected;
      for (const auto& line : c.changes) {
        const int bit = line.starts_with("RST") ? 4 : line.starts_with("MODE7") ? 7 : 3;
        const bool level = line.back() == '1';
        if (((before >> bit) & 1) != (level ? 1 : 0)) expected.push_back(line);
      }
      EXPECT_EQ(changes, expected) << c.name << " from " << int{start};
      EXPECT_EQ(world.port.Inport(LinkWorld::kLpt1) & 0x07, start & 0x07);
    }
  }
}

TEST(Modes, ARstPulseHoldsRstLowForAtLeastTheHalfPeriodAndMovesNothingElse) {
  struct Case {
    std::int32_t halfUs;
    std::uint64_t startNs;  // when the pulse starts: on the microsecond or off it
  };
  const Case cases[] = {{1, 2'000'000}, {1, 2'000'999}, {4, 2'000'000}, {4, 2'000'001},
                        {16, 2'000'500}};
  for (const auto& c : cases) {
    LinkWorld world;
    world.link.HoldTargetInProgramMode();
    world.link.SckHalfPeriodUs = c.halfUs;
    world.window.Advance(c.startNs - world.window.NowNanoseconds());
    world.ClearTrace();
    world.link.PulseRstLow();
    const auto half = static_cast<std::uint64_t>(c.halfUs);
    const auto changes = world.Decode().changes;
    ASSERT_EQ(changes.size(), 2u) << c.halfUs;
    EXPECT_EQ(changes[0], (testing::LineChange{c.startNs / 1000, "RST", false}));
    EXPECT_EQ(changes[1].line, "RST");
    EXPECT_TRUE(changes[1].level);
    // Low for the half period, and short: it ends within the microsecond after it.
    EXPECT_GE(changes[1].us - changes[0].us, half) << c.halfUs << " us from " << c.startNs;
    EXPECT_LE(changes[1].us - changes[0].us, half + 1) << c.halfUs << " us from " << c.startNs;
    EXPECT_EQ(world.Accesses().size(), 4u) << c.halfUs;  // two read-modify-writes
  }
}

// --- Loop test ---------------------------------------------------------------

// MISO follows SCK, except in one given cycle (counted by rising edges).
class FailingLoopback final : public SimTarget {
 public:
  explicit FailingLoopback(int failCycle) : failCycle_(failCycle) {}
  void LinesChanged(const TargetLines& lines, std::uint64_t) override {
    if (lines.sck && !sck_) ++rises_;
    sck_ = lines.sck;
  }
  bool Miso(std::uint64_t) override { return rises_ == failCycle_ ? !sck_ : sck_; }

 private:
  int failCycle_;
  int rises_ = 0;
  bool sck_ = false;
};

TEST(LoopTest, ReportsTheFirstFailedCycleAndAlwaysEndsWithSckLow) {
  struct Case {
    std::string sim;
    int failCycle;  // for the FailingLoopback plug; 0: use sim options alone
    std::string box;
    int pulses;
  };
  const Case cases[] = {
      {"target=loopback", 0, "Ok...", 10},
      {"target=loopback,miso=0", 0, "Error test loop : 1", 1},
      {"target=loopback,miso=1", 0, "Error test loop : 1", 1},
      {"target=none", 0, "Error test loop : 1", 1},
      {"", 10, "Error test loop : 10", 10},
      {"", 4, "Error test loop : 4", 4},
  };
  for (const auto& c : cases) {
    LinkWorld world(c.sim);
    if (c.failCycle != 0) world.Plug(std::make_unique<FailingLoopback>(c.failCycle));
    world.link.HoldTargetInProgramMode();
    world.ClearTrace();
    world.link.RunLoopTest();
    EXPECT_EQ(world.window.messageBoxes, std::vector<std::string>{c.box}) << c.sim;
    EXPECT_EQ(world.Decode().ChangesOf("SCK").size(), static_cast<std::size_t>(2 * c.pulses))
        << c.sim;
    EXPECT_EQ(world.port.Inport(LinkWorld::kLpt1) & 0x40, 0) << c.sim;
  }
}

}  // namespace
}  // namespace vql
