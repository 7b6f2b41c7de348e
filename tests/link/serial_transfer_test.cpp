#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/link_world.h"
#include "support/scripted_target.h"

namespace vql {
namespace {

using testing::LinkWorld;
using testing::ScriptedTarget;

ByteFlags Flags(std::uint8_t byte) {
  ByteFlags flags{};
  for (std::size_t i = 0; i < 8; ++i) flags[i] = (byte >> (7 - i)) & 1;
  return flags;
}

// A world in program mode with a scripted target that answers the given bytes.
struct Bench : LinkWorld {
  explicit Bench(std::vector<std::uint8_t> answers, std::string_view simOptions = "",
                 testing::VirtualWindow::Settings settings = {})
      : LinkWorld(simOptions, settings) {
    auto target = std::make_unique<ScriptedTarget>(std::move(answers));
    scripted = target.get();
    Plug(std::move(target));
    link.HoldTargetInProgramMode();
    ClearTrace();
  }
  ScriptedTarget* scripted = nullptr;
};

TEST(SendByteDigits, ClocksTheByteOutMsbFirstAndSamplesTheAnswer) {
  struct Case {
    char high, low;
    std::uint8_t sent;
    std::uint8_t answer;
  };
  const Case cases[] = {{'A', 'C', 0xAC, 0x69}, {'0', '0', 0x00, 0xFF}, {'F', 'F', 0xFF, 0x00},
                        {'5', '3', 0x53, 0xA5}, {'2', '0', 0x20, 0x3C}};
  for (const auto& c : cases) {
    Bench bench({c.answer});
    EXPECT_TRUE(bench.link.SendByteDigits(c.high, c.low));
    EXPECT_EQ(bench.link.SentBits, Flags(c.sent));
    EXPECT_EQ(bench.link.ReceivedBits, Flags(c.answer));

    const auto trace = bench.Decode();
    ASSERT_EQ(trace.bytes.size(), 1u);
    EXPECT_EQ(trace.leftoverBits, 0);
    EXPECT_EQ(trace.bytes[0].mosi, c.sent);
    EXPECT_EQ(trace.bytes[0].miso, c.answer);
    EXPECT_TRUE(trace.bytes[0].mosiStableWhileHigh);
    EXPECT_TRUE(trace.bytes[0].misoSampledEveryBit);
    EXPECT_EQ(bench.scripted->Received(), std::vector<std::uint8_t>{c.sent});
    // One SENSE read, then per bit three read-modify-writes and one MISO read.
    EXPECT_EQ(trace.statusReads, 1 + 8);
    EXPECT_EQ(trace.dataReads, 3 * 8);
    EXPECT_EQ(trace.dataWrites, 3 * 8);
  }
}

TEST(SendByteDigits, AfterAByteSckIsLowAndMosiHoldsBitZero) {
  for (const auto& [low, mosi] : {std::pair{'1', 0x20}, std::pair{'0', 0x00}}) {
    Bench bench({0});
    bench.link.SendByteDigits('7', low);
    const auto data = bench.port.Inport(LinkWorld::kLpt1);
    EXPECT_EQ(data & 0x40, 0);
    EXPECT_EQ(data & 0x20, mosi);
  }
}

TEST(SendByteDigits, ANonDigitKeepsTheFourFlagsOfThePreviousNibble) {
  Bench bench({0, 0});
  bench.link.SendByteDigits('A', 'C');
  bench.link.SendByteDigits('3', 'c');  // "c" is no digit: the low nibble stays C
  EXPECT_EQ(bench.link.SentBits, Flags(0x3C));
  EXPECT_EQ(bench.Decode().MosiBytes(), (std::vector<std::uint8_t>{0xAC, 0x3C}));
}

TEST(SendByteBits, OnlyAFlagOfExactlyOneDrivesMosiHighAndSentBitsStay) {
  Bench bench({0x5A, 0x00});
  bench.link.SendByteDigits('1', '2');
  EXPECT_TRUE(bench.link.SendByteBits(1, 2, -1, 1, 0, 1, 7, 1));
  EXPECT_EQ(bench.Decode().MosiBytes(), (std::vector<std::uint8_t>{0x12, 0x95}));
  EXPECT_EQ(bench.link.SentBits, Flags(0x12));
  EXPECT_EQ(bench.link.ReceivedBits, Flags(0x00));
  EXPECT_FALSE(bench.link.ReceivedMatchesSent());
}

TEST(ReceivedMatchesSent, ComparesAllEightFlags) {
  Bench bench({0x69, 0x68});
  bench.link.SendByteDigits('6', '9');
  EXPECT_TRUE(bench.link.ReceivedMatchesSent());
  bench.link.SendByteDigits('6', '9');
  EXPECT_FALSE(bench.link.ReceivedMatchesSent());
}

TEST(SenseLow, RefusesTheByteWithoutClockingIt) {
  struct Case {
    std::string name;
    std::string sim;
    bool runMode;
  };
  const Case cases[] = {{"no power", "sense=0", false}, {"run mode", "", true}};
  for (const auto& c : cases) {
    Bench bench({0x69}, c.sim);
    bench.link.ReceivedBits = Flags(0x42);
    if (c.runMode) bench.link.ReleaseTargetToRun();
    bench.ClearTrace();

    EXPECT_FALSE(bench.link.SendByteDigits('A', 'C')) << c.name;
    EXPECT_EQ(bench.window.messageBoxes,
              std::vector<std::string>{"Device have not in program mode"});
    EXPECT_EQ(bench.link.SentBits, Flags(0xAC));  // already loaded
    EXPECT_EQ(bench.link.ReceivedBits, Flags(0x42));

    EXPECT_FALSE(bench.link.SendByteBits(1, 1, 1, 1, 0, 0, 0, 0));
    EXPECT_EQ(bench.window.messageBoxes.size(), 1u);  // silent
    EXPECT_EQ(bench.link.ReceivedBits, Flags(0x42));

    // Each refused byte read SENSE once and drove nothing.
    const auto trace = bench.Decode();
    EXPECT_EQ(trace.statusReads, 2) << c.name;
    EXPECT_EQ(trace.dataWrites, 0) << c.name;
  }
}

TEST(StuckMiso, ReadsAllOnesOrAllZeros) {
  for (const auto& [sim, answer] : {std::pair{"miso=1", 0xFF}, std::pair{"miso=0", 0x00}}) {
    Bench bench({0x5A}, sim);
    bench.link.SendByteDigits('3', 'C');
    EXPECT_EQ(bench.link.ReceivedBits, Flags(static_cast<std::uint8_t>(answer))) << sim;
  }
}

TEST(BitDelay, EachEdgeWaitsItsScaledTime) {
  struct Case {
    std::int32_t bitDelay;
    std::uint64_t msPerEdge;  // BitDelay div 20000
  };
  const Case cases[] = {{0, 0}, {19999, 0}, {20000, 1}, {65535, 3}};
  for (const auto& c : cases) {
    LinkWorld world("target=loopback", testing::VirtualWindow::Settings{100'000, 0});
    world.link.HoldTargetInProgramMode();
    world.link.BitDelay = c.bitDelay;
    const auto pumps = world.window.pumps;
    const auto start = world.window.NowNanoseconds();
    world.link.SendByteDigits('A', '5');
    const std::uint64_t edges = 16;
    if (c.msPerEdge == 0) {
      // A zero wait is one pump and never sleeps.
      EXPECT_EQ(world.window.pumps - pumps, edges) << c.bitDelay;
      EXPECT_EQ(world.window.waits, 0u) << c.bitDelay;
    } else {
      // Every edge waits its time, and less than a millisecond more.
      const std::uint64_t elapsed = world.window.NowNanoseconds() - start;
      EXPECT_GE(elapsed, edges * c.msPerEdge * 1'000'000 - edges * 1'000'000) << c.bitDelay;
      EXPECT_LT(elapsed, edges * (c.msPerEdge + 1) * 1'000'000) << c.bitDelay;
    }
  }
}

TEST(SckHalfPeriod, NoTwoEdgesNorAnEdgeAndItsSampleCloserThanTheFloor) {
  struct Case {
    std::int32_t floorUs;
    std::uint64_t pumpStepNs;  // the one pump after each edge
  };
  // Pumps shorter than the floor leave the pace to the floor alone, also when they
  // end off the microsecond; a pump longer than the floor sets the pace itself.
  const Case cases[] = {{1, 1000}, {4, 1000}, {16, 1000}, {64, 1000},
                        {1, 300},  {4, 700},  {1, 1500}};
  for (const auto& c : cases) {
    Bench bench({0x5A}, "", testing::VirtualWindow::Settings{c.pumpStepNs, 0});
    bench.link.SckHalfPeriodUs = c.floorUs;
    bench.link.SendByteDigits('A', '5');
    const auto floor = static_cast<std::uint64_t>(c.floorUs);
    std::uint64_t firstEdge = 0;
    std::uint64_t lastEdge = 0;
    int edges = 0;
    for (const auto& access : bench.Accesses()) {
      const bool sckWrite = access.write && access.address == LinkWorld::kLpt1 &&
                            ((access.value & cable::kSck) != 0) == (edges % 2 == 0);
      const bool misoRead = !access.write && access.address == LinkWorld::kLpt1 + 1 && edges % 2;
      if (edges > 0 && (sckWrite || misoRead)) {
        EXPECT_GE(access.us - lastEdge, floor) << c.floorUs << " us, edge " << edges;
      }
      if (sckWrite) {
        if (edges == 0) firstEdge = access.us;
        lastEdge = access.us;
        ++edges;
      }
    }
    EXPECT_EQ(edges, 16) << c.floorUs;
    EXPECT_EQ(bench.link.ReceivedBits, Flags(0x5A)) << c.floorUs;
    // At the floor and no further, measured to the nanosecond: 15 gaps between the
    // 16 edges, none rounded up to a whole microsecond.
    const std::uint64_t gapNs = std::max(floor * 1000, c.pumpStepNs);
    EXPECT_LE(lastEdge - firstEdge, (15 * gapNs + 999) / 1000)
        << c.floorUs << " us, pumps of " << c.pumpStepNs << " ns";
  }
}

TEST(SckHalfPeriod, TheChipSeesTheFloorFromTheEdgeItself) {
  // A clock that moves on with every reading, as a real one does: the chip sees an
  // edge during the port write, so the floor must be counted from after that write.
  struct EdgeTimes final : SimTarget {
    void LinesChanged(const TargetLines& lines, std::uint64_t us) override {
      if (lines.sck != sck) edges.push_back(us);
      sck = lines.sck;
    }
    bool Miso(std::uint64_t us) override {
      samples.push_back(us);
      return true;
    }
    bool sck = false;
    std::vector<std::uint64_t> edges, samples;
  };
  // Pumps take next to no time: the readings alone move the clock, a microsecond each.
  testing::LinkWorld world("", testing::VirtualWindow::Settings{1, 0, 1000});
  auto target = std::make_unique<EdgeTimes>();
  EdgeTimes& seen = *target;
  world.Plug(std::move(target));
  world.link.HoldTargetInProgramMode();
  world.link.SckHalfPeriodUs = 4;
  seen.samples.clear();
  world.link.SendByteDigits('A', '5');
  ASSERT_EQ(seen.edges.size(), 16u);
  for (std::size_t i = 1; i < seen.edges.size(); ++i) {
    EXPECT_GE(seen.edges[i] - seen.edges[i - 1], 4u) << "edge " << i;
  }
  // Each sample comes while SCK is high, the floor after its rising edge (the sense
  // read before the byte comes first).
  ASSERT_EQ(seen.samples.size(), 1u + 8u);
  for (std::size_t bit = 0; bit < 8; ++bit) {
    EXPECT_GE(seen.samples[1 + bit] - seen.edges[2 * bit], 4u) << "bit " << bit;
  }
}

}  // namespace
}  // namespace vql
