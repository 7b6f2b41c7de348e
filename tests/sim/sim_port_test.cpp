#include "sim/sim_port.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/manual_clock.h"
#include "support/scripted_target.h"

namespace vql {
namespace {

using testing::ScriptedTarget;

constexpr std::uint16_t kLpt1 = 0x378;
constexpr std::uint16_t kLpt2 = 0x278;

// Data register values: MODE7 MOSI/SCK RST MODE3 as the cable sees them.
constexpr std::uint8_t kProgram = cable::kRst;                // RST 1, MODE7 0, MODE3 0
constexpr std::uint8_t kRun = cable::kMode7 | cable::kMode3;  // RST 0, MODE7 1, MODE3 1
constexpr std::uint8_t kSenseMiso = cable::kSense | cable::kMiso;

// Status values the program can see: the fixed pattern plus SENSE and MISO.
constexpr std::uint8_t Status(bool sense, bool miso) {
  return static_cast<std::uint8_t>((cable::kStatusPattern & ~kSenseMiso) |
                                   (sense ? cable::kSense : 0) | (miso ? cable::kMiso : 0));
}

// Records what the target sees.
class RecordingTarget final : public SimTarget {
 public:
  struct Seen {
    TargetLines lines;
    std::uint64_t us;
    bool operator==(const Seen&) const = default;
  };
  void LinesChanged(const TargetLines& lines, std::uint64_t us) override {
    seen.push_back({lines, us});
  }
  bool Miso(std::uint64_t) override { return false; }
  std::vector<Seen> seen;
};

struct Bench {
  explicit Bench(std::string_view options = "") : port(clock, ParseSimOptions(options)) {
    if (port.Options().target == "loopback") port.PlugTarget(std::make_unique<LoopbackTarget>());
    port.AttachPort("LPT1", kLpt1);
    port.AttachPort("LPT2", kLpt2);
  }
  testing::ManualClock clock;
  SimulatedPort port;
};

// Moves one line by read-modify-write of the data register, as the program does.
void SetLine(PortIo& io, std::uint16_t base, std::uint8_t mask, bool level) {
  const auto data = static_cast<std::uint8_t>(io.Inport(base));
  io.Outport(base, level ? (data | mask) : (data & ~mask));
}

// One byte each way, MSB first: MOSI while SCK is 0, SCK up, MISO read, SCK down.
std::uint8_t ExchangeByte(PortIo& io, std::uint16_t base, std::uint8_t out) {
  std::uint8_t in = 0;
  for (int bit = 7; bit >= 0; --bit) {
    SetLine(io, base, cable::kMosi, ((out >> bit) & 1) != 0);
    SetLine(io, base, cable::kSck, true);
    const bool miso = (io.Inport(static_cast<std::uint16_t>(base + 1)) & cable::kMiso) != 0;
    in = static_cast<std::uint8_t>((in << 1) | (miso ? 1 : 0));
    SetLine(io, base, cable::kSck, false);
  }
  return in;
}

TEST(SimulatedPort, StatusFollowsTheCableModel) {
  struct Case {
    std::string name;
    std::string options;
    std::uint16_t port;
    std::uint8_t data;
    std::uint8_t status;
  };
  const Case cases[] = {
      {"program mode, no chip: SENSE, MISO pulled up", "", kLpt1, kProgram, Status(true, true)},
      {"run mode: no SENSE", "", kLpt1, kRun, Status(false, true)},
      {"MODE7 alone stops the buffer", "", kLpt1, cable::kRst | cable::kMode7, Status(false, true)},
      {"MODE3 alone stops the buffer", "", kLpt1, cable::kRst | cable::kMode3, Status(false, true)},
      {"RST low with both modes 0 still drives", "", kLpt1, 0x00, Status(true, true)},
      {"D0-D2 play no role", "", kLpt1, kProgram | 0x07, Status(true, true)},
      {"loop-back, SCK low", "target=loopback", kLpt1, kProgram, Status(true, false)},
      {"loop-back, SCK high", "target=loopback", kLpt1, kProgram | cable::kSck, Status(true, true)},
      {"loop-back in run mode reads the pull-up", "target=loopback", kLpt1, kRun,
       Status(false, true)},
      {"no power: no SENSE", "sense=0", kLpt1, kProgram, Status(false, true)},
      {"no power: the loop-back is not driven", "sense=0,target=loopback", kLpt1, kProgram,
       Status(false, true)},
      {"MISO stuck at 0", "miso=0", kLpt1, kProgram, Status(true, false)},
      {"MISO stuck at 0 in run mode", "miso=0", kLpt1, kRun, Status(false, false)},
      {"MISO stuck at 1 over the loop-back", "miso=1,target=loopback", kLpt1, kProgram,
       Status(true, true)},
      {"the port without the cable", "", kLpt2, kProgram, Status(false, true)},
      {"the port without the cable ignores its faults", "miso=0", kLpt2, kProgram,
       Status(false, true)},
      {"cable on LPT2", "cable=lpt2", kLpt2, kProgram, Status(true, true)},
      {"cable on LPT2 leaves LPT1 bare", "cable=lpt2", kLpt1, kProgram, Status(false, true)},
  };
  for (const auto& c : cases) {
    Bench bench(c.options);
    bench.port.Outport(c.port, c.data);
    EXPECT_EQ(bench.port.Inport(static_cast<std::uint16_t>(c.port + 1)), c.status) << c.name;
  }
}

TEST(SimulatedPort, DataAndControlRegistersReadBackEveryBit) {
  Bench bench;
  EXPECT_EQ(bench.port.Inport(kLpt1), 0x00);
  EXPECT_EQ(bench.port.Inport(kLpt2 + 2), 0x00);
  for (unsigned value = 0; value < 0x100; ++value) {
    for (std::uint16_t base : {kLpt1, kLpt2}) {
      bench.port.Outport(base, static_cast<std::uint16_t>(value | 0x300));  // high bits dropped
      bench.port.Outport(static_cast<std::uint16_t>(base + 2),
                         static_cast<std::uint16_t>(value ^ 0xFF));
      EXPECT_EQ(bench.port.Inport(base), value);
      EXPECT_EQ(bench.port.Inport(static_cast<std::uint16_t>(base + 2)), value ^ 0xFF);
    }
  }
}

TEST(SimulatedPort, StatusRegisterIgnoresWrites) {
  Bench bench;
  bench.port.Outport(kLpt1, kProgram);
  bench.port.Outport(kLpt1 + 1, 0x00);
  EXPECT_EQ(bench.port.Inport(kLpt1 + 1), Status(true, true));
}

TEST(SimulatedPort, AddressesOfNoAttachedPortReadFFAndIgnoreWrites) {
  Bench bench;
  for (std::uint16_t address : {0x0000, 0x0377, 0x037B, 0x037F, 0x0277, 0x027B, 0x03BC, 0xFFFF}) {
    bench.port.Outport(address, 0x00);
    EXPECT_EQ(bench.port.Inport(address), 0xFF) << std::hex << address;
  }
  EXPECT_EQ(bench.port.Inport(kLpt1), 0x00);
  EXPECT_EQ(bench.port.Inport(kLpt2), 0x00);
}

TEST(SimulatedPort, AttachingAgainKeepsThePortAndTwoNamesMayShareIt) {
  testing::ManualClock clock;
  SimulatedPort port(clock, ParseSimOptions("cable=lpt2"));
  port.AttachPort("LPT1", kLpt1);
  port.Outport(kLpt1, kProgram | 0x01);
  port.AttachPort("LPT1", kLpt1);
  EXPECT_EQ(port.Inport(kLpt1), kProgram | 0x01);
  EXPECT_EQ(port.Inport(kLpt1 + 1), Status(false, true));
  // LPT2 configured at the same address: the cable on LPT2 is on that one port.
  port.AttachPort("LPT2", kLpt1);
  EXPECT_EQ(port.Inport(kLpt1 + 1), Status(true, true));
}

TEST(SimulatedPort, TargetSeesEveryLineLowWhileTheBufferDoesNotDrive) {
  Bench bench;
  auto& target = bench.port.PlugTarget(std::make_unique<RecordingTarget>());
  target.seen.clear();
  using Seen = RecordingTarget::Seen;
  const TargetLines allHigh{.rst = true, .sck = true, .mosi = true};

  bench.clock.Set(10);
  bench.port.Outport(kLpt1, kProgram | cable::kSck | cable::kMosi);
  bench.clock.Set(20);
  bench.port.Outport(kLpt1, kProgram | cable::kSck | cable::kMosi | cable::kMode7);
  bench.clock.Set(30);
  bench.port.Outport(kLpt1, kProgram | cable::kSck | cable::kMosi);
  bench.clock.Set(40);
  bench.port.Outport(kLpt1, kProgram | cable::kSck | cable::kMosi | cable::kMode3);
  bench.port.Outport(kLpt1, kRun | cable::kSck | cable::kMosi);  // no change behind the buffer
  bench.port.Outport(kLpt2, kProgram);                           // not the cable's port
  EXPECT_EQ(target.seen, (std::vector<Seen>{{allHigh, 10}, {{}, 20}, {allHigh, 30}, {{}, 40}}));
}

TEST(SimulatedPort, TargetOfAnUnpoweredCableSeesNothing) {
  Bench bench("sense=0");
  auto& target = bench.port.PlugTarget(std::make_unique<RecordingTarget>());
  bench.port.Outport(kLpt1, kProgram | cable::kSck | cable::kMosi);
  ASSERT_EQ(target.seen.size(), 1u);  // told the lines on plugging
  EXPECT_EQ(target.seen[0].lines, TargetLines{});
}

TEST(SimulatedPort, ScriptedTargetExchangesBytesMsbFirst) {
  Bench bench;
  auto& target = bench.port.PlugTarget(
      std::make_unique<ScriptedTarget>(std::vector<std::uint8_t>{0x53, 0xA1}));
  bench.port.Outport(kLpt1, kRun);
  SetLine(bench.port, kLpt1, cable::kRst, true);
  SetLine(bench.port, kLpt1, cable::kMode7, false);
  SetLine(bench.port, kLpt1, cable::kMode3, false);

  std::vector<std::uint8_t> answers;
  for (std::uint8_t out : {0xAC, 0x53, 0x00, 0x69}) {
    answers.push_back(ExchangeByte(bench.port, kLpt1, out));
  }
  EXPECT_EQ(answers, (std::vector<std::uint8_t>{0x53, 0xA1, 0xFF, 0xFF}));
  EXPECT_EQ(target.Received(), (std::vector<std::uint8_t>{0xAC, 0x53, 0x00, 0x69}));
}

TEST(SimulatedPort, ScriptedTargetPutsTheFirstBitOutBeforeTheFirstEdge) {
  for (std::uint8_t answer : {0x80, 0x7F}) {
    Bench bench;
    bench.port.PlugTarget(std::make_unique<ScriptedTarget>(std::vector<std::uint8_t>{answer}));
    bench.port.Outport(kLpt1, kProgram);
    EXPECT_EQ(bench.port.Inport(kLpt1 + 1), Status(true, answer == 0x80)) << int{answer};
  }
}

}  // namespace
}  // namespace vql
